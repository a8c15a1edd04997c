// The platform services the shell installs into the core at start-up: the connection status
// from NetworkManager, a logind sleep inhibitor behind the keep-running counter, and the
// locale's date and time texts.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/connection_manager.h"

namespace zul {

// Maps a NetworkManager state to the connection status the core understands: 70 (connected,
// global), and 50 and 60 (local or site connectivity: what NetworkManager reports when its own
// connectivity check fails, behind a captive portal or with a server on the LAN) are usable;
// everything else is disconnected.
uint32_t ConnectionStatusForNetworkManagerState(uint32_t state);

// NetworkManager's state, kept from its StateChanged signal (and one asynchronous read at the
// start): a query never waits for the bus, on any thread.
class NetworkManagerConnection : public QObject, public IConnectionManager {
    Q_OBJECT
  public:
    NetworkManagerConnection();
    // Whether NetworkManager runs on the system bus now.
    static bool Available();
    bool HasInternetDestination() override { return true; }
    bool Establish() override { return true; }
    bool QueryStatus(uint32_t& status) override;
    // The State property, or nothing when NetworkManager does not answer (waits for the bus).
    static std::optional<uint32_t> ReadState();

  public slots:
    void OnStateChanged(uint state);

  private:
    // Usable until NetworkManager says otherwise.
    std::atomic<uint32_t> status_{kConnStatusUsable};
    bool signalSeen_ = false;  // window thread only
};

// NetworkManager when it runs, else a network that always counts as usable.
void InstallConnectionManager();
// A logind "sleep" inhibitor held while the keep-running counter is above 0, when logind runs.
void InstallKeepRunningInhibitor();
void RemoveKeepRunningInhibitor();
// The session bus, or a connection that is not connected when no session bus can be there
// (nothing then reaches the desktop's notifications).
QDBusConnection SessionBusOrNone();
// The system bus (at DBUS_SYSTEM_BUS_ADDRESS when that is set), or a connection that is not
// connected when no system bus can be there.
QDBusConnection SystemBusOrNone();
// Short date and times with and without seconds in the system locale.
void InstallTimeFormatter();

}  // namespace zul
