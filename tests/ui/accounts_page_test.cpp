// The accounts page over real accounts of a real profile: rows, the "Status" key, the context
// menu, the view menu, and screenshots. The accounts sign on to a closed local port, so a
// status request fails fast without any network.
#include "ui/views/accounts_page.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <thread>

#include "accounts/accounts.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"
#include "storage/status.h"
#include "support/test_env.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/scrollable_window.h"
#include "ui/framework/soft_key_bar.h"
#include "ui/texts/ui_resources.h"
#include "ui/views/own_picture.h"
#include "ui/views/view_support.h"

namespace zul::test {
namespace {

// A loopback port nobody listens on.
std::u16string ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return QString::number(ntohs(addr.sin_port)).toStdU16String();
}

std::vector<uint8_t> PictureBytes(QColor colour) {
    QImage image(48, 64, QImage::Format_RGB32);
    image.fill(colour);
    QPainter painter(&image);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRect(10, 8, 28, 28));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

class AccountsPageTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(Database().Open());
        Options().ReconnectOnError = 0;
        Options().RestoreLastStatusesOnStart = 0;
        LoadUiResources(nullptr);
        RegisterOscarAccounts();
    }

    void TearDown() override {
        page.reset();
        accounts.reset();
        contacts.reset();
        FreeUiResources();
        Database().Close();
        HostTest::TearDown();
    }

    void StoreAccount(int32_t id, const std::u16string& login, const std::u16string& name,
                      bool enabled, int contactCount = 0) {
        CAccountData data;
        data.SetID(id);
        data.SetType(1);
        data.SetLogin(login);
        data.SetDescription(name);
        data.SetPassword(u"pw");
        data.SetServer(u"127.0.0.1");
        data.SetPort(port_);
        data.SetEnabled(enabled ? 1 : 0);
        ASSERT_TRUE(data.dbSave());
        std::lock_guard lock(Database().Mutex());
        for (int i = 1; i <= contactCount; ++i) {
            CppSQLite3Command insert = Database().Prepare(
                u"INSERT INTO Contacts (AccID, LocalID, SrvID, GroupID, Login, Nickname, "
                u"OnServer) VALUES (?, ?, ?, 0, ?, ?, 1)");
            insert.BindInt(1, id);
            insert.BindInt(2, id * 100 + i);
            insert.BindInt(3, id * 100 + i);
            const std::u16string login16 = QString::number(5000 + id * 100 + i).toStdU16String();
            insert.BindText(4, login16);
            insert.BindText(5, u"Friend " + login16);
            Database().Execute(insert);
        }
    }

    void Load() {
        contacts = std::make_unique<CContacts>();
        accounts = std::make_unique<CAccounts>(*contacts, folders.DataDir());
        page = std::make_unique<AccountsPage>(*accounts);
        window->AddPage(page.get(), true, false);
    }

    CAccount* AccountNamed(const std::u16string& name) {
        for (CAccount* a : accounts->Snapshot())
            if (a->Description() == name) return a;
        return nullptr;
    }

    int32_t StoredEnabled(int32_t id) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command q = Database().Prepare(u"SELECT Enabled FROM Accounts WHERE ID=?");
        q.BindInt(1, id);
        return Database().ExecuteScalar(q);
    }

    // Tap-and-hold on a row: the popup that opens.
    QMenu* HoldOn(const AccountRow* row) {
        const QPoint at = row->Rect().center();
        Press(at);
        window->FireTimer(ScrollableWindow::kTimerHold);
        Release(at, 800);
        return qobject_cast<QMenu*>(QApplication::activePopupWidget());
    }

    static QStringList Texts(QMenu* menu) {
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return texts;
    }

    static QAction* Entry(QMenu* menu, const QString& text) {
        for (QAction* a : menu->actions())
            if (a->text() == text) return a;
        return nullptr;
    }

    bool WaitUntil(const std::function<bool()>& done, int ms = 20000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    IsolatedFolders folders;
    std::u16string port_ = ClosedPort();
    std::unique_ptr<CContacts> contacts;
    std::unique_ptr<CAccounts> accounts;
    std::unique_ptr<AccountsPage> page;
};

TEST_F(AccountsPageTest, ASignOnWaitingForTheUserIsHandedToTheAskerOnceFromTheEventLoop) {
    StoreAccount(1, u"111111", u"Home", true);
    Load();
    CAccount* home = AccountNamed(u"Home");
    ASSERT_NE(home, nullptr);
    std::vector<std::pair<QString, int>> asked;
    page->SetQuestionAsker([&](CAccount& account) {
        const bool certificate = !account.TakeCertificateQuestion().certificate.Empty();
        const int password = account.TakePasswordQuestion();
        asked.emplace_back(QString::fromStdU16String(account.Description()),
                           certificate ? -1 : password);
    });
    // No password anywhere: the sign-on stops and waits for one.
    home->SetPassword(u"");
    home->RequestStatus(kStatusAvailable);
    ASSERT_TRUE(
        WaitUntil([&] { return home->PasswordQuestion() != 0 && !home->SessionRunning(); }));
    window->FireTimer(MainWindow::kTimerFastTick);
    page->SlowTick();
    EXPECT_TRUE(asked.empty());  // never from inside a paint or a tick
    QCoreApplication::processEvents();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], std::make_pair(QStringLiteral("Home"), 1035));
    page->SlowTick();
    QCoreApplication::processEvents();
    EXPECT_EQ(asked.size(), 1u);  // answered: asked once

    TlsCertificate seen;
    seen.sha256 = "AB";
    home->AskAboutCertificate(seen, false);
    page->SlowTick();
    QCoreApplication::processEvents();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].second, -1);
}

TEST_F(AccountsPageTest, EveryAccountDisabledShowsTheEmptyTextAndADisabledStatusKey) {
    StoreAccount(1, u"111111", u"Home", false);
    StoreAccount(2, u"222222", u"Work", false);
    Load();
    EXPECT_TRUE(page->Rows().empty());
    EXPECT_EQ(page->ContentHeight(), 0);
    EXPECT_FALSE(page->HasContent());
    EXPECT_EQ(page->EmptyText(),
              QStringLiteral("No enabled accounts.\nTap \"Options...\" to add new account."));
    EXPECT_FALSE(page->AcceptsInput());
    EXPECT_EQ(window->SoftKeys()->LeftKey()->text(), QStringLiteral("Status"));
    EXPECT_FALSE(window->SoftKeys()->LeftKey()->isEnabled());

    // The empty text is drawn in grey in the middle of the view.
    const QImage screen = Screen();
    screen.save(ScreenshotPath(QStringLiteral("accounts_empty.png")));
    int grey = 0;
    for (int y = 250; y < 350; ++y)
        for (int x = 40; x < 440; ++x) grey += screen.pixelColor(x, y) != WindowColour();
    EXPECT_GT(grey, 100);

    // "Show disabled" from the "&View" menu lists them, greyed, and lets input in.
    QMenu* menu = window->PrepareMenuPopup();
    QMenu* view = menu->actions()[2]->menu();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(menu->actions()[2]->text(), QStringLiteral("&View"));
    EXPECT_EQ(Texts(view),
              (QStringList{QStringLiteral("Show disabled"), QStringLiteral("Show avatars")}));
    EXPECT_FALSE(view->actions()[0]->isChecked());
    EXPECT_TRUE(view->actions()[1]->isChecked());
    view->actions()[0]->trigger();
    EXPECT_TRUE(Options().AccountsShowDisabled);
    ASSERT_EQ(page->Rows().size(), 2u);
    EXPECT_TRUE(page->HasContent());
    EXPECT_TRUE(page->AcceptsInput());
    EXPECT_FALSE(window->SoftKeys()->LeftKey()->isEnabled());  // still nothing to set
    EXPECT_EQ(AccountsPage::CountsText(page->Rows()[0]->Account()),
              QStringLiteral("Disabled account"));
    // Saved with all the settings.
    Options().ResetToDefaults();
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().AccountsShowDisabled, 1);
    EXPECT_TRUE(window->PrepareMenuPopup()->actions()[2]->menu()->actions()[0]->isChecked());
}

TEST_F(AccountsPageTest, EnablingADisabledAccountFromItsContextMenu) {
    Options().AccountsShowDisabled = 1;
    StoreAccount(7, u"777777", u"Spare", false, 2);
    Load();
    ASSERT_EQ(page->Rows().size(), 1u);
    CAccount& account = page->Rows()[0]->Account();
    EXPECT_FALSE(account.Loaded());

    QMenu* menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(page->FocusedItem(), page->Rows()[0].get());
    // A disabled account offers only "Enabled", unchecked.
    ASSERT_EQ(Texts(menu), QStringList{QStringLiteral("Enabled")});
    EXPECT_TRUE(menu->actions()[0]->isCheckable());
    EXPECT_FALSE(menu->actions()[0]->isChecked());
    menu->actions()[0]->trigger();
    menu->close();

    EXPECT_EQ(account.Enabled(), 1);
    EXPECT_TRUE(account.Loaded());
    EXPECT_EQ(StoredEnabled(7), 1);
    EXPECT_EQ(AccountsPage::CountsText(account), QStringLiteral("Contacts: 2, Online: 0"));
    EXPECT_TRUE(window->SoftKeys()->LeftKey()->isEnabled());
    EXPECT_EQ(account.Status(), kStatusOffline);  // enabling does not sign on

    // Now it has the status entries, "Offline" marked, and "Enabled" checked.
    menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(Texts(menu),
              (QStringList{QStringLiteral("Available"), QStringLiteral("Free for chat"),
                           QStringLiteral("Away"), QStringLiteral("Not available"),
                           QStringLiteral("Occupied"), QStringLiteral("DND"),
                           QStringLiteral("Invisible"), QStringLiteral("Offline"),
                           QStringLiteral("Status note..."), QStringLiteral("Profile..."),
                           QStringLiteral("Picture..."), QStringLiteral("Who can see me"),
                           QStringLiteral("-"), QStringLiteral("Enabled")}));
    EXPECT_TRUE(Entry(menu, QStringLiteral("Offline"))->isChecked());
    EXPECT_FALSE(Entry(menu, QStringLiteral("Available"))->isChecked());
    EXPECT_TRUE(Entry(menu, QStringLiteral("Enabled"))->isChecked());

    // Disabling it again while disabled accounts are hidden takes the row and its focus away.
    Options().AccountsShowDisabled = 0;
    Entry(menu, QStringLiteral("Enabled"))->trigger();
    menu->close();
    EXPECT_EQ(account.Enabled(), 0);
    EXPECT_EQ(StoredEnabled(7), 0);
    EXPECT_EQ(page->FocusedItem(), nullptr);
    EXPECT_TRUE(page->Rows().empty());
}

TEST_F(AccountsPageTest, TheStatusKeyLeavesDisabledAccountsUntouched) {
    Options().AccountsShowDisabled = 1;
    StoreAccount(1, u"111111", u"Alpha", true);
    StoreAccount(2, u"222222", u"Beta", false);
    Load();
    CAccount* alpha = AccountNamed(u"Alpha");
    CAccount* beta = AccountNamed(u"Beta");
    ASSERT_TRUE(alpha && beta);
    EXPECT_TRUE(window->SoftKeys()->LeftKey()->isEnabled());

    QMenu* popup = window->PrepareLeftKeyPopup();
    EXPECT_EQ(
        Texts(popup),
        (QStringList{QStringLiteral("Available"), QStringLiteral("Free for chat"),
                     QStringLiteral("-"), QStringLiteral("Away"), QStringLiteral("Not available"),
                     QStringLiteral("Occupied"), QStringLiteral("DND"), QStringLiteral("-"),
                     QStringLiteral("Invisible"), QStringLiteral("-"), QStringLiteral("Offline"),
                     QStringLiteral("-"), QStringLiteral("Status note...")}));
    // The status the enabled accounts share is marked (the disabled Beta does not count).
    for (QAction* a : popup->actions())
        EXPECT_EQ(a->isChecked(), a->text() == QStringLiteral("Offline"))
            << a->text().toStdString();
    // Its note goes to the enabled accounts only.
    SetAskTextHandler(
        [](const QString&) -> std::optional<QString> { return QStringLiteral("On the train"); });
    Entry(popup, QStringLiteral("Status note..."))->trigger();
    SetAskTextHandler({});
    EXPECT_EQ(alpha->StatusNote(), u"On the train");
    EXPECT_EQ(beta->StatusNote(), u"");
    popup = window->PrepareLeftKeyPopup();
    Entry(popup, QStringLiteral("Available"))->trigger();
    EXPECT_EQ(alpha->RequestedStatus(), kStatusAvailable);
    EXPECT_EQ(beta->RequestedStatus(), kStatusOffline);
    EXPECT_FALSE(beta->SessionRunning());

    // Alpha's sign-on meets the closed port and stops with an error; Beta never moved.
    ASSERT_TRUE(WaitUntil([&] { return alpha->StatusIcon() == 189 && !alpha->SessionRunning(); }))
        << ToUtf8(alpha->StatusText());
    EXPECT_EQ(alpha->Status(), kStatusOffline);
    EXPECT_FALSE(alpha->Busy());
    EXPECT_EQ(beta->StatusText(), u"Offline");
    EXPECT_EQ(beta->StatusIcon(), 176);
    EXPECT_FALSE(beta->SessionRunning());
    // The next fast tick shows the error text.
    window->FireTimer(MainWindow::kTimerFastTick);
    EXPECT_FALSE(page->ChangedSinceLastPaint());
    Screen().save(ScreenshotPath(QStringLiteral("accounts_error.png")));

    Entry(window->PrepareLeftKeyPopup(), QStringLiteral("Offline"))->trigger();
    EXPECT_EQ(alpha->Status(), kStatusOffline);
    EXPECT_EQ(beta->RequestedStatus(), kStatusOffline);
}

TEST_F(AccountsPageTest, TheContextMenuSetsTheStatusOfOneAccountOnly) {
    StoreAccount(1, u"111111", u"Alpha", true);
    StoreAccount(2, u"222222", u"Beta", true);
    Load();
    ASSERT_EQ(page->Rows().size(), 2u);
    QMenu* menu = HoldOn(page->Rows()[1].get());
    ASSERT_NE(menu, nullptr);
    Entry(menu, QStringLiteral("Invisible"))->trigger();
    menu->close();
    EXPECT_EQ(AccountNamed(u"Beta")->RequestedStatus(), kStatusInvisible);
    EXPECT_EQ(AccountNamed(u"Alpha")->RequestedStatus(), kStatusOffline);
    AccountNamed(u"Beta")->Disconnect(false);
}

// "Sign on here" is offered only to an account another place signed off, and signs it on
// with the status it had.
TEST_F(AccountsPageTest, AnAccountSignedOnElsewhereOffersToSignOnHere) {
    StoreAccount(1, u"111111", u"Alpha", true);
    Load();
    CAccount* alpha = AccountNamed(u"Alpha");
    QMenu* menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(Entry(menu, QStringLiteral("Sign on here")), nullptr);
    menu->close();

    alpha->SetRequestedStatus(kStatusInvisible);
    alpha->SetSignedOnElsewhere(true);
    menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    ASSERT_NE(Entry(menu, QStringLiteral("Sign on here")), nullptr);
    Entry(menu, QStringLiteral("Sign on here"))->trigger();
    menu->close();
    EXPECT_EQ(alpha->RequestedStatus(), kStatusInvisible);
    EXPECT_FALSE(alpha->SignedOnElsewhere());
    alpha->Disconnect(false);
}

TEST_F(AccountsPageTest, TheStatusNoteAndWhoCanSeeMeAreAskedForKeptAndThereAtTheNextStart) {
    StoreAccount(1, u"111111", u"Alpha", true);
    Load();
    ASSERT_EQ(page->Rows().size(), 1u);
    const int plainHeight = page->Rows()[0]->Rect().height();
    QString offered = QStringLiteral("unasked");
    SetAskTextHandler([&](const QString& current) -> std::optional<QString> {
        offered = current;
        return QStringLiteral("  At the lake,\nback at six  ");
    });
    QMenu* menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    Entry(menu, QStringLiteral("Status note..."))->trigger();
    menu->close();
    SetAskTextHandler({});
    EXPECT_EQ(offered, QString());
    CAccount* alpha = AccountNamed(u"Alpha");
    EXPECT_EQ(alpha->StatusNote(), u"At the lake, back at six");
    // Who may see the account: the five modes, none marked while neither the user nor the
    // server has said; the one chosen is marked and kept.
    menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    QMenu* privacy = Entry(menu, QStringLiteral("Who can see me"))->menu();
    ASSERT_NE(privacy, nullptr);
    EXPECT_EQ(Texts(privacy),
              (QStringList{QStringLiteral("Everybody"), QStringLiteral("Only my contacts"),
                           QStringLiteral("Everybody but the invisible list"),
                           QStringLiteral("Only the visible list"), QStringLiteral("Nobody")}));
    for (QAction* mode : privacy->actions()) EXPECT_FALSE(mode->isChecked());
    Entry(privacy, QStringLiteral("Only my contacts"))->trigger();
    menu->close();
    EXPECT_EQ(alpha->PrivacyChoice(), 5);
    menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(Entry(Entry(menu, QStringLiteral("Who can see me"))->menu(),
                      QStringLiteral("Only my contacts"))
                    ->isChecked());
    menu->close();

    // The row shows it beside the status: long enough here to need a second line.
    page->LayoutContent(ScaleX(160));
    EXPECT_GT(page->Rows()[0]->Rect().height(), plainHeight);

    page.reset();
    accounts.reset();
    Load();
    EXPECT_EQ(AccountNamed(u"Alpha")->StatusNote(), u"At the lake, back at six");
    EXPECT_EQ(AccountNamed(u"Alpha")->PrivacyChoice(), 5);
}

TEST_F(AccountsPageTest, APictureChosenFromAFileIsShrunkForTheServerAndCanBeRemoved) {
    StoreAccount(1, u"111111", u"Alpha", true);
    Load();
    CAccount* alpha = AccountNamed(u"Alpha");
    const QString dir = QString::fromStdString(folders.DataDir());
    // A noisy photo far larger than the server takes, a text file, a picture cut short, and a
    // file too large to read at all.
    QImage photo(1600, 1200, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));
    const QString photoPath = dir + QStringLiteral("/photo.png");
    ASSERT_TRUE(photo.save(photoPath, "PNG"));
    QFile(photoPath).copy(dir + QStringLiteral("/cut.png"));
    QFile cut(dir + QStringLiteral("/cut.png"));
    ASSERT_TRUE(cut.resize(200));
    QFile text(dir + QStringLiteral("/notes.png"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("just words");
    text.close();
    QFile huge(dir + QStringLiteral("/huge.png"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(kMaxPictureFileBytes + 1));
    huge.close();

    QString chosen;
    SetAskFileHandler([&]() -> std::optional<QString> { return chosen; });
    QString told;
    SetShowInformationHandler([&](int, const QString& message) { told = message; });
    const auto choose = [&](const QString& file) {
        chosen = dir + QStringLiteral("/") + file;
        told.clear();
        QMenu* menu = HoldOn(page->Rows()[0].get());
        ASSERT_NE(menu, nullptr);
        Entry(menu, QStringLiteral("Picture..."))->trigger();
        menu->close();
    };
    const struct {
        const char* file;
        const char* told;
    } refused[] = {{"notes.png", "not a picture"},
                   {"cut.png", "not a picture"},
                   {"huge.png", "cannot be made small enough"}};
    for (const auto& row : refused) {
        choose(QString::fromLatin1(row.file));
        EXPECT_TRUE(told.contains(QLatin1String(row.told)))
            << row.file << ": " << told.toStdString();
        EXPECT_FALSE(alpha->HasOwnerAvatar()) << row.file;
    }

    choose(QStringLiteral("photo.png"));
    EXPECT_TRUE(told.isEmpty()) << told.toStdString();
    const std::vector<uint8_t> stored = alpha->OwnerAvatar();
    ASSERT_FALSE(stored.empty());
    EXPECT_LE(stored.size(), CAccount::kMaxOwnPictureBytes);
    const QImage shown = QImage::fromData(stored.data(), static_cast<int>(stored.size()));
    EXPECT_EQ(shown.size(), QSize(64, 48));
    EXPECT_TRUE(alpha->OwnPictureChangePending());

    QMenu* menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    Entry(menu, QStringLiteral("Remove picture"))->trigger();
    menu->close();
    EXPECT_FALSE(alpha->HasOwnerAvatar());
    menu = HoldOn(page->Rows()[0].get());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(Entry(menu, QStringLiteral("Remove picture")), nullptr);
    menu->close();
    SetAskFileHandler({});
    SetShowInformationHandler({});
}

TEST_F(AccountsPageTest, HidingDisabledAccountsClearsTheFocusOfADisabledOne) {
    Options().AccountsShowDisabled = 1;
    StoreAccount(1, u"111111", u"Alpha", true);
    StoreAccount(2, u"222222", u"Beta", false);
    Load();
    page->FocusItem(page->RowOf(AccountNamed(u"Beta")));
    window->OnCommand(menucmd::kShowDisabled);
    EXPECT_EQ(Options().AccountsShowDisabled, 0);
    EXPECT_EQ(page->FocusedItem(), nullptr);
    ASSERT_EQ(page->Rows().size(), 1u);
    EXPECT_EQ(&page->Rows()[0]->Account(), AccountNamed(u"Alpha"));
}

TEST_F(AccountsPageTest, RowsFollowTheirAccountsOnTheFastTick) {
    StoreAccount(1, u"111111", u"Alpha", true);
    Load();
    const int before = page->Rows()[0]->Rect().height();
    CAccount* alpha = AccountNamed(u"Alpha");
    // A progress text replaces the counts line: the row gets shorter, the icon blinks.
    alpha->SetProgressConnecting();
    window->FireTimer(MainWindow::kTimerFastTick);
    EXPECT_LT(page->Rows()[0]->Rect().height(), before);
    const bool blink = page->BlinkOn();
    window->FireTimer(MainWindow::kTimerSlowTick);
    EXPECT_NE(page->BlinkOn(), blink);
    // Nothing marked: the tick leaves the page alone.
    window->FireTimer(MainWindow::kTimerFastTick);
    EXPECT_FALSE(page->ChangedSinceLastPaint());
    // The owner picture takes a square at the right end of the row.
    const std::vector<uint8_t> picture = PictureBytes(Qt::darkCyan);
    alpha->SetOwnerAvatar(picture.data(), picture.size(), false);
    window->FireTimer(MainWindow::kTimerFastTick);
    const AccountRow& row = *page->Rows()[0];
    EXPECT_FALSE(row.Avatar().isNull());
    EXPECT_EQ(row.AvatarBox().right(), row.Rect().right() - 1);
    EXPECT_EQ(row.AvatarBox().top(), row.Rect().top() + 1);
    window->OnCommand(menucmd::kShowAvatars);
    EXPECT_EQ(Options().AccountsShowAvatars, 0);
    EXPECT_TRUE(page->Rows()[0]->AvatarBox().isEmpty());
}

// Screenshots of a page with an online account with a picture, one connecting, one after an
// error and one disabled, in both orientations at 96 and 192 dpi.
TEST_F(AccountsPageTest, Screenshots) {
    Options().AccountsShowDisabled = 1;
    StoreAccount(1, u"123456789", u"Home ICQ", true, 3);
    StoreAccount(2, u"worker", u"Work AIM", true);
    StoreAccount(3, u"555555", u"Backup number", true);
    StoreAccount(4, u"424242", u"Old account", false);
    Load();
    CAccount* home = AccountNamed(u"Home ICQ");
    home->SetStatus(kStatusAvailable);
    const std::vector<uint8_t> picture = PictureBytes(QColor(70, 120, 200));
    home->SetOwnerAvatar(picture.data(), picture.size(), false);
    contacts->ContactsOf(home)[0]->SetStatus(kStatusAvailable, u"", -1, true, false);
    contacts->ContactsOf(home)[1]->SetStatus(kStatusAway, u"", -1, true, false);
    AccountNamed(u"Work AIM")->SetProgressConnecting();
    CAccount* backup = AccountNamed(u"Backup number");
    backup->SetStatusIconId(189);
    backup->SetStatusText(u"Server host not found, down or unreachable (11001)");
    page->FocusItem(page->RowOf(home));

    for (int dpi : {96, 192}) {
        Dpi::SetOverride(dpi, dpi);
        LoadUiResources(nullptr);
        for (bool portrait : {true, false}) {
            const int w = (portrait ? 480 : 640) * dpi / 96;
            const int h = (portrait ? 640 : 480) * dpi / 96;
            window->resize(w, h);
            page->Relayout();
            window->FireTimer(MainWindow::kTimerFastTick);
            const QImage shot = Screen();
            EXPECT_EQ(shot.size(), QSize(w, h));
            const QString name =
                QStringLiteral("accounts_%1_%2dpi.png")
                    .arg(portrait ? QStringLiteral("portrait") : QStringLiteral("landscape"))
                    .arg(dpi);
            EXPECT_TRUE(shot.save(ScreenshotPath(name)));
            ASSERT_EQ(page->Rows().size(), 4u);
            // Rows are stacked under the caption without gaps, and grow with the dpi.
            EXPECT_EQ(page->Rows()[0]->Rect().top(), page->CaptionHeight());
            for (size_t i = 1; i < page->Rows().size(); ++i)
                EXPECT_EQ(page->Rows()[i]->Rect().top(), page->Rows()[i - 1]->Rect().bottom() + 1);
            EXPECT_GE(page->Rows()[0]->Rect().height(), 40 * dpi / 96);
        }
    }
    EXPECT_EQ(AccountsPage::CountsText(*home), QStringLiteral("Contacts: 3, Online: 2"));
}

}  // namespace
}  // namespace zul::test
