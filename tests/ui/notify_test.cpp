// The new-message notification: one bubble that accumulates messages, the escaping of what
// it shows, the alert thread's sound and vibrator pulses, and the desktop notification
// service on a real (private) session bus.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"
#include "support/test_account.h"
#include "support/test_env.h"
#include "tests/ui/private_bus.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/main_window.h"
#include "ui/notify/dbus_bubble.h"
#include "ui/notify/desktop_notifier.h"
#include "ui/notify/led_vibrator.h"
#include "ui/notify/message_notification.h"
#include "ui/notify/sound_player.h"
#include "ui/notify/system_alert_devices.h"

namespace zul::test {
namespace {

// ---- Fakes of the shell's bubble and of the device ---------------------------------------------

class RecordingBubble : public INotificationBubble {
  public:
    bool Add(const BubbleRecord& record) override {
        std::lock_guard lock(mutex);
        calls.push_back("add");
        last = record;
        return !fail;
    }
    bool Update(const BubbleRecord& record, bool withText) override {
        std::lock_guard lock(mutex);
        calls.push_back(withText ? "update+text" : "update");
        last = record;
        return !fail;
    }
    void Remove(const BubbleRecord&) override {
        std::lock_guard lock(mutex);
        calls.push_back("remove");
    }
    std::mutex mutex;
    std::vector<std::string> calls;
    BubbleRecord last;
    bool fail = false;
};

// The device of this system (silent mode from the registry file, the LED file) with the sound
// and the sleep recorded; each sleep notes what the LED file held at that moment.
class RecordingDevices : public SystemAlertDevices {
  public:
    RecordingDevices(SoundPlayer& player, const std::string& led)
        : SystemAlertDevices(player, LedVibrator(led)), led_(led) {}
    void PlaySound(const std::u16string& file) override { sounds.push_back(file); }
    void Sleep(int ms) override {
        sleeps.emplace_back(ms, ReadFileBytes(led_));
        if (onSleep) onSleep();
    }
    std::vector<std::u16string> sounds;
    std::vector<std::pair<int, std::string>> sleeps;
    std::function<void()> onSleep;
    // The sleeps with the slices of one pulse or pause joined (an alert sleeps in short
    // slices so that it can stop between them).
    std::vector<std::pair<int, std::string>> Joined() const {
        std::vector<std::pair<int, std::string>> joined;
        for (const auto& s : sleeps) {
            if (!joined.empty() && joined.back().second == s.second) {
                joined.back().first += s.first;
            } else {
                joined.push_back(s);
            }
        }
        return joined;
    }

  private:
    std::string led_;
};

class NotifyTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        folders = std::make_unique<IsolatedFolders>();
        led = folders->DataDir() + "brightness";
        WriteFileBytes(led, "untouched");
        devices = std::make_unique<RecordingDevices>(player, led);
        notification = std::make_unique<MessageNotification>(bubble, *devices);
        notification->SetWindowExists(true);
    }
    void TearDown() override {
        notification.reset();
        devices.reset();
        folders.reset();
        UiTest::TearDown();
    }
    void Notify(const std::u16string& text, int32_t count = 2, int32_t duration = 200) {
        notification->NotifyNewMessage(MessageNotification::kIcon, u"New message", u"Dismiss",
                                       u"Open", text, count, duration, u"zulincoming.wav");
        notification->WaitForAlerts();
    }

    RecordingBubble bubble;
    SoundPlayer player;
    std::unique_ptr<IsolatedFolders> folders;
    std::string led;
    std::unique_ptr<RecordingDevices> devices;
    std::unique_ptr<MessageNotification> notification;
};

TEST_F(NotifyTest, ThreeMessagesMakeOneBubbleWithThreeEntries) {
    Notify(MessageBubbleText(u"Ann", u"one"));
    Notify(MessageBubbleText(u"Ann", u"two"));
    Notify(MessageBubbleText(u"Bob", u"three"));
    EXPECT_EQ(bubble.calls, (std::vector<std::string>{"add", "update+text", "update+text"}));
    EXPECT_EQ(notification->Text(), u"<b>Ann</b> one<br><b>Ann</b> two<br><b>Bob</b> three");
    const BubbleRecord r = notification->Record();
    EXPECT_EQ(r.html, u"<html><body>" + notification->Text() + u"</body></html>");
    EXPECT_EQ(r.size, 88u);
    EXPECT_EQ(r.id, 0x12DFB89u);
    EXPECT_EQ(r.priority, 433);
    EXPECT_EQ(r.duration, -1);
    EXPECT_EQ(r.flags, 0xA1u);
    EXPECT_EQ(r.icon, 244);
    EXPECT_EQ(r.firstCommand, 100);
    EXPECT_EQ(r.secondCommand, 101);
    EXPECT_EQ(devices->sounds.size(), 3u);

    notification->RemoveNotification();
    notification->RemoveNotification();  // no bubble: nothing to remove
    EXPECT_EQ(std::count(bubble.calls.begin(), bubble.calls.end(), "remove"), 1);
    EXPECT_FALSE(notification->Shown());
    EXPECT_EQ(notification->Record().id, 0u);
    EXPECT_TRUE(notification->Text().empty());
}

TEST_F(NotifyTest, PastTheLimitLaterMessagesLeaveTheTextAlone) {
    Notify(MessageBubbleText(u"Ann", std::u16string(250, u'x')));
    const std::u16string full = notification->Text();
    ASSERT_GT(full.size(), 254u);
    Notify(MessageBubbleText(u"Ann", u"more"));
    EXPECT_EQ(notification->Text(), full);
    EXPECT_EQ(bubble.calls.back(), "update");
    EXPECT_EQ(notification->Record().title, u"New message");
}

TEST_F(NotifyTest, NoWindowNoBubbleAndAFailedBubbleStartsAfresh) {
    notification->SetWindowExists(false);
    Notify(u"lost");
    EXPECT_TRUE(bubble.calls.empty());
    EXPECT_TRUE(devices->sounds.empty());

    notification->SetWindowExists(true);
    bubble.fail = true;
    Notify(u"first");
    EXPECT_FALSE(notification->Shown());
    EXPECT_EQ(devices->sounds.size(), 1u) << "the alert runs even without a bubble";
    bubble.fail = false;
    Notify(u"second");
    EXPECT_EQ(bubble.calls.back(), "add");
    EXPECT_EQ(notification->Text(), u"second");
}

TEST_F(NotifyTest, NamesAndMessagesWithMarkupShowAsText) {
    EXPECT_EQ(EscapeMarkup(u"<i>a</i> & \"b\" 'c'"),
              u"&lt;i&gt;a&lt;/i&gt; &amp; &quot;b&quot; &#39;c&#39;");
    // Through the history, as a received message arrives.
    ASSERT_TRUE(Database().Open());
    {
        CContacts store;
        CAccountData data = MakeAccountData(1, u"100");
        data.dbSave();
        TestAccount account(data, store);
        ContactPtr eve = store.AddContact(
            &account,
            ContactFields{
                .localID = 3, .srvID = 3, .login = u"eve", .nickname = u"<i>Eve</i> & co"},
            true, false);
        ASSERT_TRUE(eve);
        eve->AddMessage(evdir::kIncoming, u"<a href='x'>click</a><br>", 0, 0, -1);
        notification->WaitForAlerts();
        EXPECT_EQ(notification->Text(),
                  u"<b>&lt;i&gt;Eve&lt;/i&gt; &amp; co</b> "
                  u"&lt;a href=&#39;x&#39;&gt;click&lt;/a&gt;&lt;br&gt;");
        // Sent messages raise nothing.
        eve->AddMessage(evdir::kOutgoing, u"reply", 0, 0, -1);
        notification->WaitForAlerts();
        EXPECT_EQ(bubble.calls.size(), 1u);
        EXPECT_EQ(devices->sounds, std::vector<std::u16string>{u"zulincoming.wav"});
        // With the sound switched off in Options the bubble still comes, silently.
        Options().NotifSoundOn = 0;
        eve->AddMessage(evdir::kIncoming, u"quiet", 0, 0, -1);
        notification->WaitForAlerts();
        EXPECT_EQ(bubble.calls.size(), 2u);
        EXPECT_EQ(devices->sounds.size(), 1u);
        Options().NotifSoundOn = 1;
    }
    Database().Close();
}

TEST_F(NotifyTest, MessagesArrivingDuringThePulsesNeitherWaitNorBuzzOneByOne) {
    ASSERT_TRUE(Database().Open());
    Options().NotifVCount = 2;
    Options().NotifVDuration = 100;
    {
        CContacts store;
        CAccountData data = MakeAccountData(1, u"100");
        data.dbSave();
        TestAccount account(data, store);
        ContactPtr eve = store.AddContact(
            &account, ContactFields{.localID = 3, .srvID = 3, .login = u"eve", .nickname = u"Eve"},
            true, false);
        ASSERT_TRUE(eve);
        // The first alert stays in its first pulse, holding the notification lock, until let go.
        std::mutex holdMutex;
        std::condition_variable holdChanged;
        bool holding = true;
        std::atomic<bool> pulsing{false};
        devices->onSleep = [&] {
            pulsing.store(true);
            std::unique_lock lock(holdMutex);
            holdChanged.wait(lock, [&] { return !holding; });
        };
        const auto letGo = [&] {
            std::lock_guard lock(holdMutex);
            holding = false;
            holdChanged.notify_all();
        };
        eve->AddMessage(evdir::kIncoming, u"m0", 0, 0, -1);
        for (int i = 0; i < 500 && !pulsing.load(); ++i) QThread::msleep(10);
        ASSERT_TRUE(pulsing.load());

        // Fifty more, as a session thread delivers them: none of them waits for the pulses.
        std::atomic<bool> stored{false};
        std::thread session([&] {
            for (int i = 1; i <= 50; ++i)
                eve->AddMessage(evdir::kIncoming, u"m" + Widen(std::to_string(i)), 0, 0, -1);
            stored.store(true);
        });
        for (int i = 0; i < 1000 && !stored.load(); ++i) QThread::msleep(10);
        const bool storedWhilePulsing = stored.load();
        letGo();
        session.join();
        EXPECT_TRUE(storedWhilePulsing) << "a message waited for the vibrator";

        notification->WaitForAlerts();
        const std::u16string text = notification->Text();
        EXPECT_TRUE(text.starts_with(u"<b>Eve</b> m0<br><b>Eve</b> m1<br>")) << ToUtf8(text);
        EXPECT_GT(text.size(), MessageNotification::kTextLimit);
        // One alert for the first message and a few for the ones that queued up behind it.
        EXPECT_GE(devices->sounds.size(), 2u);
        EXPECT_LE(devices->sounds.size(), 4u);
    }
    Database().Close();
}

TEST_F(NotifyTest, SilentModePlaysTheSoundAndLeavesTheVibratorStill) {
    WriteFileBytes(folders->DataDir() + "registry.ini",
                   "[\\ControlPanel\\Notifications\\ShellOverrides]\nMode=2\n");
    Notify(u"hush", 2, 200);
    EXPECT_EQ(devices->sounds, std::vector<std::u16string>{u"zulincoming.wav"});
    EXPECT_TRUE(devices->sleeps.empty());
    EXPECT_EQ(ReadFileBytes(led), "untouched");

    WriteFileBytes(folders->DataDir() + "registry.ini",
                   "[\\ControlPanel\\Notifications\\ShellOverrides]\nMode=0\n");
    Notify(u"loud", 1, 200);
    EXPECT_EQ(devices->Joined().size(), 2u);
}

TEST_F(NotifyTest, PulsesOnlyWithinTheirLimits) {
    Notify(u"four pulses", 4, 200);
    Notify(u"no length", 2, 0);
    Notify(u"too long", 2, 2001);
    EXPECT_TRUE(devices->sleeps.empty());
    EXPECT_EQ(ReadFileBytes(led), "untouched");
    EXPECT_EQ(devices->sounds.size(), 3u) << "the sound plays all the same";

    Notify(u"three long ones", 3, 2000);
    const std::vector<std::pair<int, std::string>> expected = {
        {2000, "1"}, {200, "0"}, {2000, "1"}, {200, "0"}, {2000, "1"}, {200, "0"}};
    EXPECT_EQ(devices->Joined(), expected);
}

TEST_F(NotifyTest, RemovalStopsARunningAlertWithoutWaitingForItsPulses) {
    // The removal comes in the middle of the first pulse, as the window thread sends it when
    // the user opens the chat: it returns at once, and the alert stops with the vibrator off.
    std::atomic<bool> removed{false};
    std::thread remover;
    devices->onSleep = [&] {
        if (remover.joinable()) return;
        remover = std::thread([&] {
            notification->RemoveNotification();
            removed.store(true);
        });
        for (int i = 0; i < 100 && !removed.load(); ++i) QThread::msleep(5);
        EXPECT_TRUE(removed.load()) << "the removal waited for the pulses";
    };
    Notify(u"buzz", 2, 1000);
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_FALSE(notification->Shown());
    // Far less than two pulses of a second were slept, and the vibrator was left off.
    int slept = 0;
    for (const auto& s : devices->sleeps) slept += s.first;
    EXPECT_LT(slept, 200);
    EXPECT_EQ(ReadFileBytes(led), "0");
}

TEST_F(NotifyTest, VibratorAndSoundFilesAreFoundWhereTheyBelong) {
    unsetenv("ZUL_VIBRATOR_LED");
    EXPECT_EQ(LedVibrator::PathFromEnvironment(), "");
    setenv("ZUL_VIBRATOR_LED", "vibrator", 1);
    EXPECT_EQ(LedVibrator::PathFromEnvironment(), "/sys/class/leds/vibrator/brightness");
    setenv("ZUL_VIBRATOR_LED", "../../etc", 1);
    EXPECT_EQ(LedVibrator::PathFromEnvironment(), "");
    setenv("ZUL_VIBRATOR_LED", led.c_str(), 1);
    EXPECT_EQ(LedVibrator::PathFromEnvironment(), led);
    unsetenv("ZUL_VIBRATOR_LED");
    // A LED that is not there is never made.
    LedVibrator(folders->DataDir() + "missing").Set(true);
    EXPECT_FALSE(FileExists(folders->DataDir() + "missing"));

    EXPECT_EQ(SoundPlayer::FindSoundFile(u"chime.wav"), "");
    WriteFileBytes(folders->ProgramDir() + "chime.wav", "RIFF");
    EXPECT_EQ(SoundPlayer::FindSoundFile(u"chime.wav"), folders->ProgramDir() + "chime.wav");
    WriteFileBytes(folders->DataDir() + "chime.wav", "RIFF");
    EXPECT_EQ(SoundPlayer::FindSoundFile(u"chime.wav"), folders->DataDir() + "chime.wav");
    EXPECT_EQ(SoundPlayer::FindSoundFile(u""), "");
}

// ---- The desktop notification service on a private session bus ---------------------------------

// A notification service that records what it is asked.
class FakeNotificationServer : public QDBusVirtualObject {
  public:
    struct Shown {
        uint id = 0;
        uint replaces = 0;
        QString summary;
        QString body;
        QStringList actions;
        bool suppressSound = false;
        bool image = false;
        int timeout = -2;
    };

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QList<QVariant> args = message.arguments();
        const QString member = message.member();
        if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties") &&
            member == QStringLiteral("Get") && args.size() == 2 &&
            args[1].toString() == QStringLiteral("Inhibited")) {
            if (inhibited.load() < 0) return false;  // a service without the property
            connection.send(message.createReply(
                QVariant::fromValue(QDBusVariant(QVariant(inhibited.load() == 1)))));
            return true;
        }
        if (member == QStringLiteral("Notify") && args.size() == 8) {
            Shown shown;
            shown.replaces = args[1].toUInt();
            shown.summary = args[3].toString();
            shown.body = args[4].toString();
            shown.actions = args[5].toStringList();
            const QVariantMap hints = qdbus_cast<QVariantMap>(args[6]);
            shown.suppressSound = hints.value(QStringLiteral("suppress-sound")).toBool();
            shown.image = hints.contains(QStringLiteral("image-data"));
            shown.timeout = args[7].toInt();
            {
                std::lock_guard lock(mutex);
                shown.id = shown.replaces != 0 ? shown.replaces : nextId++;
                notes.push_back(shown);
            }
            connection.send(message.createReply(QVariant::fromValue(shown.id)));
            return true;
        }
        if (member == QStringLiteral("CloseNotification") && args.size() == 1) {
            {
                std::lock_guard lock(mutex);
                closed.push_back(args[0].toUInt());
            }
            connection.send(message.createReply());
            return true;
        }
        if (member == QStringLiteral("GetCapabilities")) {
            connection.send(message.createReply(
                QVariant(QStringList{QStringLiteral("body"), QStringLiteral("body-markup"),
                                     QStringLiteral("actions")})));
            return true;
        }
        return false;
    }

    std::vector<Shown> Notes() {
        std::lock_guard lock(mutex);
        return notes;
    }
    std::vector<uint> Closed() {
        std::lock_guard lock(mutex);
        return closed;
    }

    // The "Inhibited" property: 1 do-not-disturb, 0 not, -1 the service has no such property.
    std::atomic<int> inhibited{-1};

  private:
    std::mutex mutex;
    std::vector<Shown> notes;
    std::vector<uint> closed;
    uint nextId = 41;
};

class DBusNotifyTest : public NotifyTest {
  protected:
    static void SetUpTestSuite() {
        bus_ = new PrivateBus;
        address_ = bus_->Address();
    }
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
    }

    void SetUp() override {
        NotifyTest::SetUp();
        if (address_.isEmpty()) GTEST_SKIP() << "no dbus-daemon to run a session bus";
        const QString suffix = QString::number(++connections_);
        serverName_ = QStringLiteral("notify-server-") + suffix;
        clientName_ = QStringLiteral("notify-client-") + suffix;
        client =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, clientName_));
        ASSERT_TRUE(client->isConnected());
        dbusBubble = std::make_unique<DBusBubble>(*client);
        dbusBubble->onCommand = [this](int command) { commands.push_back(command); };
        dbusBubble->onClosed = [this] { notification->BubbleClosed(); };
        notification.reset();
        notification = std::make_unique<MessageNotification>(*dbusBubble, *devices);
        notification->SetWindowExists(true);
    }

    // The service on its own connection, answering on its own thread.
    void StartServer() {
        server =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, serverName_));
        ASSERT_TRUE(server->isConnected());
        serverThread.start();
        service.moveToThread(&serverThread);
        ASSERT_TRUE(server->registerVirtualObject(QString::fromLatin1(DBusBubble::kPath), &service,
                                                  QDBusConnection::SingleNode));
        ASSERT_TRUE(server->registerService(QString::fromLatin1(DBusBubble::kService)));
    }

    void TearDown() override {
        if (!address_.isEmpty()) {
            notification.reset();
            dbusBubble.reset();
            if (server) {
                server->unregisterService(QString::fromLatin1(DBusBubble::kService));
                server->unregisterObject(QString::fromLatin1(DBusBubble::kPath));
                server.reset();
                QDBusConnection::disconnectFromBus(serverName_);
            }
            serverThread.quit();
            serverThread.wait();
            client.reset();
            QDBusConnection::disconnectFromBus(clientName_);
        }
        NotifyTest::TearDown();
    }

    void Emit(const char* signal, uint id, const QVariant& second) {
        QDBusMessage message = QDBusMessage::createSignal(
            QString::fromLatin1(DBusBubble::kPath), QString::fromLatin1(DBusBubble::kInterface),
            QString::fromLatin1(signal));
        message << QVariant::fromValue(id) << second;
        server->send(message);
    }

    std::unique_ptr<QDBusConnection> client;
    std::unique_ptr<QDBusConnection> server;
    std::unique_ptr<DBusBubble> dbusBubble;
    FakeNotificationServer service;
    QThread serverThread;
    std::vector<int> commands;

  private:
    static PrivateBus* bus_;
    static QString address_;
    static int connections_;
    QString serverName_;
    QString clientName_;
};

PrivateBus* DBusNotifyTest::bus_ = nullptr;
QString DBusNotifyTest::address_;
int DBusNotifyTest::connections_ = 0;

TEST_F(DBusNotifyTest, ThreeMessagesUpdateOneNotification) {
    StartServer();
    Notify(MessageBubbleText(u"Ann", u"one <i>&</i>"));
    Notify(MessageBubbleText(u"Ann", u"two"));
    Notify(MessageBubbleText(u"Bob", u"three"));
    const auto notes = service.Notes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0].replaces, 0u);
    EXPECT_EQ(notes[1].replaces, notes[0].id);
    EXPECT_EQ(notes[2].replaces, notes[0].id);
    EXPECT_EQ(notes[2].body, QStringLiteral("<b>Ann</b> one &lt;i&gt;&amp;&lt;/i&gt;\n"
                                            "<b>Ann</b> two\n<b>Bob</b> three"));
    EXPECT_EQ(notes[2].summary, QStringLiteral("New message"));
    EXPECT_EQ(notes[0].actions, (QStringList{QStringLiteral("100"), QStringLiteral("Dismiss"),
                                             QStringLiteral("101"), QStringLiteral("Open"),
                                             QStringLiteral("default"), QStringLiteral("Open")}));
    EXPECT_TRUE(notes[0].suppressSound);
    EXPECT_TRUE(notes[0].image) << "icon 244 travels as pixels";
    EXPECT_EQ(notes[0].timeout, 0) << "shown until removed";
    EXPECT_EQ(dbusBubble->ServerId(), notes[0].id);

    notification->RemoveNotification();
    EXPECT_TRUE(PumpUntil([&] { return service.Closed() == std::vector<uint>{notes[0].id}; }));
    EXPECT_EQ(dbusBubble->ServerId(), 0u);
}

TEST_F(DBusNotifyTest, DoNotDisturbSilencesTheAlertButTheServiceStillGetsTheBubble) {
    StartServer();
    Notify(MessageBubbleText(u"Ann", u"no property: the usual sound"));
    EXPECT_EQ(devices->sounds.size(), 1u);
    service.inhibited = 1;
    Notify(MessageBubbleText(u"Ann", u"quiet now"));
    EXPECT_EQ(devices->sounds.size(), 1u);
    EXPECT_EQ(service.Notes().size(), 2u) << "the service decides whether to show it";
    service.inhibited = 0;
    Notify(MessageBubbleText(u"Ann", u"back"));
    EXPECT_EQ(devices->sounds.size(), 2u);
}

TEST_F(DBusNotifyTest, PastTheLimitTheBodyStopsChanging) {
    StartServer();
    Notify(MessageBubbleText(u"Ann", std::u16string(260, u'z')));
    Notify(MessageBubbleText(u"Ann", u"later"));
    const auto notes = service.Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[1].body, notes[0].body);
    EXPECT_EQ(notes[1].replaces, notes[0].id);
}

TEST_F(DBusNotifyTest, ActionsArriveAsTheSoftKeyCommands) {
    StartServer();
    Notify(MessageBubbleText(u"Ann", u"hi"));
    const uint id = dbusBubble->ServerId();
    ASSERT_NE(id, 0u);
    Emit("ActionInvoked", id + 100, QStringLiteral("101"));  // somebody else's notification
    Emit("ActionInvoked", id, QStringLiteral("101"));
    Emit("ActionInvoked", id, QStringLiteral("100"));
    Emit("ActionInvoked", id, QStringLiteral("default"));  // a click on the bubble
    Emit("ActionInvoked", id, QStringLiteral("7"));        // no command of ours
    ASSERT_TRUE(PumpUntil([this] { return commands.size() >= 3; }));
    EXPECT_EQ(commands, (std::vector<int>{101, 100, 101}));

    // "Open": the bubble goes and the contacts page comes to the front.
    MainWindow window;
    RowsPage accountsPage(QStringLiteral("Accounts"), 3);
    RowsPage contactsPage(QStringLiteral("Contacts"), 3);
    window.AddPage(&accountsPage, true, false);
    window.AddPage(&contactsPage, true, false);
    HandleNotificationCommand(*notification, window, MessageNotification::kCmdOpen);
    EXPECT_EQ(window.CurrentIndex(), 1);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(notification->Shown());
    EXPECT_TRUE(PumpUntil([&] { return service.Closed() == std::vector<uint>{id}; }));
}

TEST_F(DBusNotifyTest, OpenGoesToTheChatOfTheNewestSender) {
    StartServer();
    ASSERT_TRUE(Database().Open());
    MainWindow window;
    RowsPage accountsPage(QStringLiteral("Accounts"), 3);
    RowsPage contactsPage(QStringLiteral("Contacts"), 3);
    window.AddPage(&accountsPage, true, false);
    window.AddPage(&contactsPage, true, false);
    {
        CContacts store;
        CAccountData data = MakeAccountData(4, u"100");
        data.dbSave();
        TestAccount account(data, store);
        ContactPtr ann = store.AddContact(
            &account, ContactFields{.localID = 3, .srvID = 3, .login = u"ann", .nickname = u"Ann"},
            true, false);
        ContactPtr bob = store.AddContact(
            &account, ContactFields{.localID = 4, .srvID = 4, .login = u"bob", .nickname = u"Bob"},
            true, false);
        ASSERT_TRUE(ann && bob);
        EXPECT_EQ(notification->LastSender().accountId, 0);
        ann->AddMessage(evdir::kIncoming, u"first", 0, 0, -1);
        bob->AddMessage(evdir::kIncoming, u"second", 0, 0, -1);
        notification->WaitForAlerts();

        std::vector<std::pair<int32_t, std::u16string>> opened;
        auto openChat = [&](const MessageNotification::Sender& sender) {
            opened.emplace_back(sender.accountId, sender.login);
            return sender.login == u"bob";
        };
        HandleNotificationCommand(*notification, window, MessageNotification::kCmdOpen, openChat);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0], std::make_pair(4, std::u16string(u"bob")));
        EXPECT_EQ(window.CurrentIndex(), 0) << "the chat opened: the page is left to it";
        EXPECT_FALSE(notification->Shown());

        // A sender no longer known: the contact list comes instead.
        ann->AddMessage(evdir::kIncoming, u"third", 0, 0, -1);
        notification->WaitForAlerts();
        HandleNotificationCommand(*notification, window, MessageNotification::kCmdOpen, openChat);
        ASSERT_EQ(opened.size(), 2u);
        EXPECT_EQ(opened[1].second, u"ann");
        EXPECT_EQ(window.CurrentIndex(), 1);
    }
    Database().Close();
}

TEST_F(DBusNotifyTest, TheDesktopNotifierWiresTheKeysToTheWindow) {
    StartServer();
    MainWindow window;
    RowsPage accountsPage(QStringLiteral("Accounts"), 3);
    RowsPage contactsPage(QStringLiteral("Contacts"), 3);
    window.AddPage(&accountsPage, true, false);
    window.AddPage(&contactsPage, true, false);
    {
        DesktopNotifier notifier(window, *client);
        MainWindow::Hooks hooks;
        notifier.InstallHooks(hooks);
        window.SetHooks(hooks);
        EXPECT_EQ(MessageNotification::Instance(), &notifier.Notification());
        notifier.Notification().NotifyNewMessage(MessageNotification::kIcon, u"New message",
                                                 u"Dismiss", u"Open", u"hi", 0, 0, u"");
        notifier.Notification().WaitForAlerts();
        const uint id = notifier.Bubble().ServerId();
        ASSERT_NE(id, 0u);
        Emit("ActionInvoked", id, QStringLiteral("101"));
        ASSERT_TRUE(PumpUntil([&] { return !notifier.Notification().Shown(); }));
        EXPECT_EQ(window.CurrentIndex(), 1);

        // Going to the accounts page removes a new bubble.
        notifier.Notification().NotifyNewMessage(MessageNotification::kIcon, u"New message",
                                                 u"Dismiss", u"Open", u"again", 0, 0, u"");
        notifier.Notification().WaitForAlerts();
        EXPECT_TRUE(notifier.Notification().Shown());
        window.ShowPage(MainWindow::kJump, 0);
        EXPECT_FALSE(notifier.Notification().Shown());
        window.SetHooks({});
    }
    EXPECT_TRUE(PumpUntil([&] { return service.Closed().size() == 2u; }));
}

TEST_F(DBusNotifyTest, ABubbleClosedByTheServiceIsForgotten) {
    StartServer();
    Notify(MessageBubbleText(u"Ann", u"hi"));
    const uint id = dbusBubble->ServerId();
    Emit("NotificationClosed", id, QVariant::fromValue(2u));  // dismissed by the user
    ASSERT_TRUE(PumpUntil([this] { return !notification->Shown(); }));
    Notify(MessageBubbleText(u"Ann", u"again"));
    const auto notes = service.Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[1].replaces, 0u) << "a new bubble, not an update of the closed one";
    EXPECT_EQ(notes[1].body, QStringLiteral("<b>Ann</b> again"));
}

TEST_F(DBusNotifyTest, WithoutANotificationServiceAddingFails) {
    Notify(MessageBubbleText(u"Ann", u"nobody listens"));
    EXPECT_FALSE(notification->Shown());
    EXPECT_EQ(devices->sounds.size(), 1u);
}

TEST(BubbleBody, MarkupIsKeptOrResolvedToPlainText) {
    const std::u16string html =
        u"<html><body><b>A &amp; B</b> x &lt;y&gt;<br><b>C</b> z</body></html>";
    EXPECT_EQ(BubbleBody(html, true), QStringLiteral("<b>A &amp; B</b> x &lt;y&gt;\n<b>C</b> z"));
    EXPECT_EQ(BubbleBody(html, false), QStringLiteral("A & B x <y>\nC z"));
}

}  // namespace
}  // namespace zul::test
