// Blocking TCP sockets whose errors are reported with the socket-layer numbers the rest of
// the program uses (10053 connection aborted, 10054 reset, 10061 refused, 11001 host not found...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zul {

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// Error numbers of the socket layer.
namespace sockerr {
constexpr int kInterrupted = 10004;
constexpr int kBadSocket = 10038;
constexpr int kAccess = 10013;
constexpr int kFault = 10014;
constexpr int kWouldBlock = 10035;
constexpr int kMsgSize = 10040;
constexpr int kAfNoSupport = 10047;
constexpr int kAddrNotAvail = 10049;
constexpr int kNetDown = 10050;
constexpr int kNetUnreach = 10051;
constexpr int kConnAborted = 10053;
constexpr int kConnReset = 10054;
constexpr int kNoBufs = 10055;
constexpr int kNotConn = 10057;
constexpr int kTimedOut = 10060;
constexpr int kConnRefused = 10061;
constexpr int kHostDown = 10064;
constexpr int kHostUnreach = 10065;
constexpr int kNotInitialised = 10093;
constexpr int kHostNotFound = 11001;
}  // namespace sockerr

// The error of the calling thread's last failed socket call, as a socket-layer number;
// 0 when the last receive ended with an orderly close by the peer.
int LastSocketError();
void SetLastSocketError(int code);
int MapErrno(int err);

// IPv4 address record: family, port in network order, 32-bit address in network order.
struct SocketAddress {
    uint16_t family = 0;
    uint16_t portNetworkOrder = 0;
    uint32_t addressNetworkOrder = 0;
};

// Dotted text to a 32-bit address in network order; anything else gives 0xFFFFFFFF.
uint32_t InetAddr(const std::string& dotted);
// Resolves a name to its first IPv4 address as dotted text; false with 11001 when it fails.
bool ResolveHostIPv4(const std::string& name, std::string& dotted);

// Sockets made after this call give up a blocked send or receive after `ms` milliseconds
// with 10060 (default 60 s).
void SetSocketIoTimeout(int ms);
int SocketIoTimeoutMs();
// A connect that has not completed after `ms` milliseconds gives up with 10060 (default 20 s).
void SetSocketConnectTimeout(int ms);

SocketHandle SocketCreateTcp();
bool SocketConnect(SocketHandle s, const SocketAddress& address);
// Returns bytes moved, 0 on an orderly close, -1 on failure (see LastSocketError()).
long SocketSend(SocketHandle s, const void* data, size_t n);
long SocketRecv(SocketHandle s, void* data, size_t n);
// Takes what has already arrived, never waiting: bytes moved, 0 on an orderly close, -1 on
// failure; nothing waiting is a failure with 10035.
long SocketRecvNow(SocketHandle s, void* data, size_t n);
// Sends what the socket takes at once, never waiting: bytes moved, or -1.
long SocketSendNow(SocketHandle s, const void* data, size_t n);
// Waits for readability or an exception; 1 ready, 0 timed out, -1 failed.
int SocketWaitReadable(SocketHandle s, int seconds, int microseconds = 0);
// Waits up to `ms` (-1: no limit) until the socket is readable (or writable); 1 ready, 0 timed
// out, -1 failed. Watches the thread's SocketWaitInterrupt: interrupted, it fails with 10053.
int SocketPoll(SocketHandle s, bool forWriting, int ms);

// While one lives on a thread, every wait of the socket layer on that thread (a connect, a
// receive or a send that waits for the socket, the TLS layer's waits) also watches `wakeFd`
// (a WakeSignal's descriptor). When it turns readable, `woken` runs on the waiting thread: it
// clears the descriptor and answers whether the wait must end; the wait then fails with 10053
// (connection aborted), as after a local shutdown. Otherwise the wait goes on.
class SocketWaitInterrupt {
  public:
    SocketWaitInterrupt(int wakeFd, std::function<bool()> woken);
    ~SocketWaitInterrupt();
    SocketWaitInterrupt(const SocketWaitInterrupt&) = delete;
    SocketWaitInterrupt& operator=(const SocketWaitInterrupt&) = delete;

    int WakeFd() const { return wakeFd_; }
    bool Woken() const { return woken_(); }

  private:
    int wakeFd_;
    std::function<bool()> woken_;
    const SocketWaitInterrupt* previous_;
};
// Waits up to `ms` for any of the sockets (an invalid one is left out) to become readable;
// bit i of the result is set when sockets[i] is. 0 on a time-out, -1 on failure.
int SocketWaitAnyReadable(const SocketHandle* sockets, size_t count, int ms);
// Shuts both directions down. A thread blocked in a receive on it then sees 10053.
void SocketShutdown(SocketHandle s);
// Whether this process shut the socket down (and has not released it yet).
bool SocketShutLocally(SocketHandle s);
// Releases the descriptor (after a shutdown).
void SocketRelease(SocketHandle s);

}  // namespace zul
