#include "registers.h"

#include "can_message.h"

namespace tavrol {

FilterSetting DecodeFilter(const std::uint8_t value[8]) {
    const std::uint32_t idWord = LoadLE32(value);
    const std::uint32_t maskWord = LoadLE32(value + 4);
    FilterSetting f;
    f.enabled = (idWord & FILTER_ENABLED) != 0;
    f.extended = (idWord & FILTER_EXTENDED) != 0;
    const std::uint32_t width = f.extended ? kExtendedIdMask : kStandardIdMask;
    f.identifier = idWord & width;
    f.mask = maskWord & width;
    return f;
}

std::array<std::uint8_t, 8> EncodeFilter(std::uint32_t identifier, std::uint32_t mask, bool enabled,
                                         bool extended) {
    std::uint32_t idWord = identifier & kExtendedIdMask;
    if (enabled) idWord |= FILTER_ENABLED;
    if (extended) idWord |= FILTER_EXTENDED;
    std::array<std::uint8_t, 8> value{};
    StoreLE32(value.data(), idWord);
    StoreLE32(value.data() + 4, mask);
    return value;
}

}  // namespace tavrol
