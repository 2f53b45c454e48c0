#include "stop_signals.h"

#include <signal.h>
#include <time.h>

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
    watcher_.join();
}

void StopSignals::Watch() {
    const sigset_t set = StopSet();
    // Short waits, so the watcher sees the end of the run soon.
    const timespec wait{0, 50 * 1000 * 1000};
    while (!done_.load()) {
        if (sigtimedwait(&set, nullptr, &wait) > 0) stop_ = true;
    }
}

}  // namespace tavrol::cli
