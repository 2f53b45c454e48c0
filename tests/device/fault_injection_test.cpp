// The configuration channel against the virtual adapter playing its faults:
// every case ends with the right result codes, in bounded time, with no write
// the caller did not ask for.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "../support/temp_dir.h"
#include "port_catalog.h"
#include "rt_can.h"
#include "virtual_adapter.h"

namespace tavrol {
namespace {

using Clock = std::chrono::steady_clock;

// The reads of one settings load, in order: identifier, filters, flags, bit rate.
std::vector<std::uint32_t> LoadOrder() {
    std::vector<std::uint32_t> ids = {REG_CPUID_LO, REG_CPUID_HI};
    for (int n = 0; n < kFilterCount; ++n) ids.push_back(REG_FILTER_0 + static_cast<std::uint32_t>(n));
    ids.insert(ids.end(), {REG_ABOM, REG_ART, REG_CAN_BAUD});
    return ids;
}

struct ReadResult {
    std::uint32_t id;
    int result;
    std::uint8_t value[8];
};

std::vector<ReadResult> Load(RT_CAN& channel, std::uint32_t timeoutMs) {
    std::vector<ReadResult> results;
    for (std::uint32_t id : LoadOrder()) {
        ReadResult r{id, 0, {}};
        std::uint32_t length = 8;
        r.result = channel.ReadRegister(id, r.value, &length, timeoutMs);
        results.push_back(r);
    }
    return results;
}

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Options options;
        options.portDirectory = dir_ + "/ports";
        adapter_ = std::make_unique<sim::VirtualAdapter>(options);
        std::string error;
        ASSERT_TRUE(adapter_->Start(&error)) << error;
        sim::Registers regs = adapter_->GetRegisters();
        for (int n = 0; n < kFilterCount; ++n) {
            regs.filters[n] = EncodeFilter(0x100u + static_cast<std::uint32_t>(n), 0x7FF, n % 2 == 0, false);
        }
        regs.canBaud = 250000;
        adapter_->SetRegisters(regs);
        expected_ = regs;
        ASSERT_EQ(channel_.Open(adapter_->ComNumber(), 115200), 1);
    }

    void TearDown() override {
        channel_.Close();
        adapter_.reset();
    }

    // A CFG_OK read must carry exactly what the adapter holds for that register.
    void ExpectValueIsRight(const ReadResult& r) {
        SCOPED_TRACE(testing::Message() << "register 0x" << std::hex << r.id);
        const std::uint32_t size = RegisterSizeOf(r.id);
        std::vector<std::uint8_t> want(size);
        if (r.id == REG_CPUID_LO) want.assign(cpuid_.begin(), cpuid_.begin() + 8);
        if (r.id == REG_CPUID_HI) want.assign(cpuid_.begin() + 8, cpuid_.end());
        if (r.id >= REG_FILTER_0 && r.id <= REG_FILTER_13) {
            const auto& f = expected_.filters[r.id - REG_FILTER_0];
            want.assign(f.begin(), f.end());
        }
        if (r.id == REG_ABOM) want = {expected_.abom};
        if (r.id == REG_ART) want = {expected_.art};
        if (r.id == REG_CAN_BAUD) {
            want.resize(4);
            StoreLE32(want.data(), expected_.canBaud);
        }
        EXPECT_EQ(std::vector<std::uint8_t>(r.value, r.value + size), want);
    }

    // Nothing but reads went out, and the adapter's registers are untouched.
    void ExpectNothingWritten() {
        for (const sim::Exchange& e : adapter_->Log()) EXPECT_EQ(e.request.Remote, 1) << sim::Describe(e);
        const sim::Registers now = adapter_->GetRegisters();
        EXPECT_EQ(now.filters, expected_.filters);
        EXPECT_EQ(now.canBaud, expected_.canBaud);
        EXPECT_EQ(now.art, expected_.art);
        EXPECT_EQ(now.abom, expected_.abom);
    }

    test::TempDir tempDir_{"tavrol-faults"};
    const std::string dir_ = tempDir_.Path();
    std::unique_ptr<sim::VirtualAdapter> adapter_;
    sim::Registers expected_;
    std::array<std::uint8_t, 12> cpuid_ = sim::Options{}.cpuid;
    PortCatalog catalog_{PortSources{dir_ + "/ports", dir_ + "/no-sys", dir_ + "/no-dev"}};
    RT_CAN channel_{CreateSystemSerialPort(), &catalog_};
};

TEST_F(FaultInjectionTest, HarmlessFaultsStillGiveEveryValue) {
    struct Case {
        const char* name;
        sim::Faults faults;
    } cases[] = {
        {"noise between frames", [] { sim::Faults f; f.noiseBytes = 24; return f; }()},
        {"replies split into single bytes", [] { sim::Faults f; f.byteByByte = true; return f; }()},
        {"CAN traffic at 1 kHz", [] { sim::Faults f; f.canTrafficHz = 1000; return f; }()},
        {"all three together",
         [] { sim::Faults f; f.noiseBytes = 8; f.byteByByte = true; f.canTrafficHz = 1000; return f; }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        adapter_->SetFaults(c.faults);
        adapter_->ClearLog();
        for (const ReadResult& r : Load(channel_, 1000)) {
            EXPECT_EQ(r.result, CFG_OK) << std::hex << r.id;
            if (r.result == CFG_OK) ExpectValueIsRight(r);
        }
        ExpectNothingWritten();
    }
    EXPECT_GT(channel_.FramesReceived(), 0u) << "the ordinary traffic reached the link";
}

TEST_F(FaultInjectionTest, LostRepliesGiveTimeoutsOrFailuresButNeverWrongValues) {
    struct Case {
        const char* name;
        sim::Faults faults;
        int expectEvery;  // the one result every read must give; 0 = mixed
    } cases[] = {
        {"corrupted checksums", [] { sim::Faults f; f.corruptChecksum = true; return f; }(), CFG_TIMEOUT},
        {"every reply dropped", [] { sim::Faults f; f.dropEvery = 1; return f; }(), CFG_TIMEOUT},
        {"replies with another register's Id", [] { sim::Faults f; f.wrongId = true; return f; }(), CFG_FAIL},
        {"every second reply dropped", [] { sim::Faults f; f.dropEvery = 2; return f; }(), 0},
        {"replies later than the wait", [] { sim::Faults f; f.replyDelayMs = 150; return f; }(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        adapter_->SetFaults(c.faults);
        adapter_->ClearLog();
        const auto start = Clock::now();
        const auto results = Load(channel_, 100);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        int ok = 0;
        for (const ReadResult& r : results) {
            if (c.expectEvery != 0) {
                EXPECT_EQ(r.result, c.expectEvery) << std::hex << r.id;
            }
            EXPECT_NE(r.result, CFG_BAD_ARG);
            if (r.result == CFG_OK) {
                ++ok;
                ExpectValueIsRight(r);
            }
        }
        if (c.expectEvery == 0) {
            EXPECT_LT(ok, static_cast<int>(results.size()));
        }
        ExpectNothingWritten();
        // Let late replies drain before the next case.
        adapter_->SetFaults({});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

TEST_F(FaultInjectionTest, HangUpInTheMiddleOfALoad) {
    std::vector<ReadResult> results;
    int n = 0;
    for (std::uint32_t id : LoadOrder()) {
        if (n++ == 8) adapter_->Unplug();
        ReadResult r{id, 0, {}};
        std::uint32_t length = 8;
        r.result = channel_.ReadRegister(id, r.value, &length, 200);
        results.push_back(r);
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(results[i].result, CFG_OK);
    for (std::size_t i = 8; i < results.size(); ++i) EXPECT_NE(results[i].result, CFG_OK);
    EXPECT_EQ(channel_.IsOpen(), 1);
    const auto start = Clock::now();
    channel_.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    // Plugged back in, a new connection works.
    ASSERT_TRUE(adapter_->Replug());
    ASSERT_EQ(channel_.Open(adapter_->ComNumber(), 115200), 1);
    for (const ReadResult& r : Load(channel_, 1000)) {
        EXPECT_EQ(r.result, CFG_OK) << std::hex << r.id;
        if (r.result == CFG_OK) ExpectValueIsRight(r);
    }
    ExpectNothingWritten();
}

TEST_F(FaultInjectionTest, WrongRateIsSilent) {
    channel_.Close();
    ASSERT_EQ(channel_.Open(adapter_->ComNumber(), 9600), 1);
    std::uint8_t value[8];
    std::uint32_t length = 8;
    EXPECT_EQ(channel_.ReadRegister(REG_CPUID_LO, value, &length, 200), CFG_TIMEOUT);
    ASSERT_EQ(channel_.Open(adapter_->ComNumber(), 115200), 1);
    EXPECT_EQ(channel_.ReadRegister(REG_CPUID_LO, value, &length, 1000), CFG_OK);
}

}  // namespace
}  // namespace tavrol
