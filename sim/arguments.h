// The command line of tavrol-sim.
#pragma once

#include "virtual_adapter.h"

namespace tavrol::sim {

struct Settings {
    Options options;                     // for every adapter; options.com is the first
    int count = 1;                       // adapters on consecutive COM numbers
    long unplugAfterMs = -1;
    long replugAfterMs = -1;
};

enum class ParseResult { Run, HelpShown, Bad };

// Reads the switches into `settings`; prints the help text on standard output,
// and why an argument is bad on standard error.
ParseResult ParseArguments(int argc, char** argv, Settings* settings);

}  // namespace tavrol::sim
