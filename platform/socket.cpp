#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>

#include "platform/tls.h"

namespace zul {
namespace {

thread_local int t_lastError = 0;
std::atomic<int> g_ioTimeoutMs{60000};
std::atomic<int> g_connectTimeoutMs{20000};

// Descriptors shut down by this process and not yet released: a receive that ends on one of
// them was interrupted locally, not closed by the peer.
std::mutex g_shutMutex;
std::set<int> g_locallyShut;

bool WasShutLocally(int s) {
    std::lock_guard lock(g_shutMutex);
    return g_locallyShut.count(s) != 0;
}

}  // namespace

bool SocketShutLocally(SocketHandle s) {
    return WasShutLocally(s);
}

// A send or receive that ran into the socket's time-out reports "timed out".
static int MapIoErrno(int err) {
    return (err == EAGAIN || err == EWOULDBLOCK) ? sockerr::kTimedOut : MapErrno(err);
}

void SetSocketIoTimeout(int ms) {
    g_ioTimeoutMs.store(ms > 0 ? ms : 60000);
}
int SocketIoTimeoutMs() {
    return g_ioTimeoutMs.load();
}
void SetSocketConnectTimeout(int ms) {
    g_connectTimeoutMs.store(ms > 0 ? ms : 20000);
}

int MapErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return sockerr::kInterrupted;
        case EBADF:
        case ENOTSOCK:
            return sockerr::kBadSocket;
        case EACCES:
        case EPERM:
            return sockerr::kAccess;
        case EFAULT:
            return sockerr::kFault;
        case EWOULDBLOCK:
            return sockerr::kWouldBlock;
        case EMSGSIZE:
            return sockerr::kMsgSize;
        case EAFNOSUPPORT:
            return sockerr::kAfNoSupport;
        case EADDRNOTAVAIL:
            return sockerr::kAddrNotAvail;
        case ENETDOWN:
            return sockerr::kNetDown;
        case ENETUNREACH:
            return sockerr::kNetUnreach;
        case ECONNABORTED:
            return sockerr::kConnAborted;
        case ECONNRESET:
        case EPIPE:
            return sockerr::kConnReset;
        case ENOBUFS:
        case ENOMEM:
            return sockerr::kNoBufs;
        case ENOTCONN:
            return sockerr::kNotConn;
        case ETIMEDOUT:
            return sockerr::kTimedOut;
        case ECONNREFUSED:
            return sockerr::kConnRefused;
        case EHOSTDOWN:
            return sockerr::kHostDown;
        case EHOSTUNREACH:
            return sockerr::kHostUnreach;
        default:
            return 10000 + err;
    }
}

int LastSocketError() {
    return t_lastError;
}
void SetLastSocketError(int code) {
    t_lastError = code;
}

uint32_t InetAddr(const std::string& dotted) {
    in_addr a{};
    // Only the plain four-part dotted form counts; inet_pton refuses everything else.
    if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) return 0xFFFFFFFFu;
    return a.s_addr;
}

bool ResolveHostIPv4(const std::string& name, std::string& dotted) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int r = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (r != 0 || !result) {
        if (result) freeaddrinfo(result);
        t_lastError = sockerr::kHostNotFound;
        return false;
    }
    char buf[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
    freeaddrinfo(result);
    dotted = buf;
    return true;
}

SocketHandle SocketCreateTcp() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        t_lastError = MapErrno(errno);
        return kInvalidSocket;
    }
    {
        // A fresh descriptor was never shut down by us, whatever an earlier holder of the same
        // number went through: a mark left by a shutdown that raced with a close elsewhere
        // would make every error of this socket look like a local disconnect.
        std::lock_guard lock(g_shutMutex);
        g_locallyShut.erase(s);
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A peer that stops in the middle of a frame (or never answers during sign-on) ends the
    // blocked call as a time-out instead of holding the thread forever.
    const int ms = g_ioTimeoutMs.load();
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return s;
}

bool SocketConnect(SocketHandle s, const SocketAddress& address) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return false;
    }
    sockaddr_in sin{};
    sin.sin_family = address.family;
    sin.sin_port = address.portNetworkOrder;
    sin.sin_addr.s_addr = address.addressNetworkOrder;

    // Connect without blocking and wait in short slices, so that a local shutdown from another
    // thread (the user disconnecting) ends the attempt as an aborted connection at once.
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            err = 0;
            // A host that drops the handshake silently would otherwise hold the thread for the
            // system's own time-out of minutes.
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(g_connectTimeoutMs.load());
            for (;;) {
                if (WasShutLocally(s)) {
                    err = ECONNABORTED;
                    break;
                }
                if (std::chrono::steady_clock::now() >= deadline) {
                    err = ETIMEDOUT;
                    break;
                }
                pollfd p{};
                p.fd = s;
                p.events = POLLOUT;
                int r = poll(&p, 1, 250);
                if (r < 0 && errno != EINTR) {
                    err = errno;
                    break;
                }
                if (r > 0) {
                    socklen_t len = sizeof err;
                    getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
                    break;
                }
            }
        }
    }
    fcntl(s, F_SETFL, flags);
    if (err != 0) {
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : MapErrno(err);
        return false;
    }
    return true;
}

long SocketSend(SocketHandle s, const void* data, size_t n) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    if (long tls; TlsSend(s, data, n, true, tls)) return tls;
    ssize_t r;
    do {
        r = send(s, data, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : MapIoErrno(errno);
        return -1;
    }
    if (r == 0) t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : 0;
    return static_cast<long>(r);
}

long SocketRecv(SocketHandle s, void* data, size_t n) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    if (long tls; TlsRecv(s, data, n, true, tls)) return tls;
    ssize_t r;
    do {
        r = recv(s, data, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : MapIoErrno(errno);
        return -1;
    }
    if (r == 0) {
        // An orderly close reports no error, unless we shut the socket down ourselves.
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : 0;
    }
    return static_cast<long>(r);
}

long SocketRecvNow(SocketHandle s, void* data, size_t n) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    if (long tls; TlsRecv(s, data, n, false, tls)) return tls;
    ssize_t r;
    do {
        r = recv(s, data, n, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : MapErrno(errno);
        return -1;
    }
    if (r == 0) t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : 0;
    return static_cast<long>(r);
}

long SocketSendNow(SocketHandle s, const void* data, size_t n) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    if (long tls; TlsSend(s, data, n, false, tls)) return tls;
    ssize_t r;
    do {
        r = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0) t_lastError = MapErrno(errno);
    return static_cast<long>(r);
}

int SocketWaitAnyReadable(const SocketHandle* sockets, size_t count, int ms) {
    pollfd p[8]{};
    size_t used = 0;
    size_t index[8]{};
    // Bytes a TLS stream has already decrypted do not show on the descriptor.
    int pending = 0;
    for (size_t i = 0; i < count && i < 8; ++i) {
        if (sockets[i] != kInvalidSocket && TlsHasPending(sockets[i])) pending |= 1 << i;
    }
    if (pending) ms = 0;
    for (size_t i = 0; i < count && used < 8; ++i) {
        if (sockets[i] == kInvalidSocket) continue;
        p[used].fd = sockets[i];
        p[used].events = POLLIN | POLLPRI;
        index[used++] = i;
    }
    int r;
    do {
        r = poll(p, used, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        t_lastError = MapErrno(errno);
        return -1;
    }
    int mask = pending;
    for (size_t k = 0; k < used; ++k) {
        if (p[k].revents != 0) mask |= 1 << index[k];
    }
    return mask;
}

int SocketWaitReadable(SocketHandle s, int seconds, int microseconds) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    if (TlsHasPending(s)) return 1;
    pollfd p{};
    p.fd = s;
    p.events = POLLIN | POLLPRI;
    int timeout = seconds * 1000 + microseconds / 1000;
    int r = poll(&p, 1, timeout);
    if (r < 0) {
        t_lastError = MapErrno(errno);
        return -1;
    }
    return r > 0 ? 1 : 0;
}

void SocketShutdown(SocketHandle s) {
    if (s == kInvalidSocket) return;
    {
        std::lock_guard lock(g_shutMutex);
        g_locallyShut.insert(s);
    }
    shutdown(s, SHUT_RDWR);
}

void SocketRelease(SocketHandle s) {
    if (s == kInvalidSocket) return;
    {
        std::lock_guard lock(g_shutMutex);
        g_locallyShut.erase(s);
    }
    TlsForget(s);
    close(s);
}

}  // namespace zul
