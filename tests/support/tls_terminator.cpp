#include "support/tls_terminator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace zul::test {
namespace {

void AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) throw std::runtime_error("certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

bool WaitReady(int fd, short events) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, 2000) > 0;
}

// Sends all bytes to a non-blocking plain socket.
bool SendAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
        if (r > 0) {
            data += r;
            n -= static_cast<size_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitReady(fd, POLLOUT)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Writes all bytes into the TLS stream over a non-blocking socket.
bool SslWriteAll(SSL* ssl, int fd, const char* data, size_t n) {
    while (n > 0) {
        const int r = SSL_write(ssl, data, static_cast<int>(n));
        if (r > 0) {
            data += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
            if (!WaitReady(fd, e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN)) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

TestCertificate::TestCertificate(const std::string& commonName, const std::string& names) {
    key_ = EVP_EC_gen("P-256");
    cert_ = X509_new();
    if (!key_ || !cert_) throw std::runtime_error("test certificate");
    X509_set_version(cert_, 2);
    static std::atomic<long> serial{1};
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert_), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert_), 3600L * 24 * 30);
    X509_set_pubkey(cert_, key_);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert_, name);
    AddExtension(cert_, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert_, NID_subject_alt_name, names);
    if (X509_sign(cert_, key_, EVP_sha256()) == 0) throw std::runtime_error("certificate sign");
}

TestCertificate::~TestCertificate() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
}

std::string TestCertificate::Sha256() const {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert_, &der);
    unsigned char digest[32];
    unsigned size = 0;
    EVP_Digest(der, static_cast<size_t>(n), digest, &size, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    std::string out;
    char hex[4];
    for (unsigned i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
        out += hex;
    }
    return out;
}

void TestCertificate::WritePem(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("pem file");
    PEM_write_X509(f, cert_);
    std::fclose(f);
}

TlsTerminator::TlsTerminator(const TestCertificate& certificate, uint16_t targetPort, Mode mode)
    : targetPort_(targetPort), mode_(mode) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate(ctx_, certificate.Certificate()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx_, certificate.Key()) != 1) {
        throw std::runtime_error("terminator context");
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        throw std::runtime_error("terminator listener");
    }
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TlsTerminator::~TlsTerminator() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    close(listener_);
    {
        std::lock_guard lock(mutex_);
        for (int fd : open_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : threads_) t.join();
    SSL_CTX_free(ctx_);
}

void TlsTerminator::AcceptLoop() {
    while (!stopping_) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR) continue;
            return;
        }
        ++accepted_;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            close(client);
            return;
        }
        open_.push_back(client);
        threads_.emplace_back([this, client] { Serve(client); });
    }
}

void TlsTerminator::Serve(int client) {
    int target = -1;
    SSL* ssl = nullptr;
    auto finish = [&] {
        std::lock_guard lock(mutex_);
        open_.erase(std::remove(open_.begin(), open_.end(), client), open_.end());
        open_.erase(std::remove(open_.begin(), open_.end(), target), open_.end());
        if (ssl) SSL_free(ssl);
        close(client);
        if (target >= 0) close(target);
    };
    if (mode_ == Mode::Silent) {
        char sink[4096];
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && recv(client, sink, sizeof sink, 0) <= 0) break;
            if (stopping_) break;
        }
        finish();
        return;
    }

    ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, client);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        finish();
        return;
    }
    ++handshakes_;
    target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    {
        std::lock_guard lock(mutex_);
        open_.push_back(target);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(targetPort_);
    if (stopping_ || connect(target, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        finish();
        return;
    }
    SetNonBlocking(client);
    SetNonBlocking(target);
    char buffer[16384];
    bool open = true;
    while (open && !stopping_) {
        pollfd p[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && poll(p, 2, 100) <= 0) continue;
        // From the client: everything the stream has decrypted.
        for (;;) {
            const int r = SSL_read(ssl, buffer, sizeof buffer);
            if (r > 0) {
                if (!SendAll(target, buffer, static_cast<size_t>(r))) open = false;
                continue;
            }
            const int e = SSL_get_error(ssl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) open = false;
            break;
        }
        // From the server.
        while (open) {
            const ssize_t r = recv(target, buffer, sizeof buffer, 0);
            if (r > 0) {
                if (!SslWriteAll(ssl, client, buffer, static_cast<size_t>(r))) open = false;
                continue;
            }
            if (r == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
            break;
        }
    }
    ERR_clear_error();
    finish();
}

}  // namespace zul::test
