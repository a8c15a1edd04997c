// The sides of a load run in one process: the scripted servers of an account, and the client
// with its profile, options, contact store and live accounts.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "support/bench_profile.h"
#include "support/oscar_server.h"
#include "support/test_env.h"
#include "support/wire_builders.h"

namespace zul::bench {

using test::ScriptedServer;

// What a service server does beyond the standard sign-on.
struct ServiceScript {
    // Presence notices sent when the client says it is ready (SNAC(0x01,0x02)).
    int presenceNotices = 0;
    // Offline messages sent in answer to the offline-message request, from this many senders.
    int offlineMessages = 0;
    int offlineSenders = 1;
};

// A login server handing out the service address, and a service server playing the standard
// sign-on with the account's server list and the script's storms.
class AccountServers {
  public:
    AccountServers(const WorldSpec& shape, int a, const ServiceScript& script);
    ScriptedServer& Login() { return *login_; }
    ScriptedServer& Service() { return *service_; }

  private:
    std::unique_ptr<ScriptedServer> login_;
    std::unique_ptr<ScriptedServer> service_;
};

// The client: the process database opened on `profileFolder`/zul.profile, default options,
// the contact store and the accounts made from the world.
class Client {
  public:
    explicit Client(const std::string& profileFolder);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Makes the live account a (its contacts load from the profile).
    COscar& AddAccount(int a, uint16_t loginPort);
    CContacts& Contacts() { return contacts_; }
    const std::vector<std::unique_ptr<COscar>>& Accounts() const { return accounts_; }

    // Requests "online" and waits until the session's receive loop runs.
    static bool SignOn(COscar& account,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));
    static bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                          std::chrono::microseconds poll);

  private:
    CContacts contacts_;
    std::vector<std::unique_ptr<COscar>> accounts_;
};

// Runs `body` with the database lock held while no transaction is open, that is when every
// row written so far is committed.
bool WithCommittedProfile(const std::function<void()>& body);

}  // namespace zul::bench
