// One port's whole run of a command: connect, do the command's transactions,
// close, and report.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "adapter_settings.h"
#include "invocation.h"
#include "port_catalog.h"
#include "port_report.h"

namespace tavrol::cli {

struct PortJob {
    const Invocation* invocation = nullptr;
    PortName name;
    std::optional<PortTarget> target;  // nothing when the COM number names no port
    StopFlag stop = nullptr;
    std::function<void(const std::string&)> progress;  // what the port is doing now
};

PortReport RunPortJob(const PortJob& job);

}  // namespace tavrol::cli
