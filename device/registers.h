// The adapter's configuration registers and their value layouts.
#pragma once

#include <array>
#include <cstdint>

namespace tavrol {

inline constexpr std::uint32_t REG_USART_BAUD = 0x1FFFE90;
inline constexpr std::uint32_t REG_ART = 0x1FFFEA0;
inline constexpr std::uint32_t REG_ABOM = 0x1FFFEB0;
inline constexpr std::uint32_t REG_CAN_BAUD = 0x1FFFED0;
inline constexpr std::uint32_t REG_FILTER_0 = 0x1FFFEE0;
inline constexpr std::uint32_t REG_FILTER_13 = 0x1FFFEED;
inline constexpr std::uint32_t REG_FACTORY_RESET = 0x1FFFEFF;
inline constexpr std::uint32_t REG_CPUID_LO = 0x1FFFFF0;
inline constexpr std::uint32_t REG_CPUID_HI = 0x1FFFFF1;
inline constexpr int kFilterCount = 14;

inline constexpr std::uint32_t FILTER_ENABLED = 0x80000000u;
inline constexpr std::uint32_t FILTER_EXTENDED = 0x40000000u;
inline constexpr std::uint32_t kExtendedIdMask = 0x1FFFFFFFu;
inline constexpr std::uint32_t kStandardIdMask = 0x7FFu;

// Size in bytes of register `id`, 0 for an identifier that is no register.
constexpr std::uint32_t RegisterSizeOf(std::uint32_t id) {
    switch (id) {
        case REG_USART_BAUD: return 4;
        case REG_ART: return 1;
        case REG_ABOM: return 1;
        case REG_CAN_BAUD: return 4;
        case REG_FACTORY_RESET: return 4;
        case REG_CPUID_LO: return 8;
        case REG_CPUID_HI: return 4;
        default: return (id >= REG_FILTER_0 && id <= REG_FILTER_13) ? 8 : 0;
    }
}

// A filter register as the window shows it, trimmed to the format's width.
struct FilterSetting {
    bool enabled = false;
    bool extended = false;
    std::uint32_t identifier = 0;
    std::uint32_t mask = 0;
};

// Reads a filter register value (identifier word, then mask word).
FilterSetting DecodeFilter(const std::uint8_t value[8]);
// Builds a filter register value: the identifier word is `identifier` with
// FILTER_ENABLED and FILTER_EXTENDED ORed in as asked, the mask word is `mask`.
// The identifier keeps only its 29 identifier bits, so typed bits can never
// set the flags; beyond that neither word is trimmed to the format's width.
std::array<std::uint8_t, 8> EncodeFilter(std::uint32_t identifier, std::uint32_t mask, bool enabled,
                                         bool extended);

}  // namespace tavrol
