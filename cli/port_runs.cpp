#include "port_runs.h"

#include <unistd.h>

#include <vector>

#include "command_line.h"
#include "console.h"
#include "parallel_runner.h"
#include "port_catalog.h"
#include "port_job.h"
#include "report_format.h"

namespace tavrol::cli {

namespace {

// What each PORT names, looked up once before any port starts: the catalog
// is not shared between threads.
std::vector<PortJob> MakeJobs(const Invocation& invocation, const std::atomic<bool>& stop) {
    PortCatalog catalog;  // Resolve reads the sources when it needs them
    std::vector<PortJob> jobs;
    for (const PortName& name : invocation.ports) {
        PortJob job;
        job.invocation = &invocation;
        job.name = name;
        job.target = name.devicePath.empty() ? catalog.Resolve(name.number)
                                             : std::optional<PortTarget>(TargetForDevicePath(name.devicePath));
        job.stop = &stop;
        jobs.push_back(job);
    }
    return jobs;
}

void WriteReport(Console& console, const Invocation& invocation, const PortReport& report) {
    if (invocation.json) {
        console.Write(ReportJson(report, invocation.command).dump() + "\n", "");
    } else if (report.ok) {
        console.Write(ReportText(report, invocation.command), "");
    } else {
        console.Write("", FailureText(report));
    }
}

}  // namespace

int RunPorts(const Invocation& invocation, const std::atomic<bool>& stop, std::FILE* out, std::FILE* err) {
    std::vector<PortJob> jobs = MakeJobs(invocation, stop);
    Console console(out, err, !invocation.json && ::isatty(::fileno(err)) == 1);
    std::atomic<int> ok{0};
    std::atomic<int> failed{0};
    RunInParallel(jobs.size(), invocation.jobs, [&](std::size_t i) {
        PortJob& job = jobs[i];
        job.progress = [&console, i, port = job.name.text](const std::string& text) {
            console.Progress(i, port + ": " + text);
        };
        const PortReport report = RunPortJob(job);
        console.Progress(i, "");
        WriteReport(console, invocation, report);
        (report.ok ? ok : failed) += 1;
    });
    console.Write("", SummaryText(ok.load(), failed.load()));
    return failed.load() == 0 && !stop.load() ? kExitOk : kExitFailed;
}

}  // namespace tavrol::cli
