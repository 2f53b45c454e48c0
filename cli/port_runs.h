// Runs a command on every PORT of the invocation, in parallel, writing each
// port's report as it completes and a summary line last.
#pragma once

#include <atomic>
#include <cstdio>

#include "invocation.h"

namespace tavrol::cli {

// The exit code: 0 when every port succeeded, 1 otherwise or when `stop` was
// raised.
int RunPorts(const Invocation& invocation, const std::atomic<bool>& stop, std::FILE* out, std::FILE* err);

}  // namespace tavrol::cli
