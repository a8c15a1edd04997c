// Logins shown as the server formats them, against the scripted server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/status.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

constexpr uint16_t kClassAway = 0x0030, kClassBack = 0x0010;

// SNAC(0x02,0x06): the user's info block, then the location TLVs.
Bytes UserInfo(std::string_view name, const Bytes& tlvs) {
    return ByteWriter().Raw(test::UserBlock(name, {test::ClassTlv(kClassAway)})).Raw(tlvs).bytes;
}

class ContactAwayTest : public ::testing::Test {
  protected:
    static test::HarnessOptions Aim() {
        test::HarnessOptions options;
        options.login = u"zultester";
        options.accountType = acctype::kAim;
        return options;
    }

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
    SessionHarness h_{Aim()};
};

// Names as the server formats them are shown where the user gave no nickname of its own; a
// name that is another login is never taken, and the login used for matching stays.
TEST_F(ContactAwayTest, FormattedNamesAreShownKeptAndNeverRenameAContact) {
    h_.Account().SetDescription(u"AIM zultester");
    const ContactPtr bob = Add(u"zulbob");
    const ContactPtr dan = Add(u"zuldan", u"Danny");
    const ContactPtr eve = Add(u"zuleve", u"zuleve");  // a nickname that only repeats the login
    const ContactPtr cat = Add(u"zulcat");
    ASSERT_TRUE(h_.SignOn(kStatusAvailable));
    EXPECT_TRUE(h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x01, 0x0E)));

    Presence({{"Zul Bob", kClassBack}, {"Zul Dan", kClassBack}, {"ZulEve", kClassBack}});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return eve->Status() == kStatusAvailable; }));
    // A details reply naming someone else is not this contact's name; its own name is.
    const auto isDetails = [](const ReceivedFrame& f) {
        return f.IsSnac(0x02, 0x15) && f.snacData().at(3) == 3;
    };
    for (std::string_view name : {"mallory", "Zul Cat"}) {
        const size_t before = h_.ServiceServer().CountFrames(isDetails);
        h_.Account().RequestContactDetails(u"zulcat");
        ASSERT_TRUE(h_.ServiceServer().WaitForFrameCount(isDetails, before + 1));
        uint32_t id = 0;
        for (const ReceivedFrame& f : h_.ServiceServer().Frames())
            if (isDetails(f)) id = f.requestId();
        h_.ServerSends(0x02, 0x06, UserInfo(name, {}), id);
        ASSERT_TRUE(SessionHarness::WaitUntil(
            [&] { return !h_.Account().DetailsOf(u"zulcat").Loading(); }));
        if (name == "mallory") {
            EXPECT_EQ(cat->FormattedName(), u"");
        }
    }
    // The own name, then a hostile one.
    for (std::string_view own : {"Zul Tester", "mallory"}) {
        h_.ServerSends(0x01, 0x0F, test::UserBlock(own, {}));
        Presence({{"zulbob", kClassBack}});  // handled after it
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return bob->FormattedName().empty(); }));
        Presence({{"Zul Bob", kClassBack}});
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !bob->FormattedName().empty(); }));
    }

    const struct {
        ContactPtr contact;
        std::u16string login, shown;
    } expected[] = {
        {bob, u"zulbob", u"Zul Bob"},
        {dan, u"zuldan", u"Danny"},
        {eve, u"zuleve", u"ZulEve"},
        {cat, u"zulcat", u"Zul Cat"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(e.contact->Login(), e.login);
        EXPECT_EQ(e.contact->DisplayName(), e.shown) << ToUtf8(e.login);
        EXPECT_EQ(h_.Contacts().FindContact(&h_.Account(), e.login), e.contact);
    }
    EXPECT_EQ(h_.Account().Login(), u"zultester");
    EXPECT_EQ(h_.Account().OwnerNick(), u"Zul Tester");
    EXPECT_EQ(h_.Account().Description(), u"AIM Zul Tester");

    // The profile keeps the names for the next start, before any presence.
    h_.Account().Disconnect(false);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h_.Account().SessionIdle(); }));
    h_.Contacts().RemoveAccount(h_.Account().ID());
    ASSERT_TRUE(h_.Account().LoadContacts());
    ASSERT_TRUE(h_.Contacts().LoadFormattedNames(&h_.Account()));
    for (const auto& e : expected) {
        const ContactPtr loaded = h_.Contacts().FindContact(&h_.Account(), e.login);
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->DisplayName(), e.shown) << ToUtf8(e.login);
    }
}

}  // namespace
}  // namespace zul
