// signon_storm: sign-on with a 5,000-contact list in 20 groups, then 2,000 presence notices
// (status, text, mood, known picture hash) and 500 offline messages; timed from the first byte
// of the login to everything stored and committed.
//
// The baseline writes the same rows with a plain SQLite program in one transaction and parses
// the same frames with the codec, in the same run.
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "load/drivers.h"
#include "platform/local_time.h"
#include "platform/text.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/packet.h"
#include "storage/database.h"
#include "storage/history.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/plain_baseline.h"

namespace zul::bench {
namespace {

constexpr int kContacts = 5000;
constexpr int kGroups = 20;
constexpr int kPresence = 2000;
constexpr int kOffline = 500;
constexpr int kOfflineSenders = 250;
constexpr size_t kPictureBytes = 2048;

// --- the baseline ----------------------------------------------------------------------------

// Every frame the servers send in the storm, as one stream.
test::Bytes StormStream(const WorldSpec& shape) {
    std::vector<OutFrame> frames = ServerListFrames(shape, 0);
    for (OutFrame& f : PresenceNotices(shape, 0, 0, kPresence)) frames.push_back(std::move(f));
    for (OutFrame& f : OfflineMessages(shape, 0, kOffline, kOfflineSenders, 2)) {
        frames.push_back(std::move(f));
    }
    return EncodeFrames(frames);
}

// The rows the client stores, written by a plain program: `contacts` new contact rows, the
// status changes and messages in History, and the account's row.
double RunBaseline(const std::string& path, const WorldSpec& shape, int contacts,
                   const test::Bytes& stream) {
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
    exec("PRAGMA temp_store = MEMORY");
    exec("PRAGMA synchronous = FULL");
    exec("PRAGMA journal_mode = DELETE");
    exec("BEGIN");
    sqlite3_stmt* contact = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Contacts (AccID,LocalID,SrvID,GroupID,Login,Nickname,Note,"
                       "Email,Phone,AwaitingAuth,Visible,Invisible,Ignored,HasOpenedSession,"
                       "OnServer,Avatar) VALUES (?,?,?,?,?,?,'','','',0,0,0,0,0,1,NULL)",
                       -1, &contact, nullptr);
    for (int i = 0; i < contacts; ++i) {
        const std::u16string login = Widen(ContactLogin(0, i));
        const std::u16string nick = FromUtf8(ContactNickname(0, i));
        sqlite3_bind_int(contact, 1, AccountId(0));
        sqlite3_bind_int(contact, 2, 900000000 + i);
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

    sqlite3_stmt* event = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,"
                       "Number,Status,StatusMood,Message,Unread,Sent,Delivered,Marked,ErrorCode)"
                       " VALUES (?,?,?,0,?,?,?,?,?,?,1,1,0,0)",
                       -1, &event, nullptr);
    const uint64_t now = LocalFileTimeNow();
    uint8_t time[8];
    EncodeEventTime(now, time);
    const std::u16string statusText = u"on the road again, back at 10 o'clock";
    const std::u16string message = u"offline 1: are you there? call me when you read this, please";
    for (int k = 0; k < kPresence + kOffline; ++k) {
        const bool isMessage = k >= kPresence;
        const int contactIndex = isMessage ? (k - kPresence) % kOfflineSenders : k;
        const std::u16string& text = isMessage ? message : statusText;
        sqlite3_bind_int(event, 1, AccountId(0));
        sqlite3_bind_int(event, 2, ContactLocalId(0, contactIndex));
        sqlite3_bind_int(event, 3, isMessage ? evtype::kMessage : evtype::kStatusChange);
        sqlite3_bind_blob(event, 4, time, sizeof time, SQLITE_TRANSIENT);
        sqlite3_bind_int(event, 5, 1000000 + k);
        sqlite3_bind_int(event, 6, 0);
        sqlite3_bind_int(event, 7, -1);
        sqlite3_bind_text16(event, 8, text.data(), static_cast<int>(text.size() * 2),
                            SQLITE_TRANSIENT);
        sqlite3_bind_int(event, 9, isMessage ? 1 : 0);
        sqlite3_step(event);
        sqlite3_reset(event);
    }
    sqlite3_finalize(event);
    exec("UPDATE Accounts SET BytesIn=123456, BytesOut=2345, LastStatus=0 WHERE ID=101");
    exec("COMMIT");
    sqlite3_close(db);
    const double seconds = SecondsBetween(start, Clock::now());
    if (checksum == 0) throw std::runtime_error("baseline: nothing parsed");
    return seconds;
}

// --- the client run ----------------------------------------------------------------------------

int RunStorm(bool preloaded) {
    WorldSpec shape;
    shape.accounts = 1;
    shape.contactsPerAccount = kContacts;
    shape.groupsPerAccount = kGroups;
    shape.pictureBytes = kPictureBytes;

    test::IsolatedFolders folders;
    ServiceScript script;
    script.presenceNotices = kPresence;
    script.offlineMessages = kOffline;
    script.offlineSenders = kOfflineSenders;
    AccountServers servers(shape, 0, script);

    const std::string profile = folders.DataDir() + "zul.profile";
    WorldSpec stored = shape;
    if (!preloaded) stored.contactsPerAccount = 0;
    WriteProfile(profile, stored, {servers.Login().Port()});

    // The baseline on a copy of the same profile, before the client runs.
    const std::string baselineProfile = folders.DataDir() + "baseline.profile";
    std::filesystem::copy_file(profile, baselineProfile);
    const double baseline =
        RunBaseline(baselineProfile, shape, preloaded ? 0 : kContacts, StormStream(shape));

    Client client(folders.DataDir());
    COscar& account = client.AddAccount(0, servers.Login().Port());
    const int64_t expectedEvents = kPresence + kOffline;
    const int64_t expectedContacts = kContacts;

    const auto start = Clock::now();
    account.RequestStatus(0);
    int64_t events = 0, contacts = 0;
    // The poll takes the profile's lock: it asks the cheap question first and counts the
    // contacts (a walk of a table of pictures) only once the events are all there, so that
    // the measuring does not hold the session back.
    auto done = [&] {
        if (account.Status() != 0) return false;
        bool committed = WithCommittedProfile([&] {
            CppSQLite3Command count = Database().Prepare(u"SELECT COUNT(*) FROM History");
            events = Database().ExecuteScalar(count);
            if (events < expectedEvents) return;
            CppSQLite3Command rows = Database().Prepare(u"SELECT COUNT(*) FROM Contacts");
            contacts = Database().ExecuteScalar(rows);
        });
        return committed && events >= expectedEvents && contacts >= expectedContacts;
    };
    const bool finished =
        Client::WaitUntil(done, std::chrono::seconds(120), std::chrono::microseconds(500));
    const double seconds = SecondsBetween(start, Clock::now());
    if (!finished) {
        std::fprintf(stderr, "signon_storm: stored %lld events and %lld contacts, status %d\n",
                     static_cast<long long>(events), static_cast<long long>(contacts),
                     account.Status());
    }

    Figure figure;
    figure.name = preloaded ? "signon_storm" : "signon_storm_fresh";
    figure.value = seconds;
    figure.unit = "s";
    figure.baseline = baseline;
    if (preloaded) {
        figure.target = "<= 1.0 s and <= 1.5x baseline";
        figure.met = finished && seconds <= 1.0 && seconds <= 1.5 * baseline;
    } else {
        figure.met = finished;
    }
    PrintFigure(figure);
    if (!finished) return 1;
    return 0;
}

}  // namespace

int RunSignOnStorm() {
    return RunStorm(true);
}

int RunSignOnStormFresh() {
    return RunStorm(false);
}

}  // namespace zul::bench
