// MessageNotification: the one new-message notification of the program. An incoming message
// shows a bubble outside the window (or adds its text to the bubble already shown), plays a
// sound and pulses the vibrator on a short-lived alert thread. The bubble goes when the user
// dismisses it, opens the program from it, reads or sends a message, or goes to the accounts
// or contacts page.
//
// The shell's bubble and the device (sound, silent mode, vibrator, sleep) are interfaces, so
// that the rules here are the same whatever shows the bubble.
//
// Messages reported by the history come from session threads that may hold the profile in
// the middle of a burst, so they are only queued there; a delivery thread adds them to the
// bubble, and shows what queued up meanwhile together, with one alert.
//
// An alert's pulses run on their own thread under their own lock, never under the
// notification lock: removing the bubble (on the window thread) only tells a running alert to
// stop, and returns at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "storage/history.h"

namespace zul {

class MainWindow;

// The notification record, field by field as the shell takes it. All zero while no bubble
// exists; `id` tells whether one does.
struct BubbleRecord {
    static constexpr uint32_t kSize = 88;
    static constexpr uint32_t kId = 0x12DFB89;
    static constexpr int32_t kPriorityInform = 433;
    static constexpr int32_t kUntilRemoved = -1;
    // Time shown in the title, silent (the program plays its own sound), straight to the tray.
    static constexpr uint32_t kFlags = 0xA1;

    uint32_t size = 0;
    uint32_t id = 0;
    int32_t priority = 0;
    int32_t duration = 0;
    int icon = 0;
    uint32_t flags = 0;
    std::u16string title;
    std::u16string html;
    std::u16string firstKey;
    int firstCommand = 0;
    std::u16string secondKey;
    int secondCommand = 0;
};

// The shell's bubble.
class INotificationBubble {
  public:
    virtual ~INotificationBubble() = default;
    // Shows a new bubble; false when none could be shown.
    virtual bool Add(const BubbleRecord& record) = 0;
    // Updates the title and flags of the bubble shown, and its text when `withText`.
    virtual bool Update(const BubbleRecord& record, bool withText) = 0;
    virtual void Remove(const BubbleRecord& record) = 0;
    // The desktop's do-not-disturb is on, as far as the notification service says: the
    // program then plays no sound and does not vibrate (the service holds the bubble back
    // itself). May wait for the service: never asked on the window thread.
    virtual bool Inhibited() { return false; }
};

// What the alert thread receives, as its own copy.
struct AlertParameters {
    int32_t duration = 0;  // one vibration pulse, ms (NotifVDuration)
    int32_t count = 0;     // pulses (NotifVCount)
    int device = 1;        // the vibrator's notification device
    std::u16string sound;  // NotifSound
    bool vibrate = true;   // false: the sound alone
};

// The device side of an alert.
class IAlertDevices {
  public:
    virtual ~IAlertDevices() = default;
    // Asynchronous; a file that cannot be played plays nothing.
    virtual void PlaySound(const std::u16string& file) = 0;
    // The device's silent profile ("Mode" 2 in the registry).
    virtual bool SilentMode() = 0;
    virtual void SetVibrator(int device, bool on) = 0;
    virtual void Sleep(int ms) = 0;
    // The whole vibration of an alert (its pulses' count and length) handed to a haptics
    // service in one go; false when none takes it, and the pulses are given one by one.
    virtual bool Haptic(int32_t count, int32_t duration) { return false; }
    // Ends what the haptics service still plays (never waits).
    virtual void StopHaptic() {}
};

class MessageNotification : public INewMessageNotifier {
  public:
    static constexpr int kIcon = 244;
    static constexpr size_t kTextLimit = 254;
    static constexpr int kPauseMs = 200;
    static constexpr int kCmdDismiss = 100;
    static constexpr int kCmdOpen = 101;

    // Becomes the process's instance (and the history's notifier) until destroyed.
    MessageNotification(INotificationBubble& bubble, IAlertDevices& devices);
    // Waits for the alert threads and removes the bubble.
    ~MessageNotification() override;
    MessageNotification(const MessageNotification&) = delete;
    MessageNotification& operator=(const MessageNotification&) = delete;

    static MessageNotification* Instance();

    // Nothing is shown while the main window does not exist.
    void SetWindowExists(bool exists) { windowExists_.store(exists); }

    void NotifyNewMessage(int icon, const std::u16string& title, const std::u16string& firstKey,
                          const std::u16string& secondKey, const std::u16string& text,
                          int32_t count, int32_t duration, const std::u16string& sound);
    // The history's call for an incoming message: escapes the name and the message and
    // queues them for the delivery thread; it never waits for the notification lock.
    void NotifyNewMessage(CContact& contact, const std::u16string& text) override;
    // A message to the chat the user is looking at: no bubble, and the sound alone when the
    // options ask for it (NotifSoundInChat).
    void NotifySeenMessage(CContact& contact) override;
    void RemoveNotification();
    // The shell took the bubble away by itself (the user closed it there).
    void BubbleClosed();

    bool Shown() const;
    BubbleRecord Record() const;
    // The accumulated inner text of the bubble.
    std::u16string Text() const;
    // Who sent the newest message the history reported (account 0: nobody yet); "Open" and a
    // click on the bubble open that chat.
    struct Sender {
        int32_t accountId = 0;
        std::u16string login;
    };
    Sender LastSender() const;
    // Where each contact's messages get a notification of their own: the history's messages
    // go to `show` (on the delivery thread; it must return at once) instead of the bubble, and
    // a removal of the notification calls `removeAll`. Set before the first message.
    struct ContactSink {
        std::function<void(const Sender&, const std::u16string& name,
                           const std::u16string& message)>
            show;
        std::function<void()> removeAll;
    };
    void SetContactSink(ContactSink sink) { sink_ = std::move(sink); }
    // Waits until the queued messages are shown and every alert thread started so far has
    // ended.
    void WaitForAlerts();

    // Queued messages beyond this are dropped: the bubble's text stops growing long before.
    static constexpr size_t kQueueLimit = 256;

  private:
    // Adds a text to the bubble (or shows a new one); the notification lock is held.
    void ShowLocked(int icon, const std::u16string& title, const std::u16string& firstKey,
                    const std::u16string& secondKey, const std::u16string& text);
    void DeliveryLoop();
    void StartAlert(const AlertParameters& params);
    void RunAlert(AlertParameters params, uint64_t generation);
    // Sleeps `ms` in short slices; false when the alert was told to stop meanwhile.
    bool AlertSleep(int ms, uint64_t generation);
    void ClearLocked();

    INotificationBubble& bubble_;
    IAlertDevices& devices_;
    mutable std::recursive_mutex lock_;  // the notification lock
    BubbleRecord record_;
    std::u16string text_;
    std::atomic<bool> windowExists_{false};
    struct AlertThread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex threadsMutex_;
    std::vector<AlertThread> threads_;
    // Alerts run one at a time under this lock; a removal or a newer alert bumps the
    // generation, and an alert of an older generation stops at its next slice.
    std::mutex alertMutex_;
    std::atomic<uint64_t> alertGeneration_{0};

    mutable std::mutex queueMutex_;  // a leaf: guards the members below
    std::condition_variable queueChanged_;
    struct Queued {
        Sender sender;
        std::u16string name;
        std::u16string message;  // as received
        std::u16string bubble;   // the escaped bubble text
    };
    std::vector<Queued> queued_;
    ContactSink sink_;
    Sender lastSender_;
    bool delivering_ = false;
    bool stopping_ = false;
    std::thread delivery_;  // started with the first queued message
};

// Text as bubble markup shows it literally: & < > " ' become entities.
std::u16string EscapeMarkup(std::u16string_view text);
// "<b>" + name + "</b> " + message, the two parts escaped.
std::u16string MessageBubbleText(std::u16string_view name, std::u16string_view message);

// Commands 100 ("Dismiss") and 101 ("Open") arriving at the main window. "Open" raises the
// window and opens the chat of the newest sender through `openChat` (the contact list when
// there is none, or it is not known any more).
void HandleNotificationCommand(
    MessageNotification& notification, MainWindow& window, int id,
    const std::function<bool(const MessageNotification::Sender&)>& openChat = {});

}  // namespace zul
