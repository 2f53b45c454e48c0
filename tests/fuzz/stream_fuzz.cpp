// Feeds arbitrary byte streams through the frame decoder and the channel's
// frame routing, the path every byte from the port takes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame_codec.h"
#include "rt_can.h"

namespace {

// Small capacity so the over-long-frame restart is reached often.
constexpr std::uint32_t kCapacity = 64;

// The channel as the reader thread drives it, without the pause after each
// reply that would only slow the search down.
class Channel : public tavrol::RT_CAN {
public:
    Channel() { replyPauseMs_ = 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Channel channel;  // never opened: only its routing runs
    std::vector<std::uint8_t> buffer(kCapacity + 1, 0xEE);
    tavrol::FrameDecoder decoder(buffer.data(), kCapacity);
    for (std::size_t i = 0; i < size; ++i) {
        if (decoder.DecodeByte(data[i]) != 1) continue;
        const std::uint32_t length = decoder.FrameLength();
        if (length + 1 > kCapacity) std::abort();  // payload and checksum lie inside the buffer
        channel.OnFrame(decoder.Frame(), length);
        // Whatever was accepted must encode back to a frame that decodes to it.
        std::vector<std::uint8_t> frame(2 * length + 6);
        const std::uint32_t n = tavrol::EncodeFrame(tavrol::FramingBytes{}, decoder.Frame(), length, frame.data(),
                                                    static_cast<std::uint32_t>(frame.size()));
        std::vector<std::uint8_t> again(2 * length + 8);
        tavrol::FrameDecoder check(again.data(), static_cast<std::uint32_t>(again.size()));
        int frames = 0;
        for (std::uint32_t k = 0; k < n; ++k) frames += check.DecodeByte(frame[k]);
        if (frames != 1 || check.FrameLength() != length ||
            !std::equal(decoder.Frame(), decoder.Frame() + length, check.Frame())) {
            std::abort();
        }
    }
    if (buffer[kCapacity] != 0xEE) std::abort();  // nothing written past the buffer
    return 0;
}
