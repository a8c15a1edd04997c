// The form of a new contact: which logins it lets through (the rule the account applies before
// it sends an addition), and the main menu's entry that opens it and hands one addition to the
// account.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "protocol/services/families.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/views_test_support.h"
#include "ui/dialogs/add_contact_sheet.h"

namespace zul::test {
namespace {

class AddContactTest : public ViewsTest {
  protected:
    TestAccount& Listed(int32_t id, const std::u16string& login) {
        CAccountData data = MakeAccountData(id, login);
        data.dbSave();
        return static_cast<TestAccount&>(
            *accounts->Add(std::make_unique<TestAccount>(data, *store)));
    }
};

struct LoginCase {
    const char16_t* login;
    LoginCheck check;
};

constexpr LoginCase kLogins[] = {
    // ICQ numbers: 5 to 10 digits.
    {u"12345", LoginCheck::kValid},
    {u"1234567890", LoginCheck::kValid},
    {u"1234", LoginCheck::kBadNumber},
    {u"12345678901", LoginCheck::kBadNumber},
    // AIM names: 3 to 16 letters, digits and spaces from a letter on; an e-mail address longer.
    {u"ZulBob", LoginCheck::kValid},
    {u"Zul Bob 2", LoginCheck::kValid},
    {u"zul.bob_2-x", LoginCheck::kValid},
    {u"bob.longer-name@example.com", LoginCheck::kValid},
    {u"Zb", LoginCheck::kBadName},
    {u"2Bob", LoginCheck::kBadName},
    {u"123-456", LoginCheck::kBadName},
    {u"Bob!", LoginCheck::kBadName},
    {u"Abcdefghijklmnopq", LoginCheck::kBadName},
    {u"J\u00FCrgen", LoginCheck::kBadName},
    {u"", LoginCheck::kEmpty},
};

TEST_F(AddContactTest, TheFormLetsThroughWhatTheAccountSendsAndSaysWhyNot) {
    Listed(1, u"100");
    AddContactSheet sheet(window.get(), *accounts, {});
    AddContactPage& form = *sheet.Form();
    for (const LoginCase& c : kLogins) {
        const std::u16string login = c.login;
        const bool valid = c.check == LoginCheck::kValid;
        EXPECT_EQ(CheckContactLogin(login), c.check) << ToUtf8(login);
        EXPECT_EQ(IsValidBuddyLogin(login), valid) << ToUtf8(login) << ": the account differs";
        form.LoginEdit()->setText(QString::fromStdU16String(login));
        EXPECT_EQ(sheet.CommandEnabled(cmd::kDone), valid) << ToUtf8(login);
        EXPECT_EQ(form.Problem()->isHidden(), valid || c.check == LoginCheck::kEmpty)
            << ToUtf8(login);
        if (c.check == LoginCheck::kBadNumber || c.check == LoginCheck::kBadName)
            EXPECT_TRUE(form.Problem()->text().startsWith(c.check == LoginCheck::kBadNumber
                                                              ? QStringLiteral("An ICQ number")
                                                              : QStringLiteral("An AIM name")))
                << form.Problem()->text().toStdString();
    }
}

TEST_F(AddContactTest, TheMainMenuOpensTheFormWhichRefusesAListedLoginAndAddsOnce) {
    TestAccount& account = Listed(1, u"100");
    const ContactPtr ann = AddContact(account, 1, u"Ann", u"Friends");
    FastTick();
    QAction* entry = nullptr;
    for (QAction* action : window->PrepareMenuPopup()->actions())
        if (action->menu() == nullptr && action->data().toInt() == clistcmd::kAddContact)
            entry = action;
    ASSERT_NE(entry, nullptr) << "no top-level entry";

    WhenModalOpens<AddContactSheet> form([&](AddContactSheet& sheet) {
        AddContactPage& f = *sheet.Form();
        EXPECT_TRUE(f.AccountCombo()->isHidden()) << "one account: nothing to choose";
        QTest::keyClicks(f.LoginEdit(), QString::fromStdU16String(ann->Login()));
        EXPECT_FALSE(sheet.CommandEnabled(cmd::kDone));
        EXPECT_TRUE(f.Problem()->text().contains(QStringLiteral("\u201CAnn\u201D")))
            << f.Problem()->text().toStdString();
        f.LoginEdit()->clear();
        QTest::keyClicks(f.LoginEdit(), QStringLiteral("Zul Bob"));
        EXPECT_TRUE(f.Problem()->isHidden());
        // A name that is none of the account's groups makes a new one.
        f.GroupCombo()->setEditText(QStringLiteral("Family"));
        sheet.grab().save(ScreenshotPath(QStringLiteral("add_contact_sheet.png")));
        QTest::mouseClick(sheet.KeyFor(cmd::kDone), Qt::LeftButton);
    });
    entry->trigger();
    ASSERT_TRUE(form.Ran());
    account.SetStatus(0);
    account.RunIdleTasks();
    ASSERT_EQ(account.additions.size(), 1u);
    EXPECT_EQ(account.additions[0].login, u"Zul Bob");
    EXPECT_EQ(account.additions[0].nickname, u"Zul Bob");
    EXPECT_EQ(account.additions[0].group, u"Family");
}

}  // namespace
}  // namespace zul::test
