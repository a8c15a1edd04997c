// Wire round trips: bytes written out by hand as a server sends them are read with the client's
// parsers, the value read is written again with the matching writer (the client's own, or the
// scripted server's) and must come out byte for byte as it went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/local_time.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/service_wire.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/avatar.h"
#include "protocol/transport/packet.h"
#include "protocol/transport/session_tables.h"
#include "storage/status.h"
#include "support/avatar_server.h"
#include "support/presence_notice.h"
#include "support/signon_script.h"

namespace zul::test {
namespace {

constexpr int kIcq = 11;
constexpr std::string_view kUtf8Marker = "{0946134E-4C7F-11D1-8222-444553540000}";

// Hex digits, blanks ignored; text in double quotes is taken as its bytes.
Bytes Hex(std::string_view text) {
    Bytes out;
    std::string digits;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            out.push_back(static_cast<uint8_t>(c));
        } else if (std::isxdigit(static_cast<unsigned char>(c)) && (digits += c).size() == 2) {
            out.push_back(static_cast<uint8_t>(std::stoi(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return out;
}

Bytes Of(ByteSpan span) {
    return Bytes(span.begin(), span.end());
}

// ---------------------------------------------------------------------------------------------
// TLV lists: TlvList against COscarPacket::AppendTlv, AppendTlvBytes and the server's ByteWriter.

TEST(WireRoundTrip, TlvLists) {
    // An empty value, a duplicate type and embedded zero bytes.
    const Bytes wire =
        Hex("0001 0002 0050  0003 0000  0005 0003 \"a:b\"  0005 0001 \"x\"  0131 0004 41004200");
    TlvList tlvs;
    EXPECT_EQ(tlvs.Parse(wire), wire.size());
    std::vector<uint16_t> types;
    COscarPacket client = COscarPacket::Bare(channel::kSnac);
    Bytes block;
    ByteWriter server;
    for (const Tlv& tlv : tlvs) {
        types.push_back(tlv.type);
        EXPECT_EQ(tlv.length, tlv.value.size());
        client.AppendTlv(tlv.type, tlv.Bytes());
        AppendTlvBytes(block, tlv.type, tlv.AsString());
        server.Tlv(tlv.type, tlv.Bytes());
    }
    EXPECT_EQ(types, (std::vector<uint16_t>{0x01, 0x03, 0x05, 0x05, 0x131}));
    EXPECT_EQ(Of(client.frameData()), wire);
    EXPECT_EQ(block, wire);
    EXPECT_EQ(server.bytes, wire);
}

// ---------------------------------------------------------------------------------------------
// Whole frames: the header accessors of a received COscarPacket against the client's
// COscarPacket::Snac/Bare and the server's EncodeFrame with its body writers.

// The value of a TLV; empty when there is none.
Bytes Value(const TlvList& tlvs, uint16_t type) {
    const Tlv* tlv = tlvs.Find(type);
    return tlv ? tlv->value : Bytes{};
}

TEST(WireRoundTrip, Frames) {
    // Each row checks what the frame carries and writes it again with the server's writers.
    struct Row {
        const char* hex;
        uint8_t channel;
        uint16_t sequence, family, subtype, flags;
        uint32_t requestId;
        std::function<Bytes(const COscarPacket&)> serverWrite;
    } rows[] = {
        {"2A 02 1234 001C  0004 0014 0000 00000314  1122334455667788 0001 05 \"alice\" 0002", 2,
         0x1234, 0x04, 0x14, 0, 0x314,
         [](const COscarPacket& p) {
             auto notice = ParseTypingNotice(p.snacData());
             EXPECT_TRUE(notice && notice->login == u"alice" && notice->type == 2);
             return SnacFrame(0x04, 0x14, Of(p.rawSnacData()), p.requestId()).data;
         }},
        // A redirect sent with flags 0x8000: snacData() skips the leading block.
        {"2A 02 8001 0034  0001 0005 8000 80000001  0006 0001 00000005  000D 0002 0010"
         "  0005 000E \"127.0.0.1:5190\"  0006 0006 C00C1E010203",
         2, 0x8001, 0x01, 0x05, 0x8000, 0x80000001,
         [](const COscarPacket& p) {
             TlvList t;
             EXPECT_EQ(t.Parse(p.snacData()), 34u);
             EXPECT_EQ(Value(t, 0x06), StandardCookie());
             const Bytes body = RedirectBody(t.Find(0x05)->AsString(), Value(t, 0x06), true,
                                             t.Find(0x0D)->AsU16());
             return SnacFrame(0x01, 0x05, body, p.requestId(), p.flags()).data;
         }},
        {"2A 01 0000 0004 00000001", 1, 0, 0, 0, 0, 0,
         [](const COscarPacket&) { return Greeting().data; }},
        {"2A 04 0003 001C  0005 000E \"127.0.0.1:5190\"  0006 0006 C00C1E010203", 4, 3, 0, 0, 0, 0,
         [](const COscarPacket& p) {
             TlvList t;
             t.Parse(p.frameData());
             return LoginReply(t.Find(0x05)->AsString(), Value(t, 0x06)).data;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        COscarPacket in;
        std::copy(wire.begin(), wire.end(), in.data);
        in.size = static_cast<int32_t>(wire.size());
        EXPECT_EQ(std::make_tuple(in.channel(), in.sequence()),
                  std::tie(row.channel, row.sequence));
        const bool snac = row.channel == channel::kSnac;
        if (snac) {
            EXPECT_EQ(std::make_tuple(in.family(), in.subtype(), in.flags(), in.requestId()),
                      std::tie(row.family, row.subtype, row.flags, row.requestId));
        }
        EXPECT_EQ(EncodeFrame(row.channel, row.sequence, row.serverWrite(in)), wire);

        // The client's writer has flags 0 and a 16-bit request id only.
        if (row.flags != 0 || row.requestId > 0xFFFF) continue;
        COscarPacket out = snac ? COscarPacket::Snac(in.family(), in.subtype(),
                                                     static_cast<uint16_t>(in.requestId()))
                                : COscarPacket::Bare(in.channel());
        out.AppendBytes(snac ? in.rawSnacData() : in.frameData());
        Bytes unsent = wire;  // sequence and length are Send's to write
        std::fill(unsent.begin() + 2, unsent.begin() + 6, 0);
        EXPECT_EQ(Of(out.bytes()), unsent);
    }
}

// ---------------------------------------------------------------------------------------------
// Server-side list items: ReadServerListItem / ParseServerListReply against AppendServerListItem
// (the client's edits) and ServerListBody (the scripted server's reply).

struct ItemRow {
    const char* hex;
    std::u16string name;
    uint16_t groupId, itemId, type;
    std::u16string nickname;
};
const ItemRow kItems[] = {
    {"0007 \"7654321\" 0001 1A2B 0000 000C  0131 0004 5A6FC3AB  0066 0000", u"7654321", 1, 0x1A2B,
     listitem::kBuddy, u"Zo\u00EB"},
    {"000B \"Friends \" E29885 0001 0000 0001 0008  00C8 0004 1A2B1A2C", u"Friends \u2605", 1, 0,
     listitem::kGroup, u""},
    {"0000 0000 0000 0001 0006  00C8 0002 0001", u"", 0, 0, listitem::kGroup, u""},
    {"0000 0000 0ABC 0004 0005  00CA 0001 04", u"", 0, 0x0ABC, listitem::kSettings, u""},
    {"0005 \"alice\" 0002 0042 0000 0018  0131 0006 E4BDA0E5A5BD  013C 0004 \"note\""
     "  0137 0002 \"@x\"",
     u"alice", 2, 0x42, listitem::kBuddy, u"\u4F60\u597D"},
    // A nickname above U+FFFF keeps all four of its bytes.
    {"0003 \"bob\" 0002 0043 0000 0008  0131 0004 F09F9880", u"bob", 2, 0x43, listitem::kBuddy,
     u"\U0001F600"},
};

// The item's TLV block as the client writes it: text items from their decoded text, the rest
// as they came.
Bytes RewriteBlock(const ServerListItem& item) {
    Bytes block;
    for (const Tlv& tlv : item.tlvs) {
        const bool text = tlv.type == buddytlv::kNickname || tlv.type == buddytlv::kNote ||
                          tlv.type == buddytlv::kEmail || tlv.type == buddytlv::kPhone;
        AppendTlvBytes(
            block, tlv.type,
            text ? ToUtf8(CountedUtf8ToWide(tlv.value.data(), tlv.value.size())) : tlv.AsString());
    }
    return block;
}

TEST(WireRoundTrip, ServerListItems) {
    Bytes reply = Hex("00 0006");
    for (const ItemRow& row : kItems) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        reply.insert(reply.end(), wire.begin(), wire.end());
        ByteReader reader(wire);
        ServerListItem item;
        ASSERT_TRUE(ReadServerListItem(reader, item));
        EXPECT_TRUE(reader.Remaining() == 0 && !item.tlvsCut);
        EXPECT_EQ(std::tie(item.name, item.groupId, item.itemId, item.type),
                  std::tie(row.name, row.groupId, row.itemId, row.type));
        EXPECT_EQ(ReadBuddyFields(item.tlvs).nickname, row.nickname);

        COscarPacket frame = COscarPacket::Snac(0x13, 0x09);
        AppendServerListItem(frame, ToUtf8(item.name), item.groupId, item.itemId, item.type,
                             RewriteBlock(item));
        EXPECT_EQ(Of(frame.rawSnacData()), wire);
    }
    // The whole reply (version, count, items, time 0) as the scripted server writes it.
    reply.insert(reply.end(), 4, 0x00);
    auto items = ParseServerListReply(reply);
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), std::size(kItems));
    std::vector<ListItem> back;
    for (const ServerListItem& item : *items) {
        back.push_back(
            {ToUtf8(item.name), item.groupId, item.itemId, item.type, RewriteBlock(item)});
    }
    EXPECT_EQ(ServerListBody(back), reply);
}

// ---------------------------------------------------------------------------------------------
// Incoming messages SNAC(0x04,0x07): ParseIncomingMessage against the server-side body writers
// (MessageHead, TextFragments, RendezvousBlock, and UserBlock for the sender's block).

Bytes Ucs2(std::u16string_view text) {
    ByteWriter w;
    for (char16_t c : text) w.U16(c);
    return w.bytes;
}

// The message again as the server writes it; `charset` is what channel 1 announces.
Bytes WriteIncoming(const IncomingMessage& m, uint16_t charset) {
    const int32_t status = m.status < 0 ? -1 : StatusToWire(kIcq, m.status);
    const std::string login = ToUtf8(m.login);
    if (m.channel == 4) {
        ByteWriter w;
        w.U32(0x11223344).U32(0x55667788).U16(4);
        w.Raw(UserBlock(login, {ClassTlv(0x0050), StatusTlv(status)}));
        // The sender's number and the text, low byte first, the text ending in a zero byte.
        const std::string text = ToUtf8(m.text);
        const uint32_t number = static_cast<uint32_t>(std::stoul(login));
        const uint16_t length = static_cast<uint16_t>(text.size() + 1);
        ByteWriter body;
        body.U32LE(number).U8(m.legacyType).U8(m.autoResponse ? 0x03 : 0x00).U16LE(length);
        body.Raw(text).U8(0);
        return w.Tlv(0x05, body.bytes).bytes;
    }
    ByteWriter w = MessageHead(m.channel, login, status);
    if (m.channel == 2)
        return w.Tlv(0x05, RendezvousBlock(Utf8(ToUtf8(m.text)), kUtf8Marker)).bytes;
    w.Tlv(0x02, TextFragments(charset, charset == 2 ? Ucs2(m.text) : Utf8(ToUtf8(m.text))));
    if (m.autoResponse) w.Tlv(0x04, Bytes{});
    if (m.sentAt) w.TlvU32(0x16, *m.sentAt);
    return w.bytes;
}

TEST(WireRoundTrip, IncomingMessages) {
    const std::string head = "1122334455667788 ";
    const std::string info = " 0000 0001  0001 0002 0050 ";  // warning level, class only
    struct Row {
        std::string hex;
        uint16_t charset;
        std::u16string login;
        int32_t status;
        std::u16string text;
        std::optional<uint32_t> sentAt;
        bool autoResponse = false;
        uint8_t legacyType = 0;
    } rows[] = {
        {head + "0001 05 \"alice\"" + info +
             "0002 0015 05 01 0001 01  01 01 000C 0000 0000 \"hi there\"",
         0, u"alice", -1, u"hi there", std::nullopt},
        {head + "0001 07 \"7654321\" 0000 0002  0001 0002 0050  0006 0004 00000011  0002 001B"
                " 05 01 0001 01  01 01 0012 0002 0000 0047 0072 00FC 00DF 0065 0020 20AC",
         2, u"7654321", kStatusOccupied, u"Gr\u00FC\u00DFe \u20AC", std::nullopt},
        {head + "0001 09 \"111222333\"" + info +
             "0002 001C 05 01 0001 01  01 01 0013 0000 0000"
             " \"sent while away\"  0016 0004 5F5E1000",
         0, u"111222333", -1, u"sent while away", 1600000000u},
        // UTF-8 under the ASCII charset, as the servers' bridges send it.
        {head + "0001 05 \"alice\"" + info +
             "0002 0014 05 01 0001 01  01 01 000B 0000 0000 \"Gr\" C3BC C39F \"e\"",
         0, u"alice", -1, u"Gr\u00FC\u00DFe", std::nullopt},
        // An automatic answer (TLV 0x0004), stamped by a server that relayed it later.
        {head + "0001 05 \"alice\"" + info +
             "0002 0010 05 01 0001 01  01 01 0007 0000 0000 \"brb\"  0004 0000  0016 0004 5F5E1000",
         0, u"alice", -1, u"brb", 1600000000u, true},
        // Channel 2: the rendezvous block with a UTF-8 text and the UTF-8 capability after it.
        {head + "0002 03 \"bob\"" + info +
             "0005 0096  0000 00000001 00000002"
             " 094613494C7F11D1822244455354 0000  000A 0002 0001  000F 0000  2711 006E"
             " 1B00 0900" +
             std::string(82, '0') +
             "01 00 0000 0100  0700 4772C3BCC39F65"
             " 00000000 00FFFFFF 26000000 \"" +
             std::string(kUtf8Marker) + "\"",
         0, u"bob", -1, u"Gr\u00FC\u00DFe", std::nullopt},
        // Channel 4: the sender block as presence notices carry it, then an older client's
        // message: its number, type, flags and the text, low byte first.
        {head + "0004 06 \"123456\" 0000 0002  0001 0002 0050  0006 0004 00000013"
                "  0005 000C 40E20100 01 00 0400 \"hi!\" 00",
         0, u"123456", kStatusDnd, u"hi!", std::nullopt, false, 1},
        {head + "0004 06 \"123456\" 0000 0002  0001 0002 0050  0006 0004 00000013"
                "  0005 000F 40E20100 01 03 0700 \"Grüß\" 00",
         0, u"123456", kStatusDnd, u"Grüß", std::nullopt, true, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        auto m = ParseIncomingMessage(wire);
        ASSERT_TRUE(m);
        EXPECT_EQ(std::tie(m->channel, m->login, m->status, m->text, m->sentAt, m->autoResponse,
                           m->legacyType),
                  std::make_tuple(wire[9], row.login, row.status, row.text, row.sentAt,
                                  row.autoResponse, row.legacyType));
        EXPECT_EQ(WriteIncoming(*m, row.charset), wire);
    }
}

// ---------------------------------------------------------------------------------------------
// Outgoing text SNAC(0x04,0x06): the head as ParseMessageAck reads it (the server echoes it in
// 0x04,0x0C), the fragments with ParseMessageFragments, and AppendTextMessage writing it again.

TEST(WireRoundTrip, OutgoingTextMessage) {
    struct Row {
        const char* hex;
        uint32_t number;
        std::u16string login, text;
    } rows[] = {
        {"00000007 00000007 0001 05 \"alice\"  0002 0012 05 01 0002 01 06  01 01 0008 0002 0000"
         " 0068 0069  0003 0000  0006 0000",
         7, u"alice", u"hi"},
        {"DEADBEEF DEADBEEF 0001 09 \"123456789\"  0002 0018 05 01 0002 01 06  01 01 000E 0002 0000"
         " D83D DE00 0020 006F 006B  0003 0000  0006 0000",
         0xDEADBEEF, u"123456789", u"\U0001F600 ok"},
        {"00000001 00000001 0001 03 \"bob\"  0002 000E 05 01 0002 01 06  01 01 0004 0002 0000"
         "  0003 0000  0006 0000",
         1, u"bob", u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        auto ack = ParseMessageAck(wire);
        ASSERT_TRUE(ack);
        EXPECT_EQ(std::tie(ack->number, ack->login), std::tie(row.number, row.login));

        ByteReader reader(wire);
        reader.Skip(10);
        reader.Skip(reader.ReadU8());
        TlvList tlvs;
        EXPECT_EQ(tlvs.Parse(reader.Rest()), reader.Remaining());
        ASSERT_EQ(tlvs.size(), 3u);
        EXPECT_TRUE(tlvs.Has(0x0003) && tlvs.Has(0x0006));
        auto text = ParseMessageFragments(tlvs[0].Bytes());
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, row.text);

        COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
        AppendTextMessage(frame, ack->number, ToUtf8(ack->login), *text);
        EXPECT_EQ(Of(frame.rawSnacData()), wire);
    }
}

// ---------------------------------------------------------------------------------------------
// Bodies only the scripted server writes, checked against the literal and read by the client:
// rate information (ParseRateInfo) and picture information (the avatar code's MD5 check).

TEST(WireRoundTrip, RateInfo) {
    const std::string record = " 00000050 000009C4 000007D0 000005DC 00000320 00001770 00001770";
    struct Row {
        std::string hex;
        Bytes written;
        size_t announced;
        std::vector<std::vector<uint32_t>> members;
    } rows[] = {
        {"0003  0001" + record + "  0002" + record + "  0003" + record +
             "  0001 0001 00010006  0002 0001 00040006  0003 0000",
         StandardRateInfo(),
         3,
         {{0x00010006}, {0x00040006}, {}, {}, {}}},
        {"0005  0001" + record + "  0002" + record + "  0003" + record + "  0004" + record +
             "  0005" + record +
             "  0001 0000  0002 0002 00100006 00010006  0003 0000  0004 0000  0005 0000",
         AvatarRateInfo(),
         5,
         {{}, {0x00100006, 0x00010006}, {}, {}, {}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        EXPECT_EQ(row.written, wire);
        const std::vector<RateClass> classes = ParseRateInfo(wire);
        ASSERT_EQ(classes.size(), 5u);  // padded to five positions with empty classes
        for (size_t i = 0; i < classes.size(); ++i) {
            const RateClass& c = classes[i];
            const bool announced = i < row.announced;
            EXPECT_EQ(c.id, announced ? i + 1 : 0);
            const std::vector<uint32_t> levels = {c.windowSize, c.clearLevel,   c.alertLevel,
                                                  c.limitLevel, c.currentLevel, c.maxLevel};
            const std::vector<uint32_t> sent = {80, 2500, 2000, 1500, 6000, 6000};
            EXPECT_EQ(levels, announced ? sent : std::vector<uint32_t>(6, 0));
            EXPECT_EQ(c.members, row.members[i]);
        }
    }
}

TEST(WireRoundTrip, PictureInfo) {
    const Bytes picture = Hex("\"abc\"");
    const Bytes info = Hex("0001 01 10 900150983CD24FB0D6963F7D28E17F72");
    ASSERT_EQ(info.size(), kPictureInfoSize);
    EXPECT_TRUE(MD5Matches(info.data() + 4, kPictureHashSize, picture));
    EXPECT_FALSE(IsBlankPicture(info));
    EXPECT_EQ(PictureInfo(picture), info);
}

// ---------------------------------------------------------------------------------------------
// The message family's events: a typing notice read into its event and written again, and the
// text and time the account is given for an incoming message.

TEST(WireRoundTrip, MessageFamilyEvents) {
    struct TypingRow {
        std::string hex;
        std::optional<event::Typing> read;
        bool writesBack;
    } typing[] = {
        {"00000000 00000000 0001 05 \"alice\" 0002", event::Typing{u"alice", true}, true},
        {"00000000 00000000 0001 05 \"alice\" 0000", event::Typing{u"alice", false}, true},
        // Paused reads as stopped; written, stopped is 0.
        {"00000000 00000000 0001 03 \"bob\" 0001", event::Typing{u"bob", false}, false},
        {"00000000 00000000 0001 03 \"bob\" 0003", std::nullopt, false},
        {"00000000 00000000 0001 00 0002", std::nullopt, false},
        {"00000000 00000000 0001 05 \"ali\"", std::nullopt, false},
    };
    for (const TypingRow& row : typing) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        const std::optional<event::Typing> read = TypingEvent(wire);
        EXPECT_EQ(read, row.read);
        if (!row.writesBack) continue;
        COscarPacket frame = COscarPacket::Snac(0x04, 0x14);
        AppendTypingNotice(frame, ToUtf8(read->login), read->typing ? 2 : 0);
        EXPECT_EQ(Bytes(frame.snacData().begin(), frame.snacData().end()), wire);
    }

    const uint32_t stamped = 1600000000u;
    struct MessageRow {
        const char* what;
        IncomingMessage in;
        std::optional<event::Message> out;
    } messages[] = {
        {"plain",
         {.channel = 1, .login = u"alice", .text = u"hi"},
         event::Message{.login = u"alice", .text = u"hi"}},
        {"stamped automatic answer",
         {.channel = 1, .login = u"alice", .text = u"brb", .sentAt = stamped, .autoResponse = true},
         event::Message{.login = u"alice",
                        .text = ResString(1048) + u" brb",
                        .time = UtcSecondsToLocalFileTime(stamped)}},
        {"a stamp before the networks",
         {.channel = 1, .login = u"bob", .text = u"x", .sentAt = 5},
         event::Message{.login = u"bob", .text = u"x"}},
        {"an older client's authorisation request",
         {.channel = 4,
          .login = u"123456",
          .status = kStatusDnd,
          .text = u"please",
          .legacyType = kLegacyAuthRequest},
         event::Message{
             .login = u"123456", .status = kStatusDnd, .text = ResString(1043) + u"\nplease"}},
        {"no text", {.channel = 2, .login = u"bob"}, std::nullopt},
    };
    for (const MessageRow& row : messages) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(MessageEvent(row.in), row.out);
    }
}

// ---------------------------------------------------------------------------------------------
// The list family's events: items the client sends in its edits, read as the server relays them
// to the account's other places and written again; authorisation requests and answers read as
// the server brings them and written as the client sends its own.

TEST(WireRoundTrip, ListFamilyEvents) {
    using Item = event::ListItem;
    struct EditRow {
        std::string hex;  // one item
        std::optional<Item> read;
    } edits[] = {
        // An addition: nickname and awaiting mark.
        {"0005 \"alice\" 0003 0102 0000 000D  0131 0005 \"Alice\"  0066 0000",
         Item{.name = u"alice",
              .groupId = 3,
              .itemId = 0x102,
              .nickname = u"Alice",
              .awaitingAuth = true}},
        // A rename: every field the client writes, in its order.
        {"0005 \"alice\" 0003 0102 0000 0017  0131 0002 \"Al\"  013C 0001 \"n\"  0137 0003 \"a@b\""
         "  013A 0001 \"1\"",
         Item{.name = u"alice",
              .groupId = 3,
              .itemId = 0x102,
              .nickname = u"Al",
              .note = u"n",
              .email = u"a@b",
              .phone = u"1"}},
        // A move's removal of the old item: no TLVs.
        {"0005 \"alice\" 0003 0102 0000 0000",
         Item{.name = u"alice", .groupId = 3, .itemId = 0x102}},
        {"0007 \"Friends\" 0004 0000 0001 0000",
         Item{.kind = Item::kGroup, .name = u"Friends", .groupId = 4}},
        // Nothing for the store: the root group, a nameless buddy, the picture item.
        {"0000 0000 0000 0001 0000", std::nullopt},
        {"0000 0003 0102 0000 0000", std::nullopt},
        {"0001 \"1\" 0000 0005 0014 0000", std::nullopt},
    };
    for (const EditRow& row : edits) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        const std::vector<ServerListItem> items = ReadEditItems(wire);
        ASSERT_EQ(items.size(), 1u);
        const std::optional<Item> read = ListItemEvent(items[0]);
        EXPECT_EQ(read, row.read);
        if (!read) continue;
        COscarPacket frame = COscarPacket::Snac(0x13, 0x09);
        AppendListItem(frame, *read);
        EXPECT_EQ(Of(frame.rawSnacData()), wire);
    }
    // An item cut short ends the edit; the one before it stands.
    Bytes cut = Hex(edits[0].hex);
    const Bytes tail = Hex("0005 \"bob\"");
    cut.insert(cut.end(), tail.begin(), tail.end());
    EXPECT_EQ(ReadEditItems(cut).size(), 1u);

    struct AuthRow {
        bool answer;  // 0x13,0x1B read and 0x13,0x1A written; else 0x13,0x19 and 0x13,0x18
        std::string hex;
        std::optional<event::AuthorisationRequest> request;
        std::optional<event::AuthorisationAnswer> answered;
        bool writesBack;
    } auth[] = {
        {false, "05 \"alice\" 0008 \"please!!\" 0000",
         event::AuthorisationRequest{u"alice", u"please!!"}, std::nullopt, true},
        // Eight bytes before the body, as some servers send it.
        {false, "0000000000000000 05 \"alice\" 0000", event::AuthorisationRequest{u"alice", u""},
         std::nullopt, false},
        {false, "00 0000", std::nullopt, std::nullopt, false},
        {true, "05 \"alice\" 01 0000", std::nullopt,
         event::AuthorisationAnswer{u"alice", true, u""}, true},
        {true, "03 \"bob\" 00 0004 \"no!!\"", std::nullopt,
         event::AuthorisationAnswer{u"bob", false, u"no!!"}, true},
        // A login no contact can have.
        {true, "03 620162 01 0000", std::nullopt, std::nullopt, false},
    };
    for (const AuthRow& row : auth) {
        SCOPED_TRACE(row.hex);
        const Bytes wire = Hex(row.hex);
        COscarPacket frame = COscarPacket::Snac(0x13, row.answer ? 0x1A : 0x18);
        if (row.answer) {
            const std::optional<event::AuthorisationAnswer> read = AuthorisationAnswerEvent(wire);
            EXPECT_EQ(read, row.answered);
            if (!row.writesBack) continue;
            AppendAuthorisationAnswer(frame, *read);
        } else {
            const std::optional<event::AuthorisationRequest> read = AuthorisationRequestEvent(wire);
            EXPECT_EQ(read, row.request);
            if (!row.writesBack) continue;
            AppendAuthorisationRequest(frame, *read);
        }
        EXPECT_EQ(Of(frame.rawSnacData()), wire);
    }
}

}  // namespace
}  // namespace zul::test
