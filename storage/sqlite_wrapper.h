// A thin object layer over SQLite's UTF-16 interface: one owning class per SQLite concept
// (connection, prepared command, result set) and one exception type whose text names the
// SQLite result code. SQL text, bound texts and column texts are all wide (UTF-16).
// Nothing here locks; CDatabase serialises the use of its one connection.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zul {

// Code used for the failures the wrapper finds itself (no connection, no statement, bad index).
constexpr int32_t kCppSqliteError = 1000;

// The database layer's exception: an SQLite result code (or 1000) and the formatted text
// "<code name>[<code>]: <message>".
class CppSQLite3Exception : public std::exception {
  public:
    // `message` may be null; it then counts as the empty text.
    CppSQLite3Exception(int32_t code, const char16_t* message);
    CppSQLite3Exception(int32_t code, std::u16string_view message);
    ~CppSQLite3Exception() override = default;

    int32_t ErrorCode() const noexcept { return code_; }
    const std::u16string& ErrorMessage() const noexcept { return message_; }
    const char* what() const noexcept override { return narrow_.c_str(); }

    // The symbolic name of a result code ("SQLITE_BUSY", "CPPSQLITE_ERROR", "UNKNOWN_ERROR").
    static std::u16string_view CodeName(int32_t code);

  private:
    int32_t code_;
    std::u16string message_;
    std::string narrow_;  // UTF-8 copy for what()
};

class CppSQLite3Command;
class CppSQLite3Connection;
class CppSQLite3ResultSet;

// Prepared statements kept for reuse, keyed by their SQL text, so that the statements of hot
// paths (a history's counters and numbering, the rows of events and contacts, the traffic
// counters) are prepared once rather than for every row. A command made from the cache gives
// its statement back when it is finalized or destroyed; a statement whose run raised is
// finalized instead. Thread-safe.
class CppSQLite3StatementCache {
  public:
    CppSQLite3StatementCache() = default;
    ~CppSQLite3StatementCache();
    CppSQLite3StatementCache(const CppSQLite3StatementCache&) = delete;
    CppSQLite3StatementCache& operator=(const CppSQLite3StatementCache&) = delete;

    // A command for `sql` on `db`: a kept statement when one is idle, else a new one.
    CppSQLite3Command Prepare(CppSQLite3Connection& connection, std::u16string_view sql);
    // Finalizes every idle statement; statements given back later that were prepared before
    // are finalized too. Call before the connection closes.
    void Clear();

  private:
    friend class CppSQLite3Command;
    struct Entry {
        std::vector<sqlite3_stmt*> idle;
        int loaned = 0;  // commands holding a statement of this entry
    };
    // Keeps or finalizes a statement coming back from a command.
    void GiveBack(Entry* entry, sqlite3_stmt* statement, uint64_t generation, bool failed);

    // Idle statements kept per SQL text, and SQL texts kept at all (the program has fewer).
    static constexpr size_t kMaxIdlePerText = 4;
    static constexpr size_t kMaxTexts = 256;

    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view text) const {
            return std::hash<std::u16string_view>()(text);
        }
    };

    std::mutex mutex_;
    // Entries go only in Clear, and only those no command on loan points at.
    std::unordered_map<std::u16string, Entry, TextHash, std::equal_to<>> entries_;
    uint64_t generation_ = 0;
};

// An open SQLite connection; closed by the destructor (errors swallowed).
class CppSQLite3Connection {
  public:
    CppSQLite3Connection() = default;
    virtual ~CppSQLite3Connection();
    CppSQLite3Connection(const CppSQLite3Connection&) = delete;
    CppSQLite3Connection& operator=(const CppSQLite3Connection&) = delete;

    // Opens (or creates) the file through sqlite3_open16. No busy time-out or other option is
    // set here. An already open connection is closed first.
    void Open(std::u16string_view path);
    // Closes when open; a failed close raises and keeps the handle.
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    sqlite3* Handle() const { return db_; }

    // Prepares one statement with the legacy sqlite3_prepare16 (any tail is ignored).
    CppSQLite3Command Prepare(std::u16string_view sql);
    // Prepares and steps once; a first step that fails with SQLITE_SCHEMA is prepared again.
    // The result set owns its statement.
    CppSQLite3ResultSet ExecuteQuery(std::u16string_view sql);

  private:
    sqlite3_stmt* PrepareStatement(std::u16string_view sql);
    sqlite3* db_ = nullptr;
};

// A prepared statement. Copying transfers the statement (the source is left without one),
// so a command can be returned and passed by value; the destructor finalizes quietly.
class CppSQLite3Command {
  public:
    CppSQLite3Command() = default;
    CppSQLite3Command(sqlite3* db, sqlite3_stmt* statement) : db_(db), stmt_(statement) {}
    CppSQLite3Command(CppSQLite3Command& other) noexcept;
    CppSQLite3Command(CppSQLite3Command&& other) noexcept;
    CppSQLite3Command& operator=(CppSQLite3Command&& other) noexcept;
    virtual ~CppSQLite3Command();

    // Parameter indexes count from 1. Texts and blobs are copied by SQLite.
    void BindText(int index, std::u16string_view text);
    void BindInt(int index, int32_t value);
    void BindInt64(int index, int64_t value);
    void BindBlob(int index, const void* bytes, int byteCount);
    void BindNull(int index);

    // Runs a statement that returns no rows; returns the number of rows it changed. The
    // statement is reset afterwards and can be bound and run again.
    int Execute();
    // Steps once; the result set shares this command's statement.
    CppSQLite3ResultSet ExecuteQuery();
    // The first column of the first row, read as text and converted from its leading digits
    // (NULL gives 0). No row raises an exception with code 0.
    int32_t ExecuteScalar();

    void Reset();
    // Finalizes the statement, or gives it back to the cache it came from.
    void Finalize();

    bool HasStatement() const { return stmt_ != nullptr; }
    sqlite3_stmt* Statement() const { return stmt_; }

  private:
    friend class CppSQLite3StatementCache;

    void CheckStatement() const;
    void CheckRunnable() const;
    [[noreturn]] void ResetAndRaise();
    void ReleaseQuietly() noexcept;
    // Gives a cached statement back; false when the command's statement is not cached.
    bool GiveBack() noexcept;
    void TakeOver(CppSQLite3Command& other) noexcept;

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    // Set for a command made by a statement cache.
    CppSQLite3StatementCache* cache_ = nullptr;
    CppSQLite3StatementCache::Entry* entry_ = nullptr;
    uint64_t generation_ = 0;
    bool failed_ = false;  // a run raised: the statement is not reused
};

// The cursor over one statement's rows. Made by the connection it owns (and finalizes) its
// statement; made by a command it shares the command's statement and must not outlive it.
// Assignment takes over the other's statement.
class CppSQLite3ResultSet {
  public:
    CppSQLite3ResultSet() = default;
    CppSQLite3ResultSet(sqlite3* db, sqlite3_stmt* statement, bool end, bool ownsStatement);
    CppSQLite3ResultSet(CppSQLite3ResultSet& other) noexcept;
    CppSQLite3ResultSet(CppSQLite3ResultSet&& other) noexcept;
    CppSQLite3ResultSet& operator=(CppSQLite3ResultSet& other) noexcept;
    CppSQLite3ResultSet& operator=(CppSQLite3ResultSet&& other) noexcept;
    virtual ~CppSQLite3ResultSet();

    bool IsEnd() const { return end_; }
    void Next();
    int ColumnCount() const { return columns_; }

    // Exact, case-sensitive match of the column name; the first equal name wins.
    int ColumnIndex(std::u16string_view name) const;

    int32_t IntColumn(int index, int32_t defaultValue = 0) const;
    int32_t IntColumn(std::u16string_view name, int32_t defaultValue = 0) const;
    std::u16string TextColumn(int index, std::u16string_view defaultText = {}) const;
    std::u16string TextColumn(std::u16string_view name, std::u16string_view defaultText = {}) const;
    // Pointer valid until the next step; NULL gives a null pointer and a count of 0.
    const uint8_t* BlobColumn(int index, int& byteCount) const;
    const uint8_t* BlobColumn(std::u16string_view name, int& byteCount) const;
    // The blob's bytes copied (empty for NULL).
    std::vector<uint8_t> BlobBytes(int index) const;
    std::vector<uint8_t> BlobBytes(std::u16string_view name) const;
    bool IsNull(int index) const;

    void Finalize();

  private:
    void CheckStatement() const;
    void CheckIndex(int index) const;
    void ReleaseQuietly() noexcept;
    void TakeOver(CppSQLite3ResultSet& other) noexcept;

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    bool end_ = true;
    int columns_ = 0;
    bool owns_ = false;
};

}  // namespace zul
