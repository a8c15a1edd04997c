// ChatNotifications: the messages of each contact as one desktop notification of their own
// (org.freedesktop.Notifications), which collapses the contact's messages into one with their
// count. Its default action opens the chat; where the service can take a typed answer
// ("inline-reply"), the answer is sent to the contact as a normal message; an authorisation
// request offers to grant or deny it.
//
// Everything runs on the object's thread (the window's) and nothing waits for the bus: every
// call is asynchronous, a service that never answers only leaves a call pending until its
// timeout. What arrives from the bus is checked before it is used: signals count only from
// the service's owner, with the right arguments, for a notification shown here.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/contacts.h"
#include "ui/notify/message_notification.h"

class QDBusServiceWatcher;

namespace zul {

class ChatNotifications : public QObject {
    Q_OBJECT
  public:
    using Sender = MessageNotification::Sender;
    static constexpr int kCallTimeoutMs = 5000;
    // The newest messages a notification shows; the count tells of the rest.
    static constexpr size_t kLinesShown = 3;
    // A typed answer longer than this is cut.
    static constexpr qsizetype kReplyLimit = 2000;
    // Action keys.
    static const char* const kOpenKey;
    static const char* const kReplyKey;
    static const char* const kGrantKey;
    static const char* const kDenyKey;

    explicit ChatNotifications(const QDBusConnection& bus, QObject* parent = nullptr);
    // Closes what is shown (without waiting).
    ~ChatNotifications() override;

    // Any thread, returns at once: a message of the sender, shown on the object's thread.
    void Post(const Sender& sender, const std::u16string& name, const std::u16string& message);
    // The object's thread.
    void Show(const Sender& sender, const std::u16string& name, const std::u16string& message);
    // Any thread: every notification goes (posted to the object's thread).
    void CloseAll();

    // The object's thread: the messages collapsed into the sender's notification (0: none
    // shown), and the id the service gave it (0 while none is known).
    int Count(const Sender& sender) const;
    uint32_t ServerId(const Sender& sender) const;
    // The service said it takes typed answers.
    bool OffersReply() const { return capabilities_.contains(QStringLiteral("inline-reply")); }
    bool CapabilitiesKnown() const { return capabilitiesKnown_; }

    // Set by the shell, called on the object's thread: open the sender's chat (false when it
    // is not known), and the contact a sender stands for (null when it is not known).
    std::function<bool(const Sender&)> openChat;
    std::function<ContactPtr(const Sender&)> findContact;

  private slots:
    void OnActionInvoked(uint id, const QString& key);
    void OnReplied(uint id, const QString& text);
    void OnClosed(uint id, uint reason);

  private:
    struct Entry {
        Sender sender;
        std::u16string name;
        std::vector<std::u16string> lines;  // the newest kLinesShown messages
        int count = 0;
        bool authRequest = false;
        uint32_t id = 0;       // the service's id; 0 until it answers
        bool sending = false;  // a Notify is under way
        bool resend = false;   // changed meanwhile: sent again once the id is known
    };

    void AskCapabilities();
    void Send(Entry& entry);
    void Close(uint32_t id);
    Entry* Find(const Sender& sender);
    const Entry* Find(const Sender& sender) const;
    Entry* FindById(uint id);
    void Forget(uint id);

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_ = nullptr;
    QStringList capabilities_;
    bool capabilitiesKnown_ = false;
    std::vector<Entry> entries_;
};

}  // namespace zul
