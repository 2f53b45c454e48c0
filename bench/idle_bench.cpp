// CPU that an open link costs while nothing happens: once connected to the
// virtual adapter, and once the adapter has hung up. The link runs in a
// child process that holds nothing else, so its process CPU time is the
// link's alone; the adapter stays in this process.
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_adapter.h"
#include "child.h"
#include "port_catalog.h"
#include "registers.h"
#include "rt_can.h"

namespace tavrol::bench {

namespace {

// "cpu <ns> <ns> <last error> <switches>" -> percentage of one core, the
// link's error, wake-ups per second.
bool ParseCpu(const std::string& line, double* percent, int* lastError, double* wakeUps) {
    unsigned long long cpu = 0, wall = 0, switches = 0;
    if (std::sscanf(line.c_str(), "cpu %llu %llu %d %llu", &cpu, &wall, lastError, &switches) != 4 || wall == 0)
        return false;
    *percent = 100.0 * static_cast<double>(cpu) / static_cast<double>(wall);
    *wakeUps = static_cast<double>(switches) * 1e9 / static_cast<double>(wall);
    return true;
}

// Context switches of every thread of this process but the main one: each
// time the link's threads went to sleep and woke again.
unsigned long long LinkThreadSwitches() {
    unsigned long long total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (const dirent* entry = readdir(dir)) {
        const long tid = std::atol(entry->d_name);
        if (tid <= 0 || tid == static_cast<long>(getpid())) continue;
        FILE* f = std::fopen(("/proc/self/task/" + std::string(entry->d_name) + "/status").c_str(), "r");
        if (f == nullptr) continue;
        char line[256];
        unsigned long long n = 0;
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1 ||
                std::sscanf(line, "nonvoluntary_ctxt_switches: %llu", &n) == 1)
                total += n;
        }
        std::fclose(f);
    }
    closedir(dir);
    return total;
}

}  // namespace

void RunIdleCpu(const Settings& s, std::vector<Row>& rows) {
    const std::string seconds = Format(s.idleSeconds, 1);
    const std::string connected = "CPU of the link, connected and idle for " + seconds + " s";
    const std::string hungUp = "CPU of the link, " + seconds + " s after the adapter hung up";
    const std::string target = "≤ 0.5 % of one core";
    const int wait = static_cast<int>(s.idleSeconds * 1000) + 10000;
    try {
        AdapterOnPty rig;
        ChildProcess child(s.self, {"--idle-child", std::to_string(rig.Adapter().ComNumber()), rig.PortDirectory(),
                             Format(s.idleSeconds, 3)});
        const std::string ready = ReadLine(child.From(), 10000);
        if (ready != "ready") throw std::runtime_error("the link did not connect: " + ready);

        double percent[2] = {0, 0};
        double wakeUps[2] = {0, 0};
        int lastError[2] = {0, 0};
        for (int phase = 0; phase < 2; ++phase) {
            if (phase == 1) rig.Adapter().Unplug();
            WriteLine(child.To(), "go");
            const std::string line = ReadLine(child.From(), wait);
            if (!ParseCpu(line, &percent[phase], &lastError[phase], &wakeUps[phase])) throw std::runtime_error("no figure from the link: " + line);
        }
        const bool ended = child.Wait();
        for (int phase = 0; phase < 2; ++phase) {
            Row r;
            r.figure = phase == 0 ? connected : hungUp;
            r.measured = Format(percent[phase], 3) + " %";
            r.target = target;
            // After the hang-up the link must have seen it, or the figure
            // would be that of a link still connected.
            const bool hangUpSeen = phase == 0 || lastError[phase] != 0;
            r.met = ended && hangUpSeen && percent[phase] <= 0.5;
            if (!ended) r.note = "the link's process did not end cleanly";
            if (phase == 1)
                r.note = hangUpSeen ? "the link's last error: " + std::string(std::strerror(lastError[phase]))
                                    : "the link saw no hang-up";
            rows.push_back(r);
        }
        // The reader blocks until data, a hang-up or Close: an idle link
        // never wakes.
        Row w;
        w.figure = "wake-ups per second of the link's threads, connected and idle for " + seconds + " s";
        w.measured = Format(wakeUps[0], 2) + " /s";
        w.target = "0 from the link";
        w.met = ended && wakeUps[0] == 0.0;
        rows.push_back(w);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(connected, target, e.what()));
        rows.push_back(FailedRow(hungUp, target, e.what()));
        rows.push_back(FailedRow("wake-ups per second of the link's threads, connected and idle", "0 from the link",
                                 e.what()));
    }
}

// argv: --idle-child <com> <port directory> <seconds>
int IdleChildMain(int argc, char** argv) {
    if (argc != 5) return 2;
    const int com = std::atoi(argv[2]);
    PortSources sources = DefaultPortSources();
    sources.portDirectory = argv[3];
    PortCatalog catalog(sources);
    const auto span = std::chrono::duration<double>(std::atof(argv[4]));

    RT_CAN can(CreateSystemSerialPort(), &catalog);
    std::uint8_t id[8];
    std::uint32_t length = sizeof id;
    if (can.Open(com, 115200) == 0) {
        WriteLine(1, "error: Open failed");
        return 1;
    }
    if (can.ReadRegister(REG_CPUID_LO, id, &length, 1000) != CFG_OK) {
        WriteLine(1, "error: no reply");
        return 1;
    }
    WriteLine(1, "ready");
    for (int phase = 0; phase < 2; ++phase) {
        if (ReadLine(0, 600000) != "go") return 1;
        const unsigned long long switches0 = LinkThreadSwitches();
        const std::uint64_t cpu0 = Nanos(CLOCK_PROCESS_CPUTIME_ID);
        const std::uint64_t wall0 = Nanos(CLOCK_MONOTONIC);
        std::this_thread::sleep_for(span);
        const std::uint64_t cpu = Nanos(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        const std::uint64_t wall = Nanos(CLOCK_MONOTONIC) - wall0;
        const unsigned long long switches = LinkThreadSwitches() - switches0;
        WriteLine(1, "cpu " + std::to_string(cpu) + " " + std::to_string(wall) + " " +
                         std::to_string(can.LastError()) + " " + std::to_string(switches));
    }
    can.Close();
    return 0;
}

}  // namespace tavrol::bench
