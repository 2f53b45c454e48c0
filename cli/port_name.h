// A PORT as the user names it: a COM name (COM5), a bare number (5) or a
// device path (/dev/ttyUSB0).
#pragma once

#include <optional>
#include <string>

namespace tavrol::cli {

struct PortName {
    std::string text;        // as shown in reports: "COM5", or the path
    int number = 0;          // the n of COMn; 0 for a device path
    std::string devicePath;  // empty for a COM number
};

// Nothing when `text` is none of the three forms.
std::optional<PortName> ParsePortName(const std::string& text);

}  // namespace tavrol::cli
