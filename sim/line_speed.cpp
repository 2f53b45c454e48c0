#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace tavrol::sim {

namespace {

void MakeRaw(termios2& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

}  // namespace

bool SetRawLine(int fd, std::uint32_t rate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    MakeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool SetRawKeepSpeed(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    MakeRaw(t);
    return ioctl(fd, TCSETS2, &t) == 0;
}

std::uint32_t LineSpeed(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

}  // namespace tavrol::sim
