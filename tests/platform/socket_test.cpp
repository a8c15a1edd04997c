#include "platform/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/tick.h"

namespace zul {
namespace {

// A listening loopback socket on an ephemeral port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 4);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

SocketAddress Loopback(uint16_t port) {
    SocketAddress a;
    a.family = AF_INET;
    a.portNetworkOrder = htons(port);
    a.addressNetworkOrder = InetAddr("127.0.0.1");
    return a;
}

TEST(Socket, RefusedConnectionReports10061) {
    uint16_t port;
    {
        Listener l;
        port = l.port;
    }
    SocketHandle s = SocketCreateTcp();
    EXPECT_FALSE(SocketConnect(s, Loopback(port)));
    EXPECT_EQ(LastSocketError(), sockerr::kConnRefused);
    SocketRelease(s);
}

TEST(Socket, PeerCloseIsOrderlyButLocalShutdownReportsAborted) {
    Listener l;
    SocketHandle s = SocketCreateTcp();
    ASSERT_TRUE(SocketConnect(s, Loopback(l.port)));
    int peer = accept(l.fd, nullptr, nullptr);
    close(peer);
    char b;
    EXPECT_EQ(SocketRecv(s, &b, 1), 0);
    EXPECT_EQ(LastSocketError(), 0);
    SocketRelease(s);

    SocketHandle s2 = SocketCreateTcp();
    ASSERT_TRUE(SocketConnect(s2, Loopback(l.port)));
    int peer2 = accept(l.fd, nullptr, nullptr);
    int seen = -1;
    std::thread reader([&] {
        char c;
        SocketRecv(s2, &c, 1);
        seen = LastSocketError();
    });
    SleepMs(50);
    SocketShutdown(s2);
    reader.join();
    EXPECT_EQ(seen, sockerr::kConnAborted);
    SocketRelease(s2);
    close(peer2);
}

// A shutdown that reached a descriptor number after its socket was closed elsewhere (a
// disconnect racing with the session closing its socket) must not follow the number: the next
// socket made on it connects, and its peer's orderly close stays an orderly close.
TEST(Socket, ShutdownMarkDoesNotOutliveItsDescriptor) {
    Listener l;
    SocketHandle stale = SocketCreateTcp();
    SocketShutdown(stale);
    close(stale);  // given back without SocketRelease, as the racing close does

    SocketHandle s = SocketCreateTcp();
    ASSERT_EQ(s, stale) << "the kernel hands out the lowest free number";
    ASSERT_TRUE(SocketConnect(s, Loopback(l.port))) << LastSocketError();
    int peer = accept(l.fd, nullptr, nullptr);
    close(peer);
    char b;
    EXPECT_EQ(SocketRecv(s, &b, 1), 0);
    EXPECT_EQ(LastSocketError(), 0);
    SocketRelease(s);
}

TEST(Socket, AddressesAndNames) {
    EXPECT_EQ(InetAddr("1.2.3.4"), htonl(0x01020304));
    EXPECT_EQ(InetAddr("5190host"), 0xFFFFFFFFu);
    std::string dotted;
    EXPECT_TRUE(ResolveHostIPv4("localhost", dotted));
    EXPECT_EQ(dotted, "127.0.0.1");
    EXPECT_FALSE(ResolveHostIPv4("no-such-host.invalid", dotted));
    EXPECT_EQ(LastSocketError(), sockerr::kHostNotFound);
}

}  // namespace
}  // namespace zul
