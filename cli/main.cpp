// tavrolctl: the adapters' settings from a shell, for scripts, test rigs and
// production lines.
#include <atomic>
#include <cstdio>

#include "command_line.h"
#include "port_catalog.h"
#include "port_list.h"
#include "port_runs.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
    using namespace tavrol::cli;
    Invocation invocation;
    const int usage = ParseCommandLine(argc, argv, &invocation, stdout, stderr);
    if (usage >= 0) return usage;
    if (invocation.command == Command::List) {
        tavrol::PortCatalog catalog;
        WritePortList(catalog.Refresh(), invocation.json, stdout);
        return kExitOk;
    }
    std::atomic<bool> stop{false};
    StopSignals signals(stop);
    return RunPorts(invocation, stop, stdout, stderr);
}
