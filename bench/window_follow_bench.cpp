#include "window_follow.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "bench_adapter.h"
#include "child.h"
#include "port_catalog.h"
#include "rt_can.h"

namespace tavrol::bench {

namespace {

double MsSince(std::uint64_t t0, std::uint64_t t1) { return static_cast<double>(t1 - t0) / 1e6; }

// Reads lines until one starts with `prefix`; throws on time-out.
std::string ReadUntil(int fd, const std::string& prefix, int timeoutMs) {
    for (;;) {
        const std::string line = ReadLine(fd, timeoutMs);
        if (line.empty()) throw std::runtime_error("no \"" + prefix + "\" from the window");
        if (line.rfind(prefix, 0) == 0) return line;
    }
}

std::uint64_t NanosAfter(const std::string& line, const std::string& prefix) {
    return std::stoull(line.substr(prefix.size()));
}

// The link's own notice of a hang-up, for the floor: a bare channel on the
// adapter's port, in this process.
class TimedChannel : public RT_CAN {
public:
    explicit TimedChannel(PortResolver* ports) : RT_CAN(CreateSystemSerialPort(), ports) {}
    void OnPortLost() override {
        RT_CAN::OnPortLost();
        lostAt.store(Nanos(CLOCK_MONOTONIC));
    }
    std::atomic<std::uint64_t> lostAt{0};
};

double LinkNoticeMs(AdapterOnPty& rig) {
    PortSources sources = DefaultPortSources();
    sources.portDirectory = rig.PortDirectory();
    PortCatalog ports(sources);
    TimedChannel channel(&ports);
    if (channel.Open(rig.Adapter().ComNumber(), 115200) == 0) throw std::runtime_error("the link did not open");
    const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
    rig.Adapter().Unplug();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (channel.lostAt.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    const std::uint64_t lostAt = channel.lostAt.load();
    channel.Close();
    if (!rig.Adapter().Replug()) throw std::runtime_error("the adapter did not come back");
    if (lostAt == 0) throw std::runtime_error("the link saw no hang-up");
    return MsSince(t0, lostAt);
}

void HangUpRow(const Settings& s, const std::string& driver, std::vector<Row>& rows) {
    const std::string name = "adapter hang-up to the window's disconnected look";
    const std::string target = "≤ 200 ms";
    const int rounds = s.quick ? 2 : 10;
    try {
        AdapterOnPty rig;
        std::vector<double> floors;
        for (int i = 0; i < rounds; ++i) floors.push_back(LinkNoticeMs(rig));

        ChildProcess child(driver, {"--lost", std::to_string(rig.Adapter().ComNumber()), rig.PortDirectory()});
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            ReadUntil(child.From(), "connected", 30000);
            const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
            rig.Adapter().Unplug();
            const std::string lost = ReadUntil(child.From(), "lost ", 10000);
            times.push_back(MsSince(t0, NanosAfter(lost, "lost ")));
            if (!rig.Adapter().Replug()) throw std::runtime_error("the adapter did not come back");
            WriteLine(child.To(), "again");
        }
        ReadUntil(child.From(), "connected", 30000);
        WriteLine(child.To(), "quit");
        if (!child.Wait()) throw std::runtime_error("the window did not end cleanly");

        const double median = Median(times);
        const double slowest = Percentile(times, 100);
        Row r;
        r.figure = name + ", median of " + std::to_string(rounds);
        r.measured = FormatMs(median);
        r.floor = FormatMs(Median(floors)) + " (the link's own notice)";
        r.ratio = median / Median(floors);
        r.target = target + " (slowest)";
        r.met = slowest <= 200.0;
        r.note = "slowest " + FormatMs(slowest) + "; each time reconnected with one click after the replug";
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, target, e.what()));
    }
}

// The moment inotify reports a new entry of `directory`, for the floor.
double InotifyNoticeMs(const std::string& directory, const std::string& target) {
    const int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) throw std::runtime_error("inotify is not available");
    ::inotify_add_watch(fd, directory.c_str(), IN_CREATE);
    const std::string link = directory + "/COM99";
    const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
    std::filesystem::create_symlink(target, link);
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 5000);
    const std::uint64_t t1 = Nanos(CLOCK_MONOTONIC);
    ::close(fd);
    std::filesystem::remove(link);
    if (ready != 1) throw std::runtime_error("inotify reported nothing");
    return MsSince(t0, t1);
}

void ListRow(const Settings& s, const std::string& driver, std::vector<Row>& rows) {
    const std::string name = "COM link appearing in the port directory to its item in the port list";
    const std::string target = "≤ 1 s";
    const int rounds = s.quick ? 2 : 10;
    try {
        AdapterOnPty rig;
        const std::string slave = rig.Adapter().SlavePath();
        std::vector<double> floors;
        for (int i = 0; i < rounds; ++i) floors.push_back(InotifyNoticeMs(rig.PortDirectory(), slave));

        ChildProcess child(driver, {"--list", rig.PortDirectory()});
        ReadUntil(child.From(), "ready", 30000);
        const std::string item = "COM" + std::to_string(rig.Adapter().ComNumber() + 10);
        const std::string link = rig.PortDirectory() + "/" + item;
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
            std::filesystem::create_symlink(slave, link);
            const std::string listed = ReadUntil(child.From(), "listed " + item + " ", 10000);
            times.push_back(MsSince(t0, NanosAfter(listed, "listed " + item + " ")));
            std::filesystem::remove(link);
            ReadUntil(child.From(), "unlisted " + item + " ", 10000);
        }
        WriteLine(child.To(), "quit");
        if (!child.Wait()) throw std::runtime_error("the window did not end cleanly");

        const double median = Median(times);
        const double slowest = Percentile(times, 100);
        Row r;
        r.figure = name + ", median of " + std::to_string(rounds);
        r.measured = FormatMs(median);
        r.floor = FormatMs(Median(floors)) + " (inotify's own notice)";
        r.target = target + " (slowest)";
        r.met = slowest <= 1000.0;
        r.note = "slowest " + FormatMs(slowest) + "; the window lets a burst of changes settle for 50 ms";
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, target, e.what()));
    }
}

struct ThreadCount {
    std::string name;
    long long wakeUps = 0;  // voluntary context switches: each one is a sleep, then a wake-up
};

std::map<int, ThreadCount> WakeUps(int pid) {
    std::map<int, ThreadCount> threads;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream in(task.path() / "status");
        ThreadCount count;
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("Name:", 0) == 0) count.name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) count.wakeUps = std::stoll(line.substr(24));
        }
        threads[std::stoi(task.path().filename().string())] = count;
    }
    return threads;
}

void WakeUpRow(const Settings& s, const std::string& driver, std::vector<Row>& rows) {
    const std::string seconds = Format(s.idleSeconds, 1);
    const std::string name = "wake-ups of the window process, connected and idle for " + seconds + " s, off the UI thread";
    const std::string target = "0 / s from the link";
    try {
        AdapterOnPty rig;
        ChildProcess child(driver, {"--idle", std::to_string(rig.Adapter().ComNumber()), rig.PortDirectory()});
        const int pid = std::stoi(ReadUntil(child.From(), "pid ", 30000).substr(4));
        ReadUntil(child.From(), "connected", 30000);
        // The pages are painted and the connection's own work is done.
        std::this_thread::sleep_for(std::chrono::milliseconds(s.quick ? 100 : 1000));
        const auto before = WakeUps(pid);
        const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
        std::this_thread::sleep_for(std::chrono::duration<double>(s.idleSeconds));
        const auto after = WakeUps(pid);
        const double span = static_cast<double>(Nanos(CLOCK_MONOTONIC) - t0) / 1e9;
        WriteLine(child.To(), "quit");
        const bool ended = child.Wait();

        long long ui = 0;
        long long others = 0;
        std::string names;
        for (const auto& [tid, count] : after) {
            const auto was = before.find(tid);
            const long long n = count.wakeUps - (was != before.end() ? was->second.wakeUps : 0);
            if (tid == pid) ui = n;
            else others += n;
            if (tid != pid) names += (names.empty() ? "" : ", ") + count.name + " " + std::to_string(n);
        }
        Row r;
        r.figure = name;
        r.measured = Format(static_cast<double>(others) / span, 2) + " / s";
        r.floor = "0 / s";
        r.target = target;
        r.met = ended && others == 0;
        r.note = "UI thread " + Format(static_cast<double>(ui) / span, 2) + " / s; other threads: " +
                 (names.empty() ? "none" : names) + (ended ? "" : "; the window did not end cleanly");
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, target, e.what()));
    }
}

}  // namespace

void RunWindowFollowing(const Settings& s, const std::string& driver, std::vector<Row>& rows) {
    HangUpRow(s, driver, rows);
    ListRow(s, driver, rows);
    WakeUpRow(s, driver, rows);
}

}  // namespace tavrol::bench
