#include "setting_values.h"

#include <cctype>

#include "registers.h"

namespace tavrol::cli {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<bool> ParseOnOff(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

bool Fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// "std:ID/MASK", "ext:ID/MASK" or "off" for filter `name`.
bool ParseFilterValue(const std::string& name, std::string_view value, FilterChange* filter, std::string* error) {
    if (value == "off") {
        filter->enabled = false;
        return true;
    }
    bool extended = false;
    if (StartsWith(value, "ext:")) {
        extended = true;
    } else if (!StartsWith(value, "std:")) {
        return Fail(error, name + "=" + std::string(value) + ": expected std:ID/MASK, ext:ID/MASK or off");
    }
    const std::string_view pair = value.substr(4);
    const std::size_t slash = pair.find('/');
    if (slash == std::string_view::npos)
        return Fail(error, name + "=" + std::string(value) + ": expected ID/MASK after the format");
    const std::uint32_t limit = FilterValueLimit(extended);
    const char* format = extended ? "an extended" : "a standard";
    const std::string_view parts[2] = {pair.substr(0, slash), pair.substr(slash + 1)};
    const char* what[2] = {"identifier", "mask"};
    std::uint32_t numbers[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto number = ParseHex(parts[i]);
        if (!number)
            return Fail(error, name + ": " + what[i] + " '" + std::string(parts[i]) + "' is not a hexadecimal number");
        if (*number > limit)
            return Fail(error, name + ": " + what[i] + " " + std::string(parts[i]) + " is above " +
                                   FilterValueText(limit, extended) + " for " + format + " filter");
        numbers[i] = *number;
    }
    filter->enabled = true;
    filter->extended = extended;
    filter->identifier = numbers[0];
    filter->mask = numbers[1];
    return true;
}

// The filter index of "filterN", -1 when the name is no filter, -2 when the
// index is out of range.
int FilterIndex(std::string_view name) {
    if (!StartsWith(name, "filter")) return -1;
    const auto n = ParseDecimal(name.substr(6));
    if (!n) return -1;
    if (*n >= static_cast<std::uint64_t>(kFilterCount)) return -2;
    return static_cast<int>(*n);
}

}  // namespace

std::optional<std::uint32_t> ParseHex(std::string_view text) {
    if (StartsWith(text, "0x") || StartsWith(text, "0X")) text.remove_prefix(2);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c))            ? c - '0'
                          : (c >= 'a' && c <= 'f')                                 ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F')                                 ? c - 'A' + 10
                                                                                   : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::uint32_t FilterValueLimit(bool extended) { return extended ? kExtendedIdMask : kStandardIdMask; }

bool AddAssignment(const std::string& text, SettingsChange* change, std::string* error) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return Fail(error, "'" + text + "': expected SETTING=VALUE");
    const std::string name = text.substr(0, equals);
    const std::string_view value = std::string_view(text).substr(equals + 1);
    if (name == "can-bitrate") {
        const auto rate = ParseDecimal(value);
        if (!rate || *rate < 1 || *rate > kMaxCanBitrate)
            return Fail(error, "can-bitrate=" + std::string(value) + ": expected a number from 1 to 1000000");
        if (change->canBitrate) return Fail(error, "can-bitrate given twice");
        change->canBitrate = static_cast<std::uint32_t>(*rate);
        return true;
    }
    if (name == "retransmit" || name == "bus-off") {
        const auto on = ParseOnOff(value);
        if (!on) return Fail(error, name + "=" + std::string(value) + ": expected on or off");
        std::optional<bool>& slot = name == "retransmit" ? change->retransmit : change->busOff;
        if (slot) return Fail(error, name + " given twice");
        slot = *on;
        return true;
    }
    const int index = FilterIndex(name);
    if (index == -2) return Fail(error, name + ": the filter index must be 0 to 13");
    if (index < 0)
        return Fail(error, "unknown setting '" + name + "' (known: can-bitrate, retransmit, bus-off, filter0 to filter13)");
    auto& slot = change->filters[static_cast<std::size_t>(index)];
    if (slot) return Fail(error, name + " given twice");
    FilterChange filter;
    if (!ParseFilterValue(name, value, &filter, error)) return false;
    slot = filter;
    return true;
}

}  // namespace tavrol::cli
