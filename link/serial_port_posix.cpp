// The serial port on Linux. Line settings go through termios2 so that any
// rate can be set, not only the B-constants; <asm/termbits.h> defines its own
// struct termios, so this file must not include <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>

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
// translation; the receiver is on and modem lines are ignored. Reads wait in
// poll(), never in the driver.
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

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { Close(); }

    bool Open(const std::string& device) override {
        Close();
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return Fail(errno);
        if (!isatty(fd)) return FailAndClose(fd, errno);
        // TIOCEXCL does not stop a privileged opener, the lock does; and it is
        // taken first so that a failed open leaves the owner's flag alone.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailAndClose(fd, errno);
        if (ioctl(fd, TIOCEXCL) != 0) return FailAndClose(fd, errno);
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

    int Read(std::uint8_t* buffer, std::size_t capacity) override {
        const int fd = fd_.load();
        if (fd < 0) return FailCount(EBADF);
        if (buffer == nullptr) return FailCount(EINVAL);
        capacity = std::min<std::size_t>(capacity, INT_MAX);
        if (capacity == 0) return 0;

        const PortTimeouts t = Timeouts();
        // As with the classic driver: zero total values mean no total limit, a
        // zero interval means no interval limit, and an infinite interval with
        // no total limit means "take what is there and return".
        const bool totalLimit = t.readMultiplier != 0 || t.readConstant != 0;
        const bool intervalLimit = t.readInterval != 0;
        const bool immediate = !totalLimit && t.readInterval == INFINITE;
        // Infinite interval and multiplier with a finite constant: wait up to
        // the constant for the first byte, then return what has arrived.
        const bool returnOnFirstBytes = t.readInterval == INFINITE && t.readMultiplier == INFINITE &&
                                        t.readConstant != 0 && t.readConstant != INFINITE;
        const Clock::time_point deadline =
            After(returnOnFirstBytes ? t.readConstant
                                     : static_cast<std::uint64_t>(t.readMultiplier) * capacity + t.readConstant);

        std::size_t got = 0;
        bool hangUpSeen = false;
        for (;;) {
            const ssize_t n = read(fd, buffer + got, capacity - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                if (got == capacity) return static_cast<int>(got);
                continue;
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EIO) return HangUp(got);
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    const int err = errno;
                    return got > 0 ? static_cast<int>(got) : FailCount(err);
                }
            }
            // Nothing there now: with VMIN and VTIME 0 a tty reads 0 for that,
            // so only after poll() has reported a hang-up does it mean the end.
            if (hangUpSeen) return HangUp(got);
            if (immediate || (returnOnFirstBytes && got > 0)) return static_cast<int>(got);

            int waitMs = -1;
            if (got == 0) {
                if (totalLimit) waitMs = MillisecondsUntil(deadline);
            } else if (intervalLimit) {
                waitMs = static_cast<int>(std::min<std::uint32_t>(t.readInterval, INT_MAX));
                if (totalLimit) waitMs = std::min(waitMs, MillisecondsUntil(deadline));
            } else if (totalLimit) {
                waitMs = MillisecondsUntil(deadline);
            }
            if (waitMs == 0) return static_cast<int>(got);

            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, waitMs);
            if (r == 0) return static_cast<int>(got);  // the deadline or the gap
            if (r < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                return got > 0 ? static_cast<int>(got) : FailCount(err);
            }
            if ((p.revents & POLLNVAL) != 0) return got > 0 ? static_cast<int>(got) : FailCount(EBADF);
            // A hung-up tty also reports POLLIN; the next read tells.
            if ((p.revents & (POLLHUP | POLLERR)) != 0) hangUpSeen = true;
        }
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
        if (fd < 0) return;
        // The tty may stay open elsewhere (a virtual adapter keeps its own
        // descriptor); a leftover exclusive flag would lock everyone else out.
        ioctl(fd, TIOCNXCL);
        close(fd);
    }

    bool IsOpen() const override { return fd_.load() >= 0; }
    int LastError() const override { return lastError_.load(); }

private:
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
    // Bytes that came before the hang-up are handed over first; the next call
    // reports it.
    int HangUp(std::size_t got) { return got > 0 ? static_cast<int>(got) : FailCount(EIO); }

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
