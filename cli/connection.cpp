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

std::optional<Connected> ConnectAtRate(RT_CAN& channel, const ConnectRequest& request, PortFailure* failure) {
    Connected connected;
    const std::uint32_t baud = request.baud;
    switch (TryRate(channel, request.target, baud, &connected.identifier)) {
        case Attempt::Connected: connected.baud = baud; return connected;
        case Attempt::OpenFailed: *failure = {kOpenFailed, OpenFailureText(channel, request.target, baud)}; break;
        case Attempt::NoAnswer:
            *failure = {kNoAnswer, "no answer to the identifier read at " + std::to_string(baud)};
            break;
        case Attempt::Lost: *failure = {kPortLost, "the port hung up during the identifier read"}; break;
    }
    channel.Close();
    return std::nullopt;
}

std::optional<Connected> SearchRate(RT_CAN& channel, const ConnectRequest& request, PortFailure* failure) {
    Connected connected;
    const int attempts = static_cast<int>(kSerialRates.size());
    for (int i = 0; i < attempts; ++i) {
        if (Stopped(request.stop)) {
            *failure = Interrupted();
            break;
        }
        const std::uint32_t rate = kSerialRates[static_cast<std::size_t>(i)];
        if (request.onAttempt) request.onAttempt(rate, i + 1, attempts);
        const Attempt attempt = TryRate(channel, request.target, rate, &connected.identifier);
        if (attempt == Attempt::Connected) {
            connected.baud = rate;
            return connected;
        }
        // A port that cannot be opened at one rate will not open at the next.
        if (attempt == Attempt::OpenFailed) {
            *failure = {kOpenFailed, OpenFailureText(channel, request.target, rate)};
            break;
        }
        if (attempt == Attempt::Lost) {
            *failure = {kPortLost, "the port hung up during the rate search"};
            break;
        }
        channel.Close();
        *failure = {kNoAnswer, "no answer at any of the 29 rates"};
    }
    channel.Close();
    return std::nullopt;
}

}  // namespace

PortFailure FailureOf(const RT_CAN& channel, const StepResult& step) {
    const std::string what = (step.writing ? "writing " : "reading ") + SettingName(step.registerId);
    if (step.status == StepStatus::Stopped) return {kInterrupted, "stopped before " + what};
    if (channel.PortLost()) return {kPortLost, "the port hung up while " + what};
    if (step.status == StepStatus::Mismatch)
        return {kMismatch, SettingName(step.registerId) + " reads back another value than was written"};
    if (step.cfg == CFG_TIMEOUT) return {kTimeout, "no answer within 1000 ms while " + what};
    if (step.writing) return {kWriteFailed, what + " failed: the request could not be sent"};
    // The request went out and something answered, but not this register.
    return {kNoAnswer, what + " failed: no answer for that register"};
}

std::optional<Connected> Connect(RT_CAN& channel, const ConnectRequest& request, PortFailure* failure) {
    if (Stopped(request.stop)) {
        *failure = Interrupted();
        return std::nullopt;
    }
    return request.search ? SearchRate(channel, request, failure) : ConnectAtRate(channel, request, failure);
}

}  // namespace tavrol::cli
