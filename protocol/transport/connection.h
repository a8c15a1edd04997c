// The network connection: the device's connection manager, plus blocking TCP sockets with
// every failure raised as CError carrying the socket-layer code (or 10050: network down).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/socket.h"
#include "platform/tls.h"

namespace zul {

class CAccount;

class CConnection {
  public:
    // Asks the connection manager for the internet destination (once usable, it is kept),
    // then checks it. Raises CError 10050 when no usable connection results.
    static void EstablishConnection();
    // Raises CError "CConnection::CheckConnection" 10050 unless the connection is usable.
    static void CheckConnection();
    // Whether a status value of the connection manager counts as usable.
    static bool IsUsableStatus(uint32_t status);
    // Forgets the established connection (tests, and a changed connection manager).
    static void Reset();
};

// Starts the socket layer; nothing to start on this system, so it cannot fail.
void InitWinsock();
// Fills the address record from a host (a name starting with a letter is resolved) and a
// decimal port text. Raises CError "PrepareAddress" when the name cannot be resolved.
void PrepareAddress(SocketAddress& address, const std::string& host, const std::string& port);
// Creates a TCP socket when the handle holds none; an existing socket is kept.
void CreateSocket(SocketHandle& handle);
// Blocking connect; raises CError "ConnectToAddr" with the socket error.
void ConnectToAddr(SocketHandle socket, const SocketAddress& address);
// Shuts the socket down in both directions, releases it and marks the handle empty.
void CloseSocket(SocketHandle& handle);
// Runs the TLS handshake on a connected socket of the account and checks the certificate
// (the system's store, else the fingerprint the user trusted). Raises CError "StartTls" with
// the error; a certificate the user must decide about is handed to the account first.
void StartTls(CAccount& account, SocketHandle socket);
// What every connection of the account checks the server's certificate against: the name the
// user gave for the server (the service address the login hands over is often a bare address)
// and the fingerprint the user trusted. Nothing when the account does not use TLS.
std::optional<TlsTrust> LinkTrust(const CAccount& account);
// Waits for readability (or an exception); a failing wait counts as ready so that the
// following receive raises the error.
bool WaitReadable(SocketHandle socket, int seconds);
// Errors after which the session does not reconnect.
bool IsFatalSocketError(int code);

// Connects one socket of a session: keep-running on, optional progress text
// ("Connecting to host:port"), socket layer, address and socket, keep-running off, connect.
void Connect(CAccount* account, SocketHandle& handle, const std::string& host,
             const std::string& port, bool showProgress);
// The same, for a handle that other threads read: `create` makes the socket and stores it in
// the handle (under the locks that guard it) before the connection is attempted.
void Connect(CAccount* account, SocketHandle& handle, const std::string& host,
             const std::string& port, bool showProgress,
             const std::function<void(SocketHandle&)>& create);

}  // namespace zul
