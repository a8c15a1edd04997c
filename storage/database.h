// CDatabase: the one profile database of the process ("zul.profile"). It finds and opens the
// file, brings the schema into being on every start, and runs statements under one recursive
// process-wide lock. CTransaction groups the statements of one burst in one transaction.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "storage/sqlite_wrapper.h"

namespace zul {

// Name of the profile file in the program or the data folder.
inline constexpr char kProfileFileName[] = "zul.profile";

// How long a statement waits for another reader or writer of the file (a backup, the sqlite3
// shell) to let go before it fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 5000;

// The database lock: recursive, and fair between threads. A thread that asks for it gets it
// before a thread that asks later, so a session writing burst after burst cannot keep the user
// interface (or another session) away from the profile: each waiting thread has its turn at
// the end of the burst it waited for. Meets the standard Lockable requirements.
class CDatabaseMutex {
  public:
    void lock();
    bool try_lock();
    void unlock();

  private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::thread::id owner_;
    int depth_ = 0;
    uint64_t nextTicket_ = 0;  // the ticket the next thread to ask draws
    uint64_t serving_ = 0;     // the ticket whose holder may take the lock
};

class CDatabase {
  public:
    CDatabase() = default;
    ~CDatabase();
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    // Uses the program-folder profile when only that one exists, else the data-folder one
    // (created when missing); opens it and runs Init. False on failure (logged to "db.log").
    bool Open();
    // Opens the profile at a given path (tests and tools), with the same Init.
    bool OpenAt(const std::string& path);
    // Sets the pragmas and creates what is missing of the schema.
    bool Init();
    // Closes the connection; failures are swallowed.
    void Close();
    bool IsOpen() const { return connection_.IsOpen(); }
    // Path of the open profile (empty while closed).
    std::string Path() const;

    // Prepares SQL on the connection (no lock taken). The statement comes from the cache of
    // prepared statements and goes back to it when the command is finalized.
    CppSQLite3Command Prepare(std::u16string_view sql);
    // Runs a command that returns no rows, then finalizes it.
    void Execute(CppSQLite3Command& command);
    // The integer in the first column of the first row, then finalizes; no row gives 0.
    int32_t ExecuteScalar(CppSQLite3Command& command);
    // Runs a command as a query; the caller steps through the rows (without the lock) and then
    // finalizes the result set and the command.
    CppSQLite3ResultSet ExecuteQuery(CppSQLite3Command& command);

    // Runs `work` on the profile's writer thread, in the order given, with the database lock
    // held: a thread that must never wait for the profile (the window's) hands its writes
    // there. Exceptions of `work` are its own to catch. Close runs what is queued first.
    void Defer(std::function<void(CDatabase&)> work);
    // Waits until every deferred write has run (tests, and before Close).
    void FlushDeferred();

    // Rows inserted, changed or deleted through the connection so far (0 while closed).
    int64_t Changes() const;

    CDatabaseMutex& Mutex() { return mutex_; }
    // The raw connection, for code that needs SQLite directly (tests, tools). Hold Mutex().
    CppSQLite3Connection& Connection() { return connection_; }

  private:
    friend class CTransaction;

    bool OpenFile(const std::string& path);
    // COMMIT of the open transaction, under the lock. True when stored. When another process
    // keeps the file locked past the busy time-out, SQLite leaves the transaction open: its
    // rows stay and the commit is owed (see commitOwed_). Never throws; failures are logged.
    bool CommitNow(std::u16string_view logPrefix);

    void WriterLoop();
    // Ends the writer thread once its queue is empty.
    void StopWriter();

    // The writer thread and its queue (guarded by deferredMutex_, a leaf lock).
    std::mutex deferredMutex_;
    std::condition_variable deferredChanged_;
    std::deque<std::function<void(CDatabase&)>> deferred_;
    bool writerBusy_ = false;
    bool writerStopping_ = false;
    std::thread writer_;

    mutable CDatabaseMutex mutex_;
    CppSQLite3Connection connection_;
    CppSQLite3StatementCache statements_;
    std::string path_;
    int transactionDepth_ = 0;  // guarded by mutex_
    // A transaction whose COMMIT found the file locked (a reader holding a read transaction
    // longer than kBusyTimeoutMs) and is still open with its rows. Rolling it back would lose
    // what was received; the next transaction guard carries it on and commits it, and so do the
    // next statement run without a guard and Close. Guarded by mutex_.
    bool commitOwed_ = false;
};

// The profile database of the process.
CDatabase& Database();

// While it lives (with the database lock held), the profile's pages are read through a mapping
// of the file rather than copied by a read call each: loading the contact list seeks the
// history's index once per contact. Afterwards the mapping goes, so that the process does not
// keep the pages of the file it touched. Never throws; where mapping fails SQLite reads.
class CMappedReads {
  public:
    explicit CMappedReads(CDatabase& database);
    ~CMappedReads();
    CMappedReads(const CMappedReads&) = delete;
    CMappedReads& operator=(const CMappedReads&) = delete;

  private:
    CDatabase& database_;
    std::lock_guard<CDatabaseMutex> lock_;
};

// Runs the statements made while it lives in one transaction: BEGIN on construction (the
// database lock is held for the guard's whole life), COMMIT on Commit(), ROLLBACK on
// destruction when not committed. A guard made while another is active on the same thread
// joins the outer transaction; only the outermost one begins and ends it. Failures are logged
// to "db.log" and never thrown: when BEGIN fails the statements still run one by one. A COMMIT
// kept waiting too long by another process is not rolled back: the transaction stays open and
// the next guard carries it on (under a savepoint, so that dropping that guard undoes only its
// own statements) and commits both.
// The guard holds the database lock for its whole life. Lock order across the program: the
// database lock comes first, then the model's locks (the contact store's, a history's); model
// operations that write take the database lock before their own. So a thread inside a guard
// may take model locks, and no thread waits for the database while holding a model lock.
class CTransaction {
  public:
    explicit CTransaction(CDatabase& database = Database());
    ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    // Commits the outermost transaction; true when the statements are stored.
    bool Commit();

  private:
    bool RunQuietly(std::u16string_view sql, std::u16string_view logPrefix);

    CDatabase& database_;
    std::unique_lock<CDatabaseMutex> lock_;
    bool outermost_ = false;
    bool begun_ = false;
    bool continuing_ = false;  // carries on a transaction whose commit was owed
    bool savepoint_ = false;   // this guard's own statements are under a savepoint
    bool done_ = false;
};

}  // namespace zul
