#include "adapter_identifier.h"

#include <cstdio>

#include "rt_can.h"

namespace tavrol {

StepResult ReadIdentifier(RT_CAN& channel, AdapterIdentifier* identifier) {
    // One 8-byte buffer for both halves, as the connection has always read them.
    std::uint8_t buffer[8] = {};
    std::uint32_t length = 8;
    AdapterIdentifier id{};
    for (std::uint32_t reg : {REG_CPUID_LO, REG_CPUID_HI}) {
        const int r = channel.ReadRegister(reg, buffer, &length, kTransactionTimeoutMs);
        if (r != CFG_OK) {
            StepResult failed;
            failed.status = StepStatus::Failed;
            failed.registerId = reg;
            failed.cfg = r;
            return failed;
        }
        const std::size_t at = reg == REG_CPUID_LO ? 0 : 8;
        for (std::uint32_t i = 0; i < length && at + i < id.size(); ++i) id[at + i] = buffer[i];
    }
    *identifier = id;
    return {};
}

std::string IdentifierText(const AdapterIdentifier& identifier) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < identifier.size(); ++i) {
        if (i > 0 && i % 2 == 0) text += '-';
        std::snprintf(digits, sizeof digits, "%02x", identifier[i]);
        text += digits;
    }
    return text;
}

}  // namespace tavrol
