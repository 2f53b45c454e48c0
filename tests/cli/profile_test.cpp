// The profile reader: a table of good documents with what each changes, and
// a table of bad ones with the key the message must name.
#include <gtest/gtest.h>

#include <ostream>

#include <fstream>
#include <string>

#include "../support/temp_dir.h"
#include "profile.h"

namespace tavrol::cli {
namespace {

struct GoodCase {
    const char* name;
    const char* document;
    SettingsChange expected;
};

// Case names in test listings instead of raw bytes.
void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

SettingsChange BitrateOnly(std::uint32_t rate) {
    SettingsChange c;
    c.canBitrate = rate;
    return c;
}

SettingsChange FilterOnly(int index, FilterChange f) {
    SettingsChange c;
    c.filters[static_cast<std::size_t>(index)] = f;
    return c;
}

SettingsChange Everything() {
    SettingsChange c;
    c.canBitrate = 500000;
    c.retransmit = false;
    c.busOff = true;
    c.filters[0] = FilterChange{true, false, 0x123, 0x7FF};
    c.filters[13] = FilterChange{false, true, 0x1ABCDEF, 0x1FFFFFFF};
    return c;
}

bool SameFilter(const std::optional<FilterChange>& a, const std::optional<FilterChange>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->enabled == b->enabled && a->extended == b->extended && a->identifier == b->identifier &&
           a->mask == b->mask;
}

class GoodProfileTest : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodProfileTest, ReadsWhatTheDocumentSays) {
    const ProfileReading r = ParseProfile(GetParam().document);
    ASSERT_TRUE(r.ok) << r.error;
    const SettingsChange& want = GetParam().expected;
    EXPECT_EQ(r.change.canBitrate, want.canBitrate);
    EXPECT_EQ(r.change.retransmit, want.retransmit);
    EXPECT_EQ(r.change.busOff, want.busOff);
    for (std::size_t i = 0; i < want.filters.size(); ++i)
        EXPECT_TRUE(SameFilter(r.change.filters[i], want.filters[i])) << "filter " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, GoodProfileTest,
    ::testing::Values(
        GoodCase{"HeaderOnlyChangesNothing", R"({"format":"tavrol-profile","version":1})", SettingsChange{}},
        GoodCase{"BitrateOnly", R"({"format":"tavrol-profile","version":1,"can_bitrate":250000})", BitrateOnly(250000)},
        GoodCase{"LowestBitrate", R"({"format":"tavrol-profile","version":1,"can_bitrate":1})", BitrateOnly(1)},
        GoodCase{"Everything",
                 R"({"format":"tavrol-profile","version":1,"can_bitrate":500000,"retransmit":false,"bus_off":true,
                     "filters":[{"index":0,"enabled":true,"format":"std","id":"123","mask":"7FF"},
                                {"index":13,"enabled":false,"format":"ext","id":"01abcdef","mask":"1FFFFFFF"}]})",
                 Everything()},
        GoodCase{"IdentifierAsInteger",
                 R"({"format":"tavrol-profile","version":1,"filters":[{"index":4,"format":"std","id":291,"mask":2047}]})",
                 FilterOnly(4, FilterChange{std::nullopt, false, 0x123, 0x7FF})},
        GoodCase{"IdentifierWithPrefix",
                 R"({"format":"tavrol-profile","version":1,"filters":[{"index":4,"format":"ext","id":"0x1FFFFFFF","mask":"0X0"}]})",
                 FilterOnly(4, FilterChange{std::nullopt, true, 0x1FFFFFFF, 0})},
        GoodCase{"OnlyDisableAFilter",
                 R"({"format":"tavrol-profile","version":1,"filters":[{"index":7,"enabled":false}]})",
                 FilterOnly(7, FilterChange{false, std::nullopt, std::nullopt, std::nullopt})}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    const char* document;
    const char* key;  // the message must start with it
};

// Case names in test listings instead of raw bytes.
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadProfileTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadProfileTest, IsRefusedNamingTheKey) {
    const ProfileReading r = ParseProfile(GetParam().document);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.rfind(GetParam().key, 0), 0u) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BadProfileTest,
    ::testing::Values(
        BadCase{"NotJson", R"({"format":)", "not a JSON document"},
        BadCase{"Empty", "", "not a JSON document"},
        BadCase{"AList", R"([1,2])", "expected a JSON object"},
        BadCase{"NoFormat", R"({"version":1})", "format"},
        BadCase{"OtherFormat", R"({"format":"other-profile","version":1})", "format"},
        BadCase{"FormatNotText", R"({"format":1,"version":1})", "format"},
        BadCase{"NoVersion", R"({"format":"tavrol-profile"})", "version"},
        BadCase{"LaterVersion", R"({"format":"tavrol-profile","version":2})", "version"},
        BadCase{"VersionAsText", R"({"format":"tavrol-profile","version":"1"})", "version"},
        BadCase{"UnknownKey", R"({"format":"tavrol-profile","version":1,"can_bitrat":5})", "can_bitrat"},
        BadCase{"BitrateZero", R"({"format":"tavrol-profile","version":1,"can_bitrate":0})", "can_bitrate"},
        BadCase{"BitrateTooHigh", R"({"format":"tavrol-profile","version":1,"can_bitrate":1000001})", "can_bitrate"},
        BadCase{"BitrateNegative", R"({"format":"tavrol-profile","version":1,"can_bitrate":-5})", "can_bitrate"},
        BadCase{"BitrateFraction", R"({"format":"tavrol-profile","version":1,"can_bitrate":1.5})", "can_bitrate"},
        BadCase{"BitrateText", R"({"format":"tavrol-profile","version":1,"can_bitrate":"500000"})", "can_bitrate"},
        BadCase{"RetransmitNotBool", R"({"format":"tavrol-profile","version":1,"retransmit":1})", "retransmit"},
        BadCase{"BusOffNotBool", R"({"format":"tavrol-profile","version":1,"bus_off":"on"})", "bus_off"},
        BadCase{"FiltersNotList", R"({"format":"tavrol-profile","version":1,"filters":{}})", "filters"},
        BadCase{"FilterNotObject", R"({"format":"tavrol-profile","version":1,"filters":[3]})", "filters[0]"},
        BadCase{"FilterWithoutIndex", R"({"format":"tavrol-profile","version":1,"filters":[{"enabled":true}]})",
                "filters[0].index"},
        BadCase{"FilterIndex14", R"({"format":"tavrol-profile","version":1,"filters":[{"index":14}]})",
                "filters[0].index"},
        BadCase{"FilterIndexNegative", R"({"format":"tavrol-profile","version":1,"filters":[{"index":-1}]})",
                "filters[0].index"},
        BadCase{"FilterTwice", R"({"format":"tavrol-profile","version":1,"filters":[{"index":3},{"index":3}]})",
                "filters[1].index"},
        BadCase{"FilterUnknownKey",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":3,"enable":true}]})",
                "filters[0].enable"},
        BadCase{"FilterFormatUnknown",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":3,"format":"extended"}]})",
                "filters[0].format"},
        BadCase{"StandardIdentifierTooWide",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":1,"format":"std","id":"800"}]})",
                "filters[0].id"},
        BadCase{"ExtendedMaskTooWide",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":1,"format":"ext","mask":"20000000"}]})",
                "filters[0].mask"},
        BadCase{"IdentifierNotHex",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":1,"format":"std","id":"12G"}]})",
                "filters[0].id"},
        BadCase{"IdentifierWithoutFormat",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":1,"id":"12"}]})", "filters[0].id"},
        BadCase{"EnabledNotBool",
                R"({"format":"tavrol-profile","version":1,"filters":[{"index":1,"enabled":"yes"}]})",
                "filters[0].enabled"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileFileTest, AMissingFileIsNamed) {
    const ProfileReading r = ReadProfileFile("/nonexistent/profile.json");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("/nonexistent/profile.json"), std::string::npos);
}

TEST(ProfileFileTest, WhatIsWrittenReadsBackAsTheSameSettings) {
    AdapterSettings s;
    s.canBitrate = 83333;
    s.retransmit = false;
    s.busOff = true;
    s.filters[0] = {true, false, 0x7FF, 0x0F0};
    s.filters[11] = {false, true, 0x1FFFFFFF, 0x1};
    const ProfileReading r = ParseProfile(ProfileText(s));
    ASSERT_TRUE(r.ok) << r.error;
    // Every key is there, so merging over any record gives `s` back.
    EXPECT_TRUE(Merged(AdapterSettings{}, r.change) == s);
    AdapterSettings other;
    other.canBitrate = 1;
    other.filters[11] = {true, false, 0x5, 0x5};
    EXPECT_TRUE(Merged(other, r.change) == s);
}

TEST(ProfileFileTest, ExportWritesHexAsTheWindowShowsIt) {
    AdapterSettings s;
    s.filters[2] = {true, false, 0xab, 0x7ff};
    s.filters[3] = {true, true, 0x123, 0x1fffffff};
    const auto json = SettingsJson(s);
    EXPECT_EQ(json["filters"][2]["id"], "0AB");
    EXPECT_EQ(json["filters"][2]["mask"], "7FF");
    EXPECT_EQ(json["filters"][3]["id"], "00000123");
    EXPECT_EQ(json["filters"][3]["format"], "ext");
    EXPECT_EQ(json["filters"].size(), 14u);
}

}  // namespace
}  // namespace tavrol::cli
