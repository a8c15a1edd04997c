// Builders of presence notices as the service server sends them (SNAC(0x03,0x0B) and 0x0C):
// user blocks with their TLVs, and the session-data items of TLV 0x001D.
#pragma once

#include <string>
#include <vector>

#include "support/oscar_server.h"

namespace zul::test {

// One user block: login length, login, warning level 0, TLV count, the TLVs (each already
// encoded with ByteWriter::Tlv or the helpers below).
Bytes UserBlock(std::string_view login, const std::vector<Bytes>& tlvs);

// TLV 0x0006 with the flags word 0 and the status word.
Bytes StatusTlv(uint16_t statusWord);
// TLV 0x0001 with the user class.
Bytes ClassTlv(uint16_t userClass);
// TLV 0x001D holding the items.
Bytes SessionDataTlv(const std::vector<Bytes>& items);

// One session-data item: type, flags, length, data.
Bytes Item(uint16_t type, uint8_t flags, std::span<const uint8_t> data);
// Item 0x0002 with flag 0x04: text length, text, encoding word.
Bytes StatusTextItem(std::string_view text, uint16_t encoding = 0);
// Item 0x000D with a 32-bit time.
Bytes TextTimeItem(uint32_t time);
// Item 0x000E with a mood name.
Bytes MoodItem(std::string_view name);

Bytes Concat(const std::vector<Bytes>& parts);

}  // namespace zul::test
