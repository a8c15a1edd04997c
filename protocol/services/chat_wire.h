// The wire formats of chat rooms without any session: the room navigation's answers (0x0D),
// the room connection's member lists and messages (0x0E), the room reference of a service
// request, and invitations (channel-2 rendezvous with the chat capability).
//
// Every parser reads only inside the bytes it is given; a record whose lengths do not fit
// makes the whole SNAC malformed and the parser returns nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/transport/packet.h"
#include "storage/rooms.h"

namespace zul {

constexpr uint16_t kNavFamily = 0x000D;
constexpr uint16_t kRoomFamily = 0x000E;
// The exchange where users create their own rooms.
constexpr uint16_t kUserExchange = 4;
// The chat capability of a rendezvous.
extern const std::array<uint8_t, 16> kChatCapability;

// A room as the navigation or the room connection describes it.
struct RoomInfo {
    RoomRef ref;
    uint8_t detail = 0;
    std::u16string name;  // TLV 0xD3; empty when absent
};
// exchange, cookie (8-bit length), instance, detail level, TLV count, TLVs. Nothing when cut
// short, when the cookie is empty, or when the name is longer than a room name may be.
std::optional<RoomInfo> ParseRoomInfo(ByteSpan bytes);

// SNAC(0x0D,0x09): the most rooms at once (TLV 0x02), the exchanges described (TLV 0x03) and
// the room created or found (TLV 0x04).
struct NavInfo {
    std::optional<uint8_t> maxRooms;
    std::vector<uint16_t> exchanges;
    std::optional<RoomInfo> room;
    bool badRoom = false;  // TLV 0x04 was there but malformed
};
NavInfo ParseNavInfo(ByteSpan snacData);

// SNAC(0x0E,0x03) and (0x0E,0x04): the screen names of the user blocks. Nothing when a block
// is cut short.
std::optional<std::vector<std::u16string>> ParseRoomUsers(ByteSpan snacData);

// SNAC(0x0E,0x06): the sender (TLV 0x03's user block) and the text of TLV 0x05 in its
// charset, HTML made plain.
struct RoomMessage {
    std::u16string sender;
    std::u16string text;
};
std::optional<RoomMessage> ParseRoomMessage(ByteSpan snacData);
// The text of a message-information block (TLV 0x01 in the charset of TLV 0x02).
std::u16string RoomMessageText(ByteSpan info);

// SNAC(0x0D,0x08): create (or find) the room of that name on the exchange.
void AppendCreateRoom(COscarPacket& frame, uint16_t exchange, std::u16string_view name);
// The room reference of a service request and of an invitation: exchange, cookie with an
// 8-bit length, instance.
void AppendRoomRef(COscarPacket& frame, const RoomRef& ref);
std::vector<uint8_t> RoomRefBytes(const RoomRef& ref);
// Reads a room reference; nothing when cut short, with bytes left over, or an empty cookie.
std::optional<RoomRef> ParseRoomRef(ByteSpan bytes);
// SNAC(0x0E,0x05): a message to everyone in the room, ASCII as such, other text as UCS-2.
void AppendRoomMessage(COscarPacket& frame, uint64_t cookie, std::u16string_view text);

// What a channel-2 message with the chat capability carries.
struct RoomInvitationWire {
    std::u16string from;
    std::array<uint8_t, 8> cookie{};
    uint16_t kind = 0;  // 0 a proposal, 1 a cancel (declined), 2 an accept
    RoomRef ref;
    std::u16string text;
};
enum class InvitationParse { kNotAnInvitation, kMalformed, kOk };
InvitationParse ParseRoomInvitation(ByteSpan snacData, RoomInvitationWire& out);
// SNAC(0x04,0x06) bodies: the invitation, and the answer that declines one.
void AppendRoomInvitation(COscarPacket& frame, const std::array<uint8_t, 8>& cookie,
                          std::string_view loginUtf8, const RoomRef& ref, std::u16string_view text);
void AppendInvitationDecline(COscarPacket& frame, const std::array<uint8_t, 8>& cookie,
                             std::string_view loginUtf8);

// The name a room's cookie carries ("4-0-name" gives "name"); the cookie itself otherwise.
std::u16string RoomNameOfCookie(std::string_view cookie);

}  // namespace zul
