// A port's report as people read it and as programs read it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "invocation.h"
#include "port_report.h"

namespace tavrol::cli {

// One JSON object; dumped, it is the port's one line of --json output.
nlohmann::ordered_json ReportJson(const PortReport& report, Command command);

// Text for standard output when the port succeeded (may be several lines,
// each ending in a newline).
std::string ReportText(const PortReport& report, Command command);
// The line for standard error when it failed.
std::string FailureText(const PortReport& report);

// The settings block of show, reset, set and apply.
std::string SettingsText(const AdapterSettings& settings);

// "3 ok, 1 failed"
std::string SummaryText(int ok, int failed);

}  // namespace tavrol::cli
