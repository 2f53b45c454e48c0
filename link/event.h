// An auto-reset event: Set wakes one waiter (or the next Wait), and a
// completed wait consumes the signal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "serial_port.h"

namespace tavrol {

class AutoResetEvent {
public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

    // true when signalled within `timeoutMs` (INFINITE: no limit).
    bool Wait(std::uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return signalled_; };
        if (timeoutMs == INFINITE) {
            cv_.wait(lock, ready);
        } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
            return false;
        }
        signalled_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace tavrol
