// A transaction whose COMMIT another process keeps waiting (a reader holding a read transaction
// on the profile past the busy time-out) must not lose its rows: they are committed by the next
// guard, the next statement or Close, once the reader lets go.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/text.h"
#include "profile_fixture.h"
#include "storage/database.h"

namespace zul::test {
namespace {

// Another process's connection to the profile.
class OtherConnection {
  public:
    explicit OtherConnection(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~OtherConnection() { sqlite3_close(db_); }
    OtherConnection(const OtherConnection&) = delete;
    OtherConnection& operator=(const OtherConnection&) = delete;

    // Opens a read transaction and keeps it: the profile cannot be committed to meanwhile.
    void HoldReadLock() {
        ASSERT_EQ(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
        StoredIds();  // the first read takes the shared lock
    }
    void Release() { ASSERT_EQ(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK); }

    // The IDs of the test's rows (from 950) as this connection sees them, "950,952".
    std::string StoredIds() {
        std::string ids;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(
            db_, "SELECT group_concat(ID) FROM (SELECT ID FROM Options WHERE ID>=950 ORDER BY ID)",
            -1, &s, nullptr);
        if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0)) {
            ids = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
        return ids;
    }

  private:
    sqlite3* db_ = nullptr;
};

class OwedCommit : public ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        // Fail a blocked COMMIT quickly instead of after the program's five seconds.
        sqlite3_busy_timeout(Database().Connection().Handle(), 50);
    }

    static void Insert(int id) {
        Exec(u"INSERT INTO Options VALUES (" + Widen(std::to_string(id)) + u", 1, 'x')");
    }
    static bool InTransaction() {
        return sqlite3_get_autocommit(Database().Connection().Handle()) == 0;
    }
};

TEST_F(OwedCommit, ABurstBlockedByAReaderIsStoredByTheNextGuard) {
    OtherConnection reader(ProfilePath());
    ASSERT_NO_FATAL_FAILURE(reader.HoldReadLock());
    {
        CTransaction burst;
        Insert(950);
        EXPECT_FALSE(burst.Commit());  // not stored yet ...
    }
    EXPECT_TRUE(InTransaction());  // ... and not rolled back
    {
        CTransaction burst;  // still blocked: both bursts wait
        Insert(951);
        EXPECT_FALSE(burst.Commit());
    }
    ASSERT_NO_FATAL_FAILURE(reader.Release());
    {
        CTransaction burst;
        Insert(952);
        EXPECT_TRUE(burst.Commit());
    }
    EXPECT_FALSE(InTransaction());
    EXPECT_EQ(OtherConnection(ProfilePath()).StoredIds(), "950,951,952");
}

TEST_F(OwedCommit, AGuardDroppedMeanwhileUndoesOnlyItsOwnStatements) {
    OtherConnection reader(ProfilePath());
    ASSERT_NO_FATAL_FAILURE(reader.HoldReadLock());
    {
        CTransaction burst;
        Insert(950);
        EXPECT_FALSE(burst.Commit());
    }
    {
        CTransaction abandoned;  // never committed
        Insert(951);
    }
    EXPECT_TRUE(InTransaction());
    ASSERT_NO_FATAL_FAILURE(reader.Release());
    // A statement outside any guard commits what is owed together with itself.
    Insert(952);
    EXPECT_FALSE(InTransaction());
    EXPECT_EQ(OtherConnection(ProfilePath()).StoredIds(), "950,952");
}

TEST_F(OwedCommit, CloseCommitsWhatIsOwed) {
    OtherConnection reader(ProfilePath());
    ASSERT_NO_FATAL_FAILURE(reader.HoldReadLock());
    {
        CTransaction burst;
        Insert(950);
        EXPECT_FALSE(burst.Commit());
    }
    ASSERT_NO_FATAL_FAILURE(reader.Release());
    Database().Close();
    EXPECT_EQ(OtherConnection(ProfilePath()).StoredIds(), "950");
}

}  // namespace
}  // namespace zul::test
