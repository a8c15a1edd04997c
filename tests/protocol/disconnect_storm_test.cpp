// A signed-on session under load, disconnected at random moments and signed on again, over and
// over. The service server pushes incoming messages and presence notices without pause and
// acknowledges every message it gets; a user thread keeps writing messages that the outbox
// sends. A watchdog ends the process when one Disconnect (or the whole run) takes too long.
// Once the session thread has carried out a Disconnect, it rests, the session's sockets are
// closed and every lock it uses is free; at the end the profile is intact, no message is stored
// twice and none is sent twice.
//
//   ZUL_DISCONNECT_RUNS=1000   the long form (default 100 disconnects)
//   ZUL_DISCONNECT_SEED=<n>    repeats the run of a seed (printed at the start and on failure)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/service_wire.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/connection.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/status.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"
#include "support/test_env.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::Reply;
using test::ScriptedServer;
using test::SessionHarness;

// --- process figures --------------------------------------------------------------------------

using test::OpenDescriptors;
size_t Threads() {
    return test::ThreadCount();
}

// Takes the lock if no other thread holds it, and gives it back.
template <typename Lock>
bool IsFree(Lock& lock) {
    if (!lock.try_lock()) return false;
    lock.unlock();
    return true;
}

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::atoi(text);
}

// The tick runs this many times faster than the wall clock, so that the session's once-a-second
// work (the idle tasks between bursts, the outbox batches) happens many times within the short
// life of each connection.
constexpr uint32_t kTickSpeed = 8;
uint32_t FastTick() {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count();
    return static_cast<uint32_t>(ms * kTickSpeed);
}

// --- watchdog ---------------------------------------------------------------------------------

// Ends the process with a message when a step is not over by its deadline: a deadlock must
// show up as a clear failure, not as a test that hangs until the runner's time-out.
class Watchdog {
  public:
    Watchdog(uint32_t seed, std::chrono::seconds wholeRun)
        : seed_(seed), runDeadline_(Clock::now() + wholeRun), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void Arm(std::string what, std::chrono::seconds bound) {
        std::lock_guard lock(mutex_);
        what_ = std::move(what);
        stepDeadline_ = Clock::now() + bound;
        bound_ = bound;
    }
    void Disarm() {
        std::lock_guard lock(mutex_);
        stepDeadline_.reset();
    }

  private:
    void Watch() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            wake_.wait_for(lock, 100ms);
            if (stopping_) return;
            const auto now = Clock::now();
            if (stepDeadline_ && now > *stepDeadline_) {
                Fail(what_ + " took longer than " + std::to_string(bound_.count()) + " s");
            }
            if (now > runDeadline_) Fail("the whole run took too long (now in: " + what_ + ")");
        }
    }
    [[noreturn]] void Fail(const std::string& text) {
        std::fprintf(stderr,
                     "\nWATCHDOG: %s; seed %u (ZUL_DISCONNECT_SEED=%u repeats the run). "
                     "Ending the process.\n",
                     text.c_str(), seed_, seed_);
        std::fflush(stderr);
        std::abort();
    }

    const uint32_t seed_;
    const Clock::time_point runDeadline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::string what_ = "setting up";
    std::optional<Clock::time_point> stepDeadline_;
    std::chrono::seconds bound_{0};
    std::thread thread_;
};

// --- the servers --------------------------------------------------------------------------------

constexpr int kListContacts = 20;
std::string ListLogin(int i) {
    return std::to_string(20001 + i);
}
// Senders outside the list: the first message of each makes a contact of its own.
constexpr int kStrangers = 3;
std::string StrangerLogin(int i) {
    return std::to_string(30001 + i);
}

Bytes StormServerList() {
    std::vector<test::ListItem> items = {{"Friends", 1, 0, listitem::kGroup, {}}};
    for (int i = 0; i < kListContacts; ++i) {
        ByteWriter nick;
        nick.Tlv(buddytlv::kNickname, "Friend " + std::to_string(i));
        items.push_back(
            {ListLogin(i), 1, static_cast<uint16_t>(0x100 + i), listitem::kBuddy, nick.bytes});
    }
    return test::ServerListBody(items);
}

// An outgoing message as the server received it: the recipient and the message's number.
struct SentMessage {
    std::string login;
    uint32_t number = 0;
    bool operator<(const SentMessage& o) const {
        return login != o.login ? login < o.login : number < o.number;
    }
};

std::optional<SentMessage> ParseSent(const ReceivedFrame& f) {
    const Bytes d = f.snacData();
    if (d.size() < 11 || d.size() < 11u + d[10]) return std::nullopt;
    SentMessage m;
    m.number = static_cast<uint32_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
    m.login.assign(d.begin() + 11, d.begin() + 11 + d[10]);
    return m;
}

// A login and a service server playing the standard sign-on with the storm's list; the service
// server acknowledges every message (SNAC(0x04,0x0C) echoing its cookie, channel and login).
struct ServerPair {
    ServerPair() {
        service = std::make_unique<ScriptedServer>(true);
        login = std::make_unique<ScriptedServer>(true);
        service->OnFrame(ScriptedServer::IsSnac(0x04, 0x06), [](const ReceivedFrame& f) {
            const Bytes d = f.snacData();
            if (d.size() < 11 || d.size() < 11u + d[10]) return Reply();
            return Reply({test::SnacFrame(0x04, 0x0C, Bytes(d.begin(), d.begin() + 11 + d[10]))});
        });
        test::AddLoginRules(*login, service->HostPort());
        test::AddServiceRules(*service, {StormServerList(), true});
    }
    size_t Accepted() const {
        return static_cast<size_t>(login->ConnectionCount() + service->ConnectionCount());
    }

    std::unique_ptr<ScriptedServer> service;
    std::unique_ptr<ScriptedServer> login;
};

// --- the storm ----------------------------------------------------------------------------------

class DisconnectStorm : public ::testing::Test {
  protected:
    void SetUp() override {
        // A sanitizer may start a helper thread of its own with the first thread; let it.
        std::thread([] {}).join();
        runs_ = std::max(1, EnvInt("ZUL_DISCONNECT_RUNS", 100));
        seed_ = static_cast<uint32_t>(EnvInt("ZUL_DISCONNECT_SEED", 0));
        if (seed_ == 0) seed_ = std::random_device{}() | 1u;
        std::printf("disconnect storm: %d disconnects, seed %u\n", runs_, seed_);
        std::fflush(stdout);
        rng_.seed(seed_);
        watchdog_ = std::make_unique<Watchdog>(seed_, std::chrono::seconds(60 + 3 * runs_));
        SetTickSource(&FastTick);

        CConnection::Reset();
        ASSERT_TRUE(Database().Open());
        Options().ResetToDefaults();
        Options().ReconnectOnError = 1;
        Options().RestoreLastStatusesOnStart = 0;
        NewServers();

        CAccountData data;
        data.SetID(78);
        data.SetType(acctype::kIcq);
        data.SetLogin(u"12345");
        data.SetPassword(u"secret");
        data.SetServer(u"127.0.0.1");
        data.SetPort(Widen(std::to_string(servers_->login->Port())));
        data.SetDescription(u"Storm account");
        data.SetEnabled(1);
        account_ = std::make_unique<COscar>(data, contacts_, folders_.DataDir());
        account_->dbSave();
        // The account's own descriptor (its session's wake-up) lives as long as it does.
        descriptorBase_ = OpenDescriptors();

        pusher_ = std::thread([this] { Push(); });
        user_ = std::thread([this] { Write(); });
    }

    void TearDown() override {
        watchdog_->Arm("the last Disconnect", std::chrono::seconds(10));
        if (account_) account_->Disconnect(false);
        stop_.store(true);
        if (pusher_.joinable()) pusher_.join();
        if (user_.joinable()) user_.join();
        account_.reset();
        servers_.reset();
        Database().Close();
        SetTickSource(nullptr);
        watchdog_.reset();
    }

    // Destroys the servers (they keep every connection's descriptor and thread until then) and
    // starts a new pair. Only while the account is offline.
    void NewServers() {
        // The user thread's writes open the profile's journal now and then; it waits while the
        // descriptors are counted.
        std::lock_guard userPause(userMutex_);
        std::lock_guard lock(serversMutex_);
        if (servers_) {
            Harvest(*servers_);
            servers_.reset();
        }
        servers_ = std::make_unique<ServerPair>();
        if (account_) account_->SetPort(Widen(std::to_string(servers_->login->Port())));
        // Descriptors with these servers up and nothing connected.
        descriptorBase_ = OpenDescriptors();
    }

    // Keeps the outgoing messages the service server received.
    void Harvest(const ServerPair& pair) {
        for (const ReceivedFrame& f : pair.service->Frames()) {
            if (!f.IsSnac(0x04, 0x06)) continue;
            if (auto m = ParseSent(f)) ++sentAtServer_[*m];
        }
    }

    // The server's side of the load: incoming messages (from contacts of the list and from
    // strangers) and presence notices, as fast as the client reads them, on the service
    // connection the test names; nothing while it names none.
    void Push() {
        std::mt19937 rng(seed_ ^ 0x5EED0001u);
        const uint16_t statuses[] = {0x0000, 0x0001, 0x0004, 0x0010, 0x0020};
        while (!stop_.load()) {
            const int target = pushTarget_.load();
            if (target < 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            {
                std::lock_guard lock(serversMutex_);
                for (int k = 0; k < 4 && pushTarget_.load() == target; ++k) {
                    const int n = pushed_.fetch_add(1);
                    const int who = static_cast<int>(rng() % (kListContacts + kStrangers));
                    const std::string from =
                        who < kListContacts ? ListLogin(who) : StrangerLogin(who - kListContacts);
                    const std::string text = "in " + std::to_string(n);
                    servers_->service->Send(
                        test::SnacFrame(
                            0x04, 0x07,
                            test::Channel1Message(from, 0x0000, Bytes(text.begin(), text.end()))),
                        target);
                    const std::string buddy = ListLogin(static_cast<int>(rng() % kListContacts));
                    const bool leaves = rng() % 8 == 0;
                    Bytes notice = test::UserBlock(
                        buddy, leaves ? std::vector<Bytes>{}
                                      : std::vector<Bytes>{test::StatusTlv(statuses[rng() % 5])});
                    servers_->service->Send(test::SnacFrame(0x03, leaves ? 0x0C : 0x0B, notice),
                                            target);
                }
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    // The user's side: a message to a contact of the list every few milliseconds, online or
    // not (the outbox sends what waits once the session is on line again).
    void Write() {
        std::mt19937 rng(seed_ ^ 0x5EED0002u);
        while (!stop_.load()) {
            {
                std::lock_guard lock(userMutex_);
                const std::u16string login =
                    Widen(ListLogin(static_cast<int>(rng() % kListContacts)));
                if (ContactPtr contact = contacts_.FindContact(account_.get(), login)) {
                    const int n = written_.fetch_add(1);
                    if (!contact->History().AddOutgoingMessage(u"out " +
                                                               Widen(std::to_string(n)))) {
                        ADD_FAILURE() << "an outgoing message could not be added";
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 4));
        }
    }

    // Signed on: the status is set, the last request of the sign-on has arrived, and the
    // receive loop has taken over the frames kept during sign-on.
    bool WaitOnline(size_t detailsBefore) {
        return SessionHarness::WaitUntil(
            [&] {
                return account_->Status() == kStatusAvailable && account_->SessionRunning() &&
                       account_->DeferredCount() == 0 &&
                       servers_->service->CountFrames(ScriptedServer::IsSnac(0x15, 0x02)) >
                           detailsBefore;
            },
            10s);
    }

    // Everything a Disconnect must leave behind, checked while the user thread waits (the
    // server keeps nothing of the client's, so the pusher may go on).
    void ExpectStopped(int run) {
        std::lock_guard userPause(userMutex_);
        COscar& a = *account_;
        // Disconnect returned at once; the session thread ends the session meanwhile.
        const auto asked = Clock::now();
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return a.SessionIdle(); }, 5s))
            << "the session thread did not carry out the disconnect";
        longestStop_ = std::max(longestStop_, Clock::now() - asked);
        EXPECT_FALSE(a.SessionRunning());
        EXPECT_EQ(a.Status(), kStatusOffline);
        EXPECT_EQ(a.Socket(Link::Service), kInvalidSocket);
        EXPECT_EQ(a.Socket(Link::Avatar), kInvalidSocket);
        // The resting session thread takes its command lock for a moment whenever its
        // wake-up fires (a signal left from the stop, a message written meanwhile), so a lock
        // is "still held" only if it stays taken.
        std::string held;
        EXPECT_TRUE(
            SessionHarness::WaitUntil([&] { return (held = a.HeldSessionLocks()).empty(); }, 1s))
            << "a session lock is still held: " << held;
        EXPECT_TRUE(IsFree(Database().Mutex())) << "the database lock is still held";
        EXPECT_TRUE(IsFree(contacts_.Mutex())) << "the contact store's lock is still held";
        for (const ContactPtr& c : contacts_.ContactsOf(&a)) {
            EXPECT_TRUE(IsFree(c->History().Mutex()))
                << "the history lock of " << ToUtf8(c->Login()) << " is still held";
        }
        // The servers' reader threads end as the client's connections close; the account's
        // session thread stays, resting, for the account's life.
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return Threads() == threadBase_ + 1; }, 3s))
            << Threads() << " threads, " << threadBase_ << " + 1 with the session stopped";
        // The servers keep the descriptor of every connection they accepted; the client keeps
        // none.
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return OpenDescriptors() == descriptorBase_ + servers_->Accepted(); }, 3s))
            << OpenDescriptors() << " descriptors, expected " << descriptorBase_ << " + "
            << servers_->Accepted() << " held by the servers";
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "after disconnect " << run << " of " << runs_ << ", seed " << seed_;
        }
    }

    static int64_t Count(std::u16string_view sql) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(sql);
        return Database().ExecuteScalar(command);
    }

    test::IsolatedFolders folders_;
    CContacts contacts_;
    std::unique_ptr<COscar> account_;
    std::unique_ptr<Watchdog> watchdog_;
    int runs_ = 0;
    uint32_t seed_ = 0;
    std::mt19937 rng_;

    std::mutex serversMutex_;  // the pusher's sends against a change of servers
    std::unique_ptr<ServerPair> servers_;
    size_t descriptorBase_ = 0;
    size_t threadBase_ = 0;
    Clock::duration longestStop_{};
    std::map<SentMessage, int> sentAtServer_;

    std::atomic<bool> stop_{false};
    std::atomic<int> pushTarget_{-1};
    std::atomic<int> pushed_{0};
    std::atomic<int> written_{0};
    std::mutex userMutex_;  // held by the user thread while it writes a message
    std::thread pusher_;
    std::thread user_;
};

TEST_F(DisconnectStorm, SessionStopsCleanlyAtAnyMoment) {
    SCOPED_TRACE("seed " + std::to_string(seed_));
    threadBase_ = test::SettledThreadCount();
    const auto start = Clock::now();
    Clock::duration longest{};
    int duringSignOn = 0;
    int withStatusChange = 0;

    for (int run = 1; run <= runs_; ++run) {
        if (run % 25 == 0) NewServers();
        const size_t detailsBefore =
            servers_->service->CountFrames(ScriptedServer::IsSnac(0x15, 0x02));
        watchdog_->Arm("sign-on " + std::to_string(run), std::chrono::seconds(15));
        account_->RequestStatus(kStatusAvailable);
        const uint32_t moment = rng_() % 100;
        if (moment < 20) {
            // In the middle of the sign-on: connecting, logging in, or loading the list.
            ++duringSignOn;
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 40000));
        } else {
            ASSERT_TRUE(WaitOnline(detailsBefore))
                << "sign-on " << run << " did not complete: " << ToUtf8(account_->StatusText())
                << " (seed " << seed_ << ")";
            pushTarget_.store(servers_->service->ConnectionCount() - 1);
            if (moment >= 85) {
                // A status change the session thread sends while it is signed on.
                ++withStatusChange;
                account_->RequestStatus(kStatusAway);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 250000));
        }

        watchdog_->Arm("Disconnect " + std::to_string(run), std::chrono::seconds(10));
        const auto before = Clock::now();
        account_->Disconnect(rng_() % 2 == 0);
        longest = std::max(longest, Clock::now() - before);
        watchdog_->Arm("the checks after disconnect " + std::to_string(run),
                       std::chrono::seconds(15));
        pushTarget_.store(-1);
        ExpectStopped(run);
        watchdog_->Disarm();
        if (HasFailure()) return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop_.store(true);
    pusher_.join();
    user_.join();
    {
        std::lock_guard lock(serversMutex_);
        Harvest(*servers_);
    }

    // The profile is intact, and no message is in it twice: every text is unique.
    {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3ResultSet rows = Database().Connection().ExecuteQuery(u"PRAGMA integrity_check");
        EXPECT_EQ(rows.IsEnd() ? u"<no row>" : rows.TextColumn(0), u"ok");
        rows.Finalize();
    }
    EXPECT_EQ(Count(u"SELECT COUNT(*) FROM (SELECT Message FROM History WHERE EventType=2 "
                    u"GROUP BY Message HAVING COUNT(*) > 1)"),
              0);
    EXPECT_EQ(Count(u"SELECT COUNT(*) FROM (SELECT Login FROM Contacts GROUP BY AccID, Login "
                    u"HAVING COUNT(*) > 1)"),
              0);
    // Every message the user wrote has its row; none is lost.
    const int64_t outgoing = Count(
        u"SELECT COUNT(*) FROM History WHERE EventType=2 AND "
        u"Direction=1");
    EXPECT_EQ(outgoing, written_.load());
    const int64_t incoming = Count(
        u"SELECT COUNT(*) FROM History WHERE EventType=2 AND "
        u"Direction=0");
    EXPECT_LE(incoming, pushed_.load());

    // No message went out twice, and each that reached the server whole is marked sent, so
    // that no later sign-on sends it again.
    std::set<SentMessage> markedSent;
    {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3ResultSet rows = Database().Connection().ExecuteQuery(
            u"SELECT C.Login, H.Number FROM History H, Contacts C WHERE H.AccID=C.AccID AND "
            u"H.ContactID=C.LocalID AND H.EventType=2 AND H.Direction=1 AND H.Sent=1");
        while (!rows.IsEnd()) {
            markedSent.insert(
                {ToUtf8(rows.TextColumn(0)), static_cast<uint32_t>(rows.IntColumn(1))});
            rows.Next();
        }
        rows.Finalize();
    }
    int twice = 0, unmarked = 0;
    for (const auto& [message, times] : sentAtServer_) {
        if (times > 1) ++twice;
        if (!markedSent.count(message)) ++unmarked;
    }
    EXPECT_EQ(twice, 0) << "messages the server received more than once";
    EXPECT_EQ(unmarked, 0) << "messages the server received that are not marked sent";

    // The load was real: messages went both ways, and some were acknowledged in time.
    const int64_t delivered = Count(
        u"SELECT COUNT(*) FROM History WHERE EventType=2 AND "
        u"Direction=1 AND Delivered=1");
    EXPECT_GT(incoming, 0);
    EXPECT_GT(sentAtServer_.size(), 0u);
    std::printf(
        "disconnect storm: %d disconnects (%d during sign-on, %d after a status change) "
        "in %.1f s, longest Disconnect %.2f ms (the session thread at rest after at most "
        "%.0f ms); incoming %lld stored of %d pushed; outgoing %lld written, %zu sent, %lld "
        "acknowledged\n",
        runs_, duringSignOn, withStatusChange, seconds,
        std::chrono::duration<double, std::milli>(longest).count(),
        std::chrono::duration<double, std::milli>(longestStop_).count(),
        static_cast<long long>(incoming), pushed_.load(), static_cast<long long>(outgoing),
        sentAtServer_.size(), static_cast<long long>(delivered));
}

// --- the idle work of a busy session ------------------------------------------------------------

// A server that never falls quiet for a second must not hold back the user's messages: the
// outbox goes out between bursts.
TEST(SessionUnderLoad, OutboxSendsWhileTheServerNeverFallsQuiet) {
    test::HarnessOptions options;
    options.serverList = StormServerList();
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    std::atomic<bool> talking{true};
    std::thread chatter([&] {
        while (talking.load()) {
            h.ServerSends(0x03, 0x0B, test::UserBlock(ListLogin(1), {test::StatusTlv(0x0001)}));
            std::this_thread::sleep_for(150ms);
        }
    });
    ContactPtr friend0 = h.Contacts().FindContact(&h.Account(), Widen(ListLogin(0)));
    ASSERT_TRUE(friend0);
    ASSERT_TRUE(friend0->History().AddOutgoingMessage(u"through the noise"));
    const bool sent =
        h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x06), 4s).has_value();
    talking.store(false);
    chatter.join();
    EXPECT_TRUE(sent) << "the message waited for the server to fall quiet";
}

}  // namespace
}  // namespace zul
