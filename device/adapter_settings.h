// The adapter's readable settings as one record, changes to some of them, and
// reading and writing them over the configuration channel the way the window
// does: every register access one transaction of 1000 ms, every write checked
// by reading the register back.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registers.h"

namespace tavrol {

class RT_CAN;

inline constexpr std::uint32_t kTransactionTimeoutMs = 1000;
inline constexpr std::uint32_t kMaxCanBitrate = 1000000;

struct AdapterSettings {
    std::uint32_t canBitrate = 0;
    bool retransmit = false;
    bool busOff = false;
    std::array<FilterSetting, kFilterCount> filters{};
};

bool operator==(const FilterSetting& a, const FilterSetting& b);
bool operator==(const AdapterSettings& a, const AdapterSettings& b);

// A change of one filter; what is left empty keeps the value read.
struct FilterChange {
    std::optional<bool> enabled;
    std::optional<bool> extended;
    std::optional<std::uint32_t> identifier;
    std::optional<std::uint32_t> mask;
};

// A change of some settings; what is left empty keeps the value read.
struct SettingsChange {
    std::optional<std::uint32_t> canBitrate;
    std::optional<bool> retransmit;
    std::optional<bool> busOff;
    std::array<std::optional<FilterChange>, kFilterCount> filters{};
};

// `current` with `change` applied; filter values trimmed to their format.
AdapterSettings Merged(const AdapterSettings& current, const SettingsChange& change);

// One register value to write.
struct RegisterWrite {
    std::uint32_t id = 0;
    std::array<std::uint8_t, 8> value{};
    std::uint32_t size = 0;
};

// The writes that take `current` to `desired`: only registers whose values
// differ, in the order the settings are read.
std::vector<RegisterWrite> WritesBetween(const AdapterSettings& current, const AdapterSettings& desired);

// The name a setting's register goes by in commands and profiles:
// "can-bitrate", "retransmit", "bus-off", "filter3", "serial-rate", "factory-reset".
std::string SettingName(std::uint32_t registerId);

// Identifier or mask text as the window shows it: hexadecimal, upper case,
// 8 digits for an extended filter and 3 for a standard one.
std::string FilterValueText(std::uint32_t value, bool extended);

// How a step over the channel ended.
enum class StepStatus {
    Ok,
    Failed,    // the transaction did not return CFG_OK (`cfg` says what it returned)
    Mismatch,  // a write was answered, but reading the register back gave another value
    Stopped,   // a stop was asked for before the transaction began
};

struct StepResult {
    StepStatus status = StepStatus::Ok;
    std::uint32_t registerId = 0;  // the register of the failed transaction
    bool writing = false;          // the failed transaction was a write
    int cfg = 1;                   // its result code
    bool Ok() const { return status == StepStatus::Ok; }
};

// Asked between transactions; a transaction in progress always ends first.
using StopFlag = const std::atomic<bool>*;

// Reads every readable setting: the 14 filters, then bus-off, retransmission
// and the CAN bit rate. The first failed read ends the step.
StepResult ReadSettings(RT_CAN& channel, AdapterSettings* settings, StopFlag stop = nullptr);

// Writes one register and reads it back; a read-back of another value is a
// mismatch. Registers that cannot be read (serial rate, factory reset) are
// only written.
StepResult WriteChecked(RT_CAN& channel, const RegisterWrite& write, StopFlag stop = nullptr);

// The register values for single settings.
RegisterWrite CanBitrateWrite(std::uint32_t bitrate);
RegisterWrite FlagWrite(std::uint32_t registerId, bool on);
RegisterWrite FilterWrite(int index, const FilterSetting& filter);
RegisterWrite SerialRateWrite(std::uint32_t rate);
RegisterWrite FactoryResetWrite();

}  // namespace tavrol
