// What the virtual adapter logs: one entry per received frame, and the
// readable line shown for it.
#pragma once

#include <cstdint>
#include <string>

#include "can_message.h"

namespace tavrol::sim {

// One frame the adapter received, and what it answered.
struct Exchange {
    CanMessage request;                  // the first 16 payload bytes, zero-padded
    std::uint32_t length = kCanMessageSize;  // payload length of the frame
    bool answered = false;               // a reply went out on the line
    CanMessage reply;                    // as sent (wrong Id included)
    std::string note;                    // why there was no reply, or the faults
                                         // the reply carried
};

// The readable line the log shows for one exchange, e.g.
// "write REG_CAN_BAUD 250000 (Dlc 4) -> 250000 (Dlc 4)" or
// "read 0x1FFFEC0 -> no reply (unknown register)".
std::string Describe(const Exchange& exchange);

// The request half of that line ("read REG_ART", "frame of 15 bytes").
std::string RequestText(const Exchange& exchange);

// The name of a register identifier ("REG_FILTER_3"), or its hexadecimal
// value when it is none.
std::string RegisterName(std::uint32_t id);

}  // namespace tavrol::sim
