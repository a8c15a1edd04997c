#include "protocol/services/chat_wire.h"

#include <algorithm>
#include <cctype>

#include "platform/text.h"
#include "protocol/services/message_parse.h"

namespace zul {

const std::array<uint8_t, 16> kChatCapability = {0x74, 0x8F, 0x24, 0x20, 0x62, 0x87, 0x11, 0xD1,
                                                 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};

namespace {

constexpr uint16_t kTlvRoomName = 0x00D3;
constexpr uint16_t kTlvRoomCharset = 0x00D6;
constexpr uint16_t kTlvRoomLanguage = 0x00D7;
// Characters of a message this client sends at most; servers cut longer ones or refuse them.
constexpr size_t kMaxSentCharacters = 2000;

bool IsAscii(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Text in a charset other clients name: UCS-2 for "unicode-2-0" (and UTF-16), otherwise
// UTF-8 where the bytes are well-formed UTF-8, else the default code page.
std::u16string CharsetText(std::string_view charset, ByteSpan bytes) {
    const std::string name = Lowered(charset);
    if (name.find("unicode") != std::string::npos || name.find("utf-16") != std::string::npos ||
        name.find("ucs-2") != std::string::npos) {
        return Utf16BeToWide(bytes);
    }
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    bytes = bytes.first(static_cast<size_t>(end - bytes.begin()));
    return IsWellFormedUtf8(bytes) ? Utf8ToWide(bytes) : BytesToWide(bytes, 0);
}

std::u16string PlainText(std::u16string text) {
    return LooksLikeHtml(text) ? PlainTextOfHtml(text) : text;
}

// The wire form of a text: ASCII as it is, anything else as UCS-2 big-endian.
struct WireText {
    std::string charset;
    std::vector<uint8_t> bytes;
};

WireText ToWire(std::u16string_view text) {
    WireText out;
    if (IsAscii(text)) {
        out.charset = "us-ascii";
        for (char16_t c : text) out.bytes.push_back(static_cast<uint8_t>(c));
        return out;
    }
    out.charset = "unicode-2-0";
    for (char16_t c : text) {
        out.bytes.push_back(static_cast<uint8_t>(c >> 8));
        out.bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return out;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void PutTlv(std::vector<uint8_t>& out, uint16_t type, ByteSpan value) {
    const size_t n = std::min<size_t>(value.size(), 0xFFFF);
    PutU16(out, type);
    PutU16(out, static_cast<uint16_t>(n));
    out.insert(out.end(), value.begin(), value.begin() + static_cast<ptrdiff_t>(n));
}

void PutTlv(std::vector<uint8_t>& out, uint16_t type, std::string_view value) {
    PutTlv(out, type, ByteSpan(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

// One user block: name, warning level, TLV count and TLVs. Empty name: malformed.
std::optional<std::u16string> ReadUserBlock(ByteReader& reader) {
    const uint8_t length = reader.ReadU8();
    const ByteSpan name = reader.ReadBytes(length);
    reader.ReadU16();  // warning level
    const uint16_t count = reader.ReadU16();
    if (!reader.ok() || length == 0) return std::nullopt;
    TlvList info;
    const size_t used = info.ParseCount(reader.Rest(), count);
    if (info.size() < count) return std::nullopt;
    reader.Skip(used);
    return CountedUtf8ToWide(name.data(), name.size());
}

}  // namespace

std::optional<RoomRef> ParseRoomRef(ByteSpan bytes) {
    ByteReader reader(bytes);
    RoomRef ref;
    ref.exchange = reader.ReadU16();
    const uint8_t length = reader.ReadU8();
    ref.cookie = reader.ReadString(length);
    ref.instance = reader.ReadU16();
    if (!reader.ok() || length == 0) return std::nullopt;
    return ref;
}

std::optional<RoomInfo> ParseRoomInfo(ByteSpan bytes) {
    ByteReader reader(bytes);
    RoomInfo info;
    info.ref.exchange = reader.ReadU16();
    const uint8_t length = reader.ReadU8();
    info.ref.cookie = reader.ReadString(length);
    info.ref.instance = reader.ReadU16();
    info.detail = reader.ReadU8();
    const uint16_t count = reader.ReadU16();
    if (!reader.ok() || length == 0) return std::nullopt;
    TlvList tlvs;
    tlvs.ParseCount(reader.Rest(), count);
    if (tlvs.size() < count) return std::nullopt;
    if (const Tlv* name = tlvs.Find(kTlvRoomName)) {
        const Tlv* charset = tlvs.Find(kTlvRoomCharset);
        info.name = CharsetText(charset ? charset->AsString() : std::string(), name->Bytes());
        if (info.name.size() > CRoomList::kMaxNameLength) return std::nullopt;
    }
    return info;
}

NavInfo ParseNavInfo(ByteSpan snacData) {
    NavInfo nav;
    TlvList tlvs;
    tlvs.Parse(snacData);
    for (const Tlv& tlv : tlvs) {
        if (tlv.type == 0x0002 && tlv.length >= 1) nav.maxRooms = tlv.AsU8();
        if (tlv.type == 0x0003 && tlv.length >= 2) nav.exchanges.push_back(tlv.AsU16());
        if (tlv.type == 0x0004 && !nav.room && !nav.badRoom) {
            nav.room = ParseRoomInfo(tlv.Bytes());
            nav.badRoom = !nav.room;
        }
    }
    return nav;
}

std::optional<std::vector<std::u16string>> ParseRoomUsers(ByteSpan snacData) {
    ByteReader reader(snacData);
    std::vector<std::u16string> names;
    while (reader.Remaining() > 0) {
        std::optional<std::u16string> name = ReadUserBlock(reader);
        if (!name) return std::nullopt;
        names.push_back(std::move(*name));
    }
    return names;
}

std::u16string RoomMessageText(ByteSpan info) {
    TlvList tlvs;
    tlvs.Parse(info);
    const Tlv* text = tlvs.Find(0x0001);
    if (!text) return {};
    const Tlv* charset = tlvs.Find(0x0002);
    return PlainText(CharsetText(charset ? charset->AsString() : std::string(), text->Bytes()));
}

std::optional<RoomMessage> ParseRoomMessage(ByteSpan snacData) {
    ByteReader reader(snacData);
    reader.Skip(8);    // cookie
    reader.ReadU16();  // channel
    if (!reader.ok()) return std::nullopt;
    TlvList tlvs;
    tlvs.Parse(reader.Rest());
    const Tlv* sender = tlvs.Find(0x0003);
    const Tlv* info = tlvs.Find(0x0005);
    if (!sender || !info) return std::nullopt;
    ByteReader block(sender->Bytes());
    std::optional<std::u16string> name = ReadUserBlock(block);
    if (!name) return std::nullopt;
    return RoomMessage{std::move(*name), RoomMessageText(info->Bytes())};
}

void AppendCreateRoom(COscarPacket& frame, uint16_t exchange, std::u16string_view name) {
    const std::string utf8 = ToUtf8(name);
    frame.AppendU16(exchange);
    frame.AppendU8(6);
    frame.AppendBytes(std::string_view("create"));
    frame.AppendU16(0xFFFF);  // a new instance
    frame.AppendU8(0x01);     // detail level
    frame.AppendU16(3);       // TLVs
    frame.AppendTlv(kTlvRoomName, utf8);
    frame.AppendTlv(kTlvRoomCharset, std::string_view("us-ascii"));
    frame.AppendTlv(kTlvRoomLanguage, std::string_view("en"));
}

std::vector<uint8_t> RoomRefBytes(const RoomRef& ref) {
    std::vector<uint8_t> out;
    PutU16(out, ref.exchange);
    const size_t n = std::min<size_t>(ref.cookie.size(), 0xFF);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), ref.cookie.begin(), ref.cookie.begin() + static_cast<ptrdiff_t>(n));
    PutU16(out, ref.instance);
    return out;
}

void AppendRoomRef(COscarPacket& frame, const RoomRef& ref) {
    frame.AppendBytes(RoomRefBytes(ref));
}

void AppendRoomMessage(COscarPacket& frame, uint64_t cookie, std::u16string_view text) {
    if (text.size() > kMaxSentCharacters) text = text.substr(0, kMaxSentCharacters);
    const WireText wire = ToWire(text);
    std::vector<uint8_t> info;
    PutTlv(info, 0x0002, wire.charset);
    PutTlv(info, 0x0003, std::string_view("en"));
    PutTlv(info, 0x0001, wire.bytes);
    frame.AppendU32(static_cast<uint32_t>(cookie >> 32));
    frame.AppendU32(static_cast<uint32_t>(cookie));
    frame.AppendU16(0x0003);                      // the room's channel
    frame.AppendTlv(0x0001, std::string_view());  // to everyone
    frame.AppendTlv(0x0005, info);
}

InvitationParse ParseRoomInvitation(ByteSpan snacData, RoomInvitationWire& out) {
    ByteReader reader(snacData);
    const ByteSpan cookie = reader.ReadBytes(8);
    const uint16_t channel = reader.ReadU16();
    if (!reader.ok() || channel != 0x0002) return InvitationParse::kNotAnInvitation;
    std::optional<std::u16string> from = ReadUserBlock(reader);
    if (!from) return InvitationParse::kNotAnInvitation;
    TlvList tlvs;
    tlvs.Parse(reader.Rest());
    const Tlv* rendezvous = tlvs.Find(0x0005);
    if (!rendezvous) return InvitationParse::kNotAnInvitation;
    ByteReader rdv(rendezvous->Bytes());
    out.kind = rdv.ReadU16();
    rdv.Skip(8);
    const ByteSpan capability = rdv.ReadBytes(16);
    if (!rdv.ok() || !std::equal(capability.begin(), capability.end(), kChatCapability.begin())) {
        return InvitationParse::kNotAnInvitation;
    }
    out.from = std::move(*from);
    std::copy(cookie.begin(), cookie.end(), out.cookie.begin());
    if (out.kind != 0) return InvitationParse::kOk;  // an answer to one of ours
    TlvList inner;
    inner.Parse(rdv.Rest());
    const Tlv* room = inner.Find(0x2711);
    std::optional<RoomRef> ref = room ? ParseRoomRef(room->Bytes()) : std::nullopt;
    if (!ref) return InvitationParse::kMalformed;
    if (RoomNameOfCookie(ref->cookie).size() > CRoomList::kMaxNameLength) {
        return InvitationParse::kMalformed;
    }
    out.ref = std::move(*ref);
    if (const Tlv* text = inner.Find(0x000C)) {
        const Tlv* charset = inner.Find(0x000D);
        out.text =
            PlainText(CharsetText(charset ? charset->AsString() : std::string(), text->Bytes()));
    }
    return InvitationParse::kOk;
}

namespace {

void AppendRendezvousHead(COscarPacket& frame, const std::array<uint8_t, 8>& cookie,
                          std::string_view loginUtf8) {
    frame.AppendBytes(cookie.data(), cookie.size());
    frame.AppendU16(0x0002);
    const size_t n = std::min<size_t>(loginUtf8.size(), 0xFF);
    frame.AppendU8(static_cast<uint8_t>(n));
    frame.AppendBytes(loginUtf8.substr(0, n));
}

}  // namespace

void AppendRoomInvitation(COscarPacket& frame, const std::array<uint8_t, 8>& cookie,
                          std::string_view loginUtf8, const RoomRef& ref,
                          std::u16string_view text) {
    if (text.size() > kMaxSentCharacters) text = text.substr(0, kMaxSentCharacters);
    const WireText wire = ToWire(text);
    std::vector<uint8_t> body;
    PutU16(body, 0x0000);  // a proposal
    body.insert(body.end(), cookie.begin(), cookie.end());
    body.insert(body.end(), kChatCapability.begin(), kChatCapability.end());
    PutTlv(body, 0x000A, std::string_view("\x00\x01", 2));  // the first proposal
    PutTlv(body, 0x000F, std::string_view());
    PutTlv(body, 0x000C, wire.bytes);
    PutTlv(body, 0x000D, wire.charset);
    PutTlv(body, 0x000E, std::string_view("en"));
    PutTlv(body, 0x2711, RoomRefBytes(ref));
    AppendRendezvousHead(frame, cookie, loginUtf8);
    frame.AppendTlv(0x0005, body);
}

void AppendInvitationDecline(COscarPacket& frame, const std::array<uint8_t, 8>& cookie,
                             std::string_view loginUtf8) {
    std::vector<uint8_t> body;
    PutU16(body, 0x0001);  // cancel
    body.insert(body.end(), cookie.begin(), cookie.end());
    body.insert(body.end(), kChatCapability.begin(), kChatCapability.end());
    PutTlv(body, 0x000B, std::string_view("\x00\x01", 2));  // declined by the user
    AppendRendezvousHead(frame, cookie, loginUtf8);
    frame.AppendTlv(0x0005, body);
}

std::u16string RoomNameOfCookie(std::string_view cookie) {
    // exchange, '-', instance, '-', name
    size_t at = 0;
    for (int part = 0; part < 2; ++part) {
        const size_t start = at;
        while (at < cookie.size() && cookie[at] >= '0' && cookie[at] <= '9') ++at;
        if (at == start || at >= cookie.size() || cookie[at] != '-') {
            return Utf8ToWide(cookie);
        }
        ++at;
    }
    return at < cookie.size() ? Utf8ToWide(cookie.substr(at)) : Utf8ToWide(cookie);
}

}  // namespace zul
