// Items of the server-side contact list as they travel in the list family: reading the
// items of a list reply and writing one item back.
//
// Item: name length (16), name (UTF-8), group id (16), item id (16), item type (16),
// TLV block length (16), TLVs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/transport/packet.h"

namespace zul {

// Item types.
namespace listitem {
constexpr uint16_t kBuddy = 0x0000;
constexpr uint16_t kGroup = 0x0001;
constexpr uint16_t kPermit = 0x0002;    // visible list
constexpr uint16_t kDeny = 0x0003;      // invisible list
constexpr uint16_t kSettings = 0x0004;  // permit/deny settings
constexpr uint16_t kIgnore = 0x000E;
constexpr uint16_t kPicture = 0x0014;  // the user's own picture, by its hash
}  // namespace listitem

// TLV of the picture item: flags (8), hash length (8), hash.
constexpr uint16_t kPictureInfoTlv = 0x00D5;
// The picture item's name: the picture type (buddy icon) as text.
constexpr std::string_view kPictureItemName = "1";

// TLVs of a buddy item.
namespace buddytlv {
constexpr uint16_t kAwaitingAuth = 0x0066;
constexpr uint16_t kNickname = 0x0131;
constexpr uint16_t kEmail = 0x0137;
constexpr uint16_t kPhone = 0x013A;
constexpr uint16_t kNote = 0x013C;
}  // namespace buddytlv

// TLV of the settings item holding the privacy mode.
constexpr uint16_t kPrivacyModeTlv = 0x00CA;

// Kind of the pending request of a buddy removal; its text is the buddy's login.
constexpr uint32_t kPendingBuddyRemoval = 0x0013000A;
// Kind of the pending request of a nickname change; text: the login, data: the new nickname
// in UTF-8.
constexpr uint32_t kPendingBuddyRename = 0x00130009;
// Kinds of the pending requests of a buddy addition (data: its fields, see list_family.cpp),
// the first try and the one with the awaiting-authorisation mark.
constexpr uint32_t kPendingBuddyAdd = 0x00130008;
constexpr uint32_t kPendingBuddyAddAuth = 0x00130018;
// Kind of the pending request of a move's new buddy item (data as for an addition, with the
// old group and item ids).
constexpr uint32_t kPendingBuddyMove = 0x00130108;
// Kinds of the pending requests of group changes; data: the group id (2 bytes), then the
// name in UTF-8.
constexpr uint32_t kPendingGroupAdd = 0x00130208;
constexpr uint32_t kPendingGroupRename = 0x00130209;
constexpr uint32_t kPendingGroupDelete = 0x0013020A;
// Kind of the pending request of an edit of the picture item.
constexpr uint32_t kPendingPictureItem = 0x00130308;

struct ServerListItem {
    std::u16string name;
    uint16_t groupId = 0;
    uint16_t itemId = 0;
    uint16_t type = 0;
    TlvList tlvs;
    // The TLV block was not well-formed: `tlvs` holds the items before the fault.
    bool tlvsCut = false;
};

// Reads one item at the reader's position. False when its name or TLV block runs past the
// reader's bytes; a TLV running past its block only cuts the item's TLVs (tlvsCut).
bool ReadServerListItem(ByteReader& reader, ServerListItem& item);

// The items of a list reply (SNAC(0x13,0x06) data: version, item count, items, time).
// Nothing when the reply is malformed: then none of its items may be used.
std::optional<std::vector<ServerListItem>> ParseServerListReply(ByteSpan snacData);

// What a buddy item says about the contact.
struct BuddyFields {
    std::u16string nickname, note, email, phone;
    bool awaitingAuth = false;
};
BuddyFields ReadBuddyFields(const TlvList& tlvs);

// Appends one TLV to a TLV block; a value is cut to 0xFFFF bytes.
void AppendTlvBytes(std::vector<uint8_t>& block, uint16_t type, std::string_view value);

// Writes one item. The name is cut to 0xFFFF bytes, the TLV block likewise.
void AppendServerListItem(COscarPacket& frame, std::string_view nameUtf8, uint16_t groupId,
                          uint16_t itemId, uint16_t type, ByteSpan tlvBlock);

}  // namespace zul
