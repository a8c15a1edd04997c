// TLS under the socket functions, against a terminator in front of a loopback echo server:
// the bytes arrive whole in both directions, a wait sees bytes the stream has already
// decrypted, a local shutdown wakes a blocked reader, a silent or non-TLS peer ends the
// handshake with a clear code, and a certificate is accepted only when the system's store or
// the user vouches for it.
#include "platform/tls.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_env.h"
#include "support/tls_terminator.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TestCertificate;
using test::TlsTerminator;

// A loopback server that runs `serve` on each connection it accepts, one at a time.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                serve_(c);
                close(c);
            }
        });
    }
    ~LoopbackServer() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    uint16_t Port() const { return port_; }

  private:
    std::function<void(int)> serve_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

void Echo(int c) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = recv(c, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        if (send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
    }
}

SocketHandle ConnectTo(uint16_t port) {
    SocketHandle s = SocketCreateTcp();
    SocketAddress address;
    address.family = AF_INET;
    address.portNetworkOrder = htons(port);
    address.addressNetworkOrder = htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(SocketConnect(s, address));
    return s;
}

void Close(SocketHandle s) {
    SocketShutdown(s);
    SocketRelease(s);
}

class Tls : public ::testing::Test {
  protected:
    void SetUp() override { SetSocketIoTimeout(3000); }
    void TearDown() override { SetSocketIoTimeout(60000); }

    TestCertificate certificate_;
    LoopbackServer echo_{Echo};
    TlsTerminator terminator_{certificate_, echo_.Port()};
    TlsTrust trusted_{"127.0.0.1", certificate_.Sha256()};
};

TEST_F(Tls, BytesGoBothWaysWholeAndTheWaitsSeeWhatTheStreamHolds) {
    const SocketHandle s = ConnectTo(terminator_.Port());
    TlsCertificate seen;
    ASSERT_TRUE(TlsStart(s, trusted_, &seen)) << LastSocketError();
    EXPECT_TRUE(IsTls(s));
    EXPECT_EQ(seen.sha256, certificate_.Sha256());
    EXPECT_EQ(seen.subject, "CN=zul test server");
    EXPECT_EQ(seen.issuer, seen.subject);
    EXPECT_FALSE(seen.problem.empty());  // the system's store does not know it

    // Nothing has come yet: the non-waiting read says so, as on a plain socket.
    char byte;
    EXPECT_EQ(SocketRecvNow(s, &byte, 1), -1);
    EXPECT_EQ(LastSocketError(), sockerr::kWouldBlock);

    // Half a megabyte out and back, in pieces larger than a record.
    std::string out(512 * 1024, '\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 31 + 7);
    std::thread writer([&] {
        for (size_t sent = 0; sent < out.size();) {
            const long n = SocketSend(s, out.data() + sent, out.size() - sent);
            ASSERT_GT(n, 0) << LastSocketError();
            sent += static_cast<size_t>(n);
        }
    });
    std::string back;
    char buffer[40000];
    while (back.size() < out.size()) {
        const long n = SocketRecv(s, buffer, sizeof buffer);
        ASSERT_GT(n, 0) << LastSocketError();
        back.append(buffer, static_cast<size_t>(n));
    }
    writer.join();
    EXPECT_TRUE(back == out);

    // One record of 100 bytes, read one byte at a time: the rest sits decrypted in the stream,
    // not on the descriptor, and the waits must still report it.
    ASSERT_EQ(SocketSend(s, out.data(), 100), 100);
    ASSERT_EQ(SocketRecv(s, &byte, 1), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(SocketWaitReadable(s, 0, 0), 1);
    const SocketHandle both[2] = {kInvalidSocket, s};
    EXPECT_EQ(SocketWaitAnyReadable(both, 2, 0), 2);
    char rest[99];
    size_t got = 0;
    while (got < sizeof rest) {
        const long n = SocketRecvNow(s, rest + got, sizeof rest - got);
        ASSERT_GT(n, 0) << LastSocketError();
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(rest, sizeof rest), out.substr(1, 99));

    Close(s);
    EXPECT_FALSE(IsTls(s));
    // The descriptor's number, handed out again, is a plain socket.
    const SocketHandle plain = ConnectTo(echo_.Port());
    EXPECT_FALSE(IsTls(plain));
    ASSERT_EQ(SocketSend(plain, "abc", 3), 3);
    char abc[3];
    ASSERT_EQ(SocketRecv(plain, abc, 3), 3);
    EXPECT_EQ(std::string(abc, 3), "abc");
    Close(plain);
}

TEST_F(Tls, ALocalShutdownWakesABlockedReaderAtOnce) {
    const SocketHandle s = ConnectTo(terminator_.Port());
    ASSERT_TRUE(TlsStart(s, trusted_));
    std::atomic<long> result{1};
    std::atomic<int> code{0};
    std::thread reader([&] {
        char byte;
        result = SocketRecv(s, &byte, 1);
        code = LastSocketError();
    });
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    SocketShutdown(s);
    reader.join();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_LE(result.load(), 0);
    EXPECT_EQ(code.load(), sockerr::kConnAborted);
    SocketRelease(s);
}

TEST_F(Tls, APeerThatStaysSilentOrSpeaksNoTlsEndsTheHandshakeClearly) {
    SetSocketIoTimeout(400);
    TlsTerminator silent(certificate_, echo_.Port(), TlsTerminator::Mode::Silent);
    SocketHandle s = ConnectTo(silent.Port());
    auto start = Clock::now();
    EXPECT_FALSE(TlsStart(s, trusted_));
    EXPECT_EQ(LastSocketError(), sockerr::kTimedOut);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(IsTls(s));
    Close(s);

    // A disconnect while the handshake waits ends it as our own abort.
    SetSocketIoTimeout(10000);
    s = ConnectTo(silent.Port());
    std::atomic<int> code{0};
    std::thread handshake([&] {
        TlsStart(s, trusted_);
        code = LastSocketError();
    });
    std::this_thread::sleep_for(100ms);
    start = Clock::now();
    SocketShutdown(s);
    handshake.join();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(code.load(), sockerr::kConnAborted);
    SocketRelease(s);

    // A plain server that answers with bytes of its own protocol.
    LoopbackServer plain([](int c) {
        const char hello[] = {0x2A, 0x01, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
        send(c, hello, sizeof hello, MSG_NOSIGNAL);
        char sink[512];
        recv(c, sink, sizeof sink, 0);
    });
    s = ConnectTo(plain.Port());
    TlsCertificate seen;
    EXPECT_FALSE(TlsStart(s, trusted_, &seen));
    EXPECT_EQ(LastSocketError(), tlserr::kHandshakeFailed);
    EXPECT_TRUE(seen.Empty());
    Close(s);
}

TEST_F(Tls, ACertificateNeedsTheSystemStoreOrTheUsersWord) {
    auto attempt = [&](const TlsTrust& trust, TlsCertificate* seen = nullptr) {
        const SocketHandle s = ConnectTo(terminator_.Port());
        const bool ok = TlsStart(s, trust, seen);
        const int code = ok ? 0 : LastSocketError();
        Close(s);
        return code;
    };
    TlsCertificate seen;
    EXPECT_EQ(attempt({"127.0.0.1", ""}, &seen), tlserr::kUntrusted);
    EXPECT_EQ(seen.sha256, certificate_.Sha256());
    EXPECT_EQ(attempt(trusted_), 0);
    // Trusted once, then a different certificate: refused, never taken silently.
    TestCertificate other;
    EXPECT_EQ(attempt({"127.0.0.1", other.Sha256()}, &seen), tlserr::kCertificateChanged);
    EXPECT_EQ(seen.sha256, certificate_.Sha256());

    // A store that holds the certificate vouches for it by name, without a fingerprint.
    test::TempFolder folder;
    const std::string store = folder.File("store.pem");
    certificate_.WritePem(store);
    setenv("SSL_CERT_FILE", store.c_str(), 1);
    EXPECT_EQ(attempt({"127.0.0.1", ""}, &seen), 0);
    EXPECT_TRUE(seen.problem.empty());
    EXPECT_EQ(attempt({"localhost", ""}), 0);
    // ...but only for the names it carries.
    EXPECT_EQ(attempt({"oscar.example.org", ""}, &seen), tlserr::kUntrusted);
    EXPECT_FALSE(seen.problem.empty());
    unsetenv("SSL_CERT_FILE");
}

}  // namespace
}  // namespace zul
