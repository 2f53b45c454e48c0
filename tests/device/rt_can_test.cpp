#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "../support/pty_peer.h"
#include "../support/wait_until.h"
#include "rt_can.h"

namespace tavrol {
namespace {

using test::ConfigReply;
using test::PtyPeer;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

CanMessage AsMessage(const Bytes& frame) { return FromBytes(frame.data()); }

// A link on a real pseudo-terminal whose far end the test scripts.
class RtCanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(channel.Open(peer.Com(), 115200), 1); }

    // The peer answers every request with `reply(request)`.
    void AnswerWith(std::function<CanMessage(const CanMessage&)> reply) {
        peer.OnFrame([reply](PtyPeer& p, const Bytes& frame) {
            if (frame.size() == 16) p.SendMessage(reply(AsMessage(frame)));
        });
    }

    PtyPeer peer;
    RT_CAN channel{CreateSystemSerialPort(), &peer.Catalog()};
};

TEST_F(RtCanTest, ReadCopiesTheRegisterValue) {
    AnswerWith([](const CanMessage& r) { return ConfigReply(r.Id, {0x20, 0xA1, 0x07, 0x00}); });
    std::uint8_t buffer[8] = {};
    std::uint32_t length = 8;
    EXPECT_EQ(channel.ReadRegister(REG_CAN_BAUD, buffer, &length, 1000), CFG_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(LoadLE32(buffer), 500000u);

    const CanMessage request = AsMessage(peer.Frames().at(0));
    EXPECT_EQ(request.Id, REG_CAN_BAUD);
    EXPECT_EQ(request.Dlc, 8);
    EXPECT_EQ(request.Kind, KIND_CONFIG);
    EXPECT_EQ(request.Extended, 1);
    EXPECT_EQ(request.Remote, 1);
    EXPECT_EQ(channel.FramesReceived(), 0u) << "configuration replies are not counted";
}

TEST_F(RtCanTest, WriteSendsOnlyTheRegistersSize) {
    AnswerWith([](const CanMessage& r) { return ConfigReply(r.Id, {}); });
    struct Case {
        std::uint32_t id;
        std::uint32_t given;
        Bytes value;
        std::uint8_t dlc;
    } cases[] = {
        {REG_ART, 4, {1, 9, 9, 9}, 1},
        {REG_ABOM, 1, {0}, 1},
        {REG_CAN_BAUD, 8, {0x20, 0xA1, 0x07, 0x00, 9, 9, 9, 9}, 4},
        {REG_FACTORY_RESET, 4, {1, 0, 0, 0}, 4},
        {REG_FILTER_0 + 13, 8, {0x34, 0x12, 0x00, 0x80, 0xFF, 0x07, 0x00, 0x00}, 8},
    };
    std::size_t sent = 0;
    for (const Case& c : cases) {
        std::uint32_t length = c.given;
        ASSERT_EQ(channel.WriteRegister(c.id, c.value.data(), &length, 1000), CFG_OK) << std::hex << c.id;
        EXPECT_EQ(length, c.dlc);
        const CanMessage request = AsMessage(peer.Frames().at(sent++));
        EXPECT_EQ(request.Id, c.id);
        EXPECT_EQ(request.Dlc, c.dlc);
        EXPECT_EQ(request.Remote, 0);
        EXPECT_EQ(request.Kind, KIND_CONFIG);
        EXPECT_EQ(request.Extended, 1);
        EXPECT_EQ(0, std::memcmp(request.Data, c.value.data(), c.dlc));
    }
}

TEST_F(RtCanTest, RefusedArgumentsSendNothing) {
    std::uint8_t buffer[8] = {0xEE};
    struct Case {
        const char* name;
        std::function<int(std::uint32_t*)> call;
        std::uint32_t count;
    } cases[] = {
        {"no register", [&](std::uint32_t* n) { return channel.ReadRegister(0x1FFFEC0, buffer, n, 1000); }, 8},
        {"count too small", [&](std::uint32_t* n) { return channel.ReadRegister(REG_CAN_BAUD, buffer, n, 1000); }, 3},
        {"write, no register", [&](std::uint32_t* n) { return channel.WriteRegister(0x1FFFEEE, buffer, n, 1000); }, 8},
        {"write, count too small", [&](std::uint32_t* n) { return channel.WriteRegister(REG_FILTER_0, buffer, n, 1000); }, 7},
        {"null buffer", [&](std::uint32_t* n) { return channel.ReadRegister(REG_ART, nullptr, n, 1000); }, 8},
        {"null value", [&](std::uint32_t* n) { return channel.WriteRegister(REG_ART, nullptr, n, 1000); }, 8},
    };
    for (const Case& c : cases) {
        std::uint32_t count = c.count;
        EXPECT_EQ(c.call(&count), CFG_BAD_ARG) << c.name;
        EXPECT_EQ(count, c.count) << c.name;
    }
    // A null buffer is refused before the count is looked at.
    EXPECT_EQ(channel.ReadRegister(REG_ART, nullptr, nullptr, 1000), CFG_BAD_ARG);
    EXPECT_EQ(channel.RequestWrite(REG_FILTER_0, buffer, 9, 1000), CFG_BAD_ARG);
    EXPECT_EQ(channel.RequestWrite(REG_FILTER_0, nullptr, 1, 1000), CFG_BAD_ARG);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(peer.Frames().empty());
    EXPECT_EQ(channel.BytesSent(), 0u);
}

TEST_F(RtCanTest, TimeoutSetsTheCountButLeavesTheBuffer) {
    std::uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE};
    std::uint32_t length = 8;
    const auto start = Clock::now();
    EXPECT_EQ(channel.ReadRegister(REG_CAN_BAUD, buffer, &length, 200), CFG_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 190);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(peer.WaitFrames(1));
}

TEST_F(RtCanTest, ReplyWithAnotherIdFailsAReadButNotAWrite) {
    // 0x81FFFEA0 carries a flag in the top bits: it is not REG_ART.
    for (std::uint32_t replyId : {REG_ABOM, 0x81FFFEA0u}) {
        AnswerWith([replyId](const CanMessage&) { return ConfigReply(replyId, {1}); });
        std::uint8_t value = 0x5A;
        std::uint32_t length = 1;
        EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 1000), CFG_FAIL) << std::hex << replyId;
        EXPECT_EQ(value, 0x5A);
        EXPECT_EQ(channel.WriteRegister(REG_ART, &value, &length, 1000), CFG_OK) << std::hex << replyId;
    }
}

TEST_F(RtCanTest, LateReplyCompletesTheNextRequest) {
    // The first reply comes 300 ms late, after its own 100 ms wait ended.
    peer.OnFrame([](PtyPeer& p, const Bytes& frame) {
        if (p.Frames().size() == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            p.SendMessage(ConfigReply(AsMessage(frame).Id, {0x11}));
        }
    });
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 100), CFG_TIMEOUT);
    // Nobody answers the second read; the late reply ends its wait.
    const auto start = Clock::now();
    EXPECT_EQ(channel.ReadRegister(REG_ABOM, &value, &length, 1000), CFG_FAIL);
    EXPECT_LT(ElapsedMs(start), 900);
    EXPECT_EQ(channel.LastReply().Id, REG_ART);
    EXPECT_EQ(value, 0);
}

TEST_F(RtCanTest, LateReplyAcknowledgesTheNextWrite) {
    peer.OnFrame([](PtyPeer& p, const Bytes& frame) {
        if (p.Frames().size() == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            p.SendMessage(ConfigReply(AsMessage(frame).Id, {}));
        }
    });
    std::uint8_t value = 1;
    std::uint32_t length = 1;
    EXPECT_EQ(channel.WriteRegister(REG_ART, &value, &length, 100), CFG_TIMEOUT);
    EXPECT_EQ(channel.WriteRegister(REG_ABOM, &value, &length, 1000), CFG_OK);
}

TEST_F(RtCanTest, AReplyThatCameEarlierNeverCompletesALaterRequest) {
    // Every request is answered twice; the second copy arrives while nobody waits.
    peer.OnFrame([](PtyPeer& p, const Bytes& frame) {
        if (p.Frames().size() > 1) return;
        p.SendMessage(ConfigReply(AsMessage(frame).Id, {1}));
        p.SendMessage(ConfigReply(AsMessage(frame).Id, {1}));
    });
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 1000), CFG_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 200), CFG_TIMEOUT);
}

TEST_F(RtCanTest, OrdinaryMessagesDoNotEndTheWait) {
    peer.OnFrame([](PtyPeer& p, const Bytes& frame) {
        CanMessage traffic;
        traffic.Id = 0x123;
        traffic.Dlc = 2;
        traffic.Data[0] = 0xCA;
        for (std::uint8_t kind : {0x00, 0xFE, 0x01}) {
            traffic.Kind = kind;
            p.SendMessage(traffic);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        p.SendMessage(ConfigReply(AsMessage(frame).Id, {7}));
    });
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    const auto start = Clock::now();
    EXPECT_EQ(channel.ReadRegister(REG_ABOM, &value, &length, 1000), CFG_OK);
    EXPECT_GE(ElapsedMs(start), 140);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(channel.FramesReceived(), 3u);
    EXPECT_EQ(channel.LastMessage().Kind, 0x01);
    EXPECT_EQ(channel.LastMessage().Data[0], 0xCA);
}

TEST_F(RtCanTest, PayloadsOfOtherLengthsAreDropped) {
    peer.OnFrame([](PtyPeer& p, const Bytes& frame) {
        const CanMessageBytes reply = ToBytes(ConfigReply(AsMessage(frame).Id, {1}));
        Bytes fifteen(reply.begin(), reply.end() - 1);
        Bytes seventeen(reply.begin(), reply.end());
        seventeen.push_back(0);
        p.SendPayload(fifteen);
        p.SendPayload(seventeen);
        p.SendPayload({});
    });
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 300), CFG_TIMEOUT);
    EXPECT_EQ(channel.FramesReceived(), 0u);
    EXPECT_EQ(channel.LastReply().Id, 0u);
}

TEST_F(RtCanTest, ClosedLinkFailsAtOnce) {
    channel.Close();
    std::uint8_t value = 1;
    std::uint32_t length = 1;
    const auto start = Clock::now();
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 1000), CFG_FAIL);
    EXPECT_EQ(channel.WriteRegister(REG_ART, &value, &length, 1000), CFG_FAIL);
    EXPECT_LT(ElapsedMs(start), 500);
}

TEST_F(RtCanTest, SecondOpenerOfThePortFails) {
    RT_CAN other(CreateSystemSerialPort(), &peer.Catalog());
    EXPECT_EQ(other.Open(peer.Com(), 115200), 0);
    EXPECT_EQ(other.IsOpen(), 0);
    channel.Close();
    EXPECT_EQ(other.Open(peer.Com(), 115200), 1);
}

TEST_F(RtCanTest, HangUpFailsEveryTransactionAtOnceUntilClose) {
    AnswerWith([](const CanMessage& r) { return ConfigReply(r.Id, {1}); });
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    ASSERT_EQ(channel.ReadRegister(REG_ART, &value, &length, 1000), CFG_OK);
    peer.HangUp();
    ASSERT_TRUE(test::WaitUntil([&] { return channel.PortLost(); }));
    EXPECT_EQ(channel.IsOpen(), 1);
    const auto start = Clock::now();
    EXPECT_EQ(channel.ReadRegister(REG_ART, &value, &length, 5000), CFG_FAIL);
    EXPECT_EQ(channel.WriteRegister(REG_ART, &value, &length, 5000), CFG_FAIL);
    EXPECT_LT(ElapsedMs(start), 2500) << "a transaction waited for its time-out on a lost port";
    channel.Close();
    EXPECT_EQ(channel.IsOpen(), 0);
    EXPECT_FALSE(channel.PortLost());
}

// The peer hangs up while a read waits for its reply: the read ends with
// CFG_FAIL instead of waiting out its time-out.
TEST_F(RtCanTest, HangUpDuringAWaitEndsItAsAFailure) {
    std::uint8_t value = 0;
    std::uint32_t length = 1;
    int result = -1;
    const auto start = Clock::now();
    std::thread transaction([&] { result = channel.ReadRegister(REG_ART, &value, &length, 10000); });
    ASSERT_TRUE(peer.WaitFrames(1));
    peer.HangUp();
    transaction.join();
    EXPECT_EQ(result, CFG_FAIL);
    EXPECT_LT(ElapsedMs(start), 5000) << "the read waited out its time-out";
    EXPECT_TRUE(channel.PortLost());
}

TEST(RtCanLifetime, DestroyedWhileRepliesArriveStopsCleanly) {
    PtyPeer peer;
    for (int round = 0; round < 5; ++round) {
        RT_CAN channel(CreateSystemSerialPort(), &peer.Catalog());
        ASSERT_EQ(channel.Open(peer.Com(), 115200), 1);
        for (int i = 0; i < 20; ++i) peer.SendMessage(ConfigReply(REG_ART, {1}));
    }
}

}  // namespace
}  // namespace tavrol
