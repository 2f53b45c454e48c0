// Virtual adapters on pseudo-terminals in a private runtime directory, and
// the real tavrolctl run against them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../support/temp_dir.h"
#include "tool_process.h"
#include "virtual_adapter.h"

namespace tavrol::clitest {

using Json = nlohmann::json;

class CliTest : public ::testing::Test {
protected:
    // The port directory the program finds through XDG_RUNTIME_DIR.
    std::string PortDirectory() const { return dir_.Path() + "/tavrol/ports"; }
    const std::string& Runtime() const { return dir_.Path(); }

    // Starts an adapter as COM`com`; call with ASSERT_NO_FATAL_FAILURE.
    sim::VirtualAdapter& StartAdapter(int com, sim::Options options = {}) {
        options.com = com;
        options.portDirectory = PortDirectory();
        adapters_.push_back(std::make_unique<sim::VirtualAdapter>(options));
        std::string error;
        EXPECT_TRUE(adapters_.back()->Start(&error)) << error;
        return *adapters_.back();
    }

    ToolResult Run(const std::vector<std::string>& args) { return RunTool(args, Runtime()); }

    std::string WriteFile(const std::string& name, const std::string& text) {
        const std::string path = dir_.Path() + "/" + name;
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        return path;
    }

    static std::vector<Json> JsonLines(const std::string& out) {
        std::vector<Json> lines;
        std::size_t start = 0;
        while (start < out.size()) {
            const std::size_t end = out.find('\n', start);
            const std::string line = out.substr(start, end - start);
            lines.push_back(Json::parse(line, nullptr, false));
            EXPECT_FALSE(lines.back().is_discarded()) << "not JSON: " << line;
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return lines;
    }

    // The line of `port` among the JSON lines.
    static Json LineOf(const std::vector<Json>& lines, const std::string& port) {
        for (const Json& line : lines) {
            if (line.value("port", "") == port) return line;
        }
        ADD_FAILURE() << "no line for " << port;
        return Json::object();
    }

    static int WritesIn(const sim::VirtualAdapter& adapter) {
        int writes = 0;
        for (const auto& e : adapter.Log()) writes += e.request.Remote == 0 ? 1 : 0;
        return writes;
    }

    // Declared first, so the adapters stop before the directory goes.
    test::TempDir dir_{"tavrolctl-test"};
    std::vector<std::unique_ptr<sim::VirtualAdapter>> adapters_;
};

// Every setting differs from the factory state.
inline constexpr char kFullProfile[] = R"({"format":"tavrol-profile","version":1,"can_bitrate":250000,"retransmit":false,
  "bus_off":false,"filters":[
  {"index":0,"enabled":true,"format":"std","id":"100","mask":"7F0"},
  {"index":1,"enabled":true,"format":"std","id":"101","mask":"7F1"},
  {"index":2,"enabled":true,"format":"std","id":"102","mask":"7F2"},
  {"index":3,"enabled":true,"format":"std","id":"103","mask":"7F3"},
  {"index":4,"enabled":true,"format":"std","id":"104","mask":"7F4"},
  {"index":5,"enabled":true,"format":"std","id":"105","mask":"7F5"},
  {"index":6,"enabled":true,"format":"std","id":"106","mask":"7F6"},
  {"index":7,"enabled":true,"format":"ext","id":"1000007","mask":"1FFFFFF7"},
  {"index":8,"enabled":true,"format":"ext","id":"1000008","mask":"1FFFFFF8"},
  {"index":9,"enabled":true,"format":"ext","id":"1000009","mask":"1FFFFFF9"},
  {"index":10,"enabled":true,"format":"ext","id":"100000A","mask":"1FFFFFFA"},
  {"index":11,"enabled":true,"format":"ext","id":"100000B","mask":"1FFFFFFB"},
  {"index":12,"enabled":true,"format":"ext","id":"100000C","mask":"1FFFFFFC"},
  {"index":13,"enabled":true,"format":"ext","id":"100000D","mask":"1FFFFFFD"}]})";

}  // namespace tavrol::clitest
