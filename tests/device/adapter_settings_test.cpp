// The settings record shared by both front ends: texts as the window shows
// them, changes merged over what was read, the writes that take one record to
// another, and reading and writing over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "../support/pty_peer.h"
#include "../support/temp_dir.h"
#include "adapter_identifier.h"
#include "adapter_settings.h"
#include "port_catalog.h"
#include "rt_can.h"
#include "virtual_adapter.h"

namespace tavrol {
namespace {

struct TextCase {
    const char* name;
    std::uint32_t value;
    bool extended;
    const char* text;
};

// Case names in test listings instead of raw bytes.
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class FilterValueTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(FilterValueTextTest, UpperCaseHexPaddedToTheFormatsWidth) {
    EXPECT_EQ(FilterValueText(GetParam().value, GetParam().extended), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterValueTextTest,
                         ::testing::Values(TextCase{"StandardPadsToThree", 0x5, false, "005"},
                                           TextCase{"StandardUpperCase", 0x7ab, false, "7AB"},
                                           TextCase{"StandardZero", 0, false, "000"},
                                           TextCase{"ExtendedPadsToEight", 0x123, true, "00000123"},
                                           TextCase{"ExtendedWidest", 0x1FFFFFFF, true, "1FFFFFFF"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IdentifierTextTest, SixGroupsOfLowerCaseDigits) {
    EXPECT_EQ(IdentifierText({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0a, 0x0b}), "0001-0203-0405-0607-0809-0a0b");
    EXPECT_EQ(IdentifierText({0xab, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff}), "abcd-0000-0000-0000-0000-00ff");
}

AdapterSettings SampleSettings() {
    AdapterSettings s;
    s.canBitrate = 500000;
    s.retransmit = true;
    s.busOff = false;
    s.filters[2] = {true, false, 0x123, 0x7FF};
    s.filters[5] = {true, true, 0x1ABCDEF, 0x1FFFFFFF};
    return s;
}

std::vector<std::uint32_t> Ids(const std::vector<RegisterWrite>& writes) {
    std::vector<std::uint32_t> ids;
    for (const auto& w : writes) ids.push_back(w.id);
    return ids;
}

TEST(SettingsChangeTest, NoChangeMeansNoWrites) {
    const AdapterSettings s = SampleSettings();
    EXPECT_TRUE(WritesBetween(s, Merged(s, SettingsChange{})).empty());
}

TEST(SettingsChangeTest, AChangeToTheValueHeldWritesNothing) {
    SettingsChange change;
    change.canBitrate = 500000;
    change.retransmit = true;
    change.filters[2] = FilterChange{true, false, 0x123, 0x7FF};
    const AdapterSettings s = SampleSettings();
    EXPECT_TRUE(WritesBetween(s, Merged(s, change)).empty());
}

TEST(SettingsChangeTest, WritesOnlyWhatDiffersInReadingOrder) {
    SettingsChange change;
    change.canBitrate = 250000;
    change.busOff = true;
    change.filters[9] = FilterChange{true, false, 0x100, 0x700};
    const AdapterSettings s = SampleSettings();
    const auto writes = WritesBetween(s, Merged(s, change));
    EXPECT_EQ(Ids(writes), (std::vector<std::uint32_t>{REG_FILTER_0 + 9, REG_ABOM, REG_CAN_BAUD}));
    EXPECT_EQ(writes[0].size, 8u);
    // Enabled standard filter 0x100/0x700: identifier word 0x80000100.
    EXPECT_EQ(writes[0].value, (std::array<std::uint8_t, 8>{0x00, 0x01, 0x00, 0x80, 0x00, 0x07, 0x00, 0x00}));
    EXPECT_EQ(writes[1].size, 1u);
    EXPECT_EQ(writes[1].value[0], 1);
    EXPECT_EQ(writes[2].size, 4u);
    EXPECT_EQ(writes[2].value, (std::array<std::uint8_t, 8>{0x90, 0xD0, 0x03, 0x00}));
}

TEST(SettingsChangeTest, DisablingAFilterKeepsItsFormatIdentifierAndMask) {
    SettingsChange change;
    change.filters[5] = FilterChange{false, std::nullopt, std::nullopt, std::nullopt};
    const AdapterSettings desired = Merged(SampleSettings(), change);
    EXPECT_EQ(desired.filters[5], (FilterSetting{false, true, 0x1ABCDEF, 0x1FFFFFFF}));
    const auto writes = WritesBetween(SampleSettings(), desired);
    ASSERT_EQ(Ids(writes), (std::vector<std::uint32_t>{REG_FILTER_0 + 5}));
    // Extended, not enabled: 0x41ABCDEF, mask 0x1FFFFFFF.
    EXPECT_EQ(writes[0].value, (std::array<std::uint8_t, 8>{0xEF, 0xCD, 0xAB, 0x41, 0xFF, 0xFF, 0xFF, 0x1F}));
}

TEST(SettingsChangeTest, SwitchingToStandardTrimsTheKeptValuesToElevenBits) {
    SettingsChange change;
    change.filters[5] = FilterChange{std::nullopt, false, std::nullopt, std::nullopt};
    EXPECT_EQ(Merged(SampleSettings(), change).filters[5], (FilterSetting{true, false, 0x5EF, 0x7FF}));
}

// The channel against adapters on real pseudo-terminals.
class ChannelTest : public ::testing::Test {
protected:
    void StartAdapter() {
        sim::Options options;
        options.portDirectory = dir_.Path() + "/ports";
        adapter_ = std::make_unique<sim::VirtualAdapter>(options);
        std::string error;
        ASSERT_TRUE(adapter_->Start(&error)) << error;
        ASSERT_EQ(channel_.OpenTarget(TargetForDevicePath(adapter_->SlavePath()), 115200), 1);
    }

    void TearDown() override { channel_.Close(); }

    test::TempDir dir_;
    std::unique_ptr<sim::VirtualAdapter> adapter_;
    RT_CAN channel_;
};

TEST_F(ChannelTest, ReadsEverySettingInTheWindowsOrder) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    sim::Registers regs;
    regs.canBaud = 125000;
    regs.art = 2;  // any byte but 0 is on
    regs.abom = 0;
    regs.filters[13] = EncodeFilter(0x123, 0xFFFFFFFF, true, false);
    adapter_->SetRegisters(regs);

    AdapterSettings s;
    ASSERT_TRUE(ReadSettings(channel_, &s).Ok());
    EXPECT_EQ(s.canBitrate, 125000u);
    EXPECT_TRUE(s.retransmit);
    EXPECT_FALSE(s.busOff);
    EXPECT_EQ(s.filters[13], (FilterSetting{true, false, 0x123, 0x7FF}));

    std::vector<std::uint32_t> order;
    for (const auto& e : adapter_->Log()) order.push_back(e.request.Id);
    std::vector<std::uint32_t> expected;
    for (int n = 0; n < kFilterCount; ++n) expected.push_back(REG_FILTER_0 + static_cast<std::uint32_t>(n));
    expected.insert(expected.end(), {REG_ABOM, REG_ART, REG_CAN_BAUD});
    EXPECT_EQ(order, expected);
}

TEST_F(ChannelTest, ReadsTheIdentifierLowHalfFirst) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    AdapterIdentifier id{};
    ASSERT_TRUE(ReadIdentifier(channel_, &id).Ok());
    EXPECT_EQ(IdentifierText(id), "3031-3233-3435-3637-3839-3a3b");
    const auto log = adapter_->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request.Id, REG_CPUID_LO);
    EXPECT_EQ(log[1].request.Id, REG_CPUID_HI);
}

TEST_F(ChannelTest, AWriteIsReadBackAndStored) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_TRUE(WriteChecked(channel_, CanBitrateWrite(250000)).Ok());
    EXPECT_EQ(adapter_->GetRegisters().canBaud, 250000u);
    const auto log = adapter_->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request.Remote, 0);
    EXPECT_EQ(log[1].request.Remote, 1);
    EXPECT_EQ(log[1].request.Id, REG_CAN_BAUD);
}

TEST_F(ChannelTest, AFailedReadEndsTheLoadWithItsRegisterAndCode) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    sim::Faults faults;
    faults.wrongId = true;
    adapter_->SetFaults(faults);
    AdapterSettings s;
    const StepResult r = ReadSettings(channel_, &s);
    EXPECT_EQ(r.status, StepStatus::Failed);
    EXPECT_EQ(r.registerId, REG_FILTER_0);
    EXPECT_EQ(r.cfg, CFG_FAIL);
    EXPECT_EQ(adapter_->Log().size(), 1u);  // nothing after the failed read
}

TEST_F(ChannelTest, ARaisedStopSendsNothingMore) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    std::atomic<bool> stop{true};
    AdapterSettings s;
    EXPECT_EQ(ReadSettings(channel_, &s, &stop).status, StepStatus::Stopped);
    EXPECT_EQ(WriteChecked(channel_, CanBitrateWrite(1000), &stop).status, StepStatus::Stopped);
    EXPECT_TRUE(adapter_->Log().empty());
    EXPECT_EQ(adapter_->GetRegisters().canBaud, 500000u);
}

// A peer that acknowledges every write and reads every register as zeros:
// the write "succeeds" but does not hold.
TEST(WriteCheckedTest, AReadBackOfAnotherValueIsAMismatch) {
    test::PtyPeer peer;
    peer.OnFrame([](test::PtyPeer& p, const test::PtyPeer::Bytes& frame) {
        if (frame.size() == 16) p.SendMessage(test::ConfigReply(FromBytes(frame.data()).Id, {0, 0, 0, 0, 0, 0, 0, 0}));
    });
    RT_CAN channel;
    ASSERT_EQ(channel.OpenTarget(TargetForDevicePath(peer.SlavePath()), 115200), 1);
    const StepResult r = WriteChecked(channel, CanBitrateWrite(500000));
    EXPECT_EQ(r.status, StepStatus::Mismatch);
    EXPECT_EQ(r.registerId, REG_CAN_BAUD);
    // Off reads back as off: the same meaning is no mismatch.
    EXPECT_TRUE(WriteChecked(channel, FlagWrite(REG_ART, false)).Ok());
    channel.Close();
}

}  // namespace
}  // namespace tavrol
