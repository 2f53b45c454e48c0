#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "bench.h"

namespace tavrol::bench {

Settings FullSettings() { return Settings{}; }

Settings QuickSettings() {
    Settings s;
    s.quick = true;
    s.roundTrips = 50;
    s.loadSequences = 3;
    s.wireSequences = 2;
    s.codecFrames = 20000;
    s.codecRepeats = 1;
    s.idleSeconds = 0.2;
    s.searchTimeoutMs = 20;
    s.closeRepeats = 3;
    s.windowStarts = 1;
    return s;
}

Row FailedRow(const std::string& figure, const std::string& target, const std::string& why) {
    Row r;
    r.figure = figure;
    r.measured = "not measured";
    r.target = target;
    r.note = why;
    return r;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const std::size_t index = static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
    return values[index];
}

double Median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::string Format(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string FormatUs(double us) {
    if (us >= 10000.0) return FormatMs(us / 1000.0);
    return Format(us, us < 100.0 ? 1 : 0) + " µs";
}

std::string FormatMs(double ms) {
    if (ms >= 10000.0) return Format(ms / 1000.0, 2) + " s";
    return Format(ms, ms < 100.0 ? 2 : 1) + " ms";
}

std::string FormatRate(double bytesPerSecond) {
    if (bytesPerSecond >= 1e6) return Format(bytesPerSecond / 1e6, 1) + " MB/s";
    if (bytesPerSecond >= 1e3) return Format(bytesPerSecond / 1e3, 2) + " kB/s";
    return Format(bytesPerSecond, 0) + " B/s";
}

}  // namespace tavrol::bench
