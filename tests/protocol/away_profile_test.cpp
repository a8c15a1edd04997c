// The user's profile and the automatic answers sent while away, against the scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "accounts/status.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/transport/packet.h"
#include "service_wire.h"
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

}  // namespace
}  // namespace zul
