// The faults the virtual adapter can play, and how they shape a reply before
// it goes out on the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "can_message.h"

namespace tavrol::sim {

// Faults to play, for tests and demonstrations. All off by default; each can
// be changed while the adapter runs, from any thread.
struct Faults {
    std::uint32_t replyDelayMs = 0;      // hold every reply this long
    std::uint32_t dropEvery = 0;         // drop every n-th reply (1 = all); the
                                         // request still takes effect
    bool wrongId = false;                // replies carry another register's Id
    bool corruptChecksum = false;        // replies have a wrong checksum
    bool byteByByte = false;             // replies written one byte at a time,
                                         // 2 ms apart
    std::uint32_t noiseBytes = 0;        // random bytes written before each
                                         // reply; never two 0xAA in a row, so
                                         // they cannot open a frame
    std::uint32_t canTrafficHz = 0;      // ordinary CAN messages (Kind 0x00) per
                                         // second, sent while the line speed is
                                         // right and the tool keeps reading
    bool wireTime = false;               // hold each reply for 10 bits per byte of
                                         // request and reply frame at the serial rate
};

// Counts replies for Faults::dropEvery. The count starts afresh whenever
// dropEvery changes, so "every 3rd" means the 3rd reply from the change on.
class DropCounter {
public:
    // Counts one more reply; true when it is to be dropped.
    bool Drop(std::uint32_t dropEvery);

private:
    std::uint64_t replies_ = 0;
    std::uint32_t counted_ = 0;          // the dropEvery the count belongs to
};

// The log's note for a dropped reply ("dropped: every 3rd reply").
std::string DropNote(std::uint32_t dropEvery);

// A reply as the faults make it.
struct ShapedReply {
    CanMessage message;                  // as sent (wrong Id included)
    std::vector<std::uint8_t> bytes;     // on the wire: noise, then the frame
    std::chrono::microseconds hold{0};   // how long it waits before going out
    bool byteByByte = false;
    std::vector<std::string> notes;      // the faults it carries, for the log
};

// Applies `faults` to the reply `message` to `request`; `serialRate` is the
// rate in effect (for the wire time), `rng` feeds the noise.
ShapedReply ShapeReply(const Faults& faults, const CanMessage& message, const CanMessage& request,
                       std::uint32_t serialRate, std::mt19937& rng);

// The n-th ordinary CAN message of the traffic fault: Kind 0x00, Dlc 8, the
// count and its complement in the data.
CanMessage TrafficMessage(std::uint32_t n);

// The frame of one 16-byte message on the wire.
std::vector<std::uint8_t> FrameBytes(const CanMessage& message);

}  // namespace tavrol::sim
