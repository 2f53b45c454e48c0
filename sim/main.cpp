// tavrol-sim: virtual adapters as a program, for trying the tool without
// hardware. It registers one COM port per adapter, prints every request and
// reply, and ends on SIGINT or SIGTERM, removing its port links.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "arguments.h"
#include "com_link.h"
#include "port_directory.h"
#include "virtual_adapter.h"

namespace {

using tavrol::sim::Settings;
using tavrol::sim::VirtualAdapter;

std::mutex outputMutex;

void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

long long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string ComName(int number) { return "COM" + std::to_string(number); }

// One adapter of the program and what its lines start with: nothing when it
// is the only one, else its COM name, so the lines of several can be told
// apart.
struct Member {
    std::unique_ptr<VirtualAdapter> adapter;
    std::string prefix;
};

using Rig = std::vector<Member>;

void StopAll(Rig& rig) {
    for (Member& m : rig) m.adapter->Stop();
}

// The COM number of the first adapter: the one asked for; for several
// without one, the lowest run of free numbers; for one alone, 0, and it picks
// its own as it always has.
int FirstComNumber(const Settings& s, std::string* error) {
    if (s.options.com != 0 || s.count == 1) return s.options.com;
    const std::string directory =
        s.options.portDirectory.empty() ? tavrol::DefaultPortDirectory() : s.options.portDirectory;
    const int first = tavrol::sim::LowestFreeComRun(directory, s.count);
    if (first == 0) *error = "no " + std::to_string(s.count) + " consecutive free COM numbers";
    return first;
}

bool StartAll(const Settings& s, Rig* rig, std::string* error) {
    const int first = FirstComNumber(s, error);
    if (first == 0 && s.count > 1) return false;
    for (int i = 0; i < s.count; ++i) {
        tavrol::sim::Options options = s.options;
        options.com = first == 0 ? 0 : first + i;
        Member m{std::make_unique<VirtualAdapter>(options), s.count > 1 ? ComName(options.com) + ": " : ""};
        m.adapter->SetLogSink([prefix = m.prefix](const std::string& line) { Print(prefix + line); });
        if (!m.adapter->Start(error)) {
            StopAll(*rig);
            return false;
        }
        rig->push_back(std::move(m));
    }
    return true;
}

void PrintStart(const Rig& rig) {
    const VirtualAdapter& first = *rig.front().adapter;
    const std::string rate = ", serial rate " + std::to_string(first.GetRegisters().serialRate);
    if (rig.size() == 1) {
        Print("Virtual adapter on " + ComName(first.ComNumber()) + " (" + first.SlavePath() + ")" + rate);
        Print("Port link " + first.LinkPath() + "; Ctrl+C ends");
        return;
    }
    std::string line = "Virtual adapters on ";
    for (std::size_t i = 0; i < rig.size(); ++i) {
        const VirtualAdapter& a = *rig[i].adapter;
        line += (i ? ", " : "") + ComName(a.ComNumber()) + " (" + a.SlavePath() + ")";
    }
    Print(line + rate);
    Print("Port links " + first.LinkPath() + " to " + rig.back().adapter->LinkPath() + "; Ctrl+C ends");
}

void UnplugAll(Rig& rig) {
    for (Member& m : rig) m.adapter->Unplug();
}

void ReplugAll(Rig& rig) {
    for (Member& m : rig) {
        std::string error;
        if (!m.adapter->Replug(&error)) Print(m.prefix + "cannot plug in again: " + error);
    }
}

// Waits for SIGINT or SIGTERM, unplugging and replugging on SIGUSR1 and on
// the schedule of --unplug-after and --replug-after.
void Serve(const Settings& settings, const sigset_t& signals, Rig& rig) {
    long long unplugAt = settings.unplugAfterMs >= 0 ? NowMs() + settings.unplugAfterMs : -1;
    long long replugAt = -1;
    for (;;) {
        long long next = -1;
        if (unplugAt >= 0) next = unplugAt;
        if (replugAt >= 0 && (next < 0 || replugAt < next)) next = replugAt;
        int sig;
        if (next < 0) {
            if (sigwait(&signals, &sig) != 0) continue;
        } else {
            const long long wait = std::max(0LL, next - NowMs());
            timespec ts{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
            sig = sigtimedwait(&signals, nullptr, &ts);
            if (sig < 0) {
                if (errno != EAGAIN) continue;
                const long long now = NowMs();
                if (unplugAt >= 0 && now >= unplugAt) {
                    unplugAt = -1;
                    UnplugAll(rig);
                    if (settings.replugAfterMs >= 0) replugAt = now + settings.replugAfterMs;
                }
                if (replugAt >= 0 && now >= replugAt) {
                    replugAt = -1;
                    ReplugAll(rig);
                }
                continue;
            }
        }
        if (sig == SIGUSR1) {
            ReplugAll(rig);
            continue;
        }
        return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    switch (tavrol::sim::ParseArguments(argc, argv, &settings)) {
        case tavrol::sim::ParseResult::Run: break;
        case tavrol::sim::ParseResult::HelpShown: return 0;
        case tavrol::sim::ParseResult::Bad: return 2;
    }

    // The signals are taken by the main thread alone; block them before the
    // adapters' threads start so they inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Rig rig;
    std::string error;
    if (!StartAll(settings, &rig, &error)) {
        std::fprintf(stderr, "tavrol-sim: %s\n", error.c_str());
        return 1;
    }
    PrintStart(rig);
    Serve(settings, signals, rig);

    const int first = rig.front().adapter->ComNumber();
    const int last = rig.back().adapter->ComNumber();
    StopAll(rig);
    Print("Stopped; " + ComName(first) + (rig.size() > 1 ? " to " + ComName(last) : "") + " removed");
    return 0;
}
