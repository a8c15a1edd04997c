#include "support/session_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/text.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "storage/database.h"
#include "storage/options.h"

namespace zul::test {

SessionHarness::SessionHarness(HarnessOptions options) {
    CConnection::Reset();
    EXPECT_TRUE(Database().Open());
    Options().ResetToDefaults();
    Options().ReconnectOnError = options.reconnectOnError ? 1 : 0;
    Options().RestoreLastStatusesOnStart = 0;

    endOfflineMessages_ = options.endOfflineMessages;
    login_ = std::make_unique<ScriptedServer>(true);
    service_ = std::make_unique<ScriptedServer>(true);

    // The test's own rules come first, so they take precedence over the standard ones.
    if (options.script) options.script(*login_, *service_);
    uint16_t loginPort = login_->Port();
    std::string serviceAddress = service_->HostPort();
    if (options.tlsCertificate) {
        loginTls_ = std::make_unique<TlsTerminator>(*options.tlsCertificate, login_->Port());
        serviceTls_ = std::make_unique<TlsTerminator>(*options.tlsCertificate, service_->Port());
        loginPort = loginTls_->Port();
        serviceAddress = serviceTls_->HostPort();
    }
    AddLoginRules(*login_, serviceAddress);
    AddServiceRules(*service_, {options.serverList, options.endOfflineMessages});

    CAccountData data;
    data.SetID(77);
    data.SetType(options.accountType);
    data.SetLogin(options.login);
    data.SetPassword(options.password);
    data.SetServer(u"127.0.0.1");
    data.SetPort(Widen(std::to_string(loginPort)));
    data.SetUseTls(options.tlsCertificate != nullptr);
    data.SetTrustedCertificate(options.trustedSha256);
    data.SetDescription(u"Test account");
    data.SetEnabled(1);
    account_ = std::make_unique<COscar>(data, contacts_, folders_.DataDir());
    account_->dbSave();
    account_->LoadContacts();
}

SessionHarness::~SessionHarness() {
    account_->Disconnect(false);
    account_.reset();
    loginTls_.reset();
    serviceTls_.reset();
    login_.reset();
    service_.reset();
    Database().Close();
}

bool SessionHarness::WaitUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

bool SessionHarness::SignOn(int32_t status, std::chrono::milliseconds timeout) {
    // The sequence ends with the own details request, which only numeric logins send.
    const std::u16string login = account_->Login();
    const bool numeric = !login.empty() && std::all_of(login.begin(), login.end(), [](char16_t c) {
        return c >= u'0' && c <= u'9';
    });
    const ScriptedServer::Match lastRequest =
        numeric ? ScriptedServer::Match(
                      [](const ReceivedFrame& f) { return MetaRequestType(f) == 0x07D0; })
                : ScriptedServer::IsSnac(0x04, 0x10);
    const size_t before = service_->CountFrames(lastRequest);
    account_->RequestStatus(status);
    // Signed on: the status is set, the last request of the sequence has arrived, and the
    // receive loop has taken over the frames kept during sign-on.
    // The offline-message step is over too (a refused meta request is followed by the AIM
    // one): no reply of the server's is still on its way when the test starts sending.
    return WaitUntil(
        [&] {
            const PendingRequests& pending = account_->Pending();
            return account_->Status() == status && service_->CountFrames(lastRequest) > before &&
                   account_->DeferredCount() == 0 && !pending.HasKind(kPendingOfflineIcq) &&
                   (!endOfflineMessages_ || !pending.HasKind(kPendingOfflineAim));
        },
        timeout);
}

void SessionHarness::ServerSends(uint16_t family, uint16_t subtype, const Bytes& payload,
                                 uint32_t requestId, uint16_t flags) {
    service_->Send(SnacFrame(family, subtype, payload, requestId, flags));
}

}  // namespace zul::test
