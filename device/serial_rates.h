// The 29 serial rates both front ends offer, in the order a rate search
// tries them.
#pragma once

#include <array>
#include <cstdint>

namespace tavrol {

inline constexpr std::array<std::uint32_t, 29> kSerialRates = {
    300,   600,   1200,  1800,  2400,  4000,  4800,   7200,   9600,   14400,  16000,  19200,  28800,  38400,  51200,
    56000, 57600, 64000, 76800, 115200, 128000, 153600, 230400, 250000, 256000, 460800, 500000, 576000, 921600};

// The rate a new adapter runs at.
inline constexpr std::uint32_t kFactorySerialRate = 115200;

constexpr bool IsSerialRate(std::uint64_t rate) {
    for (std::uint32_t r : kSerialRates) {
        if (r == rate) return true;
    }
    return false;
}

}  // namespace tavrol
