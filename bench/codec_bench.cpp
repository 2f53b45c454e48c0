// Throughput of the frame codec over a long stream of frames of random
// 16-byte payloads, against the line rate at 921600 bit/s.
#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "bench.h"
#include "can_message.h"
#include "frame_codec.h"

namespace tavrol::bench {

namespace {

// 921600 bit/s at 10 bits per byte.
constexpr double kLineRate = 92160.0;

}  // namespace

void RunCodec(const Settings& s, std::vector<Row>& rows) {
    const std::size_t frames = static_cast<std::size_t>(s.codecFrames);
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> payloads(frames * kCanMessageSize);
    for (auto& b : payloads) b = static_cast<std::uint8_t>(byte(rng));

    const FramingBytes framing;
    std::vector<std::uint8_t> stream(frames * MaxFrameSize(kCanMessageSize));
    std::size_t streamLength = 0;
    std::vector<double> encodeRates, decodeRates;
    bool right = true;
    std::uint8_t buffer[2 * 4096 + 2];

    for (int repeat = 0; repeat < s.codecRepeats; ++repeat) {
        const auto t0 = Clock::now();
        std::size_t n = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            n += EncodeFrame(framing, &payloads[i * kCanMessageSize], kCanMessageSize, &stream[n],
                             static_cast<std::uint32_t>(std::min<std::size_t>(stream.size() - n, UINT32_MAX)));
        }
        const double encodeSeconds = Seconds(Clock::now() - t0);
        streamLength = n;
        encodeRates.push_back(static_cast<double>(n) / encodeSeconds);

        FrameDecoder decoder(buffer, sizeof buffer, framing);
        std::size_t decoded = 0;
        std::size_t mismatches = 0;
        const auto t1 = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            if (decoder.DecodeByte(stream[i]) == 1) {
                // One compare per frame keeps the decoder's work observable.
                if (decoder.FrameLength() != kCanMessageSize ||
                    decoder.Frame()[0] != payloads[decoded * kCanMessageSize])
                    ++mismatches;
                ++decoded;
            }
        }
        const double decodeSeconds = Seconds(Clock::now() - t1);
        decodeRates.push_back(static_cast<double>(n) / decodeSeconds);
        right = right && decoded == frames && mismatches == 0;
    }

    const std::string stream_text = std::to_string(frames) + " frames, " +
                                    Format(static_cast<double>(streamLength) / 1e6, 1) + " MB";
    for (int which = 0; which < 2; ++which) {
        const double rate = Median(which == 0 ? decodeRates : encodeRates);
        Row r;
        r.figure = std::string(which == 0 ? "DecodeByte" : "EncodeFrame") + " throughput (" + stream_text + ")";
        r.measured = FormatRate(rate);
        r.floor = "92.16 kB/s (921600 bit/s)";
        r.ratio = rate / kLineRate;
        r.target = "≥ 1000 × line rate";
        r.met = right && *r.ratio >= 1000.0;
        if (!right) r.note = "the stream did not decode back to the frames encoded";
        rows.push_back(r);
    }
}

}  // namespace tavrol::bench
