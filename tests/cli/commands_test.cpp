// Each command of the real program against virtual adapters, in text and in
// JSON, with what the adapters were sent.
#include <fstream>
#include <set>

#include "cli_fixture.h"
#include "registers.h"

namespace tavrol::clitest {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CommandsTest : public CliTest {
protected:
    // An adapter with settings other than the factory's, so a reader that
    // shows defaults is caught.
    sim::VirtualAdapter& StartConfigured(int com) {
        sim::Options options;
        options.cpuid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0a, 0xab};
        sim::VirtualAdapter& adapter = StartAdapter(com, options);
        sim::Registers regs;
        regs.canBaud = 125000;
        regs.art = 0;
        regs.abom = 1;
        regs.filters[0] = EncodeFilter(0x123, 0xFFFFFFFF, true, false);  // mask read as 7FF
        regs.filters[13] = EncodeFilter(0xABCDE, 0x1FFFFFFF, false, true);
        adapter.SetRegisters(regs);
        return adapter;
    }
};

TEST_F(CommandsTest, ListShowsEveryPortAndOpensNothing) {
    sim::VirtualAdapter& a = StartAdapter(21);
    sim::VirtualAdapter& b = StartAdapter(22);
    const ToolResult text = Run({"list"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(Contains(text.out, "COM21\t" + a.SlavePath() + "\n")) << text.out;
    EXPECT_TRUE(Contains(text.out, "COM22\t" + b.SlavePath() + "\n")) << text.out;

    const ToolResult json = Run({"list", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    const auto lines = JsonLines(json.out);
    EXPECT_EQ(LineOf(lines, "COM21")["device"], a.SlavePath());
    EXPECT_EQ(LineOf(lines, "COM22")["device"], b.SlavePath());
    EXPECT_TRUE(a.Log().empty());
    EXPECT_TRUE(b.Log().empty());
}

TEST_F(CommandsTest, ShowTextGivesTheIdentifierAndEverySetting) {
    StartConfigured(20);
    const ToolResult r = Run({"show", "COM20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "COM20 (")) << r.out;
    EXPECT_TRUE(Contains(r.out, "at 115200, identifier 0001-0203-0405-0607-0809-0aab")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  can-bitrate  125000\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  retransmit   off\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  bus-off      on\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  filter0      on  std 123/7FF\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  filter13     off ext 000ABCDE/1FFFFFFF\n")) << r.out;
    EXPECT_EQ(r.err, "1 ok, 0 failed\n");
}

TEST_F(CommandsTest, ShowJsonIsOneLineWithTheProfileKeysAndSendsOnlyReads) {
    sim::VirtualAdapter& a = StartConfigured(20);
    const ToolResult r = Run({"--json", "show", "20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    const Json& line = lines[0];
    EXPECT_EQ(line["port"], "COM20");
    EXPECT_EQ(line["device"], a.SlavePath());
    EXPECT_EQ(line["baud"], 115200);
    EXPECT_EQ(line["ok"], true);
    EXPECT_EQ(line["identifier"], "0001-0203-0405-0607-0809-0aab");
    EXPECT_EQ(line["settings"]["can_bitrate"], 125000);
    EXPECT_EQ(line["settings"]["retransmit"], false);
    EXPECT_EQ(line["settings"]["bus_off"], true);
    EXPECT_EQ(line["settings"]["filters"][0],
              Json::parse(R"({"index":0,"enabled":true,"format":"std","id":"123","mask":"7FF"})"));
    EXPECT_EQ(line["settings"]["filters"][13]["id"], "000ABCDE");
    EXPECT_TRUE(line["elapsed_ms"].is_number_integer());
    EXPECT_EQ(WritesIn(a), 0);
    // Identifier, 14 filters, bus-off, retransmission, bit rate.
    EXPECT_EQ(a.Log().size(), 19u);
}

TEST_F(CommandsTest, ShowByDevicePath) {
    sim::VirtualAdapter& a = StartConfigured(20);
    const ToolResult r = Run({"show", a.SlavePath(), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["port"], a.SlavePath());
    EXPECT_EQ(lines[0]["settings"]["can_bitrate"], 125000);
}

TEST_F(CommandsTest, SetWritesEachSettingAndReadsItBack) {
    sim::VirtualAdapter& a = StartConfigured(20);
    const ToolResult r =
        Run({"set", "COM20", "can-bitrate=250000", "filter3=ext:1abcdef/1FFFFFFF", "filter0=off", "retransmit=on"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "COM20: wrote filter0, filter3, retransmit, can-bitrate\n");
    const sim::Registers regs = a.GetRegisters();
    EXPECT_EQ(regs.canBaud, 250000u);
    EXPECT_EQ(regs.art, 1);
    // filter0=off keeps format, identifier and mask as read.
    EXPECT_EQ(DecodeFilter(regs.filters[0].data()).enabled, false);
    EXPECT_EQ(DecodeFilter(regs.filters[0].data()).identifier, 0x123u);
    EXPECT_EQ(regs.filters[3], EncodeFilter(0x1ABCDEF, 0x1FFFFFFF, true, true));
    // Every write is followed by a read of the same register.
    const auto log = a.Log();
    int writes = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].request.Remote != 0) continue;
        ++writes;
        ASSERT_LT(i + 1, log.size());
        EXPECT_EQ(log[i + 1].request.Remote, 1);
        EXPECT_EQ(log[i + 1].request.Id, log[i].request.Id);
    }
    EXPECT_EQ(writes, 4);
}

TEST_F(CommandsTest, SetJsonListsWhatWasWritten) {
    sim::VirtualAdapter& a = StartConfigured(20);
    const ToolResult r = Run({"set", "COM20", "bus-off=off", "can-bitrate=125000", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    // The bit rate already holds 125000: only bus-off is written.
    EXPECT_EQ(lines[0]["written"], Json::parse(R"(["bus-off"])"));
    EXPECT_EQ(lines[0]["settings"]["bus_off"], false);
    EXPECT_EQ(a.GetRegisters().abom, 0);
    EXPECT_EQ(WritesIn(a), 1);
}

TEST_F(CommandsTest, ExportWritesAProfileToStandardOutputOrAFile) {
    StartConfigured(20);
    const ToolResult r = Run({"export", "COM20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Json profile = Json::parse(r.out, nullptr, false);
    ASSERT_FALSE(profile.is_discarded()) << r.out;
    EXPECT_EQ(profile["format"], "tavrol-profile");
    EXPECT_EQ(profile["version"], 1);
    EXPECT_EQ(profile["can_bitrate"], 125000);
    EXPECT_EQ(profile["filters"].size(), 14u);

    const std::string file = Runtime() + "/exported.json";
    const ToolResult toFile = Run({"export", "COM20", "-o", file, "--json"});
    ASSERT_EQ(toFile.exitCode, 0) << toFile.err;
    const auto lines = JsonLines(toFile.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["file"], file);
    std::ifstream in(file);
    EXPECT_EQ(Json::parse(in), profile);
}

TEST_F(CommandsTest, ResetRestoresTheFactorySettingsAndShowsThem) {
    sim::VirtualAdapter& a = StartConfigured(20);
    const ToolResult text = Run({"reset", "COM20", "--yes"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(Contains(text.out, "COM20: factory settings restored\n")) << text.out;
    EXPECT_TRUE(Contains(text.out, "  can-bitrate  500000\n")) << text.out;
    EXPECT_EQ(a.GetRegisters().canBaud, 500000u);

    a.SetRegisters(sim::Registers{});
    a.ClearLog();
    const ToolResult json = Run({"--json", "reset", "--yes", "COM20"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto lines = JsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["written"], Json::parse(R"(["factory-reset"])"));
    EXPECT_EQ(lines[0]["settings"]["retransmit"], true);
    EXPECT_EQ(WritesIn(a), 1);
}

TEST_F(CommandsTest, SerialRateWritesTheRateAndSaysToReplug) {
    sim::VirtualAdapter& a = StartAdapter(20);
    const ToolResult text = Run({"serial-rate", "9600", "COM20"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "COM20: serial rate 9600 written; unplug the adapter and plug it in again to use it\n");
    EXPECT_EQ(a.GetRegisters().pendingSerialRate, 9600u);

    const ToolResult json = Run({"serial-rate", "57600", "COM20", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto lines = JsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["serial_rate"], 57600);
    EXPECT_EQ(a.GetRegisters().pendingSerialRate, 57600u);
}

TEST_F(CommandsTest, SearchFindsTheRateTryingTheRatesInOrder) {
    sim::Options options;
    options.serialRate = 9600;
    sim::VirtualAdapter& a = StartAdapter(20, options);
    const ToolResult text = Run({"search", "COM20"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "COM20: 9600\n");
    // Only the attempt at the right rate reached the adapter: both identifier reads.
    const auto log = a.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request.Id, REG_CPUID_LO);
    EXPECT_EQ(log[1].request.Id, REG_CPUID_HI);

    const ToolResult json = Run({"search", "COM20", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto lines = JsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["baud"], 9600);
    EXPECT_EQ(lines[0]["identifier"], "3031-3233-3435-3637-3839-3a3b");
}

TEST_F(CommandsTest, SearchOptionConnectsShowAtTheFoundRate) {
    sim::Options options;
    options.serialRate = 1200;
    StartAdapter(20, options);
    const ToolResult r = Run({"show", "--search", "COM20", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["baud"], 1200);
    EXPECT_EQ(lines[0]["settings"]["can_bitrate"], 500000);
}

TEST_F(CommandsTest, AnAdapterAtAnotherRateIsNoAnswer) {
    sim::Options options;
    options.serialRate = 9600;
    StartAdapter(20, options);
    const ToolResult text = Run({"show", "COM20"});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_EQ(text.out, "");
    EXPECT_TRUE(Contains(text.err, "tavrolctl: COM20: no-answer: ")) << text.err;
    EXPECT_TRUE(Contains(text.err, "0 ok, 1 failed\n")) << text.err;

    const ToolResult json = Run({"show", "COM20", "--baud", "4800", "--json"});
    EXPECT_EQ(json.exitCode, 1);
    const auto lines = JsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_EQ(lines[0]["error"]["code"], "no-answer");
}

TEST_F(CommandsTest, ProgressLinesOnlyWhenStandardErrorIsATerminalAndNeverWithJson) {
    sim::Options options;
    options.serialRate = 1200;  // the third rate: the search shows two failed attempts first
    StartAdapter(20, options);
    const ToolResult terminal = RunTool({"search", "COM20"}, Runtime(), true);
    ASSERT_EQ(terminal.exitCode, 0) << terminal.err;
    EXPECT_EQ(terminal.out, "COM20: 1200\n");
    EXPECT_TRUE(Contains(terminal.err, "COM20: trying 300 (1 of 29)")) << terminal.err;
    EXPECT_TRUE(Contains(terminal.err, "COM20: trying 1200 (3 of 29)")) << terminal.err;
    // Each update goes back over the lines drawn before.
    EXPECT_TRUE(Contains(terminal.err, "\033[1A\033[J")) << terminal.err;

    const ToolResult json = RunTool({"search", "COM20", "--json"}, Runtime(), true);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_FALSE(Contains(json.err, "trying")) << json.err;
    EXPECT_EQ(JsonLines(json.out).size(), 1u);
}

TEST_F(CommandsTest, AReadThatFailsWhileShowingIsAnErrorOfThePortNotAGap) {
    sim::Options options;
    options.faults.dropEvery = 3;  // the identifier reads pass, the first filter read gets no reply
    StartAdapter(20, options);
    const ToolResult r = Run({"show", "COM20", "--json"});
    EXPECT_EQ(r.exitCode, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_EQ(lines[0]["error"]["code"], "timeout");
    EXPECT_NE(lines[0]["error"]["message"].get<std::string>().find("reading filter0"), std::string::npos);
    EXPECT_FALSE(lines[0].contains("settings"));
}

TEST_F(CommandsTest, APortThatIsNotThereIsOpenFailedAndTheSearchStopsAtOnce) {
    const ToolResult r = Run({"show", "--search", "COM30", "/dev/nonexistent-tty", "--json"});
    EXPECT_EQ(r.exitCode, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(LineOf(lines, "COM30")["error"]["code"], "open-failed");
    EXPECT_EQ(LineOf(lines, "/dev/nonexistent-tty")["error"]["code"], "open-failed");
    // The search stopped at the first rate.
    EXPECT_TRUE(Contains(LineOf(lines, "/dev/nonexistent-tty")["error"]["message"].get<std::string>(), " at 300"));
}

}  // namespace
}  // namespace tavrol::clitest
