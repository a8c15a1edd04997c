// Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from the frames the
// scripted OSCAR server of the tests sends: the login and service greetings, the login reply,
// the sign-on replies, the server list, presence notices, messages, meta replies, the avatar
// server's frames, and a profile with one account, its contacts and their history.
//
// Run it after changing the input format of a target: zul_fuzz_seeds [corpus folder].
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/service_wire.h"
#include "protocol/services/server_list_item.h"
#include "support/oscar_server.h"
#include "support/session_harness.h"

namespace zul::test {
namespace {

std::filesystem::path g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::filesystem::path folder = g_root / target;
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Encode(const OutFrame& frame, uint16_t sequence) {
    return EncodeFrame(frame.channel, sequence, frame.data);
}

// A SNAC as the family targets take it: everything after the family word.
Bytes AfterFamily(uint16_t subtype, const Bytes& payload, uint32_t requestId = 0,
                  uint16_t flags = 0) {
    ByteWriter w;
    w.U16(subtype).U16(flags).U32(requestId).Raw(payload);
    return w.bytes;
}

// A record of the stream targets: [tag][16-bit length][bytes].
Bytes Record(uint8_t tag, const Bytes& bytes) {
    ByteWriter w;
    w.U8(tag).U16(static_cast<uint16_t>(bytes.size())).Raw(bytes);
    return w.bytes;
}

// Family index of the stream targets' tags.
uint8_t FamilyTag(uint16_t family) {
    switch (family) {
        case 0x01:
            return 0;
        case 0x02:
            return 1;
        case 0x03:
            return 2;
        case 0x04:
            return 3;
        case 0x09:
            return 4;
        case 0x13:
            return 5;
        default:
            return 6;
    }
}

Bytes SnacRecord(uint16_t family, uint16_t subtype, const Bytes& payload, uint32_t requestId = 0,
                 uint16_t flags = 0) {
    return Record(FamilyTag(family), AfterFamily(subtype, payload, requestId, flags));
}

Bytes Md5(const Bytes& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr);
    return Bytes(digest, digest + 16);
}

Bytes PictureInfo(const Bytes& picture) {
    ByteWriter w;
    w.U16(0x0001).U8(0x01).U8(0x10).Raw(Md5(picture));
    return w.bytes;
}

// --- presence ------------------------------------------------------------------------------

Bytes UserBlock(std::string_view login, const std::vector<Bytes>& tlvs) {
    ByteWriter w;
    w.U8(static_cast<uint8_t>(login.size()))
        .Raw(login)
        .U16(0)
        .U16(static_cast<uint16_t>(tlvs.size()));
    for (const Bytes& t : tlvs) w.Raw(t);
    return w.bytes;
}

Bytes Item(uint16_t type, uint8_t flags, const Bytes& data) {
    ByteWriter w;
    w.U16(type).U8(flags).U8(static_cast<uint8_t>(data.size())).Raw(data);
    return w.bytes;
}

Bytes OnlineNotice(const Bytes& picture) {
    ByteWriter text;
    text.U16(5).Raw("hello").U16(0);
    ByteWriter time;
    time.U32(1700000000);
    const Bytes info = PictureInfo(picture);
    const Bytes sessionData = Cat({Item(0x0002, 0x04, text.bytes), Item(0x000D, 0, time.bytes),
                                   Item(0x000E, 0, Utf8("icqmood3")),
                                   Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()))});
    ByteWriter cls, status, sd;
    cls.TlvU16(0x0001, 0x0050);
    status.TlvU32(0x0006, 0x00000001);
    sd.Tlv(0x001D, sessionData);
    return Cat(
        {UserBlock("67890", {cls.bytes, status.bytes, sd.bytes}), UserBlock("55555", {cls.bytes})});
}

// --- messages and other SNAC bodies --------------------------------------------------------

Bytes Channel2Message() {
    return MessageHead(2, "67890", 0)
        .Tlv(0x0005, RendezvousBlock(Utf8("hi there"), "{0946134E-4C7F-11D1-8222-444553540000}"))
        .bytes;
}

Bytes OfflineMessage() {
    ByteWriter w = MessageHead(1, "55555");
    w.Tlv(0x0002, TextFragments(0x0002, Bytes{0x00, 'o', 0x00, 'k'}));
    w.TlvU32(0x0016, 1700000000);
    return w.bytes;
}

Bytes MessageAck() {
    ByteWriter w;
    w.U32(3).U32(3).U16(1).U8(5).Raw("67890");
    return w.bytes;
}

Bytes Typing(uint16_t type) {
    ByteWriter w;
    w.U32(1).U32(2).U16(1).U8(5).Raw("67890").U16(type);
    return w.bytes;
}

Bytes ServerList() {
    ByteWriter nick, settings, waiting;
    nick.Tlv(buddytlv::kNickname, "Ada").Tlv(buddytlv::kEmail, "ada@example.org");
    settings.Tlv(kPrivacyModeTlv, Bytes{0x04});
    waiting.Tlv(buddytlv::kAwaitingAuth, Bytes{});
    return ServerListBody({
        {"Friends", 1, 0, listitem::kGroup, {}},
        {"67890", 1, 0x101, listitem::kBuddy, nick.bytes},
        {"55555", 1, 0x102, listitem::kBuddy, waiting.bytes},
        {"55555", 0, 0x201, listitem::kPermit, {}},
        {"44444", 0, 0x202, listitem::kDeny, {}},
        {"33333", 0, 0x203, listitem::kIgnore, {}},
        {"", 0, 0x9999, listitem::kSettings, settings.bytes},
    });
}

Bytes AuthRequest() {
    ByteWriter w;
    w.U32(0).U32(0).U8(5).Raw("22222").U16(6).Raw("please");
    return w.bytes;
}

// TLV 0x0001 of a short-details reply (little-endian fields).
Bytes MetaData(bool withNickname) {
    ByteWriter w;
    w.U16LE(0).U32LE(12345).U16LE(0x07DA).U16LE(0).U16LE(0x0104).U8(0x0A);
    auto text = [&w](std::string_view s) { w.U16LE(static_cast<uint16_t>(s.size())).Raw(s); };
    text(withNickname ? "Ada" : "");
    text("Ann");
    text("Lee");
    text("ann@example.org");
    w.U8(0);
    w.bytes[0] = static_cast<uint8_t>(w.bytes.size() - 2);
    return w.bytes;
}

Bytes MetaReplyBody(bool withNickname) {
    ByteWriter w;
    w.Tlv(0x0001, MetaData(withNickname));
    return w.bytes;
}

Bytes RedirectBody(std::string_view address, bool leadingBlock) {
    ByteWriter w;
    if (leadingBlock) w.U16(6).U16(1).U16(2).U16(3);
    w.TlvU16(0x000D, 0x0010).Tlv(0x0005, address).Tlv(0x0006, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    return w.bytes;
}

Bytes OwnPictureInfo(const Bytes& picture) {
    return PictureInfo(picture);
}

Bytes PictureReply(std::string_view name, const Bytes& picture) {
    const Bytes info = PictureInfo(picture);
    ByteWriter w;
    w.U8(static_cast<uint8_t>(name.size())).Raw(name).Raw(info).U8(1).Raw(info);
    w.U16(static_cast<uint16_t>(picture.size())).Raw(picture);
    return w.bytes;
}

Bytes RateChange() {
    ByteWriter w;
    w.U16(2).U16(2).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(4000).U32(6000);
    return w.bytes;
}

// --- the targets ---------------------------------------------------------------------------

const Bytes kPicture = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8};

void FrameSeeds() {
    // The login server's side of a sign-on, the service server's, and single frames.
    const uint8_t cookie[] = {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
    Write("packet_receive", "login_stream",
          Cat({Encode(Greeting(), 1), Encode(LoginReply("127.0.0.1:5191", cookie), 2)}));
    Write("packet_receive", "login_refused",
          Cat({Encode(Greeting(), 1), Encode(LoginError(5), 2)}));
    ByteWriter families;
    for (uint16_t f : {0x0001, 0x0002, 0x0003, 0x0004, 0x0009, 0x0013, 0x0015}) families.U16(f);
    Write("packet_receive", "service_stream",
          Cat({Encode(Greeting(), 1), Encode(SnacFrame(0x01, 0x03, families.bytes), 2),
               Encode(SnacFrame(0x01, 0x07, StandardRateInfo()), 3),
               Encode(SnacFrame(0x02, 0x03), 4), Encode(SnacFrame(0x03, 0x03), 5),
               Encode(SnacFrame(0x04, 0x05), 6), Encode(SnacFrame(0x09, 0x03), 7),
               Encode(SnacFrame(0x13, 0x03), 8), Encode(SnacFrame(0x13, 0x06, ServerList()), 9),
               Encode(SnacFrame(0x03, 0x0B, OnlineNotice(kPicture)), 10),
               Encode(Disconnect(1), 11)}));
    Write("packet_receive", "keep_alive", EncodeFrame(0x05, 0x7FFF, {}));
    Write("packet_receive", "largest_frame", EncodeFrame(0x02, 1, Bytes(30714, 0x41)));
    Write("packet_receive", "split_header", Bytes{0x2A, 0x02, 0x00});
    Bytes tooLarge = {0x2A, 0x02, 0x00, 0x01, 0x77, 0xFB};  // 30715 data bytes announced
    Write("packet_receive", "too_large", tooLarge);
}

void TlvSeeds() {
    const uint8_t cookie[] = {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
    const Bytes reply = LoginReply("127.0.0.1:5191", cookie).data;
    Write("tlv_list", "login_reply", Cat({Bytes{0, 0, 0}, reply}));
    Write("tlv_list", "login_reply_length", Cat({Bytes{1, 0, 12}, reply}));
    Write("tlv_list", "login_reply_count", Cat({Bytes{2, 0, 1}, reply}));
    Write("tlv_list", "empty_and_short",
          Bytes{0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 'a', 'b', 'c'});
}

void TextSeeds() {
    Write("wire_text", "utf8", Cat({Bytes{0xFD, 0xE9}, Utf8("Привет, world")}));
    Write("wire_text", "utf16be", Bytes{0x00, 0x00, 0x04, 0x1F, 0x00, 'a', 0xD8, 0x3D, 0xDE, 0x00});
    Write("wire_text", "cp1251", Bytes{0x04, 0xE3, 0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2});
    Write("wire_text", "screen_name", Bytes{0x00, 0x00, 0x00, 'a', 0x00, 'd', 0x00, 'a'});
}

void FamilySeeds() {
    ByteWriter families;
    for (uint16_t f : {0x0001, 0x0002, 0x0003, 0x0004, 0x0009, 0x0013, 0x0015}) families.U16(f);
    Write("family_01", "families", Cat({Bytes{0}, AfterFamily(0x03, families.bytes)}));
    Write("family_01", "redirect",
          Cat({Bytes{0x03}, AfterFamily(0x05, RedirectBody("127.0.0.1:1", false))}));
    Write("family_01", "redirect_block",
          Cat({Bytes{0x03}, AfterFamily(0x05, RedirectBody("127.0.0.1", true), 0, 0x8000)}));
    Write("family_01", "redirect_extra",
          Cat({Bytes{0x23}, AfterFamily(0x05, RedirectBody("127.0.0.1:1", false))}));
    Write("family_01", "rate_info", Cat({Bytes{0}, AfterFamily(0x07, StandardRateInfo())}));
    Write("family_01", "rate_change", Cat({Bytes{0}, AfterFamily(0x0A, RateChange())}));
    Write("family_01", "rate_request", Cat({Bytes{0}, AfterFamily(0x18, {})}));
    Write("family_01", "own_picture", Cat({Bytes{0}, AfterFamily(0x21, OwnPictureInfo(kPicture))}));
    Write("family_02", "rights", Cat({Bytes{0}, AfterFamily(0x03, {0, 1, 0, 2, 0x04, 0})}));
    Write("family_09", "rights", Cat({Bytes{0}, AfterFamily(0x03, {0, 1, 0, 2, 0x00, 0xA0})}));

    Write("family_03", "online", Cat({Bytes{0}, AfterFamily(0x0B, OnlineNotice(kPicture))}));
    Write("family_03", "offline", Cat({Bytes{0}, AfterFamily(0x0C, UserBlock("67890", {}))}));

    Write("family_04", "channel1",
          Cat({Bytes{0},
               AfterFamily(0x07, Channel1Message("67890", 0x0002, Bytes{0x04, 0x1F, 0x00, '!'}))}));
    Write("family_04", "channel1_offline", Cat({Bytes{0x01}, AfterFamily(0x07, OfflineMessage())}));
    Write("family_04", "channel2", Cat({Bytes{0}, AfterFamily(0x07, Channel2Message())}));
    Write("family_04", "channel4",
          Cat({Bytes{0}, AfterFamily(0x07, MessageHead(4, "55555").bytes)}));
    Write("family_04", "ack", Cat({Bytes{0}, AfterFamily(0x0C, MessageAck())}));
    Write("family_04", "typing", Cat({Bytes{0}, AfterFamily(0x14, Typing(2))}));
    Write("family_04", "offline_done", Cat({Bytes{0x01}, AfterFamily(0x17, {})}));

    Write("family_13", "list", Cat({Bytes{0}, AfterFamily(0x06, ServerList())}));
    Write("family_13", "list_more", Cat({Bytes{0}, AfterFamily(0x06, ServerList(), 0, 1)}));
    Write("family_13", "removal_ack", Cat({Bytes{0x05 | 0x08}, AfterFamily(0x0E, {0, 0})}));
    Write("family_13", "auth_request", Cat({Bytes{0}, AfterFamily(0x19, AuthRequest())}));
    Write("family_13", "error", Cat({Bytes{0}, AfterFamily(0x01, {0, 1})}));

    Write("family_15", "short_details", Cat({Bytes{0x01}, AfterFamily(0x03, MetaReplyBody(true))}));
    Write("family_15", "own_details",
          Cat({Bytes{0x07 | 0x10}, AfterFamily(0x03, MetaReplyBody(false))}));
    Write("family_15", "error", Cat({Bytes{0}, AfterFamily(0x01, {0, 2})}));

    Write("meta_reply", "short_details", Cat({Bytes{0x00}, MetaData(true)}));
    Write("meta_reply", "owner_names", Cat({Bytes{0x06 | 0x10}, MetaData(false)}));
    Write("meta_reply", "more_follows", Cat({Bytes{0x80}, MetaData(true)}));

    Write("channel2_extension", "utf8",
          RendezvousBlock(Utf8("hi there"), "{0946134E-4C7F-11D1-8222-444553540000}"));
    Write("channel2_extension", "ansi", RendezvousBlock(Utf8("plain"), ""));
    Write("channel2_extension", "status_request", RendezvousBlock(Utf8(""), "", 0xE8));
}

void AvatarSeeds() {
    auto frame = [](uint8_t control, uint16_t family, uint16_t subtype, const Bytes& payload,
                    uint16_t flags = 0) {
        ByteWriter w;
        w.U8(control).U8(0x02).U16(family).Raw(AfterFamily(subtype, payload, 0, flags));
        return w.bytes;
    };
    ByteWriter families;
    families.U16(0x0001).U16(0x0010);
    Write("avatar", "families", frame(0, 0x01, 0x03, families.bytes));
    Write("avatar", "rate_info", frame(0, 0x01, 0x07, StandardRateInfo()));
    Write("avatar", "host_online", frame(0, 0x01, 0x18, {}));
    Write("avatar", "picture", frame(0x01, 0x10, 0x07, PictureReply("67890", kPicture)));
    Write("avatar", "own_picture", frame(0x01, 0x10, 0x07, PictureReply("12345", kPicture)));
    Write("avatar", "error", frame(0x01, 0x10, 0x01, {0, 1}));
    Write("avatar", "disconnect_channel", Bytes{0, 0x04, 0x00, 0x09, 0x00, 0x02, 0x00, 0x01});
}

void StreamSeeds() {
    Write("server_list", "one_reply", SnacRecord(0x13, 0x06, ServerList()));
    Write("server_list", "two_replies",
          Cat({SnacRecord(0x13, 0x06, ServerList(), 0, 1),
               SnacRecord(0x03, 0x0B, OnlineNotice(kPicture)),
               SnacRecord(0x13, 0x06, ServerList())}));
    Write("server_list", "unchanged", SnacRecord(0x13, 0x0F, {}));
    Write("server_list", "disconnect", Record(0x07 | (0x04 << 3), Disconnect(1).data));

    Write("session_stream", "busy",
          Cat({SnacRecord(0x03, 0x0B, OnlineNotice(kPicture)),
               SnacRecord(0x04, 0x07, Channel1Message("67890", 0x0002, Bytes{0x00, 'h'})),
               SnacRecord(0x04, 0x07, Channel2Message()), SnacRecord(0x04, 0x14, Typing(2)),
               SnacRecord(0x13, 0x06, ServerList()), SnacRecord(0x15, 0x03, MetaReplyBody(true)),
               SnacRecord(0x01, 0x03, {}), SnacRecord(0x01, 0x0A, RateChange()),
               Record(0x07 | (0x05 << 3), {}), SnacRecord(0x03, 0x0C, UserBlock("67890", {}))}));
    Write("session_stream", "disconnect",
          Cat({SnacRecord(0x04, 0x0C, MessageAck()),
               Record(0x07 | (0x04 << 3), Disconnect(2).data)}));
    Write("session_stream", "garbage",
          Cat({SnacRecord(0x02, 0x03, {}), Record(0xFF, Utf8("GET / HTTP/1.0"))}));
}

// --- profile -------------------------------------------------------------------------------

struct Row {
    ByteWriter w;
    Row& Null() {
        w.U8(0);
        return *this;
    }
    Row& Int(int64_t v) {
        w.U8(1);
        for (int i = 0; i < 8; ++i) w.U8(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
        return *this;
    }
    Row& Text(std::string_view s) {
        w.U8(3).U16(static_cast<uint16_t>(s.size())).Raw(s);
        return *this;
    }
    Row& Blob(const Bytes& b) {
        w.U8(4).U16(static_cast<uint16_t>(b.size())).Raw(b);
        return *this;
    }
};

Bytes TableRecord(uint8_t table, const Row& row) {
    return Record(table, row.w.bytes);
}

void ProfileSeeds() {
    Row option, option2, account, group, contact, contact2, message, status;
    option.Int(7).Int(1).Text("ReconnectOnError");
    option2.Int(12).Text("zulincoming.wav").Null();
    account.Int(77)
        .Int(11)
        .Text("12345")
        .Text("secret")
        .Text("login.example")
        .Text("5190")
        .Text("Account")
        .Int(0)
        .Int(0)
        .Int(100)
        .Int(200)
        .Int(0)
        .Text("Me")
        .Blob(kPicture)
        .Int(1);
    group.Int(77).Int(1).Int(1).Text("Friends");
    contact.Int(77)
        .Int(1001)
        .Int(0x101)
        .Int(1)
        .Text("67890")
        .Text("Ada")
        .Text("note")
        .Text("ada@example.org")
        .Text("555")
        .Null()
        .Null()
        .Null()
        .Int(0)
        .Blob(kPicture);
    contact2.Int(77).Int(1002).Int(0x102).Int(0).Text("55555").Text("55555");
    Bytes time = {0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01};
    message.Int(77)
        .Int(1001)
        .Int(2)
        .Int(1)
        .Blob(time)
        .Int(1)
        .Int(0)
        .Int(-1)
        .Text("hello")
        .Int(1)
        .Int(1)
        .Int(0)
        .Int(0)
        .Int(0);
    status.Int(77)
        .Int(1001)
        .Int(1)
        .Int(1)
        .Blob(time)
        .Int(2)
        .Int(10)
        .Int(3)
        .Text("away")
        .Int(0)
        .Int(0)
        .Int(0)
        .Int(0)
        .Int(0);
    const Bytes good =
        Cat({TableRecord(0, option), TableRecord(0, option2), TableRecord(1, account),
             TableRecord(3, group), TableRecord(2, contact), TableRecord(2, contact2),
             TableRecord(4, message), TableRecord(4, status)});
    Write("profile", "one_account", good);

    // Wrong types: texts where numbers belong, a short time blob, a huge number.
    Row badAccount, badContact, badMessage;
    badAccount.Int(78)
        .Text("eleven")
        .Blob({1, 2, 3})
        .Int(0)
        .Null()
        .Text("99999999999")
        .Text("Bad")
        .Int(1)
        .Int(1)
        .Text("x")
        .Int(-1)
        .Int(1LL << 40)
        .Null()
        .Text("not a picture")
        .Text("1");
    badContact.Int(78).Int(2001).Text("srv").Blob({9}).Int(12345).Blob({0xFF, 0xFE}).Null();
    badMessage.Int(78)
        .Int(2001)
        .Text("2")
        .Int(1)
        .Blob({1, 2})
        .Text("n")
        .Null()
        .Null()
        .Blob({0xC3, 0x28})
        .Int(1);
    Write("profile", "wrong_types",
          Cat({good, TableRecord(1, badAccount), TableRecord(2, badContact),
               TableRecord(4, badMessage)}));
    // Damage in the middle of the file.
    ByteWriter damage;
    damage.U32(4096 + 100).Raw(Bytes(32, 0xFF));
    Write("profile", "damaged", Cat({good, Record(0x80, damage.bytes)}));
}

void LanguageSeeds() {
    Write("language_module", "german",
          Utf8("\xEF\xBB\xBF# German\r\n[language]\r\nid = 0x0407\r\n\r\n"
               "[strings]\n999 = Deutsch\n100 = Keine Konten.\\nTippen\n"
               "115 = Kontakte: %d, online: %d\n1004 = . Warte %i s.\n"
               "12000 = Verf\xC3\xBCgbar\n\n[menus]\n213.32866 = Aus\n"
               "211.Sort by = Sortieren nach\n\n[dialogs]\n"
               "132.1046 = Sprache:\n132.caption = Sprache\n"));
    Write("language_module", "formats", Utf8("[strings]\n1099 = %s%n%x %d %d\n1010 = \\t%0639d\n"));
    Write("language_module", "broken", Utf8("[strings]\n1 = \\q\n"));
}

}  // namespace
}  // namespace zul::test

int main(int argc, char** argv) {
    using namespace zul::test;
    g_root =
        argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::path(ZUL_FUZZ_DIR) / "corpus";
    FrameSeeds();
    TlvSeeds();
    TextSeeds();
    FamilySeeds();
    AvatarSeeds();
    StreamSeeds();
    ProfileSeeds();
    LanguageSeeds();
    std::printf("seed corpora written to %s\n", g_root.string().c_str());
    return 0;
}
