#include "ui/shell/app.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QScreen>
#include <QTranslator>
#include <cstdio>
#include <cstring>

#include "accounts/accounts.h"
#include "platform/heap.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "storage/change_feed.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"
#include "ui/dialogs/dialogs.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/page_look.h"
#include "ui/notify/desktop_notifier.h"
#include "ui/shell/platform_services.h"
#include "ui/shell/single_instance.h"
#include "ui/shell/sleep_watcher.h"
#include "ui/shell/stall_monitor.h"
#include "ui/texts/language_list.h"
#include "ui/texts/ui_resources.h"
#include "ui/views/accounts_page.h"
#include "ui/views/contact_list_page.h"

namespace zul {
namespace {

MainWindow* g_mainWindow = nullptr;

// The window's size on a desktop: a handheld's portrait screen.
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 720;
// The first size on a screen at least this wide: the contact list and a chat side by side.
constexpr int kDesktopWindowWidth = 1024;
constexpr int kMinWindowWidth = 240;
constexpr int kMinWindowHeight = 320;
// What the start-up's heap grows by at once (only the pages it touches are memory).
constexpr size_t kStartUpHeapBytes = size_t{64} << 20;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

void FollowOptionsInPages() {
    SetPageLookSource([] {
        const COptions& options = Options();
        PageLook look;
        look.openByDoubleClick = options.ClistOpenByDoubleClick != 0;
        look.captionTransparent = options.EnableTransparency != 0;
        look.captionOpacity = options.TransparencyValue;
        look.scrollbarWidth = options.ScrollbarWidth;
        look.scrollbarOffset = options.ScrollbarOffset;
        look.scrollbarAlways = options.ScrollbarAlways != 0;
        look.focusEditorOnChat = options.HistorySetFocusOnEditor != 0;
        return look;
    });
}

MainWindow* TheMainWindow() {
    return g_mainWindow;
}

ClientApp::ClientApp() = default;

ClientApp::~ClientApp() {
    ShutDown();
}

bool ClientApp::Fail(const std::string& reason) {
    failure_ = reason;
    return false;
}

bool ClientApp::StartUp() {
    failure_.clear();
    // Only one client per user: a running one comes to the front instead.
    instance_ = std::make_unique<SingleInstance>(
        instanceKey_.empty() ? SingleInstance::DefaultKey() : QString::fromStdString(instanceKey_));
    if (instance_->ActivateRunning()) return Fail("another instance is running");
    if (!instance_->Listen()) WriteLog(kGeneralLog, u"AppStartUp(): single-instance socket failed");
    QObject::connect(instance_.get(), &SingleInstance::ActivationRequested,
                     [this] { BringToFront(); });

    // The profile's contacts and the list built of them are most of what the start allocates.
    const CBulkLoadHeap heap(kStartUpHeapBytes);
    if (!Database().Open()) return Fail("the profile cannot be opened");
    profileOpened_ = true;
    if (!Options().dbLoad()) return Fail("the settings cannot be loaded");

    const uint16_t languageId = Options().LanguageID;
    BuildLanguageList(languageId);
    ApplyLanguage(languageId);
    resourcesLoaded_ = true;

    FollowOptionsInPages();
    ApplyColourScheme(Options().ColourScheme);
    InstallTimeFormatter();
    InstallConnectionManager();
    InstallKeepRunningInhibitor();
    RegisterOscarAccounts();

    BuildMainWindow();
    if (window_ == nullptr || window_->windowHandle() == nullptr)
        return Fail("the main window cannot be created");
    return true;
}

void ClientApp::BuildMainWindow() {
    window_ = std::make_unique<MainWindow>();
    g_mainWindow = window_.get();
    window_->BeginWaitCursor();
    // The notification is there before any session can deliver a message.
    notifier_ = std::make_unique<DesktopNotifier>(*window_, SessionBusOrNone());

    // What changed in the profile wakes the window: the pages subscribed hear it at once, and
    // the current one is painted if it changed.
    Changes().SetWake([window = window_.get()] {
        QMetaObject::invokeMethod(
            window,
            [window] {
                Changes().Dispatch();
                window->RepaintIfChanged();
            },
            Qt::QueuedConnection);
    });

    contacts_ = std::make_unique<CContacts>();
    // Loading the accounts loads the contacts of the enabled ones and may start sessions.
    accounts_ = std::make_unique<CAccounts>(*contacts_, FolderOf(Database().Path()));
    // The sessions sign off before the machine sleeps and on again after it.
    sleepWatcher_ = std::make_unique<SleepWatcher>(SystemBusOrNone(), [this] {
        return accounts_ != nullptr ? accounts_->Snapshot() : std::vector<CAccount*>{};
    });
    accountsPage_ = std::make_unique<AccountsPage>(*accounts_);
    contactsPage_ = std::make_unique<ContactListPage>(*contacts_, *accounts_);
    accountsPage_->SetQuestionAsker([this](CAccount& account) { AnswerAccountQuestion(account); });

    MainWindow::Hooks hooks;
    hooks.about = [this] { RunAboutSheet(window_.get(), *accounts_); };
    hooks.options = [this] {
        RunOptionsSheet(window_.get(), *accounts_);
        ApplyColourScheme(Options().ColourScheme);
        // Another language takes effect at once.
        if (static_cast<uint16_t>(Options().LanguageID) != language_) {
            ApplyLanguage(static_cast<uint16_t>(Options().LanguageID));
            window_->Retranslate();
        }
    };
    notifier_->openChat = [this](const MessageNotification::Sender& sender) {
        CAccount* account = accounts_ != nullptr ? accounts_->Find(sender.accountId) : nullptr;
        const ContactPtr contact =
            account != nullptr ? contacts_->FindContact(account, sender.login) : nullptr;
        if (contact == nullptr || contactsPage_ == nullptr) return false;
        contactsPage_->OpenChat(contact);
        return true;
    };
    notifier_->findContact = [this](const MessageNotification::Sender& sender) -> ContactPtr {
        CAccount* account = accounts_ != nullptr ? accounts_->Find(sender.accountId) : nullptr;
        return account != nullptr ? contacts_->FindContact(account, sender.login) : nullptr;
    };
    notifier_->InstallHooks(hooks);
    window_->SetHooks(std::move(hooks));

    PlaceMainWindow();
    window_->AddPage(accountsPage_.get(), true, false);
    window_->AddPage(contactsPage_.get(), true, false);
    window_->SetSidePage(contactsPage_.get());
    window_->show();
    // The keys (F1, F2, typing to find) work at once only in the active window.
    window_->raise();
    window_->activateWindow();
    window_->EndWaitCursor();
}

void ClientApp::AnswerAccountQuestion(CAccount& account) {
    const QString name = QString::fromStdU16String(account.Description());
    const CAccount::CertificateQuestion question = account.TakeCertificateQuestion();
    if (!question.certificate.Empty()) {
        if (!AskToTrustCertificate(window_.get(), name, question.certificate, question.changed))
            return;
        account.TrustCertificate(question.certificate.sha256);
    } else if (const int why = account.TakePasswordQuestion(); why != 0) {
        std::u16string password;
        if (!AskForPassword(window_.get(), name, QString::fromStdU16String(ResString(why)),
                            password)) {
            return;
        }
        // Known from now on; kept in the keyring by the sign-on when the account keeps it there.
        account.SetPassword(password);
    } else {
        return;
    }
    const int32_t status = account.RequestedStatus();
    account.RequestStatus(status >= 0 ? status : 0);
}

WindowPlacement PlanWindowPlacement(const QRect& available, const QSize& remembered,
                                    const QPoint& place, bool placeOnScreen, const QSize& minimum) {
    // Wider than this (logical pixels) is a tablet held sideways or a desktop.
    constexpr int kPhoneWidth = 600;
    WindowPlacement plan;
    if (!available.isEmpty() && available.width() <= kPhoneWidth) {
        plan.geometry = available;
        plan.fill = plan.moved = true;
        return plan;
    }
    QSize size(kWindowWidth, kWindowHeight);
    if (available.width() >= kDesktopWindowWidth) size.setWidth(kDesktopWindowWidth);
    if (remembered.width() > 0 && remembered.height() > 0) size = remembered;
    if (!available.isEmpty()) size = size.boundedTo(available.size());
    plan.geometry = QRect(QPoint(), size.expandedTo(minimum));
    if (remembered.width() > 0 && placeOnScreen) {
        plan.geometry.moveTopLeft(place);
        plan.moved = true;
    }
    return plan;
}

void ClientApp::PlaceMainWindow() {
    // Small enough for a phone held upright, large enough for every page and sheet.
    window_->setMinimumSize(ScaleX(kMinWindowWidth), ScaleY(kMinWindowHeight));
    const COptions& options = Options();
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPoint place(options.WindowX, options.WindowY);
    const WindowPlacement plan =
        PlanWindowPlacement(screen != nullptr ? screen->availableGeometry() : QRect(),
                            QSize(options.WindowWidth, options.WindowHeight), place,
                            QGuiApplication::screenAt(place) != nullptr, window_->minimumSize());
    if (plan.moved) {
        window_->setGeometry(plan.geometry);
    } else {
        window_->resize(plan.geometry.size());
    }
    if (plan.fill && screen != nullptr) {
        QObject::connect(screen, &QScreen::availableGeometryChanged, window_.get(),
                         [window = window_.get()](const QRect& area) {
                             if (area.width() > 0 && area.height() > 0) window->setGeometry(area);
                         });
    }
}

void ClientApp::RememberWindowPlace() {
    if (window_ == nullptr || !Database().IsOpen()) return;
    COptions& options = Options();
    options.WindowWidth = window_->width();
    options.WindowHeight = window_->height();
    options.WindowX = window_->x();
    options.WindowY = window_->y();
    options.SaveAll();
}

void ClientApp::BringToFront() {
    if (window_ == nullptr) return;
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

namespace {

// The code of Qt's translation files for the primary language of a language identifier.
QString QtLanguageCode(uint16_t languageId) {
    struct Code {
        uint16_t primary;
        const char* code;
    };
    static const Code kCodes[] = {
        {0x05, "cs"}, {0x06, "da"}, {0x07, "de"}, {0x0A, "es"}, {0x0B, "fi"},
        {0x0C, "fr"}, {0x0E, "hu"}, {0x10, "it"}, {0x11, "ja"}, {0x12, "ko"},
        {0x13, "nl"}, {0x14, "nb"}, {0x15, "pl"}, {0x16, "pt"}, {0x19, "ru"},
        {0x1B, "sk"}, {0x1D, "sv"}, {0x1F, "tr"}, {0x22, "uk"}, {0x04, "zh"},
    };
    const uint16_t primary = languageId & 0x3FF;
    for (const Code& c : kCodes)
        if (c.primary == primary) return QString::fromLatin1(c.code);
    return {};
}

}  // namespace

void ClientApp::ApplyLanguage(uint16_t languageId) {
    // A stored 0 is the built-in English, whatever a module without an identifier says.
    const LanguageEntry* entry = languageId != 0 ? FindLanguage(languageId) : nullptr;
    resourceModule_ = entry != nullptr ? entry->module.get() : nullptr;
    if (resourceModule_ != nullptr) {
        const LanguageModule* module = resourceModule_;
        SetStringSource([module](int id) { return module->String(id); });
    } else {
        SetStringSource({});
    }
    LoadUiResources(resourceModule_);
    if (qtTranslation_ != nullptr) {
        QCoreApplication::removeTranslator(qtTranslation_.get());
        qtTranslation_.reset();
    }
    InstallQtTranslation(entry != nullptr ? entry->id : 0);
    language_ = languageId;
}

void ClientApp::InstallQtTranslation(uint16_t languageId) {
    const QString code = QtLanguageCode(languageId);
    if (code.isEmpty()) return;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_") + code,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        WriteLog(kGeneralLog, u"Qt has no translation for " + code.toStdU16String());
        return;
    }
    QCoreApplication::installTranslator(translator.get());
    qtTranslation_ = std::move(translator);
}

int ClientApp::RunLoop() {
    return QApplication::exec();
}

void ClientApp::ShutDown() {
    if (shutDown_) return;
    shutDown_ = true;
    // 1. The main window: hidden, its accounts (which disconnect as they go) and its pages,
    //    then the host itself.
    if (window_ != nullptr) {
        window_->BeginWaitCursor();
        if (notifier_ != nullptr) notifier_->Notification().RemoveNotification();
        RememberWindowPlace();
        window_->hide();
        window_->SetHooks({});
        // The chats close from behind the contact list: none of them becomes the current page
        // on the way out (which would read its unread messages).
        if (contactsPage_ != nullptr && window_->IndexOf(contactsPage_.get()) >= 0)
            window_->ShowPage(MainWindow::kJump, window_->IndexOf(contactsPage_.get()));
        accountsPage_.reset();
        sleepWatcher_.reset();
        // No session reports to a page from here on; the pages go while their contacts'
        // accounts still exist.
        if (accounts_ != nullptr) accounts_->StopSessionsForExit();
        contactsPage_.reset();
        accounts_.reset();
        // No session is left to report a message: the notification (and its alerts) can go.
        notifier_.reset();
        window_->EndWaitCursor();
        g_mainWindow = nullptr;
        Changes().SetWake({});
        window_.reset();
    }
    accountsPage_.reset();
    sleepWatcher_.reset();
    accounts_.reset();
    contactsPage_.reset();
    notifier_.reset();
    contacts_.reset();
    RemoveKeepRunningInhibitor();
    instance_.reset();
    // 2. The profile.
    if (profileOpened_) Database().Close();
    profileOpened_ = false;
    // 3. The shared resources; 4. the language list.
    SetStringSource({});
    if (resourcesLoaded_) FreeUiResources();
    resourcesLoaded_ = false;
    resourceModule_ = nullptr;
    if (qtTranslation_ != nullptr) QCoreApplication::removeTranslator(qtTranslation_.get());
    qtTranslation_.reset();
    FreeLanguageList();
}

std::string HelpText() {
    return ToUtf8(AppTitle()) +
           " - instant messaging client for ICQ and AIM accounts\n"
           "\n"
           "Usage: zul [--help | --version]\n"
           "\n"
           "  --help     show this text and exit\n"
           "  --version  show the program's name and version and exit\n"
           "\n"
           "Only one client runs per user; starting it again brings the running window to the\n"
           "front. The profile \"zul.profile\" is kept in $XDG_DATA_HOME/zul (or in the\n"
           "program's folder when only there); ZUL_DATA_DIR names another folder. Language\n"
           "modules \"qan.dll.*.mui\" are read from the program's folder.\n";
}

int AppMain(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText().c_str(), stdout);
            return 0;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zul"));
    // The installed desktop entry (resources/desktop): its icon and name go with the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.zul.Zul"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.zul.Zul")));
    QApplication::setApplicationVersion(QStringLiteral(ZUL_VERSION_TEXT));
    int code = 0;
    {
        // Off unless ZUL_STALL_LOG names a file (benchmarks and diagnosis).
        const std::unique_ptr<StallMonitor> stalls = StallMonitor::FromEnvironment();
        ClientApp app;
        if (app.StartUp()) code = app.RunLoop();
        app.ShutDown();
    }
    return code;
}

}  // namespace zul

int RunClient(int argc, char** argv) {
    return zul::AppMain(argc, argv);
}
