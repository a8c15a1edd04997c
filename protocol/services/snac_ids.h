// SNAC family numbers and the subtypes of each family, by name.
#pragma once

#include <cstdint>

namespace zul::snac {

// A reply that more replies to the same request follow (the SNAC header's flags).
constexpr uint16_t kFlagMoreFollows = 0x0001;

// The server-side contact list.
namespace list {
constexpr uint16_t kFamily = 0x13;
constexpr uint16_t kError = 0x01;
constexpr uint16_t kRightsQuery = 0x02;
constexpr uint16_t kRightsReply = 0x03;
// The whole list; its replies carry this subtype as their request id.
constexpr uint16_t kQuery = 0x04;
constexpr uint16_t kReply = 0x06;
// The list is read: the server may send presence.
constexpr uint16_t kActivate = 0x07;
// Items added, changed, removed: edits the client sends, and the server's relay of those
// another place of the account made.
constexpr uint16_t kItemAdd = 0x08;
constexpr uint16_t kItemChange = 0x09;
constexpr uint16_t kItemRemove = 0x0A;
constexpr uint16_t kEditAck = 0x0E;
// The list is as the client's copy has it.
constexpr uint16_t kUnchanged = 0x0F;
// The bracket around every edit.
constexpr uint16_t kEditBegin = 0x11;
constexpr uint16_t kEditEnd = 0x12;
// Authorisation: the client asks (0x18) and answers (0x1A); the server brings another user's
// request (0x19) and answer (0x1B), and the notice that someone added the user (0x1C).
constexpr uint16_t kAuthAsk = 0x18;
constexpr uint16_t kAuthAsked = 0x19;
constexpr uint16_t kAuthAnswer = 0x1A;
constexpr uint16_t kAuthAnswered = 0x1B;
constexpr uint16_t kYouWereAdded = 0x1C;
}  // namespace list

}  // namespace zul::snac
