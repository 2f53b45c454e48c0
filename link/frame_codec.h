// Byte framing of the wire protocol: head pair, escaped payload, escaped
// 8-bit sum, tail pair.
#pragma once

#include <cstdint>

namespace tavrol {

inline constexpr std::uint8_t FRAME_HEAD = 0xAA;
inline constexpr std::uint8_t FRAME_TAIL = 0x55;
inline constexpr std::uint8_t FRAME_ESCAPE = 0xA5;

// The three framing bytes. The link holds one set and hands it to both
// directions, so encoder and decoder always agree.
struct FramingBytes {
    std::uint8_t head = FRAME_HEAD;
    std::uint8_t tail = FRAME_TAIL;
    std::uint8_t escape = FRAME_ESCAPE;
};

// Largest frame a payload of `length` bytes can need: every byte escaped.
constexpr std::uint64_t MaxFrameSize(std::uint32_t length) { return 2ull * length + 6; }

// Writes the frame of `payload` into `out` and returns its length. A payload
// whose worst-case frame (2L + 6) does not fit in `capacity` is refused with 0,
// so the buffer is never overrun; every real frame is at least 5 bytes long.
std::uint32_t EncodeFrame(const FramingBytes& bytes, const std::uint8_t* payload, std::uint32_t length,
                          std::uint8_t* out, std::uint32_t capacity);

// Rebuilds frames from the received stream one byte at a time. The state is
// carried across reads of any size and across closing and reopening the link.
class FrameDecoder {
public:
    // `buffer` holds `capacity` bytes and stays owned by the caller.
    FrameDecoder(std::uint8_t* buffer, std::uint32_t capacity, FramingBytes bytes = {});

    // 1 when `b` completes a frame whose checksum is right, else 0. After a 1
    // the payload is the first FrameLength() bytes of the buffer, valid until
    // the next call.
    int DecodeByte(std::uint8_t b);

    std::uint32_t FrameLength() const { return frameLength_; }
    const std::uint8_t* Frame() const { return buffer_; }

    // Inspection for tests and diagnostics.
    struct State {
        std::uint8_t previous = 0;
        bool inFrame = false;
        bool escapePending = false;
        std::uint32_t position = 0;
        std::uint8_t sum = 0;
    };
    const State& CurrentState() const { return state_; }

private:
    void Store(std::uint8_t b);
    int EndFrame(std::uint8_t b);

    std::uint8_t* buffer_;
    std::uint32_t capacity_;
    FramingBytes bytes_;
    State state_;
    std::uint32_t frameLength_ = 0;
};

}  // namespace tavrol
