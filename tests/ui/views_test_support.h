// A shown main window over a real profile in private folders: the contact store, the
// accounts, a stand-in accounts page and the real contacts page, with helpers that make
// accounts and contacts and run the window's ticks.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/local_time.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/status.h"
#include "support/test_account.h"
#include "support/test_env.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/main_window.h"
#include "ui/views/contact_list_page.h"
#include "ui/views/view_support.h"

namespace zul::test {

class ViewsTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        folders_ = std::make_unique<IsolatedFolders>();
        ASSERT_TRUE(Database().Open());
        store = std::make_unique<CContacts>();
        accounts = std::make_unique<CAccounts>(*store, folders_->DataDir());
        accountsPage = std::make_unique<RowsPage>(QStringLiteral("Accounts"), 0);
        window->AddPage(accountsPage.get(), true, false);
        contacts = std::make_unique<ContactListPage>(*store, *accounts);
        window->AddPage(contacts.get(), true, false);
        window->ShowPage(MainWindow::kJump, 1);
        SetConfirmHandler([this](int textId) {
            confirmations.push_back(textId);
            return confirmAnswer;
        });
    }

    void TearDown() override {
        SetConfirmHandler({});
        SetHistoryClock({});
        contacts.reset();
        testAccounts.clear();
        accounts.reset();
        store.reset();
        Database().Close();
        folders_.reset();
        HostTest::TearDown();
    }

    TestAccount& NewAccount(int32_t id, const std::u16string& login) {
        CAccountData data = MakeAccountData(id, login);
        data.dbSave();
        testAccounts.push_back(std::make_unique<TestAccount>(data, *store));
        return *testAccounts.back();
    }

    // A contact with that nickname, saved, in a group of the account (made when missing).
    ContactPtr AddContact(TestAccount& account, int32_t localID, const std::u16string& nick,
                          const std::u16string& group = u"Friends", bool onServer = true,
                          bool save = true) {
        uint16_t groupID = 0;
        if (!group.empty() && onServer) {
            auto& id = groupIds_[{account.ID(), group}];
            if (id == 0) {
                id = static_cast<uint16_t>(groupIds_.size());
                auto made = std::make_unique<CGroup>(account.ID(), id, group);
                made->SetExpanded(true);
                store->AddGroup(std::move(made), false);
            }
            groupID = id;
        }
        return store->AddContact(
            &account,
            ContactFields{.localID = localID,
                          .srvID = static_cast<uint16_t>(localID & 0x7FFF),
                          .groupID = groupID,
                          .groupName = onServer ? group : std::u16string(),
                          .login = u"login" + std::u16string(1, char16_t(u'a' + localID % 26)) +
                                   Widen(std::to_string(localID)),
                          .nickname = nick,
                          .onServer = onServer},
            save, true);
    }

    static void SetStatus(const ContactPtr& contact, int32_t status, bool quiet = true) {
        contact->SetStatus(status, u"", kMoodNone, quiet, false);
    }

    // The 200 ms tick: the current page applies what changed and the window repaints.
    void FastTick() { window->FireTimer(MainWindow::kTimerFastTick); }
    void SlowTick() { window->FireTimer(MainWindow::kTimerSlowTick); }

    static uint64_t TimeAt(int year, int month, int day, int hour, int minute, int second = 0) {
        LocalTimeFields f;
        f.year = year;
        f.month = month;
        f.day = day;
        f.hour = hour;
        f.minute = minute;
        f.second = second;
        return FieldsToFileTime(f);
    }

    std::unique_ptr<CContacts> store;
    std::unique_ptr<CAccounts> accounts;
    std::vector<std::unique_ptr<TestAccount>> testAccounts;
    std::unique_ptr<RowsPage> accountsPage;
    std::unique_ptr<ContactListPage> contacts;
    std::vector<int> confirmations;
    bool confirmAnswer = true;

  private:
    std::unique_ptr<IsolatedFolders> folders_;
    std::map<std::pair<int32_t, std::u16string>, uint16_t> groupIds_;
};

}  // namespace zul::test
