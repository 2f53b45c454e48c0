// CPU that an open link costs while nothing happens: once connected to the
// virtual adapter, and once the adapter has hung up. The link runs in a
// child process that holds nothing else, so its process CPU time is the
// link's alone; the adapter stays in this process.
#include <time.h>

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

// "cpu <ns> <ns> <last error>" -> percentage of one core, the link's error.
bool ParseCpu(const std::string& line, double* percent, int* lastError) {
    unsigned long long cpu = 0, wall = 0;
    if (std::sscanf(line.c_str(), "cpu %llu %llu %d", &cpu, &wall, lastError) != 3 || wall == 0) return false;
    *percent = 100.0 * static_cast<double>(cpu) / static_cast<double>(wall);
    return true;
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
        int lastError[2] = {0, 0};
        for (int phase = 0; phase < 2; ++phase) {
            if (phase == 1) rig.Adapter().Unplug();
            WriteLine(child.To(), "go");
            const std::string line = ReadLine(child.From(), wait);
            if (!ParseCpu(line, &percent[phase], &lastError[phase])) throw std::runtime_error("no figure from the link: " + line);
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
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(connected, target, e.what()));
        rows.push_back(FailedRow(hungUp, target, e.what()));
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
        const std::uint64_t cpu0 = Nanos(CLOCK_PROCESS_CPUTIME_ID);
        const std::uint64_t wall0 = Nanos(CLOCK_MONOTONIC);
        std::this_thread::sleep_for(span);
        const std::uint64_t cpu = Nanos(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        const std::uint64_t wall = Nanos(CLOCK_MONOTONIC) - wall0;
        WriteLine(1, "cpu " + std::to_string(cpu) + " " + std::to_string(wall) + " " +
                         std::to_string(can.LastError()));
    }
    can.Close();
    return 0;
}

}  // namespace tavrol::bench
