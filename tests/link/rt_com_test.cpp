#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../support/wait_until.h"
#include "fake_serial_port.h"
#include "rt_com.h"

namespace tavrol {
namespace {

using test::FakePortState;
using test::FakeSerialPort;
using test::WaitUntil;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;

Bytes Frame(const Bytes& payload) {
    Bytes out(64);
    out.resize(EncodeFrame(FramingBytes{}, payload.data(), static_cast<std::uint32_t>(payload.size()), out.data(),
                           64));
    return out;
}

// A link that records what the reader thread delivers, in order.
class ProbeLink : public RT_COM {
public:
    explicit ProbeLink(std::shared_ptr<FakePortState> s, PortResolver* ports = &anyPort)
        : RT_COM(4096, std::make_unique<FakeSerialPort>(s), ports) {}
    ~ProbeLink() override { Close(); }  // the reader uses `events`: stop it first

    static inline test::AnyPortResolver anyPort;

    void OnPortLost() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back("lost");
        }
        RT_COM::OnPortLost();
    }
    void OnFrame(const std::uint8_t* data, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back("frame:" + std::string(data, data + length));
        }
        RT_COM::OnFrame(data, length);
    }
    void OnBytes(const std::uint8_t* data, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back("bytes:" + std::to_string(length));
        }
        RT_COM::OnBytes(data, length);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::vector<std::string> events;
};

class RtComTest : public ::testing::Test {
protected:
    std::shared_ptr<FakePortState> port = std::make_shared<FakePortState>();
    ProbeLink link{port};

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(port->mutex);
        return port->calls;
    }
    int ReadCalls() {
        std::lock_guard<std::mutex> lock(port->mutex);
        return port->readCalls;
    }
};

TEST_F(RtComTest, OpenConfiguresThePortInOrder) {
    ASSERT_EQ(link.Open(3, 115200), 1);
    EXPECT_EQ(link.IsOpen(), 1);
    EXPECT_THAT(Calls(), ElementsAre("Open", "Purge", "SetQueueSizes", "GetSettings", "SetSettings", "SetTimeouts"));
    // Only rate and framing change; the rest is as the port reported it.
    EXPECT_EQ(port->applied.baudRate, 115200u);
    EXPECT_EQ(port->applied.dataBits, 8);
    EXPECT_EQ(port->applied.parity, 0);
    EXPECT_EQ(port->applied.stopBits, 0);
    EXPECT_EQ(port->timeouts.writeMultiplier, 1000u);
    EXPECT_EQ(port->timeouts.writeConstant, 50000u);
    EXPECT_EQ(link.Capacity(), 8194u);
}

TEST_F(RtComTest, OpenWithSamePortAndRateTouchesNothing) {
    ASSERT_EQ(link.Open(3, 9600), 1);
    const auto before = Calls();
    EXPECT_EQ(link.Open(3, 9600), 1);
    EXPECT_EQ(Calls(), before);
    EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(RtComTest, OpenWithAnotherPairClosesFirst) {
    struct Case {
        int port, baud;
    } cases[] = {{3, 19200}, {4, 9600}};
    for (const Case& c : cases) {
        ASSERT_EQ(link.Open(3, 9600), 1);
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            port->calls.clear();
        }
        ASSERT_EQ(link.Open(c.port, c.baud), 1);
        EXPECT_THAT(Calls(), ElementsAre("StopReading", "Close", "Open", "Purge", "SetQueueSizes", "GetSettings",
                                         "SetSettings", "SetTimeouts"));
        EXPECT_EQ(port->applied.baudRate, static_cast<std::uint32_t>(c.baud));
        EXPECT_EQ(link.PortNumber(), c.port);
        link.Close();
    }
}

TEST_F(RtComTest, FailedOpenLeavesTheLinkClosed) {
    port->failOpen = true;
    EXPECT_EQ(link.Open(7, 9600), 0);
    EXPECT_EQ(link.IsOpen(), 0);
    EXPECT_NE(link.LastError(), 0);
    link.Close();  // nothing to close
    EXPECT_EQ(port->Count("Close"), 0);
}

TEST_F(RtComTest, RefusedSetupClosesThePortAgain) {
    struct Case {
        const char* name;
        bool FakePortState::*fail;
    } cases[] = {
        {"queues", &FakePortState::failQueues},
        {"settings read", &FakePortState::failGet},
        {"settings write", &FakePortState::failSet},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto state = std::make_shared<FakePortState>();
        (*state).*c.fail = true;
        ProbeLink l(state);
        EXPECT_EQ(l.Open(1, 9600), 0);
        EXPECT_EQ(l.IsOpen(), 0);
        EXPECT_EQ(state->Count("Close"), 1);
        EXPECT_EQ(state->Count("SetTimeouts"), 0);
        l.Close();
        EXPECT_EQ(state->Count("Close"), 1);
    }
}

TEST_F(RtComTest, FailedReopenAfterOpenLeavesItClosed) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    port->failOpen = true;
    EXPECT_EQ(link.Open(2, 9600), 0);
    EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(RtComTest, CloseIsHarmlessWhenRepeated) {
    link.Close();
    ASSERT_EQ(link.Open(1, 9600), 1);
    link.Close();
    link.Close();
    EXPECT_EQ(link.IsOpen(), 0);
    EXPECT_EQ(port->Count("Close"), 1);
}

TEST_F(RtComTest, SendingOnAClosedLinkWritesNothing) {
    const Bytes payload = {1, 2, 3};
    EXPECT_EQ(link.SendFrame(payload.data(), 3, INFINITE), 0u);
    EXPECT_EQ(link.WriteBytes(payload.data(), 3, INFINITE), 0u);
    EXPECT_EQ(port->Count("Write"), 0);
    EXPECT_EQ(link.BytesSent(), 0u);
    EXPECT_EQ(link.FramesSent(), 0u);
}

TEST_F(RtComTest, SendFrameWritesOneEncodedFrameAndCounts) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    const Bytes payload = {0x01, 0xAA, 0x55, 0xA5, 0x02};
    EXPECT_EQ(link.SendFrame(payload.data(), 5, INFINITE), 13u);
    EXPECT_EQ(port->written, Frame(payload));
    EXPECT_EQ(link.FramesSent(), 1u);
    EXPECT_EQ(link.BytesSent(), 13u);

    EXPECT_EQ(link.SendFrame(nullptr, 5, INFINITE), 0u);
    Bytes tooLong(4095);
    EXPECT_EQ(link.SendFrame(tooLong.data(), 4095, INFINITE), 0u);
    EXPECT_EQ(port->Count("Write"), 1);

    port->failWrites = true;
    EXPECT_EQ(link.SendFrame(payload.data(), 5, INFINITE), 0u);
    EXPECT_EQ(link.FramesSent(), 1u);
    EXPECT_EQ(link.BytesSent(), 13u);
}

TEST_F(RtComTest, ChunkWithTheEndOfOneFrameAndAWholeNext) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    Bytes first = Frame({'a', 'b', 'c'});
    Bytes second = Frame({'x', 'y'});
    Bytes chunk(first.begin() + 4, first.end());
    chunk.insert(chunk.end(), second.begin(), second.end());
    chunk.resize(64, 0x00);  // padding outside a frame is ignored
    port->PushRead(Bytes(first.begin(), first.begin() + 4));
    port->PushRead(chunk);
    ASSERT_TRUE(WaitUntil([&] { return link.Events().size() >= 4; }));
    EXPECT_THAT(link.Events(), ElementsAre("bytes:4", "bytes:64", "frame:abc", "frame:xy"));
    EXPECT_EQ(link.BytesReceived(), 68u);
    EXPECT_EQ(link.FramesReceived(), 2u);
}

TEST_F(RtComTest, FrameOverManyReadsGivesOneFrameAfterTheLastByte) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    const Bytes f = Frame({'q', 'r'});
    for (std::uint8_t b : f) port->PushRead({b});
    ASSERT_TRUE(WaitUntil([&] { return link.FramesReceived() == 1; }));
    const auto events = link.Events();
    ASSERT_EQ(events.size(), f.size() + 1);
    for (std::size_t i = 0; i < f.size(); ++i) EXPECT_EQ(events[i], "bytes:1");
    EXPECT_EQ(events.back(), "frame:qr");
}

TEST_F(RtComTest, HooksSeeEveryChunkAndFrame) {
    struct Seen {
        int chunks = 0, frames = 0;
        std::uint32_t lastFrameLength = 0;
    };
    static Seen seen;
    seen = {};
    link.bytesHook = [](std::uintptr_t ctx, const std::uint8_t*, std::uint32_t) {
        reinterpret_cast<Seen*>(ctx)->chunks++;
    };
    link.bytesHookContext = reinterpret_cast<std::uintptr_t>(&seen);
    link.frameHook = [](std::uintptr_t ctx, const std::uint8_t*, std::uint32_t length) {
        reinterpret_cast<Seen*>(ctx)->frames++;
        reinterpret_cast<Seen*>(ctx)->lastFrameLength = length;
    };
    link.frameHookContext = reinterpret_cast<std::uintptr_t>(&seen);
    ASSERT_EQ(link.Open(1, 9600), 1);
    port->PushRead(Frame({1, 2, 3, 4}));
    ASSERT_TRUE(WaitUntil([&] { return link.FramesReceived() == 1; }));
    link.Close();
    EXPECT_EQ(seen.chunks, 1);
    EXPECT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.lastFrameLength, 4u);
}

TEST_F(RtComTest, DecoderStateCarriesAcrossCloseAndOpen) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    const Bytes f = Frame({'m', 'n', 'o'});
    port->PushRead(Bytes(f.begin(), f.begin() + 4));
    ASSERT_TRUE(WaitUntil([&] { return link.BytesReceived() == 4; }));
    link.Close();
    ASSERT_EQ(link.Open(1, 9600), 1);
    port->PushRead(Bytes(f.begin() + 4, f.end()));
    ASSERT_TRUE(WaitUntil([&] { return link.FramesReceived() == 1; }));
    EXPECT_EQ(link.Events().back(), "frame:mno");
}

TEST_F(RtComTest, FailingPortDoesNotSpinAndStaysOpenUntilClose) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    port->FailReads();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto readCalls = [&] {
        std::lock_guard<std::mutex> lock(port->mutex);
        return port->readCalls;
    };
    const int before = readCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(650));
    const int during = readCalls() - before;
    // About one failed read per 65 ms pause; a spinning loop makes millions.
    EXPECT_LE(during, 20);
    EXPECT_GE(during, 3);
    EXPECT_EQ(link.IsOpen(), 1);
    EXPECT_FALSE(link.PortLost());
    EXPECT_NE(link.LastError(), 0);
    link.Close();
    EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(RtComTest, IdleReaderWaitsInOneReadAndCloseStopsIt) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    ASSERT_TRUE(WaitUntil([&] { return port->Count("StopReading") == 0 && ReadCalls() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ReadCalls(), 1) << "an idle reader must not wake up";
    link.Close();
    EXPECT_THAT(Calls(), ::testing::Contains("StopReading"));
    EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(RtComTest, LostPortIsToldOnceAndEndsTheReader) {
    ASSERT_EQ(link.Open(1, 9600), 1);
    port->PushRead(Frame({'h', 'i'}));
    ASSERT_TRUE(WaitUntil([&] { return link.FramesReceived() == 1; }));
    port->Lose();
    ASSERT_TRUE(WaitUntil([&] { return link.PortLost(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_THAT(link.Events(), ElementsAre("bytes:7", "frame:hi", "lost"));
    EXPECT_EQ(ReadCalls(), 2) << "no read after the loss";
    // The link stays open until Close, but nothing goes out on it.
    EXPECT_EQ(link.IsOpen(), 1);
    EXPECT_EQ(link.LastError(), EIO);
    const Bytes payload = {1};
    EXPECT_EQ(link.SendFrame(payload.data(), 1, INFINITE), 0u);
    EXPECT_EQ(port->Count("Write"), 0);
    link.Close();
    EXPECT_FALSE(link.PortLost());
    EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(RtComTest, OpenOfTheSamePairOnALostPortOpensAnew) {
    ASSERT_EQ(link.Open(2, 9600), 1);
    port->Lose();
    ASSERT_TRUE(WaitUntil([&] { return link.PortLost(); }));
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        port->lost = false;
        port->calls.clear();
    }
    ASSERT_EQ(link.Open(2, 9600), 1);
    EXPECT_THAT(Calls(), ElementsAre("StopReading", "Close", "Open", "Purge", "SetQueueSizes", "GetSettings",
                                     "SetSettings", "SetTimeouts"));
    EXPECT_FALSE(link.PortLost());
}

// Answers what the test says a number names at the moment of asking.
class ScriptedResolver : public PortResolver {
public:
    std::optional<PortTarget> Resolve(int number) override {
        asked.push_back(number);
        return answer;
    }
    std::optional<PortTarget> answer;
    std::vector<int> asked;
};

TEST_F(RtComTest, OpenResolvesTheNumberAtTheMomentOfOpening) {
    auto state = std::make_shared<FakePortState>();
    ScriptedResolver resolver;
    ProbeLink l(state, &resolver);

    resolver.answer = PortTarget{"/dev/first", "/ports", "COM4"};
    ASSERT_EQ(l.Open(4, 9600), 1);
    EXPECT_EQ(l.DevicePath(), "/dev/first");
    l.Close();
    resolver.answer = PortTarget{"/dev/second", "/ports", "COM4"};
    ASSERT_EQ(l.Open(4, 9600), 1);
    EXPECT_EQ(l.DevicePath(), "/dev/second");
    l.Close();
    EXPECT_EQ(resolver.asked, (std::vector<int>{4, 4}));
    ASSERT_EQ(state->openedTargets.size(), 2u);
    EXPECT_EQ(state->openedTargets[1].linkName, "COM4");

    // A number that names nothing touches no port.
    resolver.answer.reset();
    EXPECT_EQ(l.Open(9, 9600), 0);
    EXPECT_EQ(l.LastError(), ENOENT);
    EXPECT_EQ(l.DevicePath(), "");
    EXPECT_EQ(state->Count("Open"), 2);
}

TEST_F(RtComTest, OpenTargetOpensTheDeviceNamedDirectly) {
    ASSERT_EQ(link.OpenTarget(TargetForDevicePath("/dev/ttyUSB3"), 115200), 1);
    EXPECT_EQ(link.DevicePath(), "/dev/ttyUSB3");
    const auto before = Calls();
    EXPECT_EQ(link.OpenTarget(TargetForDevicePath("/dev/ttyUSB3"), 115200), 1);
    EXPECT_EQ(Calls(), before) << "the same device at the same rate is already open";
    ASSERT_EQ(port->openedTargets.size(), 1u);
    EXPECT_EQ(port->openedTargets[0].device, "/dev/ttyUSB3");
    EXPECT_TRUE(port->openedTargets[0].linkName.empty());
}

TEST(RtComLifetime, DestroyingAnOpenLinkStopsTheReaderFirst) {
    auto state = std::make_shared<FakePortState>();
    {
        ProbeLink l(state);
        ASSERT_EQ(l.Open(1, 9600), 1);
        state->PushRead(Frame({9}));
        ASSERT_TRUE(WaitUntil([&] { return l.FramesReceived() == 1; }));
    }
    EXPECT_FALSE(state->open);
    EXPECT_EQ(state->Count("Close"), 1);
}

}  // namespace
}  // namespace tavrol
