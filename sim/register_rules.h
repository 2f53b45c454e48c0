// The adapter's registers and the rules by which it decides a request: what
// a write stores and what the reply carries.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "can_message.h"

namespace tavrol::sim {

// The adapter's register contents. A default-constructed value is the factory
// state.
struct Registers {
    std::uint32_t serialRate = 115200;   // in effect on the line
    std::uint32_t pendingSerialRate = 115200;  // applies from the next connection
    std::uint8_t art = 1;
    std::uint8_t abom = 1;
    std::uint32_t canBaud = 500000;
    std::array<std::array<std::uint8_t, 8>, 14> filters = {};
};

using Identifier = std::array<std::uint8_t, 12>;

// What the rules decide for one received frame.
struct Verdict {
    bool reply = false;
    CanMessage message;                  // the reply, when there is one
    std::string note;                    // why there is none
};

// Decides the frame whose first 16 payload bytes are `request` (zero-padded)
// and whose payload was `length` bytes long. A write the rules accept is
// stored in `registers`.
Verdict DecideRequest(const CanMessage& request, std::uint32_t length, Registers& registers,
                      const Identifier& identifier);

// The pending serial rate takes effect when the tool's line speed (0 when
// unknown) differs from the rate in effect: the tool has reopened the port at
// another speed. true when it did.
bool TakePendingRateAtSpeed(Registers& registers, std::uint32_t lineSpeed);

}  // namespace tavrol::sim
