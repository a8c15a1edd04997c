// Rooms in the window: the rooms page under its heading with an invitation from a stranger,
// a room's page with its members and lines, what the user does there reaching the account
// as room commands, and the rooms under their own heading in the contact list.
#include "ui/views/room_page.h"

#include <QApplication>
#include <QMenu>

#include "storage/change_feed.h"
#include "storage/options.h"
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

// ---- The rooms in the contact list -----------------------------------------------------------

class ContactListRoomsTest : public RoomPageTest {
  protected:
    void SetUp() override {
        RoomPageTest::SetUp();
        Options().ClistOpenByDoubleClick = 0;
        Options().ClistViewType = kLayoutTiles;
    }
    // What is listed, as text: headings in brackets, contacts by name, rooms by name and line.
    std::vector<std::string> Shown() const {
        std::vector<std::string> shown;
        for (ListItem* item : contacts->Listed()) {
            QString text;
            if (auto* c = dynamic_cast<ContactRow*>(item))
                text = QString::fromStdU16String(c->Contact().DisplayName());
            else if (auto* r = dynamic_cast<RoomRow*>(item))
                text = QString::fromStdU16String(r->Room()->Name()) + " | " + r->line;
            else
                text = "[" + contacts->AccessibleText(*item) + "]";
            shown.push_back(text.toStdString());
        }
        return shown;
    }
    QPoint PointOf(const ListItem* item) const {
        return item->Rect().center() + QPoint(0, contacts->ContentOffset());
    }
    // A room opened is kept until the user leaves it.
    static RoomPtr Kept(TestAccount& account, const std::u16string& name) {
        return account.Rooms().Open(4, name);
    }
};

TEST_F(ContactListRoomsTest, KeptAndOpenRoomsAreListedAfterTheGroupsFoundByNameAndOpenedByATap) {
    using Shown = std::vector<std::string>;
    TestAccount& account = Listed();
    SetStatus(AddContact(account, 1, u"Ann"), 0);
    SlowTick();
    EXPECT_EQ(this->Shown(), (Shown{"[Friends (1/1)]", "Ann"})) << "no rooms, no heading";

    RoomPtr lounge = Kept(account, u"Lounge");
    RoomPtr attic = account.Rooms().Open(4, u"attic");  // opening, not kept
    attic->SetKept(false);
    attic->SetState(RoomState::kJoining);
    account.Rooms().Open(4, u"Left behind")->SetKept(false);  // neither kept nor open
    SlowTick();
    EXPECT_EQ(this->Shown(), (Shown{"[Friends (1/1)]", "Ann", "[Rooms (0/2)]", "attic | Joining...",
                                    "Lounge | Not in the room"}));

    // Finding lists the rooms whose name holds the text, under their heading.
    const struct {
        const char* typed;
        Shown shown;
    } cases[] = {
        {"LOUN", {"[Rooms (0/1)]", "Lounge | Not in the room"}},
        {"an", {"Ann"}},
        {"a", {"Ann", "[Rooms (0/1)]", "attic | Joining..."}},
    };
    for (const auto& c : cases) {
        contacts->SetFindText(QString::fromUtf8(c.typed));
        EXPECT_EQ(this->Shown(), c.shown) << c.typed;
    }
    contacts->SetFindText(QString());

    // The heading closes and opens like a group's, and keeps its state.
    Tap(PointOf(&contacts->RoomsHeader()));
    EXPECT_EQ(this->Shown(), (Shown{"[Friends (1/1)]", "Ann", "[Rooms (0/2)]"}));
    EXPECT_EQ(Options().ClistRoomsExpanded, 0);
    Tap(PointOf(&contacts->RoomsHeader()));
    EXPECT_EQ(Options().ClistRoomsExpanded, 1);
    Screen().save(test::ScreenshotPath(QStringLiteral("contact_list_rooms.png")));

    // A tap opens the room's own page, the one the rooms page opens.
    Tap(PointOf(contacts->RowOf(lounge.get())));
    RunSlide();
    auto* page = dynamic_cast<RoomPage*>(window->CurrentPage());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->Room(), lounge);
    EXPECT_TRUE(page->GoBack());
    RunSlide();
    RoomsPage* rooms = contacts->OpenRooms(false);
    EXPECT_EQ(rooms->PageOf(account, lounge), page) << "one page per room, however reached";
    EXPECT_TRUE(rooms->GoBack());
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), contacts.get());

    // No room left to list: the heading goes too (once the pointer no longer holds the rows).
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(window.get(), &leave);
    test::AdvanceFakeClock(ContactListPage::kHoldAfterPressMs);
    // A room's menu leaves it: the session is asked to.
    contacts->FocusItem(contacts->RowOf(lounge.get()));
    QMenu menu;
    ASSERT_TRUE(contacts->FillContextMenu(menu));
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions()[0]->text(), QStringLiteral("Leave room"));
    contacts->ContextCommand(roomcmd::kLeave);
    const std::vector<CAccount::RoomCommand> asked = account.TakeRoomCommands();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].kind, CAccount::RoomCommand::kLeave);
    EXPECT_EQ(asked[0].room, lounge->Id());
    lounge->SetKept(false);  // as the session does once it has left
    attic->SetState(RoomState::kOut);
    SlowTick();
    EXPECT_EQ(this->Shown(), (Shown{"[Friends (1/1)]", "Ann"}));
}

TEST_F(ContactListRoomsTest, ARoomsNewStateShowsInPlaceWhileThePointerHoldsTheRows) {
    TestAccount& account = Listed();
    RoomPtr lounge = Kept(account, u"Lounge");
    SlowTick();
    RoomRow* row = contacts->RowOf(lounge.get());
    ASSERT_NE(row, nullptr);
    const QRect place = row->Rect();
    Move(PointOf(row));

    // A room joined meanwhile sorts first but waits; the joined room's line changes where it is,
    // told by the change feed without waiting for the next second.
    RoomPtr aardvark = Kept(account, u"Aardvark");
    lounge->SetState(RoomState::kIn);
    lounge->AddMembers({u"Ann", u"Bob", u"ZulAlice"});
    Changes().Dispatch();
    FastTick();
    EXPECT_EQ(row->line.toStdString(), "3 members");
    EXPECT_EQ(row->Rect(), place);
    EXPECT_EQ(contacts->RowOf(aardvark.get()), nullptr);
    EXPECT_EQ(contacts->AccessibleText(contacts->RoomsHeader()).toStdString(), "Rooms (1/1)");

    // With the pointer gone the new room takes its place.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(window.get(), &leave);
    SlowTick();
    EXPECT_EQ(Shown(), (std::vector<std::string>{"[Rooms (1/2)]", "Aardvark | Not in the room",
                                                 "Lounge | 3 members"}));
}

}  // namespace
}  // namespace zul
