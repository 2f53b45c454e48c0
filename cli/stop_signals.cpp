#include "stop_signals.h"

#include <signal.h>

namespace tavrol::cli {

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals(std::atomic<bool>& stop) : stop_(stop) {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
    done_ = true;
    // Wakes the watcher at once; it sees `done_` and takes this for no stop.
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
}

void StopSignals::Watch() {
    const sigset_t set = StopSet();
    while (!done_.load()) {
        int signal = 0;
        if (sigwait(&set, &signal) == 0 && !done_.load()) stop_ = true;
    }
}

}  // namespace tavrol::cli
