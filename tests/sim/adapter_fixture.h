// A virtual adapter in a private port directory, with the tool's side of its
// line and a record of its log lines.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tool_side.h"
#include "virtual_adapter.h"

namespace tavrol::simtest {

class AdapterTest : public ::testing::Test {
protected:
    std::string PortDirectory() const { return dir.Path() + "/ports"; }

    // Starts the adapter; call with ASSERT_NO_FATAL_FAILURE.
    void StartAdapter(sim::Options options = {}) {
        options.portDirectory = PortDirectory();
        adapter = std::make_unique<sim::VirtualAdapter>(options);
        adapter->SetLogSink([this](const std::string& line) { lines.Add(line); });
        std::string error;
        ASSERT_TRUE(adapter->Start(&error)) << error;
    }

    // Opens the adapter's COM link as the tool does.
    void OpenTool(std::uint32_t rate = 115200) { ASSERT_TRUE(tool.Open(adapter->LinkPath(), rate)); }

    // Declared in this order so the tool closes first, then the adapter
    // stops, before the recorder and the directory go.
    TempDir dir;
    LineRecorder lines;
    std::unique_ptr<sim::VirtualAdapter> adapter;
    ToolPort tool;
};

}  // namespace tavrol::simtest
