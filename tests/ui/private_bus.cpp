#include "tests/ui/private_bus.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace zul::test {
namespace {
int g_connections = 0;
}  // namespace

PrivateBus::PrivateBus() {
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000)) return;
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

PrivateBus::~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }
}

QDBusConnection PrivateBus::Connect() {
    const QString name = QStringLiteral("private-bus-") + QString::number(++g_connections);
    names_.push_back(name);
    return QDBusConnection::connectToBus(address_, name);
}

FakeService::FakeService(PrivateBus& bus, const QString& name, const QString& path, Answer answer)
    : connection_(bus.Connect()), name_(name), path_(path), answer_(std::move(answer)) {
    if (!connection_.isConnected()) return;
    thread_.start();
    moveToThread(&thread_);
    registered_ = connection_.registerVirtualObject(path_, this, QDBusConnection::SingleNode) &&
                  connection_.registerService(name_);
}

FakeService::~FakeService() {
    if (connection_.isConnected()) {
        connection_.unregisterService(name_);
        connection_.unregisterObject(path_);
    }
    thread_.quit();
    thread_.wait();
}

std::vector<QDBusMessage> FakeService::Calls(const QString& member) const {
    std::lock_guard lock(mutex_);
    std::vector<QDBusMessage> found;
    for (const QDBusMessage& m : calls_)
        if (m.member() == member) found.push_back(m);
    return found;
}

void FakeService::Emit(const QString& interface, const QString& signal, const QVariantList& args) {
    EmitFrom(connection_, path_, interface, signal, args);
}

void EmitFrom(QDBusConnection& connection, const QString& path, const QString& interface,
              const QString& signal, const QVariantList& args) {
    QDBusMessage message = QDBusMessage::createSignal(path, interface, signal);
    message.setArguments(args);
    connection.send(message);
}

bool FakeService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(message);
    }
    // Taken either way: a call left unanswered stays so (no error goes back).
    answer_(message, connection);
    return true;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace zul::test
