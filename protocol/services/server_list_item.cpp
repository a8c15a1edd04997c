#include "protocol/services/server_list_item.h"

#include <algorithm>

namespace zul {
namespace {

std::u16string TlvText(const TlvList& tlvs, uint16_t type) {
    const Tlv* tlv = tlvs.Find(type);
    if (tlv == nullptr) return std::u16string();
    return CountedUtf8ToWide(tlv->value.data(), tlv->value.size());
}

}  // namespace

bool ReadServerListItem(ByteReader& reader, ServerListItem& item) {
    ByteSpan name = reader.ReadBytes(reader.ReadU16());
    item.groupId = reader.ReadU16();
    item.itemId = reader.ReadU16();
    item.type = reader.ReadU16();
    ByteSpan block = reader.ReadBytes(reader.ReadU16());
    if (!reader.ok()) return false;
    item.name = CountedUtf8ToWide(name.data(), name.size());
    // The item's own length bounds its block: a block that is not well-formed TLVs (servers
    // have been seen to store text there) costs that item its later TLVs, not the list.
    item.tlvsCut = item.tlvs.Parse(block) != block.size();
    return true;
}

std::optional<std::vector<ServerListItem>> ParseServerListReply(ByteSpan snacData) {
    ByteReader reader(snacData);
    reader.ReadU8();  // version
    const uint16_t count = reader.ReadU16();
    if (!reader.ok()) return std::nullopt;
    std::vector<ServerListItem> items;
    // Every item takes at least 10 bytes; a count the reply cannot hold fails below anyway.
    items.reserve(std::min<size_t>(count, reader.Remaining() / 10));
    for (uint16_t i = 0; i < count; ++i) {
        ServerListItem item;
        if (!ReadServerListItem(reader, item)) return std::nullopt;
        items.push_back(std::move(item));
    }
    // The time of the list's last change follows; it is not used.
    return items;
}

BuddyFields ReadBuddyFields(const TlvList& tlvs) {
    BuddyFields fields;
    fields.nickname = TlvText(tlvs, buddytlv::kNickname);
    fields.note = TlvText(tlvs, buddytlv::kNote);
    fields.email = TlvText(tlvs, buddytlv::kEmail);
    fields.phone = TlvText(tlvs, buddytlv::kPhone);
    fields.awaitingAuth = tlvs.Has(buddytlv::kAwaitingAuth);
    return fields;
}

void AppendTlvBytes(std::vector<uint8_t>& block, uint16_t type, std::string_view value) {
    value = value.substr(0, 0xFFFF);
    const size_t n = value.size();
    block.insert(block.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                               static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    block.insert(block.end(), value.begin(), value.end());
}

void AppendServerListItem(COscarPacket& frame, std::string_view nameUtf8, uint16_t groupId,
                          uint16_t itemId, uint16_t type, ByteSpan tlvBlock) {
    std::string_view name = nameUtf8.substr(0, 0xFFFF);
    ByteSpan block = tlvBlock.first(std::min<size_t>(tlvBlock.size(), 0xFFFF));
    frame.AppendU16(static_cast<uint16_t>(name.size()));
    frame.AppendBytes(name);
    frame.AppendU16(groupId);
    frame.AppendU16(itemId);
    frame.AppendU16(type);
    frame.AppendU16(static_cast<uint16_t>(block.size()));
    frame.AppendBytes(block);
}

}  // namespace zul
