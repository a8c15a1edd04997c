#include "ui/shell/platform_services.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDate>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>
#include <mutex>

#include "platform/local_time.h"
#include "platform/power.h"

namespace zul {
namespace {

constexpr int kDbusTimeoutMs = 2000;
const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kLogindService = QStringLiteral("org.freedesktop.login1");

// Whether a system bus can be there at all: its address is named, or its socket exists. Without
// one the bus is not asked (the D-Bus library keeps what it allocated for the failed attempt).
bool SystemBusReachable() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")) return true;
    return QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")) ||
           QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"));
}

bool ServiceRuns(const QString& name) {
    if (!SystemBusReachable()) return false;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(name);
    return reply.isValid() && reply.value();
}

// The inhibitor's file descriptor; closing it lets the machine sleep again.
std::mutex g_inhibitMutex;
std::optional<QDBusUnixFileDescriptor> g_inhibitor;

void KeepRunningChanged(bool running) {
    std::lock_guard lock(g_inhibitMutex);
    if (!running) {
        g_inhibitor.reset();
        return;
    }
    if (g_inhibitor) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        kLogindService, QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("zul")
         << QStringLiteral("Signing on to the messaging network") << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply =
        QDBusConnection::systemBus().call(call, QDBus::Block, kDbusTimeoutMs);
    if (reply.isValid() && reply.value().isValid()) g_inhibitor = reply.value();
}

// The locale's short time format without its seconds (some locales keep them there).
QString TimeFormatNoSeconds() {
    QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[:.]?s{1,2}")));
    return format.trimmed();
}

QString TimeFormatWithSeconds() {
    QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s'))) {
        const qsizetype minutes = format.indexOf(QStringLiteral("mm"));
        if (minutes >= 0)
            format.insert(minutes + 2, QStringLiteral(":ss"));
        else
            format = QStringLiteral("HH:mm:ss");
    }
    return format;
}

std::u16string FormatTime(const LocalTimeFields& f, TimeTextKind kind) {
    const QLocale locale = QLocale::system();
    switch (kind) {
        case TimeTextKind::ShortDate:
            return locale.toString(QDate(f.year, f.month, f.day), QLocale::ShortFormat)
                .toStdU16String();
        case TimeTextKind::TimeNoSeconds:
            return locale.toString(QTime(f.hour, f.minute, f.second), TimeFormatNoSeconds())
                .toStdU16String();
        case TimeTextKind::TimeWithSeconds:
            return locale.toString(QTime(f.hour, f.minute, f.second), TimeFormatWithSeconds())
                .toStdU16String();
    }
    return {};
}

}  // namespace

QDBusConnection SessionBusOrNone() {
    bool reachable = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!reachable && !runtime.isEmpty())
        reachable = QFileInfo::exists(runtime + QStringLiteral("/bus"));
    if (reachable) return QDBusConnection::sessionBus();
    return QDBusConnection(QStringLiteral("zul-no-session-bus"));
}

QDBusConnection SystemBusOrNone() {
    if (SystemBusReachable()) return QDBusConnection::systemBus();
    return QDBusConnection(QStringLiteral("zul-no-system-bus"));
}

uint32_t ConnectionStatusForNetworkManagerState(uint32_t state) {
    constexpr uint32_t kNmConnectedLocal = 50;
    constexpr uint32_t kNmConnectedSite = 60;
    constexpr uint32_t kNmConnectedGlobal = 70;
    const bool connected =
        state == kNmConnectedLocal || state == kNmConnectedSite || state == kNmConnectedGlobal;
    return connected ? kConnStatusUsable : kConnStatusDisconnected;
}

NetworkManagerConnection::NetworkManagerConnection() {
    const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
    QDBusConnection::systemBus().connect(kNmService, path, kNmService,
                                         QStringLiteral("StateChanged"), this,
                                         SLOT(OnStateChanged(uint)));
    // The state at start, asked without waiting; a change signal may come first and wins.
    QDBusMessage call = QDBusMessage::createMethodCall(
        kNmService, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << kNmService << QStringLiteral("State");
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(call, kDbusTimeoutMs), this);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            const QDBusPendingReply<QDBusVariant> reply = *w;
            bool ok = false;
            const uint32_t state = reply.isValid() ? reply.value().variant().toUInt(&ok) : 0;
            if (ok && !signalSeen_) {
                status_.store(ConnectionStatusForNetworkManagerState(state));
            }
            w->deleteLater();
        });
}

void NetworkManagerConnection::OnStateChanged(uint state) {
    signalSeen_ = true;
    status_.store(ConnectionStatusForNetworkManagerState(state));
}

bool NetworkManagerConnection::Available() {
    return ServiceRuns(kNmService);
}

std::optional<uint32_t> NetworkManagerConnection::ReadState() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kNmService, QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << kNmService << QStringLiteral("State");
    const QDBusReply<QDBusVariant> reply =
        QDBusConnection::systemBus().call(call, QDBus::Block, kDbusTimeoutMs);
    if (!reply.isValid()) return std::nullopt;
    bool ok = false;
    const uint32_t state = reply.value().variant().toUInt(&ok);
    if (!ok) return std::nullopt;
    return state;
}

bool NetworkManagerConnection::QueryStatus(uint32_t& status) {
    status = status_.load();
    return true;
}

void InstallConnectionManager() {
    if (NetworkManagerConnection::Available())
        SetConnectionManager(std::make_shared<NetworkManagerConnection>());
    else
        SetConnectionManager(std::make_shared<AlwaysUsableConnectionManager>());
}

void InstallKeepRunningInhibitor() {
    if (ServiceRuns(kLogindService)) SetKeepRunningHook(&KeepRunningChanged);
}

void RemoveKeepRunningInhibitor() {
    SetKeepRunningHook(nullptr);
    std::lock_guard lock(g_inhibitMutex);
    g_inhibitor.reset();
}

void InstallTimeFormatter() {
    SetTimeFormatter(&FormatTime);
}

}  // namespace zul
