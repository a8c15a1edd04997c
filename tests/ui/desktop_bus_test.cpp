// The program on the desktop's buses: the vibration through the haptic feedback daemon, the
// message notifications people answer from, and the sign-off around the machine's sleep. Each
// service is a small fake on a private bus of a real dbus-daemon.
// clang-format off
// First: its pages' rows are the window framework's list items, not the server list's items
// that the session harness declares.
#include "tests/ui/ui_test_support.h"
// clang-format on

#include <poll.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QVariantMap>

#include "platform/paths.h"
#include "storage/options.h"
#include "storage/status.h"
#include "support/session_harness.h"
#include "support/test_env.h"
#include "tests/protocol/service_wire.h"
#include "tests/ui/private_bus.h"
#include "ui/framework/main_window.h"
#include "ui/notify/desktop_notifier.h"
#include "ui/notify/feedback_haptics.h"
#include "ui/notify/message_notification.h"
#include "ui/notify/sound_player.h"
#include "ui/notify/system_alert_devices.h"
#include "ui/shell/sleep_watcher.h"

namespace zul::test {
namespace {

class NoBubble : public INotificationBubble {
  public:
    bool Add(const BubbleRecord&) override { return true; }
    bool Update(const BubbleRecord&, bool) override { return true; }
    void Remove(const BubbleRecord&) override {}
};

// ---- Haptics
// -------------------------------------------------------------------------------------

TEST(HapticEventForPulses, CountAndLengthBecomeTheEventAndItsTimeout) {
    struct Case {
        int32_t count, duration;
        std::optional<int> timeout;  // none: no vibration at all
    };
    const Case cases[] = {
        {1, 200, -1}, {2, 200, 1}, {3, 2000, 7},  {2, 300, 1},   {0, 200, {}},
        {4, 200, {}}, {2, 0, {}},  {2, 2001, {}}, {-1, 200, {}}, {1, -5, {}},
    };
    for (const Case& c : cases) {
        const std::optional<HapticEvent> event = HapticEventForPulses(c.count, c.duration);
        ASSERT_EQ(event.has_value(), c.timeout.has_value()) << c.count << " x " << c.duration;
        if (!event) continue;
        EXPECT_EQ(event->event, QStringLiteral("message-new-instant"));
        EXPECT_EQ(event->timeout, *c.timeout) << c.count << " x " << c.duration;
    }
}

class HapticsTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        if (bus.Address().isEmpty()) GTEST_SKIP() << "no dbus-daemon";
        led = folders.DataDir() + "brightness";
        WriteFileBytes(led, "untouched");
        client = bus.Connect();
        haptics = std::make_unique<FeedbackHaptics>(client);
        devices = std::make_unique<SystemAlertDevices>(player, LedVibrator(led));
        devices->SetHaptics(haptics.get());
        notification = std::make_unique<MessageNotification>(bubble, *devices);
        notification->SetWindowExists(true);
    }
    void TearDown() override {
        notification.reset();
        devices.reset();
        haptics.reset();
        UiTest::TearDown();
    }
    // A message as the history reports one, the default two pulses of 200 ms.
    void Message() {
        notification->NotifyNewMessage(MessageNotification::kIcon, u"New message", u"Dismiss",
                                       u"Open", u"hi", 2, 200, u"");
        notification->WaitForAlerts();
    }
    PrivateBus bus;
    IsolatedFolders folders;
    std::string led;
    QDBusConnection client{QString()};
    SoundPlayer player;
    NoBubble bubble;
    std::unique_ptr<FeedbackHaptics> haptics;
    std::unique_ptr<SystemAlertDevices> devices;
    std::unique_ptr<MessageNotification> notification;
};

TEST_F(HapticsTest, AMessageIsOneDaemonEventWithoutWaitingAndTheLedOnlyWithoutTheDaemon) {
    // No daemon yet: the LED pulses.
    PumpUntil([] { return false; }, 100);
    Message();
    EXPECT_EQ(ReadFileBytes(led), "0") << "the LED vibrator was not used";

    // A daemon that never answers: one event each, and no alert waits for it.
    WriteFileBytes(led, "untouched");
    std::atomic<bool> answers{false};
    auto daemon = std::make_unique<FakeService>(
        bus, QString::fromLatin1(FeedbackHaptics::kService),
        QString::fromLatin1(FeedbackHaptics::kPath),
        [&](const QDBusMessage& call, const QDBusConnection& c) {
            return answers && c.send(call.createReply(QVariant::fromValue(7u)));
        });
    ASSERT_TRUE(PumpUntil([&] { return haptics->Present(); }));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 3; ++i) Message();
    EXPECT_LT(timer.elapsed(), 1000) << "an alert waited for the daemon";
    const auto triggers = [&] { return daemon->Calls(QStringLiteral("TriggerFeedback")); };
    ASSERT_TRUE(PumpUntil([&] { return triggers().size() >= 3; }));
    PumpUntil([] { return false; }, 200);  // nothing more comes
    ASSERT_EQ(triggers().size(), 3u);
    const QDBusMessage call = triggers()[0];
    EXPECT_EQ(call.signature(), QStringLiteral("ssa{sv}i"));
    const QVariantList args = call.arguments();
    EXPECT_EQ(args.value(0).toString(), QStringLiteral("org.zul.Zul"));
    EXPECT_EQ(args.value(1).toString(), QStringLiteral("message-new-instant"));
    EXPECT_EQ(qdbus_cast<QVariantMap>(args.value(2)).value(QStringLiteral("profile")).toString(),
              QStringLiteral("quiet"))
        << "the program plays its own sound";
    EXPECT_EQ(args.value(3).toInt(), 1);
    EXPECT_EQ(ReadFileBytes(led), "untouched");

    // Removing the notification ends the event the daemon named.
    answers = true;
    Message();
    PumpUntil([] { return false; }, 200);  // the answer arrives
    notification->RemoveNotification();
    const auto ends = [&] { return daemon->Calls(QStringLiteral("EndFeedback")); };
    ASSERT_TRUE(PumpUntil([&] { return ends().size() == 1; }));
    EXPECT_EQ(ends()[0].arguments().value(0).toUInt(), 7u);

    // The daemon goes: the LED takes over again.
    daemon.reset();
    ASSERT_TRUE(PumpUntil([&] { return !haptics->Present(); }));
    Message();
    EXPECT_EQ(ReadFileBytes(led), "0");
}

// ---- Message notifications people answer ------------------------------------------------------

const QString kNotifyName = QStringLiteral("org.freedesktop.Notifications");
const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");

// A notification service with typed answers; Notify gives out ids from 41 (or keeps the one
// it replaces).
std::unique_ptr<FakeService> StartNotificationServer(PrivateBus& bus) {
    auto next = std::make_shared<std::atomic<uint>>(41);
    return std::make_unique<FakeService>(
        bus, kNotifyName, kNotifyPath, [next](const QDBusMessage& call, const QDBusConnection& c) {
            if (call.member() == QStringLiteral("GetCapabilities"))
                return c.send(call.createReply(
                    QVariant(QStringList{QStringLiteral("body"), QStringLiteral("actions"),
                                         QStringLiteral("inline-reply")})));
            if (call.member() == QStringLiteral("Notify")) {
                const uint replaces = call.arguments().value(1).toUInt();
                const uint id = replaces != 0 ? replaces : next->fetch_add(1);
                return c.send(call.createReply(QVariant::fromValue(id)));
            }
            return c.send(call.createReply());
        });
}

bool IsMessageTo(const ReceivedFrame& f, const std::string& login, const std::string& text) {
    if (!f.IsSnac(0x04, 0x06)) return false;
    const Bytes data = f.snacData();
    // Cookie, channel, then the login as a counted string.
    if (data.size() < 11 + login.size() || data[10] != login.size() ||
        std::string(data.begin() + 11, data.begin() + 11 + static_cast<long>(login.size())) !=
            login)
        return false;
    Bytes wide;  // the text as UCS-2, as ICQ sends a non-ASCII-free text too
    for (char ch : text) wide.insert(wide.end(), {0, static_cast<uint8_t>(ch)});
    const auto contains = [&](const Bytes& needle) {
        return std::search(data.begin(), data.end(), needle.begin(), needle.end()) != data.end();
    };
    return contains(Bytes(text.begin(), text.end())) || contains(wide);
}

class ChatNotificationsTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        if (bus.Address().isEmpty()) GTEST_SKIP() << "no dbus-daemon";
        harness = std::make_unique<SessionHarness>();
        server = StartNotificationServer(bus);
        ASSERT_TRUE(server->Registered());
        client = bus.Connect();
        window = std::make_unique<MainWindow>();
        notifier = std::make_unique<DesktopNotifier>(*window, client);
        notifier->findContact = [this](const MessageNotification::Sender& sender) -> ContactPtr {
            if (sender.accountId != harness->Account().ID()) return nullptr;
            return harness->Contacts().FindContact(&harness->Account(), sender.login);
        };
        notifier->openChat = [this](const MessageNotification::Sender& sender) {
            opened.push_back(sender.login);
            return true;
        };
        ASSERT_TRUE(harness->SignOn(0));
        ASSERT_TRUE(PumpUntil([&] { return notifier->Chats().CapabilitiesKnown(); }));
    }
    void TearDown() override {
        notifier.reset();
        window.reset();
        harness.reset();
        server.reset();
        UiTest::TearDown();
    }
    MessageNotification::Sender From(const std::u16string& login) {
        return {harness->Account().ID(), login};
    }
    void Receive(const std::string& login, const std::string& text) {
        harness->ServerSends(0x04, 0x07, Channel1Message(login, 0, Utf8(text)));
    }
    std::vector<QDBusMessage> Notes() { return server->Calls(QStringLiteral("Notify")); }
    void Emit(const QString& signal, const QVariantList& args) {
        server->Emit(kNotifyName, signal, args);
    }

    PrivateBus bus;
    std::unique_ptr<SessionHarness> harness;
    std::unique_ptr<FakeService> server;
    QDBusConnection client{QString()};
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<DesktopNotifier> notifier;
    std::vector<std::u16string> opened;
};

TEST_F(ChatNotificationsTest, AContactsMessagesCollapseAndAnInlineReplyGoesToTheSender) {
    Receive("777", "first");
    Receive("777", "second");
    Receive("888", "other");
    ASSERT_TRUE(PumpUntil([&] {
        return notifier->Chats().Count(From(u"777")) == 2 &&
               notifier->Chats().ServerId(From(u"777")) != 0 &&
               notifier->Chats().ServerId(From(u"888")) != 0;
    }));
    const uint id = notifier->Chats().ServerId(From(u"777"));
    const uint otherId = notifier->Chats().ServerId(From(u"888"));
    EXPECT_NE(id, otherId) << "each contact has a notification of its own";
    PumpUntil([] { return false; }, 200);
    // Every notification of 777 after the first replaces it; the last shows the count.
    QDBusMessage last;
    for (const QDBusMessage& note : Notes()) {
        if (!note.arguments().value(3).toString().startsWith(QStringLiteral("777"))) continue;
        if (last.type() != QDBusMessage::InvalidMessage) {
            EXPECT_EQ(note.arguments().value(1).toUInt(), id);
        }
        last = note;
    }
    ASSERT_EQ(last.arguments().size(), 8);
    EXPECT_EQ(last.arguments()[3].toString(), QStringLiteral("777 (2)"));
    EXPECT_EQ(last.arguments()[4].toString(), QStringLiteral("first\nsecond"));
    EXPECT_EQ(last.arguments()[5].toStringList(),
              (QStringList{QStringLiteral("default"), QStringLiteral("Open"),
                           QStringLiteral("inline-reply"), QStringLiteral("Reply")}));

    // Hostile answers change nothing: an id not ours, the wrong types, an action not offered,
    // the right answer from somebody who is not the service.
    const auto isReply = [](const ReceivedFrame& f) { return IsMessageTo(f, "777", "on my way"); };
    const QVariant ours = QVariant::fromValue(id);
    const std::pair<const char*, QVariantList> bad[] = {
        {"NotificationReplied", {QVariant::fromValue(id + 100), QStringLiteral("x")}},
        {"NotificationReplied", {QStringLiteral("41"), QStringLiteral("x")}},
        {"NotificationReplied", {ours, 5}},
        {"ActionInvoked", {ours, QStringLiteral("grant")}}};
    for (const auto& [signal, args] : bad) Emit(QString::fromLatin1(signal), args);
    QDBusConnection stranger = bus.Connect();
    EmitFrom(stranger, kNotifyPath, kNotifyName, QStringLiteral("NotificationReplied"),
             {ours, QStringLiteral("forged")});
    PumpUntil([] { return false; }, 500);
    const size_t messagesBefore =
        harness->ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x06));
    EXPECT_EQ(messagesBefore, 0u);
    EXPECT_EQ(notifier->Chats().Count(From(u"777")), 2);

    Emit(QStringLiteral("NotificationReplied"),
         {QVariant::fromValue(id), QStringLiteral(" on my way ")});
    EXPECT_TRUE(PumpUntil([&] { return harness->ServiceServer().CountFrames(isReply) == 1; }));
    EXPECT_EQ(notifier->Chats().Count(From(u"777")), 0) << "answered: the notification goes";
    EXPECT_EQ(server->Calls(QStringLiteral("CloseNotification")).size(), 1u);

    // The default action opens the chat of that contact.
    Emit(QStringLiteral("ActionInvoked"),
         {QVariant::fromValue(otherId), QStringLiteral("default")});
    ASSERT_TRUE(PumpUntil([&] { return !opened.empty(); }));
    EXPECT_EQ(opened, std::vector<std::u16string>{u"888"});
    EXPECT_EQ(notifier->Chats().Count(From(u"888")), 0);
    EXPECT_EQ(harness->ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x06)), 1u);
}

TEST_F(ChatNotificationsTest, AnAuthorisationRequestOffersGrantAndDeny) {
    // From somebody not known yet (SNAC 0x13,0x19: the login, a reason, two bytes).
    harness->ServerSends(0x13, 0x19,
                         Bytes{3, '5', '5', '5', 0, 6, 'm', 'a', 'y', ' ', 'I', '?', 0, 0});
    ASSERT_TRUE(PumpUntil([&] { return notifier->Chats().ServerId(From(u"555")) != 0; }));
    ContactPtr asker = harness->Contacts().FindContact(&harness->Account(), u"555");
    ASSERT_TRUE(asker);
    const uint id = notifier->Chats().ServerId(From(u"555"));
    PumpUntil([] { return false; }, 200);
    ASSERT_EQ(Notes().size(), 1u);
    EXPECT_EQ(Notes().back().arguments().value(5).toStringList(),
              (QStringList{QStringLiteral("default"), QStringLiteral("Open"),
                           QStringLiteral("grant"), QStringLiteral("Grant authorisation"),
                           QStringLiteral("deny"), QStringLiteral("Deny authorisation")}));
    // A typed answer is no answer to the request.
    Emit(QStringLiteral("NotificationReplied"), {QVariant::fromValue(id), QStringLiteral("ok")});
    Emit(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("grant")});
    ASSERT_TRUE(PumpUntil([&] { return !asker->AuthAsked(); }));
    // The account's idle pass sends the grant (SNAC 0x13,0x1A): the login, then 1.
    const std::optional<ReceivedFrame> answer = harness->ServiceServer().WaitForFrame(
        ScriptedServer::IsSnac(0x13, 0x1A), std::chrono::seconds(5));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->snacData(), (Bytes{3, '5', '5', '5', 1, 0, 0}));
    EXPECT_EQ(harness->ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x06)), 0u);
}

// The device side that only records the sounds.
class SoundRecorder : public IAlertDevices {
  public:
    void PlaySound(const std::u16string& file) override {
        std::lock_guard lock(mutex);
        sounds.push_back(file);
    }
    bool SilentMode() override { return false; }
    void SetVibrator(int, bool) override {}
    void Sleep(int) override {}
    size_t Sounds() {
        std::lock_guard lock(mutex);
        return sounds.size();
    }
    std::mutex mutex;
    std::vector<std::u16string> sounds;
};

TEST(SeenChat, AMessageToTheChatInFrontShowsNothingAndSoundsOnlyWhenAsked) {
    SessionHarness h;
    NoBubble bubble;
    SoundRecorder devices;
    MessageNotification notification(bubble, devices);
    notification.SetWindowExists(true);
    std::atomic<int> shown{0};
    notification.SetContactSink({[&](const auto&, const auto&, const auto&) { ++shown; }, {}});
    ASSERT_TRUE(h.SignOn(0));
    h.ServerSends(0x04, 0x07, Channel1Message("777", 0, Utf8("one")));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return shown.load() == 1; }));
    ContactPtr contact = h.Contacts().FindContact(&h.Account(), u"777");
    ASSERT_TRUE(contact);
    notification.WaitForAlerts();
    EXPECT_EQ(devices.Sounds(), 1u);

    contact->History().SetChatState(true, true, true);
    for (const bool soundInChat : {false, true}) {
        Options().NotifSoundInChat = soundInChat ? 1 : 0;
        const size_t before = devices.Sounds();
        h.ServerSends(0x04, 0x07, Channel1Message("777", 0, Utf8(soundInChat ? "b" : "a")));
        ASSERT_TRUE(SessionHarness::WaitUntil(
            [&] { return LastMessageFrom(u"777") == (soundInChat ? u"b" : u"a"); }));
        notification.WaitForAlerts();
        EXPECT_EQ(devices.Sounds(), before + (soundInChat ? 1 : 0)) << soundInChat;
    }
    EXPECT_EQ(shown.load(), 1) << "no notification for the chat in front";
    contact->History().SetChatState(false, false, false);
    Options().NotifSoundInChat = 0;
}

// ---- Sleep and resume ---------------------------------------------------------------------------

const QString kLogindName = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kNmName = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");

// A logind whose inhibitor locks are the write end of a pipe: the read end hangs up once the
// client has closed its lock.
class FakeLogind {
  public:
    FakeLogind(PrivateBus& bus, bool answers) {
        if (::pipe(pipe_) != 0) pipe_[0] = pipe_[1] = -1;
        service = std::make_unique<FakeService>(
            bus, kLogindName, kLogindPath,
            [this, answers](const QDBusMessage& call, const QDBusConnection& c) {
                if (!answers || call.member() != QStringLiteral("Inhibit")) return false;
                std::lock_guard lock(mutex_);
                if (pipe_[1] < 0) return false;
                const bool sent = c.send(
                    call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(pipe_[1]))));
                // The client's copy is the only one left.
                ::close(pipe_[1]);
                pipe_[1] = -1;
                return sent;
            });
    }
    ~FakeLogind() {
        service.reset();
        for (int fd : pipe_)
            if (fd >= 0) ::close(fd);
    }
    // Whether a lock handed out is still held (the pipe's write end open somewhere).
    bool LockHeld() {
        pollfd p{pipe_[0], POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    void PrepareForSleep(const QVariant& sleeping) {
        service->Emit(kLogindManager, QStringLiteral("PrepareForSleep"), {sleeping});
    }
    std::unique_ptr<FakeService> service;

  private:
    std::mutex mutex_;
    int pipe_[2] = {-1, -1};
};

class SleepTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        if (bus.Address().isEmpty()) GTEST_SKIP() << "no dbus-daemon";
        harness = std::make_unique<SessionHarness>();
        ASSERT_TRUE(harness->SignOn(kStatusAway));
    }
    void TearDown() override {
        watcher.reset();
        harness.reset();
        UiTest::TearDown();
    }
    void Watch() {
        watcher = std::make_unique<SleepWatcher>(
            bus.Connect(), [this] { return std::vector<CAccount*>{&harness->Account()}; });
    }
    CAccount& Account() { return harness->Account(); }
    bool SignedOff() { return Account().Status() == kStatusOffline && !Account().SessionRunning(); }
    size_t SignOffFrames() {
        return harness->ServiceServer().CountFrames(ScriptedServer::IsChannel(4));
    }
    size_t OfflineMessageRequests() {
        return harness->ServiceServer().CountFrames(
            [](const ReceivedFrame& f) { return MetaRequestType(f) == 0x003C; });
    }

    PrivateBus bus;
    std::unique_ptr<SessionHarness> harness;
    std::unique_ptr<SleepWatcher> watcher;
};

TEST_F(SleepTest, SignsOffBeforeTheSleepAndOnAgainAfterItOnceTheNetworkIsUp) {
    FakeLogind logind(bus, true);
    Watch();
    ASSERT_TRUE(PumpUntil([&] { return watcher->HoldsInhibitor() && logind.LockHeld(); }));
    const size_t offlineRequests = OfflineMessageRequests();

    QElapsedTimer clock;
    clock.start();
    logind.PrepareForSleep(true);
    ASSERT_TRUE(PumpUntil([&] { return SignedOff() && SignOffFrames() == 1; }, 3000));
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_TRUE(PumpUntil([&] { return !logind.LockHeld(); }, 3000)) << "the sleep is held back";
    EXPECT_FALSE(watcher->HoldsInhibitor());
    EXPECT_EQ(Account().RequestedStatus(), kStatusAway) << "the status is kept";
    EXPECT_EQ(watcher->Kept(),
              (std::vector<std::pair<int32_t, int32_t>>{{Account().ID(), kStatusAway}}));

    clock.restart();
    logind.PrepareForSleep(false);
    ASSERT_TRUE(PumpUntil([&] { return Account().Status() == kStatusAway; }, 10000));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(PumpUntil([&] { return OfflineMessageRequests() > offlineRequests; }));

    // NetworkManager says the network is down after the next sleep: the sign-on waits for it.
    FakeService nm(bus, kNmName, kNmPath, [](const QDBusMessage& call, const QDBusConnection& c) {
        return c.send(call.createReply(QVariant::fromValue(QDBusVariant(QVariant(20u)))));
    });
    ASSERT_TRUE(PumpUntil([&] { return !watcher->NetworkUp(); }));
    logind.PrepareForSleep(true);
    ASSERT_TRUE(PumpUntil([&] { return SignedOff(); }, 3000));
    logind.PrepareForSleep(false);
    PumpUntil([] { return false; }, 500);
    EXPECT_EQ(Account().Status(), kStatusOffline);
    EXPECT_FALSE(Account().SessionRunning());
    nm.Emit(kNmName, QStringLiteral("StateChanged"), {QVariant::fromValue(70u)});
    EXPECT_TRUE(PumpUntil([&] { return Account().Status() == kStatusAway; }, 10000));
}

TEST_F(SleepTest, BadSignalsAndALogindThatNeverAnswersChangeNothingAndBlockNothing) {
    FakeLogind logind(bus, false);
    Watch();
    // Wrong types, and the right signal from somebody who is not logind.
    logind.PrepareForSleep(QStringLiteral("true"));
    logind.PrepareForSleep(1);
    QDBusConnection stranger = bus.Connect();
    EmitFrom(stranger, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"), {true});
    QElapsedTimer clock;
    clock.start();
    PumpUntil([] { return false; }, 500);
    EXPECT_LT(clock.elapsed(), 1500) << "the window thread waited";
    EXPECT_EQ(Account().Status(), kStatusAway);
    EXPECT_FALSE(watcher->Asleep());

    // The lock never comes: the sign-off does not wait for it.
    logind.PrepareForSleep(true);
    EXPECT_TRUE(PumpUntil([&] { return SignedOff(); }, 3000));
    EXPECT_FALSE(watcher->HoldsInhibitor());
    logind.PrepareForSleep(false);
    EXPECT_TRUE(PumpUntil([&] { return Account().Status() == kStatusAway; }, 10000));
}

}  // namespace
}  // namespace zul::test
