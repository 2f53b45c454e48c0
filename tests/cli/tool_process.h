// The real tavrolctl as a child process, with its own runtime directory, its
// standard output and error captured and its exit code.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavrol::clitest {

struct ToolResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

class ToolProcess {
public:
    // Starts the program with `args`, XDG_RUNTIME_DIR set to `runtimeDir`;
    // its standard error a pseudo-terminal when `errorOnTerminal`.
    ToolProcess(const std::vector<std::string>& args, const std::string& runtimeDir, bool errorOnTerminal = false);
    ~ToolProcess();  // kills a child that is still running
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    void Signal(int signal);
    // Collects the output until the child ends; kills it after `timeoutMs`.
    ToolResult Wait(int timeoutMs = 120000);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

ToolResult RunTool(const std::vector<std::string>& args, const std::string& runtimeDir, bool errorOnTerminal = false);

}  // namespace tavrol::clitest
