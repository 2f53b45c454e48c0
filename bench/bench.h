// Shared parts of the benchmark program: settings, timing, statistics and
// the rows of the result table.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../tests/support/temp_dir.h"

namespace tavrol::bench {

using Clock = std::chrono::steady_clock;

// How much each benchmark does. The full run is what the README's table
// shows; the quick run only proves that every benchmark still runs.
struct Settings {
    bool quick = false;
    int roundTrips = 5000;
    int loadSequences = 200;
    int wireSequences = 50;
    int codecFrames = 1000000;
    int codecRepeats = 7;
    double idleSeconds = 10.0;
    std::uint32_t searchTimeoutMs = 1000;
    int closeRepeats = 50;
    int windowStarts = 10;
    std::string self;  // this program, for the child processes it starts
};

Settings FullSettings();
Settings QuickSettings();

// One line of the table. `ratio` is measured / floor where there is a floor;
// `met` is empty when the figure could not be taken.
struct Row {
    std::string figure;
    std::string measured;
    std::string floor = "–";
    std::optional<double> ratio;
    std::string target;
    std::optional<bool> met;
    std::string note;  // why a figure is missing
};

// Rows whose figure could not be taken.
Row FailedRow(const std::string& figure, const std::string& target, const std::string& why);

double Seconds(Clock::duration d);
double Micros(Clock::duration d);
double Millis(Clock::duration d);

// Nearest-rank percentile (0 < p <= 100) of `values`; sorts a copy.
double Percentile(std::vector<double> values, double p);
double Median(std::vector<double> values);

std::string Format(double value, int decimals);
std::string FormatUs(double us);
std::string FormatMs(double ms);
std::string FormatRate(double bytesPerSecond);

using TempDir = tavrol::test::TempDir;

// The benchmarks. Each appends its rows.
void RunRoundTrips(const Settings& s, std::vector<Row>& rows);
void RunCodec(const Settings& s, std::vector<Row>& rows);
void RunIdleCpu(const Settings& s, std::vector<Row>& rows);
void RunRateSearch(const Settings& s, std::vector<Row>& rows);
void RunCloseTimes(const Settings& s, std::vector<Row>& rows);
void RunWindow(const Settings& s, std::vector<Row>& rows);

// The child side of the idle measurement: holds only an open link.
int IdleChildMain(int argc, char** argv);

}  // namespace tavrol::bench
