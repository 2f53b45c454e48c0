#include "parallel_runner.h"

#include <atomic>
#include <thread>
#include <vector>

namespace tavrol::cli {

void RunInParallel(std::size_t count, int jobs, const std::function<void(std::size_t)>& work) {
    std::size_t threads = jobs <= 0 ? count : std::min(count, static_cast<std::size_t>(jobs));
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++) work(i);
    };
    if (threads <= 1) {
        worker();
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
}

}  // namespace tavrol::cli
