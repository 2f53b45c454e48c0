// What happened on one port: the fields of its line of output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter_settings.h"

namespace tavrol::cli {

struct PortReport {
    std::string port;    // as the user named it, COM names normalised ("COM5")
    std::string device;  // the tty opened
    std::uint32_t baud = 0;  // the rate connected at; 0 when no connection was made
    bool ok = false;
    std::string identifier;
    std::optional<AdapterSettings> settings;
    std::vector<std::string> written;       // settings written, in order
    std::vector<std::string> wouldWrite;    // apply --dry-run: what would be written
    std::string profileFile;                // export -o: the file written
    std::uint32_t serialRate = 0;           // serial-rate: the rate written
    std::int64_t elapsedMs = 0;
    std::string errorCode;
    std::string errorMessage;
};

}  // namespace tavrol::cli
