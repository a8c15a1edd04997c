#include "ui/shell/single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include "platform/resources.h"

namespace zul {
namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kAnswer[] = "ok\n";
constexpr int kLineMax = 16;

}  // namespace

QString SingleInstance::DefaultKey() {
    QString key = QStringLiteral("ZUL_Scrollable-%1-%2")
                      .arg(QString::fromStdU16String(AppTitle()))
                      .arg(static_cast<qulonglong>(getuid()));
    key.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return key;
}

SingleInstance::SingleInstance(QString key, QObject* parent)
    : QObject(parent), key_(std::move(key)) {}

SingleInstance::~SingleInstance() {
    if (server_ != nullptr) server_->close();
}

bool SingleInstance::ActivateRunning(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(key_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    // The running instance answers once it took the request; a dead listener does not.
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
        if (socket.bytesAvailable() > kLineMax) return false;
    }
    return socket.readLine(kLineMax) == kAnswer;
}

bool SingleInstance::Listen() {
    if (server_ == nullptr) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    }
    if (server_->isListening()) return true;
    if (server_->listen(key_)) return true;
    if (server_->serverError() != QAbstractSocket::AddressInUseError) return false;
    // Nobody answered ActivateRunning, so the socket file is a leftover.
    QLocalServer::removeServer(key_);
    return server_->listen(key_);
}

bool SingleInstance::Listening() const {
    return server_ != nullptr && server_->isListening();
}

void SingleInstance::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kLineMax) socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kLineMax);
            if (line == kRequest) {
                ++activations_;
                socket->write(kAnswer);
                socket->flush();
                emit ActivationRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace zul
