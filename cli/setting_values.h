// Reading setting values as people type them: SETTING=VALUE on the command
// line, and the hexadecimal identifiers and masks of filters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "adapter_settings.h"

namespace tavrol::cli {

// Hexadecimal digits with or without a leading 0x, at most 8 of them after
// leading zeros are dropped; nothing else.
std::optional<std::uint32_t> ParseHex(std::string_view text);
// Decimal digits only, no sign, no blanks.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

// The largest identifier or mask of a filter format.
std::uint32_t FilterValueLimit(bool extended);

// Adds one SETTING=VALUE to `change`: can-bitrate=1..1000000,
// retransmit=on|off, bus-off=on|off, filterN=std:ID/MASK, filterN=ext:ID/MASK,
// filterN=off. false with a message naming the setting and the reason.
bool AddAssignment(const std::string& text, SettingsChange* change, std::string* error);

}  // namespace tavrol::cli
