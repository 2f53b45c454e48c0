#include "port_job.h"

#include <chrono>

#include "adapter_identifier.h"
#include "connection.h"
#include "profile_file.h"
#include "rt_can.h"

namespace tavrol::cli {

namespace {

using Clock = std::chrono::steady_clock;

class JobRun {
public:
    JobRun(const PortJob& job, PortReport& report) : job_(job), report_(report) {}

    // The command's work on a connected channel; false with the report's
    // error filled in when a step failed.
    bool Run(RT_CAN& channel) {
        switch (job_.invocation->command) {
            case Command::Show: return ReadAll(channel);
            case Command::Set:
            case Command::Apply: return ApplyChange(channel);
            case Command::Export: return Export(channel);
            case Command::Reset: return Reset(channel);
            case Command::SerialRate: return WriteSerialRate(channel);
            case Command::Search:
            case Command::List: return true;
        }
        return true;
    }

private:
    void Progress(const std::string& text) const {
        if (job_.progress) job_.progress(text);
    }

    bool Fail(const RT_CAN& channel, const StepResult& step) {
        const PortFailure failure = FailureOf(channel, step);
        report_.errorCode = failure.code;
        report_.errorMessage = failure.message;
        return false;
    }

    bool ReadAll(RT_CAN& channel) {
        Progress("reading settings");
        AdapterSettings settings;
        const StepResult step = ReadSettings(channel, &settings, job_.stop);
        if (!step.Ok()) return Fail(channel, step);
        report_.settings = settings;
        return true;
    }

    bool Write(RT_CAN& channel, const RegisterWrite& write) {
        Progress("writing " + SettingName(write.id));
        const StepResult step = WriteChecked(channel, write, job_.stop);
        if (!step.Ok()) return Fail(channel, step);
        report_.written.push_back(SettingName(write.id));
        return true;
    }

    // Reads, writes only what differs, reads everything back and compares.
    bool ApplyChange(RT_CAN& channel) {
        if (!ReadAll(channel)) return false;
        const AdapterSettings desired = Merged(*report_.settings, job_.invocation->change);
        const std::vector<RegisterWrite> writes = WritesBetween(*report_.settings, desired);
        if (job_.invocation->dryRun) {
            for (const RegisterWrite& w : writes) report_.wouldWrite.push_back(SettingName(w.id));
            return true;
        }
        if (writes.empty()) return true;
        for (const RegisterWrite& w : writes) {
            if (!Write(channel, w)) return false;
        }
        if (!ReadAll(channel)) return false;
        if (!(*report_.settings == desired)) {
            report_.errorCode = kMismatch;
            report_.errorMessage = "the settings read back differ from those written";
            return false;
        }
        return true;
    }

    bool Export(RT_CAN& channel) {
        if (!ReadAll(channel)) return false;
        const std::string& file = job_.invocation->outputFile;
        if (file.empty()) return true;
        std::string error;
        if (!WriteProfileFile(file, *report_.settings, &error)) {
            report_.errorCode = kWriteFailed;
            report_.errorMessage = error;
            return false;
        }
        report_.profileFile = file;
        return true;
    }

    bool Reset(RT_CAN& channel) {
        if (!Write(channel, FactoryResetWrite())) return false;
        return ReadAll(channel);
    }

    bool WriteSerialRate(RT_CAN& channel) {
        if (!Write(channel, SerialRateWrite(job_.invocation->serialRate))) return false;
        report_.serialRate = job_.invocation->serialRate;
        return true;
    }

    const PortJob& job_;
    PortReport& report_;
};

}  // namespace

PortReport RunPortJob(const PortJob& job) {
    const auto start = Clock::now();
    PortReport report;
    report.port = job.name.text;
    if (!job.target) {
        report.errorCode = kOpenFailed;
        report.errorMessage = "no port " + job.name.text + " in the port list";
        return report;
    }
    report.device = job.target->device;

    RT_CAN channel;
    ConnectRequest request;
    request.target = *job.target;
    request.baud = job.invocation->baud;
    request.search = job.invocation->search || job.invocation->command == Command::Search;
    request.stop = job.stop;
    request.onAttempt = [&job](std::uint32_t rate, int attempt, int attempts) {
        if (job.progress)
            job.progress("trying " + std::to_string(rate) + " (" + std::to_string(attempt) + " of " +
                         std::to_string(attempts) + ")");
    };
    if (job.progress) job.progress(request.search ? "searching the rate" : "connecting");
    PortFailure failure;
    const std::optional<Connected> connected = Connect(channel, request, &failure);
    if (!connected) {
        report.errorCode = failure.code;
        report.errorMessage = failure.message;
    } else {
        report.baud = connected->baud;
        report.identifier = IdentifierText(connected->identifier);
        JobRun run(job, report);
        report.ok = run.Run(channel);
    }
    channel.Close();
    report.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return report;
}

}  // namespace tavrol::cli
