// Rooms in the window: the rooms page under its heading with an invitation from a stranger,
// a room's page with its members and lines, and what the user does there reaching the account
// as room commands.
#include "ui/views/room_page.h"

#include "tests/ui/views_test_support.h"

namespace zul {
namespace {

using test::TestAccount;
using Command = CAccount::RoomCommand;

class RoomPageTest : public test::ViewsTest {
  protected:
    TestAccount& Listed() {
        CAccountData data = test::MakeAccountData(1, u"ZulAlice", acctype::kAim);
        data.dbSave();
        auto& account =
            static_cast<TestAccount&>(*accounts->Add(std::make_unique<TestAccount>(data, *store)));
        account.SetSessionRunning(true);  // commands wait for the session, as when signed on
        return account;
    }
};

TEST_F(RoomPageTest, RoomsAndInvitationsAreListedAndWhatTheUserDoesReachesTheAccount) {
    TestAccount& account = Listed();
    RoomPtr lounge = account.Rooms().Open(4, u"Lounge");
    lounge->SetState(RoomState::kIn);
    lounge->AddMembers({u"Ann", u"ZulAlice"});
    lounge->AddEvent({0, 0, RoomEvent::kJoined, u"Ann", u""});
    lounge->AddEvent({0, 0, RoomEvent::kIncoming, u"Ann", u"<hello>"});
    RoomInvitation invitation;
    invitation.from = u"Zed";
    invitation.stranger = true;
    invitation.roomName = u"Den";
    invitation.ref = RoomRef{4, "4-0-Den", 0};
    const uint32_t invitationId = account.Rooms().AddInvitation(invitation);

    contacts->Command(roomcmd::kOpenRooms);
    RunSlide();
    auto* rooms = dynamic_cast<RoomsPage*>(window->CurrentPage());
    ASSERT_NE(rooms, nullptr);
    FastTick();
    ASSERT_EQ(rooms->Rows().size(), 2u);
    EXPECT_EQ(rooms->Rows()[0]->text, QStringLiteral("Lounge \u00B7 2 members"));
    EXPECT_EQ(MemberCountText(1), QStringLiteral("1 member"));
    EXPECT_EQ(rooms->Rows()[1]->text,
              QStringLiteral("Invitation from Zed to \u201CDen\u201D (not in your contact list)"));
    Screen().save(test::ScreenshotPath(QStringLiteral("rooms_page.png")));

    // The room's page: members first, then its lines, text as it came.
    rooms->FocusItem(rooms->Rows()[0].get());
    rooms->ActivateFocused(ListItem::kByKey);
    RunSlide();
    auto* page = dynamic_cast<RoomPage*>(window->CurrentPage());
    ASSERT_NE(page, nullptr);
    FastTick();
    ASSERT_EQ(page->Lines().size(), 3u);
    EXPECT_EQ(page->Lines()[0], QStringLiteral("2 members: Ann, ZulAlice"));
    EXPECT_TRUE(page->Lines()[1].endsWith(QStringLiteral("Ann joined")));
    EXPECT_TRUE(page->Lines()[2].endsWith(QStringLiteral("Ann: <hello>")));
    Screen().save(test::ScreenshotPath(QStringLiteral("room_page.png")));
    // A line from the network arrives without anyone calling the page.
    lounge->AddEvent({0, 0, RoomEvent::kLeft, u"Ann", u""});
    FastTick();
    EXPECT_TRUE(page->Lines().back().endsWith(QStringLiteral("Ann left")));

    EXPECT_TRUE(page->EditorNotification(1, QStringLiteral("hi all")));
    EXPECT_FALSE(page->EditorNotification(1, QStringLiteral("   ")));
    SetAskTextHandler(
        [](const QString&) -> std::optional<QString> { return QStringLiteral(" Bob "); });
    page->Command(roomcmd::kInvite);
    EXPECT_TRUE(page->GoBack());
    RunSlide();

    // The invitation is answered; "Join room…" asks for a name.
    SetAskChoiceHandler([](const QStringList&) -> std::optional<int> { return 0; });
    rooms->FocusItem(rooms->Rows()[1].get());
    rooms->ActivateFocused(ListItem::kByKey);
    SetAskTextHandler(
        [](const QString&) -> std::optional<QString> { return QStringLiteral(" Attic "); });
    rooms->Command(roomcmd::kJoin);
    SetAskTextHandler({});
    SetAskChoiceHandler({});

    const std::vector<Command> commands = account.TakeRoomCommands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0].kind, Command::kSay);
    EXPECT_EQ(commands[0].text, u"hi all");
    EXPECT_EQ(commands[1].kind, Command::kInvite);
    EXPECT_EQ(commands[1].name, u"Bob");
    EXPECT_EQ(commands[2].kind, Command::kAccept);
    EXPECT_EQ(commands[2].invitation, invitationId);
    EXPECT_EQ(commands[3].kind, Command::kJoin);
    EXPECT_EQ(commands[3].name, u"Attic");
    account.SetSessionRunning(false);
}

}  // namespace
}  // namespace zul
