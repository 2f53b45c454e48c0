// tavrolctl-bench: the command-line program's figures, each beside its
// floor from the same run, as rows of the benchmark table.
//  - show of one virtual adapter that holds its replies for their wire time,
//    the whole process from start to exit, against the wire time of the
//    exchanges the adapter logged;
//  - apply of a profile in which every register differs to 16 such adapters
//    in parallel, against the same apply to one adapter;
//  - the peak resident memory of that 16-adapter apply.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "frame_codec.h"
#include "rt_com.h"
#include "virtual_adapter.h"

extern char** environ;

namespace tavrol::bench {
namespace {

constexpr std::uint32_t kRate = 115200;
constexpr int kParallelAdapters = 16;

// A full profile: every register differs from the factory state.
std::string FullProfile() {
    std::string filters;
    for (int i = 0; i < 14; ++i) {
        char entry[128];
        std::snprintf(entry, sizeof entry, R"(%s{"index":%d,"enabled":true,"format":"std","id":"%X","mask":"7F0"})",
                      i == 0 ? "" : ",", i, 0x100 + i);
        filters += entry;
    }
    return R"({"format":"tavrol-profile","version":1,"can_bitrate":250000,"retransmit":false,"bus_off":false,)"
           R"("filters":[)" + filters + "]}";
}

double WireMicros(const sim::Exchange& e) {
    FramingBytes framing;
    std::uint8_t frame[64];
    const CanMessageBytes request = ToBytes(e.request);
    const CanMessageBytes reply = ToBytes(e.reply);
    const std::uint32_t bytes = EncodeFrame(framing, request.data(), kCanMessageSize, frame, sizeof frame) +
                                EncodeFrame(framing, reply.data(), kCanMessageSize, frame, sizeof frame);
    return 10.0 * bytes * 1e6 / kRate;
}

double LogWireMicros(const sim::VirtualAdapter& adapter) {
    double total = 0;
    for (const sim::Exchange& e : adapter.Log()) total += WireMicros(e);
    return total;
}

// The peak resident memory of the process so far (VmHWM), in KiB; 0 once
// it has gone.
long PeakKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

struct ToolRun {
    double millis = 0;
    int exitCode = -1;
    long peakKib = 0;  // the last VmHWM seen before the process ended
};

// Runs tavrolctl with its output thrown away. VmHWM is sampled every
// millisecond: the kernel's own figure for a child (wait4) would start from
// this process's high-water mark, since the child begins as its copy.
ToolRun RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TAVROL_CTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ToolRun run;
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error(std::string("cannot start tavrolctl: ") + std::strerror(spawned));
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (const long kib = PeakKib(pid); kib > 0) run.peakKib = kib;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    run.millis = Millis(Clock::now() - start);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

class Rig {
public:
    explicit Rig(int count) {
        sim::Options options;
        options.portDirectory = dir_.Path() + "/ports";
        options.faults.wireTime = true;
        for (int i = 0; i < count; ++i) {
            adapters_.push_back(std::make_unique<sim::VirtualAdapter>(options));
            std::string error;
            if (!adapters_.back()->Start(&error)) throw std::runtime_error("virtual adapter: " + error);
        }
        profile_ = dir_.Path() + "/full.json";
        std::ofstream(profile_) << FullProfile();
    }

    // Back to the factory state, log empty, so every apply writes everything.
    void Reset() {
        for (auto& a : adapters_) {
            a->SetRegisters(sim::Registers{});
            a->ClearLog();
        }
    }

    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& a : adapters_) paths.push_back(a->SlavePath());
        return paths;
    }

    const std::string& Profile() const { return profile_; }
    sim::VirtualAdapter& First() { return *adapters_.front(); }

private:
    TempDir dir_{"tavrolctl-bench"};
    std::vector<std::unique_ptr<sim::VirtualAdapter>> adapters_;
    std::string profile_;
};

ToolRun Apply(Rig& rig) {
    rig.Reset();
    std::vector<std::string> args = {"apply", rig.Profile()};
    for (const std::string& p : rig.Paths()) args.push_back(p);
    const ToolRun run = RunTool(args);
    if (run.exitCode != 0) throw std::runtime_error("apply failed with exit code " + std::to_string(run.exitCode));
    return run;
}

void ShowRows(int runs, std::vector<Row>& rows) {
    const std::string name = "tavrolctl show, one adapter with wire time at 115200 bit/s, whole process";
    try {
        Rig rig(1);
        std::vector<double> times, wires;
        for (int i = 0; i < runs; ++i) {
            rig.Reset();
            const ToolRun run = RunTool({"show", rig.Paths()[0]});
            if (run.exitCode != 0) throw std::runtime_error("show failed with exit code " + std::to_string(run.exitCode));
            times.push_back(run.millis);
            wires.push_back(LogWireMicros(rig.First()) / 1000.0);
        }
        Row r;
        r.figure = name + ", median of " + std::to_string(runs);
        r.measured = FormatMs(Median(times));
        r.floor = FormatMs(Median(wires)) + " (wire time of its 19 exchanges)";
        r.ratio = Median(times) / Median(wires);
        r.target = "≤ 1.15 × floor";
        r.met = *r.ratio <= 1.15;
        r.note = "fastest " + FormatMs(*std::min_element(times.begin(), times.end())) + ", slowest " +
                 FormatMs(*std::max_element(times.begin(), times.end()));
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, "≤ 1.15 × floor", e.what()));
    }
}

void ApplyRows(int runs, std::vector<Row>& rows) {
    const std::string name = "tavrolctl apply of a full profile, 16 adapters in parallel, wire time at 115200 bit/s";
    const std::string memory = "peak resident memory of tavrolctl, that 16-adapter apply";
    try {
        Rig one(1);
        Rig many(kParallelAdapters);
        std::vector<double> single, parallel;
        long peak = 0;
        for (int i = 0; i < runs; ++i) {
            single.push_back(Apply(one).millis);
            const ToolRun run = Apply(many);
            parallel.push_back(run.millis);
            peak = std::max(peak, run.peakKib);
        }
        Row r;
        r.figure = name + ", median of " + std::to_string(runs);
        r.measured = FormatMs(Median(parallel));
        r.floor = FormatMs(Median(single)) + " (the same apply to one adapter)";
        r.ratio = Median(parallel) / Median(single);
        r.target = "≤ 1.2 × floor";
        r.met = *r.ratio <= 1.2;
        rows.push_back(r);
        Row m;
        m.figure = memory;
        m.measured = Format(peak / 1024.0, 1) + " MiB";
        m.target = "≤ 16 MiB";
        m.met = peak > 0 && peak <= 16 * 1024;
        m.note = "VmHWM of the process, read every millisecond until it ended";
        rows.push_back(m);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, "≤ 1.2 × floor", e.what()));
        rows.push_back(FailedRow(memory, "≤ 16 MiB", e.what()));
    }
}

}  // namespace
}  // namespace tavrol::bench

int main(int argc, char** argv) {
    using namespace tavrol::bench;
    const bool quick = argc >= 2 && std::strcmp(argv[1], "--quick") == 0;
    if (argc >= 2 && !quick) {
        std::fputs("Usage: tavrolctl-bench [--quick]\nPrints tavrolctl's rows of the benchmark table.\n",
                   argc == 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
        return std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    std::vector<Row> rows;
    std::fprintf(stderr, "tavrolctl show ...\n");
    ShowRows(quick ? 1 : 20, rows);
    std::fprintf(stderr, "tavrolctl apply ...\n");
    ApplyRows(quick ? 1 : 10, rows);

    bool failed = false;
    std::printf("| figure | measured | floor | ratio | target | met |\n|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        const std::string ratio = r.ratio ? Format(*r.ratio, 2) + " ×" : "–";
        const std::string met = !r.met ? "not measured" : (*r.met ? "yes" : "**no**");
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(), r.floor.c_str(),
                    ratio.c_str(), r.target.c_str(), met.c_str());
        failed = failed || !r.met;
    }
    for (const Row& r : rows) {
        if (!r.note.empty()) std::printf("- %s: %s\n", r.figure.c_str(), r.note.c_str());
    }
    if (quick) std::printf("\nQuick run: the figures mean nothing.\n");
    // A missed target is a result; only a figure that could not be taken fails.
    return failed ? 1 : 0;
}
