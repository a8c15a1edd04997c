// SleepWatcher: the sessions around the machine's sleep, as logind announces it on the system
// bus (PrepareForSleep). Before the sleep every signed-on account signs off cleanly, the
// statuses it had are kept, and a "delay" inhibitor lock holds the sleep back until the
// sign-offs are done (a few seconds at most). After the resume the same accounts sign on again
// at once in those statuses, without a reconnect countdown, as soon as the network is up
// (NetworkManager's state; a bus without NetworkManager counts as up).
//
// Everything runs on the window thread and nothing waits for the bus: the calls are
// asynchronous, the signals count only from the services' owners and with their own
// arguments, and a service that never answers holds nothing back.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QDBusServiceWatcher;
class QTimer;

namespace zul {

class CAccount;

class SleepWatcher : public QObject {
    Q_OBJECT
  public:
    // The longest the sleep is held back for the sign-offs.
    static constexpr int kSignOffLimitMs = 2500;
    static constexpr int kCallTimeoutMs = 5000;
    using AccountList = std::function<std::vector<CAccount*>()>;

    SleepWatcher(const QDBusConnection& systemBus, AccountList accounts, QObject* parent = nullptr);
    // Lets the inhibitor go.
    ~SleepWatcher() override;

    // Whether the "delay" inhibitor is held now.
    bool HoldsInhibitor() const { return inhibitor_.has_value(); }
    bool NetworkUp() const { return networkUp_; }
    // Between the announcement of a sleep and the sign-on after it.
    bool Asleep() const { return asleep_; }
    // The accounts (by id) signed off for the sleep and the statuses they sign on in again.
    const std::vector<std::pair<int32_t, int32_t>>& Kept() const { return kept_; }

  private slots:
    void OnPrepareForSleep(bool sleeping);
    void OnNetworkState(uint state);

  private:
    void TakeInhibitor();
    void ReleaseInhibitor();
    void SignOffForSleep();
    void CheckSignOffs();
    void SignOnAgain();
    void AskNetworkState();
    void NetworkChanged(bool up);

    QDBusConnection bus_;
    AccountList accounts_;
    QDBusServiceWatcher* logindWatcher_ = nullptr;
    QDBusServiceWatcher* networkWatcher_ = nullptr;
    QTimer* signOffTimer_ = nullptr;
    QElapsedTimer signOffClock_;
    std::optional<QDBusUnixFileDescriptor> inhibitor_;
    bool inhibitorAsked_ = false;
    bool asleep_ = false;
    bool signingOff_ = false;
    bool networkUp_ = true;
    bool networkSignalSeen_ = false;
    std::vector<std::pair<int32_t, int32_t>> kept_;
};

}  // namespace zul
