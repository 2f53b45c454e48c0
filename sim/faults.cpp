#include "faults.h"

#include "frame_codec.h"
#include "registers.h"

namespace tavrol::sim {

namespace {

constexpr std::uint32_t kFrameCapacity = 64;

std::string Ordinal(std::uint32_t n) {
    if (n == 1) return "single";
    const std::uint32_t tens = n % 100, ones = n % 10;
    const char* suffix = (tens >= 11 && tens <= 13) ? "th" : ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

// Another register's identifier, for the wrong-Id fault.
std::uint32_t OtherRegister(std::uint32_t id) { return id == REG_CAN_BAUD ? REG_ART : REG_CAN_BAUD; }

// The checksum sits before the tail pair, escaped when it is a framing byte.
// Puts a plain byte other than the right sum there.
void CorruptChecksum(std::vector<std::uint8_t>& frame) {
    const FramingBytes fb;
    const std::uint8_t sum = frame[frame.size() - 3];
    const bool escaped = sum == fb.head || sum == fb.tail || sum == fb.escape;
    std::uint8_t wrong = static_cast<std::uint8_t>(sum + 1);
    while (wrong == fb.head || wrong == fb.tail || wrong == fb.escape) ++wrong;
    frame.resize(frame.size() - (escaped ? 4 : 3));
    frame.push_back(wrong);
    frame.push_back(fb.tail);
    frame.push_back(fb.tail);
}

// Half of the noise is framing bytes, the kind a decoder can trip on.
std::vector<std::uint8_t> Noise(std::uint32_t count, std::mt19937& rng) {
    static constexpr std::uint8_t kFraming[] = {FRAME_HEAD, FRAME_TAIL, FRAME_ESCAPE};
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> framing(0, 5);
    std::vector<std::uint8_t> out;
    std::uint8_t previous = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t b;
        do {
            const int pick = framing(rng);
            b = pick < 3 ? kFraming[pick] : static_cast<std::uint8_t>(byte(rng));
            // Two head bytes in a row would open a frame.
        } while (b == FRAME_HEAD && previous == FRAME_HEAD);
        out.push_back(b);
        previous = b;
    }
    return out;
}

}  // namespace

bool DropCounter::Drop(std::uint32_t dropEvery) {
    if (dropEvery != counted_) {
        counted_ = dropEvery;
        replies_ = 0;
    }
    ++replies_;
    return dropEvery != 0 && replies_ % dropEvery == 0;
}

std::string DropNote(std::uint32_t dropEvery) { return "dropped: every " + Ordinal(dropEvery) + " reply"; }

std::vector<std::uint8_t> FrameBytes(const CanMessage& message) {
    const CanMessageBytes bytes = ToBytes(message);
    std::uint8_t frame[kFrameCapacity];
    const std::uint32_t n = EncodeFrame(FramingBytes{}, bytes.data(), kCanMessageSize, frame, sizeof frame);
    return std::vector<std::uint8_t>(frame, frame + n);
}

ShapedReply ShapeReply(const Faults& f, const CanMessage& message, const CanMessage& request,
                       std::uint32_t serialRate, std::mt19937& rng) {
    ShapedReply out;
    out.message = message;
    if (f.wrongId) {
        out.message.Id = OtherRegister(out.message.Id);
        out.notes.push_back("wrong Id");
    }
    std::vector<std::uint8_t> frame = FrameBytes(out.message);
    if (f.corruptChecksum) {
        CorruptChecksum(frame);
        out.notes.push_back("checksum corrupted");
    }
    if (f.replyDelayMs != 0) {
        out.hold += std::chrono::milliseconds(f.replyDelayMs);
        out.notes.push_back("delayed " + std::to_string(f.replyDelayMs) + " ms");
    }
    if (f.wireTime && serialRate != 0) {
        const std::uint64_t bytes = FrameBytes(request).size() + frame.size();
        const std::uint64_t micros = 10ull * bytes * 1000000ull / serialRate;
        out.hold += std::chrono::microseconds(micros);
        out.notes.push_back("wire time " + std::to_string(micros / 1000) + " ms");
    }
    if (f.noiseBytes != 0) {
        out.bytes = Noise(f.noiseBytes, rng);
        out.notes.push_back(std::to_string(f.noiseBytes) + " noise bytes first");
    }
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    out.byteByByte = f.byteByByte;
    if (f.byteByByte) out.notes.push_back("byte by byte");
    return out;
}

CanMessage TrafficMessage(std::uint32_t n) {
    CanMessage m;
    m.Id = 0x100 + (n % 0x100);
    StoreLE32(m.Data, n);
    StoreLE32(m.Data + 4, ~n);
    m.Dlc = 8;
    m.Kind = 0x00;
    return m;
}

}  // namespace tavrol::sim
