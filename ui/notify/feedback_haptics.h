// FeedbackHaptics: the vibration of an alert as an event of the haptic feedback daemon
// (org.sigxcpu.Feedback on the session bus), where one runs. The daemon's presence is
// followed from the bus's name-owner signals and one asynchronous question at the start, so
// that asking whether it is there never waits; a trigger is sent without waiting for its
// answer. Where no daemon runs, the alert falls back to the LED vibrator.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <optional>

class QDBusServiceWatcher;

namespace zul {

// What one alert asks of the daemon: an event of its theme and how long it plays.
struct HapticEvent {
    QString event;
    // The daemon's timeout: -1 plays the event once, n > 0 repeats it for n seconds.
    int timeout = -1;
};

// The pulses an alert would give (their count and length in ms, as the options hold them)
// as a daemon event; none when the alert does not vibrate (no pulses, or values outside
// what the LED vibrator accepts either).
std::optional<HapticEvent> HapticEventForPulses(int32_t count, int32_t durationMs);

class FeedbackHaptics : public QObject {
    Q_OBJECT
  public:
    static const char* const kService;
    static const char* const kPath;
    static const char* const kInterface;
    static const char* const kAppId;
    static const char* const kMessageEvent;
    static constexpr int kCallTimeoutMs = 5000;

    // Made on the window thread; follows the daemon on `bus` from then on.
    explicit FeedbackHaptics(const QDBusConnection& bus, QObject* parent = nullptr);

    // Any thread: whether the daemon was running when last heard of.
    bool Present() const { return present_.load(); }
    // Any thread, returns at once: sends the event when the daemon is present; false when it
    // is not (the caller vibrates by itself).
    bool Trigger(const HapticEvent& event);
    // Any thread, returns at once: ends the event triggered last, once the daemon has told its
    // id (an event whose answer is still on its way plays to its end).
    void Stop();

  private slots:
    void OnTriggered(uint id);

  private:
    void OwnerChanged(bool present);

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_ = nullptr;
    std::atomic<bool> present_{false};
    std::atomic<uint32_t> lastId_{0};
    bool ownerSignalSeen_ = false;  // window thread only
};

}  // namespace zul
