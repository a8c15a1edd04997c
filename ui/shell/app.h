// The client's start and end: one instance per user, the profile, the settings, the language,
// the shared resources, the main window with the accounts and contacts pages, the message loop,
// and the teardown in a fixed order.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <memory>
#include <string>

class QTranslator;

namespace zul {

class AccountsPage;
class CAccount;
class CAccounts;
class CContacts;
class ContactListPage;
class DesktopNotifier;
class LanguageModule;
class MainWindow;
class SingleInstance;
class SleepWatcher;

// Where the main window opens. A screen no wider than a phone's is filled (the window then
// follows the available area as it changes: rotation, panels); elsewhere the window takes the
// size and place it had (the place only while still on a screen), else 480x720 (1024x720 on a
// screen that wide: two panes), never more than the screen offers nor less than the minimum.
struct WindowPlacement {
    QRect geometry;      // an empty position: the window manager places it
    bool fill = false;   // follows the screen's available area
    bool moved = false;  // geometry's position is to be applied
};
WindowPlacement PlanWindowPlacement(const QRect& available, const QSize& remembered,
                                    const QPoint& place, bool placeOnScreen, const QSize& minimum);

class ClientApp {
  public:
    ClientApp();
    // Runs the shutdown steps that have not run yet.
    ~ClientApp();
    ClientApp(const ClientApp&) = delete;
    ClientApp& operator=(const ClientApp&) = delete;

    // True when the main window exists and the loop may run. A second instance brings the
    // running one to the front and fails without touching the profile.
    bool StartUp();
    // The message loop; returns the exit code of the quit request.
    int RunLoop();
    // Window with its pages and accounts, the profile, the resources, the language list.
    void ShutDown();

    MainWindow* Window() const { return window_.get(); }
    AccountsPage* AccountsView() const { return accountsPage_.get(); }
    ContactListPage* ContactsView() const { return contactsPage_.get(); }
    DesktopNotifier* Notifier() const { return notifier_.get(); }
    CAccounts* Accounts() const { return accounts_.get(); }
    CContacts* Contacts() const { return contacts_.get(); }
    SingleInstance* Instance() const { return instance_.get(); }
    SleepWatcher* Sleep() const { return sleepWatcher_.get(); }
    // Whether Qt's own texts were translated for the chosen language.
    bool QtTranslated() const { return qtTranslation_ != nullptr; }
    // The language module the run's menus, strings and dialogs come from (null: English).
    const LanguageModule* ResourceModule() const { return resourceModule_; }
    // Why start-up failed, for the log and the tests ("" after a successful start).
    const std::string& FailureReason() const { return failure_; }

    // Tests point the single-instance check at their own key.
    void SetInstanceKey(const std::string& key) { instanceKey_ = key; }

  private:
    bool Fail(const std::string& reason);
    void BuildMainWindow();
    void BringToFront();
    // The main window's minimum size, and its size and place from the last run.
    void PlaceMainWindow();
    // Asks the user what an account's sign-on waits for (a certificate, a password).
    void AnswerAccountQuestion(CAccount& account);
    void RememberWindowPlace();
    // Qt's own texts (standard buttons, the editors' menus) in the chosen language, from the
    // translations Qt ships; nothing for English or a language Qt has none for.
    void InstallQtTranslation(uint16_t languageId);
    // Texts, menus and dialogs in that language from now on (0: the built-in English).
    void ApplyLanguage(uint16_t languageId);

    std::string instanceKey_;
    std::unique_ptr<QTranslator> qtTranslation_;
    std::unique_ptr<SingleInstance> instance_;
    const LanguageModule* resourceModule_ = nullptr;
    uint16_t language_ = 0;  // as applied
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<CContacts> contacts_;
    std::unique_ptr<CAccounts> accounts_;
    std::unique_ptr<SleepWatcher> sleepWatcher_;
    std::unique_ptr<AccountsPage> accountsPage_;
    std::unique_ptr<ContactListPage> contactsPage_;
    std::string failure_;
    bool profileOpened_ = false;
    bool resourcesLoaded_ = false;
    bool shutDown_ = false;
};

// Makes the window framework follow the profile's options (scroll indicator, caption opacity,
// single or double tap, editor focus); done at start-up, before the first page.
void FollowOptionsInPages();

// The running client's main window (null before start-up and after shutdown).
MainWindow* TheMainWindow();

// The process entry after main(): the options of the command line, the application object, the
// start, the loop and the shutdown. Returns the loop's exit code, 0 after a failed start.
int AppMain(int argc, char** argv);

// The text of "zul --help".
std::string HelpText();

}  // namespace zul
