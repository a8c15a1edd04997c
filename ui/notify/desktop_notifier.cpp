#include "ui/notify/desktop_notifier.h"

namespace zul {

DesktopNotifier::DesktopNotifier(MainWindow& window, const QDBusConnection& bus)
    : window_(window), devices_(sound_), bubble_(bus), notification_(bubble_, devices_) {
    bubble_.onCommand = [this](int command) { window_.OnCommand(command); };
    bubble_.onClosed = [this] { notification_.BubbleClosed(); };
    notification_.SetWindowExists(true);
}

DesktopNotifier::~DesktopNotifier() {
    notification_.SetWindowExists(false);
    notification_.RemoveNotification();
}

void DesktopNotifier::InstallHooks(MainWindow::Hooks& hooks) {
    hooks.removeNotification = [this] { notification_.RemoveNotification(); };
    hooks.notificationKey = [this](int id) {
        HandleNotificationCommand(notification_, window_, id, openChat);
    };
}

}  // namespace zul
