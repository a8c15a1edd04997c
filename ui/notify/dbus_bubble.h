// DBusBubble: the notification bubble as a desktop notification, through the
// org.freedesktop.Notifications service on the session bus. A shown bubble is updated in
// place (replaces_id); its two keys are the notification's actions, and an invoked action
// becomes the key's command. Without a notification service adding fails, which the
// notification already handles.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "ui/notify/message_notification.h"

namespace zul {

struct NotificationImage;

// The bubble's HTML as the body markup of a desktop notification: the html/body wrapper
// goes, "<br>" becomes a line break; without markup support the tags go and the entities are
// resolved, so that the text still reads as written.
QString BubbleBody(const std::u16string& html, bool markup);

class DBusBubble : public QObject, public INotificationBubble {
    Q_OBJECT
  public:
    static const char* const kService;
    static const char* const kPath;
    static const char* const kInterface;
    static constexpr int kCallTimeoutMs = 5000;

    explicit DBusBubble(const QDBusConnection& bus, QObject* parent = nullptr);

    // Any thread.
    bool Add(const BubbleRecord& record) override;
    bool Update(const BubbleRecord& record, bool withText) override;
    void Remove(const BubbleRecord& record) override;
    // The service's "Inhibited" property (do-not-disturb, where the service has it).
    bool Inhibited() override;

    // The id the notification service gave the bubble; 0 while none is shown.
    uint32_t ServerId() const { return serverId_.load(); }

    // Run on the object's thread: an action of the bubble was invoked (its command), or the
    // service closed the bubble by itself.
    std::function<void(int command)> onCommand;
    std::function<void()> onClosed;

  private slots:
    void OnActionInvoked(uint id, const QString& key);
    void OnNotificationClosed(uint id, uint reason);

  private:
    bool Send(const BubbleRecord& record, uint32_t replaces, const QString& body);
    bool ServerHasMarkup();

    QDBusConnection bus_;
    std::atomic<uint32_t> serverId_{0};
    std::mutex mutex_;  // guards the two below
    QString body_;      // the text shown now
    int markup_ = -1;   // whether the service takes body markup; -1 not asked yet
    std::shared_ptr<const NotificationImage> image_;  // the icon, as the "image-data" hint
};

}  // namespace zul
