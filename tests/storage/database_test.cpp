#include "storage/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "profile_fixture.h"

namespace zul {
namespace {

using test::ProfileTest;
using Row = std::tuple<std::string, std::string, std::string, std::string>;

// The whole schema as SQLite records it (it drops "IF NOT EXISTS" from the stored text).
const std::vector<Row> kExpectedSchema = {
    {"table", "Options", "Options",
     "CREATE TABLE Options( ID INTEGER PRIMARY KEY, Value INTEGER, Description TEXT)"},
    {"table", "Accounts", "Accounts",
     "CREATE TABLE Accounts( ID INTEGER PRIMARY KEY CHECK(ID<>0), Type INTEGER, Login TEXT, "
     "Password TEXT, Server TEXT, Port TEXT, Description TEXT, SecureLogin INTEGER, "
     "UpdateContactsOnLogin INTEGER, BytesIn INTEGER, BytesOut INTEGER, LastStatus INTEGER, "
     "OwnerNick TEXT, OwnerAvatar BLOB, Enabled INTEGER)"},
    {"table", "Contacts", "Contacts",
     "CREATE TABLE Contacts( AccID INTEGER CHECK(AccID<>0), LocalID INTEGER PRIMARY KEY "
     "CHECK(LocalID<>0), SrvID INTEGER CHECK(SrvID<>0), GroupID INTEGER, Login TEXT, Nickname "
     "TEXT, Note TEXT, Email TEXT, Phone TEXT, FirstName TEXT, LastName TEXT, ClientName TEXT, "
     "AwaitingAuth INTEGER, Avatar BLOB, City TEXT, Address TEXT, Interests TEXT, Occupation "
     "TEXT, SavedMessage TEXT, Encoding INTEGER, Visible INTEGER, Invisible INTEGER, Ignored "
     "INTEGER, HasOpenedSession INTEGER, OnServer INTEGER)"},
    {"table", "Groups", "Groups",
     "CREATE TABLE Groups( AccID INTEGER CHECK(AccID<>0), ID INTEGER PRIMARY KEY, Expanded "
     "INTEGER, Name TEXT)"},
    {"table", "History", "History",
     "CREATE TABLE History( AccID INTEGER CHECK(AccID<>0), ContactID INTEGER "
     "CHECK(ContactID<>0), EventType INTEGER, Direction INTEGER, EventTime BLOB, Number INTEGER "
     "CHECK(Number>=0), Status INTEGER, StatusMood INTEGER, Message TEXT, Unread INTEGER, Sent "
     "INTEGER, Delivered INTEGER, Marked INTEGER, ErrorCode INTEGER)"},
    {"index", "OptionsIndex1", "Options", "CREATE UNIQUE INDEX OptionsIndex1 ON Options (ID)"},
    {"index", "AccountsIndex1", "Accounts", "CREATE UNIQUE INDEX AccountsIndex1 ON Accounts (ID)"},
    {"index", "AccountsIndex2", "Accounts",
     "CREATE UNIQUE INDEX AccountsIndex2 ON Accounts (Type,Login)"},
    {"index", "ContactsIndex1", "Contacts",
     "CREATE UNIQUE INDEX ContactsIndex1 ON Contacts (AccID,LocalID)"},
    {"index", "ContactsIndex2", "Contacts",
     "CREATE UNIQUE INDEX ContactsIndex2 ON Contacts (AccID,Login)"},
    {"index", "GroupsIndex1", "Groups", "CREATE UNIQUE INDEX GroupsIndex1 ON Groups (AccID,ID)"},
    {"index", "HistoryIndex1", "History",
     "CREATE UNIQUE INDEX HistoryIndex1 ON History (AccID,ContactID,Number)"},
    {"index", "HistoryIndex2", "History",
     "CREATE INDEX HistoryIndex2 ON History (AccID,ContactID,EventType,Unread)"},
    {"trigger", "AccountsTrigger_OnChange", "Accounts",
     "CREATE TRIGGER AccountsTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW WHEN "
     "OLD.ID<>NEW.ID BEGIN UPDATE Groups   SET AccID=NEW.ID WHERE AccID=OLD.ID; UPDATE Contacts "
     "SET AccID=NEW.ID WHERE AccID=OLD.ID; UPDATE History  SET AccID=NEW.ID WHERE AccID=OLD.ID; "
     "END"},
    {"trigger", "GroupsTrigger_OnChangeID", "Groups",
     "CREATE TRIGGER GroupsTrigger_OnChangeID AFTER UPDATE OF ID ON Groups FOR EACH ROW WHEN "
     "OLD.ID<>NEW.ID BEGIN UPDATE Contacts SET GroupID=NEW.ID WHERE GroupID=OLD.ID; END"},
    {"trigger", "ContactsTrigger_OnChange", "Contacts",
     "CREATE TRIGGER ContactsTrigger_OnChange AFTER UPDATE OF LocalID ON Contacts FOR EACH ROW "
     "WHEN OLD.LocalID<>NEW.LocalID BEGIN UPDATE History SET ContactID=NEW.LocalID WHERE "
     "ContactID=OLD.LocalID; END"},
    {"trigger", "AccountsTrigger_OnDelete", "Accounts",
     "CREATE TRIGGER AccountsTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN DELETE "
     "FROM Groups WHERE AccID=OLD.ID; DELETE FROM Contacts WHERE AccID=OLD.ID; END"},
    {"trigger", "ContactsTrigger_OnDelete", "Contacts",
     "CREATE TRIGGER ContactsTrigger_OnDelete AFTER DELETE ON Contacts FOR EACH ROW BEGIN DELETE "
     "FROM History WHERE AccID=OLD.AccID AND ContactID=OLD.LocalID; END"},
    {"table", "AccountSecurity", "AccountSecurity",
     "CREATE TABLE AccountSecurity( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), Tls INTEGER, "
     "TrustedCertificate TEXT, Keyring INTEGER)"},
    {"trigger", "AccountSecurityTrigger_OnChange", "Accounts",
     "CREATE TRIGGER AccountSecurityTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW "
     "WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountSecurity SET AccID=NEW.ID WHERE AccID=OLD.ID; END"},
    {"trigger", "AccountSecurityTrigger_OnDelete", "Accounts",
     "CREATE TRIGGER AccountSecurityTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN "
     "DELETE FROM AccountSecurity WHERE AccID=OLD.ID; END"},
    {"table", "AccountTexts", "AccountTexts",
     "CREATE TABLE AccountTexts( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), StatusNote TEXT)"},
    {"trigger", "AccountTextsTrigger_OnChange", "Accounts",
     "CREATE TRIGGER AccountTextsTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW WHEN "
     "OLD.ID<>NEW.ID BEGIN UPDATE AccountTexts SET AccID=NEW.ID WHERE AccID=OLD.ID; END"},
    {"trigger", "AccountTextsTrigger_OnDelete", "Accounts",
     "CREATE TRIGGER AccountTextsTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN "
     "DELETE FROM AccountTexts WHERE AccID=OLD.ID; END"},
    {"table", "AccountProfile", "AccountProfile",
     "CREATE TABLE AccountProfile( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), Profile TEXT)"},
    {"trigger", "AccountProfileTrigger_OnChange", "Accounts",
     "CREATE TRIGGER AccountProfileTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW "
     "WHEN OLD.ID<>NEW.ID BEGIN UPDATE AccountProfile SET AccID=NEW.ID WHERE AccID=OLD.ID; END"},
    {"trigger", "AccountProfileTrigger_OnDelete", "Accounts",
     "CREATE TRIGGER AccountProfileTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN "
     "DELETE FROM AccountProfile WHERE AccID=OLD.ID; END"},
    {"table", "AccountPrivacy", "AccountPrivacy",
     "CREATE TABLE AccountPrivacy( AccID INTEGER PRIMARY KEY CHECK(AccID<>0), Mode INTEGER)"},
    {"trigger", "AccountPrivacyTrigger_OnChange", "Accounts",
     "CREATE TRIGGER AccountPrivacyTrigger_OnChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW "
     "WHEN "
     "OLD.ID<>NEW.ID BEGIN UPDATE AccountPrivacy SET AccID=NEW.ID WHERE AccID=OLD.ID; END"},
    {"trigger", "AccountPrivacyTrigger_OnDelete", "Accounts",
     "CREATE TRIGGER AccountPrivacyTrigger_OnDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN "
     "DELETE FROM AccountPrivacy WHERE AccID=OLD.ID; END"},
    {"table", "HistoryCounts", "HistoryCounts",
     "CREATE TABLE HistoryCounts( AccID INTEGER, ContactID INTEGER, LastNumber INTEGER, Messages "
     "INTEGER, Events INTEGER, PRIMARY KEY(AccID, ContactID))"},
    {"index", "sqlite_autoindex_HistoryCounts_1", "HistoryCounts", ""},
    {"trigger", "HistoryCountsTrigger_OnContactDelete", "Contacts",
     "CREATE TRIGGER HistoryCountsTrigger_OnContactDelete AFTER DELETE ON Contacts FOR EACH ROW "
     "BEGIN DELETE FROM HistoryCounts WHERE AccID=OLD.AccID AND ContactID=OLD.LocalID; END"},
    {"trigger", "HistoryCountsTrigger_OnContactChange", "Contacts",
     "CREATE TRIGGER HistoryCountsTrigger_OnContactChange AFTER UPDATE OF LocalID, AccID ON "
     "Contacts FOR EACH ROW BEGIN DELETE FROM HistoryCounts WHERE ContactID=OLD.LocalID OR "
     "ContactID=NEW.LocalID; END"},
    {"trigger", "HistoryCountsTrigger_OnAccountChange", "Accounts",
     "CREATE TRIGGER HistoryCountsTrigger_OnAccountChange AFTER UPDATE OF ID ON Accounts FOR EACH "
     "ROW WHEN OLD.ID<>NEW.ID BEGIN DELETE FROM HistoryCounts WHERE AccID=OLD.ID OR AccID=NEW.ID; "
     "END"},
    {"table", "HistoryTotals", "HistoryTotals",
     "CREATE TABLE HistoryTotals( AccID INTEGER, ContactID INTEGER, Newest INTEGER, Messages "
     "INTEGER, Events INTEGER, PRIMARY KEY(AccID, ContactID))"},
    {"index", "sqlite_autoindex_HistoryTotals_1", "HistoryTotals", ""},
    {"trigger", "HistoryTotalsTrigger_OnInsert", "History",
     "CREATE TRIGGER HistoryTotalsTrigger_OnInsert AFTER INSERT ON History FOR EACH ROW BEGIN "
     "DELETE FROM HistoryTotals WHERE AccID=NEW.AccID AND ContactID=NEW.ContactID; DELETE FROM "
     "HistoryCounts WHERE AccID=NEW.AccID AND ContactID=NEW.ContactID; END"},
    {"trigger", "HistoryTotalsTrigger_OnDelete", "History",
     "CREATE TRIGGER HistoryTotalsTrigger_OnDelete AFTER DELETE ON History FOR EACH ROW BEGIN "
     "DELETE FROM HistoryTotals WHERE AccID=OLD.AccID AND ContactID=OLD.ContactID; DELETE FROM "
     "HistoryCounts WHERE AccID=OLD.AccID AND ContactID=OLD.ContactID; END"},
    {"trigger", "HistoryTotalsTrigger_OnUpdate", "History",
     "CREATE TRIGGER HistoryTotalsTrigger_OnUpdate AFTER UPDATE OF AccID, ContactID, Number, "
     "EventType ON History FOR EACH ROW BEGIN DELETE FROM HistoryTotals WHERE (AccID=OLD.AccID "
     "AND ContactID=OLD.ContactID) OR (AccID=NEW.AccID AND ContactID=NEW.ContactID); DELETE FROM "
     "HistoryCounts WHERE (AccID=OLD.AccID AND ContactID=OLD.ContactID) OR (AccID=NEW.AccID AND "
     "ContactID=NEW.ContactID); END"},
    {"trigger", "HistoryTotalsTrigger_OnContactDelete", "Contacts",
     "CREATE TRIGGER HistoryTotalsTrigger_OnContactDelete AFTER DELETE ON Contacts FOR EACH ROW "
     "BEGIN DELETE FROM HistoryTotals WHERE AccID=OLD.AccID AND ContactID=OLD.LocalID; END"},
    {"trigger", "HistoryTotalsTrigger_OnContactChange", "Contacts",
     "CREATE TRIGGER HistoryTotalsTrigger_OnContactChange AFTER UPDATE OF LocalID, AccID ON "
     "Contacts FOR EACH ROW BEGIN DELETE FROM HistoryTotals WHERE ContactID=OLD.LocalID OR "
     "ContactID=NEW.LocalID; END"},
    {"trigger", "HistoryTotalsTrigger_OnAccountChange", "Accounts",
     "CREATE TRIGGER HistoryTotalsTrigger_OnAccountChange AFTER UPDATE OF ID ON Accounts FOR EACH "
     "ROW WHEN OLD.ID<>NEW.ID BEGIN DELETE FROM HistoryTotals WHERE AccID=OLD.ID OR AccID=NEW.ID; "
     "END"},
    {"index", "HistoryUnread", "History",
     "CREATE INDEX HistoryUnread ON History (AccID,ContactID) WHERE EventType=2 AND Unread=1"},
    {"table", "Rooms", "Rooms",
     "CREATE TABLE Rooms( ID INTEGER PRIMARY KEY, AccID INTEGER CHECK(AccID<>0), Exchange "
     "INTEGER, Name TEXT, Kept INTEGER)"},
    {"index", "RoomsIndex1", "Rooms",
     "CREATE UNIQUE INDEX RoomsIndex1 ON Rooms (AccID,Exchange,Name)"},
    {"table", "RoomHistory", "RoomHistory",
     "CREATE TABLE RoomHistory( ID INTEGER PRIMARY KEY, RoomID INTEGER, EventTime INTEGER, Kind "
     "INTEGER, Who TEXT, Message TEXT)"},
    {"index", "RoomHistoryIndex1", "RoomHistory",
     "CREATE INDEX RoomHistoryIndex1 ON RoomHistory (RoomID,ID)"},
    {"trigger", "RoomsTrigger_OnAccountChange", "Accounts",
     "CREATE TRIGGER RoomsTrigger_OnAccountChange AFTER UPDATE OF ID ON Accounts FOR EACH ROW WHEN "
     "OLD.ID<>NEW.ID BEGIN UPDATE Rooms SET AccID=NEW.ID WHERE AccID=OLD.ID; END"},
    {"trigger", "RoomsTrigger_OnAccountDelete", "Accounts",
     "CREATE TRIGGER RoomsTrigger_OnAccountDelete AFTER DELETE ON Accounts FOR EACH ROW BEGIN "
     "DELETE FROM Rooms WHERE AccID=OLD.ID; END"},
    {"trigger", "RoomsTrigger_OnDelete", "Rooms",
     "CREATE TRIGGER RoomsTrigger_OnDelete AFTER DELETE ON Rooms FOR EACH ROW BEGIN DELETE FROM "
     "RoomHistory WHERE RoomID=OLD.ID; END"},
    {"table", "ContactNames", "ContactNames",
     "CREATE TABLE ContactNames( LocalID INTEGER PRIMARY KEY CHECK(LocalID<>0), Name TEXT)"},
    {"trigger", "ContactNamesTrigger_OnContactDelete", "Contacts",
     "CREATE TRIGGER ContactNamesTrigger_OnContactDelete AFTER DELETE ON Contacts FOR EACH ROW "
     "BEGIN DELETE FROM ContactNames WHERE LocalID=OLD.LocalID; END"},
    {"trigger", "ContactNamesTrigger_OnContactChange", "Contacts",
     "CREATE TRIGGER ContactNamesTrigger_OnContactChange AFTER UPDATE OF LocalID ON Contacts FOR "
     "EACH ROW WHEN OLD.LocalID<>NEW.LocalID BEGIN UPDATE ContactNames SET LocalID=NEW.LocalID "
     "WHERE LocalID=OLD.LocalID; END"},
};

std::vector<Row> ReadSchema() {
    std::vector<Row> rows;
    CppSQLite3Command query =
        Database().Prepare(u"SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY rowid");
    CppSQLite3ResultSet set = Database().ExecuteQuery(query);
    for (; !set.IsEnd(); set.Next()) {
        rows.emplace_back(ToUtf8(set.TextColumn(0)), ToUtf8(set.TextColumn(1)),
                          ToUtf8(set.TextColumn(2)), ToUtf8(set.TextColumn(3)));
    }
    return rows;
}

// The ASCII text of a UTF-16LE log file.
std::string ReadLog(const std::string& path) {
    std::string bytes = test::ReadFileBytes(path), text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
    return text;
}

int ModeOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mode & 0777;
}

TEST_F(ProfileTest, NewProfileHasTheWholeSchemaAndReopeningChangesNothing) {
    EXPECT_EQ(Database().Path(), ProfilePath());
    EXPECT_EQ(ReadSchema(), kExpectedSchema);
    CppSQLite3Command encoding = Database().Prepare(u"PRAGMA encoding");
    CppSQLite3ResultSet rows = Database().ExecuteQuery(encoding);
    EXPECT_EQ(rows.TextColumn(0), u"UTF-16le");
    rows.Finalize();
    encoding.Finalize();

    Exec(u"INSERT INTO Accounts (ID, Type, Login) VALUES (1, 11, '12345')");
    Exec(u"INSERT INTO Options VALUES (0, 3, 'Version')");
    Database().Close();
    const std::string before = test::ReadFileBytes(ProfilePath());

    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(ReadSchema(), kExpectedSchema);
    Database().Close();
    // Not a single byte of the file was written: every statement of Init was a no-op.
    EXPECT_EQ(test::ReadFileBytes(ProfilePath()), before);
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Accounts"), 1);
}

TEST(ProfileFolders, ProgramFolderFileIsUsedOnlyWhenTheDataFolderHasNone) {
    test::IsolatedFolders folders;
    const std::string programFile = folders.ProgramDir() + "zul.profile";
    const std::string dataFile = folders.DataDir() + "zul.profile";

    // Only beside the program: used there, nothing made in the data folder.
    ASSERT_TRUE(Database().OpenAt(programFile));
    Database().Close();
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Database().Path(), programFile);
    Database().Close();
    EXPECT_FALSE(FileExists(dataFile));

    // In both folders: the data-folder file wins.
    ASSERT_TRUE(Database().OpenAt(dataFile));
    Database().Close();
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Database().Path(), dataFile);
    Database().Close();
}

TEST(ProfileFolders, NoProfileAnywhereIsCreatedInAMissingDataFolder) {
    test::IsolatedFolders folders;
    const std::string dataFolder = folders.DataDir() + "nested/zul/";
    OverrideDataFolder(dataFolder);
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Database().Path(), dataFolder + "zul.profile");
    EXPECT_EQ(ReadSchema().size(), kExpectedSchema.size());
    Database().Close();
    EXPECT_TRUE(FileExists(dataFolder + "zul.profile"));
    EXPECT_FALSE(FileExists(folders.ProgramDir() + "zul.profile"));
}

TEST(ProfileOpenFailures, AreLoggedWithTheirPrefix) {
    test::IsolatedFolders folders;
    const std::string log = folders.ProgramDir() + "db.log";
    EXPECT_FALSE(Database().OpenAt(folders.DataDir() + "missing/zul.profile"));
    std::string text = ReadLog(log);
    EXPECT_NE(text.find("CDatabase::Open(): SQLITE_CANTOPEN[14]: "), std::string::npos);

    // A file that is not a database opens (SQLite reads lazily) but fails in Init.
    const std::string garbage = folders.DataDir() + "garbage.profile";
    test::WriteFileBytes(garbage, std::string(4096, 'x'));
    EXPECT_FALSE(Database().OpenAt(garbage));
    Database().Close();
    text = ReadLog(log);
    EXPECT_NE(text.find("CDatabase::Init(): UNKNOWN_ERROR[26]: "), std::string::npos) << text;
}

TEST_F(ProfileTest, RunOperationsFinalizeAndTurnNoRowIntoZero) {
    CppSQLite3Command scalar = Database().Prepare(u"SELECT Value FROM Options WHERE ID=?");
    scalar.BindInt(1, 4);
    EXPECT_EQ(Database().ExecuteScalar(scalar), 0);
    EXPECT_FALSE(scalar.HasStatement());

    CppSQLite3Command bad = Database().Prepare(u"INSERT INTO Groups VALUES (0, 1, 0, 'g')");
    try {
        Database().Execute(bad);
        FAIL() << "CHECK(AccID<>0) did not fire";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.ErrorCode(), SQLITE_CONSTRAINT);
    }
    EXPECT_FALSE(bad.HasStatement());
    // Nothing is left unfinalized: the profile closes and reopens.
    Database().Close();
    EXPECT_FALSE(Database().IsOpen());
    ASSERT_TRUE(Database().Open());
}

TEST_F(ProfileTest, ContactRowsFollowTheirKeys) {
    Exec(u"INSERT INTO Contacts (AccID, LocalID, Login) VALUES (1, 10, 'alice')");
    // Same account and login under another LocalID: REPLACE resolves ContactsIndex2.
    Exec(u"REPLACE INTO Contacts (AccID, LocalID, Login, Nickname) VALUES (1, 11, 'alice', 'A')");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Contacts"), 1);
    EXPECT_EQ(Scalar(u"SELECT LocalID FROM Contacts WHERE Login='alice'"), 11);

    try {
        Exec(u"REPLACE INTO Contacts (AccID, LocalID, Login) VALUES (1, 0, 'bob')");
        FAIL() << "LocalID 0 was stored";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.ErrorCode(), 19);
    }

    // An event saved twice under the same number leaves the later one.
    const char16_t* save =
        u"REPLACE INTO History (AccID, ContactID, Number, Message) VALUES (1, 11, 0, ?)";
    for (const char16_t* message : {u"first", u"second"}) {
        CppSQLite3Command command = Database().Prepare(save);
        command.BindText(1, message);
        Database().Execute(command);
    }
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History"), 1);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History WHERE Message='second'"), 1);
    // Saving the contact again with REPLACE keeps its history (no delete trigger fires).
    Exec(u"REPLACE INTO Contacts (AccID, LocalID, Login) VALUES (1, 11, 'alice')");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History"), 1);
}

TEST_F(ProfileTest, DeletingAnAccountRemovesItsGroupsContactsAndHistory) {
    Exec(u"INSERT INTO Accounts (ID, Type, Login) VALUES (1, 11, '111'), (2, 12, 'me')");
    Exec(u"INSERT INTO Groups (AccID, ID, Name) VALUES (1, 100, 'g'), (2, 200, 'g')");
    Exec(u"INSERT INTO Contacts (AccID, LocalID, Login) VALUES (1, 10, 'a'), (2, 20, 'a')");
    Exec(
        u"INSERT INTO History (AccID, ContactID, Number) VALUES (1, 10, 0), (1, 10, 1), "
        u"(2, 20, 0)");

    Exec(u"DELETE FROM Accounts WHERE ID=1");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Groups"), 1);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Contacts"), 1);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History"), 1);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History WHERE AccID=2"), 1);
    // Renumbering an account carries its rows along.
    Exec(u"UPDATE Accounts SET ID=3 WHERE ID=2");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Contacts WHERE AccID=3"), 1);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM History WHERE AccID=3"), 1);
}

// Another reader of the file (a backup, the sqlite3 shell) holding a read lock must delay a
// write, not make it fail.
TEST_F(ProfileTest, AWriteWaitsForAnotherReaderInsteadOfFailing) {
    std::atomic<bool> reading{false};
    std::thread reader([&] {
        sqlite3* db = nullptr;
        sqlite3_open(ProfilePath().c_str(), &db);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "SELECT count(*) FROM Options", nullptr, nullptr, nullptr);
        reading = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    });
    while (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(Exec(u"INSERT INTO Options VALUES (9, 1, 'x')"));
    const auto waited = std::chrono::steady_clock::now() - start;
    reader.join();
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_EQ(Scalar(u"SELECT Value FROM Options WHERE ID=9"), 1);
}

TEST(ProfileMode, NewProfileAndItsJournalAreReadableByTheOwnerOnly) {
    test::IsolatedFolders folders;
    const mode_t old = umask(0);  // the loosest umask a user could have
    ASSERT_TRUE(Database().Open());
    const std::string path = Database().Path();
    EXPECT_EQ(ModeOf(path), 0600);
    {
        CTransaction transaction;
        CppSQLite3Command insert = Database().Prepare(u"INSERT INTO Options VALUES (9, 1, 'x')");
        Database().Execute(insert);
        EXPECT_EQ(ModeOf(path + "-journal"), 0600);
        EXPECT_TRUE(transaction.Commit());
    }
    EXPECT_FALSE(FileExists(path + "-journal"));  // journal_mode DELETE
    Database().Close();
    umask(old);
}

TEST(ProfileMode, ExistingOpenProfileIsTightened) {
    test::IsolatedFolders folders;
    ASSERT_TRUE(Database().Open());
    const std::string path = Database().Path();
    Database().Close();
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(ModeOf(path), 0600);
    Database().Close();
}

TEST_F(ProfileTest, TransactionCommitsRollsBackAndNestedGuardsJoin) {
    {
        CTransaction transaction;
        Exec(u"INSERT INTO Options VALUES (900, 1, 'a')");
        EXPECT_TRUE(transaction.Commit());
    }
    {
        CTransaction transaction;  // never committed
        Exec(u"INSERT INTO Options VALUES (901, 1, 'b')");
    }
    {
        CTransaction outer;
        {
            CTransaction inner;
            Exec(u"INSERT INTO Options VALUES (902, 1, 'c')");
            EXPECT_TRUE(inner.Commit());  // joins: nothing is stored yet
        }
        EXPECT_EQ(sqlite3_get_autocommit(Database().Connection().Handle()), 0);
        // Dropping the outer guard without commit undoes the inner guard's statements too.
    }
    EXPECT_EQ(Scalar(u"SELECT group_concat(ID) FROM Options WHERE ID>=900"), 900);

    // The guard holds the database lock: another thread's statement waits for the commit.
    std::atomic<bool> written{false};
    std::thread writer;
    {
        CTransaction transaction;
        writer = std::thread([&] {
            Exec(u"INSERT INTO Options VALUES (903, 1, 'd')");
            written = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(written);
        Exec(u"INSERT INTO Options VALUES (904, 1, 'e')");
        EXPECT_TRUE(transaction.Commit());
    }
    writer.join();
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Options WHERE ID IN (903, 904)"), 2);
}

// The start-up's reads go through a mapping of the file, and the mapping goes with them: the
// process does not keep the pages of the profile it touched.
TEST_F(ProfileTest, ReadsAreMappedOnlyWhileAskedFor) {
    EXPECT_EQ(Scalar(u"PRAGMA mmap_size"), 0);
    {
        CMappedReads mapped(Database());
        EXPECT_GT(Scalar(u"PRAGMA mmap_size"), 0);
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Accounts"), 0);
    }
    EXPECT_EQ(Scalar(u"PRAGMA mmap_size"), 0);
}

}  // namespace
}  // namespace zul
