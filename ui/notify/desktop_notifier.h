// DesktopNotifier: the new-message notification of this system, put together for a main
// window: the bubble as a desktop notification on the session bus, the sound, the silent
// profile and the LED vibrator. The shell makes one after the main window and installs its
// hooks; destroying it removes the bubble.
#pragma once

#include <QDBusConnection>

#include "ui/framework/main_window.h"
#include "ui/notify/dbus_bubble.h"
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

    // Sets the window's notification hooks: removal when the accounts or contacts page is
    // shown, and the bubble's two keys (commands 100 and 101).
    void InstallHooks(MainWindow::Hooks& hooks);
    // Opens the chat of a message's sender; false when it is not known (set by the shell).
    std::function<bool(const MessageNotification::Sender&)> openChat;

  private:
    MainWindow& window_;
    SoundPlayer sound_;
    SystemAlertDevices devices_;
    DBusBubble bubble_;
    MessageNotification notification_;
};

}  // namespace zul
