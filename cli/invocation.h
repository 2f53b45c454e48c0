// What one run of tavrolctl was asked to do, checked and complete before
// anything is sent to an adapter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter_settings.h"
#include "port_name.h"
#include "serial_rates.h"

namespace tavrol::cli {

enum class Command { List, Show, Set, Export, Apply, Reset, SerialRate, Search };

struct Invocation {
    Command command = Command::List;
    std::vector<PortName> ports;
    bool json = false;
    std::uint32_t baud = kFactorySerialRate;
    bool search = false;       // find the rate instead of using `baud`
    int jobs = 0;              // ports worked on at once; 0 = all
    SettingsChange change;     // set: the assignments; apply: the profile
    bool dryRun = false;       // apply
    std::string outputFile;    // export; empty = standard output
    std::uint32_t serialRate = 0;  // serial-rate
};

const char* CommandName(Command command);

}  // namespace tavrol::cli
