// Runs a function for each of n items on at most `jobs` threads at once.
#pragma once

#include <cstddef>
#include <functional>

namespace tavrol::cli {

// `jobs` 0 means all at once. Returns when every item has run; each thread
// has ended by then.
void RunInParallel(std::size_t count, int jobs, const std::function<void(std::size_t)>& work);

}  // namespace tavrol::cli
