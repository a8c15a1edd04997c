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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "platform/tls.h"
#include "platform/wake_signal.h"

namespace zul {
namespace {

thread_local int t_lastError = 0;
// The interrupt of the calling thread's waits, if it set one.
thread_local const SocketWaitInterrupt* t_interrupt = nullptr;
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

namespace {

// The resolver's answer: the dotted address, or nothing.
std::optional<std::string> LookUpIPv4(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int r = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (r != 0 || !result) {
        if (result) freeaddrinfo(result);
        return std::nullopt;
    }
    char buf[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
    freeaddrinfo(result);
    return std::string(buf);
}

// A lookup on a thread of its own, which the waiting thread may leave to finish alone.
struct Lookup {
    std::mutex mutex;
    bool done = false;
    std::optional<std::string> answer;
    WakeSignal finished;
};

}  // namespace

bool ResolveHostIPv4(const std::string& name, std::string& dotted) {
    std::optional<std::string> answer;
    auto lookup = t_interrupt != nullptr && t_interrupt->WakeFd() >= 0 ? std::make_shared<Lookup>()
                                                                       : std::shared_ptr<Lookup>();
    if (lookup && lookup->finished.Handle() >= 0) {
        // The resolver cannot be interrupted (a name server that does not answer holds it for
        // many seconds): it runs beside, and an interrupted wait leaves it to finish alone.
        try {
            std::thread([lookup, name] {
                std::optional<std::string> found = LookUpIPv4(name);
                std::lock_guard lock(lookup->mutex);
                lookup->answer = std::move(found);
                lookup->done = true;
                lookup->finished.Signal();
            }).detach();
        } catch (const std::system_error&) {
            lookup.reset();
        }
    } else {
        lookup.reset();
    }
    if (!lookup) {
        answer = LookUpIPv4(name);
    } else {
        for (;;) {
            {
                std::lock_guard lock(lookup->mutex);
                if (lookup->done) {
                    answer = lookup->answer;
                    break;
                }
            }
            if (SocketPoll(lookup->finished.Handle(), false, -1) < 0) return false;
        }
    }
    if (!answer) {
        t_lastError = sockerr::kHostNotFound;
        return false;
    }
    dotted = *answer;
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
    // thread ends the attempt as an aborted connection at once; the thread's interrupt (a
    // stop of its session) ends it at once as well.
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int code = 0;
    if (connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        const int err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            // A host that drops the handshake silently would otherwise hold the thread for the
            // system's own time-out of minutes.
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(g_connectTimeoutMs.load());
            for (;;) {
                if (WasShutLocally(s)) {
                    code = sockerr::kConnAborted;
                    break;
                }
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0) {
                    code = sockerr::kTimedOut;
                    break;
                }
                const int r = SocketPoll(s, true, static_cast<int>(std::min<long long>(left, 250)));
                if (r < 0) {
                    code = t_lastError;
                    break;
                }
                if (r > 0) {
                    int soError = 0;
                    socklen_t len = sizeof soError;
                    getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len);
                    code = MapErrno(soError);
                    break;
                }
            }
        } else {
            code = MapErrno(err);
        }
    }
    fcntl(s, F_SETFL, flags);
    if (code != 0) {
        t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : code;
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
    // A full send buffer is waited for in poll, where the thread's interrupt reaches it, at
    // most the socket time-out.
    for (;;) {
        const ssize_t r = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) return static_cast<long>(r);
        if (r == 0) {
            t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : 0;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            t_lastError = WasShutLocally(s) ? sockerr::kConnAborted : MapErrno(errno);
            return -1;
        }
        const int ready = SocketPoll(s, true, g_ioTimeoutMs.load());
        if (ready <= 0) {
            if (WasShutLocally(s)) {
                t_lastError = sockerr::kConnAborted;
            } else if (ready == 0) {
                t_lastError = sockerr::kTimedOut;
            }
            return -1;
        }
    }
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
    return SocketPoll(s, false, seconds * 1000 + microseconds / 1000);
}

int SocketPoll(SocketHandle s, bool forWriting, int ms) {
    if (s == kInvalidSocket) {
        t_lastError = sockerr::kBadSocket;
        return -1;
    }
    const SocketWaitInterrupt* interrupt = t_interrupt;
    const bool watchWake = interrupt != nullptr && interrupt->WakeFd() >= 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = -1;
        if (ms >= 0) {
            left = static_cast<int>(
                std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now())
                                           .count()));
        }
        pollfd p[2]{};
        p[0].fd = s;
        p[0].events = forWriting ? POLLOUT : (POLLIN | POLLPRI);
        if (watchWake) {
            p[1].fd = interrupt->WakeFd();
            p[1].events = POLLIN;
        }
        const int r = poll(p, watchWake ? 2 : 1, left);
        if (r < 0) {
            if (errno == EINTR) continue;
            t_lastError = MapErrno(errno);
            return -1;
        }
        if (watchWake && p[1].revents != 0 && interrupt->Woken()) {
            t_lastError = sockerr::kConnAborted;
            return -1;
        }
        if (p[0].revents != 0) return 1;
        if (left == 0) return 0;
    }
}

SocketWaitInterrupt::SocketWaitInterrupt(int wakeFd, std::function<bool()> woken)
    : wakeFd_(wakeFd), woken_(std::move(woken)), previous_(t_interrupt) {
    t_interrupt = this;
}

SocketWaitInterrupt::~SocketWaitInterrupt() {
    t_interrupt = previous_;
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
