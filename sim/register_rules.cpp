#include "register_rules.h"

#include <cstring>

#include "registers.h"

namespace tavrol::sim {

namespace {

// Why a frame gets no reply, or empty when the rules answer it.
std::string Refusal(const CanMessage& q, std::uint32_t length) {
    if (length != kCanMessageSize) return "not a 16-byte message";
    if (q.Kind != KIND_CONFIG) return "not a configuration message";
    if (q.Remote > 1) return "Remote is neither 0 nor 1";
    const std::uint32_t size = RegisterSizeOf(q.Id);
    if (size == 0) return "unknown register";
    if (q.Remote == 0 && (q.Dlc < size || q.Dlc > 8)) {
        return "Dlc " + std::to_string(q.Dlc) + " does not fit the register's size " + std::to_string(size);
    }
    return {};
}

// Applies a write (when `write`) and puts the register's value in `value`.
void Access(const CanMessage& q, bool write, Registers& r, const Identifier& identifier, std::uint8_t value[8]) {
    switch (q.Id) {
        case REG_USART_BAUD:
            // A rate of 0 would leave no speed to reach the adapter at.
            if (write && LoadLE32(q.Data) != 0) r.pendingSerialRate = LoadLE32(q.Data);
            StoreLE32(value, r.pendingSerialRate);
            break;
        case REG_ART:
            if (write) r.art = q.Data[0];
            value[0] = r.art;
            break;
        case REG_ABOM:
            if (write) r.abom = q.Data[0];
            value[0] = r.abom;
            break;
        case REG_CAN_BAUD:
            if (write) r.canBaud = LoadLE32(q.Data);
            StoreLE32(value, r.canBaud);
            break;
        case REG_FACTORY_RESET:
            if (write) {
                const std::uint32_t inEffect = r.serialRate;
                r = Registers{};
                r.serialRate = inEffect;  // the factory rate waits for the next connection
                std::memcpy(value, q.Data, 4);
            }
            break;
        case REG_CPUID_LO:
            std::memcpy(value, identifier.data(), 8);
            break;
        case REG_CPUID_HI:
            std::memcpy(value, identifier.data() + 8, 4);
            break;
        default: {
            auto& filter = r.filters[q.Id - REG_FILTER_0];
            if (write) std::memcpy(filter.data(), q.Data, 8);
            std::memcpy(value, filter.data(), 8);
            break;
        }
    }
}

}  // namespace

Verdict DecideRequest(const CanMessage& q, std::uint32_t length, Registers& registers,
                      const Identifier& identifier) {
    Verdict v;
    v.note = Refusal(q, length);
    if (!v.note.empty()) return v;
    const std::uint32_t size = RegisterSizeOf(q.Id);
    std::uint8_t value[8] = {};
    Access(q, q.Remote == 0, registers, identifier, value);
    v.reply = true;
    v.message.Id = q.Id;
    std::memcpy(v.message.Data, value, size);
    v.message.Dlc = static_cast<std::uint8_t>(size);
    v.message.Kind = KIND_CONFIG;
    v.message.Extended = 1;
    v.message.Remote = 0;
    return v;
}

bool TakePendingRateAtSpeed(Registers& r, std::uint32_t lineSpeed) {
    if (lineSpeed == 0 || lineSpeed == r.serialRate || r.pendingSerialRate == r.serialRate) return false;
    r.serialRate = r.pendingSerialRate;
    return true;
}

}  // namespace tavrol::sim
