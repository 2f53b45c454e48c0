#include "port_name.h"

#include <strings.h>

#include "setting_values.h"

namespace tavrol::cli {

namespace {

// COM numbers as the port list gives them: 1 and up, and small.
constexpr std::uint64_t kHighestComNumber = 9999;

std::optional<PortName> FromNumber(const std::string& digits) {
    const auto n = ParseDecimal(digits);
    if (!n || *n < 1 || *n > kHighestComNumber) return std::nullopt;
    PortName name;
    name.number = static_cast<int>(*n);
    name.text = "COM" + std::to_string(name.number);
    return name;
}

}  // namespace

std::optional<PortName> ParsePortName(const std::string& text) {
    if (!text.empty() && text[0] == '/') {
        PortName name;
        name.text = text;
        name.devicePath = text;
        return name;
    }
    if (text.size() > 3 && ::strncasecmp(text.c_str(), "COM", 3) == 0) return FromNumber(text.substr(3));
    return FromNumber(text);
}

}  // namespace tavrol::cli
