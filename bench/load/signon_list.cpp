// signon_list: sign-on with a server list of 65,535 items (20 groups and 65,515 buddies with
// nicknames) into a profile that holds none of them; timed from the first byte of the login to
// every contact stored and committed and the outbox's look at every contact done. Beside the
// time: the statements the profile ran (queries apart from row writes), and the longest wait
// of a thread that takes the contact store's lock every millisecond meanwhile (the lock the
// contact list page takes on the window thread).
//
// The baseline writes the same contact rows with a plain SQLite program in one transaction
// and parses the same frames with the codec, in the same run.
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "load/drivers.h"
#include "platform/text.h"
#include "storage/database.h"
#include "storage/history.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/plain_baseline.h"

namespace zul::bench {
namespace {

constexpr int kGroups = 20;
constexpr int kItems = 65535;

double RunBaseline(const std::string& path, const WorldSpec& shape) {
    const test::Bytes stream = EncodeFrames(ServerListFrames(shape, 0));
    const auto start = Clock::now();
    const size_t checksum = ParseStream(stream);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        throw std::runtime_error("baseline: cannot open the profile");
    }
    auto exec = [db](const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("baseline: ") + sqlite3_errmsg(db));
        }
    };
    exec("PRAGMA synchronous = FULL");
    exec("PRAGMA journal_mode = DELETE");
    exec("BEGIN");
    sqlite3_stmt* contact = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Contacts (AccID,LocalID,SrvID,GroupID,Login,Nickname,Note,"
                       "Email,Phone,AwaitingAuth,Visible,Invisible,Ignored,HasOpenedSession,"
                       "OnServer,Avatar) VALUES (?,?,?,?,?,?,'','','',0,0,0,0,0,1,NULL)",
                       -1, &contact, nullptr);
    for (int i = 0; i < shape.contactsPerAccount; ++i) {
        const std::u16string login = Widen(ContactLogin(0, i));
        const std::u16string nick = FromUtf8(ContactNickname(0, i));
        sqlite3_bind_int(contact, 1, AccountId(0));
        sqlite3_bind_int(contact, 2, ContactLocalId(0, i));
        sqlite3_bind_int(contact, 3, ContactSrvId(i));
        sqlite3_bind_int(contact, 4, ContactGroupId(shape, 0, i));
        sqlite3_bind_text16(contact, 5, login.data(), static_cast<int>(login.size() * 2),
                            SQLITE_TRANSIENT);
        sqlite3_bind_text16(contact, 6, nick.data(), static_cast<int>(nick.size() * 2),
                            SQLITE_TRANSIENT);
        sqlite3_step(contact);
        sqlite3_reset(contact);
    }
    sqlite3_finalize(contact);
    exec("COMMIT");
    sqlite3_close(db);
    if (checksum == 0) throw std::runtime_error("baseline: nothing parsed");
    return SecondsBetween(start, Clock::now());
}

constexpr const char* kPoll = "SELECT COUNT(*) FROM Contacts";
constexpr const char16_t* kPollSql = u"SELECT COUNT(*) FROM Contacts";

// Statements by kind: queries (SELECT), and the rest but transaction control.
struct Statements {
    std::atomic<int64_t> queries{0}, writes{0};

    static int Count(unsigned, void* context, void* statement, void*) {
        auto& self = *static_cast<Statements*>(context);
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        if (sql == nullptr || std::strncmp(sql, "--", 2) == 0) return 0;  // a trigger's
        if (std::strcmp(sql, kPoll) == 0) return 0;                       // the driver's own
        if (strncasecmp(sql, "SELECT", 6) == 0) {
            ++self.queries;
        } else if (strncasecmp(sql, "BEGIN", 5) != 0 && strncasecmp(sql, "COMMIT", 6) != 0 &&
                   strncasecmp(sql, "ROLLBACK", 8) != 0) {
            ++self.writes;
        }
        return 0;
    }
};

}  // namespace

int RunSignOnList() {
    WorldSpec shape;
    shape.accounts = 1;
    shape.groupsPerAccount = kGroups;
    shape.contactsPerAccount = kItems - kGroups;

    test::IsolatedFolders folders;
    AccountServers servers(shape, 0, ServiceScript{});
    const std::string profile = folders.DataDir() + "zul.profile";
    WorldSpec stored = shape;
    stored.contactsPerAccount = 0;
    WriteProfile(profile, stored, {servers.Login().Port()});
    const std::string baselineProfile = folders.DataDir() + "baseline.profile";
    std::filesystem::copy_file(profile, baselineProfile);
    const double baseline = RunBaseline(baselineProfile, shape);

    Client client(folders.DataDir());
    COscar& account = client.AddAccount(0, servers.Login().Port());
    Statements counted;
    sqlite3* connection = Database().Connection().Handle();
    sqlite3_trace_v2(connection, SQLITE_TRACE_STMT, &Statements::Count, &counted);

    std::atomic<bool> probing{true};
    std::atomic<int64_t> longestWaitUs{0};
    std::thread probe([&] {
        while (probing.load()) {
            const auto asked = Clock::now();
            { std::lock_guard lock(client.Contacts().Mutex()); }
            const auto waited =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - asked).count();
            if (waited > longestWaitUs.load()) longestWaitUs.store(waited);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const int64_t expected = shape.contactsPerAccount;
    const auto start = Clock::now();
    account.RequestStatus(0);
    int64_t contacts = 0;
    // The poll asks the profile first (not the store's lock, which the probe measures), and
    // looks at the contacts' outboxes only once every row is there.
    auto done = [&] {
        if (account.Status() != 0) return false;
        const bool committed = WithCommittedProfile([&] {
            CppSQLite3Command rows = Database().Prepare(kPollSql);
            contacts = Database().ExecuteScalar(rows);
        });
        if (!committed || contacts < expected) return false;
        for (const ContactPtr& c : client.Contacts().ContactsOf(&account)) {
            if (!c->History().PendingLoaded() && !c->History().MessagesLoaded()) return false;
        }
        return true;
    };
    const bool finished =
        Client::WaitUntil(done, std::chrono::seconds(300), std::chrono::milliseconds(10));
    const double seconds = SecondsBetween(start, Clock::now());
    probing.store(false);
    probe.join();
    sqlite3_trace_v2(connection, 0, nullptr, nullptr);
    if (!finished) {
        std::fprintf(stderr, "signon_list: %lld of %lld contacts stored, status %d\n",
                     static_cast<long long>(contacts), static_cast<long long>(expected),
                     account.Status());
    }

    PrintFigure({"signon_list", seconds, "s", "", finished, baseline});
    PrintFigure(
        {"signon_list_queries", static_cast<double>(counted.queries.load()), "", "", finished, {}});
    PrintFigure(
        {"signon_list_writes", static_cast<double>(counted.writes.load()), "", "", finished, {}});
    PrintFigure({"signon_list_store_lock_wait_worst",
                 static_cast<double>(longestWaitUs.load()) / 1000.0,
                 "ms",
                 "<= 16 ms",
                 finished && longestWaitUs.load() <= 16000,
                 {}});
    return finished ? 0 : 1;
}

}  // namespace zul::bench
