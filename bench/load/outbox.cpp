// outbox: 2,000 outgoing messages to 100 contacts wait in the profile; after sign-on the
// session's idle pass sends them. Timed from the first message frame the server receives to
// the last one received and every message marked sent and committed.
#include <atomic>
#include <mutex>

#include "load/drivers.h"
#include "storage/database.h"
#include "support/figures.h"
#include "support/load_world.h"

namespace zul::bench {
namespace {

constexpr int kContacts = 100;
constexpr int kPerContact = 20;
constexpr int kMessages = kContacts * kPerContact;

}  // namespace

int RunOutbox() {
    WorldSpec shape;
    shape.contactsPerAccount = kContacts;
    shape.groupsPerAccount = 10;
    shape.pendingPerContact = kPerContact;

    test::IsolatedFolders folders;
    AccountServers servers(shape, 0, ServiceScript{});
    std::mutex timesMutex;
    Clock::time_point first, last;
    std::atomic<int> received{0};
    // Ahead of the standard rules: the server records each message as it arrives.
    servers.Service().OnFrame([](const test::ReceivedFrame& f) { return f.IsSnac(0x04, 0x06); },
                              [&](const test::ReceivedFrame&) {
                                  std::lock_guard lock(timesMutex);
                                  const auto now = Clock::now();
                                  if (received.load() == 0) first = now;
                                  last = now;
                                  received.fetch_add(1);
                                  return test::Reply();
                              });
    WriteProfile(folders.DataDir() + "zul.profile", shape, {servers.Login().Port()});

    Client client(folders.DataDir());
    COscar& account = client.AddAccount(0, servers.Login().Port());
    if (!Client::SignOn(account)) throw std::runtime_error("sign-on failed");

    int32_t marked = 0;
    Clock::time_point markedAt;
    const bool finished = Client::WaitUntil(
        [&] {
            WithCommittedProfile([&] {
                CppSQLite3Command count = Database().Prepare(
                    u"SELECT COUNT(*) FROM History WHERE Direction=1 AND Sent=1");
                marked = Database().ExecuteScalar(count);
                markedAt = Clock::now();
            });
            return marked >= kMessages && received.load() >= kMessages;
        },
        std::chrono::seconds(120), std::chrono::microseconds(500));

    double seconds = 0;
    {
        std::lock_guard lock(timesMutex);
        seconds = SecondsBetween(first, std::max(last, markedAt));
    }
    const double rate = seconds > 0 ? kMessages / seconds : 0;
    PrintFigure({"outbox", rate, "msg/s", ">= 2000 msg/s", finished && rate >= 2000, {}});
    if (!finished) {
        std::fprintf(stderr, "outbox: %d received, %d marked sent\n", received.load(), marked);
        return 1;
    }
    return 0;
}

}  // namespace zul::bench
