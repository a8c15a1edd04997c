#include "ui/notify/chat_notifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>
#include <algorithm>

#include "accounts/account.h"
#include "platform/resources.h"
#include "storage/history.h"
#include "ui/notify/dbus_bubble.h"

namespace zul {
namespace {

constexpr int kTextOpen = 125;
constexpr int kTextGrant = 313;
constexpr int kTextDeny = 314;
constexpr int kTextReply = 1150;
const char kDesktopEntry[] = "org.zul.Zul";

QString Qs(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

QString Service() {
    return QString::fromLatin1(DBusBubble::kService);
}
QString Path() {
    return QString::fromLatin1(DBusBubble::kPath);
}
QString Interface() {
    return QString::fromLatin1(DBusBubble::kInterface);
}

bool SameSender(const MessageNotification::Sender& a, const MessageNotification::Sender& b) {
    return a.accountId == b.accountId && a.login == b.login;
}

}  // namespace

const char* const ChatNotifications::kOpenKey = "default";
const char* const ChatNotifications::kReplyKey = "inline-reply";
const char* const ChatNotifications::kGrantKey = "grant";
const char* const ChatNotifications::kDenyKey = "deny";

ChatNotifications::ChatNotifications(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
    if (!bus_.isConnected()) return;
    // Signals count only from the service's owner.
    bus_.connect(Service(), Path(), Interface(), QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(Service(), Path(), Interface(), QStringLiteral("NotificationReplied"), this,
                 SLOT(OnReplied(uint, QString)));
    bus_.connect(Service(), Path(), Interface(), QStringLiteral("NotificationClosed"), this,
                 SLOT(OnClosed(uint, uint)));
    // Another service (or the same one started again) may offer other things and knows
    // nothing of ours.
    watcher_ =
        new QDBusServiceWatcher(Service(), bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
        entries_.clear();
        AskCapabilities();
    });
    AskCapabilities();
}

ChatNotifications::~ChatNotifications() {
    for (const Entry& entry : entries_)
        if (entry.id != 0) Close(entry.id);
}

void ChatNotifications::AskCapabilities() {
    QDBusMessage call = QDBusMessage::createMethodCall(Service(), Path(), Interface(),
                                                       QStringLiteral("GetCapabilities"));
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QStringList> reply = *w;
        capabilities_ = reply.isValid() ? reply.value() : QStringList();
        capabilitiesKnown_ = reply.isValid();
        w->deleteLater();
    });
}

void ChatNotifications::Post(const Sender& sender, const std::u16string& name,
                             const std::u16string& message) {
    QMetaObject::invokeMethod(
        this, [this, sender, name, message] { Show(sender, name, message); }, Qt::QueuedConnection);
}

void ChatNotifications::CloseAll() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            for (const Entry& entry : entries_)
                if (entry.id != 0) Close(entry.id);
            entries_.clear();
        },
        Qt::AutoConnection);
}

void ChatNotifications::Show(const Sender& sender, const std::u16string& name,
                             const std::u16string& message) {
    if (!bus_.isConnected() || sender.accountId == 0) return;
    Entry* entry = Find(sender);
    if (entry == nullptr) {
        entries_.push_back(Entry{sender});
        entry = &entries_.back();
    }
    entry->name = name;
    ++entry->count;
    entry->lines.push_back(message);
    if (entry->lines.size() > kLinesShown) entry->lines.erase(entry->lines.begin());
    const ContactPtr contact = findContact ? findContact(sender) : nullptr;
    entry->authRequest = contact != nullptr && contact->AuthAsked();
    if (entry->sending) {
        entry->resend = true;
        return;
    }
    Send(*entry);
}

void ChatNotifications::Send(Entry& entry) {
    const bool markup = capabilities_.contains(QStringLiteral("body-markup"));
    QStringList body;
    for (const std::u16string& line : entry.lines)
        body << (markup ? Qs(EscapeMarkup(line)) : Qs(line));
    QString summary = Qs(entry.name);
    if (entry.count > 1) summary += QStringLiteral(" (%1)").arg(entry.count);

    QStringList actions{QString::fromLatin1(kOpenKey), Qs(ResString(kTextOpen))};
    if (entry.authRequest) {
        actions << QString::fromLatin1(kGrantKey) << Qs(ResString(kTextGrant))
                << QString::fromLatin1(kDenyKey) << Qs(ResString(kTextDeny));
    } else if (OffersReply()) {
        actions << QString::fromLatin1(kReplyKey) << Qs(ResString(kTextReply));
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    // The program plays its own sound.
    hints.insert(QStringLiteral("suppress-sound"), true);

    QDBusMessage call =
        QDBusMessage::createMethodCall(Service(), Path(), Interface(), QStringLiteral("Notify"));
    call << QStringLiteral("zul") << static_cast<uint>(entry.id)
         << QString::fromLatin1(kDesktopEntry) << summary << body.join(u'\n') << actions << hints
         << -1;
    entry.sending = true;
    entry.resend = false;
    const Sender sender = entry.sender;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, sender](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<uint> reply = *w;
                Entry* entry = Find(sender);
                if (entry == nullptr) {
                    // Closed meanwhile (read, or a chat opened): the late one goes too.
                    if (reply.isValid() && reply.value() != 0) Close(reply.value());
                    return;
                }
                entry->sending = false;
                if (!reply.isValid() || reply.value() == 0) {
                    // Not shown: the next message starts afresh.
                    Forget(entry->id);
                    std::erase_if(entries_,
                                  [&](const Entry& e) { return SameSender(e.sender, sender); });
                    return;
                }
                // An id another of ours already has would make two notifications one.
                const uint id = reply.value();
                Entry* other = FindById(id);
                if (other != nullptr && other != entry) return;
                entry->id = id;
                if (entry->resend) Send(*entry);
            });
}

void ChatNotifications::Close(uint32_t id) {
    QDBusMessage call = QDBusMessage::createMethodCall(Service(), Path(), Interface(),
                                                       QStringLiteral("CloseNotification"));
    call << static_cast<uint>(id);
    bus_.send(call);
}

ChatNotifications::Entry* ChatNotifications::Find(const Sender& sender) {
    for (Entry& e : entries_)
        if (SameSender(e.sender, sender)) return &e;
    return nullptr;
}

const ChatNotifications::Entry* ChatNotifications::Find(const Sender& sender) const {
    for (const Entry& e : entries_)
        if (SameSender(e.sender, sender)) return &e;
    return nullptr;
}

ChatNotifications::Entry* ChatNotifications::FindById(uint id) {
    if (id == 0) return nullptr;
    for (Entry& e : entries_)
        if (e.id == id) return &e;
    return nullptr;
}

void ChatNotifications::Forget(uint id) {
    if (id == 0) return;
    std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

int ChatNotifications::Count(const Sender& sender) const {
    const Entry* entry = Find(sender);
    return entry != nullptr ? entry->count : 0;
}

uint32_t ChatNotifications::ServerId(const Sender& sender) const {
    const Entry* entry = Find(sender);
    return entry != nullptr ? entry->id : 0;
}

void ChatNotifications::OnActionInvoked(uint id, const QString& key) {
    Entry* entry = FindById(id);
    if (entry == nullptr) return;
    const Sender sender = entry->sender;
    const bool auth = entry->authRequest;
    if (key == QLatin1String(kOpenKey)) {
        Forget(id);
        Close(id);
        if (openChat) openChat(sender);
        return;
    }
    if (!auth || (key != QLatin1String(kGrantKey) && key != QLatin1String(kDenyKey))) return;
    const ContactPtr contact = findContact ? findContact(sender) : nullptr;
    Forget(id);
    Close(id);
    if (contact == nullptr || !contact->AuthAsked()) return;
    // Sent by the account on its idle pass (which the answer wakes), as the contact list's
    // answer is.
    contact->RequestAuthAnswer(key == QLatin1String(kGrantKey));
    contact->SetAuthAsked(false);
    contact->Redraw();
}

void ChatNotifications::OnReplied(uint id, const QString& text) {
    Entry* entry = FindById(id);
    if (entry == nullptr || entry->authRequest) return;
    const QString answer = text.trimmed().left(kReplyLimit);
    if (answer.isEmpty()) return;
    const ContactPtr contact = findContact ? findContact(entry->sender) : nullptr;
    if (contact == nullptr) return;
    // Answered: the messages count as read by the one who answered them.
    Forget(id);
    Close(id);
    contact->History().AddOutgoingMessage(answer.toStdU16String());
}

void ChatNotifications::OnClosed(uint id, uint) {
    Forget(id);
}

}  // namespace zul
