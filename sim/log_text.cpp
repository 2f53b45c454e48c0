#include "log_text.h"

#include <algorithm>
#include <cstdio>

#include "registers.h"

namespace tavrol::sim {

namespace {

bool IsRegister(std::uint32_t id) { return RegisterSizeOf(id) != 0; }

std::string ValueText(std::uint32_t id, const std::uint8_t* data, std::uint32_t size) {
    char text[64];
    if (id >= REG_FILTER_0 && id <= REG_FILTER_13) {
        std::snprintf(text, sizeof text, "id 0x%08X mask 0x%08X", LoadLE32(data), LoadLE32(data + 4));
        return text;
    }
    // The identifier's bytes are no number: shown as they lie.
    if (IsRegister(id) && id != REG_CPUID_LO && id != REG_CPUID_HI) {
        if (size == 1) return std::to_string(data[0]);
        if (size == 4) return std::to_string(LoadLE32(data));
    }
    std::string out;
    for (std::uint32_t i = 0; i < size; ++i) {
        std::snprintf(text, sizeof text, "%s%02x", i ? " " : "", data[i]);
        out += text;
    }
    return out;
}

std::string HexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace

std::string RegisterName(std::uint32_t id) {
    switch (id) {
        case REG_USART_BAUD: return "REG_USART_BAUD";
        case REG_ART: return "REG_ART";
        case REG_ABOM: return "REG_ABOM";
        case REG_CAN_BAUD: return "REG_CAN_BAUD";
        case REG_FACTORY_RESET: return "REG_FACTORY_RESET";
        case REG_CPUID_LO: return "REG_CPUID_LO";
        case REG_CPUID_HI: return "REG_CPUID_HI";
        default: break;
    }
    if (id >= REG_FILTER_0 && id <= REG_FILTER_13) return "REG_FILTER_" + std::to_string(id - REG_FILTER_0);
    return HexText(id);
}

std::string RequestText(const Exchange& e) {
    const CanMessage& q = e.request;
    if (e.length != kCanMessageSize) return "frame of " + std::to_string(e.length) + " bytes";
    if (q.Kind != KIND_CONFIG) {
        char text[64];
        std::snprintf(text, sizeof text, "message Id 0x%X Kind 0x%02X", q.Id, q.Kind);
        return text;
    }
    if (q.Remote == 1) return "read " + RegisterName(q.Id);
    if (q.Remote == 0) {
        const std::uint32_t size = RegisterSizeOf(q.Id);
        const std::uint32_t shown = size != 0 ? size : std::min<std::uint32_t>(q.Dlc, 8);
        return "write " + RegisterName(q.Id) + " " + ValueText(q.Id, q.Data, shown) + " (Dlc " +
               std::to_string(q.Dlc) + ")";
    }
    return "request " + RegisterName(q.Id) + " Remote " + std::to_string(q.Remote);
}

std::string Describe(const Exchange& e) {
    const CanMessage& q = e.request;
    std::string line = RequestText(e);
    if (!e.answered) return line + " -> no reply (" + e.note + ")";
    const CanMessage& r = e.reply;
    const std::uint32_t size = std::min<std::uint32_t>(r.Dlc, 8);
    line += " -> " + ValueText(q.Id, r.Data, size) + " (Dlc " + std::to_string(r.Dlc) + ")";
    if (r.Id != q.Id) line += " with Id " + RegisterName(r.Id);
    if (!e.note.empty()) line += " [" + e.note + "]";
    return line;
}

}  // namespace tavrol::sim
