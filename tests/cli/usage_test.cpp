// Every kind of bad argument and bad profile: exit 2, a message naming the
// argument or key, and nothing sent to any adapter.
#include <ostream>

#include "cli_fixture.h"

namespace tavrol::clitest {
namespace {

struct UsageCase {
    const char* name;
    std::vector<std::string> args;  // "{profile}" stands for the case's profile file
    const char* profile;            // written to a file when not null
    const char* message;            // a part of what standard error must say
};

// Case names in test listings instead of raw bytes.
void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageTest : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageTest, ExitsTwoNamingTheProblemWithNothingSent) {
    sim::VirtualAdapter& a = StartAdapter(20);
    sim::VirtualAdapter& b = StartAdapter(21);
    std::vector<std::string> args = GetParam().args;
    for (std::string& arg : args) {
        if (arg == "{profile}")
            arg = GetParam().profile ? WriteFile("profile.json", GetParam().profile) : Runtime() + "/missing.json";
        if (arg == "{directory}") arg = Runtime();
    }
    const ToolResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(a.Log().empty());
    EXPECT_TRUE(b.Log().empty());
}

const char kGoodHeader[] = R"({"format":"tavrol-profile","version":1,)";

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageTest,
    ::testing::Values(
        UsageCase{"UnknownCommand", {"shwo", "COM20"}, nullptr, "unknown command 'shwo'"},
        UsageCase{"UnknownCommandAfterOptions", {"--json", "--baud", "9600", "apply-all", "COM20"}, nullptr,
                  "unknown command 'apply-all'"},
        UsageCase{"NoCommand", {}, nullptr, "subcommand"},
        UsageCase{"UnknownOption", {"show", "COM20", "--fast"}, nullptr, "--fast"},
        UsageCase{"ShowWithoutPort", {"show"}, nullptr, "PORT"},
        UsageCase{"BadPortName", {"show", "COM20", "serial0"}, nullptr, "PORT 'serial0'"},
        UsageCase{"PortTwice", {"show", "COM20", "20"}, nullptr, "PORT COM20 given twice"},
        UsageCase{"UnknownSetting", {"set", "COM20", "COM21", "speed=5"}, nullptr, "unknown setting 'speed'"},
        UsageCase{"BitrateOutOfRange", {"set", "COM20", "can-bitrate=1000001"}, nullptr, "can-bitrate"},
        UsageCase{"FilterIndexOutside", {"set", "COM20", "filter14=off"}, nullptr, "filter14"},
        UsageCase{"FilterValueTooWide", {"set", "COM20", "filter2=std:800/7FF"}, nullptr, "filter2"},
        UsageCase{"FlagNotOnOff", {"set", "COM20", "bus-off=1"}, nullptr, "bus-off"},
        UsageCase{"SetWithoutSettings", {"set", "COM20", "COM21"}, nullptr, "SETTING=VALUE"},
        UsageCase{"SetWithoutPort", {"set", "can-bitrate=5"}, nullptr, "no PORT"},
        UsageCase{"BaudNotARate", {"show", "COM20", "--baud", "1234"}, nullptr, "--baud 1234"},
        UsageCase{"BaudAndSearch", {"show", "COM20", "--baud", "9600", "--search"}, nullptr, "--search"},
        UsageCase{"SerialRateNotARate", {"serial-rate", "115201", "COM20"}, nullptr, "RATE 115201"},
        UsageCase{"JobsZero", {"show", "COM20", "--jobs", "0"}, nullptr, "--jobs"},
        UsageCase{"ResetWithoutYes", {"reset", "COM20", "COM21"}, nullptr, "--yes"},
        UsageCase{"ExportTwoPorts", {"export", "COM20", "COM21"}, nullptr, "PORT"},
        UsageCase{"ExportToDirectory", {"export", "COM20", "-o", "{directory}"}, nullptr, "is a directory"},
        UsageCase{"ProfileMissing", {"apply", "{profile}", "COM20"}, nullptr, "missing.json: cannot be read"},
        UsageCase{"ProfileIsDirectory", {"apply", "{directory}", "COM20"}, nullptr, "is a directory"},
        UsageCase{"ProfileNotJson", {"apply", "{profile}", "COM20"}, "can_bitrate = 5", "not a JSON document"},
        UsageCase{"ProfileOtherFormat", {"apply", "{profile}", "COM20", "COM21"},
                  R"({"format":"other","version":1})", "format"},
        UsageCase{"ProfileOtherVersion", {"apply", "{profile}", "COM20"},
                  R"({"format":"tavrol-profile","version":3})", "version"},
        UsageCase{"ProfileUnknownKey", {"apply", "{profile}", "COM20"},
                  R"({"format":"tavrol-profile","version":1,"bitrate":5})", "bitrate: unknown key"},
        UsageCase{"ProfileValueOutOfRange", {"apply", "{profile}", "COM20"},
                  R"({"format":"tavrol-profile","version":1,"can_bitrate":0})", "can_bitrate"},
        UsageCase{"ProfileFilterIndexOutside", {"apply", "{profile}", "COM20"},
                  R"({"format":"tavrol-profile","version":1,"filters":[{"index":14}]})", "filters[0].index"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrol::clitest
