// message_stream: 20,000 channel-1 messages from 200 contacts pushed back to back on a
// signed-on session. Figures: messages stored and committed per second, and the time from a
// message's arrival (the client has handled the frame: its row is written and the
// notification raised) to the commit that makes its row durable, 99th percentile.
//
// The baseline, in the same run on a copy of the same profile: a plain SQLite program parses
// the same frames with the codec and writes the same rows, committing them in as many
// transactions as the client did (the same durability: every row committed within moments of
// its arrival); and, as an extra figure, in one transaction.
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "load/drivers.h"
#include "platform/local_time.h"
#include "platform/text.h"
#include "storage/database.h"
#include "storage/history.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/plain_baseline.h"

namespace zul::bench {
namespace {

constexpr int kMessages = 20000;
constexpr int kSenders = 200;

// Records when each message was handled, in handling order.
class Recorder : public INewMessageNotifier {
  public:
    Recorder() : handled_(kMessages), order_(kMessages) {}

    void NotifyNewMessage(CContact&, const std::u16string& text) override {
        const size_t at = text.find(u"</b> ");
        const int index = at == std::u16string::npos ? -1 : MessageIndex(text.substr(at + 5));
        if (index < 0 || index >= kMessages) return;
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n >= order_.size()) return;
        handled_[static_cast<size_t>(index)] = Clock::now();
        order_[n] = index;
        count_.store(n + 1, std::memory_order_release);
    }

    // Called with the database lock held and no transaction open: every message handled so far
    // is committed.
    void MarkCommitted(Clock::time_point when, std::vector<Clock::time_point>& committed) {
        const size_t n = count_.load(std::memory_order_acquire);
        for (; committedCount_ < n; ++committedCount_) {
            committed[static_cast<size_t>(order_[committedCount_])] = when;
        }
    }
    size_t Committed() const { return committedCount_; }
    const std::vector<Clock::time_point>& Handled() const { return handled_; }

  private:
    std::vector<Clock::time_point> handled_;
    std::vector<int> order_;
    std::atomic<size_t> count_{0};
    size_t committedCount_ = 0;  // under the database lock
};

// The rows of the stream written by a plain program in `commits` transactions; messages per
// second.
double BaselineRate(const std::string& path, const test::Bytes& stream, int commits) {
    const auto start = Clock::now();
    const size_t checksum = ParseStream(stream);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        throw std::runtime_error("baseline: cannot open the profile");
    auto exec = [db](const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("baseline: ") + sqlite3_errmsg(db));
    };
    exec("PRAGMA temp_store = MEMORY");
    exec("PRAGMA synchronous = FULL");
    exec("PRAGMA journal_mode = DELETE");
    const int perCommit = std::max(1, kMessages / std::max(1, commits));
    exec("BEGIN");
    sqlite3_stmt* event = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,"
                       "Number,Status,StatusMood,Message,Unread,Sent,Delivered,Marked,ErrorCode)"
                       " VALUES (?,?,2,0,?,?,0,-1,?,1,1,1,0,0)",
                       -1, &event, nullptr);
    uint8_t time[8];
    EncodeEventTime(LocalFileTimeNow(), time);
    for (int k = 0; k < kMessages; ++k) {
        const std::u16string text =
            Widen("m" + std::to_string(k) + " how are you doing today? I have news about the trip");
        sqlite3_bind_int(event, 1, AccountId(0));
        sqlite3_bind_int(event, 2, ContactLocalId(0, k % kSenders));
        sqlite3_bind_blob(event, 3, time, sizeof time, SQLITE_TRANSIENT);
        sqlite3_bind_int(event, 4, 1000000 + k);
        sqlite3_bind_text16(event, 5, text.data(), static_cast<int>(text.size() * 2),
                            SQLITE_TRANSIENT);
        sqlite3_step(event);
        sqlite3_reset(event);
        if ((k + 1) % perCommit == 0 && k + 1 < kMessages) {
            exec("COMMIT");
            exec("BEGIN");
        }
    }
    sqlite3_finalize(event);
    exec("COMMIT");
    sqlite3_close(db);
    const double seconds = SecondsBetween(start, Clock::now());
    if (checksum == 0) throw std::runtime_error("baseline: nothing parsed");
    return kMessages / seconds;
}

int g_commits = 0;
int CountCommit(void*) {
    ++g_commits;
    return 0;
}

}  // namespace

int RunMessageStream() {
    WorldSpec shape;
    shape.contactsPerAccount = kSenders;
    shape.groupsPerAccount = 10;

    test::IsolatedFolders folders;
    AccountServers servers(shape, 0, ServiceScript{});
    WriteProfile(folders.DataDir() + "zul.profile", shape, {servers.Login().Port()});
    const test::Bytes stream = EncodeFrames(LiveMessages(shape, 0, kMessages, kSenders));
    const std::string baselineProfile = folders.DataDir() + "baseline.profile";
    std::filesystem::copy_file(folders.DataDir() + "zul.profile", baselineProfile);
    const std::string oneTransactionProfile = folders.DataDir() + "baseline1.profile";
    std::filesystem::copy_file(folders.DataDir() + "zul.profile", oneTransactionProfile);

    Client client(folders.DataDir());
    COscar& account = client.AddAccount(0, servers.Login().Port());
    if (!Client::SignOn(account)) throw std::runtime_error("sign-on failed");

    Recorder recorder;
    SetNewMessageNotifier(&recorder);
    std::vector<Clock::time_point> committed(kMessages);
    std::atomic<bool> stop{false};
    Clock::time_point lastCommit;
    double maxWait = 0;
    std::thread poller([&] {
        while (!stop.load()) {
            const auto asked = Clock::now();
            WithCommittedProfile([&] {
                maxWait = std::max(maxWait, SecondsBetween(asked, Clock::now()));
                const auto now = Clock::now();
                const size_t before = recorder.Committed();
                recorder.MarkCommitted(now, committed);
                if (recorder.Committed() != before) lastCommit = now;
            });
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    {
        std::lock_guard lock(Database().Mutex());
        sqlite3_commit_hook(Database().Connection().Handle(), CountCommit, nullptr);
    }
    const auto start = Clock::now();
    servers.Service().SendRaw(stream);
    const bool finished = Client::WaitUntil(
        [&] {
            bool all = false;
            WithCommittedProfile([&] { all = recorder.Committed() >= kMessages; });
            return all;
        },
        std::chrono::seconds(120), std::chrono::milliseconds(1));
    stop.store(true);
    poller.join();
    SetNewMessageNotifier(nullptr);
    int commits = 0;
    {
        std::lock_guard lock(Database().Mutex());
        sqlite3_commit_hook(Database().Connection().Handle(), nullptr, nullptr);
        commits = g_commits;
    }
    const double baseline = BaselineRate(baselineProfile, stream, commits);
    const double oneTransaction = BaselineRate(oneTransactionProfile, stream, 1);

    const double seconds = SecondsBetween(start, lastCommit);
    std::vector<double> latencies;
    latencies.reserve(kMessages);
    for (int k = 0; k < kMessages; ++k) {
        if (committed[k] == Clock::time_point{}) continue;
        latencies.push_back(SecondsBetween(recorder.Handled()[k], committed[k]) * 1000.0);
    }
    const size_t stored = latencies.size();
    const double rate = seconds > 0 ? static_cast<double>(stored) / seconds : 0;
    const double p99 = Percentile(latencies, 99);

    PrintFigure({"message_stream", rate, "msg/s", ">= 5000 msg/s and >= 0.5x baseline",
                 finished && rate >= 5000 && rate >= 0.5 * baseline, baseline});
    PrintFigure({"message_stream_commits", static_cast<double>(commits), "commits", "", true, {}});
    PrintFigure({"message_stream_plain_one_transaction", oneTransaction, "msg/s", "", true, {}});
    PrintFigure({"message_stream_p99", p99, "ms", "<= 50 ms", finished && p99 <= 50, {}});
    PrintFigure({"message_stream_p50", Percentile(latencies, 50), "ms", "", true, {}});
    // How long another thread (here the one watching the commits) waited for the profile.
    PrintFigure({"message_stream_profile_wait", maxWait * 1000, "ms", "", true, {}});
    if (!finished) {
        std::fprintf(stderr, "message_stream: %zu of %d messages committed\n", stored, kMessages);
        return 1;
    }
    // Every message has its row.
    int32_t rows = 0;
    {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command count =
            Database().Prepare(u"SELECT COUNT(*) FROM History WHERE EventType=2");
        rows = Database().ExecuteScalar(count);
    }
    if (rows != kMessages) {
        std::fprintf(stderr, "message_stream: %d rows for %d messages\n", rows, kMessages);
        return 1;
    }
    return 0;
}

}  // namespace zul::bench
