// SETTING=VALUE assignments and PORT names as typed on the command line.
#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "port_name.h"
#include "setting_values.h"

namespace tavrol::cli {
namespace {

struct AssignmentCase {
    const char* name;
    const char* text;
    bool ok;
    const char* messageStart;  // for a refusal: what the message starts with
};

// Case names in test listings instead of raw bytes.
void PrintTo(const AssignmentCase& c, std::ostream* os) { *os << c.name; }

class AssignmentTest : public ::testing::TestWithParam<AssignmentCase> {};

TEST_P(AssignmentTest, IsTakenOrRefusedNamingTheSetting) {
    SettingsChange change;
    std::string error;
    EXPECT_EQ(AddAssignment(GetParam().text, &change, &error), GetParam().ok) << error;
    if (!GetParam().ok) {
        EXPECT_EQ(error.rfind(GetParam().messageStart, 0), 0u) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AssignmentTest,
    ::testing::Values(AssignmentCase{"Bitrate", "can-bitrate=125000", true, ""},
                      AssignmentCase{"BitrateHighest", "can-bitrate=1000000", true, ""},
                      AssignmentCase{"BitrateZero", "can-bitrate=0", false, "can-bitrate"},
                      AssignmentCase{"BitrateAbove", "can-bitrate=1000001", false, "can-bitrate"},
                      AssignmentCase{"BitrateSigned", "can-bitrate=+5", false, "can-bitrate"},
                      AssignmentCase{"BitrateEmpty", "can-bitrate=", false, "can-bitrate"},
                      AssignmentCase{"RetransmitOff", "retransmit=off", true, ""},
                      AssignmentCase{"RetransmitYes", "retransmit=yes", false, "retransmit"},
                      AssignmentCase{"BusOffOn", "bus-off=on", true, ""},
                      AssignmentCase{"FilterStd", "filter0=std:123/7ff", true, ""},
                      AssignmentCase{"FilterExtPrefixed", "filter13=ext:0x1FFFFFFF/0x0", true, ""},
                      AssignmentCase{"FilterOff", "filter5=off", true, ""},
                      AssignmentCase{"FilterIndex14", "filter14=off", false, "filter14"},
                      AssignmentCase{"FilterNoIndex", "filter=off", false, "unknown setting"},
                      AssignmentCase{"StdIdentifierTooWide", "filter1=std:800/7FF", false, "filter1"},
                      AssignmentCase{"StdMaskTooWide", "filter1=std:7FF/FFF", false, "filter1"},
                      AssignmentCase{"ExtTooWide", "filter1=ext:20000000/0", false, "filter1"},
                      AssignmentCase{"NoMask", "filter1=std:123", false, "filter1"},
                      AssignmentCase{"NotHex", "filter1=std:12x/7FF", false, "filter1"},
                      AssignmentCase{"UnknownFormat", "filter1=xtd:1/1", false, "filter1"},
                      AssignmentCase{"UnknownSetting", "bitrate=5", false, "unknown setting 'bitrate'"},
                      AssignmentCase{"NoEquals", "retransmit", false, "'retransmit'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AssignmentTest, FilterValuesLandInTheirFilter) {
    SettingsChange change;
    std::string error;
    ASSERT_TRUE(AddAssignment("filter3=ext:1abcdef/1FFFFFFF", &change, &error)) << error;
    ASSERT_TRUE(AddAssignment("filter4=off", &change, &error)) << error;
    ASSERT_TRUE(change.filters[3]);
    EXPECT_EQ(change.filters[3]->enabled, true);
    EXPECT_EQ(change.filters[3]->extended, true);
    EXPECT_EQ(change.filters[3]->identifier, 0x1ABCDEFu);
    EXPECT_EQ(change.filters[3]->mask, 0x1FFFFFFFu);
    ASSERT_TRUE(change.filters[4]);
    EXPECT_EQ(change.filters[4]->enabled, false);
    EXPECT_FALSE(change.filters[4]->extended);
    EXPECT_FALSE(change.filters[4]->identifier);
}

TEST(AssignmentTest, TheSameSettingTwiceIsRefused) {
    SettingsChange change;
    std::string error;
    ASSERT_TRUE(AddAssignment("filter2=off", &change, &error));
    EXPECT_FALSE(AddAssignment("filter2=std:1/1", &change, &error));
    EXPECT_NE(error.find("twice"), std::string::npos);
}

struct PortCase {
    const char* name;
    const char* text;
    bool ok;
    const char* shown;
    int number;
};

// Case names in test listings instead of raw bytes.
void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }

class PortNameTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortNameTest, ParsesTheThreeForms) {
    const auto port = ParsePortName(GetParam().text);
    ASSERT_EQ(port.has_value(), GetParam().ok);
    if (!port) return;
    EXPECT_EQ(port->text, GetParam().shown);
    EXPECT_EQ(port->number, GetParam().number);
    EXPECT_EQ(port->devicePath.empty(), GetParam().number != 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, PortNameTest,
                         ::testing::Values(PortCase{"ComName", "COM5", true, "COM5", 5},
                                           PortCase{"LowerCase", "com12", true, "COM12", 12},
                                           PortCase{"BareNumber", "7", true, "COM7", 7},
                                           PortCase{"DevicePath", "/dev/ttyUSB0", true, "/dev/ttyUSB0", 0},
                                           PortCase{"Zero", "COM0", false, "", 0},
                                           PortCase{"NoNumber", "COM", false, "", 0},
                                           PortCase{"Trailing", "COM5x", false, "", 0},
                                           PortCase{"Negative", "-3", false, "", 0},
                                           PortCase{"RelativePath", "ttyUSB0", false, "", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrol::cli
