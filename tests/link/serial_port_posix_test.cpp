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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

    void TearDown() override {
        port_->Close();
        if (holder_ >= 0) close(holder_);
        if (master_ >= 0) close(master_);
    }

    // Opens the port on the slave and makes it raw at 115200.
    void OpenRaw() {
        ASSERT_TRUE(port_->Open(slave_)) << port_->LastError();
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

    // Reads through the port until `count` bytes came or `ms` passed.
    Bytes ReadPort(std::size_t count, int ms) {
        Bytes got;
        const auto deadline = Clock::now() + milliseconds(ms);
        while (got.size() < count && Clock::now() < deadline) {
            std::uint8_t buffer[64];
            const int n = port_->Read(buffer, std::min(sizeof buffer, count - got.size()));
            if (n < 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
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
    ASSERT_TRUE(port_->Open(slave_)) << port_->LastError();
    EXPECT_TRUE(port_->IsOpen());

    auto second = CreateSystemSerialPort();
    EXPECT_FALSE(second->Open(slave_));
    EXPECT_FALSE(second->IsOpen());
    EXPECT_NE(second->LastError(), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto other = CreateSystemSerialPort();
        _exit(other->Open(slave_) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the port too";

    // Once closed, the port is free again, for the same object and others.
    port_->Close();
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_TRUE(second->Open(slave_)) << second->LastError();
    second->Close();
    EXPECT_TRUE(port_->Open(slave_)) << port_->LastError();
}

TEST_F(PtyTest, CloseClearsTheExclusiveFlagOfATtyThatStaysOpen) {
    HoldSlave();
    int exclusive = -1;
    ASSERT_TRUE(port_->Open(slave_));
    ASSERT_EQ(ioctl(holder_, TIOCGEXCL, &exclusive), 0) << errno;
    EXPECT_EQ(exclusive, 1);
    port_->Close();
    ASSERT_EQ(ioctl(holder_, TIOCGEXCL, &exclusive), 0) << errno;
    EXPECT_EQ(exclusive, 0);
    port_->Close();  // closing twice is harmless
    EXPECT_FALSE(port_->IsOpen());
}

TEST_F(PtyTest, OpenFailsOnWhatIsNotAnAvailableTty) {
    std::string dir = (std::filesystem::temp_directory_path() / "serial_port_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string file = dir + "/plain";
    std::ofstream(file) << "not a tty";

    struct Case {
        std::string path;
        int error;
    };
    const std::vector<Case> cases = {
        {dir + "/missing", ENOENT},
        {file, ENOTTY},
        {"/dev/null", ENOTTY},
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(port_->Open(c.path));
        EXPECT_FALSE(port_->IsOpen());
        EXPECT_EQ(port_->LastError(), c.error);
    }
    std::filesystem::remove_all(dir);
}

TEST_F(PtyTest, OperationsOnAClosedPortFail) {
    std::uint8_t buffer[8] = {};
    LineSettings settings;
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), -1);
    EXPECT_EQ(port_->LastError(), EBADF);
    EXPECT_EQ(port_->Write(buffer, sizeof buffer, 100), -1);
    EXPECT_FALSE(port_->GetSettings(settings));
    EXPECT_FALSE(port_->SetSettings(LineSettings{9600, 8, 0, 0}));
    EXPECT_FALSE(port_->SetQueueSizes(8194, 8194));
    port_->Purge();
}

// ---------------------------------------------------------------------------
// Line settings.

TEST_F(PtyTest, EveryRateOfTheRateListRoundTrips) {
    ASSERT_TRUE(port_->Open(slave_));
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
    ASSERT_TRUE(port_->Open(slave_));
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
    port_->SetTimeouts(PortTimeouts{20, 0, 2000, 1000, 50000});

    WriteMaster(special);
    EXPECT_EQ(ReadPort(special.size(), 3000), special);
    EXPECT_FALSE(MasterHasInput(200)) << "the tty echoed input back";

    ASSERT_EQ(port_->Write(special.data(), special.size(), INFINITE), static_cast<int>(special.size()));
    EXPECT_EQ(ReadMaster(special.size(), 3000), special);
    EXPECT_FALSE(MasterHasInput(100)) << "output was translated into more bytes";
}

// ---------------------------------------------------------------------------
// Reading.

TEST_F(PtyTest, IdleReadEndsWithNothingWithinTheTotalTimeout) {
    OpenRaw();
    port_->SetTimeouts(PortTimeouts{});  // 1, 1, 1: 65 ms for 64 bytes
    std::uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), 0) << port_->LastError();
    EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(PtyTest, ReadWaitsForTheFirstByteThenEndsAtTheGap) {
    OpenRaw();
    port_->SetTimeouts(PortTimeouts{50, 0, 10000, 1000, 50000});
    std::thread writer([this] {
        std::this_thread::sleep_for(milliseconds(100));
        const Bytes first = {'a', 'b', 'c'};
        ASSERT_EQ(write(master_, first.data(), first.size()), 3);
        std::this_thread::sleep_for(milliseconds(600));
        const Bytes second = {'d', 'e'};
        ASSERT_EQ(write(master_, second.data(), second.size()), 2);
    });
    std::uint8_t buffer[64];
    const auto start = Clock::now();
    const int first = port_->Read(buffer, sizeof buffer);
    const auto firstMs = MillisecondsSince(start);
    const Bytes firstBytes(buffer, buffer + std::max(first, 0));
    const int second = port_->Read(buffer, sizeof buffer);
    const Bytes secondBytes(buffer, buffer + std::max(second, 0));
    writer.join();

    EXPECT_EQ(firstBytes, (Bytes{'a', 'b', 'c'}));
    EXPECT_LT(firstMs, 5000) << "the read waited for its total time-out despite the gap";
    EXPECT_EQ(secondBytes, (Bytes{'d', 'e'}));
}

TEST_F(PtyTest, ReadOnFirstBytesReturnsWhatHasArrivedWithoutAGap) {
    OpenRaw();
    const PortTimeouts firstBytes{INFINITE, INFINITE, 65, 1000, 50000};
    port_->SetTimeouts(firstBytes);
    std::uint8_t buffer[64];
    auto start = Clock::now();
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), 0) << port_->LastError();
    EXPECT_LT(MillisecondsSince(start), 1000);

    // Bytes arriving while the read waits end it at once; a second burst
    // 300 ms later is left for the next read, not waited for.
    std::thread writer([this] {
        std::this_thread::sleep_for(milliseconds(20));
        WriteMaster({'a', 'b'});
        std::this_thread::sleep_for(milliseconds(300));
        WriteMaster({'c'});
    });
    port_->SetTimeouts(PortTimeouts{INFINITE, INFINITE, 5000, 1000, 50000});
    start = Clock::now();
    const int first = port_->Read(buffer, sizeof buffer);
    const auto firstMs = MillisecondsSince(start);
    EXPECT_EQ(Bytes(buffer, buffer + std::max(first, 0)), (Bytes{'a', 'b'}));
    EXPECT_LT(firstMs, 250);
    const int second = port_->Read(buffer, sizeof buffer);
    EXPECT_EQ(Bytes(buffer, buffer + std::max(second, 0)), (Bytes{'c'}));
    writer.join();
}

TEST_F(PtyTest, ReadTakesAtMostTheRequestedCount) {
    OpenRaw();
    port_->SetTimeouts(PortTimeouts{50, 0, 2000, 1000, 50000});
    Bytes sent(100);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
    WriteMaster(sent);

    std::uint8_t buffer[128] = {};
    ASSERT_EQ(port_->Read(buffer, 64), 64);
    EXPECT_EQ(Bytes(buffer, buffer + 64), Bytes(sent.begin(), sent.begin() + 64));
    EXPECT_EQ(buffer[64], 0) << "wrote past the requested count";
    ASSERT_EQ(port_->Read(buffer, 64), 36);
    EXPECT_EQ(Bytes(buffer, buffer + 36), Bytes(sent.begin() + 64, sent.end()));
    EXPECT_EQ(port_->Read(buffer, 0), 0);
}

TEST_F(PtyTest, PurgeDropsPendingInput) {
    HoldSlave();
    OpenRaw();
    WriteMaster({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    pollfd p{holder_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1) << "the bytes never reached the tty";

    port_->Purge();
    std::uint8_t buffer[64];
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), 0) << port_->LastError();

    // The port goes on working after a purge.
    port_->SetTimeouts(PortTimeouts{20, 0, 2000, 1000, 50000});
    WriteMaster({42});
    EXPECT_EQ(ReadPort(1, 3000), Bytes{42});
}

TEST_F(PtyTest, HangUpMakesReadFailWithEioAtOnce) {
    OpenRaw();
    port_->SetTimeouts(PortTimeouts{1, 0, 10000, 1000, 50000});
    close(master_);
    master_ = -1;

    std::uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), -1);
    EXPECT_EQ(port_->LastError(), EIO);
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), -1);  // and stays so
    EXPECT_LT(MillisecondsSince(start), 5000) << "the read waited although the line is gone";
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
        {"driver's time-out", PortTimeouts{1, 1, 1, 0, 200}, INFINITE},
        {"the shorter of both", PortTimeouts{1, 1, 1, 0, 200}, 100000},
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
    port_->SetTimeouts(PortTimeouts{});
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
