// The application shell: language modules and the language list, the shared resources, the
// single instance, and the start and end of the client with a real profile.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QInputDialog>
#include <QPainter>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <memory>

#include "accounts/accounts.h"
#include "platform/connection_manager.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "support/test_env.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/dpi.h"
#include "ui/framework/main_window.h"
#include "ui/shell/app.h"
#include "ui/shell/platform_services.h"
#include "ui/shell/single_instance.h"
#include "ui/shell/stall_monitor.h"
#include "ui/texts/language_list.h"
#include "ui/texts/ui_resources.h"
#include "ui/views/accounts_page.h"
#include "ui/views/chat_page.h"
#include "ui/views/contact_list_page.h"

namespace zul::test {
namespace {

std::string ModuleText(uint16_t id, const std::string& name, const std::string& extra = "") {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", id);
    return "# test module\n[language]\nid = " + std::string(hex) + "\n[strings]\n999 = " + name +
           "\n" + extra;
}

void WriteModule(const std::string& folder, const std::string& suffix, const std::string& text) {
    WriteFileBytes(folder + "qan.dll." + suffix + ".mui", text);
}

// The zul binary of this build, beside the test binaries' folder.
QString ClientBinary() {
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/../zul");
    return QFile::exists(path) ? QDir::cleanPath(path) : QString();
}

TEST(LanguageModule, ReadsTheLanguageTheStringsTheMenusAndTheDialogs) {
    const std::string text =
        "\xEF\xBB\xBF; comment\r\n[language]\r\nid = 0x0407\r\n[strings]\r\n"
        "999 = Deutsch\r\n100 = Keine Konten.\\nTippen Sie\\t\\\\ hier\r\n114=Konten\r\n"
        "[menus]\n213.32866 = Deaktivierte zeigen\n211.Sort by = Sortieren\n"
        "[dialogs]\n212.1070 = Immer verbinden\n212.caption = Erweitert\n";
    std::string error;
    auto module = LanguageModule::Parse(text, &error);
    ASSERT_NE(module, nullptr) << error;
    EXPECT_EQ(module->LanguageId(), 0x0407);
    EXPECT_EQ(module->String(999), u"Deutsch");
    EXPECT_EQ(module->String(100), u"Keine Konten.\nTippen Sie\t\\ hier");
    EXPECT_EQ(module->String(114), u"Konten");
    EXPECT_FALSE(module->String(115).has_value());
    EXPECT_EQ(module->MenuText(213, 32866), u"Deaktivierte zeigen");
    EXPECT_EQ(module->MenuPopupText(211, u"Sort by"), u"Sortieren");
    EXPECT_EQ(module->DialogText(212, 1070), u"Immer verbinden");
    EXPECT_EQ(module->DialogText(212, 0), u"Erweitert");

    auto noId = LanguageModule::Parse("[strings]\n999 = X\n");
    ASSERT_NE(noId, nullptr);
    EXPECT_EQ(noId->LanguageId(), 0);  // no identifier in the file
}

TEST(LanguageModule, RefusesWhatItCannotParse) {
    for (const char* bad : {
             "999 = outside a section\n",
             "[strings]\n999 Deutsch\n",
             "[strings]\nabc = x\n",
             "[strings]\n70000 = too big\n",
             "[strings]\n999 = bad \\q escape\n",
             "[strings]\n999 = ends in a backslash \\\n",
             "[strings]\n999 = \xC3\x28 not UTF-8\n",
             "[language]\nid = 0x10000\n",
             "[language]\nid = \xD9\xA0\n",  // a non-ASCII digit
             "[language]\nname = x\n",
             "[unknown]\n",
             "[strings\n",
             "[menus]\n213 = no entry\n",
             "[dialogs]\n212.x = not a control\n",
         }) {
        EXPECT_EQ(LanguageModule::Parse(bad), nullptr) << bad;
    }
    EXPECT_EQ(LanguageModule::Parse(std::string(LanguageModule::kMaxFileBytes + 1, '#')), nullptr);
}

class LanguageListTest : public ::testing::Test {
  protected:
    void TearDown() override {
        FreeLanguageList();
        SetCurrentUiLanguage(0);
        OverridePlatformUiLanguage(0);
    }
    IsolatedFolders folders;
};

TEST_F(LanguageListTest, WithoutModuleFilesOnlyEnglishIsListed) {
    BuildLanguageList(0);
    ASSERT_EQ(LanguageList().size(), 1u);
    EXPECT_EQ(LanguageList()[0]->name, u"English");
    EXPECT_EQ(LanguageList()[0]->id, kBuiltinLanguageId);
    EXPECT_EQ(LanguageList()[0]->module, nullptr);
    EXPECT_EQ(LanguageIdAt(0), 0x2409);
    EXPECT_EQ(LanguageIdAt(1), 0);
    EXPECT_EQ(LanguageIndex(0x0409), 0);  // same low byte
    EXPECT_EQ(FindLanguage(0x0407), nullptr);
    EXPECT_EQ(LanguageIndex(0x0407), 0);
}

TEST_F(LanguageListTest, OneGermanFileMatchesEveryGermanIdentifier) {
    WriteModule(folders.ProgramDir(), "de", ModuleText(0x0407, "Deutsch"));
    WriteFileBytes(folders.ProgramDir() + "qan.dll.txt", "not a module name");
    BuildLanguageList(0x0807);
    ASSERT_EQ(LanguageList().size(), 2u);
    EXPECT_EQ(LanguageList()[1]->name, u"Deutsch");
    EXPECT_EQ(LanguageList()[1]->modulePath, folders.ProgramDir() + "qan.dll.de.mui");
    const LanguageEntry* entry = FindLanguage(0x0807);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->id, 0x0407);
    EXPECT_NE(entry->module, nullptr);
    EXPECT_EQ(LanguageIndex(0x0807), 1);
    EXPECT_EQ(CurrentUiLanguage(), 0x0807);
}

TEST_F(LanguageListTest, TwoFilesOfOneLanguageMatchOnlyTheirExactIdentifiers) {
    WriteModule(folders.ProgramDir(), "de", ModuleText(0x0407, "Deutsch"));
    WriteModule(folders.ProgramDir(), "dech", ModuleText(0x0807, "Deutsch (Schweiz)"));
    BuildLanguageList(0);
    ASSERT_EQ(LanguageList().size(), 3u);
    EXPECT_EQ(LanguageIndex(0x0407), 1);
    EXPECT_EQ(LanguageIndex(0x0807), 2);
    EXPECT_EQ(FindLanguage(0x0C07), nullptr);  // Austrian German: no exact file
    EXPECT_EQ(LanguageIndex(0x0C07), 0);
    // The whole list matches exactly now: English only by its own identifier.
    EXPECT_EQ(FindLanguage(0x0409), nullptr);
    EXPECT_EQ(LanguageIndex(0x2409), 0);
    EXPECT_EQ(FindLanguage(0x2409), LanguageList()[0].get());
}

TEST_F(LanguageListTest, AFileThatCannotBeParsedIsListedAsEnglish) {
    WriteModule(folders.ProgramDir(), "broken", "[strings]\n999 = \\x\n");
    WriteModule(folders.ProgramDir(), "ru", ModuleText(0x0419, "Russian"));
    BuildLanguageList(0);
    ASSERT_EQ(LanguageList().size(), 3u);
    const LanguageEntry& broken = *LanguageList()[1];  // "broken" sorts before "ru"
    EXPECT_EQ(broken.name, u"English");
    EXPECT_EQ(broken.id, kBuiltinLanguageId);
    EXPECT_TRUE(broken.modulePath.empty());
    EXPECT_EQ(broken.module, nullptr);
    EXPECT_EQ(LanguageIndex(0x0419), 2);
    EXPECT_EQ(LanguageIdAt(2), 0x0419);
}

TEST_F(LanguageListTest, TheCurrentLanguageFallsBackToThePlatformOnce) {
    OverridePlatformUiLanguage(0x0419);
    BuildLanguageList(0);
    EXPECT_EQ(CurrentUiLanguage(), 0x0419);
    SetCurrentUiLanguage(0x0407);
    EXPECT_EQ(CurrentUiLanguage(), 0x0407);
    EXPECT_EQ(LanguageIdForLocale("de_CH.UTF-8"), 0x0807);
    EXPECT_EQ(LanguageIdForLocale("de-LI"), 0x0407);  // the language's default
    EXPECT_EQ(LanguageIdForLocale("pt-BR"), 0x0416);
    EXPECT_EQ(LanguageIdForLocale("xx_YY"), 0);
}

TEST(UiResourcesTest, FontsIconsMenusAndTexts) {
    EnsureApp();
    Dpi::SetOverride(96, 96);
    EXPECT_EQ(FontHeightForPoints(10, 96), -14);
    EXPECT_EQ(FontHeightForPoints(5, 192), -14);
    LoadUiResources(nullptr);
    const UiResources& r = Resources();
    EXPECT_EQ(r.fonts[0][kFontRegular].pixelSize(), 14);
    EXPECT_EQ(r.fonts[5][kFontBold].pixelSize(), 7);
    EXPECT_TRUE(r.fonts[1][kFontBold].bold());
    EXPECT_TRUE(r.fonts[2][kFontItalic].italic());
    EXPECT_TRUE(r.fonts[3][kFontStruck].strikeOut());
    EXPECT_FALSE(r.fonts[3][kFontRegular].bold());
    ASSERT_EQ(r.icons.size(), static_cast<size_t>(iconid::kCount));
    EXPECT_NE(r.accountsViewMenu.FindPopup(u"AccountView"), nullptr);
    EXPECT_NE(r.contactsViewMenu.FindPopup(u"ContactsView"), nullptr);
    EXPECT_NE(r.historyViewMenu.FindPopup(u"HistoryView"), nullptr);
    EXPECT_EQ(UiText(114), QStringLiteral("Accounts"));
    EXPECT_EQ(UiText(12007), QStringLiteral("Offline"));

    // Every icon draws something at the scales of the screenshots; a sheet of them is kept.
    const int ids[] = {175, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186,
                       188, 189, 190, 192, 195, 197, 203, 207, 209, 217, 218, 219,
                       220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231,
                       232, 233, 234, 235, 236, 237, 238, 239, 240, 244, 245};
    QImage sheet(12 * 40, 4 * 40, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    int n = 0;
    for (int id : ids) {
        EXPECT_TRUE(iconid::IsKnown(id));
        EXPECT_EQ(UiIconPixmap(id).width(), 16) << id;
        const QImage big = RenderIcon(id, 32).toImage();
        ASSERT_FALSE(big.isNull()) << id;
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) opaque += qAlpha(big.pixel(x, y)) > 128;
        EXPECT_GT(opaque, 60) << "icon " << id << " is nearly empty";
        painter.drawImage(QPoint((n % 12) * 40 + 4, (n / 12) * 40 + 4), big);
        ++n;
    }
    painter.end();
    EXPECT_TRUE(sheet.save(ScreenshotPath(QStringLiteral("icons.png"))));
    EXPECT_FALSE(iconid::IsKnown(187));
    EXPECT_TRUE(UiIcon(187).isNull());

    Dpi::SetOverride(192, 192);
    EXPECT_EQ(UiIconPixmap(175).width(), 32);  // rendered again at the new scale
    FreeUiResources();
    EXPECT_TRUE(Resources().icons.empty());
    Dpi::ClearOverride();
}

TEST(WindowPlacementTest, APhoneScreenIsFilledAndADesktopGetsTheRememberedOrDefaultSize) {
    const QSize minimum(240, 320);
    const struct {
        const char* what;
        QRect available;
        QSize remembered;
        bool placeOnScreen;
        QRect expected;
        bool fill;
        bool moved;
    } cases[] = {
        {"phone upright", {0, 0, 480, 800}, {}, false, {0, 0, 480, 800}, true, true},
        {"phone, a bar on top", {0, 32, 360, 688}, {480, 720}, true, {0, 32, 360, 688}, true, true},
        {"desktop, first start", {0, 0, 1280, 800}, {}, false, {0, 0, 1024, 720}, false, false},
        {"small screen, first start", {0, 0, 800, 600}, {}, false, {0, 0, 480, 600}, false, false},
        {"desktop, remembered",
         {0, 0, 1920, 1080},
         {900, 700},
         true,
         {50, 60, 900, 700},
         false,
         true},
        {"remembered on a monitor gone",
         {0, 0, 1920, 1080},
         {900, 700},
         false,
         {0, 0, 900, 700},
         false,
         false},
        {"larger than the screen",
         {0, 0, 1024, 600},
         {1600, 1200},
         true,
         {50, 60, 1024, 600},
         false,
         true},
        {"a tiny remembered size",
         {0, 0, 1280, 800},
         {100, 100},
         true,
         {50, 60, 240, 320},
         false,
         true},
    };
    for (const auto& c : cases) {
        const WindowPlacement plan =
            PlanWindowPlacement(c.available, c.remembered, {50, 60}, c.placeOnScreen, minimum);
        EXPECT_EQ(plan.geometry, c.expected) << c.what;
        EXPECT_EQ(plan.fill, c.fill) << c.what;
        EXPECT_EQ(plan.moved, c.moved) << c.what;
    }
}

TEST(StallMonitorTest, AWindowThreadHeldBusyIsMeasuredAndWritten) {
    EnsureApp();
    IsolatedFolders folders;
    const std::string path = folders.DataDir() + "stalls.txt";
    {
        StallMonitor monitor(path);
        // Beats come while the loop runs; then the thread is held for 150 ms.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 100) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        EXPECT_LT(monitor.LongestMs(), 100);
        QThread::msleep(150);
        timer.restart();
        while (timer.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        EXPECT_GE(monitor.LongestMs(), 140);
        EXPECT_LT(monitor.P99Ms(), 140);  // one long gap among some two hundred short ones
    }
    const std::string line = ReadFileBytes(path);
    EXPECT_EQ(line.rfind("window_stall longest_ms=", 0), 0u) << line;
    // Without the variable there is no monitor.
    unsetenv("ZUL_STALL_LOG");
    EXPECT_EQ(StallMonitor::FromEnvironment(), nullptr);
}

TEST(PlatformServicesTest, NetworkStatesAndTimeTexts) {
    EnsureApp();
    // Local and site connectivity count as connected: NetworkManager reports them when its own
    // check fails (captive portals, a server on the LAN).
    for (uint32_t state : {50u, 60u, 70u})
        EXPECT_EQ(ConnectionStatusForNetworkManagerState(state), kConnStatusUsable);
    for (uint32_t state : {0u, 10u, 20u, 30u, 40u})
        EXPECT_EQ(ConnectionStatusForNetworkManagerState(state), kConnStatusDisconnected);
    // Without NetworkManager on this machine's bus the network counts as usable.
    InstallConnectionManager();
    uint32_t status = 0;
    ASSERT_TRUE(GetConnectionManager()->QueryStatus(status));
    if (!NetworkManagerConnection::Available()) {
        EXPECT_EQ(status, kConnStatusUsable);
    }

    InstallTimeFormatter();
    LocalTimeFields f;
    f.year = 2024;
    f.month = 3;
    f.day = 9;
    f.hour = 13;
    f.minute = 4;
    f.second = 57;
    const std::u16string withSeconds = FormatLocalTime(f, TimeTextKind::TimeWithSeconds);
    const std::u16string noSeconds = FormatLocalTime(f, TimeTextKind::TimeNoSeconds);
    EXPECT_NE(withSeconds.find(u"57"), std::u16string::npos);
    EXPECT_EQ(noSeconds.find(u"57"), std::u16string::npos);
    EXPECT_NE(noSeconds.find(u"04"), std::u16string::npos);
    EXPECT_NE(withSeconds.find(u"04"), std::u16string::npos);
    EXPECT_FALSE(FormatLocalTime(f, TimeTextKind::ShortDate).empty());
    SetTimeFormatter({});
}

// A started client in a fresh profile, with its own single-instance socket folder.
class ClientStart : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        savedTmp_ = qgetenv("TMPDIR");
        qputenv("TMPDIR", QByteArray::fromStdString(sockets_.Path()));
        BaseWindow::SetManualTimers(true);
    }
    void TearDown() override {
        app.reset();
        if (savedTmp_.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", savedTmp_);
        FreeLanguageList();
        SetCurrentUiLanguage(0);
        UiTest::TearDown();
    }
    // Writes settings into the profile the client will open.
    void StoreOptions(uint16_t languageId) {
        ASSERT_TRUE(Database().Open());
        Options().LanguageID = languageId;
        ASSERT_TRUE(Options().SaveAll());
        Database().Close();
        Options().ResetToDefaults();
    }

    // The account "Home" (111111) in the profile the client will open; nothing listens at its
    // port, so a sign-on fails at once.
    static void StoreHomeAccount(bool passwordInKeyring) {
        ASSERT_TRUE(Database().Open());
        CAccountData data;
        data.SetID(1);
        data.SetType(acctype::kIcq);
        data.SetLogin(u"111111");
        data.SetDescription(u"Home");
        data.SetServer(u"127.0.0.1");
        data.SetPort(u"1");
        data.SetPasswordInKeyring(passwordInKeyring);
        ASSERT_TRUE(data.dbSave());
        Database().Close();
    }

    IsolatedFolders folders;
    TempFolder sockets_;
    QByteArray savedTmp_;
    std::unique_ptr<ClientApp> app = std::make_unique<ClientApp>();
};

TEST_F(ClientStart, StartsWithBothPagesAndEndsInOrder) {
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    EXPECT_TRUE(Database().IsOpen());
    EXPECT_TRUE(FileExists(folders.DataDir() + "zul.profile"));
    MainWindow* window = app->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(TheMainWindow(), window);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("zul 0.3.2.9"));
    ASSERT_EQ(window->PageCount(), 2);
    EXPECT_EQ(window->PageAt(0), app->AccountsView());
    EXPECT_EQ(window->PageAt(1), static_cast<ViewPage*>(app->ContactsView()));
    EXPECT_EQ(window->CurrentIndex(), 0);
    EXPECT_EQ(app->AccountsView()->Caption().Title(), QStringLiteral("Accounts"));
    EXPECT_EQ(app->ContactsView()->Caption().Title(), QStringLiteral("Contacts"));
    EXPECT_TRUE(app->Instance()->Listening());
    EXPECT_EQ(app->ResourceModule(), nullptr);
    EXPECT_EQ(LanguageList().size(), 1u);
    EXPECT_FALSE(Resources().icons.empty());

    app->ShutDown();
    EXPECT_EQ(TheMainWindow(), nullptr);
    EXPECT_FALSE(Database().IsOpen());
    EXPECT_TRUE(Resources().icons.empty());
    EXPECT_TRUE(LanguageList().empty());
}

// Closing the program with chats open behind the current one: they close without one of them
// becoming the current page on the way out, so their unread messages stay unread, and none of
// them outlives the accounts.
TEST_F(ClientStart, ClosingWithChatsOpenReadsNoneOfThem) {
    StoreHomeAccount(false);
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    CAccount* home = app->Accounts()->Snapshot()[0];
    MainWindow& window = *app->Window();
    std::vector<ContactPtr> contacts;
    for (int i = 0; i < 4; ++i) {
        contacts.push_back(app->Contacts()->AddNewContact(
            home, ContactFields{.login = u"20" + Widen(std::to_string(i)), .nickname = u"Friend"},
            true, false));
        app->ContactsView()->OpenChat(contacts.back());
        window.ShowPage(MainWindow::kJump,
                        window.IndexOf(app->ContactsView()->FindChatPage(contacts.back().get())));
    }
    window.ShowPage(MainWindow::kJump,
                    window.IndexOf(app->ContactsView()->FindChatPage(contacts[0].get())));
    for (int i = 1; i < 4; ++i)
        contacts[i]->History().AddEvent(evtype::kMessage, evdir::kIncoming, u"later", 0, 0, -1);
    contacts.clear();
    app->ShutDown();

    ASSERT_TRUE(Database().Open());
    CppSQLite3Command unread =
        Database().Prepare(u"SELECT COUNT(*) FROM History WHERE Unread=1 AND Message='later'");
    EXPECT_EQ(Database().ExecuteScalar(unread), 3);
    Database().Close();
}

TEST_F(ClientStart, ASignOnWithoutPasswordAsksForItAndGoesOnWithTheAnswer) {
    StoreHomeAccount(true);  // the sign-on after the answer fails at once
    // No session bus: the keyring cannot be reached.
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zul-bus");
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    ASSERT_EQ(app->Accounts()->Count(), 1u);
    CAccount* home = app->Accounts()->Snapshot()[0];
    home->RequestStatus(0);
    QElapsedTimer waited;
    waited.start();
    while (home->PasswordQuestion() == 0 && waited.elapsed() < 10000) QThread::msleep(10);
    ASSERT_EQ(home->PasswordQuestion(), 1033);

    // Answers the password box once it is open (the timer also fires inside its loop).
    bool answered = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        poll.stop();
        EXPECT_TRUE(box->labelText().startsWith(QStringLiteral("No keyring could be reached.")));
        box->setTextValue(QStringLiteral("typed"));
        box->accept();
        answered = true;
    });
    poll.start();
    app->AccountsView()->SlowTick();
    while (!answered && waited.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(answered);
    EXPECT_EQ(home->Password(), u"typed");
    EXPECT_EQ(home->PasswordQuestion(), 0);
    // Signed on again with it: this time the closed port is what stops it.
    while (home->StatusText().find(u"-99978") != std::u16string::npos && waited.elapsed() < 15000)
        QThread::msleep(10);
    EXPECT_EQ(home->StatusText().find(u"-99978"), std::u16string::npos)
        << ToUtf8(home->StatusText());
    app->ShutDown();
    if (bus.isEmpty())
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
}

TEST_F(ClientStart, TheWindowComesBackInTheSizeItHadAndKeepsAUsableMinimum) {
    ASSERT_TRUE(Database().Open());
    Options().WindowWidth = 400;
    Options().WindowHeight = 560;
    ASSERT_TRUE(Options().SaveAll());
    Database().Close();
    Options().ResetToDefaults();

    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    MainWindow* window = app->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(400, 560));
    EXPECT_GE(window->minimumWidth(), 240);
    EXPECT_GE(window->minimumHeight(), 320);
    window->resize(100, 100);  // held at the minimum
    EXPECT_EQ(window->size(), window->minimumSize());
    window->resize(440, 600);
    app->ShutDown();

    ASSERT_TRUE(Database().Open());
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().WindowWidth, 440);
    EXPECT_EQ(Options().WindowHeight, 600);
    Database().Close();
    Options().ResetToDefaults();
}

TEST_F(ClientStart, AStoredSwissGermanIdentifierSelectsTheOnlyGermanModule) {
    WriteModule(folders.ProgramDir(), "de",
                ModuleText(0x0407, "Deutsch",
                           "114 = Konten\n12007 = Getrennt\n"
                           "[menus]\n213.32866 = Deaktivierte zeigen\n"));
    StoreOptions(0x0807);
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    ASSERT_NE(app->ResourceModule(), nullptr);
    EXPECT_EQ(app->ResourceModule()->LanguageId(), 0x0407);
    EXPECT_EQ(ResString(114), u"Konten");
    EXPECT_EQ(ResString(115), u"Contacts: %d, Online: %d");  // untranslated: English
    EXPECT_EQ(app->AccountsView()->Caption().Title(), QStringLiteral("Konten"));
    const MenuNode* view = Resources().accountsViewMenu.FindPopup(u"AccountView");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->children[0].text, u"Deaktivierte zeigen");
    // Qt's own texts follow: a standard button, the editors' context menu.
    EXPECT_TRUE(app->QtTranslated());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));
    EXPECT_EQ(QCoreApplication::translate("QLineEdit", "&Undo"),
              QString::fromUtf16(u"&R\u00fcckg\u00e4ngig"));
    app->ShutDown();
    EXPECT_EQ(ResString(114), u"Accounts");  // the module's table is gone with it
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
}

TEST_F(ClientStart, AStoredZeroStartsInEnglishWhateverThePlatformSpeaks) {
    WriteModule(folders.ProgramDir(), "de", ModuleText(0x0407, "Deutsch", "114 = Konten\n"));
    OverridePlatformUiLanguage(0x0407);
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    EXPECT_EQ(app->ResourceModule(), nullptr);
    EXPECT_EQ(ResString(114), u"Accounts");
    EXPECT_FALSE(app->QtTranslated());
    // The language page would still preselect the platform's language.
    EXPECT_EQ(LanguageIndex(CurrentUiLanguage()), 1);
    OverridePlatformUiLanguage(0);
}

TEST_F(ClientStart, SettingsThatCannotBeLoadedEndTheStartAndCloseTheProfile) {
    // A profile whose schema is sound but whose Options table cannot be read: its page is
    // overwritten with garbage.
    int root = 0;
    int pageSize = 0;
    {
        ASSERT_TRUE(Database().Open());
        ASSERT_TRUE(Options().SaveAll());
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command q =
            Database().Prepare(u"SELECT rootpage FROM sqlite_master WHERE name='Options'");
        root = Database().ExecuteScalar(q);
        CppSQLite3Command size = Database().Prepare(u"PRAGMA page_size");
        pageSize = Database().ExecuteScalar(size);
        Database().Close();
    }
    ASSERT_GT(root, 1);
    const std::string path = folders.DataDir() + "zul.profile";
    std::string bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), static_cast<size_t>(root * pageSize));
    for (int i = 0; i < pageSize; ++i)
        bytes[static_cast<size_t>((root - 1) * pageSize + i)] = '\xEE';
    WriteFileBytes(path, bytes);

    EXPECT_FALSE(app->StartUp());
    EXPECT_EQ(app->FailureReason(), "the settings cannot be loaded");
    EXPECT_EQ(app->Window(), nullptr);
    app->ShutDown();
    EXPECT_FALSE(Database().IsOpen());
}

TEST_F(ClientStart, ASecondStartRaisesTheFirstAndOpensNoProfile) {
    const QString binary = ClientBinary();
    if (binary.isEmpty()) GTEST_SKIP() << "the zul binary is not built";
    ASSERT_TRUE(app->StartUp()) << app->FailureReason();
    app->Window()->showMinimized();

    TempFolder secondData;
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ZUL_DATA_DIR"), QString::fromStdString(secondData.Path()));
    env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(sockets_.Path()));
    second.setProcessEnvironment(env);
    second.start(binary, {});
    ASSERT_TRUE(second.waitForStarted(10000));
    // The first instance answers from this thread's event loop.
    QElapsedTimer timer;
    timer.start();
    while (second.state() != QProcess::NotRunning && timer.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        second.waitForFinished(20);
    }
    ASSERT_EQ(second.state(), QProcess::NotRunning) << "the second start did not end";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(app->Instance()->ActivationCount(), 1);
    EXPECT_FALSE(app->Window()->isMinimized());
    EXPECT_FALSE(FileExists(secondData.Path() + "zul.profile"));
    EXPECT_TRUE(Database().IsOpen());  // the first one's profile is untouched
}

TEST(SingleInstanceTest, ASocketLeftByACrashedInstanceIsTakenOver) {
    EnsureApp();
    TempFolder sockets;
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(sockets.Path()));
    const QString key = QStringLiteral("zul-test-instance");
    // What a killed instance leaves behind: a socket file nobody listens on.
    WriteFileBytes(sockets.File(key.toStdString()), "");
    {
        SingleInstance first(key);
        EXPECT_FALSE(first.ActivateRunning(500));
        EXPECT_TRUE(first.Listen());
        EXPECT_TRUE(first.Listening());
        EXPECT_EQ(first.ActivationCount(), 0);
    }
    if (savedTmp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);
}

TEST(ClientProcess, AProfileThatCannotBeOpenedEndsTheStartWithCodeZero) {
    const QString binary = ClientBinary();
    if (binary.isEmpty()) GTEST_SKIP() << "the zul binary is not built";
    TempFolder folder;
    WriteFileBytes(folder.File("plain-file"), "x");
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The data folder would have to be made inside a plain file.
    env.insert(QStringLiteral("ZUL_DATA_DIR"),
               QString::fromStdString(folder.File("plain-file/zul")));
    env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(folder.Path()));
    client.setProcessEnvironment(env);
    client.start(binary, {});
    ASSERT_TRUE(client.waitForFinished(60000));
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);

    QProcess help;
    help.start(binary, {QStringLiteral("--help")});
    ASSERT_TRUE(help.waitForFinished(30000));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().contains("Usage: zul"));
}

}  // namespace
}  // namespace zul::test
