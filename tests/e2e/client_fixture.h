// The base of the end-to-end fixtures: the real client on a profile of its own, against a
// scripted login server and a service server that signs it on with a given server-side list.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/profile_file.h"
#include "support/oscar_server.h"
#include "support/signon_script.h"
#include "support/test_env.h"

namespace zul::test {

using ServerList = std::vector<ListItem>;

// Generous: the client is built with sanitizers and two tests may run side by side.
inline constexpr std::chrono::seconds kSignOnWait{60};

class ClientFixture : public ::testing::Test {
  protected:
    explicit ClientFixture(const ServerList& serverList) {
        login_ = std::make_unique<ScriptedServer>(true);
        service_ = std::make_unique<ScriptedServer>(true);
        AddLoginRules(*login_, service_->HostPort());
        AddServiceRules(*service_, {ServerListBody(serverList), true});
        setup_.account.port = login_->Port();
    }

    ~ClientFixture() override {
        using namespace std::chrono_literals;
        if (client_ && client_->Running()) client_->Stop(20s);
        if (HasFailure() && client_) {
            std::cerr << "--- client output ---\n" << client_->Output() << "---\n";
        }
    }

    std::string ProfilePath() const { return folders_.DataDir() + "zul.profile"; }

    // Starts the client on the profile as it stands.
    void LaunchClient() {
        client_ = std::make_unique<ChildProcess>(ChildProcess::Client(folders_.DataDir()));
        ASSERT_TRUE(client_->Started());
    }

    // Waits until the client has asked for its offline messages for the `n`th time: the last
    // step of a sign-on that needs an answer. A client that ended before is a failure, unless
    // it is a build without a window (then skipped_ is set).
    bool WaitForSignOn(size_t n = 1) {
        using namespace std::chrono_literals;
        const auto signedOn = [&] {
            return service_->CountFrames(ScriptedServer::IsSnac(0x04, 0x10)) >= n;
        };
        const auto end = std::chrono::steady_clock::now() + kSignOnWait;
        while (std::chrono::steady_clock::now() < end && client_->Running() && !signedOn())
            std::this_thread::sleep_for(20ms);
        if (!client_->Running()) {
            skipped_ = client_->Output().find("not built yet") != std::string::npos;
            if (!skipped_) ADD_FAILURE() << "the client ended before signing on";
            return false;
        }
        return signedOn();
    }

    IsolatedFolders folders_;
    std::unique_ptr<ScriptedServer> login_;
    std::unique_ptr<ScriptedServer> service_;
    ProfileSetup setup_;
    std::unique_ptr<ChildProcess> client_;
    bool skipped_ = false;
};

}  // namespace zul::test
