// The message family's wire formats without any session: incoming messages of channels 1, 2
// and 4, server acknowledgements, typing notices, and the bodies the client sends.
//
// Every parser reads only inside the bytes it is given. A record whose lengths do not fit
// (a user block, a TLV, a message fragment, the extension of a channel 2 message) makes the
// whole SNAC malformed: the parser returns nothing and the caller drops that SNAC alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/session_events.h"
#include "protocol/transport/packet.h"

namespace zul {

// Message types of channel 4 (older ICQ clients) that are not plain text.
constexpr uint8_t kLegacyText = 0x01;
constexpr uint8_t kLegacyUrl = 0x04;
constexpr uint8_t kLegacyAuthRequest = 0x06;
constexpr uint8_t kLegacyAuthDenied = 0x07;
constexpr uint8_t kLegacyAuthGranted = 0x08;
constexpr uint8_t kLegacyAdded = 0x0C;
constexpr uint8_t kLegacyContacts = 0x13;
constexpr uint8_t kLegacyAwayRequests = 0xE8;  // and the types above it
// The flags of an automatic answer.
constexpr uint8_t kLegacyFlagAuto = 0x03;

// What one SNAC(0x04,0x07) carries.
struct IncomingMessage {
    uint16_t channel = 0;
    std::u16string login;
    int32_t status = -1;             // internal status code; -1 when the sender sent none
    std::u16string text;             // empty: nothing to store
    std::optional<uint32_t> sentAt;  // seconds since 1970 UTC, as the server stamped it
    bool autoResponse = false;       // sent by the other side's client while its user is away
    uint8_t legacyType = 0;          // channel 4: the message type (0 on other channels)
};

// Parses the SNAC data of an incoming message. Nothing when the SNAC is malformed or names no
// sender.
std::optional<IncomingMessage> ParseIncomingMessage(ByteSpan snacData);

// Channel 1: the text of TLV 0x0002's message fragments. Nothing when a fragment runs past
// the TLV; an empty text when there is no text fragment or it is too short to hold one.
std::optional<std::u16string> ParseMessageFragments(ByteSpan tlv0002);

// Channel 2: the text of a TLV 0x0005 rendezvous block. Nothing when the block or its
// extension is malformed; an empty text for every kind of block that carries no message.
std::optional<std::u16string> ParseRendezvousText(ByteSpan tlv0005);

// Text that other clients send as HTML (messages, profiles, away messages) as plain text:
// tags go, <br> and the ends of paragraphs and blocks become line breaks, the common entities
// and numeric character references are decoded. Text without markup comes back unchanged.
std::u16string PlainTextOfHtml(std::u16string_view html);
// Whether a message text holds HTML another client wrote: an opening or closing tag such as
// <html>, <font color=...>, <b> or <br/> anywhere in it.
bool LooksLikeHtml(std::u16string_view text);

// What the account is to store of an incoming message: the text as the chat shows it (an
// older client's list event named, an automatic answer marked as one) and the server's time
// stamp when it is plausible (local file time; 0 for now). Nothing when there is no text.
std::optional<event::Message> MessageEvent(const IncomingMessage& message);

// SNAC(0x04,0x0C): the message number (first half of the cookie) and the login.
struct MessageAck {
    uint32_t number = 0;
    std::u16string login;
};
std::optional<MessageAck> ParseMessageAck(ByteSpan snacData);

// SNAC(0x04,0x14): the login and the notice type (0x0002 typing, 0x0000/0x0001 stopped).
struct TypingNotice {
    std::u16string login;
    uint16_t type = 0;
};
std::optional<TypingNotice> ParseTypingNotice(ByteSpan snacData);

// SNAC(0x04,0x14) as an event: typing (0x0002) or stopped (0x0000, 0x0001); nothing for
// another type or a notice without a login.
std::optional<event::Typing> TypingEvent(ByteSpan snacData);
// The body of SNAC(0x04,0x14) to a login: cookie 0, channel 1, the login, the state (2 typing,
// 1 paused, 0 ended).
void AppendTypingNotice(COscarPacket& frame, std::string_view loginUtf8, int state);

// The 16-byte body of SNAC(0x04,0x02).
void AppendMessageParameters(COscarPacket& frame);

// The body of SNAC(0x04,0x06) for one text message: the cookie (`number` twice), channel 1,
// the recipient's login (UTF-8, at most 255 bytes), the text as UCS-2 big-endian fragments,
// the request for the server's acknowledgement (TLV 0x0003) and for storing the message while
// the recipient is offline (TLV 0x0006, empty); an automatic answer while away carries the
// empty TLV 0x0004 instead of both. A text longer than the frame can carry is cut at a
// character boundary.
void AppendTextMessage(COscarPacket& frame, uint32_t number, std::string_view loginUtf8,
                       std::u16string_view text, bool autoResponse = false);

// Characters of a message text that fit in one frame.
size_t MaxMessageCharacters(size_t loginBytes);

}  // namespace zul
