#include <gtest/gtest.h>

#include "can_message.h"
#include "registers.h"
#include "rt_can.h"

namespace tavrol {
namespace {

TEST(Registers, SizeOfEveryIdentifier) {
    struct Case {
        std::uint32_t id, size;
    } cases[] = {
        {0x1FFFE90, 4}, {0x1FFFEA0, 1}, {0x1FFFEB0, 1}, {0x1FFFEC0, 0}, {0x1FFFED0, 4}, {0x1FFFEDF, 0},
        {0x1FFFEE0, 8}, {0x1FFFEE7, 8}, {0x1FFFEED, 8}, {0x1FFFEEE, 0}, {0x1FFFEFF, 4}, {0x1FFFFF0, 8},
        {0x1FFFFF1, 4}, {0x1FFFFF2, 0}, {0, 0},         {0x81FFFEA0, 0},
    };
    RT_CAN channel;  // its virtual RegisterSize must give the same table
    for (const Case& c : cases) {
        EXPECT_EQ(RegisterSizeOf(c.id), c.size) << std::hex << c.id;
        EXPECT_EQ(channel.RegisterSize(c.id), c.size) << std::hex << c.id;
    }
    int registers = 0;
    for (std::uint32_t id = 0x1FFFE00; id <= 0x1FFFFFF; ++id) registers += RegisterSizeOf(id) != 0;
    EXPECT_EQ(registers, 21);
}

TEST(CanMessage, BytesAreLaidOutAsOnTheWire) {
    CanMessage m;
    m.Id = 0x1FFFED0;
    const std::uint8_t data[8] = {0x20, 0xA1, 0x07, 0x00, 5, 6, 7, 8};
    std::copy(data, data + 8, m.Data);
    m.Dlc = 4;
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    m.Remote = 0;
    const CanMessageBytes b = ToBytes(m);
    EXPECT_EQ(b, (CanMessageBytes{0xD0, 0xFE, 0xFF, 0x01, 0x20, 0xA1, 0x07, 0x00, 5, 6, 7, 8, 4, 0xFF, 1, 0}));
    const CanMessage back = FromBytes(b.data());
    EXPECT_EQ(back.Id, m.Id);
    EXPECT_EQ(ToBytes(back), b);
}

TEST(FilterValue, DecodeTrimsToTheFormatsWidth) {
    struct Case {
        std::uint32_t idWord, maskWord;
        bool enabled, extended;
        std::uint32_t id, mask;
    } cases[] = {
        {0xC0000123, 0x1FFFFFFF, true, true, 0x123, 0x1FFFFFFF},
        {0x800007FF, 0xFFFFFFFF, true, false, 0x7FF, 0x7FF},
        {0x00012345, 0x00000000, false, false, 0x345, 0x000},
        {0x7FFFFFFF, 0xFFFFFFFF, false, true, 0x1FFFFFFF, 0x1FFFFFFF},  // bit 29 has no meaning
    };
    for (const Case& c : cases) {
        std::uint8_t value[8];
        StoreLE32(value, c.idWord);
        StoreLE32(value + 4, c.maskWord);
        const FilterSetting f = DecodeFilter(value);
        EXPECT_EQ(f.enabled, c.enabled) << std::hex << c.idWord;
        EXPECT_EQ(f.extended, c.extended) << std::hex << c.idWord;
        EXPECT_EQ(f.identifier, c.id) << std::hex << c.idWord;
        EXPECT_EQ(f.mask, c.mask) << std::hex << c.idWord;
    }
}

TEST(FilterValue, EncodeSetsFlagsWithoutTrimming) {
    struct Case {
        std::uint32_t id, mask;
        bool enabled, extended;
        std::array<std::uint8_t, 8> bytes;
    } cases[] = {
        {0x1234, 0x7FF, true, false, {0x34, 0x12, 0x00, 0x80, 0xFF, 0x07, 0x00, 0x00}},
        {0x1ABCDEF, 0xFFF, false, true, {0xEF, 0xCD, 0xAB, 0x41, 0xFF, 0x0F, 0x00, 0x00}},
        {0, 0, false, false, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0x123, 0x1FFFFFFF, true, true, {0x23, 0x01, 0x00, 0xC0, 0xFF, 0xFF, 0xFF, 0x1F}},
        // Bits above the identifier never become flags; the mask is sent whole.
        {0x9ABCDEF0, 0xFFFFFFFF, false, true, {0xF0, 0xDE, 0xBC, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) EXPECT_EQ(EncodeFilter(c.id, c.mask, c.enabled, c.extended), c.bytes);
}

}  // namespace
}  // namespace tavrol
