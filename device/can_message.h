// The 16-byte record carried by every frame, in both directions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrol {

inline constexpr std::uint8_t KIND_CONFIG = 0xFF;
inline constexpr std::uint32_t kCanMessageSize = 16;

struct CanMessage {
    std::uint32_t Id = 0;        // little-endian on the wire
    std::uint8_t Data[8] = {};
    std::uint8_t Dlc = 0;
    std::uint8_t Kind = 0;       // KIND_CONFIG marks a configuration message
    std::uint8_t Extended = 0;   // 1 = 29-bit identifier
    std::uint8_t Remote = 0;     // 1 = read request, 0 = write
};

static_assert(sizeof(CanMessage) == kCanMessageSize, "CanMessage must be 16 bytes with no gaps");
static_assert(offsetof(CanMessage, Id) == 0);
static_assert(offsetof(CanMessage, Data) == 4);
static_assert(offsetof(CanMessage, Dlc) == 12);
static_assert(offsetof(CanMessage, Kind) == 13);
static_assert(offsetof(CanMessage, Extended) == 14);
static_assert(offsetof(CanMessage, Remote) == 15);

using CanMessageBytes = std::array<std::uint8_t, kCanMessageSize>;

// The record as it travels: Id little-endian, the rest as it lies.
CanMessageBytes ToBytes(const CanMessage& m);
// `bytes` must hold 16 bytes.
CanMessage FromBytes(const std::uint8_t* bytes);

// Little-endian numbers inside data bytes.
inline std::uint32_t LoadLE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline void StoreLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

}  // namespace tavrol
