#include "platform/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "platform/log.h"
#include "platform/text.h"

namespace zul {
namespace {

using Clock = std::chrono::steady_clock;

// A wait on the descriptor lasts at most this long before the local shutdown is looked at again.
constexpr int kSliceMs = 250;

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

// One TLS stream. The lock is held only across calls that never wait: the descriptor is
// non-blocking, and the waits for it happen with the lock released.
struct Stream {
    std::mutex mutex;
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
};

std::mutex g_streamsMutex;
std::map<SocketHandle, std::shared_ptr<Stream>> g_streams;
// Plain sockets skip the lookup while no stream exists.
std::atomic<int> g_streamCount{0};

std::shared_ptr<Stream> Find(SocketHandle s) {
    if (g_streamCount.load() == 0) return nullptr;
    std::lock_guard lock(g_streamsMutex);
    auto it = g_streams.find(s);
    return it == g_streams.end() ? nullptr : it->second;
}

std::string Hex(const unsigned char* bytes, unsigned n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        if (i) out.push_back(':');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
    return out;
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || !name) return {};
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 && data ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string TimeText(const ASN1_TIME* time) {
    tm t{};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return {};
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &t);
    return text;
}

TlsCertificate Describe(X509* cert, long verifyResult) {
    TlsCertificate out;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &n) == 1) out.sha256 = Hex(digest, n);
    out.subject = NameText(X509_get_subject_name(cert));
    out.issuer = NameText(X509_get_issuer_name(cert));
    out.notBefore = TimeText(X509_get0_notBefore(cert));
    out.notAfter = TimeText(X509_get0_notAfter(cert));
    if (verifyResult != X509_V_OK) out.problem = X509_verify_cert_error_string(verifyResult);
    return out;
}

// The oldest error OpenSSL queued on this thread, for the log.
std::string QueuedError() {
    const unsigned long e = ERR_get_error();
    if (e == 0) return "no detail";
    char text[256] = {};
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// Waits until the descriptor is ready for `events`, at most until the deadline, in slices
// that look at the local shutdown; the thread's interrupt ends it at once. 0 ready, else the
// socket-layer error.
int WaitFor(SocketHandle s, short events, Clock::time_point deadline) {
    for (;;) {
        if (SocketShutLocally(s)) return sockerr::kConnAborted;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return sockerr::kTimedOut;
        const int r = SocketPoll(s, (events & POLLOUT) != 0,
                                 static_cast<int>(std::min<long long>(left, kSliceMs)));
        if (r < 0) return LastSocketError();
        if (r > 0) return SocketShutLocally(s) ? sockerr::kConnAborted : 0;
    }
}

Clock::time_point IoDeadline() {
    return Clock::now() + std::chrono::milliseconds(SocketIoTimeoutMs());
}

// The socket-layer error for an OpenSSL failure that is not a "try again".
int FailureCode(SocketHandle s, int sslError, int savedErrno, bool handshake) {
    if (SocketShutLocally(s)) return sockerr::kConnAborted;
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0) return MapErrno(savedErrno);
    if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) {
        // The peer closed without a word.
        return handshake ? tlserr::kHandshakeFailed : sockerr::kConnReset;
    }
    return handshake ? tlserr::kHandshakeFailed : tlserr::kStreamBroken;
}

bool IsIpv4(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

std::unique_ptr<SSL_CTX, CtxFree> NewClientContext() {
    // OpenSSL writes to the descriptor with write(), which raises SIGPIPE on a connection the
    // peer has closed; the failed write is handled as an error like any other.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { std::signal(SIGPIPE, SIG_IGN); });
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return ctx;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // The store's verdict is read after the handshake: an unknown certificate is then shown to
    // the user instead of ending the handshake with an alert.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(ctx.get());
    // Terminators in front of these servers often close without a close_notify; the frames'
    // own lengths show a cut stream.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

// The end of one OpenSSL call, repeated while it asked to wait for the descriptor.
struct Step {
    int r = 0;          // the call's result; > 0 done
    int error = 0;      // SSL_get_error of the last try
    int saved = 0;      // errno after it
    int waitError = 0;  // the wait that failed (socket-layer code), or 0
};

// Runs `call` on `ssl` (under the stream's lock when there is one, never across a wait) until
// it is done, fails, or would have to wait when `wait` is off (then 10035, or 10053 after a
// local shutdown). The waits end at the socket time-out and look at the local shutdown.
template <typename Call>
Step Repeat(SocketHandle s, SSL* ssl, std::mutex* lock, bool wait, Call call) {
    const Clock::time_point deadline = IoDeadline();
    for (;;) {
        Step step;
        {
            std::unique_lock guard =
                lock ? std::unique_lock(*lock) : std::unique_lock<std::mutex>();
            ERR_clear_error();
            errno = 0;
            step.r = call(ssl);
            step.saved = errno;
            step.error = step.r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, step.r);
        }
        if (step.error != SSL_ERROR_WANT_READ && step.error != SSL_ERROR_WANT_WRITE) return step;
        step.waitError =
            wait ? WaitFor(s, step.error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)
                 : (SocketShutLocally(s) ? sockerr::kConnAborted : sockerr::kWouldBlock);
        if (step.waitError != 0) return step;
    }
}

// Runs SSL_connect to the end, waiting on the descriptor between the steps. 0 or the error.
int Handshake(SocketHandle s, SSL* ssl) {
    const Step step = Repeat(s, ssl, nullptr, true, SSL_connect);
    if (step.r == 1) return 0;
    if (step.waitError != 0) return step.waitError;
    const int code = FailureCode(s, step.error, step.saved, true);
    if (code == tlserr::kHandshakeFailed) {
        WriteLog(kGeneralLog, u"TLS handshake failed: " + FromUtf8(QueuedError()));
    }
    return code;
}

}  // namespace

bool TlsStart(SocketHandle s, const TlsTrust& trust, TlsCertificate* seen) {
    if (seen) *seen = TlsCertificate{};
    auto stream = std::make_shared<Stream>();
    stream->ctx = NewClientContext();
    if (stream->ctx) stream->ssl.reset(SSL_new(stream->ctx.get()));
    if (!stream->ssl || SSL_set_fd(stream->ssl.get(), s) != 1) {
        WriteLog(kGeneralLog, u"TLS could not start: " + FromUtf8(QueuedError()));
        SetLastSocketError(sockerr::kNoBufs);
        return false;
    }
    SSL* ssl = stream->ssl.get();
    if (!trust.host.empty()) {
        if (IsIpv4(trust.host)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), trust.host.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl, trust.host.c_str());
            SSL_set1_host(ssl, trust.host.c_str());
        }
    }

    const int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    const int failure = Handshake(s, ssl);
    if (failure != 0) {
        fcntl(s, F_SETFL, flags);
        SetLastSocketError(failure);
        return false;
    }

    std::unique_ptr<X509, X509Free> cert(SSL_get1_peer_certificate(ssl));
    if (!cert) {
        fcntl(s, F_SETFL, flags);
        SetLastSocketError(tlserr::kUntrusted);
        return false;
    }
    const long verdict = SSL_get_verify_result(ssl);
    const TlsCertificate described = Describe(cert.get(), verdict);
    if (seen) *seen = described;
    if (verdict != X509_V_OK && described.sha256 != trust.trustedSha256) {
        fcntl(s, F_SETFL, flags);
        SetLastSocketError(trust.trustedSha256.empty() ? tlserr::kUntrusted
                                                       : tlserr::kCertificateChanged);
        return false;
    }
    {
        std::lock_guard lock(g_streamsMutex);
        if (g_streams.insert_or_assign(s, std::move(stream)).second) ++g_streamCount;
    }
    return true;
}

bool IsTls(SocketHandle s) {
    return Find(s) != nullptr;
}

bool TlsSend(SocketHandle s, const void* data, size_t n, bool wait, long& result) {
    std::shared_ptr<Stream> stream = Find(s);
    if (!stream) return false;
    if (n == 0) {
        result = 0;
        return true;
    }
    const int chunk = static_cast<int>(std::min<size_t>(n, 1 << 30));
    const Step step = Repeat(s, stream->ssl.get(), &stream->mutex, wait,
                             [&](SSL* ssl) { return SSL_write(ssl, data, chunk); });
    result = step.r > 0 ? step.r : -1;
    if (step.r <= 0)
        SetLastSocketError(step.waitError ? step.waitError
                                          : FailureCode(s, step.error, step.saved, false));
    return true;
}

bool TlsRecv(SocketHandle s, void* data, size_t n, bool wait, long& result) {
    std::shared_ptr<Stream> stream = Find(s);
    if (!stream) return false;
    const int chunk = static_cast<int>(std::min<size_t>(n, 1 << 30));
    const Step step = Repeat(s, stream->ssl.get(), &stream->mutex, wait,
                             [&](SSL* ssl) { return SSL_read(ssl, data, chunk); });
    result = step.r > 0 ? step.r : -1;
    if (step.r > 0) return true;
    if (step.waitError != 0) {
        SetLastSocketError(step.waitError);
    } else if (step.error == SSL_ERROR_ZERO_RETURN ||
               (step.error == SSL_ERROR_SYSCALL && step.saved == 0 && ERR_peek_error() == 0)) {
        // An orderly close reports no error, unless we shut the socket down ourselves.
        result = 0;
        SetLastSocketError(SocketShutLocally(s) ? sockerr::kConnAborted : 0);
    } else {
        SetLastSocketError(FailureCode(s, step.error, step.saved, false));
    }
    return true;
}

bool TlsHasPending(SocketHandle s) {
    std::shared_ptr<Stream> stream = Find(s);
    if (!stream) return false;
    std::lock_guard lock(stream->mutex);
    return SSL_pending(stream->ssl.get()) > 0;
}

void TlsForget(SocketHandle s) {
    std::shared_ptr<Stream> gone;
    std::lock_guard lock(g_streamsMutex);
    auto it = g_streams.find(s);
    if (it == g_streams.end()) return;
    gone = std::move(it->second);
    g_streams.erase(it);
    --g_streamCount;
}

}  // namespace zul
