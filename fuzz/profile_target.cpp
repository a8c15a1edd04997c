// Builds a profile from the input, then loads it the way start-up does: settings, accounts,
// their groups and contacts, and every contact's history.
//
// Records of the input, [tag][16-bit length][bytes]:
// - tag bit 0x80 clear: one row of the table tag % 5 (Options, Accounts, Contacts, Groups,
//   History). The bytes give the columns in order, each a type byte (0 NULL, 1 64-bit integer,
//   2 real, 3 UTF-8 text, 4 blob, 5 UTF-16 text) and its value (8 bytes, 8 bytes, or a 16-bit
//   length and that many bytes). Columns the bytes do not reach are NULL.
// - tag bit 0x80 set: damage to the finished file: a 32-bit offset and the bytes written there.
#include "fuzz/profile_target.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "accounts/account.h"
#include "accounts/accounts.h"
#include "fuzz/fixture.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"

namespace zul::fuzz {
namespace {

struct Table {
    const char* name;
    int columns;
};
constexpr Table kTables[] = {
    {"Options", 3}, {"Accounts", 15}, {"Contacts", 25}, {"Groups", 4}, {"History", 14},
};

// Loaded accounts never go on line: a fuzzed row must not make the process connect anywhere.
class OfflineAccount : public CAccount {
  public:
    OfflineAccount(const CAccountData& data, CContacts& contacts, const std::string& folder)
        : CAccount(data, contacts, folder) {}
    ~OfflineAccount() override { StopSessionForDestruction(); }
    void RequestStatus(int32_t) override {}
    void ResetSession() override {}
    SessionStep ConnectAndLogIn() override { return SessionStep::kEnd; }
    SessionStep RunSession() override { return SessionStep::kEnd; }
    bool SendStatus(int32_t) override { return false; }
    bool SendMessageEvent(CHistoryEvent*) override { return false; }
    int ContactAction(CContact*) override { return 0; }
    bool RequestShortDetails(const std::u16string&, bool) override { return false; }
};

// One folder for the whole run; the profile in it is made anew for every input. Kept alive
// past the statics so that the exit handler can still remove it.
const std::string& Folder() {
    static const std::string* folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zul-fuzz-profile-XXXXXX").string();
        if (!mkdtemp(pattern.data())) Fail("mkdtemp", __FILE__, __LINE__);
        auto* path = new std::string(pattern + "/");
        // Removed when the process ends normally (a crash keeps it for a look).
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Folder(), ec);
        });
        return path;
    }();
    return *folder;
}

// Binds the columns a record describes; returns false when the bytes end mid-value.
void BindColumns(sqlite3_stmt* statement, int columns, const Bytes& bytes) {
    size_t pos = 0;
    auto take = [&](size_t n) -> const uint8_t* {
        if (bytes.size() - pos < n) return nullptr;
        const uint8_t* p = bytes.data() + pos;
        pos += n;
        return p;
    };
    for (int column = 1; column <= columns; ++column) {
        const uint8_t* type = take(1);
        if (!type) break;
        switch (*type % 6) {
            case 1: {
                const uint8_t* p = take(8);
                if (!p) return;
                int64_t v;
                std::memcpy(&v, p, 8);
                sqlite3_bind_int64(statement, column, v);
                break;
            }
            case 2: {
                const uint8_t* p = take(8);
                if (!p) return;
                double v;
                std::memcpy(&v, p, 8);
                sqlite3_bind_double(statement, column, v);
                break;
            }
            case 3:
            case 4:
            case 5: {
                const uint8_t* p = take(2);
                if (!p) return;
                const size_t n =
                    std::min<size_t>(static_cast<size_t>(p[0] << 8 | p[1]), bytes.size() - pos);
                const uint8_t* value = take(n);
                if (*type % 6 == 3) {
                    sqlite3_bind_text(statement, column, reinterpret_cast<const char*>(value),
                                      static_cast<int>(n), SQLITE_TRANSIENT);
                } else if (*type % 6 == 4) {
                    sqlite3_bind_blob(statement, column, value, static_cast<int>(n),
                                      SQLITE_TRANSIENT);
                } else {
                    sqlite3_bind_text16(statement, column, value, static_cast<int>(n & ~1u),
                                        SQLITE_TRANSIENT);
                }
                break;
            }
            default:
                break;  // NULL
        }
    }
}

void InsertRows(const std::string& path, const std::vector<Record>& records) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    for (const Record& r : records) {
        if (r.tag & 0x80) continue;
        const Table& table = kTables[r.tag % 5];
        std::string sql = std::string("INSERT OR IGNORE INTO ") + table.name + " VALUES(?";
        for (int i = 1; i < table.columns; ++i) sql += ",?";
        sql += ")";
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) continue;
        BindColumns(statement, table.columns, r.bytes);
        sqlite3_step(statement);  // a row the schema refuses is simply not there
        sqlite3_finalize(statement);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void DamageFile(const std::string& path, const std::vector<Record>& records) {
    FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) return;
    for (const Record& r : records) {
        if (!(r.tag & 0x80) || r.bytes.size() < 4) continue;
        const uint32_t offset = static_cast<uint32_t>(r.bytes[0] << 24 | r.bytes[1] << 16 |
                                                      r.bytes[2] << 8 | r.bytes[3]) %
                                (1u << 20);
        std::fseek(file, static_cast<long>(offset), SEEK_SET);
        std::fwrite(r.bytes.data() + 4, 1, r.bytes.size() - 4, file);
    }
    std::fclose(file);
}

// Everything start-up and the views read of a loaded contact.
void LoadContact(const ContactPtr& contact) {
    (void)contact->DisplayName();
    (void)contact->StatusLine();
    (void)contact->Picture();
    CHistory& history = contact->History();
    history.dbLoad(2, true);
    history.dbLoad(2, false);
    history.dbLoad(1, false);
    std::lock_guard lock(history.Mutex());
    for (const EventPtr& event : history.Events()) {
        (void)event->Message();
        (void)event->Number();
    }
}

}  // namespace

void ProfileRows(const uint8_t* data, size_t size) {
    Fixture::Discard();  // the protocol targets' profile, when one is open
    const std::string& folder = Folder();
    const std::string path = folder + kProfileFileName;
    std::remove(path.c_str());
    std::remove((path + "-journal").c_str());
    OverrideProgramFolder(folder);
    OverrideDataFolder(folder);

    // The schema as the program makes it (made once, copied for each input), the rows and the
    // damage from the input.
    static const std::string schema = [&folder] {
        const std::string file = folder + "schema.profile";
        if (!Database().OpenAt(file)) Fail("a new profile does not open", __FILE__, __LINE__);
        Database().Close();
        return file;
    }();
    std::filesystem::copy_file(schema, path, std::filesystem::copy_options::overwrite_existing);
    const std::vector<Record> records = SplitRecords(data, size, 512);
    InsertRows(path, records);
    DamageFile(path, records);

    // Start-up.
    if (Database().OpenAt(path)) {
        Options().ResetToDefaults();
        Options().dbLoad();
        Options().RestoreLastStatusesOnStart = 0;
        SetAccountFactory([](const CAccountData& d, CContacts& contacts, const std::string& f) {
            return std::make_unique<OfflineAccount>(d, contacts, f);
        });
        {
            CContacts contacts;
            CAccounts accounts(contacts, folder);
            for (CAccount* account : accounts.Snapshot()) {
                account->LoadContacts();
                (void)account->OwnerNick();
                (void)account->OwnerAvatar();
                for (const ContactPtr& contact : contacts.ContactsOf(account)) {
                    LoadContact(contact);
                }
            }
        }
        SetAccountFactory(nullptr);
        Options().ResetToDefaults();
    }
    Database().Close();
    OverrideProgramFolder("");
    OverrideDataFolder("");
    ResetLogRun();
}

}  // namespace zul::fuzz
