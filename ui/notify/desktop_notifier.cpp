#include "ui/notify/desktop_notifier.h"

namespace zul {

DesktopNotifier::DesktopNotifier(MainWindow& window, const QDBusConnection& bus)
    : window_(window),
      devices_(sound_),
      haptics_(bus),
      bubble_(bus),
      chats_(bus),
      notification_(bubble_, devices_) {
    devices_.SetHaptics(&haptics_);
    // Each contact's messages in a notification of their own.
    notification_.SetContactSink(MessageNotification::ContactSink{
        [this](const MessageNotification::Sender& sender, const std::u16string& name,
               const std::u16string& message) { chats_.Post(sender, name, message); },
        [this] { chats_.CloseAll(); }});
    chats_.findContact = [this](const MessageNotification::Sender& sender) {
        return findContact ? findContact(sender) : nullptr;
    };
    chats_.openChat = [this](const MessageNotification::Sender& sender) {
        window_.show();
        window_.raise();
        window_.activateWindow();
        return openChat && openChat(sender);
    };
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
