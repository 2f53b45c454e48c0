// The window's figures, taken from tavrol-bench-window (the program's
// start-up on the offscreen platform) run as a child process: the time from
// starting the process to the end of its first paint, and the peak resident
// memory of the program connected to the virtual adapter, which stays in
// this process.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench.h"
#include "bench_adapter.h"
#include "child.h"
#include "window_follow.h"

namespace tavrol::bench {

namespace {

constexpr char kDriver[] = "tavrol-bench-window";

// Milliseconds from starting the driver to the end of its first paint.
double StartToFirstPaint(const std::string& driver) {
    const std::uint64_t t0 = Nanos(CLOCK_MONOTONIC);
    ChildProcess child(driver, {"--first-paint"});
    const std::string line = ReadLine(child.From(), 30000);
    unsigned long long painted = 0;
    const bool ok = std::sscanf(line.c_str(), "painted %llu", &painted) == 1;
    if (!child.Wait() || !ok) throw std::runtime_error("the window did not paint: " + line);
    return static_cast<double>(painted - t0) / 1e6;
}

}  // namespace

void RunWindow(const Settings& s, std::vector<Row>& rows) {
    const std::string paintName = "window start to first paint (offscreen)";
    const std::string memoryName = "peak resident memory, window connected to the virtual adapter";
    const std::string driver = Sibling(s.self, kDriver);
    if (driver.empty()) {
        const std::string why = std::string(kDriver) + " was not built (the window is built with TAVROL_BUILD_APP)";
        rows.push_back(FailedRow(paintName, "≤ 150 ms", why));
        rows.push_back(FailedRow(memoryName, "≤ 50 MiB", why));
        for (const char* figure : {"adapter hang-up to the window's disconnected look",
                                   "COM link appearing in the port directory to its item in the port list",
                                   "wake-ups of the window process, connected and idle, off the UI thread"})
            rows.push_back(FailedRow(figure, "–", why));
        return;
    }

    try {
        std::vector<double> times;
        for (int i = 0; i < s.windowStarts; ++i) times.push_back(StartToFirstPaint(driver));
        const double median = Median(times);
        Row r;
        r.figure = paintName + ", median of " + std::to_string(s.windowStarts) + " starts";
        r.measured = FormatMs(median);
        r.target = "≤ 150 ms";
        r.met = median <= 150.0;
        r.note = "slowest " + FormatMs(Percentile(times, 100));
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(paintName, "≤ 150 ms", e.what()));
    }

    try {
        AdapterOnPty rig;
        ChildProcess child(driver, {"--connect", std::to_string(rig.Adapter().ComNumber()), rig.PortDirectory()});
        double connectMs = -1;
        long peakKiB = -1;
        for (std::string line = ReadLine(child.From(), 60000); !line.empty(); line = ReadLine(child.From(), 60000)) {
            std::sscanf(line.c_str(), "connected %lf", &connectMs);
            std::sscanf(line.c_str(), "peak %ld", &peakKiB);
        }
        const bool ended = child.Wait();
        if (!ended || connectMs < 0 || peakKiB <= 0) throw std::runtime_error("the window did not connect");
        const std::size_t reads = rig.Adapter().Log().size();
        const double mib = static_cast<double>(peakKiB) / 1024.0;
        Row r;
        r.figure = memoryName;
        r.measured = Format(mib, 1) + " MiB";
        r.target = "≤ 50 MiB";
        r.met = mib <= 50.0;
        r.note = "connect and load took " + FormatMs(connectMs) + ", " + std::to_string(reads) + " requests";
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(memoryName, "≤ 50 MiB", e.what()));
    }

    RunWindowFollowing(s, driver, rows);
}

}  // namespace tavrol::bench
