#include "e2e/profile_file.h"

#include <sqlite3.h>

#include "platform/local_time.h"
#include "platform/text.h"
#include "storage/account_data.h"
#include "storage/database.h"
#include "storage/options.h"

namespace zul::test {

bool WriteProfile(const std::string& path, const ProfileSetup& setup) {
    if (!Database().OpenAt(path)) return false;
    bool ok = true;
    if (setup.writeAccount) {
        Options().ResetToDefaults();
        ok = Options().SaveAll();
    }

    CAccountData account;
    account.SetID(setup.account.id);
    account.SetType(acctype::kIcq);
    account.SetLogin(setup.account.login);
    account.SetPassword(setup.account.password);
    account.SetServer(u"127.0.0.1");
    account.SetPort(Widen(std::to_string(setup.account.port)));
    account.SetDescription(u"End-to-end account");
    account.SetEnabled(1);
    account.SetStatus(setup.account.lastStatus);
    if (setup.writeAccount) ok = account.dbSave() && ok;

    try {
        std::lock_guard lock(Database().Mutex());
        for (const auto& [id, name] : setup.groups) {
            CppSQLite3Command c = Database().Prepare(
                u"REPLACE INTO Groups (AccID,ID,Expanded,Name) VALUES (?,?,1,?)");
            c.BindInt(1, setup.account.id);
            c.BindInt(2, id);
            c.BindText(3, name);
            Database().Execute(c);
        }
        for (const ProfileContact& contact : setup.contacts) {
            CppSQLite3Command c = Database().Prepare(
                u"REPLACE INTO Contacts (AccID,LocalID,SrvID,GroupID,Login,Nickname,Note,Email,"
                u"Phone,AwaitingAuth,Visible,Invisible,Ignored,HasOpenedSession,OnServer) "
                u"VALUES (?,?,?,?,?,?,'','','',0,0,0,0,0,1)");
            c.BindInt(1, setup.account.id);
            c.BindInt(2, contact.localId);
            if (contact.srvId != 0) {
                c.BindInt(3, contact.srvId);
            } else {
                c.BindNull(3);  // not in the server list
            }
            c.BindInt(4, contact.groupId);
            c.BindText(5, contact.login);
            c.BindText(6, contact.nickname);
            Database().Execute(c);
        }
        for (const ProfileOutgoing& message : setup.outbox) {
            // The event time: 100 ns units of the local clock, low byte first.
            const uint64_t now = LocalFileTimeNow();
            uint8_t time[8];
            for (int i = 0; i < 8; ++i) time[i] = static_cast<uint8_t>(now >> (8 * i));
            CppSQLite3Command c = Database().Prepare(
                u"REPLACE INTO History (AccID,ContactID,EventType,Direction,EventTime,Status,"
                u"StatusMood,Unread,Sent,Delivered,Marked,Message,Number,ErrorCode) "
                u"VALUES (?,?,2,1,?,0,-1,0,0,0,0,?,?,0)");
            c.BindInt(1, setup.account.id);
            c.BindInt(2, message.contactId);
            c.BindBlob(3, time, sizeof time);
            c.BindText(4, message.text);
            c.BindInt(5, message.number);
            Database().Execute(c);
        }
    } catch (const CppSQLite3Exception&) {
        ok = false;
    }
    Database().Close();
    return ok;
}

namespace {

// Runs `sql` on a read-only connection and hands each row to `row`.
template <typename Row>
bool Query(const std::string& path, const std::string& sql, Row row) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    bool ok = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK;
    int step = SQLITE_DONE;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    ok = ok && step == SQLITE_DONE;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return ok;
}

std::string TextOf(sqlite3_stmt* statement) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    return text ? reinterpret_cast<const char*>(text) : std::string();
}

}  // namespace

std::optional<int64_t> ProfileReader::Int(const std::string& sql) const {
    std::optional<int64_t> value;
    const bool ok = Query(path_, sql, [&](sqlite3_stmt* s) {
        if (!value) value = sqlite3_column_int64(s, 0);
    });
    return ok ? value : std::nullopt;
}

std::optional<std::string> ProfileReader::Text(const std::string& sql) const {
    std::optional<std::string> value;
    const bool ok = Query(path_, sql, [&](sqlite3_stmt* s) {
        if (!value) value = TextOf(s);
    });
    return ok ? value : std::nullopt;
}

std::vector<std::string> ProfileReader::Column(const std::string& sql) const {
    std::vector<std::string> values;
    Query(path_, sql, [&](sqlite3_stmt* s) { values.push_back(TextOf(s)); });
    return values;
}

}  // namespace zul::test
