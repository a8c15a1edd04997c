// TLS in front of the scripted servers, as the terminators real OSCAR servers sit behind:
// a self-signed certificate made for the test run, and a loopback listener that takes TLS
// connections and forwards their plain bytes to a server port, both ways.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zul::test {

class TestCertificate {
  public:
    // A key and a certificate for the common name, valid for "localhost" and 127.0.0.1 unless
    // `names` says otherwise (entries "DNS:..." or "IP:...").
    explicit TestCertificate(const std::string& commonName = "zul test server",
                             const std::string& names = "DNS:localhost,IP:127.0.0.1");
    ~TestCertificate();
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    X509* Certificate() const { return cert_; }
    EVP_PKEY* Key() const { return key_; }
    // "AB:CD:..." of the DER bytes, computed here independently of the program.
    std::string Sha256() const;
    // The certificate in PEM form, written to `path` (for a trust store of the test's own).
    void WritePem(const std::string& path) const;

  private:
    EVP_PKEY* key_ = nullptr;
    X509* cert_ = nullptr;
};

class TlsTerminator {
  public:
    enum class Mode {
        Forward,  // the handshake, then bytes both ways to the target
        Silent,   // accepts and never answers the handshake
    };

    TlsTerminator(const TestCertificate& certificate, uint16_t targetPort,
                  Mode mode = Mode::Forward);
    ~TlsTerminator();
    TlsTerminator(const TlsTerminator&) = delete;
    TlsTerminator& operator=(const TlsTerminator&) = delete;

    uint16_t Port() const { return port_; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // Connections accepted so far, and how many of them finished the handshake.
    int Accepted() const { return accepted_.load(); }
    int Handshakes() const { return handshakes_.load(); }

  private:
    void AcceptLoop();
    void Serve(int client);

    SSL_CTX* ctx_ = nullptr;
    uint16_t targetPort_;
    Mode mode_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> handshakes_{0};
    std::mutex mutex_;
    std::vector<int> open_;  // descriptors to shut down when stopping
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace zul::test
