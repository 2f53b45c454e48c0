// The tavrol-sim program, run as a person would run it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "port_catalog.h"
#include "port_directory.h"
#include "registers.h"
#include "tool_side.h"

extern char** environ;

namespace tavrol::simtest {
namespace {

using Clock = std::chrono::steady_clock;

// The program with its standard output and error on a pipe.
class Program {
public:
    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), TAVROL_SIM_PROGRAM);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // The next output line that starts with `prefix`, or nothing by
    // `timeoutMs`.
    std::optional<std::string> WaitForLine(const std::string& prefix, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::size_t end;
            while ((end = buffer_.find('\n')) != std::string::npos) {
                const std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                output_ += line + "\n";
                if (line.rfind(prefix, 0) == 0) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Sends `sig` and waits for the end; the exit status, or -1.
    int Signal(int sig, int timeoutMs = 10000) {
        ::kill(pid_, sig);
        return Wait(timeoutMs);
    }

    int Wait(int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(5000);
        }
        return -1;
    }

    // Everything read so far, for failure messages.
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string output_;
};

// The device in "... (/dev/pts/N)...", empty when there is none.
std::string DeviceIn(const std::string& line) {
    const std::size_t open = line.find("(/dev/pts/");
    const std::size_t close = line.find(')', open);
    if (open == std::string::npos || close == std::string::npos) return {};
    const std::string device = line.substr(open + 1, close - open - 1);
    if (device.size() <= 9 || device.find_first_not_of("0123456789", 9) != std::string::npos) return {};
    return device;
}

// Every device "(/dev/pts/N)" in `line`, in order.
std::vector<std::string> DevicesIn(std::string line) {
    std::vector<std::string> devices;
    for (std::string device; !(device = DeviceIn(line)).empty();) {
        devices.push_back(device);
        line.erase(0, line.find(device) + device.size());
    }
    return devices;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string ReadLink(const std::string& path) {
    char target[256] = {};
    return ::readlink(path.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
}

std::string Com(int n) { return "COM" + std::to_string(n); }

Bytes LE32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

TEST(ProgramTest, RegistersItsPortLogsTheExchangesAndEndsOnSigterm) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    Program program({"--port-dir", ports, "--com", "12", "--baud", "57600", "--cpuid",
                     "000102030405060708090a0b", "--delay", "1"});
    ASSERT_TRUE(program.Started());
    const auto banner = program.WaitForLine("Virtual adapter on COM12 (");
    ASSERT_TRUE(banner.has_value()) << program.Output();
    const std::string slave = DeviceIn(*banner);
    ASSERT_FALSE(slave.empty()) << *banner;
    EXPECT_EQ(*banner, "Virtual adapter on COM12 (" + slave + "), serial rate 57600");
    const std::string link = ports + "/COM12";
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slave);

    ToolPort tool;
    ASSERT_TRUE(tool.Open(link, 57600));
    const auto reply = tool.Transact(ReadRequest(REG_CPUID_HI), 5000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(Bytes(reply->Data, reply->Data + 4), (Bytes{0x08, 0x09, 0x0a, 0x0b}));
    EXPECT_TRUE(program.WaitForLine("read REG_CPUID_HI -> 08 09 0a 0b (Dlc 4)"))
        << program.Output();
    ASSERT_TRUE(tool.Transact(WriteRequest(REG_CAN_BAUD, {0x20, 0xA1, 0x07, 0x00}), 5000));
    EXPECT_TRUE(program.WaitForLine("write REG_CAN_BAUD 500000 (Dlc 4) -> 500000 (Dlc 4)"))
        << program.Output();
    ASSERT_TRUE(tool.Send(ReadRequest(0x1FFFEC0)));
    EXPECT_TRUE(program.WaitForLine("read 0x1FFFEC0 -> no reply (unknown register)"))
        << program.Output();
    tool.Close();

    EXPECT_EQ(program.Signal(SIGTERM), 0) << program.Output();
    EXPECT_FALSE(Exists(link)) << "the link outlived the program";
}

TEST(ProgramTest, EndsOnSigintAndReplugsOnSigusr1) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    Program program({"--port-dir", ports, "--com", "3"});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(program.WaitForLine("Virtual adapter on COM3 ").has_value()) << program.Output();
    ToolPort tool;
    ASSERT_TRUE(tool.Open(ports + "/COM3", 115200));
    ASSERT_TRUE(tool.Transact(ReadRequest(REG_ART), 5000));

    // SIGUSR1: pulled and plugged back in, under the same number.
    ASSERT_EQ(::kill(program.Pid(), SIGUSR1), 0);
    const auto again = program.WaitForLine("plugged in again on COM3 (");
    ASSERT_TRUE(again.has_value()) << program.Output();
    EXPECT_FALSE(DeviceIn(*again).empty()) << *again;
    EXPECT_TRUE(tool.WaitForHangUp(5000));
    ASSERT_TRUE(tool.Open(ports + "/COM3", 115200));
    ASSERT_TRUE(tool.Transact(ReadRequest(REG_ART), 5000));
    tool.Close();

    EXPECT_EQ(program.Signal(SIGINT), 0) << program.Output();
    EXPECT_FALSE(Exists(ports + "/COM3"));
}

TEST(ProgramTest, UnplugsAndReplugsOnSchedule) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    // A long reply delay must not hold up the unplug or the end either.
    Program program({"--port-dir", ports, "--com", "4", "--unplug-after", "300", "--replug-after", "300",
                     "--delay", "60000"});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(program.WaitForLine("Virtual adapter on COM4 ").has_value()) << program.Output();
    ToolPort tool;
    ASSERT_TRUE(tool.Open(ports + "/COM4", 115200));
    ASSERT_TRUE(tool.Send(ReadRequest(REG_ART)));
    ASSERT_TRUE(program.WaitForLine("unplugged").has_value()) << program.Output();
    EXPECT_TRUE(tool.WaitForHangUp(5000));
    const auto again = program.WaitForLine("plugged in again on COM4 (");
    ASSERT_TRUE(again.has_value()) << program.Output();
    char target[256] = {};
    ASSERT_GT(::readlink((ports + "/COM4").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), DeviceIn(*again));
    EXPECT_EQ(program.Signal(SIGTERM), 0) << program.Output();
    EXPECT_NE(program.Output().find("read REG_ART -> no reply (not sent: unplugged)"), std::string::npos)
        << program.Output();
}

TEST(ProgramTest, HelpAndBadArguments) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"--help"}, 0, "--drop-every N"},
        {{"--cpuid", "0011"}, 2, "--cpuid wants 24 hex digits"},
        {{"--cpuid", "00112233445566778899aabg"}, 2, "--cpuid wants 24 hex digits"},
        {{"--com", "0"}, 2, "--com wants a COM number"},
        {{"--baud", "fast"}, 2, "--baud wants a bit rate"},
        {{"--com"}, 2, "--com needs a COM number"},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--replug-after", "10"}, 2, "--replug-after needs --unplug-after"},
        {{"--wrong-id=1"}, 2, "--wrong-id takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Program program(c.args);
        ASSERT_TRUE(program.Started());
        bool found = false;
        while (const auto line = program.WaitForLine("")) found = found || line->find(c.text) != std::string::npos;
        EXPECT_TRUE(found) << program.Output();
        EXPECT_EQ(program.Wait(), c.status);
    }
}

TEST(ProgramTest, SeveralAdaptersOnConsecutiveNumbersEachWithItsOwnRegistersAndLog) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    Program program({"--port-dir", ports, "--com", "20", "--count", "3"});
    ASSERT_TRUE(program.Started());
    const auto banner = program.WaitForLine("Virtual adapters on ");
    ASSERT_TRUE(banner.has_value()) << program.Output();
    const std::vector<std::string> devices = DevicesIn(*banner);
    ASSERT_EQ(devices.size(), 3u) << *banner;
    EXPECT_EQ(*banner, "Virtual adapters on COM20 (" + devices[0] + "), COM21 (" + devices[1] + "), COM22 (" +
                           devices[2] + "), serial rate 115200");
    EXPECT_EQ(std::set<std::string>(devices.begin(), devices.end()).size(), 3u) << *banner;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadLink(ports + "/" + Com(20 + i)), devices[i]) << Com(20 + i);

    // A different bit rate in each; each reply and log line is its own.
    const std::uint32_t rates[] = {125000, 250000, 1000000};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(Com(20 + i));
        ToolPort tool;
        ASSERT_TRUE(tool.Open(ports + "/" + Com(20 + i), 115200));
        const auto reply = tool.Transact(WriteRequest(REG_CAN_BAUD, LE32(rates[i])), 5000);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(Bytes(reply->Data, reply->Data + 4), LE32(rates[i]));
        const std::string rate = std::to_string(rates[i]);
        EXPECT_TRUE(program.WaitForLine(Com(20 + i) + ": write REG_CAN_BAUD " + rate + " (Dlc 4) -> " + rate))
            << program.Output();
    }

    // SIGUSR1 pulls every one and plugs it back under its number; each
    // still holds its own setting.
    ToolPort tools[3];
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(tools[i].Open(ports + "/" + Com(20 + i), 115200));
    ASSERT_EQ(::kill(program.Pid(), SIGUSR1), 0);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(Com(20 + i));
        const auto again = program.WaitForLine(Com(20 + i) + ": plugged in again on " + Com(20 + i) + " (");
        ASSERT_TRUE(again.has_value()) << program.Output();
        EXPECT_TRUE(tools[i].WaitForHangUp(5000));
        EXPECT_EQ(ReadLink(ports + "/" + Com(20 + i)), DeviceIn(*again));
    }
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(Com(20 + i));
        tools[i].Close();
        ASSERT_TRUE(tools[i].Open(ports + "/" + Com(20 + i), 115200));
        const auto reply = tools[i].Transact(ReadRequest(REG_CAN_BAUD), 5000);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(Bytes(reply->Data, reply->Data + 4), LE32(rates[i]));
        EXPECT_TRUE(program.WaitForLine(Com(20 + i) + ": read REG_CAN_BAUD -> " + std::to_string(rates[i])))
            << program.Output();
        tools[i].Close();
    }

    EXPECT_EQ(program.Signal(SIGTERM), 0) << program.Output();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Exists(ports + "/" + Com(20 + i))) << Com(20 + i) << " outlived the program";
}

TEST(ProgramTest, SeveralWithoutANumberTakeTheLowestRunOfFreeNumbers) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    ASSERT_TRUE(EnsurePortDirectory(ports, nullptr));
    // COM2 is someone's live port, COM4 a file that is no port but holds the
    // name. Free alone are COM1 and COM3; a run of two starts after COM4.
    ASSERT_EQ(::symlink("/dev/null", (ports + "/COM2").c_str()), 0);
    ASSERT_EQ(::close(::open((ports + "/COM4").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
    std::set<int> taken = {2, 4};
    PortSources sources = DefaultPortSources();
    sources.portDirectory = ports;
    for (const PortEntry& e : ListSerialPorts(sources)) taken.insert(e.number);  // the system's own ports
    int first = 1;
    while (taken.count(first) || taken.count(first + 1)) ++first;

    Program program({"--port-dir", ports, "--count", "2"});
    ASSERT_TRUE(program.Started());
    const auto banner = program.WaitForLine("Virtual adapters on ");
    ASSERT_TRUE(banner.has_value()) << program.Output();
    const std::vector<std::string> devices = DevicesIn(*banner);
    ASSERT_EQ(devices.size(), 2u) << *banner;
    EXPECT_EQ(*banner, "Virtual adapters on " + Com(first) + " (" + devices[0] + "), " + Com(first + 1) + " (" +
                           devices[1] + "), serial rate 115200");
    EXPECT_EQ(ReadLink(ports + "/" + Com(first + 1)), devices[1]);
    EXPECT_EQ(program.Signal(SIGTERM), 0) << program.Output();
    EXPECT_EQ(ReadLink(ports + "/COM2"), "/dev/null") << "someone else's port is left alone";
    EXPECT_TRUE(Exists(ports + "/COM4"));
}

TEST(ProgramTest, ARunWithATakenNumberStartsNone) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    ASSERT_TRUE(EnsurePortDirectory(ports, nullptr));
    ASSERT_EQ(::symlink("/dev/null", (ports + "/COM21").c_str()), 0);
    Program program({"--port-dir", ports, "--com", "20", "--count", "3"});
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_TRUE(program.WaitForLine("tavrol-sim: COM21: ").has_value()) << program.Output();
    EXPECT_FALSE(Exists(ports + "/COM20")) << "the adapter started before the refusal stays registered";
    EXPECT_FALSE(Exists(ports + "/COM22"));
    EXPECT_EQ(ReadLink(ports + "/COM21"), "/dev/null");
}

struct BadCountCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const BadCountCase& c, std::ostream* os) {
    for (const std::string& a : c.args) *os << a << " ";
}

class BadCountTest : public ::testing::TestWithParam<BadCountCase> {};

TEST_P(BadCountTest, IsRefusedBeforeAnyPortIsRegistered) {
    TempDir dir;
    const std::string ports = dir.Path() + "/ports";
    std::vector<std::string> args = {"--port-dir", ports};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    Program program(args);
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_TRUE(program.WaitForLine(std::string("tavrol-sim: ") + GetParam().message).has_value())
        << program.Output();
    EXPECT_FALSE(Exists(ports)) << "the port directory was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Counts, BadCountTest,
    ::testing::Values(BadCountCase{"Zero", {"--count", "0"}, "--count wants a count from 1 to 64, not '0'"},
                      BadCountCase{"AboveSixtyFour", {"--count", "65"}, "--count wants a count from 1 to 64, not '65'"},
                      BadCountCase{"Negative", {"--count", "-3"}, "--count wants a count from 1 to 64, not '-3'"},
                      BadCountCase{"NotANumber", {"--count=two"}, "--count wants a count from 1 to 64, not 'two'"},
                      BadCountCase{"Missing", {"--count"}, "--count needs a count"},
                      BadCountCase{"PastTheLastComNumber",
                                   {"--com", "9998", "--count", "3"},
                                   "--count 3 from --com 9998 goes past COM9999"}),
    [](const ::testing::TestParamInfo<BadCountCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrol::simtest
