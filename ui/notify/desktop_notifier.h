// DesktopNotifier: the new-message notification of this system, put together for a main
// window: one desktop notification per contact on the session bus (the single bubble for
// the program's other notices), the sound, the silent
// profile, and the vibration through the haptic feedback daemon (the LED vibrator where none
// runs). The shell makes one after the main window and installs its
// hooks; destroying it removes the bubble.
#pragma once

#include <QDBusConnection>

#include "ui/framework/main_window.h"
#include "ui/notify/chat_notifications.h"
#include "ui/notify/dbus_bubble.h"
#include "ui/notify/feedback_haptics.h"
#include "ui/notify/message_notification.h"
#include "ui/notify/sound_player.h"
#include "ui/notify/system_alert_devices.h"

namespace zul {

class DesktopNotifier {
  public:
    explicit DesktopNotifier(MainWindow& window,
                             const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    MessageNotification& Notification() { return notification_; }
    DBusBubble& Bubble() { return bubble_; }
    FeedbackHaptics& Haptics() { return haptics_; }
    ChatNotifications& Chats() { return chats_; }

    // Sets the window's notification hooks: removal when the accounts or contacts page is
    // shown, and the bubble's two keys (commands 100 and 101).
    void InstallHooks(MainWindow::Hooks& hooks);
    // Opens the chat of a message's sender; false when it is not known (set by the shell).
    std::function<bool(const MessageNotification::Sender&)> openChat;
    // The contact a message's sender stands for; null when it is not known (set by the
    // shell). A typed answer from a notification goes to it.
    std::function<ContactPtr(const MessageNotification::Sender&)> findContact;

  private:
    MainWindow& window_;
    SoundPlayer sound_;
    SystemAlertDevices devices_;
    FeedbackHaptics haptics_;
    DBusBubble bubble_;
    ChatNotifications chats_;
    MessageNotification notification_;
};

}  // namespace zul
