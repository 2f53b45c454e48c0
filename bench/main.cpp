// tavrol-bench: runs every benchmark and prints one table, each figure next
// to its floor from the same run, then the machine it ran on.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

#ifndef TAVROL_BENCH_BUILD_TYPE
#define TAVROL_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

using namespace tavrol::bench;

const char kUsage[] =
    "Usage: tavrol-bench [--quick] [--only NAME[,NAME...]]\n"
    "Runs the benchmarks and prints their table (Markdown).\n"
    "\n"
    "  --quick   tiny counts and short waits: shows that everything runs,\n"
    "            the figures mean nothing\n"
    "  --only    some of: codec, roundtrip, idle, search, close, window\n";

std::string SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<std::size_t>(n));
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "unknown";
}

std::string Kernel() {
    utsname u{};
    if (::uname(&u) != 0) return "unknown";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

// The 1-, 5- and 15-minute load averages: other work on the machine moves
// the figures.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(in >> one >> five >> fifteen)) return "unknown";
    return one + " " + five + " " + fifteen;
}

std::string RatioText(const Row& r) {
    if (!r.ratio) return "–";
    return Format(*r.ratio, *r.ratio >= 100.0 ? 0 : 2) + " ×";
}

std::string MetText(const Row& r) {
    if (!r.met) return r.target == "–" ? "–" : "not measured";
    return *r.met ? "yes" : "**no**";
}

void PrintTable(const std::vector<Row>& rows, const Settings& s) {
    std::printf("| figure | measured | floor | ratio | target | met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(), r.floor.c_str(),
                    RatioText(r).c_str(), r.target.c_str(), MetText(r).c_str());
    }
    bool notes = false;
    for (const Row& r : rows) {
        if (r.note.empty()) continue;
        if (!notes) std::printf("\n");
        notes = true;
        std::printf("- %s: %s\n", r.figure.c_str(), r.note.c_str());
    }
    std::printf("\nMachine: %ld CPUs online, %s; %s; %s, %s build; load average at the end %s.%s\n",
                ::sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), Kernel().c_str(),
#if defined(__clang__)
                ("clang " + std::string(__clang_version__)).c_str(),
#else
                ("GCC " + std::string(__VERSION__)).c_str(),
#endif
                TAVROL_BENCH_BUILD_TYPE, LoadAverage().c_str(), s.quick ? " Quick run: the figures mean nothing." : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--idle-child") == 0) return IdleChildMain(argc, argv);

    Settings s = FullSettings();
    std::set<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            s = QuickSettings();
        } else if (a == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            std::string name;
            while (std::getline(list, name, ',')) only.insert(name);
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    s.self = SelfPath();

    const std::vector<std::pair<std::string, std::function<void(const Settings&, std::vector<Row>&)>>> benches = {
        {"codec", RunCodec},     {"roundtrip", RunRoundTrips}, {"idle", RunIdleCpu},
        {"search", RunRateSearch}, {"close", RunCloseTimes}, {"window", RunWindow},
    };
    for (const std::string& name : only) {
        bool known = false;
        for (const auto& b : benches) known = known || b.first == name;
        if (!known) {
            std::fprintf(stderr, "unknown benchmark '%s'\n%s", name.c_str(), kUsage);
            return 2;
        }
    }

    std::vector<Row> rows;
    for (const auto& [name, run] : benches) {
        if (!only.empty() && only.count(name) == 0) continue;
        std::fprintf(stderr, "running %s ...\n", name.c_str());
        run(s, rows);
    }
    PrintTable(rows, s);
    // A missed target is a result; a figure that could not be taken is not.
    for (const Row& r : rows)
        if (!r.met && r.target != "–") return 1;
    return 0;
}
