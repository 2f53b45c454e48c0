// A port that hangs up in the middle of an apply, and SIGTERM in the middle
// of a parallel apply.
#include <signal.h>

#include <chrono>
#include <thread>

#include "../support/wait_until.h"
#include "cli_fixture.h"

namespace tavrol::clitest {
namespace {

// Slow enough replies that the test can act while the apply writes.
sim::Options SlowAdapter() {
    sim::Options options;
    options.faults.replyDelayMs = 40;
    return options;
}

using InterruptionTest = CliTest;

TEST_F(InterruptionTest, AHangUpInTheMiddleOfAnApplyIsPortLostAndTheOthersGoOn) {
    sim::VirtualAdapter& pulled = StartAdapter(20, SlowAdapter());
    sim::VirtualAdapter& other = StartAdapter(21, SlowAdapter());
    const std::string profile = WriteFile("full.json", kFullProfile);
    ToolProcess tool({"apply", profile, "COM20", "COM21", "--json"}, Runtime());
    // Identifier (2) and settings (17) read, then a few writes.
    ASSERT_TRUE(test::WaitUntil([&] { return WritesIn(pulled) >= 3; }, 20000));
    pulled.Unplug();
    const ToolResult r = tool.Wait();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(LineOf(lines, "COM20")["error"]["code"], "port-lost");
    EXPECT_EQ(LineOf(lines, "COM21")["ok"], true);
    EXPECT_EQ(other.GetRegisters().canBaud, 250000u);
}

TEST_F(InterruptionTest, SigtermStopsEveryPortAfterItsTransactionAndExitsOne) {
    for (int com = 20; com < 23; ++com) StartAdapter(com, SlowAdapter());
    const std::string profile = WriteFile("full.json", kFullProfile);
    ToolProcess tool({"apply", profile, "COM20", "COM21", "COM22", "--json"}, Runtime());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            for (const auto& a : adapters_)
                if (WritesIn(*a) < 2) return false;
            return true;
        },
        20000));
    tool.Signal(SIGTERM);
    const ToolResult r = tool.Wait();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (const Json& line : lines) EXPECT_EQ(line["error"]["code"], "interrupted") << line.dump();

    // The program has ended: its ports are closed, and nothing more comes.
    std::vector<std::size_t> sizes;
    for (const auto& a : adapters_) sizes.push_back(a->Log().size());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (std::size_t i = 0; i < adapters_.size(); ++i) {
        EXPECT_EQ(adapters_[i]->Log().size(), sizes[i]);
        // The profile was not finished: the apply really was cut short.
        EXPECT_LT(WritesIn(*adapters_[i]), 17);
        // Every request that went out was whole and answered.
        for (const auto& e : adapters_[i]->Log()) EXPECT_TRUE(e.answered) << sim::Describe(e);
    }
    // Each adapter can be opened again at once: nobody holds its port.
    const ToolResult after = Run({"show", "COM20", "COM21", "COM22", "--json"});
    EXPECT_EQ(after.exitCode, 0) << after.err;
}

}  // namespace
}  // namespace tavrol::clitest
