// The database lock hands the profile to waiting threads in turn, and the profile's prepared
// statements are kept for reuse without changing what a statement does.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/profile_fixture.h"

namespace zul {
namespace {

using namespace std::chrono_literals;

TEST(DatabaseMutex, IsRecursiveAndKeepsOtherThreadsOut) {
    CDatabaseMutex mutex;
    mutex.lock();
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = mutex.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt);
    mutex.unlock();
    std::thread([&] {
        otherGotIt = mutex.try_lock();
        if (otherGotIt) mutex.unlock();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

// A thread writing burst after burst lets a waiting thread in between two bursts.
TEST(DatabaseMutex, AWaitingThreadGoesBeforeTheHolderTakesItAgain) {
    CDatabaseMutex mutex;
    std::mutex orderMutex;
    std::vector<std::string> order;
    auto note = [&](const char* what) {
        std::lock_guard lock(orderMutex);
        order.push_back(what);
    };
    std::atomic<bool> waiting{false};

    mutex.lock();
    std::thread reader([&] {
        waiting.store(true);
        std::lock_guard lock(mutex);
        note("reader");
    });
    while (!waiting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // the reader is blocked in lock()
    mutex.unlock();
    {
        std::lock_guard again(mutex);
        note("writer again");
    }
    reader.join();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], "reader");
}

class StatementReuseTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Exec(u"CREATE TABLE Pairs (Key INTEGER PRIMARY KEY, Value TEXT)");
    }

    static void Insert(int32_t key, std::u16string_view value) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command cmd = Database().Prepare(u"INSERT INTO Pairs (Key, Value) VALUES (?,?)");
        cmd.BindInt(1, key);
        if (!value.empty()) cmd.BindText(2, value);
        Database().Execute(cmd);
    }
};

TEST_F(StatementReuseTest, AFinalizedStatementIsPreparedOnlyOnce) {
    sqlite3_stmt* first = nullptr;
    {
        CppSQLite3Command cmd = Database().Prepare(u"SELECT COUNT(*) FROM Pairs");
        first = cmd.Statement();
        EXPECT_EQ(Database().ExecuteScalar(cmd), 0);
    }
    CppSQLite3Command again = Database().Prepare(u"SELECT COUNT(*) FROM Pairs");
    EXPECT_EQ(again.Statement(), first);
    // Two commands of the same text in use at once have statements of their own.
    CppSQLite3Command both = Database().Prepare(u"SELECT COUNT(*) FROM Pairs");
    EXPECT_NE(both.Statement(), again.Statement());
}

TEST_F(StatementReuseTest, AReusedStatementStartsWithoutTheLastValues) {
    Insert(1, u"one");
    Insert(2, u"");  // the text is not bound this time: NULL, not "one"
    CppSQLite3Command cmd = Database().Prepare(u"SELECT COUNT(*) FROM Pairs WHERE Value IS NULL");
    EXPECT_EQ(Database().ExecuteScalar(cmd), 1);
}

TEST_F(StatementReuseTest, AStatementThatFailedDoesNotSpoilTheNextRun) {
    Insert(1, u"one");
    EXPECT_THROW(Insert(1, u"again"), CppSQLite3Exception);
    Insert(2, u"two");
    CppSQLite3Command cmd = Database().Prepare(u"SELECT COUNT(*) FROM Pairs");
    EXPECT_EQ(Database().ExecuteScalar(cmd), 2);
}

TEST_F(StatementReuseTest, KeptStatementsFollowSchemaChanges) {
    Insert(1, u"one");
    // Another table appearing does not disturb a kept statement...
    Exec(u"CREATE TABLE Other (X INTEGER)");
    Insert(2, u"two");
    // ...and one whose table went reports it as a new statement would.
    Exec(u"DROP TABLE Pairs");
    try {
        Insert(3, u"three");
        FAIL() << "the insert into a dropped table ran";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.ErrorCode(), SQLITE_ERROR);
        EXPECT_NE(e.ErrorMessage().find(u"no such table: Pairs"), std::u16string::npos);
    }
}

TEST_F(StatementReuseTest, TheProfileClosesWithStatementsKeptAndOpensAnother) {
    Insert(1, u"one");
    Database().Close();
    EXPECT_FALSE(Database().IsOpen());

    test::TempFolder other;
    ASSERT_TRUE(Database().OpenAt(other.File("other.profile")));
    Exec(u"CREATE TABLE Pairs (Key INTEGER PRIMARY KEY, Value TEXT)");
    Insert(1, u"one");  // the statement of the closed profile is not used here
    CppSQLite3Command cmd = Database().Prepare(u"SELECT COUNT(*) FROM Pairs");
    EXPECT_EQ(Database().ExecuteScalar(cmd), 1);
    cmd.Finalize();
    Database().Close();
    ASSERT_TRUE(Database().Open());
}

}  // namespace
}  // namespace zul
