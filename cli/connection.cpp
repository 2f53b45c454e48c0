#include "connection.h"

#include <cstring>

#include "serial_rates.h"

namespace tavrol::cli {

namespace {

std::string OpenFailureText(const RT_CAN& channel, const PortTarget& target, std::uint32_t baud) {
    const int error = channel.LastError();
    std::string text = "cannot open " + target.device + " at " + std::to_string(baud);
    if (error != 0) text += std::string(": ") + std::strerror(error);
    return text;
}

bool Stopped(StopFlag stop) { return stop != nullptr && stop->load(); }

PortFailure Interrupted() { return {kInterrupted, "stopped before the connection was made"}; }

// One attempt: open at `baud` and read both identifier registers.
enum class Attempt { Connected, OpenFailed, NoAnswer, Lost };

Attempt TryRate(RT_CAN& channel, const PortTarget& target, std::uint32_t baud, AdapterIdentifier* identifier) {
    if (channel.OpenTarget(target, static_cast<int>(baud)) == 0) return Attempt::OpenFailed;
    if (ReadIdentifier(channel, identifier).Ok()) return Attempt::Connected;
    return channel.PortLost() ? Attempt::Lost : Attempt::NoAnswer;
}

}  // namespace

PortFailure FailureOf(const RT_CAN& channel, const StepResult& step) {
    const std::string what = (step.writing ? "writing " : "reading ") + SettingName(step.registerId);
    if (step.status == StepStatus::Stopped) return {kInterrupted, "stopped before " + what};
    if (channel.PortLost()) return {kPortLost, "the port hung up while " + what};
    if (step.status == StepStatus::Mismatch) return {kMismatch, SettingName(step.registerId) + " reads back another value than was written"};
    if (step.cfg == CFG_TIMEOUT) return {kTimeout, "no answer within 1000 ms while " + what};
    return {kWriteFailed, what + " failed"};
}

std::optional<Connected> Connect(RT_CAN& channel, const ConnectRequest& request, PortFailure* failure) {
    Connected connected;
    if (!request.search) {
        if (Stopped(request.stop)) return *failure = Interrupted(), std::nullopt;
        switch (TryRate(channel, request.target, request.baud, &connected.identifier)) {
            case Attempt::Connected: connected.baud = request.baud; return connected;
            case Attempt::OpenFailed: *failure = {kOpenFailed, OpenFailureText(channel, request.target, request.baud)}; break;
            case Attempt::NoAnswer: *failure = {kNoAnswer, "no answer to the identifier read at " + std::to_string(request.baud)}; break;
            case Attempt::Lost: *failure = {kPortLost, "the port hung up during the identifier read"}; break;
        }
        channel.Close();
        return std::nullopt;
    }
    const int attempts = static_cast<int>(kSerialRates.size());
    for (int i = 0; i < attempts; ++i) {
        const std::uint32_t rate = kSerialRates[static_cast<std::size_t>(i)];
        if (Stopped(request.stop)) return channel.Close(), *failure = Interrupted(), std::nullopt;
        if (request.onAttempt) request.onAttempt(rate, i + 1, attempts);
        const Attempt attempt = TryRate(channel, request.target, rate, &connected.identifier);
        if (attempt == Attempt::Connected) {
            connected.baud = rate;
            return connected;
        }
        // A port that cannot be opened at one rate will not open at the next.
        if (attempt == Attempt::OpenFailed) {
            *failure = {kOpenFailed, OpenFailureText(channel, request.target, rate)};
            channel.Close();
            return std::nullopt;
        }
        channel.Close();
        if (attempt == Attempt::Lost) return *failure = {kPortLost, "the port hung up during the rate search"}, std::nullopt;
    }
    *failure = {kNoAnswer, "no answer at any of the 29 rates"};
    return std::nullopt;
}

}  // namespace tavrol::cli
