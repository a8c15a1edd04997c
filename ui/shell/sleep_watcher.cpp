#include "ui/shell/sleep_watcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>

#include "accounts/account.h"
#include "storage/status.h"
#include "ui/shell/platform_services.h"

namespace zul {
namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
constexpr int kSignOffPollMs = 20;

// Whether a name has an owner on the bus, asked without waiting.
void AskOwner(QDBusConnection& bus, const QString& name, QObject* context,
              std::function<void(bool known, bool owned)> done) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << name;
    auto* pending =
        new QDBusPendingCallWatcher(bus.asyncCall(call, SleepWatcher::kCallTimeoutMs), context);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher* w) {
                         const QDBusPendingReply<bool> reply = *w;
                         done(reply.isValid(), reply.isValid() && reply.value());
                         w->deleteLater();
                     });
}

}  // namespace

SleepWatcher::SleepWatcher(const QDBusConnection& systemBus, AccountList accounts, QObject* parent)
    : QObject(parent), bus_(systemBus), accounts_(std::move(accounts)) {
    signOffTimer_ = new QTimer(this);
    signOffTimer_->setInterval(kSignOffPollMs);
    connect(signOffTimer_, &QTimer::timeout, this, &SleepWatcher::CheckSignOffs);
    if (!bus_.isConnected()) return;

    bus_.connect(kLogindService, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"),
                 this, SLOT(OnPrepareForSleep(bool)));
    logindWatcher_ = new QDBusServiceWatcher(kLogindService, bus_,
                                             QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(logindWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                // A lock of a logind that went away means nothing any more.
                inhibitor_.reset();
                if (!owner.isEmpty()) TakeInhibitor();
            });
    TakeInhibitor();

    bus_.connect(kNmService, kNmPath, kNmService, QStringLiteral("StateChanged"), this,
                 SLOT(OnNetworkState(uint)));
    networkWatcher_ =
        new QDBusServiceWatcher(kNmService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(networkWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                networkSignalSeen_ = false;
                // Without NetworkManager the network counts as up.
                if (owner.isEmpty())
                    NetworkChanged(true);
                else
                    AskNetworkState();
            });
    AskOwner(bus_, kNmService, this, [this](bool known, bool owned) {
        if (known && owned) AskNetworkState();
    });
}

SleepWatcher::~SleepWatcher() {
    ReleaseInhibitor();
}

void SleepWatcher::TakeInhibitor() {
    if (inhibitor_ || inhibitorAsked_ || !bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("zul")
         << QStringLiteral("Signing off from the messaging network") << QStringLiteral("delay");
    inhibitorAsked_ = true;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        inhibitorAsked_ = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (!reply.isValid() || !reply.value().isValid()) return;
        // Come while a sleep is under way and its sign-offs are done: it would only hold the
        // sleep back; closed here at once (with the reply).
        if (asleep_ && !signingOff_) return;
        inhibitor_ = reply.value();
    });
}

void SleepWatcher::ReleaseInhibitor() {
    // Closing the descriptor is what lets the sleep go on.
    inhibitor_.reset();
}

void SleepWatcher::OnPrepareForSleep(bool sleeping) {
    if (sleeping) {
        if (asleep_) return;
        asleep_ = true;
        SignOffForSleep();
        return;
    }
    if (!asleep_) return;
    signingOff_ = false;
    signOffTimer_->stop();
    asleep_ = false;
    TakeInhibitor();
    if (networkUp_) SignOnAgain();
    // Otherwise the network's coming up signs them on.
}

void SleepWatcher::SignOffForSleep() {
    kept_.clear();
    for (CAccount* account : accounts_()) {
        if (account == nullptr) continue;
        if (account->Status() == kStatusOffline && !account->SessionRunning()) continue;
        const int32_t status = account->RequestedStatus();
        if (status == kStatusOffline) continue;
        kept_.emplace_back(account->ID(), status);
        // Not saved as offline: the profile keeps the status for the next start.
        account->Disconnect(false);
    }
    signingOff_ = true;
    signOffClock_.start();
    signOffTimer_->start();
    CheckSignOffs();
}

void SleepWatcher::CheckSignOffs() {
    if (!signingOff_) return;
    bool done = true;
    for (CAccount* account : accounts_()) {
        if (account == nullptr) continue;
        const bool kept = std::any_of(kept_.begin(), kept_.end(),
                                      [&](const auto& k) { return k.first == account->ID(); });
        if (kept && (account->SessionRunning() || !account->SessionIdle())) done = false;
    }
    if (!done && signOffClock_.elapsed() < kSignOffLimitMs) return;
    signingOff_ = false;
    signOffTimer_->stop();
    ReleaseInhibitor();
}

void SleepWatcher::SignOnAgain() {
    std::vector<std::pair<int32_t, int32_t>> kept;
    kept.swap(kept_);
    for (CAccount* account : accounts_()) {
        if (account == nullptr) continue;
        for (const auto& [id, status] : kept) {
            // An account the user signed on meanwhile is left as it is.
            if (id == account->ID() && account->Status() == kStatusOffline)
                account->RequestStatus(status);
        }
    }
}

void SleepWatcher::AskNetworkState() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kNmService, kNmPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << kNmService << QStringLiteral("State");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (!reply.isValid() || networkSignalSeen_) return;
        const QVariant value = reply.value().variant();
        // A state of another type is no state.
        if (value.metaType().id() != QMetaType::UInt) return;
        NetworkChanged(ConnectionStatusForNetworkManagerState(value.toUInt()) == kConnStatusUsable);
    });
}

void SleepWatcher::OnNetworkState(uint state) {
    networkSignalSeen_ = true;
    NetworkChanged(ConnectionStatusForNetworkManagerState(state) == kConnStatusUsable);
}

void SleepWatcher::NetworkChanged(bool up) {
    networkUp_ = up;
    // A resume that waited for the network.
    if (networkUp_ && !asleep_ && !kept_.empty()) SignOnAgain();
}

}  // namespace zul
