// SIGINT and SIGTERM as a request to stop: they are blocked in every thread
// and taken by one watcher thread, which raises the stop flag. Ports look at
// the flag between transactions, so each finishes the one in progress.
#pragma once

#include <atomic>
#include <thread>

namespace tavrol::cli {

class StopSignals {
public:
    // Must be made before any other thread starts, so all inherit the mask.
    explicit StopSignals(std::atomic<bool>& stop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void Watch();

    std::atomic<bool>& stop_;
    std::atomic<bool> done_{false};
    std::thread watcher_;
};

}  // namespace tavrol::cli
