// Connecting to one adapter the way the window does: open the port at a rate,
// read REG_CPUID_LO then REG_CPUID_HI; or search the 29 rates in order, one
// attempt each, stopping at once when the port cannot be opened.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "adapter_identifier.h"
#include "port_catalog.h"
#include "rt_can.h"

namespace tavrol::cli {

// Failure codes of a port, as scripts see them.
inline constexpr const char* kOpenFailed = "open-failed";
inline constexpr const char* kNoAnswer = "no-answer";
inline constexpr const char* kTimeout = "timeout";
inline constexpr const char* kWriteFailed = "write-failed";
inline constexpr const char* kMismatch = "mismatch";
inline constexpr const char* kPortLost = "port-lost";
inline constexpr const char* kInterrupted = "interrupted";

struct PortFailure {
    std::string code;
    std::string message;
};

struct ConnectRequest {
    PortTarget target;
    std::uint32_t baud = 115200;  // ignored when searching
    bool search = false;
    StopFlag stop = nullptr;
    // Told of each rate the search tries ("9600", 9 of 29).
    std::function<void(std::uint32_t rate, int attempt, int attempts)> onAttempt;
};

struct Connected {
    std::uint32_t baud = 0;
    AdapterIdentifier identifier{};
};

// The connected rate and identifier, or why the port failed. On failure the
// channel is closed.
std::optional<Connected> Connect(RT_CAN& channel, const ConnectRequest& request, PortFailure* failure);

// What a failed step means for the port: port-lost when the port hung up,
// else timeout, mismatch, write-failed (a write that could not be sent) or
// no-answer (a read answered for another register).
PortFailure FailureOf(const RT_CAN& channel, const StepResult& step);

}  // namespace tavrol::cli
