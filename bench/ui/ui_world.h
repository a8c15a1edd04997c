// The window side of the page drivers: the offscreen application at the handheld's 480 x 800
// and 192 dpi, a profile of the generated world, the accounts and the contacts page in a
// shown main window, with the window's timers run by hand so that nothing paints unasked.
#pragma once

#include <QApplication>
#include <memory>

#include "accounts/accounts.h"
#include "storage/contacts.h"
#include "support/bench_profile.h"
#include "support/test_env.h"
#include "ui/framework/main_window.h"
#include "ui/views/accounts_page.h"
#include "ui/views/contact_list_page.h"

namespace zul::bench {

class UiWorld {
  public:
    UiWorld(int argc, char** argv, const WorldSpec& shape);
    ~UiWorld();

    MainWindow& Window() { return *window_; }
    ContactListPage& ContactsPage() { return *contactsPage_; }
    CContacts& Contacts() { return *contacts_; }
    // Paints the window now; returns the paint events it took.
    int PaintNow();

  private:
    std::unique_ptr<QApplication> app_;
    test::IsolatedFolders folders_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<CContacts> contacts_;
    std::unique_ptr<CAccounts> accounts_;
    std::unique_ptr<AccountsPage> accountsPage_;
    std::unique_ptr<ContactListPage> contactsPage_;
    std::unique_ptr<QObject> paintCounter_;
};

}  // namespace zul::bench
