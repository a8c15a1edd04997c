#include "storage/sqlite_wrapper.h"

#include <sqlite3.h>

#include <string>

#include "platform/text.h"

namespace zul {
namespace {

// A legacy-prepared statement reports a changed schema only when it is finalized; the
// connection query prepares again. The bound keeps a schema that never settles from
// looping for ever.
constexpr int kMaxSchemaRetries = 50;

std::u16string FromSqliteText(const void* text) {
    if (!text) return std::u16string();
    return std::u16string(static_cast<const char16_t*>(text));
}

std::u16string ConnectionError(sqlite3* db) {
    if (!db) return std::u16string();
    return FromSqliteText(sqlite3_errmsg16(db));
}

[[noreturn]] void Raise(int32_t code, std::u16string_view message) {
    throw CppSQLite3Exception(code, message);
}

[[noreturn]] void RaiseConnectionError(int32_t code, sqlite3* db) {
    throw CppSQLite3Exception(code, ConnectionError(db));
}

}  // namespace

// --- CppSQLite3Exception ---------------------------------------------------------------------

CppSQLite3Exception::CppSQLite3Exception(int32_t code, const char16_t* message)
    : CppSQLite3Exception(code, message ? std::u16string_view(message) : std::u16string_view()) {}

CppSQLite3Exception::CppSQLite3Exception(int32_t code, std::u16string_view message) : code_(code) {
    message_.reserve(message.size() + 50);
    message_ += CodeName(code);
    message_ += u'[';
    message_ += Widen(std::to_string(code));
    message_ += u"]: ";
    message_ += message;
    narrow_ = ToUtf8(message_);
}

std::u16string_view CppSQLite3Exception::CodeName(int32_t code) {
    switch (code) {
        case SQLITE_OK:
            return u"SQLITE_OK";
        case SQLITE_ERROR:
            return u"SQLITE_ERROR";
        case SQLITE_INTERNAL:
            return u"SQLITE_INTERNAL";
        case SQLITE_PERM:
            return u"SQLITE_PERM";
        case SQLITE_ABORT:
            return u"SQLITE_ABORT";
        case SQLITE_BUSY:
            return u"SQLITE_BUSY";
        case SQLITE_LOCKED:
            return u"SQLITE_LOCKED";
        case SQLITE_NOMEM:
            return u"SQLITE_NOMEM";
        case SQLITE_READONLY:
            return u"SQLITE_READONLY";
        case SQLITE_INTERRUPT:
            return u"SQLITE_INTERRUPT";
        case SQLITE_IOERR:
            return u"SQLITE_IOERR";
        case SQLITE_CORRUPT:
            return u"SQLITE_CORRUPT";
        case SQLITE_NOTFOUND:
            return u"SQLITE_NOTFOUND";
        case SQLITE_FULL:
            return u"SQLITE_FULL";
        case SQLITE_CANTOPEN:
            return u"SQLITE_CANTOPEN";
        case SQLITE_PROTOCOL:
            return u"SQLITE_PROTOCOL";
        case SQLITE_EMPTY:
            return u"SQLITE_EMPTY";
        case SQLITE_SCHEMA:
            return u"SQLITE_SCHEMA";
        case SQLITE_TOOBIG:
            return u"SQLITE_TOOBIG";
        case SQLITE_CONSTRAINT:
            return u"SQLITE_CONSTRAINT";
        case SQLITE_MISMATCH:
            return u"SQLITE_MISMATCH";
        case SQLITE_MISUSE:
            return u"SQLITE_MISUSE";
        case SQLITE_NOLFS:
            return u"SQLITE_NOLFS";
        case SQLITE_AUTH:
            return u"SQLITE_AUTH";
        case SQLITE_FORMAT:
            return u"SQLITE_FORMAT";
        case SQLITE_RANGE:
            return u"SQLITE_RANGE";
        case SQLITE_ROW:
            return u"SQLITE_ROW";
        case SQLITE_DONE:
            return u"SQLITE_DONE";
        case kCppSqliteError:
            return u"CPPSQLITE_ERROR";
        default:
            return u"UNKNOWN_ERROR";
    }
}

// --- CppSQLite3Connection --------------------------------------------------------------------

CppSQLite3Connection::~CppSQLite3Connection() {
    try {
        Close();
    } catch (const CppSQLite3Exception&) {
    }
}

void CppSQLite3Connection::Open(std::u16string_view path) {
    if (db_) Close();
    const std::u16string file(path);
    sqlite3* db = nullptr;
    int rc = sqlite3_open16(file.c_str(), &db);
    if (rc != SQLITE_OK) {
        // SQLite hands out a handle even when the open fails; it must still be closed.
        std::u16string message = ConnectionError(db);
        sqlite3_close(db);
        Raise(rc, message);
    }
    db_ = db;
}

void CppSQLite3Connection::Close() {
    if (!db_) return;
    int rc = sqlite3_close(db_);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
    db_ = nullptr;
}

sqlite3_stmt* CppSQLite3Connection::PrepareStatement(std::u16string_view sql) {
    if (!db_) Raise(kCppSqliteError, u"Database not open");
    const std::u16string text(sql);
    sqlite3_stmt* stmt = nullptr;
    const void* tail = nullptr;
    int rc = sqlite3_prepare16(db_, text.c_str(), -1, &stmt, &tail);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
    return stmt;
}

CppSQLite3Command CppSQLite3Connection::Prepare(std::u16string_view sql) {
    sqlite3_stmt* stmt = PrepareStatement(sql);
    return CppSQLite3Command(db_, stmt);
}

CppSQLite3ResultSet CppSQLite3Connection::ExecuteQuery(std::u16string_view sql) {
    for (int attempt = 0;; ++attempt) {
        sqlite3_stmt* stmt = PrepareStatement(sql);
        if (!stmt) return CppSQLite3ResultSet();  // only blanks or comments: nothing to run
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return CppSQLite3ResultSet(db_, stmt, true, true);
        if (rc == SQLITE_ROW) return CppSQLite3ResultSet(db_, stmt, false, true);
        // The legacy interface gives the specific code only through finalization.
        rc = sqlite3_finalize(stmt);
        if (rc != SQLITE_SCHEMA || attempt >= kMaxSchemaRetries) RaiseConnectionError(rc, db_);
    }
}

// --- CppSQLite3StatementCache ----------------------------------------------------------------

CppSQLite3StatementCache::~CppSQLite3StatementCache() {
    Clear();
}

CppSQLite3Command CppSQLite3StatementCache::Prepare(CppSQLite3Connection& connection,
                                                    std::u16string_view sql) {
    sqlite3* db = connection.Handle();
    Entry* entry = nullptr;
    uint64_t generation = 0;
    auto lend = [&](sqlite3_stmt* stmt) {
        CppSQLite3Command command(db, stmt);
        command.cache_ = this;
        command.entry_ = entry;
        command.generation_ = generation;
        return command;
    };
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
        auto it = entries_.find(sql);
        if (it == entries_.end() && entries_.size() < kMaxTexts) {
            it = entries_.emplace(std::u16string(sql), Entry()).first;
        }
        if (it == entries_.end()) return connection.Prepare(sql);
        entry = &it->second;
        ++entry->loaned;  // from here on the entry stays, also through a Clear
        while (!entry->idle.empty()) {
            sqlite3_stmt* stmt = entry->idle.back();
            entry->idle.pop_back();
            if (db && sqlite3_db_handle(stmt) == db) return lend(stmt);
            sqlite3_finalize(stmt);  // a statement of another connection
        }
    }
    // A kept statement must survive schema changes made after it was prepared: this form of
    // prepare compiles it again when the schema moved, where a legacy statement would fail
    // once. Its errors read the same through the command (the reset's code and message).
    const std::u16string text(sql);
    sqlite3_stmt* stmt = nullptr;
    const int rc = db ? sqlite3_prepare16_v2(db, text.c_str(), -1, &stmt, nullptr) : SQLITE_OK;
    if (!db || rc != SQLITE_OK || !stmt) {
        {
            std::lock_guard lock(mutex_);
            --entry->loaned;
        }
        if (!db) Raise(kCppSqliteError, u"Database not open");
        if (rc != SQLITE_OK) RaiseConnectionError(rc, db);
        return CppSQLite3Command(db, nullptr);  // only blanks or comments: nothing to keep
    }
    return lend(stmt);
}

void CppSQLite3StatementCache::GiveBack(Entry* entry, sqlite3_stmt* statement, uint64_t generation,
                                        bool failed) {
    // Back to its start, holding no read lock and no values.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    std::lock_guard lock(mutex_);
    --entry->loaned;
    if (failed || generation != generation_ || entry->idle.size() >= kMaxIdlePerText) {
        sqlite3_finalize(statement);
        return;
    }
    entry->idle.push_back(statement);
}

void CppSQLite3StatementCache::Clear() {
    std::lock_guard lock(mutex_);
    ++generation_;
    for (auto it = entries_.begin(); it != entries_.end();) {
        for (sqlite3_stmt* stmt : it->second.idle) sqlite3_finalize(stmt);
        it->second.idle.clear();
        it = it->second.loaned == 0 ? entries_.erase(it) : std::next(it);
    }
}

// --- CppSQLite3Command -----------------------------------------------------------------------

CppSQLite3Command::CppSQLite3Command(CppSQLite3Command& other) noexcept {
    TakeOver(other);
}

CppSQLite3Command::CppSQLite3Command(CppSQLite3Command&& other) noexcept {
    TakeOver(other);
}

CppSQLite3Command& CppSQLite3Command::operator=(CppSQLite3Command&& other) noexcept {
    if (this != &other) {
        ReleaseQuietly();
        TakeOver(other);
    }
    return *this;
}

CppSQLite3Command::~CppSQLite3Command() {
    ReleaseQuietly();
}

void CppSQLite3Command::TakeOver(CppSQLite3Command& other) noexcept {
    db_ = other.db_;
    stmt_ = other.stmt_;
    cache_ = other.cache_;
    entry_ = other.entry_;
    generation_ = other.generation_;
    failed_ = other.failed_;
    other.stmt_ = nullptr;
}

bool CppSQLite3Command::GiveBack() noexcept {
    if (!stmt_ || !cache_) return false;
    sqlite3_stmt* stmt = stmt_;
    stmt_ = nullptr;
    cache_->GiveBack(entry_, stmt, generation_, failed_);
    return true;
}

void CppSQLite3Command::ReleaseQuietly() noexcept {
    if (GiveBack()) return;
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
}

void CppSQLite3Command::CheckStatement() const {
    if (!stmt_) Raise(kCppSqliteError, u"Null Virtual Machine pointer");
}

void CppSQLite3Command::CheckRunnable() const {
    if (!db_) Raise(kCppSqliteError, u"Database not open");
    CheckStatement();
}

void CppSQLite3Command::ResetAndRaise() {
    int rc = sqlite3_reset(stmt_);
    // "No row" (a reset that reports success) leaves the statement as good as new.
    if (rc != SQLITE_OK) failed_ = true;
    RaiseConnectionError(rc, db_);
}

void CppSQLite3Command::BindText(int index, std::u16string_view text) {
    CheckStatement();
    // Length in bytes rather than -1: the view need not be terminated, and an embedded zero
    // stays part of the value.
    const int bytes = static_cast<int>(text.size() * sizeof(char16_t));
    const char16_t* data = text.data() ? text.data() : u"";
    int rc = sqlite3_bind_text16(stmt_, index, data, bytes, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) Raise(rc, u"Error binding string param");
}

void CppSQLite3Command::BindInt(int index, int32_t value) {
    CheckStatement();
    int rc = sqlite3_bind_int(stmt_, index, value);
    if (rc != SQLITE_OK) Raise(rc, u"Error binding int param");
}

void CppSQLite3Command::BindInt64(int index, int64_t value) {
    CheckStatement();
    int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) Raise(rc, u"Error binding int param");
}

void CppSQLite3Command::BindBlob(int index, const void* bytes, int byteCount) {
    CheckStatement();
    int rc = sqlite3_bind_blob(stmt_, index, bytes, byteCount, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) Raise(rc, u"Error binding blob param");
}

void CppSQLite3Command::BindNull(int index) {
    CheckStatement();
    int rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK) Raise(rc, u"Error binding NULL param");
}

int CppSQLite3Command::Execute() {
    CheckRunnable();
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_DONE) ResetAndRaise();
    int changes = sqlite3_changes(db_);
    rc = sqlite3_reset(stmt_);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
    return changes;
}

CppSQLite3ResultSet CppSQLite3Command::ExecuteQuery() {
    CheckRunnable();
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE) return CppSQLite3ResultSet(db_, stmt_, true, false);
    if (rc == SQLITE_ROW) return CppSQLite3ResultSet(db_, stmt_, false, false);
    ResetAndRaise();
}

int32_t CppSQLite3Command::ExecuteScalar() {
    CheckRunnable();
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW) ResetAndRaise();  // no row: the reset reports 0
    int32_t value = 0;
    {
        CppSQLite3ResultSet row(db_, stmt_, false, false);
        if (row.ColumnCount() < 1) Raise(kCppSqliteError, u"Invalid scalar query");
        if (!row.IsNull(0)) value = WideToInt(row.TextColumn(0));
    }
    // Back to the start so the statement holds no read lock and can run again.
    sqlite3_reset(stmt_);
    return value;
}

void CppSQLite3Command::Reset() {
    if (!stmt_) return;
    int rc = sqlite3_reset(stmt_);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
}

void CppSQLite3Command::Finalize() {
    if (GiveBack()) return;
    if (!stmt_) return;
    sqlite3_stmt* stmt = stmt_;
    stmt_ = nullptr;
    int rc = sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
}

// --- CppSQLite3ResultSet ---------------------------------------------------------------------

CppSQLite3ResultSet::CppSQLite3ResultSet(sqlite3* db, sqlite3_stmt* statement, bool end,
                                         bool ownsStatement)
    : db_(db),
      stmt_(statement),
      end_(end),
      columns_(statement ? sqlite3_column_count(statement) : 0),
      owns_(ownsStatement) {}

CppSQLite3ResultSet::CppSQLite3ResultSet(CppSQLite3ResultSet& other) noexcept {
    TakeOver(other);
}

CppSQLite3ResultSet::CppSQLite3ResultSet(CppSQLite3ResultSet&& other) noexcept {
    TakeOver(other);
}

CppSQLite3ResultSet& CppSQLite3ResultSet::operator=(CppSQLite3ResultSet& other) noexcept {
    if (this != &other) {
        ReleaseQuietly();
        TakeOver(other);
    }
    return *this;
}

CppSQLite3ResultSet& CppSQLite3ResultSet::operator=(CppSQLite3ResultSet&& other) noexcept {
    return *this = other;
}

CppSQLite3ResultSet::~CppSQLite3ResultSet() {
    ReleaseQuietly();
}

void CppSQLite3ResultSet::TakeOver(CppSQLite3ResultSet& other) noexcept {
    db_ = other.db_;
    stmt_ = other.stmt_;
    end_ = other.end_;
    columns_ = other.columns_;
    owns_ = other.owns_;
    other.stmt_ = nullptr;
}

void CppSQLite3ResultSet::ReleaseQuietly() noexcept {
    if (stmt_ && owns_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
}

void CppSQLite3ResultSet::CheckStatement() const {
    if (!stmt_) Raise(kCppSqliteError, u"Null Virtual Machine pointer");
}

void CppSQLite3ResultSet::CheckIndex(int index) const {
    CheckStatement();
    if (index < 0 || index >= columns_) Raise(kCppSqliteError, u"Invalid field index requested");
}

void CppSQLite3ResultSet::Next() {
    CheckStatement();
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE) {
        end_ = true;
        return;
    }
    if (rc == SQLITE_ROW) {
        end_ = false;
        return;
    }
    // The specific code comes from finalization (own statement) or a reset (shared one).
    if (owns_) {
        sqlite3_stmt* stmt = stmt_;
        stmt_ = nullptr;
        rc = sqlite3_finalize(stmt);
    } else {
        rc = sqlite3_reset(stmt_);
    }
    RaiseConnectionError(rc, db_);
}

int CppSQLite3ResultSet::ColumnIndex(std::u16string_view name) const {
    CheckStatement();
    if (name.data()) {
        for (int i = 0; i < columns_; ++i) {
            const void* column = sqlite3_column_name16(stmt_, i);
            if (column && name == std::u16string_view(static_cast<const char16_t*>(column)))
                return i;
        }
    }
    Raise(kCppSqliteError, u"Invalid field name requested");
}

bool CppSQLite3ResultSet::IsNull(int index) const {
    CheckIndex(index);
    return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

int32_t CppSQLite3ResultSet::IntColumn(int index, int32_t defaultValue) const {
    if (IsNull(index)) return defaultValue;
    return sqlite3_column_int(stmt_, index);
}

int32_t CppSQLite3ResultSet::IntColumn(std::u16string_view name, int32_t defaultValue) const {
    return IntColumn(ColumnIndex(name), defaultValue);
}

std::u16string CppSQLite3ResultSet::TextColumn(int index, std::u16string_view defaultText) const {
    if (IsNull(index)) return std::u16string(defaultText);
    const void* text = sqlite3_column_text16(stmt_, index);
    if (!text) return std::u16string();
    const int bytes = sqlite3_column_bytes16(stmt_, index);
    return std::u16string(static_cast<const char16_t*>(text),
                          static_cast<size_t>(bytes) / sizeof(char16_t));
}

std::u16string CppSQLite3ResultSet::TextColumn(std::u16string_view name,
                                               std::u16string_view defaultText) const {
    return TextColumn(ColumnIndex(name), defaultText);
}

const uint8_t* CppSQLite3ResultSet::BlobColumn(int index, int& byteCount) const {
    CheckIndex(index);
    byteCount = sqlite3_column_bytes16(stmt_, index);
    const void* blob = sqlite3_column_blob(stmt_, index);
    if (!blob) byteCount = 0;
    return static_cast<const uint8_t*>(blob);
}

const uint8_t* CppSQLite3ResultSet::BlobColumn(std::u16string_view name, int& byteCount) const {
    return BlobColumn(ColumnIndex(name), byteCount);
}

std::vector<uint8_t> CppSQLite3ResultSet::BlobBytes(int index) const {
    int count = 0;
    const uint8_t* bytes = BlobColumn(index, count);
    if (!bytes || count <= 0) return {};
    return std::vector<uint8_t>(bytes, bytes + count);
}

std::vector<uint8_t> CppSQLite3ResultSet::BlobBytes(std::u16string_view name) const {
    return BlobBytes(ColumnIndex(name));
}

void CppSQLite3ResultSet::Finalize() {
    if (!stmt_) return;
    sqlite3_stmt* stmt = stmt_;
    stmt_ = nullptr;
    if (!owns_) return;  // the command finalizes a shared statement
    int rc = sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) RaiseConnectionError(rc, db_);
}

}  // namespace zul
