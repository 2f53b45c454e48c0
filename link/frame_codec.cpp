#include "frame_codec.h"

namespace tavrol {

namespace {

bool IsFramingByte(const FramingBytes& f, std::uint8_t v) {
    return v == f.escape || v == f.head || v == f.tail;
}

}  // namespace

std::uint32_t EncodeFrame(const FramingBytes& f, const std::uint8_t* payload, std::uint32_t length,
                          std::uint8_t* out, std::uint32_t capacity) {
    if (out == nullptr || (payload == nullptr && length != 0) || MaxFrameSize(length) > capacity) {
        return 0;
    }
    std::uint32_t n = 0;
    out[n++] = f.head;
    out[n++] = f.head;
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t v = payload[i];
        if (IsFramingByte(f, v)) out[n++] = f.escape;
        out[n++] = v;
        sum = static_cast<std::uint8_t>(sum + v);
    }
    if (IsFramingByte(f, sum)) out[n++] = f.escape;
    out[n++] = sum;
    out[n++] = f.tail;
    out[n++] = f.tail;
    return n;
}

FrameDecoder::FrameDecoder(std::uint8_t* buffer, std::uint32_t capacity, FramingBytes bytes)
    : buffer_(buffer), capacity_(capacity), bytes_(bytes) {}

void FrameDecoder::Store(std::uint8_t b) {
    buffer_[state_.position++] = b;
    state_.sum = static_cast<std::uint8_t>(state_.sum + b);
}

int FrameDecoder::EndFrame(std::uint8_t b) {
    state_.previous = b;
    state_.inFrame = false;
    if (state_.position < 2) {
        state_.sum = 0;
        return 0;
    }
    // The first tail byte was stored as data; drop it. The byte before it is
    // the checksum.
    state_.position -= 1;
    frameLength_ = state_.position - 1;
    const std::uint8_t c = buffer_[frameLength_];
    const std::uint8_t payloadSum = static_cast<std::uint8_t>(state_.sum - bytes_.tail - c);
    state_.sum = 0;
    return c == payloadSum ? 1 : 0;
}

int FrameDecoder::DecodeByte(std::uint8_t b) {
    State& s = state_;
    // A position at capacity restarts before anything could be stored past
    // the end of the buffer.
    if ((b == bytes_.head && s.previous == bytes_.head) || s.position >= capacity_) {
        s.position = 0;
        s.inFrame = true;
        s.sum = 0;
        s.previous = b;
        return 0;
    }
    if (b == bytes_.tail && s.previous == bytes_.tail && s.inFrame) {
        return EndFrame(b);
    }
    s.previous = b;
    if (!s.inFrame) return 0;
    if (s.escapePending) {
        Store(b);
        s.escapePending = false;
        // An escaped byte must not pair with the byte after it.
        s.previous = bytes_.escape;
        return 0;
    }
    if (b == bytes_.escape) {
        s.escapePending = true;
        return 0;
    }
    Store(b);
    return 0;
}

}  // namespace tavrol
