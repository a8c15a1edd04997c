#include "storage/database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "storage/db_log.h"

namespace zul {
namespace {

// Every statement is idempotent, so Init runs all of them on every start. The order and the
// texts are part of the profile format.
constexpr std::u16string_view kInitStatements[] = {
    u"PRAGMA temp_store   = MEMORY",
    u"PRAGMA synchronous  = FULL",
    u"PRAGMA journal_mode = DELETE",
    u"CREATE TABLE IF NOT EXISTS Options( ID INTEGER PRIMARY KEY, Value INTEGER, Description TEXT)",
    u"CREATE TABLE IF NOT EXISTS Accounts( ID INTEGER PRIMARY KEY CHECK(ID<>0), Type INTEGER, "
    u"Login TEXT, Password TEXT, Server TEXT, Port TEXT, Description TEXT, SecureLogin INTEGER, "
    u"UpdateContactsOnLogin INTEGER, BytesIn INTEGER, BytesOut INTEGER, LastStatus INTEGER, "
    u"OwnerNick TEXT, OwnerAvatar BLOB, Enabled INTEGER)",
    u"CREATE TABLE IF NOT EXISTS Contacts( AccID INTEGER CHECK(AccID<>0), LocalID INTEGER PRIMARY "
    u"KEY CHECK(LocalID<>0), SrvID INTEGER CHECK(SrvID<>0), GroupID INTEGER, Login TEXT, Nickname "
    u"TEXT, Note TEXT, Email TEXT, Phone TEXT, FirstName TEXT, LastName TEXT, ClientName TEXT, "
    u"AwaitingAuth INTEGER, Avatar BLOB, City TEXT, Address TEXT, Interests TEXT, Occupation TEXT, "
    u"SavedMessage TEXT, Encoding INTEGER, Visible INTEGER, Invisible INTEGER, Ignored INTEGER, "
    u"HasOpenedSession INTEGER, OnServer INTEGER)",
    u"CREATE TABLE IF NOT EXISTS Groups( AccID INTEGER CHECK(AccID<>0), ID INTEGER PRIMARY KEY, "
    u"Expanded INTEGER, Name TEXT)",
    u"CREATE TABLE IF NOT EXISTS History( AccID INTEGER CHECK(AccID<>0), ContactID INTEGER "
    u"CHECK(ContactID<>0), EventType INTEGER, Direction INTEGER, EventTime BLOB, Number INTEGER "
    u"CHECK(Number>=0), Status INTEGER, StatusMood INTEGER, Message TEXT, Unread INTEGER, Sent "
    u"INTEGER, Delivered INTEGER, Marked INTEGER, ErrorCode INTEGER)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS OptionsIndex1 ON Options (ID)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS AccountsIndex1 ON Accounts (ID)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS AccountsIndex2 ON Accounts (Type,Login)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS ContactsIndex1 ON Contacts (AccID,LocalID)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS ContactsIndex2 ON Contacts (AccID,Login)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS GroupsIndex1 ON Groups (AccID,ID)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS HistoryIndex1 ON History (AccID,ContactID,Number)",
    u"CREATE INDEX IF NOT EXISTS HistoryIndex2 ON History (AccID,ContactID,EventType,Unread)",
    u"CREATE TRIGGER IF NOT EXISTS AccountsTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR "
    u"EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE Groups   SET AccID=NEW.ID WHERE AccID=OLD.ID; "
    u"UPDATE Contacts SET AccID=NEW.ID WHERE AccID=OLD.ID; UPDATE History  SET AccID=NEW.ID WHERE "
    u"AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS GroupsTrigger_OnChangeID AFTER UPDATE OF ID ON Groups FOR EACH "
    u"ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE Contacts SET GroupID=NEW.ID WHERE GroupID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS ContactsTrigger_OnChange AFTER UPDATE OF LocalID ON Contacts "
    u"FOR EACH ROW WHEN OLD.LocalID<>NEW.LocalID BEGIN UPDATE History SET ContactID=NEW.LocalID "
    u"WHERE ContactID=OLD.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS AccountsTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW "
    u"BEGIN DELETE FROM Groups WHERE AccID=OLD.ID; DELETE FROM Contacts WHERE AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS ContactsTrigger_OnDelete AFTER DELETE ON Contacts FOR EACH ROW "
    u"BEGIN DELETE FROM History WHERE AccID=OLD.AccID AND ContactID=OLD.LocalID; END",
    u"CREATE TABLE IF NOT EXISTS AccountSecurity( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), Tls "
    u"INTEGER, TrustedCertificate TEXT, Keyring INTEGER)",
    u"CREATE TRIGGER IF NOT EXISTS AccountSecurityTrigger_OnChange AFTER UPDATE OF ID ON Accounts "
    u"FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountSecurity SET AccID=NEW.ID WHERE "
    u"AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS AccountSecurityTrigger_OnDelete AFTER DELETE ON Accounts FOR "
    u"EACH ROW BEGIN DELETE FROM AccountSecurity WHERE AccID=OLD.ID; END",
    u"CREATE TABLE IF NOT EXISTS AccountTexts( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), "
    u"StatusNote TEXT)",
    u"CREATE TRIGGER IF NOT EXISTS AccountTextsTrigger_OnChange AFTER UPDATE OF ID ON Accounts "
    u"FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountTexts SET AccID=NEW.ID WHERE "
    u"AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS AccountTextsTrigger_OnDelete AFTER DELETE ON Accounts FOR "
    u"EACH ROW BEGIN DELETE FROM AccountTexts WHERE AccID=OLD.ID; END",
    // The user's profile text, per account.
    u"CREATE TABLE IF NOT EXISTS AccountProfile( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), "
    u"Profile TEXT)",
    u"CREATE TRIGGER IF NOT EXISTS AccountProfileTrigger_OnChange AFTER UPDATE OF ID ON Accounts "
    u"FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountProfile SET AccID=NEW.ID WHERE "
    u"AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS AccountProfileTrigger_OnDelete AFTER DELETE ON Accounts FOR "
    u"EACH ROW BEGIN DELETE FROM AccountProfile WHERE AccID=OLD.ID; END",
    // Who may see the account, when the user chose it here (0: as the server has it).
    u"CREATE TABLE IF NOT EXISTS AccountPrivacy( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), "
    u"Mode INTEGER)",
    u"CREATE TRIGGER IF NOT EXISTS AccountPrivacyTrigger_OnChange AFTER UPDATE OF ID ON Accounts "
    u"FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountPrivacy SET AccID=NEW.ID WHERE "
    u"AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS AccountPrivacyTrigger_OnDelete AFTER DELETE ON Accounts FOR "
    u"EACH ROW BEGIN DELETE FROM AccountPrivacy WHERE AccID=OLD.ID; END",
    // The message and event counts of each contact's history as the client last knew them, and
    // the newest event number they were counted at: a row whose LastNumber is no longer the
    // history's newest is out of date and counted again.
    u"CREATE TABLE IF NOT EXISTS HistoryCounts( AccID INTEGER, ContactID INTEGER, LastNumber "
    u"INTEGER, Messages INTEGER, Events INTEGER, PRIMARY KEY(AccID, ContactID))",
    u"CREATE TRIGGER IF NOT EXISTS HistoryCountsTrigger_OnContactDelete AFTER DELETE ON Contacts "
    u"FOR EACH ROW BEGIN DELETE FROM HistoryCounts WHERE AccID=OLD.AccID AND "
    u"ContactID=OLD.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryCountsTrigger_OnContactChange AFTER UPDATE OF LocalID, "
    u"AccID ON Contacts FOR EACH ROW BEGIN DELETE FROM HistoryCounts WHERE ContactID=OLD.LocalID "
    u"OR ContactID=NEW.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryCountsTrigger_OnAccountChange AFTER UPDATE OF ID ON "
    u"Accounts FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN DELETE FROM HistoryCounts WHERE "
    u"AccID=OLD.ID OR AccID=NEW.ID; END",
    // The counts of each contact's history as the client left them, with the newest event's
    // number. The profile itself drops a contact's row whenever a row of that history is added,
    // replaced, removed or moved (and the older HistoryCounts row with it), so a row that exists
    // is exact: the list's load takes it without a look at the history.
    u"CREATE TABLE IF NOT EXISTS HistoryTotals( AccID INTEGER, ContactID INTEGER, Newest "
    u"INTEGER, Messages INTEGER, Events INTEGER, PRIMARY KEY(AccID, ContactID))",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnInsert AFTER INSERT ON History FOR "
    u"EACH ROW BEGIN DELETE FROM HistoryTotals WHERE AccID=NEW.AccID AND "
    u"ContactID=NEW.ContactID; DELETE FROM HistoryCounts WHERE AccID=NEW.AccID AND "
    u"ContactID=NEW.ContactID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnDelete AFTER DELETE ON History FOR "
    u"EACH ROW BEGIN DELETE FROM HistoryTotals WHERE AccID=OLD.AccID AND "
    u"ContactID=OLD.ContactID; DELETE FROM HistoryCounts WHERE AccID=OLD.AccID AND "
    u"ContactID=OLD.ContactID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnUpdate AFTER UPDATE OF AccID, "
    u"ContactID, Number, EventType ON History FOR EACH ROW BEGIN DELETE FROM HistoryTotals "
    u"WHERE (AccID=OLD.AccID AND ContactID=OLD.ContactID) OR (AccID=NEW.AccID AND "
    u"ContactID=NEW.ContactID); DELETE FROM HistoryCounts WHERE (AccID=OLD.AccID AND "
    u"ContactID=OLD.ContactID) OR (AccID=NEW.AccID AND ContactID=NEW.ContactID); END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnContactDelete AFTER DELETE ON "
    u"Contacts FOR EACH ROW BEGIN DELETE FROM HistoryTotals WHERE AccID=OLD.AccID AND "
    u"ContactID=OLD.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnContactChange AFTER UPDATE OF "
    u"LocalID, AccID ON Contacts FOR EACH ROW BEGIN DELETE FROM HistoryTotals WHERE "
    u"ContactID=OLD.LocalID OR ContactID=NEW.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS HistoryTotalsTrigger_OnAccountChange AFTER UPDATE OF ID ON "
    u"Accounts FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN DELETE FROM HistoryTotals WHERE "
    u"AccID=OLD.ID OR AccID=NEW.ID; END",
    // The unread messages alone: the list's load counts them for every contact in one walk.
    u"CREATE INDEX IF NOT EXISTS HistoryUnread ON History (AccID,ContactID) WHERE EventType=2 "
    u"AND Unread=1",
    // Chat rooms of each account (Kept: joined again at sign-on) and what was said in them.
    u"CREATE TABLE IF NOT EXISTS Rooms( ID INTEGER PRIMARY KEY, AccID INTEGER CHECK(AccID<>0), "
    u"Exchange INTEGER, Name TEXT, Kept INTEGER)",
    u"CREATE UNIQUE INDEX IF NOT EXISTS RoomsIndex1 ON Rooms (AccID,Exchange,Name)",
    u"CREATE TABLE IF NOT EXISTS RoomHistory( ID INTEGER PRIMARY KEY, RoomID INTEGER, EventTime "
    u"INTEGER, Kind INTEGER, Who TEXT, Message TEXT)",
    u"CREATE INDEX IF NOT EXISTS RoomHistoryIndex1 ON RoomHistory (RoomID,ID)",
    u"CREATE TRIGGER IF NOT EXISTS RoomsTrigger_OnAccountChange AFTER UPDATE OF ID ON Accounts "
    u"FOR EACH ROW WHEN OLD.ID<>NEW.ID BEGIN UPDATE Rooms SET AccID=NEW.ID WHERE AccID=OLD.ID; "
    u"END",
    u"CREATE TRIGGER IF NOT EXISTS RoomsTrigger_OnAccountDelete AFTER DELETE ON Accounts FOR "
    u"EACH ROW BEGIN DELETE FROM Rooms WHERE AccID=OLD.ID; END",
    u"CREATE TRIGGER IF NOT EXISTS RoomsTrigger_OnDelete AFTER DELETE ON Rooms FOR EACH ROW "
    u"BEGIN DELETE FROM RoomHistory WHERE RoomID=OLD.ID; END",
    // A contact's login as the server formats it ("Zul Bob" for "zulbob"), beside its row.
    u"CREATE TABLE IF NOT EXISTS ContactNames( LocalID INTEGER PRIMARY KEY CHECK(LocalID<>0), "
    u"Name TEXT)",
    u"CREATE TRIGGER IF NOT EXISTS ContactNamesTrigger_OnContactDelete AFTER DELETE ON Contacts "
    u"FOR EACH ROW BEGIN DELETE FROM ContactNames WHERE LocalID=OLD.LocalID; END",
    u"CREATE TRIGGER IF NOT EXISTS ContactNamesTrigger_OnContactChange AFTER UPDATE OF LocalID "
    u"ON Contacts FOR EACH ROW WHEN OLD.LocalID<>NEW.LocalID BEGIN UPDATE ContactNames SET "
    u"LocalID=NEW.LocalID WHERE LocalID=OLD.LocalID; END",
};

// The part of the profile read through a mapping while CMappedReads lives (the rest, if any,
// is read as before), and no mapping.
constexpr std::u16string_view kMapProfile = u"PRAGMA mmap_size = 268435456";
constexpr std::u16string_view kUnmapProfile = u"PRAGMA mmap_size = 0";

void LogFailure(std::u16string_view prefix, const CppSQLite3Exception& e) {
    std::u16string line(prefix);
    line += e.ErrorMessage();
    WriteLog(kDbLog, line);
}

void FinalizeQuietly(CppSQLite3Command& command) {
    try {
        command.Finalize();
    } catch (const CppSQLite3Exception&) {
    }
}

// Removes group and other permission bits from a file that has any.
void TightenMode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    if ((st.st_mode & 077) != 0) chmod(path.c_str(), st.st_mode & 0700);
}

// The profile holds account passwords: it is made readable by its owner only. A missing file is
// created empty with mode 0600 (SQLite treats an empty file as a new database); SQLite gives
// its journal the mode of the database file.
void ProtectProfile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    TightenMode(path);
    TightenMode(path + "-journal");
}

}  // namespace

// --- CDatabaseMutex -------------------------------------------------------------------------

void CDatabaseMutex::lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock guard(mutex_);
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return;
    }
    const uint64_t ticket = nextTicket_++;
    turn_.wait(guard, [this, ticket] { return serving_ == ticket; });
    owner_ = self;
    depth_ = 1;
}

bool CDatabaseMutex::try_lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard guard(mutex_);
    if (depth_ > 0) {
        if (owner_ != self) return false;
        ++depth_;
        return true;
    }
    // Free, and nobody waits for a turn.
    if (serving_ != nextTicket_) return false;
    ++nextTicket_;
    owner_ = self;
    depth_ = 1;
    return true;
}

void CDatabaseMutex::unlock() {
    {
        std::lock_guard guard(mutex_);
        if (--depth_ > 0) return;
        owner_ = std::thread::id();
        ++serving_;
        if (serving_ == nextTicket_) return;  // nobody waits
    }
    turn_.notify_all();
}

// --- CDatabase -------------------------------------------------------------------------------

CDatabase::~CDatabase() {
    Close();
}

bool CDatabase::Open() {
    std::lock_guard lock(mutex_);
    const std::string programFile = ProgramFolder() + kProfileFileName;
    const std::string dataFolder = DataFolder();
    const std::string dataFile = dataFolder + kProfileFileName;
    const bool useProgramFile = FileExists(programFile) && !FileExists(dataFile);
    if (!useProgramFile) EnsureFolder(dataFolder);
    return OpenFile(useProgramFile ? programFile : dataFile);
}

bool CDatabase::OpenAt(const std::string& path) {
    std::lock_guard lock(mutex_);
    return OpenFile(path);
}

bool CDatabase::OpenFile(const std::string& path) {
    try {
        ProtectProfile(path);
        statements_.Clear();  // statements of a connection that Open closes
        commitOwed_ = false;
        connection_.Open(FromUtf8(path));
        path_ = path;
        sqlite3_busy_timeout(connection_.Handle(), kBusyTimeoutMs);
        return Init();
    } catch (const CppSQLite3Exception& e) {
        if (e.ErrorCode() != SQLITE_ERROR) LogFailure(u"CDatabase::Open(): ", e);
        return false;
    } catch (...) {
        return false;
    }
}

bool CDatabase::Init() {
    std::lock_guard lock(mutex_);
    try {
        for (std::u16string_view sql : kInitStatements) connection_.ExecuteQuery(sql);
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"CDatabase::Init(): ", e);
        return false;
    }
    return true;
}

void CDatabase::Defer(std::function<void(CDatabase&)> work) {
    std::lock_guard lock(deferredMutex_);
    deferred_.push_back(std::move(work));
    if (!writer_.joinable()) {
        writerStopping_ = false;
        writer_ = std::thread([this] { WriterLoop(); });
    }
    deferredChanged_.notify_all();
}

void CDatabase::WriterLoop() {
    std::unique_lock lock(deferredMutex_);
    for (;;) {
        deferredChanged_.wait(lock, [this] { return !deferred_.empty() || writerStopping_; });
        if (deferred_.empty()) return;
        std::function<void(CDatabase&)> work = std::move(deferred_.front());
        deferred_.pop_front();
        writerBusy_ = true;
        lock.unlock();
        {
            std::lock_guard dbLock(mutex_);
            try {
                if (connection_.IsOpen()) work(*this);
            } catch (...) {
                WriteLog(kDbLog, u"CDatabase::WriterLoop(): a deferred write failed");
            }
        }
        lock.lock();
        writerBusy_ = false;
        deferredChanged_.notify_all();
    }
}

void CDatabase::FlushDeferred() {
    std::unique_lock lock(deferredMutex_);
    deferredChanged_.wait(lock, [this] { return deferred_.empty() && !writerBusy_; });
}

void CDatabase::StopWriter() {
    std::thread writer;
    {
        std::lock_guard lock(deferredMutex_);
        writerStopping_ = true;
        deferredChanged_.notify_all();
        writer.swap(writer_);
    }
    if (writer.joinable()) writer.join();
}

void CDatabase::Close() {
    // What was handed to the writer is written before the file closes.
    StopWriter();
    std::lock_guard lock(mutex_);
    // Closing rolls an open transaction back: an owed commit gets its last chance.
    if (commitOwed_) CommitNow(u"CDatabase::Close(): ");
    statements_.Clear();
    try {
        connection_.Close();
    } catch (const CppSQLite3Exception&) {
    }
    if (!connection_.IsOpen()) path_.clear();
}

CMappedReads::CMappedReads(CDatabase& database) : database_(database), lock_(database.Mutex()) {
    try {
        if (database_.IsOpen()) database_.Connection().ExecuteQuery(kMapProfile).Finalize();
    } catch (const CppSQLite3Exception&) {
        // Read as usual.
    }
}

CMappedReads::~CMappedReads() {
    try {
        if (database_.IsOpen()) database_.Connection().ExecuteQuery(kUnmapProfile).Finalize();
    } catch (const CppSQLite3Exception&) {
    }
}

int64_t CDatabase::Changes() const {
    sqlite3* handle = connection_.Handle();
    return handle != nullptr ? sqlite3_total_changes64(handle) : 0;
}

std::string CDatabase::Path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

CppSQLite3Command CDatabase::Prepare(std::u16string_view sql) {
    CppSQLite3Command command = statements_.Prepare(connection_, sql);
    command.Reset();
    return command;
}

void CDatabase::Execute(CppSQLite3Command& command) {
    std::lock_guard lock(mutex_);
    // Outside a guard, a statement written while a commit is owed joined the open transaction:
    // commit both (also when this statement failed).
    struct OwedCommit {
        CDatabase& db;
        ~OwedCommit() {
            if (db.commitOwed_ && db.transactionDepth_ == 0)
                db.CommitNow(u"CDatabase::Execute(): ");
        }
    } owed{*this};
    try {
        command.Execute();
        command.Finalize();
    } catch (const CppSQLite3Exception& e) {
        FinalizeQuietly(command);
        if (e.ErrorCode() != SQLITE_OK) throw;
    }
}

bool CDatabase::CommitNow(std::u16string_view logPrefix) {
    std::lock_guard lock(mutex_);
    try {
        CppSQLite3Command command = Prepare(u"COMMIT");
        command.Execute();
        command.Finalize();
        commitOwed_ = false;
        return true;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(logPrefix, e);
        sqlite3* db = connection_.Handle();
        // SQLite keeps the transaction open only after a busy COMMIT; other failures may end it.
        commitOwed_ =
            (e.ErrorCode() & 0xFF) == SQLITE_BUSY && db && sqlite3_get_autocommit(db) == 0;
        return false;
    }
}

int32_t CDatabase::ExecuteScalar(CppSQLite3Command& command) {
    std::lock_guard lock(mutex_);
    int32_t result = 0;
    try {
        result = command.ExecuteScalar();
        command.Finalize();
    } catch (const CppSQLite3Exception& e) {
        FinalizeQuietly(command);
        if (e.ErrorCode() != SQLITE_OK) throw;
        return 0;  // the query yielded no row
    }
    return result;
}

CppSQLite3ResultSet CDatabase::ExecuteQuery(CppSQLite3Command& command) {
    std::lock_guard lock(mutex_);
    try {
        return command.ExecuteQuery();
    } catch (const CppSQLite3Exception& e) {
        if (e.ErrorCode() == SQLITE_OK) return CppSQLite3ResultSet();
        FinalizeQuietly(command);
        throw;
    }
}

CDatabase& Database() {
    static CDatabase database;
    return database;
}

// --- CTransaction ----------------------------------------------------------------------------

CTransaction::CTransaction(CDatabase& database) : database_(database), lock_(database.mutex_) {
    sqlite3* db = database_.connection_.Handle();
    const bool open = db && sqlite3_get_autocommit(db) == 0;
    if (!open) database_.commitOwed_ = false;  // nothing left to commit
    // A transaction begun by hand (autocommit off) is joined like an outer guard; one whose
    // commit is owed is carried on by the next outermost guard.
    continuing_ = database_.transactionDepth_ == 0 && open && database_.commitOwed_;
    outermost_ = database_.transactionDepth_ == 0 && (!open || continuing_);
    ++database_.transactionDepth_;
    if (continuing_) {
        begun_ = true;
        savepoint_ = RunQuietly(u"SAVEPOINT guard", u"CTransaction(): ");
    } else if (outermost_) {
        begun_ = RunQuietly(u"BEGIN IMMEDIATE", u"CTransaction(): ");
    }
}

CTransaction::~CTransaction() {
    if (outermost_ && begun_ && !done_) {
        // A failed statement may already have ended the transaction.
        sqlite3* db = database_.connection_.Handle();
        if (db && sqlite3_get_autocommit(db) == 0) {
            if (savepoint_) {
                // Only this guard's statements go; the owed ones stay for the next commit.
                RunQuietly(u"ROLLBACK TO guard", u"~CTransaction(): ");
                RunQuietly(u"RELEASE guard", u"~CTransaction(): ");
            } else if (!database_.commitOwed_) {
                RunQuietly(u"ROLLBACK", u"~CTransaction(): ");
            }
        }
    }
    --database_.transactionDepth_;
}

bool CTransaction::Commit() {
    if (done_) return true;
    if (outermost_ && begun_) {
        if (savepoint_) RunQuietly(u"RELEASE guard", u"CTransaction::Commit(): ");
        savepoint_ = false;
        if (!database_.CommitNow(u"CTransaction::Commit(): ")) {
            // An owed commit keeps the rows: the destructor must not roll them back.
            if (database_.commitOwed_) done_ = true;
            return false;
        }
    }
    done_ = true;
    return true;
}

bool CTransaction::RunQuietly(std::u16string_view sql, std::u16string_view logPrefix) {
    return DbWork(logPrefix, [&] {
        CppSQLite3Command command = database_.Prepare(sql);
        database_.Execute(command);
        return true;
    });
}

}  // namespace zul
