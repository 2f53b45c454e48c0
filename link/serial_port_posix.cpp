// The serial port on Linux. Line settings go through termios2 so that any
// rate can be set, not only the B-constants; <asm/termbits.h> defines its own
// struct termios, so this file must not include <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>

#include "port_directory.h"
#include "serial_port.h"
#include "tty_line.h"

namespace tavrol {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so a wait never ends early;
// bounded to what poll() takes.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

Clock::time_point After(std::uint64_t ms) {
    // Far beyond any real wait, and safe from overflowing the clock.
    constexpr std::uint64_t kLongest = 1ull << 40;
    return Clock::now() + std::chrono::milliseconds(std::min(ms, kLongest));
}

// Bytes pass unchanged: no flow control, echo, line editing, signals or
// translation; the receiver is on and modem lines are ignored (CLOCAL), so a
// USB adapter that drops its carrier line is not hung up by the kernel.
// Reads wait in poll(), never in the driver.
void MakeRaw(struct termios2& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT |
                                          INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG |
                                          IEXTEN | XCASE | TOSTOP);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// Any rate, not only the B-constants, in both directions.
void SetSpeed(struct termios2& tio, std::uint32_t rate) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
}

// Unix 98 pseudo-terminal slaves (majors 136 to 143) and the old BSD ones
// (major 3). Their last close need not come from us: whoever holds the
// other end keeps them open.
bool IsPseudoTerminal(dev_t device) {
    const unsigned m = major(device);
    return (m >= 136 && m <= 143) || m == 3;
}

bool MeansPortLost(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { Close(); }

    bool Open(const PortTarget& target) override {
        Close();
        struct stat checked {};
        const int fd = OpenCharacterDevice(target, &checked);
        if (fd < 0) return Fail(errno);
        if (!isatty(fd)) return FailAndClose(fd, ENOTTY);
        // The lock keeps out a second opener, privileged or not; it is taken
        // first so that a failed open leaves the owner's exclusive flag alone.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailAndClose(fd, errno == EWOULDBLOCK ? EBUSY : errno);
        // A real serial device's last close clears its exclusive flag; a
        // pseudo-terminal that another program holds open would keep it after
        // we died, locking everyone out, so there the lock alone serves.
        const bool exclusive = !IsPseudoTerminal(checked.st_rdev);
        if (exclusive && ioctl(fd, TIOCEXCL) != 0) return FailAndClose(fd, errno);
        const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd < 0) {
            const int err = errno;
            if (exclusive) ioctl(fd, TIOCNXCL);
            return FailAndClose(fd, err);
        }
        exclusive_ = exclusive;
        stopFd_.store(stopFd);
        fd_.store(fd);
        return true;
    }

    void Purge() override {
        const int fd = fd_.load();
        if (fd < 0) return;
        if (ioctl(fd, TCFLSH, TCIOFLUSH) != 0) lastError_.store(errno);
    }

    // The tty driver's queues have a fixed size.
    bool SetQueueSizes(std::uint32_t, std::uint32_t) override {
        if (fd_.load() < 0) return Fail(EBADF);
        return true;
    }

    bool GetSettings(LineSettings& settings) override {
        struct termios2 tio {};
        if (!GetTermios(tio)) return false;
        settings.baudRate = tio.c_ospeed;
        switch (tio.c_cflag & CSIZE) {
            case CS5: settings.dataBits = 5; break;
            case CS6: settings.dataBits = 6; break;
            case CS7: settings.dataBits = 7; break;
            default: settings.dataBits = 8; break;
        }
        if ((tio.c_cflag & PARENB) == 0) {
            settings.parity = 0;
        } else if ((tio.c_cflag & CMSPAR) != 0) {
            settings.parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;  // mark, space
        } else {
            settings.parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;  // odd, even
        }
        settings.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
        return true;
    }

    bool SetSettings(const LineSettings& settings) override {
        if (settings.baudRate == 0 || settings.dataBits < 5 || settings.dataBits > 8 || settings.parity > 4 ||
            settings.stopBits > 2) {
            return Fail(EINVAL);
        }
        struct termios2 tio {};
        if (!GetTermios(tio)) return false;

        MakeRaw(tio);
        SetSpeed(tio, settings.baudRate);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        switch (settings.dataBits) {
            case 5: tio.c_cflag |= CS5; break;
            case 6: tio.c_cflag |= CS6; break;
            case 7: tio.c_cflag |= CS7; break;
            default: tio.c_cflag |= CS8; break;
        }
        switch (settings.parity) {
            case 1: tio.c_cflag |= PARENB | PARODD; break;
            case 2: tio.c_cflag |= PARENB; break;
            case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
            case 4: tio.c_cflag |= PARENB | CMSPAR; break;
            default: break;
        }
        if (settings.stopBits != 0) tio.c_cflag |= CSTOPB;

        if (ioctl(fd_.load(), TCSETS2, &tio) != 0) return Fail(errno);
        return true;
    }

    void SetTimeouts(const PortTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(timeoutsMutex_);
        timeouts_ = timeouts;
    }

    ReadResult Read(std::uint8_t* buffer, std::size_t capacity) override {
        const int fd = fd_.load();
        const int stopFd = stopFd_.load();
        if (fd < 0 || stopFd < 0) return Failed(EBADF);
        if (buffer == nullptr || capacity == 0) return Failed(EINVAL);
        capacity = std::min<std::size_t>(capacity, INT_MAX);
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return Failed(errno);
            }
            if (p[1].revents != 0) return ReadResult{ReadStatus::Stopped, 0};
            if ((p[0].revents & POLLNVAL) != 0) return Failed(EBADF);
            if (p[0].revents == 0) continue;
            const bool hungUp = (p[0].revents & (POLLHUP | POLLERR)) != 0;
            const ssize_t n = read(fd, buffer, capacity);
            // What came before a hang-up is handed over first; the next read
            // finds nothing more and reports the loss.
            if (n > 0) return ReadResult{ReadStatus::Data, static_cast<int>(n)};
            // With VMIN and VTIME 0 a tty reads 0 when it has nothing, so 0
            // after poll() said readable is a hung-up line.
            if (n == 0) return Lost(EIO);
            if (MeansPortLost(errno)) return Lost(errno);
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                if (hungUp) return Lost(EIO);
                continue;
            }
            return Failed(errno);
        }
    }

    void StopReading() override {
        const int stopFd = stopFd_.load();
        if (stopFd < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(stopFd, &one, sizeof one);
    }

    int Write(const std::uint8_t* buffer, std::size_t count, std::uint32_t timeoutMs) override {
        const int fd = fd_.load();
        if (fd < 0) return FailCount(EBADF);
        if (count == 0) return 0;
        if (buffer == nullptr) return FailCount(EINVAL);
        count = std::min<std::size_t>(count, INT_MAX);

        const PortTimeouts t = Timeouts();
        bool limited = t.writeMultiplier != 0 || t.writeConstant != 0;
        std::uint64_t limitMs = static_cast<std::uint64_t>(t.writeMultiplier) * count + t.writeConstant;
        if (timeoutMs != INFINITE) {
            limitMs = limited ? std::min<std::uint64_t>(limitMs, timeoutMs) : timeoutMs;
            limited = true;
        }
        const Clock::time_point deadline = After(limitMs);

        std::size_t written = 0;
        while (written < count) {
            const ssize_t n = write(fd, buffer + written, count - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailCount(errno);

            const int waitMs = limited ? MillisecondsUntil(deadline) : -1;
            if (waitMs == 0) break;
            pollfd p{fd, POLLOUT, 0};
            const int r = poll(&p, 1, waitMs);
            if (r == 0) break;
            if (r < 0) {
                if (errno == EINTR) continue;
                return FailCount(errno);
            }
            if ((p.revents & POLLNVAL) != 0) return FailCount(EBADF);
            if ((p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return FailCount(EIO);
        }
        if (written < count) {
            // Timed out: drop the unsent rest so the next write does not go
            // out behind a stale tail.
            ioctl(fd, TCFLSH, TCOFLUSH);
        }
        return static_cast<int>(written);
    }

    void Close() override {
        const int fd = fd_.exchange(-1);
        const int stopFd = stopFd_.exchange(-1);
        if (stopFd >= 0) close(stopFd);
        if (fd < 0) return;
        // Someone else may hold the device open too; leave it usable.
        if (exclusive_) ioctl(fd, TIOCNXCL);
        exclusive_ = false;
        close(fd);
    }

    bool IsOpen() const override { return fd_.load() >= 0; }
    int LastError() const override { return lastError_.load(); }

private:
    // Opens the target only when it is a character device, and only the very
    // device that was checked. A COM link is followed relative to the port
    // directory's own descriptor, so nobody can swap it in between. -1 with
    // errno set otherwise.
    static int OpenCharacterDevice(const PortTarget& target, struct stat* checked) {
        constexpr int kFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
        int fd = -1;
        if (!target.linkName.empty()) {
            const int dirFd = OpenPortDirectory(target.linkDirectory);
            if (dirFd < 0) return -1;
            if (fstatat(dirFd, target.linkName.c_str(), checked, 0) != 0) {
                const int err = errno;
                close(dirFd);
                errno = err;
                return -1;
            }
            if (S_ISCHR(checked->st_mode)) fd = openat(dirFd, target.linkName.c_str(), kFlags);
            const int err = errno;
            close(dirFd);
            errno = err;
        } else {
            if (target.device.empty()) return errno = ENOENT, -1;
            if (stat(target.device.c_str(), checked) != 0) return -1;
            if (S_ISCHR(checked->st_mode)) fd = open(target.device.c_str(), kFlags);
        }
        if (!S_ISCHR(checked->st_mode)) return errno = ENOTTY, -1;
        if (fd < 0) return -1;
        struct stat opened {};
        if (fstat(fd, &opened) != 0 || opened.st_rdev != checked->st_rdev || opened.st_ino != checked->st_ino) {
            close(fd);
            return errno = ENOTTY, -1;
        }
        return fd;
    }

    bool Fail(int err) {
        lastError_.store(err);
        return false;
    }
    bool FailAndClose(int fd, int err) {
        close(fd);
        return Fail(err);
    }
    int FailCount(int err) {
        lastError_.store(err);
        return -1;
    }
    ReadResult Failed(int err) {
        lastError_.store(err);
        return ReadResult{ReadStatus::Failed, 0};
    }
    ReadResult Lost(int err) {
        lastError_.store(err);
        return ReadResult{ReadStatus::Lost, 0};
    }

    bool GetTermios(struct termios2& tio) {
        const int fd = fd_.load();
        if (fd < 0) return Fail(EBADF);
        if (ioctl(fd, TCGETS2, &tio) != 0) return Fail(errno);
        return true;
    }

    PortTimeouts Timeouts() {
        std::lock_guard<std::mutex> lock(timeoutsMutex_);
        return timeouts_;
    }

    std::atomic<int> fd_{-1};
    std::atomic<int> stopFd_{-1};  // readable once StopReading was called
    bool exclusive_ = false;       // we set the tty's exclusive flag
    std::atomic<int> lastError_{0};
    std::mutex timeoutsMutex_;
    PortTimeouts timeouts_;
};

}  // namespace

namespace {

// Raw 8N1 on the line behind `fd`, at `rate` when one is given.
bool SetRaw8N1(int fd, const std::uint32_t* rate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    MakeRaw(tio);
    if (rate != nullptr) SetSpeed(tio, *rate);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= CS8;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace

bool SetRawLine(int fd, std::uint32_t rate) { return SetRaw8N1(fd, &rate); }

bool SetRawKeepSpeed(int fd) { return SetRaw8N1(fd, nullptr); }

std::uint32_t LineSpeed(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

std::unique_ptr<SerialPort> CreateSystemSerialPort() { return std::make_unique<PosixSerialPort>(); }

}  // namespace tavrol
