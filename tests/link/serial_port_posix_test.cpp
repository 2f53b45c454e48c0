// The POSIX serial port, driven through a pseudo-terminal: the port opens the
// slave, the test plays the other end on the master.
#include <gtest/gtest.h>

// <asm/termbits.h> and <termios.h> cannot be used together; the master side
// is read with termios2 too.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial_port.h"

namespace tavrol {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kRates[] = {300,   600,    1200,   1800,   2400,   4000,   4800,   7200,   9600,  14400,
                                    16000, 19200,  28800,  38400,  51200,  56000,  57600,  64000,  76800, 115200,
                                    128000, 153600, 230400, 250000, 256000, 460800, 500000, 576000, 921600};

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0) << "no pseudo-terminals: " << errno;
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
        port_ = CreateSystemSerialPort();
    }

    static PortTarget Target(const std::string& path) { return TargetForDevicePath(path); }

    void TearDown() override {
        port_->Close();
        if (holder_ >= 0) close(holder_);
        if (master_ >= 0) close(master_);
    }

    // Opens the port on the slave and makes it raw at 115200.
    void OpenRaw() {
        ASSERT_TRUE(port_->Open(Target(slave_))) << port_->LastError();
        ASSERT_TRUE(port_->SetSettings(LineSettings{115200, 8, 0, 0})) << port_->LastError();
    }

    // A descriptor of the test's own on the slave, taken before the port opens
    // it (as the virtual adapter keeps one).
    void HoldSlave() {
        holder_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(holder_, 0) << errno;
    }

    termios2 MasterTermios() {
        termios2 tio{};
        EXPECT_EQ(ioctl(master_, TCGETS2, &tio), 0) << errno;
        return tio;
    }

    void WriteMaster(const Bytes& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())) << errno;
    }

    // What the port sent, up to `count` bytes or until `ms` pass.
    Bytes ReadMaster(std::size_t count, int ms) {
        Bytes got;
        const auto deadline = Clock::now() + milliseconds(ms);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            std::uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    bool MasterHasInput(int ms) {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
    }

    // Reads through the port until `count` bytes came or `ms` passed (then
    // the wait is stopped from outside, as Close does).
    Bytes ReadPort(std::size_t count, int ms) {
        Bytes got;
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            const auto deadline = Clock::now() + milliseconds(ms);
            while (!done.load() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
            if (!done.load()) port_->StopReading();
        });
        while (got.size() < count) {
            std::uint8_t buffer[64];
            const ReadResult r = port_->Read(buffer, std::min(sizeof buffer, count - got.size()));
            if (r.status != ReadStatus::Data) break;
            got.insert(got.end(), buffer, buffer + r.count);
        }
        done.store(true);
        watchdog.join();
        return got;
    }

    int master_ = -1;
    int holder_ = -1;
    std::string slave_;
    std::unique_ptr<SerialPort> port_;
};

// ---------------------------------------------------------------------------
// Opening and closing.

TEST_F(PtyTest, OpenIsExclusiveWithinAndAcrossProcesses) {
    ASSERT_TRUE(port_->Open(Target(slave_))) << port_->LastError();
    EXPECT_TRUE(port_->IsOpen());

    auto second = CreateSystemSerialPort();
    EXPECT_FALSE(second->Open(Target(slave_)));
    EXPECT_FALSE(second->IsOpen());
    EXPECT_NE(second->LastError(), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto other = CreateSystemSerialPort();
        _exit(other->Open(Target(slave_)) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the port too";

    // Once closed, the port is free again, for the same object and others.
    port_->Close();
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_TRUE(second->Open(Target(slave_))) << second->LastError();
    second->Close();
    EXPECT_TRUE(port_->Open(Target(slave_))) << port_->LastError();
}

// A pseudo-terminal stays open in whoever holds its other side; an exclusive
// flag left on it by a killed program would lock everyone out, so the lock
// alone keeps a second opener away there.
TEST_F(PtyTest, PseudoTerminalIsNeverLeftExclusive) {
    HoldSlave();
    int exclusive = -1;
    ASSERT_TRUE(port_->Open(Target(slave_)));
    ASSERT_EQ(ioctl(holder_, TIOCGEXCL, &exclusive), 0) << errno;
    EXPECT_EQ(exclusive, 0);
    auto second = CreateSystemSerialPort();
    EXPECT_FALSE(second->Open(Target(slave_)));
    EXPECT_EQ(second->LastError(), EBUSY);
    port_->Close();
    port_->Close();  // closing twice is harmless
    EXPECT_FALSE(port_->IsOpen());
}

// Root ignores the exclusive flag, so the program that dies and the one that
// comes after run as an ordinary user.
TEST_F(PtyTest, KilledOwnerLeavesThePortUsableForTheNextProgram) {
    HoldSlave();
    const bool root = geteuid() == 0;
    const uid_t user = root ? 65534 : geteuid();
    if (root) {
        ASSERT_EQ(chown(slave_.c_str(), user, user), 0) << errno;
    }
    auto becomeUser = [&] {
        if (root && (setgid(user) != 0 || setuid(user) != 0)) _exit(3);
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t owner = fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        becomeUser();
        auto port = CreateSystemSerialPort();
        if (!port->Open(Target(slave_))) _exit(2);
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(4);
        for (;;) pause();
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the first program could not open the port";
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(kill(owner, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(owner, &status, 0), owner);

    const pid_t next = fork();
    ASSERT_GE(next, 0);
    if (next == 0) {
        becomeUser();
        auto port = CreateSystemSerialPort();
        _exit(port->Open(Target(slave_)) ? 0 : 10 + port->LastError() % 100);
    }
    ASSERT_EQ(waitpid(next, &status, 0), next);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the port stayed locked after its owner was killed";
}

TEST_F(PtyTest, OpenRefusesWhatIsNotAnAvailableTtyWithItsReason) {
    std::string dir = (std::filesystem::temp_directory_path() / "serial_port_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string file = dir + "/plain";
    std::ofstream(file) << "not a tty";
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string ports = dir + "/ports";
    ASSERT_EQ(mkdir(ports.c_str(), 0700), 0);
    std::filesystem::create_symlink(file, ports + "/COM1");
    std::filesystem::create_symlink(fifo, ports + "/COM2");
    std::filesystem::create_symlink(dir + "/gone", ports + "/COM3");
    std::filesystem::create_symlink(dir, ports + "/COM4");
    std::filesystem::create_symlink(slave_, ports + "/COM5");
    std::filesystem::create_symlink("/dev/null", ports + "/COM6");
    const std::string open = dir + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    std::filesystem::create_symlink(slave_, open + "/COM5");

    struct Case {
        std::string what;
        PortTarget target;
        int error;
    };
    const std::vector<Case> cases = {
        {"missing device", Target(dir + "/missing"), ENOENT},
        {"regular file", Target(file), ENOTTY},
        {"fifo", Target(fifo), ENOTTY},
        {"directory", Target(dir), ENOTTY},
        {"character device that is no tty", Target("/dev/null"), ENOTTY},
        {"no device named", Target(""), ENOENT},
        {"link to a regular file", PortTarget{file, ports, "COM1"}, ENOTTY},
        {"link to a fifo", PortTarget{fifo, ports, "COM2"}, ENOTTY},
        {"dangling link", PortTarget{"", ports, "COM3"}, ENOENT},
        {"link to a directory", PortTarget{dir, ports, "COM4"}, ENOTTY},
        {"link to a character device that is no tty", PortTarget{"/dev/null", ports, "COM6"}, ENOTTY},
        {"link that is gone", PortTarget{slave_, ports, "COM9"}, ENOENT},
        {"link in a directory others may change", PortTarget{slave_, open, "COM5"}, EPERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(port_->Open(c.target));
        EXPECT_FALSE(port_->IsOpen());
        EXPECT_EQ(port_->LastError(), c.error);
    }
    // Nothing opened the fifo: a writer still finds no reader.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_EQ(writer, -1);
    EXPECT_EQ(errno, ENXIO);

    // The same link to the pseudo-terminal, in the private directory, opens.
    EXPECT_TRUE(port_->Open(PortTarget{slave_, ports, "COM5"})) << port_->LastError();
    std::filesystem::remove_all(dir);
}

TEST_F(PtyTest, OperationsOnAClosedPortFail) {
    std::uint8_t buffer[8] = {};
    LineSettings settings;
    EXPECT_EQ(port_->Read(buffer, sizeof buffer).status, ReadStatus::Failed);
    EXPECT_EQ(port_->LastError(), EBADF);
    port_->StopReading();
    EXPECT_EQ(port_->Write(buffer, sizeof buffer, 100), -1);
    EXPECT_FALSE(port_->GetSettings(settings));
    EXPECT_FALSE(port_->SetSettings(LineSettings{9600, 8, 0, 0}));
    EXPECT_FALSE(port_->SetQueueSizes(8194, 8194));
    port_->Purge();
}

// ---------------------------------------------------------------------------
// Line settings.

TEST_F(PtyTest, EveryRateOfTheRateListRoundTrips) {
    ASSERT_TRUE(port_->Open(Target(slave_)));
    for (std::uint32_t rate : kRates) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        ASSERT_TRUE(port_->SetSettings(LineSettings{rate, 8, 0, 0})) << port_->LastError();
        LineSettings got{};
        ASSERT_TRUE(port_->GetSettings(got));
        EXPECT_EQ(got.baudRate, rate);
        EXPECT_EQ(got.dataBits, 8);
        EXPECT_EQ(got.parity, 0);
        EXPECT_EQ(got.stopBits, 0);
        // The other end sees it too: this is how the virtual adapter learns the rate.
        const termios2 tio = MasterTermios();
        EXPECT_EQ(tio.c_ospeed, rate);
        EXPECT_EQ(tio.c_ispeed, rate);
    }
    EXPECT_TRUE(port_->SetQueueSizes(8194, 8194));
}

// A pseudo-terminal always holds 8 data bits without parity, so of the
// framing only the stop bits can be seen to round-trip here.
TEST_F(PtyTest, StopBitsRoundTripAndInvalidSettingsAreRefused) {
    ASSERT_TRUE(port_->Open(Target(slave_)));
    for (std::uint8_t stopBits : {2, 0}) {
        SCOPED_TRACE("stop bits " + std::to_string(stopBits));
        ASSERT_TRUE(port_->SetSettings(LineSettings{19200, 8, 0, stopBits})) << port_->LastError();
        LineSettings got{};
        ASSERT_TRUE(port_->GetSettings(got));
        EXPECT_EQ(got.stopBits, stopBits);
        EXPECT_EQ((MasterTermios().c_cflag & CSTOPB) != 0, stopBits != 0);
    }

    ASSERT_TRUE(port_->SetSettings(LineSettings{115200, 8, 0, 0}));
    const std::vector<LineSettings> invalid = {
        {0, 8, 0, 0}, {9600, 9, 0, 0}, {9600, 4, 0, 0}, {9600, 8, 5, 0}, {9600, 8, 0, 3},
    };
    for (const LineSettings& s : invalid) {
        EXPECT_FALSE(port_->SetSettings(s));
        EXPECT_EQ(port_->LastError(), EINVAL);
    }
    LineSettings got{};
    ASSERT_TRUE(port_->GetSettings(got));
    EXPECT_EQ(got.baudRate, 115200u) << "a refused setting changed the line";
}

TEST_F(PtyTest, SettingsMakeACookedTtyRawSoEveryBytePassesUnchanged) {
    const termios2 cooked = MasterTermios();
    ASSERT_NE(cooked.c_lflag & ICANON, 0u) << "a fresh pseudo-terminal should start cooked";
    ASSERT_NE(cooked.c_lflag & ECHO, 0u);

    OpenRaw();
    const termios2 tio = MasterTermios();
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    const Bytes special = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0x00, 0xFF, 0x1A, 0x04, 0x15, 0x17};

    WriteMaster(special);
    EXPECT_EQ(ReadPort(special.size(), 3000), special);
    EXPECT_FALSE(MasterHasInput(200)) << "the tty echoed input back";

    ASSERT_EQ(port_->Write(special.data(), special.size(), INFINITE), static_cast<int>(special.size()));
    EXPECT_EQ(ReadMaster(special.size(), 3000), special);
    EXPECT_FALSE(MasterHasInput(100)) << "output was translated into more bytes";
}

// ---------------------------------------------------------------------------
// Reading.

TEST_F(PtyTest, ReadWaitsForDataWithoutALimitUntilStopped) {
    OpenRaw();
    std::atomic<int> finished{0};
    ReadResult first;
    std::uint8_t buffer[64];
    std::thread reader([&] {
        first = port_->Read(buffer, sizeof buffer);
        finished = 1;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(finished.load(), 0) << "an idle read ended by itself";
    WriteMaster({'a', 'b'});
    reader.join();
    EXPECT_EQ(first.status, ReadStatus::Data);
    EXPECT_EQ(Bytes(buffer, buffer + first.count), (Bytes{'a', 'b'}));

    finished = 0;
    ReadResult stopped;
    std::thread waiter([&] {
        stopped = port_->Read(buffer, sizeof buffer);
        finished = 1;
    });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(finished.load(), 0);
    port_->StopReading();
    waiter.join();
    EXPECT_EQ(stopped.status, ReadStatus::Stopped);
    // Stopped stays stopped, even with data there, until the port is opened again.
    WriteMaster({'c'});
    EXPECT_EQ(port_->Read(buffer, sizeof buffer).status, ReadStatus::Stopped);
    port_->Close();
    OpenRaw();
    WriteMaster({'d'});
    EXPECT_EQ(ReadPort(2, 3000), (Bytes{'c', 'd'}));
}

TEST_F(PtyTest, ReadTakesAtMostTheRequestedCount) {
    HoldSlave();
    OpenRaw();
    Bytes sent(100);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
    WriteMaster(sent);
    pollfd p{holder_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    std::this_thread::sleep_for(milliseconds(50));  // all 100 bytes in the tty

    std::uint8_t buffer[128] = {};
    ReadResult r = port_->Read(buffer, 64);
    ASSERT_EQ(r.status, ReadStatus::Data);
    ASSERT_EQ(r.count, 64);
    EXPECT_EQ(Bytes(buffer, buffer + 64), Bytes(sent.begin(), sent.begin() + 64));
    EXPECT_EQ(buffer[64], 0) << "wrote past the requested count";
    r = port_->Read(buffer, 64);
    ASSERT_EQ(r.count, 36);
    EXPECT_EQ(Bytes(buffer, buffer + 36), Bytes(sent.begin() + 64, sent.end()));
    EXPECT_EQ(port_->Read(buffer, 0).status, ReadStatus::Failed);
}

TEST_F(PtyTest, PurgeDropsPendingInput) {
    HoldSlave();
    OpenRaw();
    WriteMaster({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    pollfd p{holder_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1) << "the bytes never reached the tty";

    port_->Purge();
    // The port goes on working after a purge, and the first byte it reads
    // is the one sent after it.
    WriteMaster({42});
    EXPECT_EQ(ReadPort(1, 3000), Bytes{42});
}

TEST_F(PtyTest, HangUpEndsAWaitingReadAsLost) {
    OpenRaw();
    std::uint8_t buffer[64];
    ReadResult r;
    std::thread reader([&] { r = port_->Read(buffer, sizeof buffer); });
    std::this_thread::sleep_for(milliseconds(100));
    close(master_);
    master_ = -1;
    reader.join();
    EXPECT_EQ(r.status, ReadStatus::Lost);
    EXPECT_EQ(port_->LastError(), EIO);
    EXPECT_EQ(port_->Read(buffer, sizeof buffer).status, ReadStatus::Lost) << "and stays so";
    EXPECT_EQ(port_->Write(buffer, 4, 1000), -1);
    port_->Close();
    EXPECT_FALSE(port_->IsOpen());
}

// ---------------------------------------------------------------------------
// Writing.

TEST_F(PtyTest, WriteThatCannotFinishEndsAtTheLimit) {
    struct Case {
        const char* what;
        PortTimeouts timeouts;
        std::uint32_t timeoutMs;
    };
    const std::vector<Case> cases = {
        {"caller's time-out", PortTimeouts{}, 200},
        {"driver's time-out", PortTimeouts{0, 200}, INFINITE},
        {"the shorter of both", PortTimeouts{0, 200}, 100000},
    };
    OpenRaw();
    const Bytes big(4 << 20, 0x5A);  // far more than the tty buffers hold; nobody reads
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port_->SetTimeouts(c.timeouts);
        const auto start = Clock::now();
        const int written = port_->Write(big.data(), big.size(), c.timeoutMs);
        EXPECT_GE(written, 0) << port_->LastError();
        EXPECT_LT(written, static_cast<int>(big.size()));
        EXPECT_LT(MillisecondsSince(start), 10000);
    }
}

TEST_F(PtyTest, ReadAndWriteRunTogetherOnTwoThreads) {
    OpenRaw();
    constexpr std::size_t kCount = 20000;
    Bytes sent(kCount);
    for (std::size_t i = 0; i < kCount; ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + i / 256);

    // The far end sends back whatever it gets.
    std::thread echo([this] {
        std::size_t echoed = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (echoed < kCount && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            std::uint8_t buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t off = 0; off < n;) {
                const ssize_t w = write(master_, buffer + off, n - off);
                if (w <= 0) return;
                off += w;
            }
            echoed += static_cast<std::size_t>(n);
        }
    });
    Bytes received;
    std::thread reader([&] { received = ReadPort(kCount, 20000); });

    for (std::size_t off = 0; off < kCount; off += 37) {
        const std::size_t n = std::min<std::size_t>(37, kCount - off);
        const int written = port_->Write(sent.data() + off, n, INFINITE);
        if (written != static_cast<int>(n)) {
            ADD_FAILURE() << "wrote " << written << " of " << n << ", error " << port_->LastError();
            break;
        }
    }
    reader.join();
    echo.join();
    EXPECT_EQ(received, sent);
}

}  // namespace
}  // namespace tavrol
