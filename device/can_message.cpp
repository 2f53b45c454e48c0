#include "can_message.h"

#include <cstring>

namespace tavrol {

CanMessageBytes ToBytes(const CanMessage& m) {
    CanMessageBytes b{};
    StoreLE32(b.data(), m.Id);
    std::memcpy(b.data() + 4, m.Data, 8);
    b[12] = m.Dlc;
    b[13] = m.Kind;
    b[14] = m.Extended;
    b[15] = m.Remote;
    return b;
}

CanMessage FromBytes(const std::uint8_t* bytes) {
    CanMessage m;
    m.Id = LoadLE32(bytes);
    std::memcpy(m.Data, bytes + 4, 8);
    m.Dlc = bytes[12];
    m.Kind = bytes[13];
    m.Extended = bytes[14];
    m.Remote = bytes[15];
    return m;
}

}  // namespace tavrol
