// A signed-on OSCAR session for integration tests: a real profile in a temporary folder, a
// scripted login server and service server on loopback that play the whole sign-on, and one
// COscar account pointed at them.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "support/oscar_server.h"
#include "support/signon_script.h"
#include "support/test_env.h"
#include "support/tls_terminator.h"

namespace zul::test {

struct HarnessOptions {
    std::u16string login = u"12345";
    std::u16string password = u"secret";
    // acctype::kIcq or acctype::kAim.
    uint8_t accountType = acctype::kIcq;
    // Body of the server-list reply SNAC(0x13,0x06); empty: the server answers 0x0F.
    Bytes serverList;
    // Adds rules before the standard sign-on ones, so that they take precedence.
    std::function<void(ScriptedServer& login, ScriptedServer& service)> script;
    bool reconnectOnError = true;
    // Answer the offline-message request at once with its end marker (0x04,0x17).
    bool endOfflineMessages = true;
    // With a certificate, both servers sit behind TLS terminators presenting it, and the
    // account connects with TLS, trusting `trustedSha256` (empty: nothing yet).
    const TestCertificate* tlsCertificate = nullptr;
    std::string trustedSha256;
};

class SessionHarness {
  public:
    explicit SessionHarness(HarnessOptions options = {});
    ~SessionHarness();

    ScriptedServer& LoginServer() { return *login_; }
    ScriptedServer& ServiceServer() { return *service_; }
    // The terminators in front of the servers (null without TLS).
    TlsTerminator* LoginTls() { return loginTls_.get(); }
    TlsTerminator* ServiceTls() { return serviceTls_.get(); }
    COscar& Account() { return *account_; }
    CContacts& Contacts() { return contacts_; }
    const IsolatedFolders& Folders() const { return folders_; }

    // Requests the status and waits until the account shows it (sign-on complete).
    bool SignOn(int32_t status = 0, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the condition holds, polling.
    static bool WaitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends a SNAC from the service server to the client on its latest connection.
    void ServerSends(uint16_t family, uint16_t subtype, const Bytes& payload = {},
                     uint32_t requestId = 0, uint16_t flags = 0);

  private:
    bool endOfflineMessages_ = true;
    IsolatedFolders folders_;
    std::unique_ptr<ScriptedServer> login_;
    std::unique_ptr<ScriptedServer> service_;
    std::unique_ptr<TlsTerminator> loginTls_;
    std::unique_ptr<TlsTerminator> serviceTls_;
    CContacts contacts_;
    std::unique_ptr<COscar> account_;
};

}  // namespace zul::test
