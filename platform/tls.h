// TLS on the program's sockets. Once TlsStart has succeeded on a socket, SocketSend,
// SocketRecv, SocketRecvNow, SocketSendNow and the waits carry TLS through it with the same
// results, error numbers and time-outs as on a plain socket, and SocketRelease ends it. A local
// shutdown still wakes a thread blocked on the socket at once: the descriptor is left
// non-blocking and every wait happens outside the stream's lock, in short slices.
#pragma once

#include <string>

#include "platform/socket.h"

namespace zul {

// Error numbers of the TLS layer, beside the socket layer's.
namespace tlserr {
// The peer did not complete a TLS handshake (it speaks no TLS, or refused every version we offer).
constexpr int kHandshakeFailed = 12101;
// The certificate is trusted neither by the system's store nor by the user.
constexpr int kUntrusted = 12102;
// The certificate differs from the one the user trusted, and the system's store does not
// trust it either.
constexpr int kCertificateChanged = 12103;
// The encrypted stream broke after the handshake (a bad record, a protocol alert).
constexpr int kStreamBroken = 12104;
}  // namespace tlserr

// The certificate a server presented, as the user is shown it.
struct TlsCertificate {
    std::string subject;
    std::string issuer;
    std::string sha256;               // "AB:CD:..." of the DER bytes
    std::string notBefore, notAfter;  // "2026-12-09 05:00 UTC"
    std::string problem;              // why the system's store does not trust it; empty if it does
    bool Empty() const { return sha256.empty(); }
};

// What decides whether a certificate is accepted.
struct TlsTrust {
    // The name the certificate must carry for the system's store: a host name or an IPv4 address.
    std::string host;
    // The fingerprint ("AB:CD:...") the user accepted for this server; empty: none.
    std::string trustedSha256;
};

// Runs the TLS handshake (TLS 1.2 or 1.3) on a connected socket, waiting at most the socket
// time-out. True when the stream is up and its certificate accepted. Otherwise false with
// LastSocketError() the reason: a socket error, 10053 after a local shutdown, 10060 after the
// time-out, or one of tlserr; `seen` receives the server's certificate whenever one arrived.
// On failure the socket carries no TLS and should be closed.
bool TlsStart(SocketHandle s, const TlsTrust& trust, TlsCertificate* seen = nullptr);
// Whether the socket carries TLS.
bool IsTls(SocketHandle s);
// The TLS layer's share of the socket functions; they return false when the socket carries no
// TLS, and otherwise set `result` as the socket function would.
bool TlsSend(SocketHandle s, const void* data, size_t n, bool wait, long& result);
bool TlsRecv(SocketHandle s, void* data, size_t n, bool wait, long& result);
// Whether decrypted bytes are waiting in the stream (a wait must not sleep on the descriptor).
bool TlsHasPending(SocketHandle s);
// Ends the stream of a socket that is being released.
void TlsForget(SocketHandle s);

}  // namespace zul
