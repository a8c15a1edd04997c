// Finding contacts from the contact list's menu: the questions, the results page filled as
// the account's search goes on, and a found user added through the form of a new contact.
#include "ui/views/search_page.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "storage/options.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/views_test_support.h"
#include "ui/dialogs/add_contact_sheet.h"
#include "ui/views/chat_page.h"

namespace zul {
namespace {

using test::TestAccount;
using test::WhenModalOpens;

class SearchPageTest : public test::ViewsTest {
  protected:
    TestAccount& Listed(int32_t id, const std::u16string& login, uint8_t type = acctype::kIcq) {
        CAccountData data = test::MakeAccountData(id, login, type);
        data.dbSave();
        return static_cast<TestAccount&>(
            *accounts->Add(std::make_unique<TestAccount>(data, *store)));
    }
    static FoundUser User(const std::u16string& login, const std::u16string& nickname) {
        FoundUser user;
        user.login = login;
        user.nickname = nickname;
        user.age = 30;
        user.gender = 1;
        return user;
    }
};

TEST_F(SearchPageTest, ASearchIsAskedShownAsItGoesAndAFoundUserIsAdded) {
    TestAccount& account = Listed(1, u"100");
    account.SetStatus(0);
    std::vector<QString> answers = {QStringLiteral(" Ann ")};
    std::vector<QString> offered;
    size_t next = 0;
    SetAskTextHandler([&](const QString& current) -> std::optional<QString> {
        offered.push_back(current);
        if (next >= answers.size()) return std::nullopt;
        return answers[next++];
    });
    QStringList ways;
    SetAskChoiceHandler([&](const QStringList& items) -> std::optional<int> {
        ways = items;
        return 1;  // by nickname
    });
    contacts->Command(clistcmd::kFindContacts);
    EXPECT_EQ(ways, (QStringList{QStringLiteral("ICQ number"), QStringLiteral("Nickname"),
                                 QStringLiteral("E-mail")}));
    RunSlide();
    auto* page = dynamic_cast<SearchPage*>(window->CurrentPage());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->Caption().Subtitle(), QStringLiteral("Ann"));
    FastTick();
    EXPECT_EQ(page->Footer(), QStringLiteral("Searching..."));

    // Results come in while the search runs, then it ends with more than are kept.
    account.UpdateSearch([&](DirectorySearch& s) { s.users.push_back(User(u"50001", u"Ann")); });
    FastTick();
    ASSERT_EQ(page->Rows().size(), 1u);
    page->FocusItem(page->Rows()[0].get());
    account.UpdateSearch([&](DirectorySearch& s) {
        s.users.push_back(User(u"50002", u""));
        s.searching = false;
        s.more = 3;
    });
    FastTick();
    ASSERT_EQ(page->Rows().size(), 2u);
    EXPECT_EQ(page->FocusedItem(), page->Rows()[0].get()) << "the focus stays as rows come";
    EXPECT_TRUE(page->Footer().startsWith(QStringLiteral("3 more")))
        << page->Footer().toStdString();
    Screen().save(test::ScreenshotPath(QStringLiteral("search_page.png")));

    // The second activated (Enter or a tap): the form offers its number as the nickname (it has
    // none); with the nickname and group given there, the account adds it.
    QString offeredNickname;
    WhenModalOpens<AddContactSheet> form([&](AddContactSheet& sheet) {
        offeredNickname = sheet.Form()->NicknameEdit()->text();
        sheet.Form()->NicknameEdit()->setText(QStringLiteral("Bea"));
        sheet.Form()->GroupCombo()->setEditText(QStringLiteral("Friends"));
        QTest::mouseClick(sheet.KeyFor(cmd::kDone), Qt::LeftButton);
    });
    page->FocusItem(page->Rows()[1].get());
    page->ActivateFocused(ListItem::kByKey);
    ASSERT_TRUE(form.Ran());
    EXPECT_EQ(offeredNickname, QStringLiteral("50002"));
    account.RunIdleTasks();
    ASSERT_EQ(account.additions.size(), 1u);
    EXPECT_EQ(account.additions[0].login, u"50002");
    EXPECT_EQ(account.additions[0].nickname, u"Bea");
    EXPECT_EQ(account.additions[0].group, u"Friends");

    EXPECT_TRUE(page->GoBack());
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    SetAskTextHandler({});
    SetAskChoiceHandler({});
}

TEST_F(SearchPageTest, AnAimAccountAddsTheNameItIsGiven) {
    TestAccount& account = Listed(1, u"ZulAlice", acctype::kAim);
    bool choiceAsked = false;
    SetAskChoiceHandler([&](const QStringList&) -> std::optional<int> {
        choiceAsked = true;
        return 0;
    });
    // The form asks for the name; the nickname follows it.
    WhenModalOpens<AddContactSheet> form([&](AddContactSheet& sheet) {
        QTest::keyClicks(sheet.Form()->LoginEdit(), QStringLiteral("ZulBob"));
        EXPECT_EQ(sheet.Form()->NicknameEdit()->text(), QStringLiteral("ZulBob"));
        sheet.Form()->GroupCombo()->setEditText(QStringLiteral("Buddies"));
        QTest::mouseClick(sheet.KeyFor(cmd::kDone), Qt::LeftButton);
    });
    contacts->Command(clistcmd::kFindContacts);
    SetAskChoiceHandler({});
    EXPECT_TRUE(form.Ran());
    EXPECT_FALSE(choiceAsked);
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    account.SetStatus(0);
    account.RunIdleTasks();
    ASSERT_EQ(account.additions.size(), 1u);
    EXPECT_EQ(account.additions[0].login, u"ZulBob");
    EXPECT_EQ(account.additions[0].group, u"Buddies");
}

TEST_F(SearchPageTest, AUserInTheListIsMarkedAndATapOnAnotherOpensTheFormWithTheUser) {
    Options().ClistOpenByDoubleClick = 1;  // chats open by a double tap; adding takes one
    TestAccount& account = Listed(1, u"100");
    account.SetStatus(0);
    const ContactPtr ann = AddContact(account, 1, u"Ann");
    SetAskChoiceHandler([](const QStringList&) -> std::optional<int> { return 1; });
    SetAskTextHandler([](const QString&) -> std::optional<QString> { return QStringLiteral("a"); });
    contacts->Command(clistcmd::kFindContacts);
    SetAskChoiceHandler({});
    SetAskTextHandler({});
    RunSlide();
    auto* page = dynamic_cast<SearchPage*>(window->CurrentPage());
    ASSERT_NE(page, nullptr);
    account.UpdateSearch([&](DirectorySearch& s) {
        s.users = {User(ann->Login(), u"Ann"), User(u"50002", u"Bea")};
        s.searching = false;
    });
    FastTick();
    ASSERT_EQ(page->Rows().size(), 2u);
    const SearchPage::Row& listed = *page->Rows()[0];
    const SearchPage::Row& other = *page->Rows()[1];
    EXPECT_EQ(listed.Listed(), ann);
    EXPECT_EQ(other.Listed(), nullptr);
    EXPECT_TRUE(page->AccessibleText(listed).endsWith(QStringLiteral("In your list")));
    Screen().save(test::ScreenshotPath(QStringLiteral("search_page_in_list.png")));

    // Its menu opens the chat instead of adding.
    auto commands = [&](const SearchPage::Row& row) {
        page->FocusItem(const_cast<SearchPage::Row*>(&row));
        std::vector<int> ids;
        for (QAction* action : window->PrepareLeftKeyPopup()->actions())
            if (action->isEnabled()) ids.push_back(action->data().toInt());
        return ids;
    };
    EXPECT_EQ(commands(listed),
              (std::vector<int>{SearchPage::kCmdOpenChat, SearchPage::kCmdClose}));
    EXPECT_EQ(commands(other), (std::vector<int>{SearchPage::kCmdAdd, SearchPage::kCmdClose}));

    // A tap on the other: the form, with its number and nickname; cancelled, nothing is added.
    auto pointOf = [&](const SearchPage::Row& row) {
        return row.Rect().center() + QPoint(0, page->ContentOffset());
    };
    QString login, nickname;
    WhenModalOpens<AddContactSheet> form([&](AddContactSheet& sheet) {
        login = sheet.Form()->LoginEdit()->text();
        nickname = sheet.Form()->NicknameEdit()->text();
        QTest::mouseClick(sheet.KeyFor(cmd::kCancel), Qt::LeftButton);
    });
    Tap(pointOf(other));
    ASSERT_TRUE(form.Ran());
    EXPECT_EQ(login, QStringLiteral("50002"));
    EXPECT_EQ(nickname, QStringLiteral("Bea"));
    account.RunIdleTasks();
    EXPECT_TRUE(account.additions.empty());

    // A double tap on the one in the list opens its chat.
    test::AdvanceFakeClock(1000);
    Tap(pointOf(listed));
    EXPECT_EQ(window->CurrentPage(), page) << "one tap only focuses it";
    QTest::mouseDClick(window.get(), Qt::LeftButton, {}, pointOf(listed));
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, pointOf(listed));
    RunSlide();
    auto* chat = dynamic_cast<ChatPage*>(window->CurrentPage());
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(&chat->Contact(), ann.get());
}

}  // namespace
}  // namespace zul
