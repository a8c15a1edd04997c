// SingleInstance: one running client per user. The first instance listens on a local socket
// named after the window class, the application title and the user; a later start connects to
// it, asks it to come to the front and ends.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace zul {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // "ZUL_Scrollable-zul_0.3.2.9-<uid>": class, title and user, safe as a socket name.
    static QString DefaultKey();

    explicit SingleInstance(QString key = DefaultKey(), QObject* parent = nullptr);
    ~SingleInstance() override;

    const QString& Key() const { return key_; }

    // Asks a running instance to come to the front; true when one answered.
    bool ActivateRunning(int timeoutMs = 2000);
    // Starts answering later starts; a socket left behind by a crashed instance is replaced.
    bool Listen();
    bool Listening() const;
    int ActivationCount() const { return activations_; }

  signals:
    // A later start asked this instance to come to the front.
    void ActivationRequested();

  private:
    void OnConnection();

    QString key_;
    QLocalServer* server_ = nullptr;
    int activations_ = 0;
};

}  // namespace zul
