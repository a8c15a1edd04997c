// A private D-Bus bus for the tests (a dbus-daemon of its own) and small services on it: each
// on its own connection, answering on its own thread, recording every call it gets.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QString>
#include <QThread>
#include <QVariantList>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zul::test {

class PrivateBus {
  public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when no dbus-daemon could be started.
    const QString& Address() const { return address_; }
    // A new connection of its own (named uniquely) to the bus; closed with the bus.
    QDBusConnection Connect();

  private:
    QProcess daemon_;
    QString address_;
    std::vector<QString> names_;
};

class FakeService : public QDBusVirtualObject {
  public:
    // Answers a call (or not: false leaves the caller without an answer). Runs on the
    // service's thread.
    using Answer = std::function<bool(const QDBusMessage& call, const QDBusConnection& bus)>;

    // Owns `name` on `bus` with an object at `path`; Registered() tells whether it worked.
    FakeService(PrivateBus& bus, const QString& name, const QString& path, Answer answer);
    ~FakeService() override;

    bool Registered() const { return registered_; }
    // The calls of one member so far, in order.
    std::vector<QDBusMessage> Calls(const QString& member) const;
    // Emits a signal of the object from the service's connection.
    void Emit(const QString& interface, const QString& signal, const QVariantList& args);

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    QDBusConnection connection_;
    QString name_;
    QString path_;
    Answer answer_;
    QThread thread_;
    bool registered_ = false;
    mutable std::mutex mutex_;
    std::vector<QDBusMessage> calls_;
};

// Sends a signal from any connection (the service's own, or a stranger's).
void EmitFrom(QDBusConnection& connection, const QString& path, const QString& interface,
              const QString& signal, const QVariantList& args);

// Runs the window thread's events until `done` holds; false after `ms`.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000);

}  // namespace zul::test
