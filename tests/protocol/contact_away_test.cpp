// An AIM contact's away message shown as its status text, and logins shown as the server
// formats them, against the scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "storage/status.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ReceivedFrame;
using test::SessionHarness;

constexpr uint16_t kAway = 0x0030, kBack = 0x0010;

class ContactAwayTest : public ::testing::Test {
  protected:
    ContactPtr Add(const std::u16string& login, const std::u16string& nickname = {}) {
        return h_.Contacts().AddNewContact(
            &h_.Account(), ContactFields{.login = login, .nickname = nickname}, true, false);
    }
    void Presence(const std::vector<std::pair<std::string, uint16_t>>& users) {
        std::vector<Bytes> blocks;
        for (const auto& [login, userClass] : users)
            blocks.push_back(test::UserBlock(login, {test::ClassTlv(userClass)}));
        h_.ServerSends(0x03, 0x0B, test::Concat(blocks));
    }
    // The away-message queries (0x02,0x15 with flags 2) for a login, or for any.
    std::vector<ReceivedFrame> Queries(const std::string& login = {}) {
        std::vector<ReceivedFrame> found;
        for (const ReceivedFrame& f : h_.ServiceServer().Frames()) {
            const Bytes d = f.snacData();
            if (f.IsSnac(0x02, 0x15) && d.size() >= 5 && d[3] == 2 &&
                (login.empty() || std::string(d.begin() + 5, d.end()) == login))
                found.push_back(f);
        }
        return found;
    }

    SessionHarness h_{[] {
        test::HarnessOptions options;
        options.login = u"zultester";
        options.accountType = acctype::kAim;
        return options;
    }()};
};

// Contacts away at sign-on are asked a few a second, each once, and the server answers each
// its own way: only an away message for a contact still away is shown, as one short line.
TEST_F(ContactAwayTest, TheAwayMessageIsAskedOnceShownAndGoesWhenTheContactComesBack) {
    enum Reply { kMessage, kNone, kError, kOtherRequest, kBackFirst };
    std::string huge = "<HTML>";
    while (huge.size() < 60000) huge += "word <B>word</B><BR>";
    const struct {
        std::string login, infoName;  // the name in the reply's info block
        Reply reply;
        std::string html;
        std::u16string shown, name;  // the start of the text shown (empty: none), the name
    } cases[] = {
        {"ben", "ben", kNone, "", u"", u"ben"},
        {"cal", "cal", kError, "", u"", u"cal"},
        {"dee", "dee", kOtherRequest, "not asked for", u"", u"dee"},
        {"eve", "eve", kBackFirst, "too late", u"", u"eve"},
        {"fay", "mallory", kMessage, huge, u"word word", u"fay"},
        {"ann", "A nn", kMessage, "<BODY>Out <B>to</B>   lunch,<BR>back\tat two</BODY>",
         u"Out to lunch, back at two", u"A nn"},
    };
    std::vector<std::pair<std::string, uint16_t>> away;
    for (const auto& c : cases) {
        ASSERT_TRUE(Add(Widen(c.login)));
        away.emplace_back(c.login, kAway);
    }
    ASSERT_TRUE(h_.SignOn(kStatusAvailable));
    Presence(away);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !Queries().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_LE(Queries().size(), 3u);  // never all at once

    for (const auto& c : cases) {
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !Queries(c.login).empty(); }));
        auto id = static_cast<uint16_t>(Queries(c.login).front().requestId());
        if (c.reply == kError) h_.ServerSends(0x02, 0x01, Bytes{0x00, 0x04}, id);
        if (c.reply == kBackFirst) Presence({{c.login, kBack}});
        while (c.reply == kOtherRequest && (++id == 0 || h_.Account().Pending().Find(id))) {
        }
        test::ByteWriter info;
        info.Raw(test::UserBlock(c.infoName, {test::ClassTlv(kAway)}));
        if (!c.html.empty()) info.Tlv(0x0003, std::string_view("text/html")).Tlv(0x0004, c.html);
        if (c.reply != kError) h_.ServerSends(0x02, 0x06, info.bytes, id);
    }
    // Replies are handled in order: once the last shows, every other has been handled.
    const ContactPtr ann = h_.Contacts().FindContact(&h_.Account(), u"ann");
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !ann->StatusText().empty(); }));
    for (const auto& c : cases) {
        const ContactPtr contact = h_.Contacts().FindContact(&h_.Account(), Widen(c.login));
        const std::u16string text = contact->StatusText();
        EXPECT_EQ(text.substr(0, c.shown.empty() ? text.size() : c.shown.size()), c.shown)
            << c.login;
        EXPECT_LE(text.size(), 250u) << c.login;
        EXPECT_EQ(contact->Status(), c.reply == kBackFirst ? kStatusAvailable : kStatusAway);
        EXPECT_EQ(contact->DisplayName(), c.name);
    }
    EXPECT_EQ(ann->StatusLine(), u"Out to lunch, back at two");

    // A notice while away asks nothing again; back, the text goes; away again, asked again.
    ASSERT_TRUE(Add(u"gus"));
    Presence({{"ann", kAway}, {"gus", kAway}});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !Queries("gus").empty(); }));
    EXPECT_EQ(Queries("ann").size(), 1u);
    Presence({{"ann", kBack}});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return ann->Status() == kStatusAvailable; }));
    EXPECT_EQ(ann->StatusText(), u"");
    Presence({{"ann", kAway}});
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return Queries("ann").size() == 2; }));
}

// Formatted names: shown where the user gave no nickname of its own, kept for the next start;
// the own one names the account where it still shows the login, and another login never does.
TEST_F(ContactAwayTest, FormattedNamesAreShownAndKept) {
    h_.Account().SetDescription(u"AIM zultester");
    const struct {
        ContactPtr contact;
        std::u16string login, shown;
    } expected[] = {
        {Add(u"zulbob"), u"zulbob", u"Zul Bob"},
        {Add(u"zuldan", u"Danny"), u"zuldan", u"Danny"},
        {Add(u"zuleve", u"zuleve"), u"zuleve", u"ZulEve"},  // a nickname that repeats the login
    };
    ASSERT_TRUE(h_.SignOn(kStatusAvailable));
    EXPECT_TRUE(h_.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x01, 0x0E)));
    h_.ServerSends(0x01, 0x0F, test::UserBlock("Zul Tester", {}));
    h_.ServerSends(0x01, 0x0F, test::UserBlock("mallory", {}));
    Presence({{"Zul Bob", kBack}, {"Zul Dan", kBack}, {"ZulEve", kBack}});
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return expected[2].contact->Status() == kStatusAvailable; }));
    EXPECT_EQ(h_.Account().Login(), u"zultester");
    EXPECT_EQ(h_.Account().OwnerNick(), u"Zul Tester");
    EXPECT_EQ(h_.Account().Description(), u"AIM Zul Tester");

    h_.Account().Disconnect(false);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h_.Account().SessionIdle(); }));
    h_.Contacts().RemoveAccount(h_.Account().ID());
    ASSERT_TRUE(h_.Account().LoadContacts());
    ASSERT_TRUE(h_.Contacts().LoadFormattedNames(&h_.Account()));
    for (const auto& e : expected) {
        const ContactPtr loaded = h_.Contacts().FindContact(&h_.Account(), e.login);
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->Login(), e.login);
        EXPECT_EQ(loaded->DisplayName(), e.shown) << ToUtf8(e.login);
    }
}

}  // namespace
}  // namespace zul
