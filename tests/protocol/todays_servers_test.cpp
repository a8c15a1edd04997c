// Sign-on and services as today's OSCAR servers play them, against scripted servers on loopback
// and a real profile: the MD5 login, password lengths per account type, the ICQ meta offline
// messages, the older picture query, error replies to sign-on requests and the sign-off frame.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/transport/login.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "support/avatar_server.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

constexpr uint32_t kOwnNumber = 12345;  // the harness's default login
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

using test::ScopedEnv;

// A short socket time-out, so that a wait for a reply that never comes ends the sign-on.
class ShortSocketTimeout {
  public:
    ShortSocketTimeout() { SetSocketIoTimeout(3000); }
    ~ShortSocketTimeout() { SetSocketIoTimeout(60000); }
};

std::vector<test::WireTlv> SnacTlvs(const ReceivedFrame& frame) {
    const Bytes data = frame.snacData();
    return test::ParseTlvs(data);
}

// TLVs of a channel-1 frame, after its version word.
std::vector<test::WireTlv> ChannelOneTlvs(const ReceivedFrame& frame) {
    if (frame.channel != 0x01 || frame.data.size() < 4) return {};
    return test::ParseTlvs(std::span(frame.data).subspan(4));
}

bool IsPasswordLogin(const ReceivedFrame& frame) {
    return test::FindTlv(ChannelOneTlvs(frame), 0x0002) != nullptr;
}

// ---- the MD5 login and the password bytes ---------------------------------------------------

TEST(TodaysServersLogin, TheMd5ProofHashesTheKeyThePasswordDigestAndTheBrand) {
    // md5("1714635429" + md5("secret") + the fixed brand text), computed elsewhere.
    const std::array<uint8_t, 16> expected = {0x0E, 0xF9, 0x9E, 0xB7, 0xF9, 0x0A, 0xB7, 0x90,
                                              0xC8, 0x86, 0xCD, 0x7C, 0xF2, 0xB0, 0xBA, 0x8C};
    EXPECT_EQ(StrongPasswordHash("1714635429", "secret"), expected);
}

TEST(TodaysServersLogin, ASecureAccountAsksForTheKeyAndSignsOnWithTheProof) {
    test::HarnessOptions options;
    options.password = u"pa55word";
    SessionHarness h(options);
    h.Account().SetSecureLogin(1);
    ASSERT_TRUE(h.SignOn(0));

    auto keyRequest = h.LoginServer().WaitForFrame(ScriptedServer::IsSnac(0x17, 0x06));
    ASSERT_TRUE(keyRequest);
    const auto keyTlvs = SnacTlvs(*keyRequest);
    ASSERT_NE(test::FindTlv(keyTlvs, 0x0001), nullptr);
    EXPECT_EQ(test::FindTlv(keyTlvs, 0x0001)->value, test::Utf8("12345"));

    auto proofRequest = h.LoginServer().WaitForFrame(ScriptedServer::IsSnac(0x17, 0x02));
    ASSERT_TRUE(proofRequest);
    EXPECT_GT(proofRequest->sequence, keyRequest->sequence);
    const auto tlvs = SnacTlvs(*proofRequest);
    ASSERT_NE(test::FindTlv(tlvs, 0x0001), nullptr);
    EXPECT_EQ(test::FindTlv(tlvs, 0x0001)->value, test::Utf8("12345"));
    // md5("key1" + md5("pa55word") + brand): the key the scripted server hands out.
    const Bytes proof = {0x6B, 0x0E, 0x4D, 0x33, 0x0C, 0x55, 0xBD, 0xBC,
                         0x38, 0x59, 0xB0, 0x76, 0xD5, 0x0A, 0x08, 0xBA};
    ASSERT_NE(test::FindTlv(tlvs, 0x0025), nullptr);
    EXPECT_EQ(test::FindTlv(tlvs, 0x0025)->value, proof);
    EXPECT_NE(test::FindTlv(tlvs, 0x004C), nullptr);

    // The scrambled password never travels.
    EXPECT_EQ(h.LoginServer().CountFrames(IsPasswordLogin), 0u);
}

// The password bytes of the channel-1 login request.
Bytes SentPassword(SessionHarness& h) {
    for (const ReceivedFrame& f : h.LoginServer().Frames()) {
        const auto tlvs = ChannelOneTlvs(f);
        if (const test::WireTlv* password = test::FindTlv(tlvs, 0x0002)) return password->value;
    }
    return {};
}

// An AIM name also goes folded as servers compare names (some match only the stored form).
TEST(TodaysServersLogin, AimNamesSendSixteenPasswordBytesIcqNumbersEight) {
    const uint8_t key[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                             0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};
    struct Case {
        std::u16string login;
        uint8_t type;
        size_t sent;
        std::string_view client;
        std::string_view sentLogin;
    };
    for (const Case& c : {Case{u"Zul Tester", acctype::kAim, 12, "AIM Client", "zultester"},
                          Case{u"12345", acctype::kIcq, 8, "ICQ Client", "12345"}}) {
        SCOPED_TRACE(ToUtf8(c.login));
        test::HarnessOptions options;
        options.login = c.login;
        options.accountType = c.type;
        options.password = u"abcdefghijkl";
        SessionHarness h(options);
        ASSERT_TRUE(h.SignOn(0));
        const Bytes sent = SentPassword(h);
        ASSERT_EQ(sent.size(), c.sent);
        for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], ('a' + i) ^ key[i]) << i;

        const auto tlvs = ChannelOneTlvs(h.LoginServer().Frames().at(0));
        const test::WireTlv* client = test::FindTlv(tlvs, 0x0003);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->value, test::Utf8(c.client));
        const test::WireTlv* login = test::FindTlv(tlvs, 0x0001);
        ASSERT_NE(login, nullptr);
        EXPECT_EQ(login->value, test::Utf8(c.sentLogin));
    }
}

TEST(TodaysServersLogin, APasswordTheCodePageCannotHoldIsNeverSentAndNotRetried) {
    ScopedEnv codePage("ZUL_ANSI_CODEPAGE", "1252");
    test::HarnessOptions options;
    options.password = u"密码12";
    SessionHarness h(options);
    h.Account().RequestStatus(0);
    // The plain text: no count-down to a reconnect.
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText() ==
               u"The password holds characters the server cannot receive; choose another "
               u"(-99980)";
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(h.LoginServer().ConnectionCount(), 1);
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_FALSE(h.Account().SessionRunning());
    // Neither a login request nor anything of the MD5 login went out.
    EXPECT_EQ(h.LoginServer().CountFrames(
                  [](const ReceivedFrame& f) { return f.channel == 0x01 || f.channel == 0x02; }),
              0u);
}

// ---- ICQ offline messages through the meta service -----------------------------------------

// SNAC(0x15,0x03) body: TLV 0x0001 holding a little-endian meta reply of `type`.
Bytes MetaReply(uint16_t type, uint16_t sequence, const Bytes& rest) {
    ByteWriter data;
    data.U32LE(kOwnNumber).U16LE(type).U16LE(sequence).Raw(rest);
    ByteWriter chunk;
    chunk.U16LE(static_cast<uint16_t>(data.bytes.size())).Raw(data.bytes);
    return ByteWriter().Tlv(0x0001, chunk.bytes).bytes;
}

struct OfflineMessage {
    uint32_t sender;
    uint16_t year;
    uint8_t month, day, hour, minute;  // UTC
    Bytes text;                        // with its terminator
};

Bytes OfflineMessageReply(uint16_t sequence, const OfflineMessage& m) {
    ByteWriter w;
    w.U32LE(m.sender).U16LE(m.year).U8(m.month).U8(m.day).U8(m.hour).U8(m.minute);
    w.U8(0x01).U8(0x00).U16LE(static_cast<uint16_t>(m.text.size())).Raw(m.text);
    return MetaReply(0x0041, sequence, w.bytes);
}

// The sequence of a bare meta request (after TLV header, size, own number and type).
uint16_t MetaSequence(const ReceivedFrame& frame) {
    const Bytes data = frame.snacData();
    return data.size() < 14 ? 0 : static_cast<uint16_t>(data[12] | data[13] << 8);
}

// The stored message from a sender and its time as written in the row.
std::pair<std::u16string, uint64_t> StoredMessage(std::u16string_view login) {
    const std::u16string where =
        u" FROM History H, Contacts C WHERE C.LocalID=H.ContactID AND C.Login='" +
        std::u16string(login) + u"'";
    const std::u16string text = test::RowText(u"SELECT H.Message" + where);
    const std::string hex = ToUtf8(test::RowText(u"SELECT hex(H.EventTime)" + where));
    uint8_t bytes[8] = {};
    for (size_t i = 0; i < 8 && hex.size() == 16; ++i) {
        bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return {text, DecodeEventTime(bytes, 8)};
}

uint64_t LocalFileTimeHere(uint32_t utcSeconds) {  // for TZ=XST-3
    return kUnixEpochFileTime + (utcSeconds + 3ull * 3600) * 10000000ull;
}

TEST(TodaysServersOfflineMessages, MetaOfflineMessagesAreStoredWithTheirTimesThenDeleted) {
    ScopedEnv zone("TZ", "XST-3");  // three hours east of UTC
    // "Hi Привет" as UCS-2 big-endian, two zero bytes at the end.
    const Bytes ucs2 = {0x00, 'H',  0x00, 'i',  0x00, ' ',  0x04, 0x1F, 0x04, 0x40,
                        0x04, 0x38, 0x04, 0x32, 0x04, 0x35, 0x04, 0x42, 0x00, 0x00};
    const OfflineMessage messages[] = {
        {7001, 2024, 3, 5, 7, 8, test::Utf8(std::string_view("first one\0", 10))},
        {7002, 2023, 12, 31, 23, 59, test::Utf8(std::string_view("second\0", 7))},
        {7003, 2024, 1, 2, 3, 4, ucs2},
    };
    test::HarnessOptions options;
    options.script = [&messages](ScriptedServer&, ScriptedServer& service) {
        service.OnFrame([](const ReceivedFrame& f) { return test::MetaRequestType(f) == 0x003C; },
                        [&messages](const ReceivedFrame& f) {
                            const uint16_t sequence = MetaSequence(f);
                            std::vector<test::OutFrame> replies;
                            for (const OfflineMessage& m : messages) {
                                replies.push_back(test::SnacFrame(
                                    0x15, 0x03, OfflineMessageReply(sequence, m), f.requestId()));
                            }
                            replies.push_back(test::SnacFrame(
                                0x15, 0x03, MetaReply(0x0042, sequence, {0x00}), f.requestId()));
                            return test::Reply(replies);
                        });
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));

    auto request = h.ServiceServer().WaitForFrame(
        [](const ReceivedFrame& f) { return test::MetaRequestType(f) == 0x003C; });
    ASSERT_TRUE(request);
    const uint16_t sequence = MetaSequence(*request);
    EXPECT_NE(sequence, 0);
    EXPECT_EQ(request->snacData(),
              (Bytes{0x00, 0x01, 0x00, 0x0A, 0x08, 0x00, 0x39, 0x30, 0x00, 0x00, 0x3C, 0x00,
                     static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8)}));

    // The delete request follows the end marker; the messages are stored by then.
    auto del = h.ServiceServer().WaitForFrame(
        [](const ReceivedFrame& f) { return test::MetaRequestType(f) == 0x003E; });
    ASSERT_TRUE(del);
    const Bytes delData = del->snacData();
    ASSERT_EQ(delData.size(), 14u);
    EXPECT_EQ(Bytes(delData.begin(), delData.begin() + 12),
              (Bytes{0x00, 0x01, 0x00, 0x0A, 0x08, 0x00, 0x39, 0x30, 0x00, 0x00, 0x3E, 0x00}));

    EXPECT_EQ(StoredMessage(u"7001"),
              std::make_pair(std::u16string(u"first one"), LocalFileTimeHere(1709622480)));
    EXPECT_EQ(StoredMessage(u"7002"),
              std::make_pair(std::u16string(u"second"), LocalFileTimeHere(1704067140)));
    EXPECT_EQ(StoredMessage(u"7003").first, u"Hi Привет");
    EXPECT_FALSE(h.Account().Pending().Find(sequence));
    // A server that keeps them the meta way is not asked the AIM way too.
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x10)), 0u);
}

TEST(TodaysServersOfflineMessages, ARefusedMetaRequestIsFollowedByTheAimRequest) {
    SessionHarness h;  // the standard rules answer 0x3C with SNAC(0x15,0x01)
    ASSERT_TRUE(h.SignOn(0));
    ASSERT_TRUE(h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x10)));
    const auto frames = h.ServiceServer().Frames();
    auto position = [&](const ScriptedServer::Match& match) {
        for (size_t i = 0; i < frames.size(); ++i) {
            if (match(frames[i])) return i;
        }
        return frames.size();
    };
    const size_t meta =
        position([](const ReceivedFrame& f) { return test::MetaRequestType(f) == 0x003C; });
    ASSERT_LT(meta, frames.size());
    EXPECT_LT(meta, position(ScriptedServer::IsSnac(0x04, 0x10)));
}

// ---- pictures -------------------------------------------------------------------------------

TEST(TodaysServersPictures, ARefusedPictureQueryIsAskedAgainWithTheOlderQuery) {
    const Bytes cookie = {0xA7, 0xA7, 0x01, 0x02};
    std::map<std::string, Bytes> pictures;
    for (const char* name : {"67890", "55555"}) {
        Bytes& p = pictures[name];
        for (size_t i = 0; i < 300; ++i) p.push_back(static_cast<uint8_t>(name[0] + i * 13));
    }
    // Declared first: it plays on the host and must outlive it.
    std::unique_ptr<test::AvatarServer> avatar;
    ScriptedServer host;
    // This server knows only the older query: the newer one gets an error with its request id;
    // the older one is answered with name, information, length and picture.
    host.OnFrame(ScriptedServer::IsSnac(0x10, 0x06), [](const ReceivedFrame& f) {
        return test::Reply({test::SnacFrame(0x10, 0x01, Bytes{0x00, 0x01}, f.requestId())});
    });
    host.OnFrame(ScriptedServer::IsSnac(0x10, 0x04), [pictures](const ReceivedFrame& f) {
        const Bytes body = f.snacData();
        const std::string name(body.begin() + 1, body.begin() + 1 + body[0]);
        const Bytes& picture = pictures.at(name);
        ByteWriter w;
        w.U8(body[0]).Raw(name).Raw(test::PictureInfo(picture));
        w.U16(static_cast<uint16_t>(picture.size())).Raw(picture);
        return test::Reply({test::SnacFrame(0x10, 0x05, w.bytes, f.requestId())});
    });
    avatar = std::make_unique<test::AvatarServer>(&host);

    SessionHarness h;
    h.ServiceServer().OnFrame(ScriptedServer::IsSnac(0x01, 0x04), [&](const ReceivedFrame& f) {
        return test::Reply({test::SnacFrame(
            0x01, 0x05, test::RedirectBody(host.HostPort(), cookie, false), f.requestId())});
    });
    auto add = [&](const std::u16string& login) {
        return h.Contacts().AddNewContact(
            &h.Account(), ContactFields{.login = login, .nickname = login}, true, false);
    };
    auto announce = [&](const std::string& login) {
        const Bytes info = test::PictureInfo(pictures.at(login));
        const Bytes item = test::Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()));
        h.ServerSends(0x03, 0x0B, test::UserBlock(login, {test::SessionDataTlv({item})}));
    };
    ContactPtr ada = add(u"67890");
    ContactPtr bob = add(u"55555");
    ASSERT_TRUE(h.SignOn(0));

    announce("67890");
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return ada->HasPicture(); }, std::chrono::seconds(20)));
    EXPECT_EQ(ada->Picture(), pictures.at("67890"));
    auto newer = host.WaitForFrame(ScriptedServer::IsSnac(0x10, 0x06));
    auto older = host.WaitForFrame(ScriptedServer::IsSnac(0x10, 0x04));
    ASSERT_TRUE(newer && older);
    ByteWriter body;
    body.U8(5).Raw("67890").U8(0x01).Raw(test::PictureInfo(pictures.at("67890")));
    EXPECT_EQ(newer->snacData(), body.bytes);
    EXPECT_EQ(older->snacData(), body.bytes);
    EXPECT_NE(older->requestId(), newer->requestId());

    // The server is known now: the next picture goes straight to the older query.
    announce("55555");
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return bob->HasPicture(); }, std::chrono::seconds(20)));
    EXPECT_EQ(bob->Picture(), pictures.at("55555"));
    EXPECT_EQ(host.CountFrames(ScriptedServer::IsSnac(0x10, 0x06)), 1u);
    EXPECT_EQ(host.CountFrames(ScriptedServer::IsSnac(0x10, 0x04)), 2u);
}

// ---- error replies during the sign-on -------------------------------------------------------

TEST(TodaysServersSignOn, AnErrorReplyToAnOptionalRequestEndsOnlyThatStep) {
    ShortSocketTimeout timeout;
    const std::pair<uint16_t, uint16_t> requests[] = {
        {0x01, 0x06}, {0x02, 0x02}, {0x03, 0x02}, {0x04, 0x04}, {0x09, 0x02}, {0x13, 0x02},
    };
    for (const auto& [family, subtype] : requests) {
        SCOPED_TRACE(testing::Message() << "SNAC(" << family << "," << subtype << ")");
        test::HarnessOptions options;
        options.reconnectOnError = false;
        options.script = [family, subtype](ScriptedServer&, ScriptedServer& service) {
            service.OnFrame(
                ScriptedServer::IsSnac(family, subtype), [family](const ReceivedFrame& f) {
                    return test::Reply(
                        {test::SnacFrame(family, 0x01, Bytes{0x00, 0x02}, f.requestId())});
                });
        };
        SessionHarness h(options);
        ASSERT_TRUE(h.SignOn(0));
        EXPECT_EQ(h.Account().Status(), 0);
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
        // Without rate classes there is nothing to acknowledge.
        if (family == 0x01) {
            EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x01, 0x08)), 0u);
        }
    }
}

TEST(TodaysServersSignOn, ARefusedListRequestEndsTheAttemptWithTheServersCode) {
    ShortSocketTimeout timeout;
    test::HarnessOptions options;
    options.reconnectOnError = false;
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        service.OnFrame(ScriptedServer::IsSnac(0x13, 0x04), [](const ReceivedFrame& f) {
            return test::Reply({test::SnacFrame(0x13, 0x01, Bytes{0x00, 0x0E}, f.requestId())});
        });
    };
    SessionHarness h(options);
    h.Account().RequestStatus(0);
    const std::u16string expected = FormatInt(u"The server refused a step of the sign-on (%d)",
                                              errcode::kSignOnStepRefused - 0x0E);
    // At once, not after the socket time-out.
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().StatusText() == expected; },
                                          std::chrono::milliseconds(2500)))
        << ToUtf8(h.Account().StatusText());
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x01, 0x02)), 0u);
}

TEST(TodaysServersSignOn, OnlyRefusedStepsReadAsRefused) {
    for (int32_t code : {errcode::kFrameTooLarge, errcode::kClosedInBody, errcode::kClosedInHeader,
                         errcode::kIncompleteLoginReply}) {
        EXPECT_EQ(LoginErrorText(acctype::kIcq, code), u"Unknown error (%d)") << code;
    }
}

// ---- signing off ----------------------------------------------------------------------------

TEST(TodaysServersSignOff, BothServersHearTheClientLeaveOnChannelFour) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    ASSERT_TRUE(h.LoginServer().WaitForClientClose(0));
    const auto login = h.LoginServer().Frames(0);
    ASSERT_FALSE(login.empty());
    EXPECT_EQ(login.back().channel, 0x04);
    EXPECT_TRUE(login.back().data.empty());

    h.Account().Disconnect(false);
    ASSERT_TRUE(h.ServiceServer().WaitForClientClose(0));
    const auto service = h.ServiceServer().Frames(0);
    ASSERT_GE(service.size(), 2u);
    EXPECT_EQ(service.back().channel, 0x04);
    EXPECT_TRUE(service.back().data.empty());
    // Numbered on from the session's last frame.
    EXPECT_EQ(service.back().sequence,
              static_cast<uint16_t>(service[service.size() - 2].sequence + 1));
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsChannel(0x04)), 1u);
}

}  // namespace
}  // namespace zul
