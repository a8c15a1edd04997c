// The contact's details page reached from the contact menu and the chat's key, filled as the
// account's details arrive; moving a contact from its menu.
#include "ui/views/details_page.h"

#include <QMenu>
#include <QTest>

#include "tests/ui/views_test_support.h"
#include "ui/framework/drawing.h"
#include "ui/views/chat_page.h"

namespace zul {
namespace {

using test::TestAccount;

class DetailsPageTest : public test::ViewsTest {
  protected:
    ContactDetailsPage* CurrentDetails() const {
        return dynamic_cast<ContactDetailsPage*>(window->CurrentPage());
    }
    static QString ValueOf(const ContactDetailsPage& page, const QString& label) {
        for (const auto& field : page.Fields())
            if (field.label == label) return field.value;
        return {};
    }
    static QString LastLine(const ContactDetailsPage& page) {
        return page.Fields().empty() ? QString() : page.Fields().back().value;
    }
};

TEST_F(DetailsPageTest, TheMenuOpensThePageWhichFillsAsTheDetailsArriveAndGoesBack) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));

    // Offline: what the profile knows, and why nothing more comes.
    contacts->ContextCommand(clistcmd::kContactDetails);
    RunSlide();
    FastTick();
    ContactDetailsPage* page = CurrentDetails();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->Contact(), ann);
    EXPECT_EQ(ValueOf(*page, QStringLiteral("Nickname")), QStringLiteral("Ann"));
    EXPECT_EQ(ValueOf(*page, QStringLiteral("Group")), QStringLiteral("Friends"));
    EXPECT_TRUE(LastLine(*page).startsWith(QStringLiteral("Sign on")))
        << LastLine(*page).toStdString();
    EXPECT_TRUE(window->CurrentPage()->GoBack());  // Escape, Ctrl+W
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), contacts.get());

    // Online: asked on opening; the page shows the wait, then what arrived on a later tick.
    account.SetStatus(0);
    contacts->ContextCommand(clistcmd::kContactDetails);
    RunSlide();
    page = CurrentDetails();
    ASSERT_NE(page, nullptr);
    FastTick();
    EXPECT_EQ(LastLine(*page), QStringLiteral("Asking the server..."));
    account.UpdateDetails(ann->Login(), [](ContactDetails& d) {
        d.firstName = u"Ann";
        d.lastName = u"Lee";
        d.city = u"Lyon";
        d.countryCode = 33;
        d.gender = 1;
        d.about = u"Line one\nline two that is long enough to be wrapped on a narrow page";
        d.waiting = 0;
        d.answered = true;
    });
    FastTick();
    EXPECT_EQ(ValueOf(*page, QStringLiteral("Name")), QStringLiteral("Ann Lee"));
    EXPECT_EQ(ValueOf(*page, QStringLiteral("Country")), QStringLiteral("France"));
    EXPECT_EQ(ValueOf(*page, QStringLiteral("Gender")), QStringLiteral("Female"));
    EXPECT_EQ(LastLine(*page), ValueOf(*page, QStringLiteral("About")));
    // The long text wraps: its field is taller than one line, and the page scrolls past it.
    const auto about = std::find_if(page->Fields().begin(), page->Fields().end(),
                                    [](const auto& f) { return f.label == "About"; });
    ASSERT_NE(about, page->Fields().end());
    EXPECT_GT(about->rect.height(), 2 * TextHeight(QStringLiteral("A"), 3, false));
    EXPECT_GE(page->ContentHeight(), about->rect.bottom());
    Screen().save(test::ScreenshotPath(QStringLiteral("details_page.png")));

    // Refresh asks again (F5 too).
    page->Command(ContactDetailsPage::kCmdRefresh);
    EXPECT_TRUE(account.DetailsOf(ann->Login()).Loading());
}

TEST_F(DetailsPageTest, TheChatsKeyOpensTheSamePageForItsContact) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr bob = AddContact(account, 2, u"Bob");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    contacts->ContextCommand(clistcmd::kContactDetails);
    RunSlide();
    ContactDetailsPage* first = CurrentDetails();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(window->CurrentPage()->GoBack());  // Escape, Ctrl+W
    RunSlide();

    contacts->OpenChat(bob);
    RunSlide();
    auto* chat = dynamic_cast<ChatPage*>(window->CurrentPage());
    ASSERT_NE(chat, nullptr);
    chat->Command(chatcmd::kDetails);
    RunSlide();
    ContactDetailsPage* page = CurrentDetails();
    ASSERT_EQ(page, first) << "one page, shown for one contact at a time";
    EXPECT_EQ(page->Contact(), bob);
    EXPECT_EQ(page->Caption().Title(), QStringLiteral("Bob"));
    // Back leads to the chat it came from.
    EXPECT_TRUE(window->CurrentPage()->GoBack());  // Escape, Ctrl+W
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), chat);
}

TEST_F(DetailsPageTest, MoveToGroupOffersTheOtherGroupsOrANewOne) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann", u"Friends");
    AddContact(account, 2, u"Bob", u"Work");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    QMenu menu;
    ASSERT_TRUE(contacts->FillContextMenu(menu));
    const QList<QAction*> actions = menu.actions();
    const auto rename = std::find_if(actions.begin(), actions.end(), [](QAction* a) {
        return a->data().toInt() == clistcmd::kRename;
    });
    ASSERT_NE(rename, actions.end());
    ASSERT_NE(rename + 1, actions.end());
    EXPECT_EQ((*(rename + 1))->text(), QStringLiteral("Move to group..."));

    QStringList offered;
    int pick = 0;
    SetAskChoiceHandler([&](const QStringList& items) -> std::optional<int> {
        offered = items;
        return pick;
    });
    SetAskTextHandler(
        [](const QString&) -> std::optional<QString> { return QStringLiteral(" Family "); });
    contacts->ContextCommand(clistcmd::kMoveToGroup);
    EXPECT_EQ(offered, (QStringList{QStringLiteral("Work"), QStringLiteral("New group...")}));
    EXPECT_EQ(ann->TakeMoveRequest(), u"Work");
    EXPECT_TRUE(ann->BlockedIcon());
    pick = 1;
    contacts->ContextCommand(clistcmd::kMoveToGroup);
    EXPECT_EQ(ann->TakeMoveRequest(), u"Family");
    SetAskChoiceHandler({});
    SetAskTextHandler({});
}

TEST_F(DetailsPageTest, AGroupHeaderRenamesOrRemovesItsGroupAfterMovingItsContacts) {
    // An account of the page's account list, as the client has them.
    CAccountData data = test::MakeAccountData(1, u"100");
    data.dbSave();
    auto& account =
        static_cast<TestAccount&>(*accounts->Add(std::make_unique<TestAccount>(data, *store)));
    ContactPtr ann = AddContact(account, 1, u"Ann", u"Friends");
    ContactPtr bob = AddContact(account, 2, u"Bob", u"Work");
    FastTick();
    GroupRow* header = contacts->HeaderOf(u"Friends");
    ASSERT_NE(header, nullptr);
    contacts->FocusItem(header);
    QMenu menu;
    ASSERT_TRUE(contacts->FillContextMenu(menu));
    EXPECT_EQ(menu.actions()[0]->text(), QStringLiteral("Rename group..."));

    SetAskTextHandler(
        [](const QString&) -> std::optional<QString> { return QStringLiteral(" Pals "); });
    contacts->ContextCommand(clistcmd::kRenameGroup);
    QStringList offered;
    SetAskChoiceHandler([&](const QStringList& items) -> std::optional<int> {
        offered = items;
        return 0;
    });
    contacts->ContextCommand(clistcmd::kDeleteGroup);
    SetAskTextHandler({});
    SetAskChoiceHandler({});
    // Ann goes to the group chosen; then the group is removed.
    EXPECT_EQ(offered, (QStringList{QStringLiteral("Work"), QStringLiteral("New group...")}));
    EXPECT_EQ(ann->TakeMoveRequest(), u"Work");
    EXPECT_FALSE(bob->TakeMoveRequest().has_value());
    account.SetStatus(0);
    account.RunIdleTasks();
    ASSERT_EQ(account.groupChanges.size(), 2u);
    EXPECT_EQ(account.groupChanges[0].kind, CAccount::GroupChange::kRename);
    EXPECT_EQ(account.groupChanges[0].name, u"Pals");
    EXPECT_EQ(account.groupChanges[0].groupId, ann->GroupID());
    EXPECT_EQ(account.groupChanges[1].kind, CAccount::GroupChange::kDelete);
}

TEST(CountryName, KnownCodesHaveNamesOthersTheirNumber) {
    EXPECT_EQ(CountryName(49), QStringLiteral("Germany"));
    EXPECT_EQ(CountryName(7), QStringLiteral("Russia"));
    EXPECT_EQ(CountryName(4242), QStringLiteral("4242"));
}

}  // namespace
}  // namespace zul
