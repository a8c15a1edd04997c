// The Options sheet, the account wizard and the About sheet, driven as the user drives them: taps,
// drags, tap-and-hold, soft keys and keys on the real sheets, over a real profile.
#include "ui/dialogs/dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>

#include "accounts/accounts.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"
#include "support/test_account.h"
#include "support/test_env.h"
#include "tests/ui/ui_test_support.h"
#include "ui/dialogs/about_sheet.h"
#include "ui/dialogs/account_list_box.h"
#include "ui/dialogs/account_wizard.h"
#include "ui/dialogs/options_sheet.h"
#include "ui/dialogs/sheet_controls.h"
#include "ui/framework/main_window.h"
#include "ui/texts/language_list.h"
#include "ui/texts/language_module.h"
#include "ui/texts/ui_resources.h"
#include "ui/views/accounts_page.h"

namespace zul {
namespace {

using test::TestAccount;

// The shipped language modules in the source tree.
std::filesystem::path ShippedLanguages() {
    return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "resources" / "lang";
}

// How long a test waits for a sheet, box or menu it expects.
constexpr int kWaitForWindowMs = 10000;

// Calls `action` with the first window `find` returns, polling from the event loop; gives up
// with a failure after kWaitForWindowMs.
void WhenOpen(std::function<QWidget*()> find, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer();
    timer->setInterval(5);
    auto polls = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, find, action, polls] {
        QWidget* window = find();
        if (window == nullptr) {
            if (++*polls * 5 < kWaitForWindowMs) return;
            ADD_FAILURE() << "the expected window did not open";
        }
        timer->stop();
        timer->deleteLater();
        if (window != nullptr) action(window);
    });
    timer->start();
}

// Runs `action` on the next modal window above `below` once it is open. The action must close
// it; a window left open fails the test and is closed, so that the test goes on.
void OnModal(std::function<void(QWidget*)> action, QWidget* below = nullptr) {
    WhenOpen(
        [below]() -> QWidget* {
            QWidget* modal = QApplication::activeModalWidget();
            return modal != nullptr && modal != below && modal->isVisible() ? modal : nullptr;
        },
        [action](QWidget* modal) {
            QPointer<QWidget> guard(modal);
            action(modal);
            if (guard != nullptr && guard->isVisible()) {
                ADD_FAILURE() << "a modal window stayed open";
                if (auto* dialog = qobject_cast<QDialog*>(guard.data())) dialog->done(0);
            }
        });
}

// Chooses the entry of a command in the next popup menu, with the keyboard.
void OnPopupChoose(int command) {
    WhenOpen(
        []() -> QWidget* {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            return menu != nullptr && menu->isVisible() ? menu : nullptr;
        },
        [command](QWidget* window) {
            auto* menu = static_cast<QMenu*>(window);
            QAction* action = FindMenuCommand(*menu, command);
            if (action == nullptr) {
                ADD_FAILURE() << "no menu entry " << command;
                menu->close();
                return;
            }
            menu->setActiveAction(action);
            QTest::keyClick(menu, Qt::Key_Return);
        });
}

// Presses the OK (or Cancel) button of the next confirmation box above `below`.
void OnConfirm(bool ok, QWidget* below, QString* text = nullptr) {
    OnModal(
        [ok, text](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            if (text != nullptr) *text = box->text();
            EXPECT_EQ(box->windowTitle(), QString::fromStdU16String(AppTitle()));
            QTest::mouseClick(box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel),
                              Qt::LeftButton);
        },
        below);
}

template <typename T>
T* Control(QWidget* root, int id) {
    T* widget = root->findChild<T*>(ControlName(id));
    EXPECT_NE(widget, nullptr) << "control " << id;
    return widget;
}

QPoint RowCentre(QListWidget* list, int row) {
    return list->visualItemRect(list->item(row)).center();
}

void TapRow(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, RowCentre(list, row));
}

// Holds the pointer on a row until its menu opens and chooses `command` in it.
void HoldRow(QListWidget* list, int row, int command) {
    OnPopupChoose(command);
    const QPoint at = RowCentre(list, row);
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
    QTest::qWait(AccountListBox::kHoldMs + 150);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
}

class DialogsTest : public test::UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        ASSERT_TRUE(Database().Open());
        ASSERT_TRUE(Options().dbLoad());
        SetAccountFactory([](const CAccountData& data, CContacts& contacts, const std::string&) {
            return std::make_unique<TestAccount>(data, contacts);
        });
        BuildLanguageList(0);
        OverridePlatformUiLanguage(0x0409);
    }

    void TearDown() override {
        accounts_.reset();
        SetStringSource({});
        FreeUiResources();
        FreeLanguageList();
        SetCurrentUiLanguage(0);
        SetAccountFactory(nullptr);
        Database().Close();
        UiTest::TearDown();
    }

    // Saves an account row and loads the collection from the profile.
    void AddStoredAccount(int32_t id, const std::u16string& login, const std::u16string& name,
                          uint32_t bytesIn = 0, uint32_t bytesOut = 0,
                          uint8_t type = acctype::kIcq) {
        CAccountData data = test::MakeAccountData(id, login, type);
        data.SetDescription(name);
        data.SetPassword(u"secret");
        data.SetBytesIn(bytesIn);
        data.SetBytesOut(bytesOut);
        ASSERT_TRUE(data.dbSave());
    }

    CAccounts& LoadAccounts() {
        accounts_.reset();
        accounts_ = std::make_unique<CAccounts>(store_, folders_.DataDir());
        return *accounts_;
    }

    int StoredAccountRows() {
        CppSQLite3Command cmd = Database().Prepare(u"SELECT COUNT(*) FROM Accounts");
        return Database().ExecuteScalar(cmd);
    }

    // Installs a shipped language module as the shell does at start-up.
    void StartInLanguage(const char* file, uint16_t id) {
        std::filesystem::copy_file(ShippedLanguages() / file,
                                   std::filesystem::path(folders_.ProgramDir()) / file,
                                   std::filesystem::copy_options::overwrite_existing);
        BuildLanguageList(id);
        const LanguageEntry* entry = FindLanguage(id);
        ASSERT_NE(entry, nullptr);
        ASSERT_NE(entry->module, nullptr) << file << " did not load";
        const LanguageModule* module = entry->module.get();
        SetStringSource([module](int sid) { return module->String(sid); });
        LoadUiResources(module);
    }

    // Leaves the sheet with a soft key, as the user does.
    static void PressKey(PropertySheet* sheet, int command) {
        QPushButton* key = sheet->KeyFor(command);
        ASSERT_NE(key, nullptr) << "no key " << command;
        QTest::mouseClick(key, Qt::LeftButton);
    }

    test::IsolatedFolders folders_;
    CContacts store_;
    std::unique_ptr<CAccounts> accounts_;
};

// --- the account wizard ------------------------------------------------------------------------

TEST_F(DialogsTest, OnlyIcqAimLetsTheTypePageGoOn) {
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working;
    CAccountData fresh;
    fresh.SetID(NewAccountId(accounts, working));
    AccountWizard wizard(kWizardNew, nullptr, fresh, working);
    wizard.show();
    ASSERT_EQ(wizard.ActiveIndex(), AccountWizard::kTypePage);
    EXPECT_EQ(wizard.Title(), QStringLiteral("Account type"));
    auto* combo = Control<QComboBox>(&wizard, idc::kTypeCombo);
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("Select an account type"));
    EXPECT_EQ(combo->itemText(1), QStringLiteral("ICQ/AIM"));
    EXPECT_EQ(combo->itemText(2), QStringLiteral("XMPP (Jabber, GTalk)"));
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));

    combo->setCurrentIndex(AccountTypePage::kXmpp);
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));
    QTest::mouseClick(wizard.KeyFor(cmd::kNext), Qt::LeftButton);
    EXPECT_EQ(wizard.ActiveIndex(), AccountWizard::kTypePage);

    combo->setCurrentIndex(AccountTypePage::kOscar);
    EXPECT_TRUE(wizard.CommandEnabled(cmd::kNext));
    combo->setCurrentIndex(AccountTypePage::kXmpp);
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));
    combo->setCurrentIndex(AccountTypePage::kOscar);
    PressKey(&wizard, cmd::kNext);
    EXPECT_EQ(wizard.ActiveIndex(), AccountWizard::kMainPage);
    EXPECT_EQ(wizard.Copy().Type(), acctype::kOscarUnresolved);
}

TEST_F(DialogsTest, ANewAccountWalksEveryPageAndIsCreatedOnDone) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    bool wizardSeen = false;
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* list = Control<AccountListBox>(sheet, idc::kAccountList);
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->item(0)->text(), QStringLiteral("Add new account..."));
        OnModal(
            [&](QWidget* m) {
                auto* wizard = qobject_cast<AccountWizard*>(m);
                ASSERT_NE(wizard, nullptr);
                wizardSeen = true;
                Control<QComboBox>(wizard, idc::kTypeCombo)
                    ->setCurrentIndex(AccountTypePage::kOscar);
                PressKey(wizard, cmd::kNext);
                ASSERT_EQ(wizard->ActiveIndex(), AccountWizard::kMainPage);
                auto* login = Control<QLineEdit>(wizard, idc::kLogin);
                auto* server = Control<QLineEdit>(wizard, idc::kServer);
                auto* port = Control<QLineEdit>(wizard, idc::kPort);
                EXPECT_FALSE(login->isReadOnly());
                EXPECT_EQ(server->text().toStdU16String(), kDefaultLoginHost);
                EXPECT_EQ(port->text(), QStringLiteral("5190"));
                // No login host is suggested, only a hint; AIM names may be e-mail
                // addresses and AIM passwords have 16 characters.
                EXPECT_TRUE(server->text().isEmpty());
                EXPECT_FALSE(server->placeholderText().isEmpty());
                EXPECT_EQ(login->maxLength(), 64);
                EXPECT_EQ(Control<QLineEdit>(wizard, idc::kPassword)->maxLength(), 16);
                EXPECT_EQ(server->maxLength(), 64);
                EXPECT_EQ(port->maxLength(), 15);
                // Set defaults puts back what was changed.
                server->setText(QStringLiteral("elsewhere.example"));
                port->setText(QStringLiteral("443"));
                QTest::mouseClick(Control<QPushButton>(wizard, idc::kSetDefaults), Qt::LeftButton);
                EXPECT_EQ(server->text().toStdU16String(), kDefaultLoginHost);
                EXPECT_EQ(port->text(), QStringLiteral("5190"));
                // Enter in an edit never presses "Set defaults".
                server->setText(QStringLiteral("oscar.example"));
                port->setText(QStringLiteral("5191"));
                for (QLineEdit* edit : {server, port, login}) {
                    edit->setFocus();
                    QTest::keyClick(edit, Qt::Key_Return);
                }
                EXPECT_EQ(server->text(), QStringLiteral("oscar.example"));
                EXPECT_EQ(port->text(), QStringLiteral("5191"));
                server->setText(QString());
                port->setText(QStringLiteral("5190"));

                EXPECT_FALSE(wizard->CommandEnabled(cmd::kNext));
                QTest::keyClicks(login, QStringLiteral("222222"));
                EXPECT_FALSE(wizard->CommandEnabled(cmd::kNext)) << "no password yet";
                // A password the login's code page cannot carry is refused with a text.
                auto* password = Control<QLineEdit>(wizard, idc::kPassword);
                password->setText(QString::fromUtf16(u"\u5BC6\u7801"));
                EXPECT_FALSE(wizard->CommandEnabled(cmd::kNext));
                auto* problem = wizard->findChild<QLabel*>(QStringLiteral("passwordProblem"));
                ASSERT_NE(problem, nullptr);
                EXPECT_FALSE(problem->isHidden());
                password->clear();
                QTest::keyClicks(password, QStringLiteral("pw"));
                EXPECT_TRUE(problem->isHidden());
                ASSERT_TRUE(wizard->CommandEnabled(cmd::kNext));
                PressKey(wizard, cmd::kNext);
                ASSERT_EQ(wizard->ActiveIndex(), AccountWizard::kAdvancedPage);
                // A new account signs on with the MD5 login unless the user says otherwise.
                EXPECT_TRUE(Control<QCheckBox>(wizard, idc::kSecureLogin)->isChecked());
                PressKey(wizard, cmd::kNext);
                ASSERT_EQ(wizard->ActiveIndex(), AccountWizard::kFinishPage);
                auto* name = Control<QLineEdit>(wizard, idc::kName);
                EXPECT_EQ(name->text(), QStringLiteral("ICQ 222222"));
                EXPECT_TRUE(Control<QCheckBox>(wizard, idc::kEnableAccount)->isChecked());
                EXPECT_EQ(name->maxLength(), 64);
                name->setText(QStringLiteral("Home"));
                PressKey(wizard, cmd::kFinish);
            },
            sheet);
        TapRow(list, 0);
        // The new account is listed and selected, by name.
        ASSERT_EQ(list->count(), 3);
        EXPECT_EQ(list->item(1)->text(), QStringLiteral("Home"));
        EXPECT_EQ(list->currentRow(), 1);
        EXPECT_EQ(accounts.Count(), 1u) << "nothing is applied before Done";
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    EXPECT_TRUE(wizardSeen);

    ASSERT_EQ(accounts.Count(), 2u);
    CAccount* home = accounts.Snapshot()[0];
    EXPECT_EQ(home->Description(), u"Home");
    EXPECT_EQ(home->Login(), u"222222");
    EXPECT_EQ(home->Password(), u"pw");
    EXPECT_EQ(home->SecureLogin(), 1);
    EXPECT_EQ(home->UpdateContactsOnLogin(), 0);
    EXPECT_NE(home->ID(), 0);
    EXPECT_NE(home->ID(), 7);
    // Saved, resolved to ICQ: it is there at the next start.
    EXPECT_EQ(StoredAccountRows(), 2);
    CppSQLite3Command cmd = Database().Prepare(u"SELECT Type FROM Accounts WHERE Login='222222'");
    EXPECT_EQ(Database().ExecuteScalar(cmd), acctype::kIcq);
}

TEST_F(DialogsTest, ASecondAccountWithTheSameTypeAndLoginCannotPassTheMainPage) {
    AddStoredAccount(7, u"111111", u"Work");
    AddStoredAccount(8, u"SomeOne", u"Chat", 0, 0, acctype::kAim);
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
    CAccountData fresh;
    fresh.SetID(NewAccountId(accounts, working));
    fresh.SetType(acctype::kOscarUnresolved);
    AccountWizard wizard(kWizardNew, nullptr, fresh, working);
    wizard.show();
    wizard.SetActivePage(AccountWizard::kMainPage);
    auto* login = Control<QLineEdit>(&wizard, idc::kLogin);
    Control<QLineEdit>(&wizard, idc::kPassword)->setText(QStringLiteral("pw"));

    login->setText(QStringLiteral("111111"));
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));
    QTest::mouseClick(wizard.KeyFor(cmd::kNext), Qt::LeftButton);
    EXPECT_EQ(wizard.ActiveIndex(), AccountWizard::kMainPage);
    // Screen names are the same whatever their case.
    login->setText(QStringLiteral("someone"));
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));
    login->setText(QStringLiteral("1111112"));
    EXPECT_TRUE(wizard.CommandEnabled(cmd::kNext));
    // Only accounts of the same type count: an ICQ account's login is free for AIM.
    working[1].SetLogin(u"AB12");
    EXPECT_FALSE(LoginTaken(working, fresh.ID(), acctype::kOscarUnresolved, u"ab12"));
    EXPECT_TRUE(LoginTaken(working, fresh.ID(), acctype::kOscarUnresolved, u"someone"));
    login->clear();
    EXPECT_FALSE(wizard.CommandEnabled(cmd::kNext));
}

TEST_F(DialogsTest, EditingShowsTheLoginReadOnlyAndStartsOnTheMainPage) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    bool checked = false;
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* list = Control<AccountListBox>(sheet, idc::kAccountList);
        OnModal(
            [&](QWidget* m) {
                auto* wizard = qobject_cast<AccountWizard*>(m);
                ASSERT_NE(wizard, nullptr);
                EXPECT_EQ(wizard->ActiveIndex(), AccountWizard::kMainPage);
                auto* login = Control<QLineEdit>(wizard, idc::kLogin);
                EXPECT_EQ(login->text(), QStringLiteral("111111"));
                EXPECT_TRUE(login->isReadOnly());
                QTest::keyClicks(login, QStringLiteral("9"));
                EXPECT_EQ(login->text(), QStringLiteral("111111"));
                // Its own login does not count as taken.
                EXPECT_TRUE(wizard->CommandEnabled(cmd::kNext));
                auto* password = Control<QLineEdit>(wizard, idc::kPassword);
                password->setText(QStringLiteral("changed"));
                PressKey(wizard, cmd::kNext);
                ASSERT_EQ(wizard->ActiveIndex(), AccountWizard::kAdvancedPage);
                PressKey(wizard, cmd::kNext);
                PressKey(wizard, cmd::kFinish);
                checked = true;
            },
            sheet);
        TapRow(list, 1);
        PressKey(sheet, cmd::kDone);
    });
    accounts.Snapshot()[0]->SetBytesIn(5000);
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    ASSERT_TRUE(checked);
    CAccount* work = accounts.Find(7);
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(work->Password(), u"changed");
    EXPECT_EQ(work->BytesIn(), 5000u) << "the live account keeps its counters";
}

TEST_F(DialogsTest, TheLeftKeyLabelledCancelClosesTheWizardWithoutAResult) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
    int shown = 0;
    OnModal([&](QWidget* m) {
        auto* wizard = qobject_cast<AccountWizard*>(m);
        ASSERT_NE(wizard, nullptr);
        EXPECT_EQ(wizard->KeyFor(cmd::kBack)->text(), QStringLiteral("Cancel"));
        Control<QLineEdit>(wizard, idc::kPassword)->setText(QStringLiteral("lost"));
        ++shown;
        PressKey(wizard, cmd::kBack);
    });
    EXPECT_FALSE(OpenWizard(kWizardEdit, nullptr, working, 0, accounts));
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(working[0].Password(), u"secret");
}

TEST_F(DialogsTest, RenamingToAnotherAccountsNameIsRefusedAndToItsOwnAllowed) {
    AddStoredAccount(7, u"111111", u"Work");
    AddStoredAccount(8, u"222222", u"Home");
    CAccounts& accounts = LoadAccounts();
    bool renamed = false;
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* list = Control<AccountListBox>(sheet, idc::kAccountList);
        ASSERT_EQ(list->item(2)->text(), QStringLiteral("Work"));
        OnModal(
            [&](QWidget* m) {
                auto* wizard = qobject_cast<AccountWizard*>(m);
                ASSERT_NE(wizard, nullptr);
                EXPECT_EQ(wizard->ActiveIndex(), AccountWizard::kFinishPage);
                EXPECT_EQ(wizard->KeyFor(cmd::kBack)->text(), QStringLiteral("Cancel"));
                auto* name = Control<QLineEdit>(wizard, idc::kName);
                EXPECT_EQ(name->text(), QStringLiteral("Work"));
                EXPECT_TRUE(wizard->CommandEnabled(cmd::kFinish)) << "its own name";
                name->setText(QStringLiteral("Home"));
                EXPECT_FALSE(wizard->CommandEnabled(cmd::kFinish));
                name->setText(QStringLiteral("HOME"));
                EXPECT_FALSE(wizard->CommandEnabled(cmd::kFinish));
                name->clear();
                EXPECT_FALSE(wizard->CommandEnabled(cmd::kFinish));
                name->setText(QStringLiteral("Work"));
                EXPECT_TRUE(wizard->CommandEnabled(cmd::kFinish));
                name->setText(QStringLiteral("Office"));
                PressKey(wizard, cmd::kFinish);
                renamed = true;
            },
            sheet);
        HoldRow(list, 2, cmd::kRename);
        // The list follows the new name and keeps it selected.
        EXPECT_EQ(list->item(2)->text(), QStringLiteral("Office"));
        EXPECT_EQ(list->currentRow(), 2);
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    EXPECT_TRUE(renamed);
    ASSERT_NE(accounts.Find(7), nullptr);
    EXPECT_EQ(accounts.Find(7)->Description(), u"Office");
    EXPECT_EQ(accounts.Snapshot()[1]->ID(), 7) << "sorted by the new name";
}

// --- the Options sheet -------------------------------------------------------------------------

TEST_F(DialogsTest, ADeletedAccountKeepsItsTrafficInTheAboutTotals) {
    Options().DeletedBytesIn = 1024;
    Options().DeletedBytesOut = 100;
    ASSERT_TRUE(Options().SaveAll());
    AddStoredAccount(7, u"111111", u"Work", 10 * 1024, 3000);
    AddStoredAccount(8, u"222222", u"Home", 2047, 1);
    CAccounts& accounts = LoadAccounts();
    QString confirmation;
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* list = Control<AccountListBox>(sheet, idc::kAccountList);
        OnConfirm(true, sheet, &confirmation);
        HoldRow(list, 2, cmd::kDelete);
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->currentRow(), 1) << "the entry above";
        EXPECT_EQ(accounts.Count(), 2u);
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    EXPECT_EQ(confirmation, QStringLiteral("Selected account will be deleted permanently!"));
    ASSERT_EQ(accounts.Count(), 1u);
    EXPECT_EQ(accounts.Find(7), nullptr);
    EXPECT_EQ(StoredAccountRows(), 1);
    EXPECT_EQ(Options().DeletedBytesIn, 1024 + 10 * 1024);
    EXPECT_EQ(Options().DeletedBytesOut, 3100);
    int32_t stored = 0;
    ASSERT_TRUE(Options().__readIntSetting(COptions::kDeletedBytesIn, stored));
    EXPECT_EQ(stored, 11 * 1024);

    // (1024 + 10240 + 2047) / 1024 = 12; (100 + 3000 + 1) / 1024 = 3.
    AboutSheet about(nullptr, accounts);
    about.show();
    EXPECT_EQ(about.Title(), QString::fromStdU16String(AppTitle()));
    EXPECT_EQ(Control<QLabel>(&about, idc::kReceived)->text(), QStringLiteral("Received 12 KB"));
    EXPECT_EQ(Control<QLabel>(&about, idc::kSent)->text(), QStringLiteral("Sent 3 KB"));
    // The counters grow while the sheet is open; a repaint shows them.
    accounts.Snapshot()[0]->SetBytesIn(2048);
    EXPECT_EQ(Control<QLabel>(&about, idc::kReceived)->text(), QStringLiteral("Received 12 KB"));
    about.grab();
    EXPECT_EQ(Control<QLabel>(&about, idc::kReceived)->text(), QStringLiteral("Received 13 KB"));
    PressKey(&about, cmd::kOk);
    EXPECT_FALSE(about.isVisible());
}

TEST_F(DialogsTest, CancelKeepsADeletedAccountAndEveryOption) {
    AddStoredAccount(7, u"111111", u"Work", 4096, 0);
    CAccounts& accounts = LoadAccounts();
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* list = Control<AccountListBox>(sheet, idc::kAccountList);
        OnConfirm(true, sheet);
        HoldRow(list, 1, cmd::kDelete);
        EXPECT_EQ(list->count(), 1);
        QTest::mouseClick(sheet->Tabs(), Qt::LeftButton, {},
                          sheet->Tabs()->tabRect(OptionsSheet::kAdvancedPage).center());
        ASSERT_EQ(sheet->ActiveIndex(), OptionsSheet::kAdvancedPage);
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kReconnect), Qt::LeftButton);
        PressKey(sheet, cmd::kCancel);
    });
    EXPECT_FALSE(OpenOptions(nullptr, accounts));
    EXPECT_NE(accounts.Find(7), nullptr);
    EXPECT_EQ(StoredAccountRows(), 1);
    EXPECT_EQ(Options().ReconnectOnError, 1);
    EXPECT_EQ(Options().DeletedBytesIn, 0);
}

TEST_F(DialogsTest, DeclinedDeletionAndTheEnabledEntryWorkOnTheCopy) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        auto* page = static_cast<AccountsOptionsPage*>(sheet->PageAt(OptionsSheet::kAccountsPage));
        auto* list = page->List();
        OnConfirm(false, sheet);
        HoldRow(list, 1, cmd::kDelete);
        EXPECT_EQ(list->count(), 2);

        std::unique_ptr<QMenu> menu(page->BuildMenu(1));
        ASSERT_NE(menu, nullptr);
        QAction* enabled = FindMenuCommand(*menu, cmd::kEnabled);
        ASSERT_NE(enabled, nullptr);
        EXPECT_TRUE(enabled->isChecked());
        EXPECT_EQ(page->BuildMenu(0), nullptr) << "no menu on \"Add new account...\"";
        HoldRow(list, 1, cmd::kEnabled);
        EXPECT_EQ(sheet->Working().accounts[0].Enabled(), 0);
        EXPECT_EQ(accounts.Find(7)->Enabled(), 1) << "only the copy until Done";
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    ASSERT_NE(accounts.Find(7), nullptr);
    EXPECT_EQ(accounts.Find(7)->Enabled(), 0);
    CppSQLite3Command cmd = Database().Prepare(u"SELECT Enabled FROM Accounts WHERE ID=7");
    EXPECT_EQ(Database().ExecuteScalar(cmd), 0);
}

TEST_F(DialogsTest, OnlyAStillPointerTapsARowAndALongerMoveDragsTheList) {
    for (int i = 0; i < 60; ++i)
        AddStoredAccount(100 + i, Widen(std::to_string(100000 + i)),
                         u"Account " + Widen(std::to_string(10 + i)));
    CAccounts& accounts = LoadAccounts();
    OptionsSheet sheet(nullptr, accounts);
    sheet.resize(480, 640);
    sheet.show();
    auto* list = Control<AccountListBox>(&sheet, idc::kAccountList);
    int wizards = 0;
    OnModal(
        [&](QWidget* m) {
            ++wizards;
            static_cast<AccountWizard*>(m)->CancelWizard();
        },
        &sheet);

    // 6 px down is a drag: no wizard, and the list moved.
    const QPoint start = RowCentre(list, 3);
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, start);
    QTest::mouseMove(list->viewport(), start + QPoint(0, 6));
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, start + QPoint(0, 6));
    QTest::qWait(30);
    EXPECT_EQ(wizards, 0);
    const int before = list->verticalScrollBar()->value();
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, start);
    QTest::mouseMove(list->viewport(), start - QPoint(0, 40));
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, start - QPoint(0, 40));
    EXPECT_EQ(list->verticalScrollBar()->value(), before + 40);
    QTest::qWait(30);
    EXPECT_EQ(wizards, 0);

    // 5 px is still a tap.
    const QPoint at = RowCentre(list, 4);
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseMove(list->viewport(), at + QPoint(3, 5));
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at + QPoint(3, 5));
    EXPECT_EQ(wizards, 1);
}

TEST_F(DialogsTest, TheActionKeyAddsOrEditsAndTheSelectionFollowsTheFocus) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    OptionsSheet sheet(nullptr, accounts);
    sheet.show();
    sheet.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
    auto* list = Control<AccountListBox>(&sheet, idc::kAccountList);
    list->setFocus();
    std::vector<int> modes;
    auto expectWizard = [&] {
        OnModal(
            [&](QWidget* m) {
                auto* wizard = static_cast<AccountWizard*>(m);
                modes.push_back(wizard->Mode());
                wizard->CancelWizard();
            },
            &sheet);
    };
    expectWizard();
    QTest::keyClick(list, Qt::Key_Return);
    expectWizard();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->CaretRow(), 1);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(modes, (std::vector<int>{kWizardNew, kWizardEdit}));

    // The action key held opens the menu.
    OnPopupChoose(cmd::kRename);
    expectWizard();
    QTest::keyPress(list, Qt::Key_Return);
    QTest::qWait(AccountListBox::kHoldMs + 150);
    QTest::keyRelease(list, Qt::Key_Return);
    EXPECT_EQ(modes.back(), kWizardRename);

    // Without the focus the caret stays but nothing is shown selected.
    QLineEdit elsewhere(&sheet);
    elsewhere.show();
    sheet.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
    list->setFocus();
    ASSERT_TRUE(list->hasFocus());
    elsewhere.setFocus();
    ASSERT_FALSE(list->hasFocus());
    EXPECT_TRUE(list->selectedItems().isEmpty());
    EXPECT_EQ(list->CaretRow(), 1);
    list->setFocus();
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->row(list->selectedItems()[0]), 1);
}

TEST_F(DialogsTest, PagesStoreTheirControlsWhenLeftAndLoadThemWhenEntered) {
    Options().EnableTransparency = 1;
    Options().ClistOpenByDoubleClick = 0;
    Options().UseProxy = 1;
    CAccounts& accounts = LoadAccounts();
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->Title(), QStringLiteral("Accounts"));
        EXPECT_EQ(sheet->KeyFor(cmd::kCancel)->text(), QStringLiteral("Cancel"));
        EXPECT_EQ(sheet->KeyFor(cmd::kDone)->text(), QStringLiteral("Done"));
        sheet->Tabs()->setCurrentIndex(OptionsSheet::kAdvancedPage);
        EXPECT_EQ(sheet->Title(), QStringLiteral("Advanced settings"));
        EXPECT_TRUE(Control<QCheckBox>(sheet, idc::kRestoreStatuses)->isChecked());
        EXPECT_TRUE(Control<QCheckBox>(sheet, idc::kTransparency)->isChecked());
        EXPECT_FALSE(Control<QCheckBox>(sheet, idc::kOpenByDoubleTap)->isChecked());
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kRestoreStatuses), Qt::LeftButton);
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kOpenByDoubleTap), Qt::LeftButton);
        sheet->Tabs()->setCurrentIndex(OptionsSheet::kNetworkPage);
        EXPECT_EQ(sheet->Title(), QStringLiteral("Network options"));
        EXPECT_EQ(sheet->Working().options.RestoreLastStatusesOnStart, 0);
        EXPECT_EQ(sheet->Working().options.ClistOpenByDoubleClick, 1);
        auto* proxy = Control<QCheckBox>(sheet, idc::kUseProxy);
        EXPECT_TRUE(proxy->isChecked());
        EXPECT_FALSE(proxy->isEnabled());
        EXPECT_FALSE(Control<QPushButton>(sheet, idc::kProxySettings)->isEnabled());
        // Back on Advanced, the page shows the working values.
        sheet->Tabs()->setCurrentIndex(OptionsSheet::kAdvancedPage);
        EXPECT_FALSE(Control<QCheckBox>(sheet, idc::kRestoreStatuses)->isChecked());
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kFocusEditor), Qt::LeftButton);
        // The rooms joined again at sign-on (on by default) and the sound in an open chat.
        EXPECT_TRUE(Control<QCheckBox>(sheet, idc::kRejoinRooms)->isChecked());
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kRejoinRooms), Qt::LeftButton);
        QTest::mouseClick(Control<QCheckBox>(sheet, idc::kSoundInChat), Qt::LeftButton);
        // The text size: medium now, the largest chosen for the list and the chats alike.
        auto* size = Control<QComboBox>(sheet, idc::kTextSizeCombo);
        EXPECT_EQ(size->currentIndex(), 2);
        EXPECT_EQ(size->count(), 5);
        size->setCurrentIndex(0);
        // Done stores the page it is pressed on.
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    EXPECT_EQ(Options().RestoreLastStatusesOnStart, 0);
    EXPECT_EQ(Options().ClistOpenByDoubleClick, 1);
    EXPECT_EQ(Options().HistorySetFocusOnEditor, 0);
    EXPECT_EQ(Options().RejoinRooms, 0);
    EXPECT_EQ(Options().NotifSoundInChat, 1);
    EXPECT_EQ(Options().EnableTransparency, 1);
    EXPECT_EQ(Options().UseProxy, 1);
    EXPECT_EQ(Options().ClistTextSize, 0);
    EXPECT_EQ(Options().HistoryTextSize, 0);
    Options().ResetToDefaults();
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().RestoreLastStatusesOnStart, 0);
    EXPECT_EQ(Options().HistorySetFocusOnEditor, 0);
}

TEST_F(DialogsTest, TheWizardsAdvancedPageKeepsBothFlags) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
    working[0].SetSecureLogin(1);
    working[0].SetUpdateContactsOnLogin(1);
    OnModal([&](QWidget* m) {
        auto* wizard = qobject_cast<AccountWizard*>(m);
        ASSERT_NE(wizard, nullptr);
        PressKey(wizard, cmd::kNext);
        EXPECT_EQ(wizard->Title(), QString::fromUtf16(u"\u0410dvanced settings"));
        EXPECT_TRUE(Control<QCheckBox>(wizard, idc::kSecureLogin)->isChecked());
        EXPECT_TRUE(Control<QCheckBox>(wizard, idc::kUpdateContacts)->isChecked());
        PressKey(wizard, cmd::kBack);
        EXPECT_EQ(wizard->ActiveIndex(), AccountWizard::kMainPage);
        PressKey(wizard, cmd::kNext);
        QTest::mouseClick(Control<QCheckBox>(wizard, idc::kUpdateContacts), Qt::LeftButton);
        PressKey(wizard, cmd::kNext);
        PressKey(wizard, cmd::kFinish);
    });
    EXPECT_TRUE(OpenWizard(kWizardEdit, nullptr, working, 0, accounts));
    EXPECT_EQ(working[0].SecureLogin(), 1);
    EXPECT_EQ(working[0].UpdateContactsOnLogin(), 0);
}

TEST_F(DialogsTest, SwitchingTlsOnMovesThePlainDefaultPortButNotTheUsersOwn) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
    working[0].SetPort(u"5190");
    auto run = [&](const QString& expectedPort) {
        OnModal([&](QWidget* m) {
            auto* wizard = qobject_cast<AccountWizard*>(m);
            ASSERT_NE(wizard, nullptr);
            PressKey(wizard, cmd::kNext);
            QTest::mouseClick(Control<QCheckBox>(wizard, idc::kUseTls), Qt::LeftButton);
            PressKey(wizard, cmd::kBack);
            EXPECT_EQ(Control<QLineEdit>(wizard, idc::kPort)->text(), expectedPort);
            PressKey(wizard, cmd::kNext);
            PressKey(wizard, cmd::kNext);
            PressKey(wizard, cmd::kFinish);
        });
        EXPECT_TRUE(OpenWizard(kWizardEdit, nullptr, working, 0, accounts));
    };
    run(QStringLiteral("443"));
    EXPECT_TRUE(working[0].UseTls());
    EXPECT_EQ(working[0].Port(), u"443");
    run(QStringLiteral("5190"));
    EXPECT_FALSE(working[0].UseTls());
    working[0].SetPort(u"5555");
    run(QStringLiteral("5555"));
    EXPECT_TRUE(working[0].UseTls());
}

TEST_F(DialogsTest, APasswordKeptInTheKeyringMayStayEmptyInTheWizard) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
    working[0].SetPassword(u"");
    // Without the keyring an empty password cannot go on.
    OnModal([&](QWidget* m) {
        auto* wizard = qobject_cast<AccountWizard*>(m);
        ASSERT_NE(wizard, nullptr);
        PressKey(wizard, cmd::kNext);
        EXPECT_EQ(wizard->ActiveIndex(), AccountWizard::kMainPage);
        PressKey(wizard, cmd::kBack);
    });
    EXPECT_FALSE(OpenWizard(kWizardEdit, nullptr, working, 0, accounts));
    working[0].SetPasswordInKeyring(true);
    OnModal([&](QWidget* m) {
        auto* wizard = qobject_cast<AccountWizard*>(m);
        ASSERT_NE(wizard, nullptr);
        auto* password = Control<QLineEdit>(wizard, idc::kPassword);
        EXPECT_EQ(password->placeholderText(), QStringLiteral("Kept in the keyring"));
        PressKey(wizard, cmd::kNext);
        ASSERT_EQ(wizard->ActiveIndex(), AccountWizard::kAdvancedPage);
        auto* keep = Control<QCheckBox>(wizard, idc::kKeepInKeyring);
        EXPECT_TRUE(keep->isChecked());
        QTest::mouseClick(keep, Qt::LeftButton);
        PressKey(wizard, cmd::kNext);
        PressKey(wizard, cmd::kFinish);
    });
    EXPECT_TRUE(OpenWizard(kWizardEdit, nullptr, working, 0, accounts));
    EXPECT_FALSE(working[0].PasswordInKeyring());
}

TEST_F(DialogsTest, ThePasswordBoxSaysWhyAndGivesWhatWasTyped) {
    std::u16string password;
    OnModal([&](QWidget* m) {
        auto* box = qobject_cast<QInputDialog*>(m);
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->labelText().startsWith(QStringLiteral("The keyring is locked.")));
        EXPECT_TRUE(box->labelText().contains(QStringLiteral("\u201cWork\u201d")));
        EXPECT_EQ(box->textEchoMode(), QLineEdit::Password);
        auto* edit = box->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        edit->setText(QStringLiteral("p\u00e4ss"));
        QTest::keyClick(edit, Qt::Key_Return);
    });
    EXPECT_TRUE(AskForPassword(nullptr, QStringLiteral("Work"),
                               QStringLiteral("The keyring is locked."), password));
    EXPECT_EQ(password, u"p\u00e4ss");
    // Cancel, or nothing typed, gives nothing.
    OnModal([&](QWidget* m) { QTest::keyClick(m, Qt::Key_Escape); });
    password.clear();
    EXPECT_FALSE(AskForPassword(nullptr, QStringLiteral("Work"), QString(), password));
    EXPECT_TRUE(password.empty());
}

TEST_F(DialogsTest, TheCertificateBoxShowsTheFingerprintAndTrustsOnlyOnPurpose) {
    TlsCertificate certificate;
    certificate.subject = "CN=oscar.example.org";
    certificate.issuer = "CN=oscar.example.org";
    certificate.sha256 = "01:23:45:67:89:AB";
    certificate.notBefore = "2026-01-01 00:00 UTC";
    certificate.notAfter = "2027-01-01 00:00 UTC";
    certificate.problem = "self-signed certificate";
    // Enter presses Cancel, never Trust.
    OnModal([&](QWidget* m) {
        auto* box = qobject_cast<QMessageBox*>(m);
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->text().contains(QStringLiteral("\u201cWork\u201d")));
        EXPECT_TRUE(box->informativeText().contains(QStringLiteral("01:23:45:67:89:AB")));
        EXPECT_TRUE(box->informativeText().contains(QStringLiteral("self-signed certificate")));
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_FALSE(AskToTrustCertificate(nullptr, QStringLiteral("Work"), certificate, false));
    // A changed certificate warns, and the user may still trust it on purpose.
    OnModal([&](QWidget* m) {
        auto* box = qobject_cast<QMessageBox*>(m);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_TRUE(box->text().startsWith(QStringLiteral("Warning")));
        QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("trustCertificate")),
                          Qt::LeftButton);
    });
    EXPECT_TRUE(AskToTrustCertificate(nullptr, QStringLiteral("Work"), certificate, true));
}

TEST_F(DialogsTest, EveryPageSwitchesItsLayoutWithTheWindowsAspect) {
    CAccounts& accounts = LoadAccounts();
    OptionsSheet sheet(nullptr, accounts);
    sheet.resize(480, 640);
    sheet.show();
    const int expected[4][3] = {{102, 153, 133}, {212, 212, 213}, {108, 108, 160}, {132, 132, 148}};
    for (int page = 0; page < 4; ++page) {
        sheet.SetActivePage(page);
        sheet.resize(480, 640);
        EXPECT_EQ(sheet.PageAt(page)->TemplateId(), expected[page][0]);
        sheet.resize(560, 560);
        EXPECT_EQ(sheet.PageAt(page)->TemplateId(), expected[page][1]);
        sheet.resize(640, 480);
        EXPECT_EQ(sheet.PageAt(page)->TemplateId(), expected[page][2]);
    }
    // A page that was not active catches up when it is entered.
    sheet.resize(480, 640);
    EXPECT_EQ(sheet.PageAt(0)->TemplateId(), 133);
    sheet.SetActivePage(0);
    EXPECT_EQ(sheet.PageAt(0)->TemplateId(), 102);
    // Landscape puts the hint beside the list, portrait below it.
    QWidget* list = Control<QWidget>(&sheet, idc::kAccountList);
    QWidget* hint = Control<QWidget>(&sheet, idc::kAccountsHint);
    QTest::qWait(0);
    EXPECT_GT(hint->y(), list->y());
    sheet.resize(640, 480);
    QTest::qWait(0);
    EXPECT_GT(hint->x(), list->x());
    EXPECT_LT(hint->y(), list->y() + list->height() / 2);
}

// --- the language ------------------------------------------------------------------------------

TEST_F(DialogsTest, TheWindowTakesAnotherLanguageAtOnce) {
    CAccounts& accounts = LoadAccounts();
    MainWindow window;
    AccountsPage page(accounts);
    window.AddPage(&page, true, false);
    window.resize(480, 640);
    const auto menuTexts = [&window] {
        QStringList texts;
        for (QAction* action : window.PrepareMenuPopup()->actions())
            if (!action->isSeparator()) texts << action->text();
        return texts;
    };
    ASSERT_TRUE(menuTexts().contains(QStringLiteral("&Options...")));
    ASSERT_EQ(page.Caption().Title(), QStringLiteral("Accounts"));

    StartInLanguage("qan.dll.0407.mui", 0x0407);
    window.Retranslate();
    EXPECT_EQ(page.Caption().Title(), QString::fromStdU16String(ResString(114)));
    EXPECT_NE(page.Caption().Title(), QStringLiteral("Accounts"));
    EXPECT_TRUE(menuTexts().contains(QStringLiteral("&Optionen...")))
        << menuTexts().join('|').toStdString();
    EXPECT_FALSE(menuTexts().contains(QStringLiteral("&Options...")));
    SetStringSource({});
    LoadUiResources(nullptr);
}

TEST_F(DialogsTest, TheLanguageChoiceIsStoredAndShownAfterARestart) {
    std::filesystem::copy_file(ShippedLanguages() / "qan.dll.0407.mui",
                               std::filesystem::path(folders_.ProgramDir()) / "qan.dll.0407.mui");
    BuildLanguageList(0);
    ASSERT_EQ(LanguageList().size(), 2u);
    CAccounts& accounts = LoadAccounts();
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        ASSERT_NE(sheet, nullptr);
        sheet->Tabs()->setCurrentIndex(OptionsSheet::kLanguagePage);
        EXPECT_EQ(sheet->Title(), QStringLiteral("Language"));
        auto* combo = Control<QComboBox>(sheet, idc::kLanguageCombo);
        ASSERT_EQ(combo->count(), 2);
        EXPECT_EQ(combo->itemText(0), QStringLiteral("English"));
        EXPECT_EQ(combo->itemText(1), QStringLiteral("Deutsch"));
        EXPECT_EQ(combo->currentIndex(), 0) << "the platform language (English) is preselected";
        combo->setCurrentIndex(1);
        PressKey(sheet, cmd::kDone);
    });
    EXPECT_TRUE(OpenOptions(nullptr, accounts));
    EXPECT_EQ(Options().LanguageID, 0x0407);
    EXPECT_EQ(CurrentUiLanguage(), 0x0407);
    // This run keeps its texts.
    EXPECT_EQ(ResString(ids::kPageAccounts), u"Accounts");

    // The next start reads the choice from the profile.
    accounts_.reset();
    FreeLanguageList();
    Database().Close();
    Options().ResetToDefaults();
    ASSERT_TRUE(Database().Open());
    ASSERT_TRUE(Options().dbLoad());
    ASSERT_EQ(Options().LanguageID, 0x0407);
    StartInLanguage("qan.dll.0407.mui", Options().LanguageID);
    CAccounts& again = LoadAccounts();
    OptionsSheet sheet(nullptr, again);
    sheet.show();
    sheet.SetActivePage(OptionsSheet::kLanguagePage);
    EXPECT_EQ(Control<QComboBox>(&sheet, idc::kLanguageCombo)->currentText(),
              QStringLiteral("Deutsch"));
    EXPECT_EQ(sheet.Title(), QStringLiteral("Sprache"));
    EXPECT_EQ(sheet.KeyFor(cmd::kDone)->text(), QStringLiteral("Fertig"));
}

TEST_F(DialogsTest, ChoosingALanguageAndCancellingChangesNothing) {
    std::filesystem::copy_file(ShippedLanguages() / "qan.dll.0419.mui",
                               std::filesystem::path(folders_.ProgramDir()) / "qan.dll.0419.mui");
    BuildLanguageList(0);
    CAccounts& accounts = LoadAccounts();
    OnModal([&](QWidget* w) {
        auto* sheet = qobject_cast<OptionsSheet*>(w);
        sheet->SetActivePage(OptionsSheet::kLanguagePage);
        Control<QComboBox>(sheet, idc::kLanguageCombo)->setCurrentIndex(1);
        PressKey(sheet, cmd::kCancel);
    });
    EXPECT_FALSE(OpenOptions(nullptr, accounts));
    EXPECT_EQ(Options().LanguageID, 0);
    EXPECT_EQ(CurrentUiLanguage(), 0x0409);
}

// --- screenshots -------------------------------------------------------------------------------

// Saves every page of the three sheets in portrait and landscape as
// "screenshots/dialogs_<language>_<sheet>_<page>_<orientation>.png"; returns the page titles.
QStringList SaveEveryPage(CAccounts& accounts, const QString& language) {
    QStringList titles;
    const struct {
        const char* name;
        QSize size;
    } orientations[] = {{"portrait", QSize(480, 640)}, {"landscape", QSize(640, 480)}};
    auto save = [&](PropertySheet& sheet, const QString& what, const char* orientation) {
        QTest::qWait(0);
        const QImage image = sheet.grab().toImage();
        const QString file = test::ScreenshotPath(
            QStringLiteral("dialogs_%1_%2_%3.png").arg(language, what, QLatin1String(orientation)));
        EXPECT_TRUE(image.save(file)) << file.toStdString();
        titles << sheet.Title();
    };
    for (const auto& o : orientations) {
        OptionsSheet options(nullptr, accounts);
        options.resize(o.size);
        options.show();
        const char* pages[] = {"options_accounts", "options_advanced", "options_network",
                               "options_language"};
        for (int page = 0; page < options.PageCount(); ++page) {
            options.SetActivePage(page);
            save(options, QLatin1String(pages[page]), o.name);
        }

        CAccountData fresh;
        fresh.SetID(NewAccountId(accounts, {}));
        fresh.SetType(acctype::kOscarUnresolved);
        fresh.SetLogin(u"123456789");
        fresh.SetPassword(u"secret");
        fresh.SetServer(kDefaultLoginHost);
        fresh.SetPort(kDefaultLoginPort);
        fresh.SetEnabled(1);
        std::vector<CAccountData> working = LoadOptionsWorking(accounts, Options(), 0).accounts;
        AccountWizard wizard(kWizardNew, nullptr, fresh, working);
        wizard.resize(o.size);
        wizard.show();
        const char* steps[] = {"wizard_type", "wizard_main", "wizard_advanced", "wizard_name"};
        for (int page = 0; page < wizard.PageCount(); ++page) {
            wizard.SetActivePage(page);
            save(wizard, QLatin1String(steps[page]), o.name);
        }

        AboutSheet about(nullptr, accounts);
        about.resize(o.size);
        about.show();
        save(about, QStringLiteral("about"), o.name);
    }
    return titles;
}

TEST_F(DialogsTest, ScreenshotsOfEveryPageInEnglish) {
    AddStoredAccount(7, u"111111", u"Work", 300000, 120000);
    AddStoredAccount(8, u"SomeOne", u"Chat", 0, 0, acctype::kAim);
    CAccounts& accounts = LoadAccounts();
    const QStringList titles = SaveEveryPage(accounts, QStringLiteral("en"));
    EXPECT_EQ(titles.size(), 18);
    EXPECT_TRUE(titles.contains(QStringLiteral("Network options")));
}

TEST_F(DialogsTest, ScreenshotsOfEveryPageInGermanShowTheModulesTexts) {
    StartInLanguage("qan.dll.0407.mui", 0x0407);
    AddStoredAccount(7, u"111111", u"Arbeit", 300000, 120000);
    AddStoredAccount(8, u"SomeOne", u"Chat", 0, 0, acctype::kAim);
    CAccounts& accounts = LoadAccounts();
    const QStringList titles = SaveEveryPage(accounts, QStringLiteral("de"));
    for (const char* title :
         {"Konten", "Erweiterte Einstellungen", "Netzwerkoptionen", "Sprache", "Kontotyp",
          "Kontoeinstellungen", "Erweiterte Kontoeinstellungen", "Kontoname"})
        EXPECT_TRUE(titles.contains(QString::fromUtf8(title))) << title;

    OptionsSheet sheet(nullptr, accounts);
    sheet.show();
    EXPECT_EQ(Control<QListWidget>(&sheet, idc::kAccountList)->item(0)->text(),
              QStringLiteral("Neues Konto hinzufügen..."));
    EXPECT_EQ(sheet.KeyFor(cmd::kCancel)->text(), QStringLiteral("Abbrechen"));
    AboutSheet about(nullptr, accounts);
    about.show();
    EXPECT_EQ(Control<QLabel>(&about, idc::kReceived)->text(), QStringLiteral("Empfangen: 292 KB"));
    QString confirmation;
    OnConfirm(false, nullptr, &confirmation);
    EXPECT_FALSE(Confirm(nullptr, Str(ids::kDeleteAccount)));
    EXPECT_EQ(confirmation, QStringLiteral("Das ausgewählte Konto wird endgültig gelöscht!"));
}

// --- the rules behind the sheets ---------------------------------------------------------------

TEST_F(DialogsTest, NewIdentifiersAvoidEveryAccountCopyAndStoredRow) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    std::vector<CAccountData> working;
    for (int i = 0; i < 200; ++i) {
        CAccountData copy;
        copy.SetID(NewAccountId(accounts, working));
        ASSERT_GT(copy.ID(), 0);
        ASSERT_NE(copy.ID(), 7);
        for (const CAccountData& other : working) ASSERT_NE(other.ID(), copy.ID());
        working.push_back(copy);
    }
}

TEST_F(DialogsTest, TotalsAndDeletedCountersNeverWrap) {
    AddStoredAccount(7, u"111111", u"Work", 0xFFFFFF00u, 0);
    AddStoredAccount(8, u"222222", u"Home", 0xFFFFFF00u, 0);
    Options().DeletedBytesIn = static_cast<int32_t>(0xFFFFFF00u);
    CAccounts& accounts = LoadAccounts();
    const TrafficTotals totals = AboutTotals(accounts, Options());
    EXPECT_EQ(totals.receivedKb, (3 * int64_t{0xFFFFFF00u}) / 1024);

    OptionsWorking working = LoadOptionsWorking(accounts, Options(), 0x0409);
    working.accounts.clear();
    ApplyOptions(accounts, working);
    EXPECT_EQ(accounts.Count(), 0u);
    EXPECT_EQ(static_cast<uint32_t>(Options().DeletedBytesIn), 0xFFFFFFFFu);
}

TEST_F(DialogsTest, TheLiveAccountTakesTlsAndForgetsTrustWhenTheServerChanges) {
    AddStoredAccount(7, u"111111", u"Work");
    CAccounts& accounts = LoadAccounts();
    CAccount* live = accounts.Find(7);
    ASSERT_NE(live, nullptr);
    live->SetTrustedCertificate("AB:CD");
    OptionsWorking working = LoadOptionsWorking(accounts, Options(), 0x0409);
    working.accounts[0].SetUseTls(true);
    ApplyOptions(accounts, working);
    live = accounts.Find(7);
    EXPECT_TRUE(live->UseTls());
    EXPECT_EQ(live->TrustedCertificate(), "AB:CD");

    working = LoadOptionsWorking(accounts, Options(), 0x0409);
    working.accounts[0].SetServer(u"other.example.org");
    ApplyOptions(accounts, working);
    live = accounts.Find(7);
    EXPECT_TRUE(live->UseTls());
    EXPECT_EQ(live->TrustedCertificate(), "");
}

TEST_F(DialogsTest, ACopyOfAnotherTypeIsNeverCreated) {
    CAccounts& accounts = LoadAccounts();
    OptionsWorking working = LoadOptionsWorking(accounts, Options(), 0x0409);
    CAccountData xmpp;
    xmpp.SetID(NewAccountId(accounts, working.accounts));
    xmpp.SetType(acctype::kXmpp);
    xmpp.SetLogin(u"me@example.org");
    xmpp.SetDescription(u"Jabber");
    working.accounts.push_back(xmpp);
    ApplyOptions(accounts, working);
    EXPECT_EQ(accounts.Count(), 0u);
    EXPECT_EQ(StoredAccountRows(), 0);
}

}  // namespace
}  // namespace zul
