// Profiles applied to adapters: only what differs is written, a second
// apply writes nothing, a dry run writes nothing, and ports run in parallel
// with a silent one failing alone.
#include <fstream>
#include <sstream>

#include "cli_fixture.h"
#include "registers.h"

namespace tavrol::clitest {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using ApplyTest = CliTest;

TEST_F(ApplyTest, ExportApplyExportIsIdenticalAndTheSecondApplyWritesNothing) {
    sim::VirtualAdapter& source = StartAdapter(20);
    sim::VirtualAdapter& target = StartAdapter(21);
    const std::string full = WriteFile("full.json", kFullProfile);
    ASSERT_EQ(Run({"apply", full, "COM20"}).exitCode, 0);

    const std::string exported = Runtime() + "/exported.json";
    ASSERT_EQ(Run({"export", "COM20", "-o", exported}).exitCode, 0);
    const ToolResult first = Run({"apply", exported, "COM21", "--json"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(JsonLines(first.out)[0]["written"].size(), 17u);  // 14 filters, bus-off, retransmit, bit rate
    EXPECT_EQ(target.GetRegisters().filters, source.GetRegisters().filters);

    const std::string again = Runtime() + "/again.json";
    ASSERT_EQ(Run({"export", "COM21", "-o", again}).exitCode, 0);
    EXPECT_EQ(ReadAll(again), ReadAll(exported));

    target.ClearLog();
    const ToolResult second = Run({"apply", exported, "COM21"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.out, "COM21: nothing to write: the adapter holds the profile\n");
    EXPECT_EQ(WritesIn(target), 0);
}

TEST_F(ApplyTest, APartialProfileChangesOnlyItsKeys) {
    sim::VirtualAdapter& a = StartAdapter(20);
    const std::string good = WriteFile(
        "good.json",
        R"({"format":"tavrol-profile","version":1,"can_bitrate":83333,"filters":[{"index":6,"enabled":true}]})");
    const ToolResult r = Run({"apply", good, "COM20", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonLines(r.out)[0]["written"], Json::parse(R"(["filter6","can-bitrate"])"));
    const sim::Registers regs = a.GetRegisters();
    EXPECT_EQ(regs.canBaud, 83333u);
    EXPECT_EQ(regs.art, 1);
    EXPECT_EQ(regs.abom, 1);
    EXPECT_TRUE(DecodeFilter(regs.filters[6].data()).enabled);
}

TEST_F(ApplyTest, DryRunSaysWhatWouldBeWrittenAndWritesNothing) {
    sim::VirtualAdapter& a = StartAdapter(20);
    const std::string full = WriteFile("full.json", kFullProfile);
    const ToolResult text = Run({"apply", full, "COM20", "--dry-run"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.rfind("COM20: would write filter0, filter1, ", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("bus-off, retransmit, can-bitrate\n"), std::string::npos) << text.out;

    const ToolResult json = Run({"--json", "apply", "--dry-run", full, "COM20"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto lines = JsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["would_write"].size(), 17u);
    EXPECT_EQ(lines[0]["written"], Json::array());
    EXPECT_EQ(WritesIn(a), 0);
    EXPECT_EQ(a.GetRegisters().canBaud, 500000u);
}

TEST_F(ApplyTest, ParallelPortsWithOneSilentFailOnlyThatOne) {
    sim::VirtualAdapter& a = StartAdapter(20);
    sim::VirtualAdapter& b = StartAdapter(21);
    sim::Options silentOptions;
    silentOptions.faults.dropEvery = 1;
    sim::VirtualAdapter& silent = StartAdapter(22, silentOptions);
    const std::string full = WriteFile("full.json", kFullProfile);

    const ToolResult r = Run({"apply", full, "COM20", "COM22", "COM21", "--json"});
    EXPECT_EQ(r.exitCode, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(LineOf(lines, "COM20")["ok"], true);
    EXPECT_EQ(LineOf(lines, "COM21")["ok"], true);
    EXPECT_EQ(LineOf(lines, "COM22")["ok"], false);
    EXPECT_EQ(LineOf(lines, "COM22")["error"]["code"], "no-answer");
    EXPECT_EQ(r.err, "2 ok, 1 failed\n");
    EXPECT_EQ(a.GetRegisters().canBaud, 250000u);
    EXPECT_EQ(b.GetRegisters().canBaud, 250000u);
    // The silent adapter got the first identifier read only.
    EXPECT_EQ(silent.Log().size(), 1u);
    EXPECT_EQ(silent.GetRegisters().canBaud, 500000u);
}

TEST_F(ApplyTest, JobsLimitStillRunsEveryPortAndTextLinesStayWhole) {
    for (int com = 20; com < 24; ++com) StartAdapter(com);
    const std::string full = WriteFile("full.json", kFullProfile);
    const ToolResult r = Run({"apply", full, "COM20", "COM21", "COM22", "COM23", "--jobs", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (int com = 20; com < 24; ++com) {
        const std::string prefix = "COM" + std::to_string(com) + ": wrote filter0, ";
        EXPECT_NE(r.out.find(prefix), std::string::npos) << r.out;
    }
    // Four whole lines, nothing between them.
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind("COM2", 0), 0u) << line;
        EXPECT_NE(line.find(", can-bitrate"), std::string::npos) << line;
    }
    for (const auto& adapter : adapters_) EXPECT_EQ(adapter->GetRegisters().canBaud, 250000u);
}

}  // namespace
}  // namespace tavrol::clitest
