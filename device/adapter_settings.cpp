#include "adapter_settings.h"

#include <cstdio>
#include <cstring>

#include "can_message.h"
#include "rt_can.h"

namespace tavrol {

namespace {

bool StopAsked(StopFlag stop) { return stop != nullptr && stop->load(); }

StepResult Failure(StepStatus status, std::uint32_t id, bool writing, int cfg) {
    StepResult r;
    r.status = status;
    r.registerId = id;
    r.writing = writing;
    r.cfg = cfg;
    return r;
}

FilterSetting Trimmed(FilterSetting f) {
    const std::uint32_t width = f.extended ? kExtendedIdMask : kStandardIdMask;
    f.identifier &= width;
    f.mask &= width;
    return f;
}

// What a register's value means, so a read-back that differs only in bits
// without meaning is no mismatch.
bool SameMeaning(std::uint32_t id, const std::uint8_t* a, const std::uint8_t* b) {
    if (id == REG_ART || id == REG_ABOM) return (a[0] != 0) == (b[0] != 0);
    if (id >= REG_FILTER_0 && id <= REG_FILTER_13) return DecodeFilter(a) == DecodeFilter(b);
    return std::memcmp(a, b, RegisterSizeOf(id)) == 0;
}

StepResult ReadOne(RT_CAN& channel, std::uint32_t id, std::uint8_t* value, StopFlag stop) {
    if (StopAsked(stop)) return Failure(StepStatus::Stopped, id, false, CFG_FAIL);
    std::uint32_t length = 8;
    const int r = channel.ReadRegister(id, value, &length, kTransactionTimeoutMs);
    if (r != CFG_OK) return Failure(StepStatus::Failed, id, false, r);
    return {};
}

}  // namespace

bool operator==(const FilterSetting& a, const FilterSetting& b) {
    return a.enabled == b.enabled && a.extended == b.extended && a.identifier == b.identifier && a.mask == b.mask;
}

bool operator==(const AdapterSettings& a, const AdapterSettings& b) {
    return a.canBitrate == b.canBitrate && a.retransmit == b.retransmit && a.busOff == b.busOff &&
           a.filters == b.filters;
}

AdapterSettings Merged(const AdapterSettings& current, const SettingsChange& change) {
    AdapterSettings s = current;
    if (change.canBitrate) s.canBitrate = *change.canBitrate;
    if (change.retransmit) s.retransmit = *change.retransmit;
    if (change.busOff) s.busOff = *change.busOff;
    for (int i = 0; i < kFilterCount; ++i) {
        const auto& c = change.filters[static_cast<std::size_t>(i)];
        if (!c) continue;
        FilterSetting& f = s.filters[static_cast<std::size_t>(i)];
        if (c->enabled) f.enabled = *c->enabled;
        if (c->extended) f.extended = *c->extended;
        if (c->identifier) f.identifier = *c->identifier;
        if (c->mask) f.mask = *c->mask;
        f = Trimmed(f);
    }
    return s;
}

RegisterWrite CanBitrateWrite(std::uint32_t bitrate) {
    RegisterWrite w{REG_CAN_BAUD, {}, 4};
    StoreLE32(w.value.data(), bitrate);
    return w;
}

RegisterWrite FlagWrite(std::uint32_t registerId, bool on) {
    RegisterWrite w{registerId, {}, 1};
    w.value[0] = on ? 1 : 0;
    return w;
}

RegisterWrite FilterWrite(int index, const FilterSetting& filter) {
    return {REG_FILTER_0 + static_cast<std::uint32_t>(index),
            EncodeFilter(filter.identifier, filter.mask, filter.enabled, filter.extended), 8};
}

RegisterWrite SerialRateWrite(std::uint32_t rate) {
    RegisterWrite w{REG_USART_BAUD, {}, 4};
    StoreLE32(w.value.data(), rate);
    return w;
}

RegisterWrite FactoryResetWrite() {
    RegisterWrite w{REG_FACTORY_RESET, {}, 4};
    StoreLE32(w.value.data(), 1);
    return w;
}

std::vector<RegisterWrite> WritesBetween(const AdapterSettings& current, const AdapterSettings& desired) {
    std::vector<RegisterWrite> writes;
    for (int i = 0; i < kFilterCount; ++i) {
        const auto n = static_cast<std::size_t>(i);
        if (!(current.filters[n] == desired.filters[n])) writes.push_back(FilterWrite(i, desired.filters[n]));
    }
    if (current.busOff != desired.busOff) writes.push_back(FlagWrite(REG_ABOM, desired.busOff));
    if (current.retransmit != desired.retransmit) writes.push_back(FlagWrite(REG_ART, desired.retransmit));
    if (current.canBitrate != desired.canBitrate) writes.push_back(CanBitrateWrite(desired.canBitrate));
    return writes;
}

std::string SettingName(std::uint32_t registerId) {
    switch (registerId) {
        case REG_CAN_BAUD: return "can-bitrate";
        case REG_ART: return "retransmit";
        case REG_ABOM: return "bus-off";
        case REG_USART_BAUD: return "serial-rate";
        case REG_FACTORY_RESET: return "factory-reset";
        case REG_CPUID_LO:
        case REG_CPUID_HI: return "identifier";
        default: break;
    }
    if (registerId >= REG_FILTER_0 && registerId <= REG_FILTER_13)
        return "filter" + std::to_string(registerId - REG_FILTER_0);
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", registerId);
    return text;
}

std::string FilterValueText(std::uint32_t value, bool extended) {
    char text[16];
    std::snprintf(text, sizeof text, extended ? "%08X" : "%03X", value);
    return text;
}

StepResult ReadSettings(RT_CAN& channel, AdapterSettings* settings, StopFlag stop) {
    AdapterSettings s;
    std::uint8_t value[8] = {};
    for (int i = 0; i < kFilterCount; ++i) {
        const StepResult r = ReadOne(channel, REG_FILTER_0 + static_cast<std::uint32_t>(i), value, stop);
        if (!r.Ok()) return r;
        s.filters[static_cast<std::size_t>(i)] = DecodeFilter(value);
    }
    if (StepResult r = ReadOne(channel, REG_ABOM, value, stop); !r.Ok()) return r;
    s.busOff = value[0] != 0;
    if (StepResult r = ReadOne(channel, REG_ART, value, stop); !r.Ok()) return r;
    s.retransmit = value[0] != 0;
    if (StepResult r = ReadOne(channel, REG_CAN_BAUD, value, stop); !r.Ok()) return r;
    s.canBitrate = LoadLE32(value);
    *settings = s;
    return {};
}

StepResult WriteChecked(RT_CAN& channel, const RegisterWrite& write, StopFlag stop) {
    if (StopAsked(stop)) return Failure(StepStatus::Stopped, write.id, true, CFG_FAIL);
    std::uint32_t length = write.size;
    const int r = channel.WriteRegister(write.id, write.value.data(), &length, kTransactionTimeoutMs);
    if (r != CFG_OK) return Failure(StepStatus::Failed, write.id, true, r);
    if (write.id == REG_USART_BAUD || write.id == REG_FACTORY_RESET) return {};
    std::uint8_t back[8] = {};
    if (StepResult read = ReadOne(channel, write.id, back, stop); !read.Ok()) return read;
    if (!SameMeaning(write.id, write.value.data(), back)) return Failure(StepStatus::Mismatch, write.id, true, CFG_OK);
    return {};
}

}  // namespace tavrol
