#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frame_codec.h"

namespace tavrol {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kCapacity = 8194;

Bytes Encode(const Bytes& payload, std::uint32_t capacity = kCapacity) {
    Bytes out(capacity);
    const std::uint32_t n = EncodeFrame(FramingBytes{}, payload.data(), static_cast<std::uint32_t>(payload.size()),
                                        out.data(), capacity);
    out.resize(n);
    return out;
}

// A decoder with its own buffer that collects every accepted frame.
struct Receiver {
    explicit Receiver(std::uint32_t capacity = kCapacity) : buffer(capacity), decoder(buffer.data(), capacity) {}
    void Feed(const Bytes& stream) {
        for (std::uint8_t b : stream) {
            if (decoder.DecodeByte(b) == 1) {
                frames.emplace_back(decoder.Frame(), decoder.Frame() + decoder.FrameLength());
            }
        }
    }
    Bytes buffer;
    FrameDecoder decoder;
    std::vector<Bytes> frames;
};

TEST(EncodeFrame, WorkedExamples) {
    EXPECT_EQ(Encode({0x01, 0xAA, 0x55, 0xA5, 0x02}),
              (Bytes{0xAA, 0xAA, 0x01, 0xA5, 0xAA, 0xA5, 0x55, 0xA5, 0xA5, 0x02, 0xA7, 0x55, 0x55}));
    EXPECT_EQ(Encode({}), (Bytes{0xAA, 0xAA, 0x00, 0x55, 0x55}));
    EXPECT_EQ(Encode({0x50, 0x05}), (Bytes{0xAA, 0xAA, 0x50, 0x05, 0xA5, 0x55, 0x55, 0x55}));
}

TEST(EncodeFrame, EscapesOnlyFramingBytesAndChecksum) {
    struct Case {
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {{0xAA}, {0xAA, 0xAA, 0xA5, 0xAA, 0xA5, 0xAA, 0x55, 0x55}},  // sum 0xAA escaped too
        {{0xA0, 0x05}, {0xAA, 0xAA, 0xA0, 0x05, 0xA5, 0xA5, 0x55, 0x55}},  // sum 0xA5
        {{0x10, 0x20, 0x30}, {0xAA, 0xAA, 0x10, 0x20, 0x30, 0x60, 0x55, 0x55}},
        {{0xFF, 0x01}, {0xAA, 0xAA, 0xFF, 0x01, 0x00, 0x55, 0x55}},  // sum wraps to 0
    };
    for (const Case& c : cases) EXPECT_EQ(Encode(c.payload), c.frame);
}

TEST(EncodeFrame, RefusesPayloadThatCouldOverrunTheBuffer) {
    Bytes payload(4095, 0x00);  // 2 * 4095 + 6 = 8196 > 8194
    EXPECT_TRUE(Encode(payload).empty());
    payload.resize(4094);  // 8194 fits exactly, even all escaped
    payload.assign(4094, 0xAA);
    EXPECT_EQ(Encode(payload).size(), 2u + 2 * 4094 + 1 + 2);
    EXPECT_TRUE(Encode({0x01, 0x02}, 9).empty());
    EXPECT_EQ(Encode({0x01, 0x02}, 10).size(), 7u);
}

TEST(DecodeByte, WorkedExampleStateTable) {
    Receiver r;
    struct Step {
        std::uint8_t byte, previous;
        bool inFrame, escape;
        std::uint32_t position;
        std::uint8_t sum;
        int result;
    } steps[] = {
        {0xAA, 0xAA, false, false, 0, 0x00, 0}, {0xAA, 0xAA, true, false, 0, 0x00, 0},
        {0x50, 0x50, true, false, 1, 0x50, 0},  {0x05, 0x05, true, false, 2, 0x55, 0},
        {0xA5, 0xA5, true, true, 2, 0x55, 0},   {0x55, 0xA5, true, false, 3, 0xAA, 0},
        {0x55, 0x55, true, false, 4, 0xFF, 0},  {0x55, 0x55, false, false, 3, 0x00, 1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "byte " << int(s.byte) << " at position " << s.position);
        EXPECT_EQ(r.decoder.DecodeByte(s.byte), s.result);
        const auto& st = r.decoder.CurrentState();
        EXPECT_EQ(st.previous, s.previous);
        EXPECT_EQ(st.inFrame, s.inFrame);
        EXPECT_EQ(st.escapePending, s.escape);
        EXPECT_EQ(st.position, s.position);
        EXPECT_EQ(st.sum, s.sum);
    }
    EXPECT_EQ(r.decoder.FrameLength(), 2u);
    EXPECT_EQ(r.buffer[0], 0x50);
    EXPECT_EQ(r.buffer[1], 0x05);
}

TEST(DecodeByte, EmptyPayloadDecodesToLengthZero) {
    Receiver r;
    r.Feed(Encode({}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0].empty());
}

TEST(DecodeByte, RandomPayloadsSurviveAnySplitOfTheStream) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        // Payloads biased towards framing bytes so escaping is exercised.
        std::vector<Bytes> payloads(1 + rng() % 5);
        Bytes stream;
        for (Bytes& p : payloads) {
            p.resize(rng() % 40);
            for (auto& b : p) {
                const std::uint8_t special[] = {0xAA, 0x55, 0xA5};
                b = (rng() % 3 == 0) ? special[rng() % 3] : static_cast<std::uint8_t>(rng());
            }
            const Bytes f = Encode(p);
            stream.insert(stream.end(), f.begin(), f.end());
        }
        // The decoder sees bytes one at a time, so any split of the stream
        // into reads is the same stream; a fresh decoder per round checks
        // both program start and "right after another frame".
        Receiver r;
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t piece = 1 + rng() % 64;
            r.Feed(Bytes(stream.begin() + static_cast<long>(at),
                         stream.begin() + static_cast<long>(std::min(stream.size(), at + piece))));
            at += piece;
        }
        ASSERT_EQ(r.frames, payloads) << "round " << round;
    }
}

TEST(DecodeByte, LargestPayloadThatFits) {
    Bytes payload(4094);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    Receiver r;
    r.Feed(Encode(payload));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], payload);
}

TEST(DecodeByte, NoiseAndBrokenFramesAreDropped) {
    const Bytes good = Encode({0x11, 0x22, 0x33});
    struct Case {
        const char* name;
        Bytes prefix;
    } cases[] = {
        {"noise, single head bytes and tail pairs before the first head pair",
         {0x01, 0xAA, 0x02, 0x55, 0x55, 0xAA, 0x03}},
        {"unfinished frame cut by a head pair", {0xAA, 0xAA, 0x01, 0x02, 0x03}},
        {"frame with a wrong checksum", {0xAA, 0xAA, 0x11, 0x22, 0x34, 0x66, 0x55, 0x55}},
        {"frame too short to hold a checksum", {0xAA, 0xAA, 0x55, 0x55}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Receiver r;
        Bytes stream = c.prefix;
        stream.insert(stream.end(), good.begin(), good.end());
        r.Feed(stream);
        ASSERT_EQ(r.frames.size(), 1u);
        EXPECT_EQ(r.frames[0], (Bytes{0x11, 0x22, 0x33}));
    }
}

TEST(DecodeByte, ShortTailPairReportsNothing) {
    Receiver r;
    r.Feed({0xAA, 0xAA, 0x55, 0x55});
    EXPECT_TRUE(r.frames.empty());
    r.Feed({0xAA, 0xAA, 0x07, 0x55, 0x55});  // one byte: only a checksum, no payload
    EXPECT_TRUE(r.frames.empty());
}

TEST(DecodeByte, CorruptedByteDropsOnlyThatFrame) {
    const Bytes payload = {0x10, 0x20, 0x30, 0x40};
    for (std::size_t at = 2; at < 7; ++at) {  // payload bytes and the checksum
        Bytes bad = Encode(payload);
        bad[at] ^= 0x01;  // stays clear of the framing bytes for these values
        Receiver r;
        r.Feed(bad);
        r.Feed(Encode(payload));
        ASSERT_EQ(r.frames.size(), 1u) << "corrupted index " << at;
        EXPECT_EQ(r.frames[0], payload);
    }
}

TEST(DecodeByte, RunOfHeadBytesStartsAfterTheLast) {
    Receiver r;
    r.Feed({0xAA, 0xAA, 0xAA, 0x01, 0x02, 0x03, 0x55, 0x55});
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (Bytes{0x01, 0x02}));
}

TEST(DecodeByte, EscapedHeadDoesNotPairWithTheNextByte) {
    // Inside a frame, A5 AA then AA stores 0xAA twice and starts no frame.
    Receiver r;
    const std::uint8_t sum = static_cast<std::uint8_t>(0xAA + 0xAA);
    r.Feed({0xAA, 0xAA, 0xA5, 0xAA, 0xAA, sum, 0x55, 0x55});
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (Bytes{0xAA, 0xAA}));
}

TEST(DecodeByte, EscapedChecksumTailIsNotTheEnd) {
    Receiver r;
    r.Feed(Encode({0x50, 0x05}));  // checksum 0x55 escaped, then the tail pair
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (Bytes{0x50, 0x05}));
}

TEST(DecodeByte, OverlongFrameRestartsWithoutOverrun) {
    constexpr std::uint32_t kSmall = 10;
    // A guard byte right behind the buffer shows any write past its end.
    Bytes storage(kSmall + 1, 0xEE);
    FrameDecoder d(storage.data(), kSmall);
    EXPECT_EQ(d.DecodeByte(0xAA), 0);
    EXPECT_EQ(d.DecodeByte(0xAA), 0);
    for (std::uint32_t i = 0; i < kSmall; ++i) EXPECT_EQ(d.DecodeByte(0x01), 0);
    EXPECT_EQ(d.CurrentState().position, kSmall);
    // The next byte starts a new frame and is not stored.
    EXPECT_EQ(d.DecodeByte(0x07), 0);
    EXPECT_EQ(d.CurrentState().position, 0u);
    EXPECT_TRUE(d.CurrentState().inFrame);
    EXPECT_EQ(storage[kSmall], 0xEE);
    // What follows the restart is decoded as a frame body.
    for (std::uint8_t b : Bytes{0x03, 0x04, 0x07, 0x55, 0x55}) {
        if (d.DecodeByte(b) == 1) {
            EXPECT_EQ(d.FrameLength(), 2u);
            EXPECT_EQ(storage[0], 0x03);
            return;
        }
    }
    ADD_FAILURE() << "no frame after the restart";
}

TEST(DecodeByte, FullSizeBufferRestartsAtTheSpecifiedPosition) {
    Receiver r;
    r.decoder.DecodeByte(0xAA);
    r.decoder.DecodeByte(0xAA);
    for (std::uint32_t i = 0; i < kCapacity; ++i) r.decoder.DecodeByte(0x01);
    EXPECT_EQ(r.decoder.CurrentState().position, kCapacity);
    r.decoder.DecodeByte(0x01);  // the 8195th byte
    EXPECT_EQ(r.decoder.CurrentState().position, 0u);
}

TEST(DecodeByte, FrameLengthKeepsLastFrameUntilTheNextEnds) {
    Receiver r;
    r.Feed(Encode({1, 2, 3}));
    r.Feed({0xAA, 0xAA, 9, 9, 9, 9, 9});
    EXPECT_EQ(r.decoder.FrameLength(), 3u);
}

}  // namespace
}  // namespace tavrol
