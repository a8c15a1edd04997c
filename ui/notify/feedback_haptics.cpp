#include "ui/notify/feedback_haptics.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace zul {
namespace {

// The same limits the LED pulses keep.
constexpr int32_t kMaxPulses = 3;
constexpr int32_t kMaxPulseMs = 2000;
constexpr int32_t kPauseMs = 200;

}  // namespace

const char* const FeedbackHaptics::kService = "org.sigxcpu.Feedback";
const char* const FeedbackHaptics::kPath = "/org/sigxcpu/Feedback";
const char* const FeedbackHaptics::kInterface = "org.sigxcpu.Feedback";
const char* const FeedbackHaptics::kAppId = "org.zul.Zul";
const char* const FeedbackHaptics::kMessageEvent = "message-new-instant";

std::optional<HapticEvent> HapticEventForPulses(int32_t count, int32_t durationMs) {
    if (count <= 0 || count > kMaxPulses || durationMs <= 0 || durationMs > kMaxPulseMs)
        return std::nullopt;
    HapticEvent event{QString::fromLatin1(FeedbackHaptics::kMessageEvent), -1};
    // Several pulses: the event repeats for as long as the pulses and their pauses would
    // have taken, in whole seconds.
    if (count > 1) event.timeout = (count * (durationMs + kPauseMs) + 999) / 1000;
    return event;
}

FeedbackHaptics::FeedbackHaptics(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
    if (!bus_.isConnected()) return;
    const QString service = QString::fromLatin1(kService);
    watcher_ =
        new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                ownerSignalSeen_ = true;
                OwnerChanged(!newOwner.isEmpty());
            });
    // Whether it runs already, asked without waiting; an owner change heard first wins.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << service;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<bool> reply = *w;
        if (reply.isValid() && !ownerSignalSeen_) OwnerChanged(reply.value());
        w->deleteLater();
    });
}

void FeedbackHaptics::OwnerChanged(bool present) {
    present_.store(present);
}

bool FeedbackHaptics::Trigger(const HapticEvent& event) {
    if (!present_.load() || !bus_.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
        QStringLiteral("TriggerFeedback"));
    QVariantMap hints;
    // The program plays its own sound: the daemon gives the haptic part (and its LED).
    hints.insert(QStringLiteral("profile"), QStringLiteral("quiet"));
    call << QString::fromLatin1(kAppId) << event.event << hints << event.timeout;
    // Nothing waits for the answer (the event's id, kept for Stop): a daemon that never
    // answers costs a pending call that times out.
    call.setAutoStartService(false);
    lastId_.store(0);
    return bus_.callWithCallback(call, this, SLOT(OnTriggered(uint)), kCallTimeoutMs);
}

void FeedbackHaptics::OnTriggered(uint id) {
    lastId_.store(id);
}

void FeedbackHaptics::Stop() {
    const uint32_t id = lastId_.exchange(0);
    if (id == 0 || !bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
        QStringLiteral("EndFeedback"));
    call << static_cast<uint>(id);
    call.setAutoStartService(false);
    bus_.send(call);
}

}  // namespace zul
