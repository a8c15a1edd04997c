#include "support/presence_notice.h"

namespace zul::test {

Bytes UserBlock(std::string_view login, const std::vector<Bytes>& tlvs) {
    ByteWriter w;
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0);
    w.U16(static_cast<uint16_t>(tlvs.size()));
    for (const Bytes& tlv : tlvs) w.Raw(tlv);
    return w.bytes;
}

Bytes StatusTlv(uint16_t statusWord) {
    return ByteWriter().TlvU32(0x0006, statusWord).bytes;
}

Bytes ClassTlv(uint16_t userClass) {
    return ByteWriter().TlvU16(0x0001, userClass).bytes;
}

Bytes SessionDataTlv(const std::vector<Bytes>& items) {
    return ByteWriter().Tlv(0x001D, Concat(items)).bytes;
}

Bytes Item(uint16_t type, uint8_t flags, std::span<const uint8_t> data) {
    ByteWriter w;
    w.U16(type).U8(flags).U8(static_cast<uint8_t>(data.size())).Raw(data);
    return w.bytes;
}

Bytes StatusTextItem(std::string_view text, uint16_t encoding) {
    ByteWriter data;
    data.U16(static_cast<uint16_t>(text.size())).Raw(text).U16(encoding);
    return Item(0x0002, 0x04, data.bytes);
}

Bytes TextTimeItem(uint32_t time) {
    return Item(0x000D, 0x00, ByteWriter().U32(time).bytes);
}

Bytes MoodItem(std::string_view name) {
    return Item(0x000E, 0x00, ByteWriter().Raw(name).bytes);
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace zul::test
