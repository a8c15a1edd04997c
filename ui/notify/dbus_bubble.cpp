#include "ui/notify/dbus_bubble.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QImage>
#include <QStringList>
#include <QTextDocumentFragment>
#include <QVariantMap>

#include "ui/texts/ui_resources.h"

namespace zul {

// The "image-data" hint of a notification: raw RGBA pixels.
struct NotificationImage {
    int width = 0;
    int height = 0;
    int rowstride = 0;
    bool hasAlpha = true;
    int bitsPerSample = 8;
    int channels = 4;
    QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& image) {
    argument.beginStructure();
    argument << image.width << image.height << image.rowstride << image.hasAlpha
             << image.bitsPerSample << image.channels << image.data;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage& image) {
    argument.beginStructure();
    argument >> image.width >> image.height >> image.rowstride >> image.hasAlpha >>
        image.bitsPerSample >> image.channels >> image.data;
    argument.endStructure();
    return argument;
}

}  // namespace zul

Q_DECLARE_METATYPE(zul::NotificationImage)

namespace zul {
namespace {

constexpr int kImageSize = 48;
const char kDesktopEntry[] = "org.zul.Zul";
// The action key notification servers invoke for a click on the bubble's body.
const char kClickKey[] = "default";

QString Qs(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// Action keys are the commands in decimal.
QString ActionKey(int command) {
    return QString::number(command);
}

}  // namespace

const char* const DBusBubble::kService = "org.freedesktop.Notifications";
const char* const DBusBubble::kPath = "/org/freedesktop/Notifications";
const char* const DBusBubble::kInterface = "org.freedesktop.Notifications";

QString BubbleBody(const std::u16string& html, bool markup) {
    QString body = Qs(html);
    const QString open = QStringLiteral("<html><body>");
    const QString close = QStringLiteral("</body></html>");
    if (body.startsWith(open)) body.remove(0, open.size());
    if (body.endsWith(close)) body.chop(close.size());
    body.replace(QStringLiteral("<br>"), QStringLiteral("\n"));
    if (markup) return body;
    // Plain text: tags go and entities resolve; line breaks survive as they are.
    QStringList lines = body.split(u'\n');
    for (QString& line : lines) line = QTextDocumentFragment::fromHtml(line).toPlainText();
    return lines.join(u'\n');
}

DBusBubble::DBusBubble(const QDBusConnection& bus, QObject* parent) : QObject(parent), bus_(bus) {
    qDBusRegisterMetaType<NotificationImage>();
    // The bubble's icon, drawn here on the window's thread; the calls may come from others.
    const QImage icon = RenderIcon(MessageNotification::kIcon, kImageSize)
                            .toImage()
                            .convertToFormat(QImage::Format_RGBA8888);
    if (!icon.isNull()) {
        auto image = std::make_shared<NotificationImage>();
        image->width = icon.width();
        image->height = icon.height();
        image->rowstride = static_cast<int>(icon.bytesPerLine());
        image->data = QByteArray(reinterpret_cast<const char*>(icon.constBits()),
                                 static_cast<qsizetype>(icon.sizeInBytes()));
        image_ = std::move(image);
    }
    if (!bus_.isConnected()) return;
    bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                 QStringLiteral("ActionInvoked"), this, SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                 QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint)));
}

bool DBusBubble::ServerHasMarkup() {
    if (markup_ >= 0) return markup_ != 0;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
        QStringLiteral("GetCapabilities"));
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return true;
    markup_ = reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
    return markup_ != 0;
}

bool DBusBubble::Send(const BubbleRecord& record, uint32_t replaces, const QString& body) {
    if (!bus_.isConnected()) return false;
    QStringList actions;
    if (record.firstCommand != 0) actions << ActionKey(record.firstCommand) << Qs(record.firstKey);
    if (record.secondCommand != 0)
        actions << ActionKey(record.secondCommand) << Qs(record.secondKey);
    // A click on the bubble itself does what "Open" does.
    if (record.firstCommand == MessageNotification::kCmdOpen)
        actions << QString::fromLatin1(kClickKey) << Qs(record.firstKey);
    else if (record.secondCommand == MessageNotification::kCmdOpen)
        actions << QString::fromLatin1(kClickKey) << Qs(record.secondKey);
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));  // inform
    // The program plays its own sound.
    hints.insert(QStringLiteral("suppress-sound"), true);
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    if (image_ && record.icon == MessageNotification::kIcon)
        hints.insert(QStringLiteral("image-data"), QVariant::fromValue(*image_));
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kInterface), QStringLiteral("Notify"));
    call << QStringLiteral("zul") << static_cast<uint>(replaces)
         << QString::fromLatin1(kDesktopEntry) << Qs(record.title) << body << actions
         << hints
         // Shown until removed: no expiry.
         << static_cast<int>(record.duration == BubbleRecord::kUntilRemoved ? 0 : record.duration);
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    const uint id = reply.arguments().first().toUInt();
    if (id == 0) return false;
    serverId_.store(id);
    return true;
}

bool DBusBubble::Inhibited() {
    if (!bus_.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QString::fromLatin1(kInterface) << QStringLiteral("Inhibited");
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    // A service without the property has no do-not-disturb to respect.
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toBool();
}

bool DBusBubble::Add(const BubbleRecord& record) {
    std::lock_guard lock(mutex_);
    body_ = BubbleBody(record.html, ServerHasMarkup());
    serverId_.store(0);
    return Send(record, 0, body_);
}

bool DBusBubble::Update(const BubbleRecord& record, bool withText) {
    std::lock_guard lock(mutex_);
    const uint32_t id = serverId_.load();
    if (id == 0) return false;
    if (withText) body_ = BubbleBody(record.html, ServerHasMarkup());
    return Send(record, id, body_);
}

void DBusBubble::Remove(const BubbleRecord&) {
    std::lock_guard lock(mutex_);
    const uint32_t id = serverId_.exchange(0);
    body_.clear();
    if (id == 0 || !bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
        QStringLiteral("CloseNotification"));
    call << static_cast<uint>(id);
    // Removals come from the window thread: sent without waiting for the answer.
    bus_.send(call);
}

void DBusBubble::OnActionInvoked(uint id, const QString& key) {
    if (id == 0 || id != serverId_.load()) return;
    bool ok = key == QLatin1String(kClickKey);
    const int command = ok ? MessageNotification::kCmdOpen : key.toInt(&ok);
    if (!ok ||
        (command != MessageNotification::kCmdDismiss && command != MessageNotification::kCmdOpen))
        return;
    if (onCommand) onCommand(command);
}

void DBusBubble::OnNotificationClosed(uint id, uint reason) {
    constexpr uint kClosedByCall = 3;
    if (id == 0 || reason == kClosedByCall) return;
    uint32_t expected = id;
    if (!serverId_.compare_exchange_strong(expected, 0)) return;
    if (onClosed) onClosed();
}

}  // namespace zul
