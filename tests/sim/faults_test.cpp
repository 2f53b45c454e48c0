#include <chrono>
#include <thread>

#include "adapter_fixture.h"
#include "registers.h"

namespace tavrol::simtest {
namespace {

using sim::Exchange;
using sim::Faults;
using sim::Options;
using Clock = std::chrono::steady_clock;

class FaultTest : public AdapterTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartAdapter());
        ASSERT_NO_FATAL_FAILURE(OpenTool());
    }
};

CanMessage ArtReply() {
    CanMessage m;
    m.Id = REG_ART;
    m.Data[0] = 1;
    m.Dlc = 1;
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    return m;
}

TEST_F(FaultTest, DelayHoldsTheReply) {
    Faults f;
    f.replyDelayMs = 400;
    adapter->SetFaults(f);
    ASSERT_TRUE(tool.Send(ReadRequest(REG_ART)));
    EXPECT_FALSE(tool.NextFrame(150).has_value()) << "the reply came before its delay";
    const auto reply = tool.NextReply(5000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->Id, REG_ART);
}

TEST_F(FaultTest, StoppingDuringADelayWithholdsTheReply) {
    Faults f;
    f.replyDelayMs = 60000;
    adapter->SetFaults(f);
    ASSERT_TRUE(tool.Send(ReadRequest(REG_ART)));
    ASSERT_TRUE(lines.WaitFor("holding the reply"));
    adapter->Unplug();  // must not wait out the delay
    const std::vector<Exchange> log = adapter->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].answered);
    EXPECT_EQ(log[0].note, "not sent: unplugged");
}

TEST_F(FaultTest, DropEveryNthReplyButTheRequestStillActs) {
    Faults f;
    f.dropEvery = 3;
    adapter->SetFaults(f);
    const CanMessage requests[] = {
        ReadRequest(REG_ART),         ReadRequest(REG_ABOM),    WriteRequest(REG_CAN_BAUD, {0x90, 0xD0, 0x03, 0}),
        ReadRequest(REG_FILTER_0),    ReadRequest(REG_FILTER_0 + 1), ReadRequest(REG_FILTER_0 + 2),
        ReadRequest(REG_CPUID_HI),
    };
    for (const CanMessage& r : requests) ASSERT_TRUE(tool.Send(r));
    ASSERT_TRUE(adapter->WaitForRequests(7, 5000));
    // Every reply is on the line before its exchange is logged.
    std::vector<std::uint32_t> ids;
    while (const auto reply = tool.NextReply(300)) ids.push_back(reply->Id);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{REG_ART, REG_ABOM, REG_FILTER_0, REG_FILTER_0 + 1, REG_CPUID_HI}));

    const std::vector<Exchange> log = adapter->Log();
    ASSERT_EQ(log.size(), 7u);
    for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].answered, (i + 1) % 3 != 0) << i;
    EXPECT_NE(sim::Describe(log[2]).find("no reply (dropped"), std::string::npos) << sim::Describe(log[2]);
    EXPECT_EQ(adapter->GetRegisters().canBaud, 250000u);

    // Every reply, once asked.
    f.dropEvery = 1;
    adapter->SetFaults(f);
    ASSERT_TRUE(tool.Send(ReadRequest(REG_ART)));
    ASSERT_TRUE(adapter->WaitForRequests(8, 5000));
    EXPECT_FALSE(tool.NextFrame(200).has_value());
}

TEST_F(FaultTest, WrongIdNamesAnotherRegister) {
    Faults f;
    f.wrongId = true;
    adapter->SetFaults(f);
    for (std::uint32_t id : {REG_ART, REG_CAN_BAUD, REG_CPUID_LO}) {
        const auto reply = tool.Transact(ReadRequest(id));
        ASSERT_TRUE(reply.has_value());
        EXPECT_NE(reply->Id, id);
        EXPECT_NE(RegisterSizeOf(reply->Id), 0u) << "the Id should still be a register's";
        EXPECT_EQ(reply->Kind, KIND_CONFIG);
    }
    adapter->SetFaults({});
    const auto reply = tool.Transact(ReadRequest(REG_CAN_BAUD));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->Id, REG_CAN_BAUD);
}

CanMessage CanBaudReply(std::uint32_t value) {
    CanMessage m;
    m.Id = REG_CAN_BAUD;
    StoreLE32(m.Data, value);
    m.Dlc = 4;
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    return m;
}

TEST_F(FaultTest, CorruptChecksumFramesAreRefusedByTheDecoder) {
    Faults f;
    f.corruptChecksum = true;
    adapter->SetFaults(f);
    // A bit rate of 131 makes the reply's sum 0x55, which goes out escaped;
    // 500000 gives a plain one.
    for (std::uint32_t rate : {500000u, 131u}) {
        SCOPED_TRACE(rate);
        sim::Registers r;
        r.canBaud = rate;
        adapter->SetRegisters(r);
        adapter->ClearLog();
        tool.TakeRaw();
        ASSERT_TRUE(tool.Send(ReadRequest(REG_CAN_BAUD)));
        ASSERT_TRUE(adapter->WaitForRequests(1, 5000));
        EXPECT_FALSE(tool.NextFrame(300).has_value()) << "the decoder took a corrupted frame";

        const Bytes good = FrameOf(CanBaudReply(rate));
        const bool escaped = good[good.size() - 4] == FRAME_ESCAPE;
        EXPECT_EQ(escaped, rate == 131u);
        const Bytes body(good.begin(), good.end() - (escaped ? 4 : 3));
        const Bytes raw = tool.TakeRaw();
        ASSERT_EQ(raw.size(), body.size() + 3);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), raw.begin()));
        EXPECT_NE(raw[body.size()], good[good.size() - 3]);
        EXPECT_EQ(raw[raw.size() - 2], FRAME_TAIL);
        EXPECT_EQ(raw[raw.size() - 1], FRAME_TAIL);
    }
    // Switched off while running, the next reply is whole again.
    adapter->SetFaults({});
    const auto reply = tool.Transact(ReadRequest(REG_CAN_BAUD));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(LoadLE32(reply->Data), 131u);
}

TEST_F(FaultTest, ByteByByteRepliesArriveInPiecesAndStillDecode) {
    Faults f;
    f.byteByByte = true;
    adapter->SetFaults(f);
    tool.TakeChunkSizes();
    const auto reply = tool.Transact(ReadRequest(REG_FILTER_0));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->Id, REG_FILTER_0);
    // The bytes come 2 ms apart; a reader would have to sleep through the
    // whole frame to get it in one read.
    EXPECT_GT(tool.TakeChunkSizes().size(), 1u);
}

TEST_F(FaultTest, NoiseComesBeforeEachReplyAndNeverOpensAFrame) {
    Faults f;
    f.noiseBytes = 40;
    adapter->SetFaults(f);
    const Bytes frame = FrameOf(ArtReply());
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        tool.TakeRaw();
        const auto reply = tool.Transact(ReadRequest(REG_ART));
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->Id, REG_ART);
        const Bytes raw = tool.TakeRaw();
        ASSERT_EQ(raw.size(), 40 + frame.size());
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), raw.end() - static_cast<long>(frame.size())));
        for (std::size_t k = 1; k < 40; ++k) {
            EXPECT_FALSE(raw[k] == FRAME_HEAD && raw[k - 1] == FRAME_HEAD) << "head pair at " << k;
        }
    }
}

TEST_F(FaultTest, CanTrafficFlowsAroundTheReplies) {
    Faults f;
    f.canTrafficHz = 100;
    adapter->SetFaults(f);
    int ordinary = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ordinary < 5 && Clock::now() < deadline) {
        const auto frame = tool.NextFrame(500);
        if (!frame) continue;
        ASSERT_EQ(frame->size(), kCanMessageSize);
        EXPECT_NE((*frame)[13], KIND_CONFIG);
        ++ordinary;
    }
    EXPECT_EQ(ordinary, 5);
    // A request in the middle of the traffic gets its configuration reply.
    const auto reply = tool.Transact(ReadRequest(REG_CAN_BAUD));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(LoadLE32(reply->Data), 500000u);

    // Switched off, the line goes quiet.
    adapter->SetFaults({});
    while (tool.NextFrame(200)) {
    }
    EXPECT_FALSE(tool.NextFrame(300).has_value());
}

TEST_F(AdapterTest, CanTrafficStaysOffTheLineAtTheWrongSpeed) {
    Options options;
    options.faults.canTrafficHz = 200;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool(9600));
    EXPECT_FALSE(tool.NextFrame(300).has_value());
    ASSERT_TRUE(tool.SetRate(115200));
    EXPECT_TRUE(tool.NextFrame(3000).has_value());
}

TEST_F(AdapterTest, WireTimeHoldsTheReplyForItsBitsAtTheSerialRate) {
    Options options;
    options.serialRate = 1200;
    options.faults.wireTime = true;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool(1200));
    const CanMessage request = ReadRequest(REG_ART);
    const std::size_t bits = 10 * (FrameOf(request).size() + FrameOf(ArtReply()).size());
    const auto least = std::chrono::microseconds(bits * 1000000 / 1200);
    const auto start = Clock::now();
    const auto reply = tool.Transact(request, 5000);
    const auto took = Clock::now() - start;
    ASSERT_TRUE(reply.has_value());
    EXPECT_GE(took, least);
}

}  // namespace
}  // namespace tavrol::simtest
