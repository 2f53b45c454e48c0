#pragma once

#include <chrono>
#include <thread>

namespace tavrol::test {

// Polls `condition` until it holds or `timeoutMs` passes; true if it held.
template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace tavrol::test
