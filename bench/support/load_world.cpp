#include "support/load_world.h"

#include <sqlite3.h>

#include <stdexcept>
#include <thread>

#include "platform/text.h"
#include "protocol/transport/connection.h"
#include "storage/database.h"
#include "storage/options.h"
#include "support/signon_script.h"

namespace zul::bench {

using test::Reply;

AccountServers::AccountServers(const WorldSpec& shape, int a, const ServiceScript& script) {
    login_ = std::make_unique<ScriptedServer>(true);
    service_ = std::make_unique<ScriptedServer>(true);
    if (!login_->Listening() || !service_->Listening()) {
        throw std::runtime_error("the scripted servers cannot listen");
    }

    // The account's list, then the storms, ahead of the standard rules.
    if (shape.contactsPerAccount > 0) {
        service_->OnSnac(0x13, 0x04, Reply(ServerListFrames(shape, a)));
    }
    if (script.presenceNotices > 0) {
        Reply presence;
        presence.raw = EncodeFrames(PresenceNotices(shape, a, 0, script.presenceNotices));
        service_->OnSnac(0x01, 0x02, presence);
    }
    if (script.offlineMessages > 0) {
        // Built before any clock starts; a request only sets its id in them. (The server's own
        // work is no part of what a driver measures.)
        const std::vector<OutFrame> offline =
            OfflineMessages(shape, a, script.offlineMessages, script.offlineSenders, 0);
        service_->OnFrame([](const test::ReceivedFrame& f) { return f.IsSnac(0x04, 0x10); },
                          [offline](const test::ReceivedFrame& f) {
                              std::vector<OutFrame> frames = offline;
                              const uint32_t id = f.requestId();
                              for (OutFrame& frame : frames) {
                                  for (int b = 0; b < 4; ++b) {
                                      frame.data[6 + b] = static_cast<uint8_t>(id >> (24 - 8 * b));
                                  }
                              }
                              Reply reply;
                              reply.raw = EncodeFrames(frames, 3000);
                              return reply;
                          });
    }
    test::AddLoginRules(*login_, service_->HostPort());
    test::AddServiceRules(*service_, test::SignOnScript{});
}

Client::Client(const std::string& profileFolder) {
    (void)profileFolder;  // the data folder override points there
    CConnection::Reset();
    if (!Database().Open()) throw std::runtime_error("cannot open the profile");
    Options().ResetToDefaults();
    Options().ReconnectOnError = 0;
    Options().RestoreLastStatusesOnStart = 0;
}

Client::~Client() {
    for (auto& account : accounts_) account->Disconnect(false);
    accounts_.clear();
    Database().Close();
}

COscar& Client::AddAccount(int a, uint16_t loginPort) {
    CAccountData data;
    data.SetID(AccountId(a));
    data.SetType(acctype::kIcq);
    data.SetLogin(AccountLogin(a));
    data.SetPassword(u"secret");
    data.SetServer(u"127.0.0.1");
    data.SetPort(Widen(std::to_string(loginPort)));
    data.SetDescription(u"Account " + Widen(std::to_string(a + 1)));
    data.SetEnabled(1);
    accounts_.push_back(std::make_unique<COscar>(data, contacts_, std::string()));
    return *accounts_.back();
}

bool Client::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                       std::chrono::microseconds poll) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(poll);
    }
    return condition();
}

bool Client::SignOn(COscar& account, std::chrono::milliseconds timeout) {
    account.RequestStatus(0);
    return WaitUntil([&] { return account.Status() == 0 && account.DeferredCount() == 0; }, timeout,
                     std::chrono::milliseconds(1));
}

bool WithCommittedProfile(const std::function<void()>& body) {
    CDatabase& db = Database();
    std::lock_guard lock(db.Mutex());
    sqlite3* handle = db.Connection().Handle();
    if (!handle || sqlite3_get_autocommit(handle) == 0) return false;
    body();
    return true;
}

}  // namespace zul::bench
