// The user's profile and the automatic answers sent while away, against the scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/transport/packet.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

// Logins the client answered automatically (0x04,0x06 carrying TLV 0x0004), with how often,
// and whether any of them also asked for an acknowledgement or offline storage.
struct Answers {
    std::map<std::string, int> count;
    bool flaggedWrongly = false;
};

Answers AutomaticAnswers(const ScriptedServer& server) {
    Answers answers;
    for (const ReceivedFrame& f : server.Frames()) {
        if (!f.IsSnac(0x04, 0x06)) continue;
        const test::Bytes body = f.snacData();
        ByteReader r{ByteSpan(body)};
        r.ReadBytes(8);
        r.ReadU16();
        const std::string login = r.ReadString(r.ReadU8());
        TlvList tlvs;
        tlvs.Parse(r.ReadBytes(r.Remaining()));
        if (!tlvs.Has(0x0004)) continue;
        ++answers.count[login];
        answers.flaggedWrongly |= tlvs.Has(0x0003) || tlvs.Has(0x0006);
    }
    return answers;
}

// The profile text of each 0x02,0x04 that carried one, in order.
std::vector<std::string> ProfilesSent(const ScriptedServer& server) {
    std::vector<std::string> sent;
    for (const ReceivedFrame& f : server.Frames()) {
        if (!f.IsSnac(0x02, 0x04)) continue;
        const test::Bytes body = f.snacData();
        TlvList tlvs;
        tlvs.Parse(ByteSpan(body));
        if (const Tlv* text = tlvs.Find(0x0002)) sent.push_back(text->AsString());
    }
    return sent;
}

TEST(AwayAndProfile, TheProfileIsSentEscapedAtSignOnAndWhenChanged) {
    test::HarnessOptions options;
    options.login = u"ZulTester";
    options.accountType = acctype::kAim;
    SessionHarness h(options);
    h.Account().SetProfile(u"a<b & \"c\"\nGr\u00FC\u00DFe");
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ASSERT_EQ(ProfilesSent(h.ServiceServer()),
              std::vector<std::string>{"a&lt;b &amp; &quot;c&quot;<br>Gr\xC3\xBC\xC3\x9F"
                                       "e"});

    h.Account().ChangeProfile(u"");  // cleared on the server too
    EXPECT_TRUE(
        SessionHarness::WaitUntil([&] { return ProfilesSent(h.ServiceServer()).size() == 2; }));
    EXPECT_EQ(ProfilesSent(h.ServiceServer()).back(), "");
}

TEST(AwayAndProfile, WhileAwayEachWriterIsAnsweredOncePerAwayPeriod) {
    test::HarnessOptions options;
    options.login = u"ZulTester";
    options.accountType = acctype::kAim;
    SessionHarness h(options);
    h.Account().SetStatusNote(u"at lunch");
    ASSERT_TRUE(h.SignOn(kStatusAway));
    const auto message = [&](std::string_view from, bool automatic, bool kept) {
        test::ByteWriter w = test::MessageHead(1, from);
        w.Tlv(0x0002, test::TextFragments(0, test::Utf8("hi")));
        if (automatic) w.Tlv(0x0004, test::Bytes{});
        if (kept) w.TlvU32(0x0016, 1600000000);
        h.ServerSends(0x04, 0x07, w.bytes, 0);
    };
    message("ann", false, false);
    message("ann", false, false);
    message("Bo b", false, false);
    message("bob", false, false);  // the same name, spaced and cased otherwise
    message("cat", true, false);   // an automatic answer is never answered
    message("dan", false, true);   // nor a message kept while the user was offline
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return AutomaticAnswers(h.ServiceServer()).count.size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Answers answers = AutomaticAnswers(h.ServiceServer());
    EXPECT_EQ(answers.count, (std::map<std::string, int>{{"ann", 1}, {"Bo b", 1}}));
    EXPECT_FALSE(answers.flaggedWrongly);

    // A new away message begins a new period; back from away, nobody is answered.
    h.Account().ChangeStatusNote(u"still at lunch");
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x01, 0x1E)) >= 2; }));
    message("ann", false, false);
    EXPECT_TRUE(SessionHarness::WaitUntil(
        [&] { return AutomaticAnswers(h.ServiceServer()).count["ann"] == 2; }));
    h.Account().RequestStatus(kStatusAvailable);
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return h.Account().Status() == kStatusAvailable; }));
    message("eve", false, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(AutomaticAnswers(h.ServiceServer()).count.count("eve"), 0u);
}

// Warning a contact (answered, refused) and being warned (by name, anonymously, or by a
// frame cut short): the outcome is said, the level kept, a named warner told in its chat.
TEST(AwayAndProfile, WarningsSentAndReceivedAreToldAndTheLevelKept) {
    test::HarnessOptions options;
    options.login = u"ZulTester";
    options.accountType = acctype::kAim;
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    h.ServerSends(
        0x04, 0x07,
        test::MessageHead(1, "bob").Tlv(0x0002, test::TextFragments(0, test::Utf8("hi"))).bytes);
    ContactPtr bob;
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return (bob = h.Account().Contacts().FindContact(&h.Account(), u"bob")) != nullptr;
    }));

    const struct {
        bool anonymous;
        test::Bytes answer;  // to 0x04,0x09, or an error 0x04,0x01 when it starts with 0xFF
        std::u16string said;
    } sent[] = {
        {false, {0x00, 0x1E, 0x01, 0x2C}, u"bob: warned; the warning level is now 30%."},
        {true, {0xFF, 0x00, 0x04}, u"bob: not warned (error 4)."},
    };
    for (const auto& c : sent) {
        const size_t before = h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x08));
        ASSERT_TRUE(h.Account().WarnContact(bob.get(), c.anonymous));
        ASSERT_TRUE(
            h.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x04, 0x08), before + 1));
        const ReceivedFrame request = h.ServiceServer().Frames().back();
        const test::Bytes body = request.snacData();
        EXPECT_EQ(body,
                  (test::Bytes{0x00, static_cast<uint8_t>(c.anonymous ? 1 : 0), 3, 'b', 'o', 'b'}));
        if (c.answer[0] == 0xFF)
            h.ServerSends(0x04, 0x01, test::Bytes(c.answer.begin() + 1, c.answer.end()),
                          request.requestId());
        else
            h.ServerSends(0x04, 0x09, c.answer, request.requestId());
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().StatusText() == c.said; }))
            << ToUtf8(h.Account().StatusText());
    }

    const struct {
        test::Bytes body;
        int level;
        std::u16string told;  // in the warner's chat; empty: nothing stored
    } received[] = {
        {{0x00, 0x96, 4, 'c', 'a', 'r', 'l', 0x00, 0x00, 0x00, 0x00},
         150,
         u"Warned you. Your warning level is now 15%."},
        {{0x00, 0xC8}, 200, u""},           // anonymous
        {{0x01, 0x00, 40, 'x'}, 256, u""},  // a warner's name cut short
    };
    for (const auto& c : received) {
        h.ServerSends(0x01, 0x10, c.body);
        EXPECT_TRUE(SessionHarness::WaitUntil([&] {
            return h.Account().WarningLevel() == c.level;
        })) << c.level;
        if (!c.told.empty())
            EXPECT_TRUE(SessionHarness::WaitUntil(
                [&] { return test::LastMessageFrom(u"carl") == c.told; }));
    }
    EXPECT_EQ(h.Account().Contacts().FindContact(&h.Account(), u"x"), nullptr);
    EXPECT_EQ(h.Account().Status(), kStatusAvailable);
}

}  // namespace
}  // namespace zul
