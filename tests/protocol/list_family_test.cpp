// The server-side list against a real profile: the download at sign-on over loopback, list
// SNACs of the running session handed to the handler as the receive loop does, and the
// removal of a buddy from the server.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/server_list_item.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ListItem;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

constexpr int32_t kAccountId = 77;  // the harness's account

Bytes Nick(std::string_view nickname) {
    ByteWriter w;
    w.Tlv(0x0131, nickname);
    return w.bytes;
}

void DeliverList(COscar& session, const Bytes& body, uint16_t flags = 0) {
    COscarPacket frame = test::SnacPacket(0x13, 0x06, body, 0x06, flags);
    HandleListFamily(session, frame);
}

int32_t ContactColumn(std::u16string_view column, std::u16string_view login) {
    std::u16string sql = u"SELECT ";
    sql += column;
    sql += u" FROM Contacts WHERE AccID=77 AND Login=?";
    return test::RowInt(sql, login);
}

int32_t GroupsInMemory(CContacts& contacts) {
    std::lock_guard lock(contacts.Mutex());
    int32_t n = 0;
    for (const auto& group : contacts.GroupList()) n += group->AccountID() == kAccountId;
    return n;
}

TEST(ListFamily, AListInTwoRepliesIsTakenWholeAndNothingBetweenThemIsLost) {
    test::HarnessOptions options;
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        Bytes first = test::ServerListBody({{"Friends", 1, 0, 1, {}},
                                            {"111", 1, 0x0101, 0, Nick("Ann")},
                                            {"111", 0, 0x0201, 2, {}}});
        Bytes second = test::ServerListBody({{"222", 1, 0x0102, 0, Nick("Bob")},
                                             {"333", 0, 0x0202, 3, {}},
                                             {"222", 0, 0x0203, 0x0E, {}}});
        Bytes message = test::Channel1Message("999", 0, test::Utf8("meanwhile"));
        service.OnSnac(0x13, 0x04,
                       test::Reply({test::SnacFrame(0x13, 0x06, first, 0x04, 0x0001),
                                    test::SnacFrame(0x04, 0x07, message),
                                    test::SnacFrame(0x13, 0x06, second, 0x04)}));
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));

    EXPECT_EQ(ContactColumn(u"OnServer", u"111"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"222"), 1);
    EXPECT_EQ(ContactColumn(u"GroupID", u"222"), 1);
    EXPECT_EQ(ContactColumn(u"SrvID", u"222"), 0x0102);
    EXPECT_EQ(ContactColumn(u"Visible", u"111"), 1);
    EXPECT_EQ(ContactColumn(u"Ignored", u"222"), 1);
    EXPECT_EQ(ContactColumn(u"Ignored", u"111"), 0);
    EXPECT_EQ(test::RowText(u"SELECT Name FROM Groups WHERE AccID=77 AND ID=1"), u"Friends");
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"222");
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->GroupName(), u"Friends");
    EXPECT_EQ(bob->Nickname(), u"Bob");

    // The message that arrived between the two replies is handled after the sign-on.
    EXPECT_TRUE(SessionHarness::WaitUntil([] {
        return test::RowInt(
                   u"SELECT COUNT(*) FROM History H, Contacts C WHERE "
                   u"C.LocalID=H.ContactID AND C.Login='999'") == 1;
    }));
}

// Servers send the whole list in one SNAC: 1,200 buddies with nicknames make a frame of about
// 35 KB, more than the frame bound the client once had.
TEST(ListFamily, AListInOneLargeFrameIsTaken) {
    test::HarnessOptions options;
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        std::vector<test::ListItem> items = {{"Friends", 1, 0, 1, {}}};
        for (int i = 0; i < 1200; ++i) {
            items.push_back({std::to_string(1000000 + i), 1, static_cast<uint16_t>(0x0100 + i), 0,
                             Nick("Nick " + std::to_string(i))});
        }
        const Bytes body = test::ServerListBody(items);
        EXPECT_GT(body.size(), 30720u);
        service.OnSnac(0x13, 0x04, test::Reply({test::SnacFrame(0x13, 0x06, body, 0x04)}));
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE AccID=77 AND OnServer=1"), 1200);
    EXPECT_EQ(ContactColumn(u"SrvID", u"1001199"), 0x0100 + 1199);
}
TEST(ListFamily, AnUnchangedListClearsEveryGroupAndFlagButKeepsTheContacts) {
    SessionHarness h;  // the server answers the list request with SNAC(0x13,0x0F)
    h.Contacts().AddOrUpdateGroup(kAccountId, u"Old", 5);
    ContactPtr dan = h.Contacts().AddNewContact(&h.Account(),
                                                ContactFields{.srvID = 9,
                                                              .groupID = 5,
                                                              .groupName = u"Old",
                                                              .login = u"444",
                                                              .nickname = u"Dan",
                                                              .onServer = true},
                                                true, false);
    ASSERT_TRUE(dan);
    dan->SetVisible(1);
    dan->SetInvisible(1);
    dan->SetIgnored(1);
    ASSERT_TRUE(dan->dbSave());
    ASSERT_EQ(GroupsInMemory(h.Contacts()), 1);

    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    EXPECT_EQ(GroupsInMemory(h.Contacts()), 0);
    for (auto column : {u"OnServer", u"Visible", u"Invisible", u"Ignored"}) {
        EXPECT_EQ(ContactColumn(column, u"444"), 0) << "column";
    }
    // Off the server the contact belongs to no group, so it still loads after the group's
    // row is cleaned away.
    EXPECT_EQ(ContactColumn(u"GroupID", u"444"), 0);
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE AccID=77 AND Login='444'"), 1);
}

TEST(ListFamily, BuddyItemsFillTheContactFields) {
    SessionHarness h;
    ByteWriter full;
    full.Tlv(0x0131, "Cat").Tlv(0x013C, "note").Tlv(0x0137, "c@x").Tlv(0x013A, "+1");
    ByteWriter awaiting;
    awaiting.Tlv(0x0131, "Dog").Tlv(0x0066, Bytes{});
    DeliverList(h.Account(), test::ServerListBody({{"Pals", 3, 0, 1, {}},
                                                   {"601", 3, 0x11, 0, full.bytes},
                                                   {"602", 3, 0x12, 0, {}},
                                                   {"603", 3, 0x13, 0, awaiting.bytes},
                                                   {"604", 3, 0x14, 0, Nick("604")}}));

    ContactPtr cat = h.Contacts().FindContact(&h.Account(), u"601");
    ASSERT_TRUE(cat);
    EXPECT_EQ(cat->Nickname(), u"Cat");
    EXPECT_EQ(cat->Note(), u"note");
    EXPECT_EQ(cat->Email(), u"c@x");
    EXPECT_EQ(cat->Phone(), u"+1");
    EXPECT_EQ(cat->GroupName(), u"Pals");
    EXPECT_FALSE(cat->NeedsDetails());
    EXPECT_EQ(ContactColumn(u"AwaitingAuth", u"601"), 0);

    // Without a nickname, or with the login as nickname, the details are fetched later.
    ContactPtr nameless = h.Contacts().FindContact(&h.Account(), u"602");
    ASSERT_TRUE(nameless);
    EXPECT_EQ(nameless->Nickname(), u"");
    EXPECT_TRUE(nameless->NeedsDetails());
    EXPECT_TRUE(h.Contacts().FindContact(&h.Account(), u"604")->NeedsDetails());

    // TLV 0x0066 of length 0 still means awaiting authorisation.
    EXPECT_EQ(ContactColumn(u"AwaitingAuth", u"603"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"603"), 1);
}

TEST(ListFamily, EditsAnotherPlaceMadeKeepTheListInStep) {
    SessionHarness h;
    COscar& a = h.Account();
    DeliverList(a, test::ServerListBody({{"Pals", 3, 0, 1, {}}, {"601", 3, 0x11, 0, Nick("Cat")}}));
    // Edits pass on as the items alone (the reply's header and time cut off).
    const auto relay = [&](uint16_t subtype, const std::vector<ListItem>& items, size_t cut = 0) {
        const Bytes body = test::ServerListBody(items);
        const Bytes itemsOnly(body.begin() + 3, body.end() - 4 - static_cast<long>(cut));
        COscarPacket frame = test::SnacPacket(0x13, subtype, itemsOnly, 0x80000000u);
        HandleListFamily(a, frame);
    };
    const auto find = [&](const char16_t* login) { return h.Contacts().FindContact(&a, login); };

    relay(0x08, {{"Work", 4, 0, 1, {}}, {"602", 4, 0x21, 0, Nick("Dee")}});
    relay(0x09, {{"601", 3, 0x11, 0, Nick("Kitty")}});
    ASSERT_TRUE(find(u"602"));
    EXPECT_EQ(find(u"602")->GroupName(), u"Work");
    EXPECT_TRUE(find(u"602")->OnServer());
    EXPECT_EQ(find(u"601")->Nickname(), u"Kitty");

    // A move there: the new item, then the old one's removal, which leaves the contact.
    relay(0x08, {{"601", 4, 0x31, 0, Nick("Kitty")}});
    relay(0x0A, {{"601", 3, 0x11, 0, {}}});
    ASSERT_TRUE(find(u"601"));
    EXPECT_EQ(find(u"601")->GroupName(), u"Work");
    EXPECT_EQ(find(u"601")->SrvID(), 0x31);

    // Removals that name nothing the list has, a cut item, a group that still has members.
    relay(0x0A, {{"999", 4, 0x99, 0, {}}});
    relay(0x0A, {{"602", 4, 0x77, 0, {}}});
    relay(0x0A, {{"602", 4, 0x21, 0, Nick("Dee")}}, 3);
    relay(0x0A, {{"Work", 4, 0, 1, {}}});
    ASSERT_TRUE(find(u"602"));
    EXPECT_EQ(GroupsInMemory(h.Contacts()), 2);

    // What it names goes; then the emptied group.
    relay(0x0A, {{"602", 4, 0x21, 0, {}}, {"601", 4, 0x31, 0, {}}});
    relay(0x0A, {{"Work", 4, 0, 1, {}}});
    EXPECT_FALSE(find(u"602"));
    EXPECT_FALSE(find(u"601"));
    EXPECT_EQ(GroupsInMemory(h.Contacts()), 1);
}

TEST(ListFamily, TheSettingsItemIsKeptWithItsModeAndOtherTlvs) {
    SessionHarness h;
    ByteWriter mode;
    mode.Tlv(0x00CA, Bytes{0x04});
    DeliverList(h.Account(), test::ServerListBody({{"", 0, 0x0042, 4, mode.bytes}}));
    EXPECT_EQ(h.Account().PermitDenyItemId(), 0x0042);
    EXPECT_EQ(h.Account().PrivacyMode(), 4);
    EXPECT_TRUE(h.Account().PrivacyItemTlvs().empty());

    // An item without a mode is still the item (a second one is never added beside it).
    DeliverList(h.Account(), test::ServerListBody({{"", 0, 0x0043, 4, Nick("x")}}));
    EXPECT_EQ(h.Account().PermitDenyItemId(), 0x0043);
    EXPECT_EQ(h.Account().PrivacyMode(), 0);
    EXPECT_EQ(h.Account().PrivacyItemTlvs(), Nick("x"));
}

TEST(ListFamily, AnAuthorisationRequestIsStoredAsAMessage) {
    SessionHarness h;
    auto request = [&](std::string_view login, std::string_view reason) {
        ByteWriter w;
        w.U32(0).U32(0).U8(static_cast<uint8_t>(login.size())).Raw(login);
        w.U16(static_cast<uint16_t>(reason.size())).Raw(reason);
        COscarPacket frame = test::SnacPacket(0x13, 0x19, w.bytes);
        HandleListFamily(h.Account(), frame);
    };
    request("701", "");
    request("702", "please");
    EXPECT_EQ(test::RowText(u"SELECT H.Message FROM History H, Contacts C WHERE "
                            u"C.LocalID=H.ContactID AND C.Login='701'"),
              u"Asks for your authorisation.");
    EXPECT_EQ(test::RowText(u"SELECT H.Message FROM History H, Contacts C WHERE "
                            u"C.LocalID=H.ContactID AND C.Login='702'"),
              u"Asks for your authorisation. please");
    EXPECT_EQ(h.Contacts().FindContact(&h.Account(), u"701")->Status(), kStatusOffline);
}

TEST(ListFamily, AMalformedReplyDropsOnlyThatSnac) {
    SessionHarness h;
    DeliverList(h.Account(), test::ServerListBody({{"801", 0, 0x21, 0, Nick("A")}}));
    ASSERT_EQ(ContactColumn(u"OnServer", u"801"), 1);

    // The second item's TLV block claims more bytes than the reply holds.
    Bytes bad = test::ServerListBody({{"802", 0, 0x22, 0, Nick("B")}, {"803", 0, 0x23, 0, {}}});
    bad[bad.size() - 4 - 1] = 0x30;
    DeliverList(h.Account(), bad);
    // A TLV inside an item's block that runs past the block.
    ByteWriter cutTlv;
    cutTlv.U16(0x0131).U16(9).Raw("ab");
    DeliverList(h.Account(), test::ServerListBody({{"804", 0, 0x24, 0, cutTlv.bytes}}));
    // An item count beyond the items.
    DeliverList(h.Account(), Bytes{0x00, 0x00, 0x05, 0x00});

    EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), u"802"));
    // The item is kept without the TLV (servers have stored text in an item's block), but the
    // reply no longer counts as a whole list.
    EXPECT_TRUE(h.Contacts().FindContact(&h.Account(), u"804"));
    // Incomplete lists take nothing away from the store.
    EXPECT_EQ(ContactColumn(u"OnServer", u"801"), 1);

    DeliverList(h.Account(), test::ServerListBody(
                                 {{"801", 0, 0x21, 0, Nick("A")}, {"805", 0, 0x25, 0, Nick("E")}}));
    EXPECT_EQ(ContactColumn(u"OnServer", u"805"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"801"), 1);
}

TEST(ServerListItem, CutOrCorruptedRepliesNeverReadPastTheirBytes) {
    ByteWriter tlvs;
    tlvs.Tlv(0x0131, "Nick").Tlv(0x0066, Bytes{}).Tlv(0x013C, "n");
    const Bytes sample = test::ServerListBody(
        {{"Friends", 1, 0, 1, {}}, {"111", 1, 2, 0, tlvs.bytes}, {"", 0, 3, 4, Nick("x")}});
    ASSERT_TRUE(ParseServerListReply(sample));
    ASSERT_EQ(ParseServerListReply(sample)->size(), 3u);
    for (size_t cut = 0; cut < sample.size(); ++cut) {
        Bytes part(sample.begin(), sample.begin() + cut);
        // Only the time after the last item may be missing.
        EXPECT_EQ(ParseServerListReply(part).has_value(), cut >= sample.size() - 4) << cut;
    }
    std::mt19937 random(99);
    for (int round = 0; round < 3000; ++round) {
        Bytes corrupted = sample;
        corrupted[random() % corrupted.size()] = static_cast<uint8_t>(random());
        ParseServerListReply(corrupted);
    }
}

TEST(ListFamily, AReplyOnTheRunningSessionIsReconciledAfterItsLastPart) {
    SessionHarness h;
    DeliverList(h.Account(), test::ServerListBody({{"901", 0, 0x31, 0, Nick("X")}}));
    ASSERT_EQ(ContactColumn(u"OnServer", u"901"), 1);

    DeliverList(h.Account(), test::ServerListBody({{"902", 0, 0x32, 0, Nick("A")}}), 0x0001);
    EXPECT_EQ(ContactColumn(u"OnServer", u"902"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"901"), 1);  // not yet reconciled

    DeliverList(h.Account(), test::ServerListBody({{"903", 0, 0x33, 0, Nick("B")}}));
    EXPECT_EQ(ContactColumn(u"OnServer", u"902"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"903"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"901"), 0);
}

TEST(ListFamily, ADownloadThatNeverEndsIsBoundedAndTakesNothingAway) {
    SessionHarness h;
    DeliverList(h.Account(), test::ServerListBody({{"901", 0, 0x31, 0, Nick("X")}}));
    ASSERT_EQ(ContactColumn(u"OnServer", u"901"), 1);

    // Replies that all say "more follows", each full of ignore-list items, well past the
    // 100,000 items a download may hold.
    std::vector<test::ListItem> items;
    for (int i = 0; i < 1500; ++i) items.push_back({"i" + std::to_string(i), 0, 0, 0x000E, {}});
    const Bytes full = test::ServerListBody(items);
    for (int reply = 0; reply < 70; ++reply) DeliverList(h.Account(), full, 0x0001);
    EXPECT_NE(h.Account().StatusText().find(u"without end"), std::u16string::npos)
        << ToUtf8(h.Account().StatusText());

    // Its last reply does not reconcile what was cut: the stored list stays as it was.
    DeliverList(h.Account(), test::ServerListBody({{"902", 0, 0x32, 0, Nick("A")}}));
    EXPECT_EQ(ContactColumn(u"OnServer", u"901"), 1);
    // The next download is whole again.
    DeliverList(h.Account(), test::ServerListBody({{"903", 0, 0x33, 0, Nick("B")}}));
    EXPECT_EQ(ContactColumn(u"OnServer", u"903"), 1);
    EXPECT_EQ(ContactColumn(u"OnServer", u"901"), 0);
}

TEST(ListFamily, AnEditAcknowledgementRemovesItsPendingRequest) {
    SessionHarness h;
    const uint16_t id = h.Account().Pending().Add(0);
    COscarPacket ack = test::SnacPacket(0x13, 0x0E, Bytes{0x00, 0x00}, id);
    HandleListFamily(h.Account(), ack);
    EXPECT_FALSE(h.Account().Pending().Find(id));
}

// The buddy removal: the server answers each delete with the result code for the login.
test::HarnessOptions ListWithBuddies() {
    test::HarnessOptions options;
    // The permit/deny item has the lowest id an item can have.
    options.serverList =
        test::ServerListBody({{"Friends", 1, 0, 1, {}},
                              {"333", 1, 0x0101, 0, Nick("Bob")},
                              {"334", 1, 0x0102, 0, Nick("Eve")},
                              {"", 0, 0x0001, 4, ByteWriter().Tlv(0x00CA, Bytes{4}).bytes}});
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        service.OnFrame(ScriptedServer::IsSnac(0x13, 0x0A), [](const ReceivedFrame& f) {
            Bytes data = f.snacData();
            const bool refuse = data.size() >= 5 && data[4] == '4';  // "334"
            Bytes result = {0x00, static_cast<uint8_t>(refuse ? 0x0A : 0x00)};
            return test::Reply({test::SnacFrame(0x13, 0x0E, result, f.requestId())});
        });
    };
    return options;
}

TEST(ListFamily, ADeletedBuddyLeavesTheServerThenTheProfile) {
    SessionHarness h(ListWithBuddies());
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"333");
    ASSERT_TRUE(bob);
    bob->AddMessage(evdir::kIncoming, u"hi", 0, kStatusOffline, kMoodNone);
    const int32_t localId = bob->LocalID();
    ASSERT_EQ(test::RowInt(u"SELECT COUNT(*) FROM History WHERE AccID=77 AND ContactID=" +
                           Widen(std::to_string(localId))),
              1);

    ASSERT_TRUE(RemoveBuddyFromServer(h.Account(), bob.get()));
    bob.reset();
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return !h.Contacts().FindContact(&h.Account(), u"333"); }));
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE AccID=77 AND Login='333'"), 0);
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM History WHERE AccID=77 AND ContactID=" +
                           Widen(std::to_string(localId))),
              0);

    // Edit start, the delete carrying the item as the server knows it, edit end.
    std::vector<ReceivedFrame> edits;
    for (const ReceivedFrame& f : h.ServiceServer().Frames()) {
        if (f.family() == 0x13 && f.subtype() >= 0x0A && f.subtype() <= 0x12) edits.push_back(f);
    }
    ASSERT_EQ(edits.size(), 3u);
    EXPECT_EQ(edits[0].subtype(), 0x11);
    EXPECT_EQ(edits[1].subtype(), 0x0A);
    EXPECT_EQ(edits[2].subtype(), 0x12);
    ByteWriter item;
    item.U16(3).Raw("333").U16(1).U16(0x0101).U16(0).U16(7).Tlv(0x0131, "Bob");
    EXPECT_EQ(edits[1].snacData(), item.bytes);
    EXPECT_FALSE(h.Account().Pending().Find(static_cast<uint16_t>(edits[1].requestId())));

    // A refused removal keeps the contact.
    ContactPtr eve = h.Contacts().FindContact(&h.Account(), u"334");
    ASSERT_TRUE(eve);
    ASSERT_TRUE(RemoveBuddyFromServer(h.Account(), eve.get()));
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x13, 0x12)) == 2; }));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return !eve->BlockedIcon(); }));
    EXPECT_TRUE(h.Contacts().FindContact(&h.Account(), u"334"));
    EXPECT_EQ(ContactColumn(u"OnServer", u"334"), 1);
}

TEST(ListFamily, ARemovalOfAnItemTheServerDoesNotHaveDeletesTheContactHere) {
    test::HarnessOptions options = ListWithBuddies();
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        // "Not found" (0x0002), after the leading block a reply with flags 0x8000 carries.
        service.OnFrame(ScriptedServer::IsSnac(0x13, 0x0A), [](const ReceivedFrame& f) {
            const Bytes result = {0x00, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x02};
            return test::Reply({test::SnacFrame(0x13, 0x0E, result, f.requestId(), 0x8000)});
        });
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"333");
    ASSERT_TRUE(bob);
    ASSERT_TRUE(RemoveBuddyFromServer(h.Account(), bob.get()));
    bob.reset();
    EXPECT_TRUE(
        SessionHarness::WaitUntil([&] { return !h.Contacts().FindContact(&h.Account(), u"333"); }));
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE AccID=77 AND Login='333'"), 0);
}

// A buddy item of an edit: its name, group, item id, type and TLV block.
struct EditItem {
    std::string name;
    uint16_t groupId = 0, itemId = 0, type = 0;
    Bytes tlvs;
};
EditItem ReadEditItem(const Bytes& data) {
    EditItem item;
    ByteReader r(data);
    const ByteSpan name = r.ReadBytes(r.ReadU16());
    item.name.assign(name.begin(), name.end());
    item.groupId = r.ReadU16();
    item.itemId = r.ReadU16();
    item.type = r.ReadU16();
    const ByteSpan tlvs = r.ReadBytes(r.ReadU16());
    item.tlvs.assign(tlvs.begin(), tlvs.end());
    return item;
}

TEST(ListFamily, ARenameIsAnEditOfTheBuddyItemAppliedOnlyWhenTheServerAgrees) {
    test::HarnessOptions options = ListWithBuddies();
    // Bob's item also holds what other clients and the server put there.
    ByteWriter bobTlvs;
    bobTlvs.Tlv(0x0131, "Bob").Tlv(0x0145, Bytes{0x5F, 0x00, 0x00, 0x01}).Tlv(0x006D, Bytes{});
    options.serverList = test::ServerListBody({{"Friends", 1, 0, 1, {}},
                                               {"333", 1, 0x0101, 0, bobTlvs.bytes},
                                               {"334", 1, 0x0102, 0, Nick("Eve")},
                                               {"335", 1, 0x0103, 0, Nick("Max")}});
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        // The server takes Bob's new nickname and refuses Eve's; Max's it takes only with the
        // awaiting-authorisation mark, as servers that check authorisation at every change do.
        service.OnFrame(ScriptedServer::IsSnac(0x13, 0x09), [](const ReceivedFrame& f) {
            const Bytes data = f.snacData();
            const char last = data.size() >= 5 ? static_cast<char>(data[4]) : 0;
            const bool marked = test::FindTlv(test::ParseTlvs(ReadEditItem(data).tlvs), 0x0066);
            uint8_t result = 0x00;
            if (last == '4') result = 0x0A;
            if (last == '5' && !marked) result = 0x0E;
            return test::Reply({test::SnacFrame(0x13, 0x0E, Bytes{0x00, result}, f.requestId())});
        });
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"333");
    ContactPtr eve = h.Contacts().FindContact(&h.Account(), u"334");
    ASSERT_TRUE(bob && eve);
    bob->SetNote(u"met in Prague");

    // The user's rename waits for the session's idle pass, which sends the whole item.
    bob->RequestRename(u"Bobby");
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return bob->Nickname() == u"Bobby"; }));
    EXPECT_EQ(test::RowText(u"SELECT Nickname FROM Contacts WHERE Login='333'"), u"Bobby");
    EXPECT_FALSE(bob->BlockedIcon());
    std::vector<ReceivedFrame> edits;
    for (const ReceivedFrame& f : h.ServiceServer().Frames()) {
        if (f.family() == 0x13 &&
            (f.subtype() == 0x09 || f.subtype() == 0x11 || f.subtype() == 0x12)) {
            edits.push_back(f);
        }
    }
    ASSERT_GE(edits.size(), 3u);
    EXPECT_EQ(edits[edits.size() - 3].subtype(), 0x11);
    EXPECT_EQ(edits[edits.size() - 1].subtype(), 0x12);
    ByteWriter item;
    item.U16(3).Raw("333").U16(1).U16(0x0101).U16(0);
    ByteWriter tlvs;
    tlvs.Tlv(0x0131, "Bobby")
        .Tlv(0x013C, "met in Prague")
        .Tlv(0x0145, Bytes{0x5F, 0x00, 0x00, 0x01})
        .Tlv(0x006D, Bytes{});
    item.U16(static_cast<uint16_t>(tlvs.bytes.size())).Raw(tlvs.bytes);
    EXPECT_EQ(edits[edits.size() - 2].snacData(), item.bytes);

    // A refusal keeps the old nickname and says why.
    eve->RequestRename(u"Evil");
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().StatusText().find(u"refused") != std::u16string::npos; }));
    EXPECT_EQ(eve->Nickname(), u"Eve");
    EXPECT_EQ(test::RowText(u"SELECT Nickname FROM Contacts WHERE Login='334'"), u"Eve");
    EXPECT_FALSE(eve->BlockedIcon());

    // Authorisation required: the contact is asked for it and marked as awaiting it, the item
    // goes again with the mark and is taken, and the chat says what happened.
    ContactPtr max = h.Contacts().FindContact(&h.Account(), u"335");
    ASSERT_TRUE(max);
    max->RequestRename(u"Maxi");
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return max->Nickname() == u"Maxi"; }));
    EXPECT_EQ(max->AwaitingAuth(), 1);
    EXPECT_EQ(ContactColumn(u"AwaitingAuth", u"335"), 1);
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x13, 0x18)), 1u);
    EXPECT_NE(test::LastMessageFrom(u"335").find(u"authorise"), std::u16string::npos);
}

TEST(ListFamily, AddingAContactEditsItsGroupAndStoresItOnlyWhenTheServerAgrees) {
    test::HarnessOptions options = ListWithBuddies();
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        // 55501 is taken; 55602 needs authorisation first; 55703 is refused.
        service.OnFrame(
            [](const ReceivedFrame& f) {
                return f.IsSnac(0x13, 0x08) && ReadEditItem(f.snacData()).type == 0;
            },
            [](const ReceivedFrame& f) {
                const EditItem item = ReadEditItem(f.snacData());
                const bool marked = test::FindTlv(test::ParseTlvs(item.tlvs), 0x0066) != nullptr;
                uint8_t result = 0x00;
                if (item.name == "55602" && !marked) result = 0x0E;
                if (item.name == "55703") result = 0x0A;
                return test::Reply(
                    {test::SnacFrame(0x13, 0x0E, Bytes{0x00, result}, f.requestId())});
            });
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    // New item ids are drawn at random among the free ones; a draw of zero takes the lowest.
    SetRandomSource([](void* out, size_t n) { std::memset(out, 0, n); });
    struct RandomGuard {
        ~RandomGuard() { SetRandomSource(nullptr); }
    } randomGuard;
    auto buddyAdds = [&] {
        std::vector<EditItem> items;
        for (const ReceivedFrame& f : h.ServiceServer().Frames()) {
            if (f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09)) {
                items.push_back(ReadEditItem(f.snacData()));
            }
        }
        return items;
    };

    // Into the existing group: the group item is updated with its members, then the buddy.
    h.Account().RequestAddContact({u"55501", u"Fay", u"friends", u""});
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return ContactColumn(u"OnServer", u"55501") == 1; }));
    ContactPtr fay = h.Contacts().FindContact(&h.Account(), u"55501");
    ASSERT_TRUE(fay);
    EXPECT_EQ(fay->Nickname(), u"Fay");
    EXPECT_EQ(fay->GroupID(), 1);
    EXPECT_EQ(fay->GroupName(), u"Friends");
    EXPECT_EQ(fay->SrvID(), 2) << "the permit/deny item's id is never given to a buddy";
    std::vector<EditItem> items = buddyAdds();
    ASSERT_GE(items.size(), 2u);
    const EditItem& group = items[items.size() - 2];
    EXPECT_EQ(group.name, "Friends");
    EXPECT_EQ(group.type, 1);
    ByteWriter members;
    members.U16(0x0101).U16(0x0102).U16(fay->SrvID());
    EXPECT_EQ(group.tlvs, ByteWriter().Tlv(0x00C8, members.bytes).bytes);
    EXPECT_EQ(items.back().name, "55501");
    EXPECT_EQ(items.back().itemId, fay->SrvID());
    EXPECT_EQ(items.back().tlvs, ByteWriter().Tlv(0x0131, "Fay").bytes);

    // Into a new group, with authorisation: the buddy is added again with the awaiting mark
    // and the request goes out with the reason.
    h.Account().RequestAddContact({u"55602", u"Gus", u"Work", u"Hi, it's me"});
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return ContactColumn(u"OnServer", u"55602") == 1; }));
    ContactPtr gus = h.Contacts().FindContact(&h.Account(), u"55602");
    ASSERT_TRUE(gus);
    EXPECT_EQ(gus->AwaitingAuth(), 1);
    EXPECT_EQ(gus->GroupName(), u"Work");
    EXPECT_TRUE(h.Contacts().FindGroup(h.Account().ID(), gus->GroupID()));
    auto ask = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x13, 0x18));
    ASSERT_TRUE(ask);
    ByteWriter expected;
    expected.U8(5).Raw("55602").U16(11).Raw("Hi, it's me").U16(0);
    EXPECT_EQ(ask->snacData(), expected.bytes);

    // Refused: nothing stored, and the account says why.
    h.Account().RequestAddContact({u"55703", u"", u"Friends", u""});
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().StatusText().find(u"refused to add") != std::u16string::npos; }));
    EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), u"55703"));

    // A login that no server gives out is never sent.
    const size_t before = buddyAdds().size();
    h.Account().RequestAddContact({u"1x", u"", u"Friends", u""});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText().find(u"not an ICQ number") != std::u16string::npos;
    }));
    EXPECT_EQ(buddyAdds().size(), before);
}

TEST(ListFamily, BuddyLoginsAreCheckedBeforeTheyAreSent) {
    for (const char16_t* good :
         {u"12345", u"1234567890", u"ZulBob", u"Zul Bob", u"abc", u"someone@example.org"}) {
        EXPECT_TRUE(IsValidBuddyLogin(good)) << ToUtf8(good);
    }
    for (const char16_t* bad : {u"", u"1234", u"12345678901", u"1bob", u"ab",
                                u"a-very-long-aim-name", u"bob\u0001", u"bob<script>"}) {
        EXPECT_FALSE(IsValidBuddyLogin(bad)) << ToUtf8(bad);
    }
}

TEST(ListFamily, AuthorisationIsAskedAnsweredAndItsAnswerShown) {
    test::HarnessOptions options = ListWithBuddies();
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"333");
    ASSERT_TRUE(bob);
    bob->SetAwaitingAuth(1);

    // A request as today's servers send it (no leading bytes): the reason is shown and the
    // contact waits for the user's answer.
    ByteWriter request;
    request.U8(5).Raw("44401").U16(6).Raw("hi you").U16(0);
    h.ServerSends(0x13, 0x19, request.bytes);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        ContactPtr asker = h.Contacts().FindContact(&h.Account(), u"44401");
        return asker && asker->AuthAsked();
    }));
    ContactPtr asker = h.Contacts().FindContact(&h.Account(), u"44401");
    EXPECT_EQ(test::LastMessageFrom(u"44401"), u"Asks for your authorisation. hi you");

    // The user grants it: the idle pass sends the answer.
    asker->RequestAuthAnswer(true);
    auto answer = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x13, 0x1A));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->snacData(), (ByteWriter().U8(5).Raw("44401").U8(1).U16(0).bytes));

    // We ask Bob again, with a reason of our own.
    bob->RequestAuthorisationAgain(u"it's me, Ann");
    auto again = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x13, 0x18));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->snacData(),
              (ByteWriter().U8(3).Raw("333").U16(12).Raw("it's me, Ann").U16(0).bytes));

    // Bob grants ours: the awaiting mark goes and the chat says so; being added is shown too.
    ByteWriter granted;
    granted.U8(3).Raw("333").U8(1).U16(0);
    h.ServerSends(0x13, 0x1B, granted.bytes);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return bob->AwaitingAuth() == 0; }));
    EXPECT_EQ(test::LastMessageFrom(u"333"), u"Authorisation granted.");
    EXPECT_EQ(test::RowInt(u"SELECT AwaitingAuth FROM Contacts WHERE Login='333'"), 0);
    h.ServerSends(0x13, 0x1C, ByteWriter().U8(3).Raw("334").U16(0).bytes);
    EXPECT_TRUE(SessionHarness::WaitUntil(
        [&] { return test::LastMessageFrom(u"334") == u"Added you to their contact list."; }));
}

TEST(ListFamily, ARemovalWaitsWhileOfflineAndALocalContactIsDeletedAtOnce) {
    SessionHarness h;
    ContactPtr onServer = h.Contacts().AddNewContact(
        &h.Account(),
        ContactFields{.srvID = 7, .login = u"335", .nickname = u"Max", .onServer = true}, true,
        false);
    ContactPtr local = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"336", .nickname = u"Lea"}, true, false);
    ASSERT_TRUE(onServer && local);

    EXPECT_FALSE(RemoveBuddyFromServer(h.Account(), onServer.get()));
    EXPECT_TRUE(onServer->PendingAction());
    EXPECT_TRUE(h.Contacts().FindContact(&h.Account(), u"335"));
    EXPECT_EQ(h.Account().Pending().Count(), 0u);

    EXPECT_TRUE(RemoveBuddyFromServer(h.Account(), local.get()));
    EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), u"336"));
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE Login='336'"), 0);
}

}  // namespace
}  // namespace zul
