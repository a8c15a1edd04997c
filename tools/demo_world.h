// The world of the local demo server: a login server, a service server and an avatar server on
// loopback, built from the scripted test servers, and a few people who live in it. They have
// nicknames, pictures, moods and status texts, come online and change their statuses over
// time, answer every message by echoing it after a typing notice, leave one offline message
// and send one authorisation request.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "support/avatar_server.h"
#include "support/oscar_server.h"

namespace zul::demo {

// Prints a line on standard output, after the time of day.
void Say(const std::string& text);

struct DemoPerson {
    std::string login;
    std::string nickname;
    uint16_t groupId = 0;
    uint16_t itemId = 0;
    int32_t status = -1;  // internal status code; -1 offline
    std::string statusText;
    int32_t mood = -1;  // 0..23, -1 none
    bool awaitingAuth = false;
    std::vector<uint8_t> picture;  // PNG
};

class DemoWorld {
  public:
    // `loginPort` 0 takes an ephemeral port; `seed` drives the people's wanderings.
    DemoWorld(uint16_t loginPort, uint32_t seed);
    ~DemoWorld();
    DemoWorld(const DemoWorld&) = delete;
    DemoWorld& operator=(const DemoWorld&) = delete;

    bool Listening() const;
    uint16_t LoginPort() const;

    // Runs the actions that are due and reports what it sees of the clients; returns the time
    // until the next action.
    std::chrono::milliseconds RunDue();

    // The people of the server-side list, for tests and the start-up text.
    std::vector<DemoPerson> People() const;

  private:
    using Bytes = test::Bytes;
    struct Timed {
        std::chrono::steady_clock::time_point due;
        uint64_t order;
        std::function<void()> action;
        bool operator>(const Timed& other) const {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    void AddServiceRules();
    void Schedule(std::chrono::milliseconds delay, std::function<void()> action);

    test::Reply OnSignedOn(const test::ReceivedFrame& frame);
    test::Reply OnMessage(const test::ReceivedFrame& frame);
    test::Reply OnOfflineRequest(const test::ReceivedFrame& frame);
    test::Reply OnMetaOfflineRequest(const test::ReceivedFrame& frame, uint32_t own,
                                     uint16_t sequence, uint16_t type);
    test::Reply OnDetailsRequest(const test::ReceivedFrame& frame);
    // The full directory entry of a person (basic, more, notes, and the closing reply).
    test::Reply OnFullDetailsRequest(const test::ReceivedFrame& frame, uint32_t own,
                                     uint16_t sequence, uint32_t asked);
    // A directory search by number (0x051F), details (0x0515) or e-mail (0x0529): the people
    // whose number, nickname or e-mail holds what was asked.
    test::Reply OnSearchRequest(const test::ReceivedFrame& frame, uint32_t own, uint16_t sequence,
                                uint16_t subtype, const test::Bytes& request);
    // The profile and away message of a person (location service).
    test::Reply OnLocationRequest(const test::ReceivedFrame& frame);
    void OnOwnStatus(const test::ReceivedFrame& frame);
    void Echo(int connection, const std::string& login, const Bytes& ucs2);
    void Wander();
    void SendAuthorisationRequest();

    Bytes PresenceOf(const DemoPerson& person);
    Bytes ServerList() const;
    const DemoPerson* Find(const std::string& login) const;  // under mutex_
    std::string NameOf(const std::string& login) const;
    void SendToSession(const test::OutFrame& frame);

    std::unique_ptr<test::ScriptedServer> login_;
    std::unique_ptr<test::ScriptedServer> service_;
    std::unique_ptr<test::AvatarServer> avatars_;

    mutable std::mutex mutex_;  // everything below
    std::vector<DemoPerson> people_;
    std::mt19937 random_;
    uint32_t textTime_;
    int session_ = -1;  // service connection of the latest signed-on client
    bool wandering_ = false;
    bool offlineMessageSent_ = false;
    bool authorisationScheduled_ = false;
    size_t avatarRequestsSeen_ = 0;
    uint64_t order_ = 0;
    std::priority_queue<Timed, std::vector<Timed>, std::greater<>> timeline_;
};

}  // namespace zul::demo
