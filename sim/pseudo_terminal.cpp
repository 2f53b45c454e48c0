#include "pseudo_terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tty_line.h"

namespace tavrol::sim {

namespace {

void SetError(std::string* error, const std::string& what, int e) {
    if (error) *error = what + ": " + std::strerror(e);
}

}  // namespace

bool PseudoTerminal::Open(std::string* error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        SetError(error, "posix_openpt", errno);
        return false;
    }
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        SetError(error, "cannot prepare the pseudo-terminal", errno);
        Close();
        return false;
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0) {
        SetError(error, std::string("cannot open ") + name, errno);
        Close();
        return false;
    }
    if (!SetRawKeepSpeed(slave_)) {
        SetError(error, std::string("cannot set up ") + name, errno);
        Close();
        return false;
    }
    slavePath_ = name;
    return true;
}

void PseudoTerminal::Close() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = -1;
    slave_ = -1;
}

}  // namespace tavrol::sim
