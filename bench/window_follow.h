// The window following the adapter and the system's ports, measured on
// tavrol-bench-window run as a child process.
#pragma once

#include <string>
#include <vector>

#include "bench.h"

namespace tavrol::bench {

// Appends three rows: the adapter's hang-up to the window's disconnected
// look, a COM link appearing to its item in the port list, and the wake-ups
// of the window connected and idle. `driver` is tavrol-bench-window.
void RunWindowFollowing(const Settings& s, const std::string& driver, std::vector<Row>& rows);

}  // namespace tavrol::bench
