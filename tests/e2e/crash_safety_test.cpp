// The real client killed with SIGKILL in the middle of a storm of incoming messages. The scripted
// server signs it on and then pushes channel-1 messages from many contacts back to back; at a
// random moment (seeded) the process is killed. The profile it leaves is copied with its journal
// and opened with plain SQLite from here: it must pass the integrity check, hold only whole
// events, and keep every event the client had committed. Then the client starts again on the
// very profile (its journal still hot) and must sign on as usual, its events still there.
//
// ZUL_CRASH_RUNS sets the number of kills (default 3), ZUL_CRASH_SEED the seed. Every run prints
// one line starting with "CRASH " for ./crash.sh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/client_fixture.h"
#include "platform/text.h"
#include "support/oscar_server.h"
#include "support/signon_script.h"
#include "support/test_env.h"

namespace zul::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The kill falls this long after the first message of the storm, at a random point.
constexpr int kKillFromMs = 50;
constexpr int kKillToMs = 2500;
constexpr int kBuddies = 20;    // in the server list, logins 2001...
constexpr int kStrangers = 12;  // not in it, logins 3001...: the storm creates their rows

int EnvInt(const char* name, int fallback, int low, int high) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    const long parsed = std::strtol(value, nullptr, 10);
    return parsed < low ? low : parsed > high ? high : static_cast<int>(parsed);
}

uint32_t CrashSeed() {
    if (const char* value = std::getenv("ZUL_CRASH_SEED"); value != nullptr && *value != '\0') {
        return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    }
    return std::random_device()();
}

std::string SenderLogin(int index) {
    return std::to_string(index < kBuddies ? 2001 + index : 3001 + index - kBuddies);
}

// The text of message `k` of storm `run` from `login`. It names itself, so that a stored text
// can be checked whole: "r<run> #<k> <login> <filler>." with a filler of mixed scripts whose
// length varies with k; every 97th message is long enough to need overflow pages.
std::u16string MessageText(int run, int k, std::u16string_view login) {
    static constexpr std::u16string_view kFiller =
        u"abc defg ÄÖÜäöüß Привет мир 你好世界 0123456789 ";
    std::u16string text = u"r" + Widen(std::to_string(run)) + u" #" + Widen(std::to_string(k)) +
                          u" " + std::u16string(login) + u" ";
    const size_t length = k % 97 == 0 ? 1500 : static_cast<size_t>(k) * 37 % 180;
    for (size_t i = 0; i < length; ++i)
        text += kFiller[(static_cast<size_t>(k) + i) % kFiller.size()];
    return text + u".";
}

// Run and message number of a stored text; false when it does not start as MessageText does.
bool ParseMessageText(std::u16string_view text, int& run, int& k) {
    auto number = [&](size_t& at, int& out) {
        const size_t start = at;
        long value = 0;
        while (at < text.size() && text[at] >= u'0' && text[at] <= u'9' && at - start < 9) {
            value = value * 10 + (text[at++] - u'0');
        }
        out = static_cast<int>(value);
        return at > start;
    };
    size_t at = 0;
    if (text.substr(0, 1) != u"r") return false;
    ++at;
    if (!number(at, run) || text.substr(at, 2) != u" #") return false;
    at += 2;
    return number(at, k);
}

// A live channel-1 message (request id 0) in UCS-2 from `login`, who is online.
OutFrame StormMessage(const std::string& login, std::u16string_view text) {
    ByteWriter fragments;
    fragments.U8(0x05).U8(0x01).U16(1).U8(0x01);
    fragments.U8(0x01).U8(0x01).U16(static_cast<uint16_t>(text.size() * 2 + 4)).U16(2).U16(0);
    for (char16_t c : text) fragments.U16(c);
    ByteWriter w;
    w.U32(0x5A5A0000).U32(0x00000001).U16(1);
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0).U16(1).TlvU32(0x0006, 0x0000);
    w.Tlv(0x0002, fragments.bytes);
    return SnacFrame(0x04, 0x07, w.bytes);
}

// Pushes messages on one service connection as fast as the client takes them, until stopped.
// Once the client is gone the sends fail at once, so stopping never waits.
class Storm {
  public:
    Storm(ScriptedServer& server, int connection, int run, uint32_t seed)
        : start_(Clock::now()), thread_([this, &server, connection, run, seed] {
              std::mt19937 pick(seed);
              for (int k = 0; !stop_.load(); ++k) {
                  const std::string login =
                      SenderLogin(static_cast<int>(pick() % (kBuddies + kStrangers)));
                  server.Send(StormMessage(login, MessageText(run, k, Widen(login))), connection);
                  sent_.store(k + 1);
              }
          }) {}
    ~Storm() { Stop(); }

    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    Clock::time_point Start() const { return start_; }
    int Sent() const { return sent_.load(); }

  private:
    const Clock::time_point start_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// A profile file opened read-write with plain SQLite (so a hot journal is rolled back).
class SqliteFile {
  public:
    explicit SqliteFile(const std::string& path) {
        result_ = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        if (result_ == SQLITE_OK) sqlite3_busy_timeout(db_, 5000);
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    bool Opened() const { return result_ == SQLITE_OK; }
    std::string Error() const {
        return std::string(sqlite3_errstr(result_)) + ": " + (db_ ? sqlite3_errmsg(db_) : "");
    }

    // Runs `sql` and hands every row to `row`; false (with Error()) on failure.
    bool Query(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* statement = nullptr;
        result_ = sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
        while (result_ == SQLITE_OK && (result_ = sqlite3_step(statement)) == SQLITE_ROW) {
            row(statement);
            result_ = SQLITE_OK;
        }
        if (result_ == SQLITE_DONE) result_ = SQLITE_OK;
        sqlite3_finalize(statement);
        return result_ == SQLITE_OK;
    }
    // The integer of the first row, -1 on failure.
    int64_t Int(const std::string& sql) {
        int64_t value = -1;
        Query(sql, [&](sqlite3_stmt* s) { value = sqlite3_column_int64(s, 0); });
        return value;
    }

  private:
    sqlite3* db_ = nullptr;
    int result_ = SQLITE_OK;
};

std::u16string Text16(sqlite3_stmt* statement, int column) {
    const void* text = sqlite3_column_text16(statement, column);
    if (text == nullptr) return {};
    return std::u16string(static_cast<const char16_t*>(text),
                          static_cast<size_t>(sqlite3_column_bytes16(statement, column)) / 2);
}

// What a profile holds after a kill.
struct ProfileState {
    std::string integrity;  // PRAGMA integrity_check, its rows joined
    int64_t events = 0;
    // Rows without their number, time or text, numbers used twice for a contact, and events
    // whose contact row is missing.
    int64_t partial = 0;
    // Damaged texts, numbers that skip, messages of a storm that are not a prefix of it.
    std::vector<std::string> faults;
    std::map<int, int> perRun;  // messages stored, by storm
};

constexpr char kIncompleteRows[] =
    "SELECT COUNT(*) FROM History h WHERE h.Number IS NULL OR h.Number<=0 OR h.EventTime IS NULL "
    "OR typeof(h.EventTime)<>'blob' OR length(h.EventTime)<>8 OR h.Message IS NULL "
    "OR h.Message='' OR h.EventType IS NULL OR h.Direction IS NULL OR NOT EXISTS (SELECT 1 FROM "
    "Contacts c WHERE c.AccID=h.AccID AND c.LocalID=h.ContactID)";
constexpr char kDuplicateNumbers[] =
    "SELECT COUNT(*) FROM (SELECT 1 FROM History GROUP BY AccID,ContactID,Number "
    "HAVING COUNT(*)>1)";

// Reads every stored message and checks it against what the storms sent.
void CheckMessages(SqliteFile& file, ProfileState& state) {
    struct Position {
        int64_t number = 0;
        int run = -1;
        int k = -1;
    };
    std::map<int64_t, Position> last;  // by contact
    std::map<int, std::set<int>> seen;
    file.Query(
        "SELECT h.ContactID, h.Number, h.Message, c.Login FROM History h JOIN Contacts c ON "
        "c.AccID=h.AccID AND c.LocalID=h.ContactID WHERE h.EventType=2 "
        "ORDER BY h.ContactID, h.Number",
        [&](sqlite3_stmt* s) {
            const int64_t contact = sqlite3_column_int64(s, 0);
            const int64_t number = sqlite3_column_int64(s, 1);
            const std::u16string text = Text16(s, 2);
            const std::u16string login = Text16(s, 3);
            const std::string where =
                "contact " + std::to_string(contact) + " event " + std::to_string(number);
            int run = 0, k = 0;
            if (!ParseMessageText(text, run, k) || text != MessageText(run, k, login)) {
                state.faults.push_back(where + ": damaged text \"" + ToUtf8(text.substr(0, 60)) +
                                       "\"");
                return;
            }
            Position& before = last[contact];
            if (number != before.number + 1) {
                state.faults.push_back(where + ": follows event " + std::to_string(before.number));
            }
            if (run < before.run || (run == before.run && k <= before.k)) {
                state.faults.push_back(where + ": stored out of the order received");
            }
            before = {number, run, k};
            if (!seen[run].insert(k).second) {
                state.faults.push_back(where + ": message stored twice");
            }
        });
    // Frames are handled and committed in the order they arrive, so what a storm left is its
    // first messages, without a hole.
    for (const auto& [run, ks] : seen) {
        state.perRun[run] = static_cast<int>(ks.size());
        if (!ks.empty() && *ks.rbegin() != static_cast<int>(ks.size()) - 1) {
            state.faults.push_back("storm " + std::to_string(run) + ": " +
                                   std::to_string(ks.size()) + " messages stored, the last #" +
                                   std::to_string(*ks.rbegin()));
        }
    }
}

// Copies the profile and its journal as the kill left them and inspects the copy, so that the
// client still finds the journal on its next start.
ProfileState InspectCopy(const std::string& profile) {
    ProfileState state;
    TempFolder copy;
    const std::string path = copy.File("zul.profile");
    std::filesystem::copy_file(profile, path);
    if (std::filesystem::exists(profile + "-journal")) {
        std::filesystem::copy_file(profile + "-journal", path + "-journal");
    }
    SqliteFile file(path);
    if (!file.Opened()) {
        state.integrity = "cannot open: " + file.Error();
        return state;
    }
    std::vector<std::string> lines;
    if (!file.Query("PRAGMA integrity_check", [&](sqlite3_stmt* s) {
            const unsigned char* line = sqlite3_column_text(s, 0);
            lines.emplace_back(line ? reinterpret_cast<const char*>(line) : "");
        })) {
        lines.push_back(file.Error());
    }
    for (const std::string& line : lines) {
        state.integrity += (state.integrity.empty() ? "" : "; ") + line;
    }
    state.events = file.Int("SELECT COUNT(*) FROM History");
    state.partial = file.Int(kIncompleteRows) + file.Int(kDuplicateNumbers);
    if (const int64_t nameless = file.Int("SELECT COUNT(*) FROM Contacts WHERE Login IS NULL OR "
                                          "Login='' OR AccID IS NULL");
        nameless != 0) {
        state.faults.push_back(std::to_string(nameless) + " contact rows without their login");
    }
    CheckMessages(file, state);
    return state;
}

bool HotJournal(const std::string& profile) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(profile + "-journal", ec);
    return !ec && size > 0;
}

ServerList Buddies() {
    ServerList list = {{"Friends", 1, 0, 0x0001, {}}};
    for (int i = 0; i < kBuddies; ++i) {
        ByteWriter nick;
        nick.Tlv(0x0131, "Buddy " + std::to_string(i + 1));
        list.push_back({SenderLogin(i), 1, static_cast<uint16_t>(0x0100 + i), 0x0000, nick.bytes});
    }
    return list;
}

class CrashSafety : public ClientFixture {
  protected:
    CrashSafety() : ClientFixture(Buddies()) {}

    void StartClient() { LaunchClient(); }
};

TEST_F(CrashSafety, KilledDuringAMessageStormTheProfileStaysWholeAndOpensAgain) {
    const int runs = EnvInt("ZUL_CRASH_RUNS", 3, 1, 1000);
    const uint32_t seed = CrashSeed();
    SCOPED_TRACE("ZUL_CRASH_SEED=" + std::to_string(seed));
    std::cout << "CRASH seed=" << seed << " runs=" << runs << std::endl;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfter(kKillFromMs, kKillToMs);

    ASSERT_TRUE(WriteProfile(ProfilePath(), setup_));
    {
        // Vibration off (a pulse count of 4 or more): with it, every incoming message waits
        // for the pulses of the one before (about 800 ms), and a storm becomes a trickle.
        SqliteFile file(ProfilePath());
        ASSERT_EQ(file.Int("UPDATE Options SET Value=4 WHERE Description='NotifVCount' "
                           "RETURNING Value"),
                  4);
    }
    const ProfileReader live(ProfilePath());
    std::map<int, int> kept;  // messages each storm left, as found after its kill
    int64_t storedBefore = 0;

    for (int run = 1; run <= runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        // Every start but the first is on the profile the last kill left.
        ASSERT_NO_FATAL_FAILURE(StartClient());
        const bool signedOn = WaitForSignOn(static_cast<size_t>(run));
        if (skipped_) GTEST_SKIP() << "this build of zul has no window to run";
        ASSERT_TRUE(signedOn) << "no sign-on after " << run - 1 << " kills";
        const int64_t atSignOn = live.Int("SELECT COUNT(*) FROM History").value_or(-1);
        // Nothing arrives between the kill and the storm: the client finds exactly what was
        // committed, neither less nor the rolled-back rest of the interrupted transaction.
        EXPECT_EQ(atSignOn, storedBefore) << "the restarted client finds other events";

        const int killMs = killAfter(random);
        int64_t seenCommitted = -1;  // -1: the kill fell before the first look
        Storm storm(*service_, service_->ConnectionCount() - 1, run, random());
        const auto killAt = storm.Start() + std::chrono::milliseconds(killMs);
        // What the client commits meanwhile, read as another process would.
        while (Clock::now() < killAt && client_->Running()) {
            std::this_thread::sleep_for(std::min<Clock::duration>(killAt - Clock::now(), 100ms));
            if (Clock::now() >= killAt) break;
            seenCommitted =
                std::max(seenCommitted, live.Int("SELECT COUNT(*) FROM History").value_or(0));
        }
        ASSERT_TRUE(client_->Running()) << "the client ended during the storm";
        const auto killedAt = Clock::now();
        const int sent = storm.Sent();
        const std::optional<int> status = client_->Stop(10s, SIGKILL);
        storm.Stop();
        ASSERT_TRUE(status) << "the client did not end on SIGKILL";
        const bool hot = HotJournal(ProfilePath());

        ProfileState state = InspectCopy(ProfilePath());
        const long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(killedAt - storm.Start()).count();
        // The integrity text comes last: it may hold blanks.
        std::cout << "CRASH run=" << run << " kill_ms=" << ms << " sent=" << sent
                  << " events=" << state.events << " run_events=" << state.perRun[run]
                  << " seen_committed=" << seenCommitted << " partial=" << state.partial
                  << " faults=" << state.faults.size() << " journal=" << (hot ? "hot" : "none")
                  << " integrity=" << state.integrity << std::endl;

        EXPECT_EQ(state.integrity, "ok");
        EXPECT_EQ(state.partial, 0);
        for (const std::string& fault : state.faults) ADD_FAILURE() << fault;
        EXPECT_GE(state.events, seenCommitted) << "a commit seen before the kill was lost";
        EXPECT_GE(state.events, storedBefore) << "events stored before this storm were lost";
        for (const auto& [earlier, count] : kept) {
            EXPECT_EQ(state.perRun[earlier], count) << "storm " << earlier << " lost messages";
        }
        kept[run] = state.perRun[run];
        storedBefore = std::max<int64_t>(storedBefore, state.events);
        if (HasFatalFailure()) return;
    }

    // The last kill's profile opens in the client too: it signs on, its events are all there,
    // and a new message gets the next number of its contact.
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_TRUE(WaitForSignOn(static_cast<size_t>(runs) + 1)) << "no sign-on after the last kill";
    EXPECT_EQ(live.Int("SELECT COUNT(*) FROM History"), storedBefore);
    EXPECT_GT(storedBefore, 0) << "no storm got a message stored before its kill";
    const std::string contact = "(SELECT LocalID FROM Contacts WHERE Login='2001')";
    const int64_t next =
        live.Int("SELECT IFNULL(MAX(Number),0)+1 FROM History WHERE ContactID=" + contact)
            .value_or(-1);
    service_->Send(StormMessage("2001", MessageText(runs + 1, 0, u"2001")));
    const std::string row =
        "FROM History WHERE ContactID=" + contact + " AND Number=" + std::to_string(next);
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end && live.Int("SELECT COUNT(*) " + row).value_or(0) == 0) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(live.Text("SELECT Message " + row), ToUtf8(MessageText(runs + 1, 0, u"2001")));

    const std::optional<int> status = client_->Stop(30s);
    ASSERT_TRUE(status) << "the client did not quit on SIGTERM";
    EXPECT_TRUE(ExitedCleanly(status)) << DescribeWaitStatus(*status);
    EXPECT_FALSE(std::filesystem::exists(ProfilePath() + "-journal"));
    EXPECT_EQ(live.Text("PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace zul::test
