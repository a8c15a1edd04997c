#include "support/bench_profile.h"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <stdexcept>

#include "platform/local_time.h"
#include "platform/text.h"
#include "storage/account_data.h"
#include "storage/database.h"
#include "storage/history.h"

namespace zul::bench {
namespace {

void Check(int rc, sqlite3* db, const char* what) {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A statement prepared once and run for every row.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        Check(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr), db, sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement& Int(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Text(int i, const std::u16string& v) {
        sqlite3_bind_text16(stmt_, i, v.data(), static_cast<int>(v.size() * 2), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Blob(int i, const void* p, size_t n) {
        if (n == 0) {
            sqlite3_bind_null(stmt_, i);
        } else {
            sqlite3_bind_blob(stmt_, i, p, static_cast<int>(n), SQLITE_TRANSIENT);
        }
        return *this;
    }
    void Run() {
        Check(sqlite3_step(stmt_), db_, "step");
        sqlite3_reset(stmt_);
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
    Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

}  // namespace

int32_t AccountId(int a) {
    return 101 + a;
}

std::u16string AccountLogin(int a) {
    return Widen(std::to_string(100000 + a));
}

uint16_t GroupId(int a, int g) {
    return static_cast<uint16_t>(a * 100 + g + 1);
}

std::string GroupName(int g) {
    char name[32];
    std::snprintf(name, sizeof name, "Group %02d", g + 1);
    return name;
}

std::string ContactLogin(int a, int i) {
    return std::to_string(200000000 + a * 1000000 + i);
}

std::string ContactNickname(int a, int i) {
    static const char* const kNames[] = {"Anna",   "Boris", "Clara", "Dmitri", "Elena", "Fyodor",
                                         "Galina", "Hugo",  "Irina", "Jakob",  "Katya", "Lev"};
    return std::string(kNames[(a * 7 + i) % 12]) + " " + std::to_string(a * 1000000 + i);
}

int32_t ContactLocalId(int a, int i) {
    return a * 1000000 + i + 1;
}

uint16_t ContactSrvId(int i) {
    return static_cast<uint16_t>(i + 1);
}

uint16_t ContactGroupId(const WorldSpec& shape, int a, int i) {
    return GroupId(a, i % shape.groupsPerAccount);
}

std::vector<uint8_t> ContactPicture(const WorldSpec& shape, int a, int i) {
    std::vector<uint8_t> picture(shape.pictureBytes);
    uint32_t x = static_cast<uint32_t>(ContactLocalId(a, i)) * 2654435761u;
    for (uint8_t& b : picture) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return picture;
}

std::array<uint8_t, 16> PictureDigest(const std::vector<uint8_t>& picture) {
    std::array<uint8_t, 16> digest{};
    unsigned int length = 0;
    EVP_Digest(picture.data(), picture.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

void WriteProfile(const std::string& path, const WorldSpec& shape,
                  const std::vector<uint16_t>& loginPorts) {
    CDatabase& database = Database();
    if (!database.OpenAt(path)) throw std::runtime_error("cannot open the profile " + path);
    for (int a = 0; a < shape.accounts; ++a) {
        CAccountData data;
        data.SetID(AccountId(a));
        data.SetType(acctype::kIcq);
        data.SetLogin(AccountLogin(a));
        data.SetPassword(u"secret");
        data.SetServer(u"127.0.0.1");
        const uint16_t port = a < static_cast<int>(loginPorts.size()) ? loginPorts[a] : 5190;
        data.SetPort(Widen(std::to_string(port)));
        data.SetDescription(u"Account " + Widen(std::to_string(a + 1)));
        data.SetEnabled(1);
        data.SetStatus(shape.lastStatus);
        if (!data.dbSave()) throw std::runtime_error("cannot write an account row");
    }

    std::lock_guard lock(database.Mutex());
    sqlite3* db = database.Connection().Handle();
    Exec(db, "BEGIN");
    {
        Statement group(db, "INSERT INTO Groups (AccID,ID,Expanded,Name) VALUES (?,?,1,?)");
        Statement contact(db,
                          "INSERT INTO Contacts (AccID,LocalID,SrvID,GroupID,Login,Nickname,Note,"
                          "Email,Phone,AwaitingAuth,Visible,Invisible,Ignored,HasOpenedSession,"
                          "OnServer,Avatar) VALUES (?,?,?,?,?,?,'','','',0,0,0,0,0,1,?)");
        Statement event(db,
                        "INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,"
                        "Number,Status,StatusMood,Message,Unread,Sent,Delivered,Marked,ErrorCode)"
                        " VALUES (?,?,2,?,?,?,0,-1,?,0,?,?,0,0)");
        Statement counts(db,
                         "INSERT INTO HistoryTotals (AccID,ContactID,Newest,Messages,Events) "
                         "VALUES (?,?,?,?,?)");
        const uint64_t now = LocalFileTimeNow();
        for (int a = 0; a < shape.accounts; ++a) {
            for (int g = 0; g < shape.groupsPerAccount; ++g) {
                group.Int(1, AccountId(a)).Int(2, GroupId(a, g)).Text(3, Widen(GroupName(g))).Run();
            }
            for (int i = 0; i < shape.contactsPerAccount; ++i) {
                const std::vector<uint8_t> picture = ContactPicture(shape, a, i);
                contact.Int(1, AccountId(a))
                    .Int(2, ContactLocalId(a, i))
                    .Int(3, ContactSrvId(i))
                    .Int(4, ContactGroupId(shape, a, i))
                    .Text(5, Widen(ContactLogin(a, i)))
                    .Text(6, FromUtf8(ContactNickname(a, i)))
                    .Blob(7, picture.data(), picture.size())
                    .Run();
                const int history = a == 0 && i == 0 && shape.firstContactMessages >= 0
                                        ? shape.firstContactMessages
                                        : shape.historyPerContact;
                const int total = history + shape.pendingPerContact;
                for (int n = 0; n < total; ++n) {
                    const bool pending = n >= history;
                    const bool outgoing = pending || n % 2 == 1;
                    // One message a minute, the last one a minute ago.
                    uint8_t time[8];
                    EncodeEventTime(now - static_cast<uint64_t>(total - n) * 600000000ull, time);
                    std::u16string text = u"Message " + Widen(std::to_string(n + 1)) +
                                          u" of a long conversation about nothing in particular";
                    event.Int(1, AccountId(a))
                        .Int(2, ContactLocalId(a, i))
                        .Int(3, outgoing ? 1 : 0)
                        .Blob(4, time, sizeof time)
                        .Int(5, n + 1)
                        .Text(6, text)
                        .Int(7, pending ? 0 : 1)
                        .Int(8, pending ? 0 : 1)
                        .Run();
                }
                // As a client leaves them when it removes the account (at exit).
                if (shape.historyCountsSaved) {
                    counts.Int(1, AccountId(a))
                        .Int(2, ContactLocalId(a, i))
                        .Int(3, total)
                        .Int(4, total)
                        .Int(5, total)
                        .Run();
                }
            }
        }
    }
    Exec(db, "COMMIT");
    database.Close();
}

int64_t CountCommittedRows(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    int64_t count = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        count = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
}

}  // namespace zul::bench
