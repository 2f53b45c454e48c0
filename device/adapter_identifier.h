// The adapter's 12-byte unique identifier: read the way the connection does
// (REG_CPUID_LO, then REG_CPUID_HI) and shown as six groups of four digits.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "adapter_settings.h"

namespace tavrol {

using AdapterIdentifier = std::array<std::uint8_t, 12>;

// Both identifier reads; whether the adapter answers at this rate.
StepResult ReadIdentifier(RT_CAN& channel, AdapterIdentifier* identifier);

// "0001-0203-0405-0607-0809-0a0b": lower-case digits, a dash every two bytes.
std::string IdentifierText(const AdapterIdentifier& identifier);

}  // namespace tavrol
