// Finding contacts from the contact list's menu: the questions, the results page filled as
// the account's search goes on, and a found user added through the usual questions.
#include "ui/views/search_page.h"

#include <QMenu>

#include "tests/ui/views_test_support.h"

namespace zul {
namespace {

using test::TestAccount;

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
    account.UpdateSearch([&](DirectorySearch& s) { s.users.push_back(User(u"5001", u"Ann")); });
    FastTick();
    ASSERT_EQ(page->Rows().size(), 1u);
    page->FocusItem(page->Rows()[0].get());
    account.UpdateSearch([&](DirectorySearch& s) {
        s.users.push_back(User(u"5002", u""));
        s.searching = false;
        s.more = 3;
    });
    FastTick();
    ASSERT_EQ(page->Rows().size(), 2u);
    EXPECT_EQ(page->FocusedItem(), page->Rows()[0].get()) << "the focus stays as rows come";
    EXPECT_TRUE(page->Footer().startsWith(QStringLiteral("3 more")))
        << page->Footer().toStdString();
    Screen().save(test::ScreenshotPath(QStringLiteral("search_page.png")));

    // The second activated (Enter or a tap): its nickname offered is the number (it has none); then
    // the group and the reason, and the account adds it.
    answers = {QStringLiteral("Bea"), QStringLiteral("Friends"), QStringLiteral("Hi")};
    next = 0;
    offered.clear();
    page->FocusItem(page->Rows()[1].get());
    page->ActivateFocused(ListItem::kByKey);
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0], QStringLiteral("5002"));
    account.RunIdleTasks();
    ASSERT_EQ(account.additions.size(), 1u);
    EXPECT_EQ(account.additions[0].login, u"5002");
    EXPECT_EQ(account.additions[0].nickname, u"Bea");

    EXPECT_TRUE(page->GoBack());
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    SetAskTextHandler({});
    SetAskChoiceHandler({});
}

TEST_F(SearchPageTest, AnAimAccountAddsTheNameItIsGiven) {
    TestAccount& account = Listed(1, u"ZulAlice", acctype::kAim);
    std::vector<QString> answers = {QStringLiteral("ZulBob"), QStringLiteral("Bob"),
                                    QStringLiteral("Buddies"), QStringLiteral("Hi")};
    size_t next = 0;
    SetAskTextHandler([&](const QString&) -> std::optional<QString> {
        if (next >= answers.size()) return std::nullopt;
        return answers[next++];
    });
    bool choiceAsked = false;
    SetAskChoiceHandler([&](const QStringList&) -> std::optional<int> {
        choiceAsked = true;
        return 0;
    });
    contacts->Command(clistcmd::kFindContacts);
    SetAskTextHandler({});
    SetAskChoiceHandler({});
    EXPECT_FALSE(choiceAsked);
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    account.SetStatus(0);
    account.RunIdleTasks();
    ASSERT_EQ(account.additions.size(), 1u);
    EXPECT_EQ(account.additions[0].login, u"ZulBob");
    EXPECT_EQ(account.additions[0].group, u"Buddies");
}

}  // namespace
}  // namespace zul
