#include "protocol/services/message_parse.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/local_time.h"
#include "platform/resources.h"
#include "storage/status.h"

namespace zul {
namespace {

// The one rendezvous capability whose blocks carry a text message.
constexpr std::array<uint8_t, 16> kMessageCapability = {
    0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};

// Capability texts that mark the text of a channel 2 message as UTF-8.
constexpr std::string_view kUtf8Markers[] = {"{0946134E-4C7F-11D1-8222-444553540000}",
                                             "{97B12751-243C-4334-AD22-D6ABF73F1492}"};

// Layout of the extension TLV 0x2711 of a channel 2 message, offsets from its first byte.
constexpr size_t kExtPluginId = 4;
constexpr size_t kExtMessageType = 45;
constexpr size_t kExtTextLength = 51;
constexpr size_t kExtText = 53;

// The rendezvous block: kind (2), cookie (8), capability (16), then TLVs.
constexpr size_t kRendezvousHeader = 26;
// TLVs are read only where they start within the block's length minus this many bytes.
constexpr size_t kRendezvousTail = 44;

constexpr uint16_t kCharsetUcs2 = 0x0002;

bool Contains(ByteSpan haystack, std::string_view needle) {
    auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                             [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    return found != haystack.end();
}

bool AllZero(ByteSpan bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// The text of a channel 2 extension; nothing when it does not fit its TLV.
std::optional<std::u16string> ParseExtension(ByteSpan ext) {
    if (ext.size() < kExtPluginId + 16) return std::nullopt;
    // Status-message plugins and every other plugin carry no message text.
    if (!AllZero(ext.subspan(kExtPluginId, 16))) return std::u16string();
    if (ext.size() < kExtText) return std::nullopt;
    const size_t textLength =
        static_cast<size_t>(ext[kExtTextLength] | ext[kExtTextLength + 1] << 8);
    if (textLength > ext.size() - kExtText) return std::nullopt;
    const uint8_t type = ext[kExtMessageType];
    if (type != 0x01 && type != 0x94) return std::u16string();

    ByteSpan text = ext.subspan(kExtText, textLength);
    ByteSpan after = ext.subspan(kExtText + textLength);
    bool utf8 = Contains(after, kUtf8Markers[0]) || Contains(after, kUtf8Markers[1]);
    return utf8 ? Utf8ToWide(text) : BytesToWide(text, 0);
}

// Channel 1: TLV 0x0002 with the text, and for a message that waited on the server TLV 0x0016
// with the time it was sent. Servers put other items before and between them (0x000B, 0x0003,
// 0x0004...): the whole block is searched. A message without its text TLV is a failure the
// caller reports.
bool ParseChannel1(ByteSpan tlvBlock, IncomingMessage& message) {
    TlvList tlvs;
    tlvs.Parse(tlvBlock);
    const Tlv* body = tlvs.Find(0x0002);
    if (body == nullptr) return false;
    std::optional<std::u16string> text = ParseMessageFragments(body->Bytes());
    if (!text) return false;
    message.text = LooksLikeHtml(*text) ? PlainTextOfHtml(*text) : std::move(*text);
    // TLV 0x0004: the sender's client answered by itself while its user is away.
    message.autoResponse = tlvs.Has(0x0004);
    const Tlv* time = tlvs.Find(0x0016);
    if (time != nullptr && time->length == 4) message.sentAt = time->AsU32();
    return true;
}

// Byte text up to its first zero: in the default code page, or UTF-8 where it is well-formed
// UTF-8 (the servers' bridges and newer clients send UTF-8 where a code page is announced; a
// code page's text is hardly ever well-formed UTF-8 by chance).
std::u16string CodePageOrUtf8Text(ByteSpan bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    bytes = bytes.first(static_cast<size_t>(end - bytes.begin()));
    return IsWellFormedUtf8(bytes) ? Utf8ToWide(bytes) : BytesToWide(bytes, 0);
}

// The fields of a legacy text, separated by 0xFE.
std::vector<std::u16string> LegacyFields(ByteSpan bytes) {
    std::vector<std::u16string> fields;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == 0xFE) {
            fields.push_back(CodePageOrUtf8Text(bytes.subspan(start, i - start)));
            start = i + 1;
        }
    }
    return fields;
}

// Channel 4, the messages of older ICQ clients: TLV 0x0005 holds the sender's number, the
// message type and flags, and the text (16-bit length, low byte first; the text ends in a
// zero byte). Links and contact lists are made readable; requests for an away message carry
// nothing to store.
bool ParseChannel4(ByteSpan tlvBlock, IncomingMessage& message) {
    TlvList tlvs;
    tlvs.Parse(tlvBlock);
    const Tlv* body = tlvs.Find(0x0005);
    if (body == nullptr) return true;
    ByteReader reader(body->Bytes());
    reader.ReadU32LE();  // the sender's number, as the sender wrote it (the server's login counts)
    message.legacyType = reader.ReadU8();
    const uint8_t flags = reader.ReadU8();
    const uint16_t length = reader.ReadU16LE();
    const ByteSpan text = reader.ReadBytes(length);
    if (!reader.ok()) return false;
    message.autoResponse = flags == kLegacyFlagAuto;
    switch (message.legacyType) {
        case kLegacyUrl: {
            const std::vector<std::u16string> parts = LegacyFields(text);
            message.text = parts[0];
            if (parts.size() > 1 && !parts[1].empty()) {
                message.text += (message.text.empty() ? u"" : u"\n") + parts[1];
            }
            break;
        }
        case kLegacyContacts: {
            // A count, then number and nickname of each contact.
            const std::vector<std::u16string> parts = LegacyFields(text);
            for (size_t i = 1; i + 1 < parts.size(); i += 2) {
                if (parts[i].empty()) continue;
                if (!message.text.empty()) message.text += u"\n";
                message.text +=
                    parts[i + 1].empty() ? parts[i] : parts[i + 1] + u" (" + parts[i] + u")";
            }
            break;
        }
        case kLegacyAuthRequest: {
            // Nickname, first and last name, e-mail, a flag, and the reason last.
            const std::vector<std::u16string> parts = LegacyFields(text);
            message.text = parts.size() >= 6 ? parts[5] : parts.back();
            break;
        }
        default:
            // Requests for an away message (0xE8 and up) are answered by nothing here.
            if (message.legacyType < kLegacyAwayRequests) message.text = CodePageOrUtf8Text(text);
            break;
    }
    return true;
}

// Channel 2: the first TLV must be the rendezvous block 0x0005.
bool ParseChannel2(ByteSpan tlvBlock, IncomingMessage& message) {
    TlvList tlvs;
    tlvs.ParseCount(tlvBlock, 1);
    if (tlvs.empty()) return tlvBlock.empty();
    if (tlvs[0].type != 0x0005) return true;
    std::optional<std::u16string> text = ParseRendezvousText(tlvs[0].Bytes());
    if (!text) return false;
    message.text = std::move(*text);
    return true;
}

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != prefix[i]) return false;
    }
    return true;
}

// The character of an entity's name (without '&' and ';'); 0 when it is not known.
char32_t EntityValue(std::u16string_view name) {
    static const std::pair<std::u16string_view, char32_t> kNamed[] = {
        {u"amp", u'&'},  {u"lt", u'<'},    {u"gt", u'>'},
        {u"quot", u'"'}, {u"apos", u'\''}, {u"nbsp", u' '}};
    for (const auto& [entity, value] : kNamed) {
        if (name == entity) return value;
    }
    if (name.size() < 2 || name.size() > 8 || name[0] != u'#') return 0;
    const bool hex = name[1] == u'x' || name[1] == u'X';
    char32_t value = 0;
    for (size_t i = hex ? 2 : 1; i < name.size(); ++i) {
        const char16_t c = Lower(name[i]);
        int digit = -1;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        if (hex && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
        if (digit < 0) return 0;
        value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
    }
    return value > 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF) ? value : 0;
}

void AppendCodePoint(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
        return;
    }
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

}  // namespace

bool LooksLikeHtml(std::u16string_view text) {
    // The tags other clients write into messages, opening or closing, anywhere in the text;
    // a '<' before anything else ("<3", "a < b") is text.
    static constexpr std::u16string_view kTags[] = {
        u"html", u"body", u"font", u"div", u"span",   u"br",  u"p",   u"b",   u"i",   u"u",    u"s",
        u"a",    u"em",   u"img",  u"hr",  u"strong", u"sub", u"sup", u"pre", u"big", u"small"};
    for (size_t at = text.find(u'<'); at != std::u16string_view::npos;
         at = text.find(u'<', at + 1)) {
        std::u16string_view rest = text.substr(at + 1);
        if (!rest.empty() && rest[0] == u'/') rest.remove_prefix(1);
        for (std::u16string_view tag : kTags) {
            if (!StartsWithNoCase(rest, tag) || rest.size() == tag.size()) continue;
            const char16_t after = rest[tag.size()];
            if (after == u'>' || after == u' ' || after == u'/') return true;
        }
    }
    return false;
}

std::u16string PlainTextOfHtml(std::u16string_view html) {
    std::u16string out;
    out.reserve(html.size());
    size_t i = 0;
    while (i < html.size()) {
        const char16_t c = html[i];
        if (c == u'<') {
            const size_t end = html.find(u'>', i);
            if (end == std::u16string_view::npos) {
                out.append(html.substr(i));  // not a tag: kept as it is
                break;
            }
            const std::u16string_view tag = html.substr(i + 1, end - i - 1);
            for (std::u16string_view breaking : {u"br", u"/p", u"/div", u"hr"}) {
                if (StartsWithNoCase(tag, breaking) &&
                    (tag.size() == breaking.size() || tag[breaking.size()] == u' ' ||
                     tag[breaking.size()] == u'/')) {
                    out.push_back(u'\n');
                }
            }
            i = end + 1;
            continue;
        }
        if (c == u'&') {
            const size_t end = html.find(u';', i);
            if (end != std::u16string_view::npos && end - i <= 9) {
                if (const char32_t value = EntityValue(html.substr(i + 1, end - i - 1))) {
                    AppendCodePoint(out, value);
                    i = end + 1;
                    continue;
                }
            }
        }
        // Line breaks of the source are only layout in HTML.
        out.push_back(c == u'\r' || c == u'\n' ? u' ' : c);
        ++i;
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u' ')) out.pop_back();
    return out;
}

std::optional<IncomingMessage> ParseIncomingMessage(ByteSpan snacData) {
    ByteReader reader(snacData);
    IncomingMessage message;
    reader.Skip(8);  // cookie
    message.channel = reader.ReadU16();
    const uint8_t loginLength = reader.ReadU8();
    if (!reader.ok() || loginLength == 0) return std::nullopt;
    ByteSpan login = reader.ReadBytes(loginLength);
    reader.ReadU16();  // warning level
    const uint16_t infoCount = reader.ReadU16();
    if (!reader.ok()) return std::nullopt;
    message.login = CountedUtf8ToWide(login.data(), login.size());

    // The sender's information; the message TLVs start right after it.
    TlvList info;
    size_t used = info.ParseCount(reader.Rest(), infoCount);
    if (info.size() < infoCount) return std::nullopt;
    reader.Skip(used);
    if (const Tlv* status = info.Find(0x0006)) {
        uint16_t word =
            status->length >= 4 ? static_cast<uint16_t>(status->AsU32()) : status->AsU16();
        message.status = StatusFromWire(word);
    }

    ByteSpan rest = reader.Rest();
    bool ok = true;
    switch (message.channel) {
        case 0x0001:
            ok = ParseChannel1(rest, message);
            break;
        case 0x0002:
            ok = ParseChannel2(rest, message);
            break;
        case 0x0004:
            ok = ParseChannel4(rest, message);
            break;
        default:
            break;
    }
    if (!ok) return std::nullopt;
    return message;
}

std::optional<std::u16string> ParseMessageFragments(ByteSpan tlv0002) {
    ByteReader reader(tlv0002);
    std::optional<ByteSpan> textFragment;
    while (reader.Remaining() > 0) {
        const uint8_t id = reader.ReadU8();
        const uint8_t version = reader.ReadU8();
        const uint16_t length = reader.ReadU16();
        ByteSpan data = reader.ReadBytes(length);
        if (!reader.ok()) return std::nullopt;
        if (id == 0x01 && version == 0x01 && !textFragment) textFragment = data;
    }
    if (!textFragment || textFragment->size() <= 4) return std::u16string();

    ByteReader fragment(*textFragment);
    const uint16_t charset = fragment.ReadU16();
    fragment.ReadU16();  // subset
    ByteSpan text = fragment.Rest();
    return charset == kCharsetUcs2 ? Utf16BeToWide(text) : CodePageOrUtf8Text(text);
}

std::optional<std::u16string> ParseRendezvousText(ByteSpan tlv0005) {
    ByteReader reader(tlv0005);
    reader.ReadU16();  // message kind
    reader.Skip(8);    // cookie
    ByteSpan capability = reader.ReadBytes(16);
    if (!reader.ok()) return std::nullopt;
    if (!std::equal(capability.begin(), capability.end(), kMessageCapability.begin())) {
        return std::u16string();  // file transfers, chat invitations and the rest
    }
    if (tlv0005.size() < kRendezvousTail) return std::u16string();
    const size_t limit = tlv0005.size() - kRendezvousTail;

    std::optional<ByteSpan> extension;
    while (reader.Position() - kRendezvousHeader < limit) {
        const uint16_t type = reader.ReadU16();
        const uint16_t length = reader.ReadU16();
        ByteSpan value = reader.ReadBytes(length);
        if (!reader.ok()) return std::nullopt;
        if (type == 0x2711 && !extension) extension = value;
    }
    if (!extension) return std::u16string();
    return ParseExtension(*extension);
}

std::optional<MessageAck> ParseMessageAck(ByteSpan snacData) {
    ByteReader reader(snacData);
    MessageAck ack;
    ack.number = reader.ReadU32();
    reader.Skip(4);
    reader.ReadU16();  // channel
    ByteSpan login = reader.ReadBytes(reader.ReadU8());
    if (!reader.ok()) return std::nullopt;
    ack.login = CountedUtf8ToWide(login.data(), login.size());
    return ack;
}

std::optional<TypingNotice> ParseTypingNotice(ByteSpan snacData) {
    ByteReader reader(snacData);
    TypingNotice notice;
    reader.Skip(8);    // cookie
    reader.ReadU16();  // channel
    ByteSpan login = reader.ReadBytes(reader.ReadU8());
    notice.type = reader.ReadU16();
    if (!reader.ok()) return std::nullopt;
    notice.login = CountedUtf8ToWide(login.data(), login.size());
    return notice;
}

void AppendMessageParameters(COscarPacket& frame) {
    frame.AppendU16(0x0000);      // channel: all
    frame.AppendU32(0x0000030B);  // flags
    frame.AppendU16(0x1F40);      // largest message SNAC
    frame.AppendU16(0x03E7);      // highest sender warning level
    frame.AppendU16(0x03E7);      // highest receiver warning level
    frame.AppendU32(0x00000000);  // shortest interval between messages
}

size_t MaxMessageCharacters(size_t loginBytes) {
    // Everything of SNAC(0x04,0x06) but the text: cookie, channel, login, TLV 0x0002 with both
    // fragment headers, charset and subset, TLV 0x0003, TLV 0x0006.
    const size_t fixed = COscarPacket::kSnacHeaderEnd + 8 + 2 + 1 + loginBytes + 4 + 6 + 8 + 4 + 6;
    // Messages stay within the frame size every server takes from a client.
    constexpr size_t kMessageFrameMax = 30720;
    const size_t room = kMessageFrameMax - fixed;
    return std::min<size_t>(room / 2, (0xFFFF - 14) / 2);
}

void AppendTextMessage(COscarPacket& frame, uint32_t number, std::string_view loginUtf8,
                       std::u16string_view text, bool autoResponse) {
    std::string_view login = loginUtf8.substr(0, 0xFF);
    size_t characters = std::min(text.size(), MaxMessageCharacters(login.size()));
    // Never split a surrogate pair when the text must be cut.
    if (characters < text.size() && characters > 0 && text[characters - 1] >= 0xD800 &&
        text[characters - 1] <= 0xDBFF) {
        --characters;
    }
    const uint16_t textBytes = static_cast<uint16_t>(characters * 2);

    frame.AppendU32(number);
    frame.AppendU32(number);
    frame.AppendU16(0x0001);
    frame.AppendU8(static_cast<uint8_t>(login.size()));
    frame.AppendBytes(login);

    frame.AppendU16(0x0002);
    frame.AppendU16(static_cast<uint16_t>(textBytes + 14));
    static constexpr uint8_t kFeatures[] = {0x05, 0x01, 0x00, 0x02, 0x01, 0x06};
    frame.AppendBytes(kFeatures, sizeof kFeatures);
    frame.AppendU8(0x01);
    frame.AppendU8(0x01);
    frame.AppendU16(static_cast<uint16_t>(textBytes + 4));
    frame.AppendU16(kCharsetUcs2);
    frame.AppendU16(0x0000);
    for (size_t i = 0; i < characters; ++i) frame.AppendU16(text[i]);

    if (autoResponse) {
        // 0x0004 (empty): answered by the client while its user is away; neither acknowledged
        // nor kept for later.
        frame.AppendU16(0x0004);
        frame.AppendU16(0x0000);
        return;
    }
    // 0x0003: the server acknowledges the message; 0x0006 (empty): the server keeps it when
    // the recipient is offline.
    frame.AppendU16(0x0003);
    frame.AppendU16(0x0000);
    frame.AppendU16(0x0006);
    frame.AppendU16(0x0000);
}

}  // namespace zul

namespace zul {
namespace {

constexpr int kStrAutoResponse = 1048;

// The text that names a list event sent as an older client's message; 0 for any other type.
int LegacyNoticeText(uint8_t legacyType) {
    switch (legacyType) {
        case kLegacyAuthGranted:
            return 1025;
        case kLegacyAuthDenied:
            return 1026;
        case kLegacyAdded:
            return 1027;
        case kLegacyAuthRequest:
            return 1043;
        default:
            return 0;
    }
}

// A server's time stamp is used when it is plausible: not before the networks existed and not
// in the future beyond a day of clock difference. Otherwise the message counts as received now.
bool PlausibleSendTime(uint32_t sentAt) {
    constexpr int64_t kEarliest = 820454400;  // 1996-01-01 UTC
    constexpr int64_t kClockSlack = 86400;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    return sentAt >= kEarliest && sentAt <= now + kClockSlack;
}

}  // namespace

std::optional<event::Message> MessageEvent(const IncomingMessage& message) {
    event::Message out{.login = message.login, .status = message.status, .text = message.text};
    // The list events older clients send as messages read as the list family's do.
    if (const int notice = LegacyNoticeText(message.legacyType)) {
        std::u16string text = ResString(notice);
        if (!out.text.empty()) text += u"\n" + out.text;
        out.text = std::move(text);
    }
    if (out.text.empty()) return std::nullopt;
    if (message.sentAt && PlausibleSendTime(*message.sentAt))
        out.time = UtcSecondsToLocalFileTime(*message.sentAt);
    // An automatic answer is marked as such in the chat, so that nobody takes it for the
    // person's own words.
    if (message.autoResponse) out.text = ResString(kStrAutoResponse) + u" " + out.text;
    return out;
}

std::optional<event::Typing> TypingEvent(ByteSpan snacData) {
    const std::optional<TypingNotice> notice = ParseTypingNotice(snacData);
    if (!notice || notice->login.empty() || notice->type > 0x0002) return std::nullopt;
    return event::Typing{.login = notice->login, .typing = notice->type == 0x0002};
}

void AppendTypingNotice(COscarPacket& frame, std::string_view loginUtf8, int state) {
    frame.AppendU32(0);  // cookie
    frame.AppendU32(0);
    frame.AppendU16(0x0001);  // channel
    frame.AppendU8(static_cast<uint8_t>(loginUtf8.size()));
    frame.AppendBytes(loginUtf8);
    frame.AppendU16(static_cast<uint16_t>(state));
}

}  // namespace zul
