#include "accounts/accounts.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/local_time.h"
#include "platform/tick.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "storage/status.h"
#include "support/session_harness.h"
#include "support/test_account.h"

namespace zul {
namespace {

using test::TestAccount;

// Records the text of every statement the profile runs.
class StatementTrace {
  public:
    StatementTrace() {
        sqlite3_trace_v2(Database().Connection().Handle(), SQLITE_TRACE_STMT, &StatementTrace::Hook,
                         this);
    }
    ~StatementTrace() { sqlite3_trace_v2(Database().Connection().Handle(), 0, nullptr, nullptr); }
    std::vector<std::string> statements;

  private:
    static int Hook(unsigned, void* self, void* statement, void*) {
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        static_cast<StatementTrace*>(self)->statements.push_back(sql ? sql : "");
        return 0;
    }
};

class AccountsTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        SetAccountFactory([](const CAccountData& data, CContacts& contacts, const std::string&) {
            return std::make_unique<TestAccount>(data, contacts);
        });
    }
    void TearDown() override {
        SetAccountFactory(nullptr);
        Options().ResetToDefaults();
        ProfileTest::TearDown();
    }

    static void InsertAccount(int id, int type, const char16_t* login, const char16_t* description,
                              int enabled = 1, int lastStatus = -1) {
        CppSQLite3Command cmd = Database().Prepare(
            u"INSERT INTO Accounts (ID,Type,Login,Description,Enabled,LastStatus,Port) VALUES "
            u"(?,?,?,?,?,?,'5190')");
        cmd.BindInt(1, id);
        cmd.BindInt(2, type);
        cmd.BindText(3, login);
        cmd.BindText(4, description);
        cmd.BindInt(5, enabled);
        cmd.BindInt(6, lastStatus);
        Database().Execute(cmd);
    }

    CContacts store_;
};

TEST_F(AccountsTest, SavedRowResolvesTypeAndOwnerNickWithTheExactStatement) {
    CAccountData icq = test::MakeAccountData(1, u"123456", acctype::kOscarUnresolved);
    CAccountData aim = test::MakeAccountData(2, u"screen1", acctype::kOscarUnresolved);
    aim.SetOwnerNick(u"Me");
    const uint8_t avatar[] = {0xFF, 0xD8, 0x00};
    aim.SetOwnerAvatar(avatar, sizeof avatar, false);
    aim.SetStatus(kStatusAway);
    {
        StatementTrace trace;
        EXPECT_TRUE(icq.dbSave());
        // One transaction: the account is saved whole or not at all.
        ASSERT_EQ(trace.statements.size(), 7u);
        EXPECT_EQ(trace.statements[0], "BEGIN IMMEDIATE");
        EXPECT_EQ(trace.statements[2],
                  "REPLACE INTO AccountSecurity (AccID,Tls,TrustedCertificate,Keyring) VALUES "
                  "(?,?,?,?)");
        EXPECT_EQ(trace.statements[3], "REPLACE INTO AccountTexts (AccID,StatusNote) VALUES (?,?)");
        EXPECT_EQ(trace.statements[4], "REPLACE INTO AccountProfile (AccID,Profile) VALUES (?,?)");
        EXPECT_EQ(trace.statements[5], "REPLACE INTO AccountPrivacy (AccID,Mode) VALUES (?,?)");
        EXPECT_EQ(trace.statements[6], "COMMIT");
        EXPECT_EQ(trace.statements[1],
                  "REPLACE INTO Accounts (ID,Type,Login,Password,Server,Port,OwnerNick,Description,"
                  "\t\t\t\tSecureLogin,UpdateContactsOnLogin,\t\t\t\tBytesIn,BytesOut,LastStatus,"
                  "\t\t\t\tOwnerAvatar,Enabled)VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?);");
    }
    EXPECT_TRUE(aim.dbSave());
    EXPECT_EQ(Scalar(u"SELECT Type FROM Accounts WHERE ID=1"), 11);
    EXPECT_EQ(Scalar(u"SELECT Type FROM Accounts WHERE ID=2"), 12);
    EXPECT_EQ(Scalar(u"SELECT OwnerNick='123456' FROM Accounts WHERE ID=1"), 1);
    EXPECT_EQ(Scalar(u"SELECT OwnerNick='Me' FROM Accounts WHERE ID=2"), 1);
    EXPECT_EQ(Scalar(u"SELECT OwnerAvatar IS NULL FROM Accounts WHERE ID=1"), 1);
    EXPECT_EQ(Scalar(u"SELECT hex(OwnerAvatar)='FFD800' FROM Accounts WHERE ID=2"), 1);
    EXPECT_EQ(Scalar(u"SELECT LastStatus FROM Accounts WHERE ID=2"), kStatusAway);
    EXPECT_EQ(Scalar(u"SELECT typeof(Port)='text' AND Port='5190' FROM Accounts WHERE ID=1"), 1);

    CAccountData unsaved = test::MakeAccountData(0, u"1");
    EXPECT_FALSE(unsaved.dbSave());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Accounts"), 2);
}

TEST_F(AccountsTest, LoadStopsAtAStoredXmppAccount) {
    InsertAccount(1, 11, u"1001", u"First");
    InsertAccount(2, 2, u"me@jabber.example", u"Jabber");
    InsertAccount(3, 12, u"screen", u"Third");
    CAccounts accounts(store_, "/profile/");
    EXPECT_FALSE(accounts.LoadSucceeded());
    ASSERT_EQ(accounts.Count(), 1u);
    EXPECT_EQ(accounts.Snapshot()[0]->ID(), 1);
    EXPECT_EQ(accounts.Snapshot()[0]->ProfileFolder(), "");  // the test factory gives none
    EXPECT_EQ(accounts.ProfileFolder(), "/profile/");
}

TEST_F(AccountsTest, LoadSortsByDescriptionSkipsUnknownTypesAndKeepsTheLastStatus) {
    InsertAccount(1, 11, u"1001", u"gamma", 1, kStatusAway);
    InsertAccount(2, 12, u"screen", u"Alpha");
    InsertAccount(3, 7, u"other", u"unknown type");
    InsertAccount(4, 1, u"4242", u"beta", 0);
    Exec(u"UPDATE Accounts SET BytesIn=100, BytesOut=200, SecureLogin=1 WHERE ID=1");
    CAccounts accounts(store_, "");
    EXPECT_TRUE(accounts.LoadSucceeded());
    ASSERT_EQ(accounts.Count(), 3u);
    EXPECT_EQ(accounts.Snapshot()[0]->Description(), u"Alpha");
    EXPECT_EQ(accounts.Snapshot()[1]->Description(), u"beta");
    EXPECT_EQ(accounts.Snapshot()[2]->Description(), u"gamma");
    CAccount* gamma = accounts.Find(1);
    ASSERT_TRUE(gamma);
    EXPECT_EQ(gamma->Status(), kStatusOffline);
    EXPECT_EQ(gamma->LastStatus(), kStatusAway);
    EXPECT_EQ(gamma->BytesIn(), 100u);
    EXPECT_EQ(gamma->BytesOut(), 200u);
    EXPECT_EQ(gamma->SecureLogin(), 1);
    EXPECT_EQ(gamma->StatusText(), u"Offline");
    EXPECT_EQ(gamma->StatusIcon(), StatusIcon(11, kStatusOffline, kMoodNone));
    EXPECT_TRUE(gamma->Loaded());
    EXPECT_FALSE(accounts.Find(4)->Loaded());  // disabled accounts load no contacts
    EXPECT_EQ(accounts.Find(4)->EffectiveType(), acctype::kIcq);
    EXPECT_FALSE(accounts.Find(3));
}

TEST_F(AccountsTest, SavingTheListDeletesRowsOfRemovedAccountsWithTheirContacts) {
    InsertAccount(1, 11, u"1001", u"Keep");
    InsertAccount(2, 11, u"1002", u"Drop");
    Exec(u"INSERT INTO Groups (AccID,ID,Expanded,Name) VALUES (2,5,1,'G')");
    Exec(u"INSERT INTO Contacts (AccID,LocalID,GroupID,Login,OnServer) VALUES (2,20,0,'x',0)");
    Exec(u"INSERT INTO History (AccID,ContactID,EventType,Direction,Number) VALUES (2,20,2,0,1)");
    CAccounts accounts(store_, "");
    EXPECT_EQ(store_.ContactsOf(nullptr).size(), 1u);
    accounts.Remove(accounts.Find(2)).reset();
    EXPECT_TRUE(store_.ContactsOf(nullptr).empty());  // the account took its contacts along
    EXPECT_TRUE(accounts.dbSave());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Accounts"), 1);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
}

TEST_F(AccountsTest, TheConnectionSettingsLiveBesideTheAccountRowAndGoWithIt) {
    // A profile from before the settings existed: the account loads with them off.
    InsertAccount(1, 11, u"1001", u"Old");
    InsertAccount(2, 11, u"1002", u"New");
    {
        CAccounts accounts(store_, "");
        CAccount* old = accounts.Find(1);
        ASSERT_TRUE(old);
        EXPECT_FALSE(old->UseTls());
        EXPECT_EQ(old->TrustedCertificate(), "");
        CAccount* fresh = accounts.Find(2);
        fresh->SetUseTls(true);
        fresh->SetTrustedCertificate("AB:CD");
        fresh->SetPassword(u"secret");
        fresh->SetPasswordInKeyring(true);
        EXPECT_TRUE(fresh->dbSave());
        // A password kept in the keyring is never written to the profile.
        EXPECT_EQ(Scalar(u"SELECT Password='' FROM Accounts WHERE ID=2"), 1);
        EXPECT_EQ(fresh->Password(), u"secret");
        // Saving the row again (a REPLACE) keeps the settings beside it.
        EXPECT_TRUE(fresh->dbSave());
    }
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM AccountSecurity"), 1);
    {
        CAccounts accounts(store_, "");
        CAccount* fresh = accounts.Find(2);
        ASSERT_TRUE(fresh);
        EXPECT_TRUE(fresh->UseTls());
        EXPECT_EQ(fresh->TrustedCertificate(), "AB:CD");
        EXPECT_TRUE(fresh->PasswordInKeyring());
        EXPECT_EQ(fresh->Password(), u"");
        EXPECT_FALSE(accounts.Find(1)->UseTls());
        EXPECT_FALSE(accounts.Find(1)->PasswordInKeyring());
        accounts.Remove(fresh).reset();
        EXPECT_TRUE(accounts.dbSave());
    }
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM AccountSecurity"), 0);
}

TEST_F(AccountsTest, AnAccountIsSavedWholeOrNotAtAll) {
    CAccountData data = test::MakeAccountData(1, u"1001");
    data.SetDescription(u"Before");
    ASSERT_TRUE(data.dbSave());
    // The last of the account's rows cannot be written: the ones before it are not kept
    // either (the password could otherwise leave Accounts without the keyring mark).
    Exec(u"DROP TABLE AccountTexts");
    data.SetDescription(u"After");
    data.SetPasswordInKeyring(true);
    EXPECT_FALSE(data.dbSave());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Accounts WHERE Description='Before'"), 1);
    EXPECT_EQ(Scalar(u"SELECT Keyring FROM AccountSecurity WHERE AccID=1"), 0);
}

TEST_F(AccountsTest, EveryDatabaseErrorIsLoggedToTheDatabaseLog) {
    CAccountData data = test::MakeAccountData(1, u"1001");
    ASSERT_TRUE(data.dbSave());
    data.AddBytesIn(10);
    data.AddBytesOut(20);
    EXPECT_EQ(Scalar(u"SELECT BytesIn FROM Accounts"), 10);
    EXPECT_EQ(Scalar(u"SELECT BytesOut FROM Accounts"), 20);

    Exec(u"DROP TABLE Accounts");
    data.AddBytesIn(1);
    EXPECT_EQ(data.BytesIn(), 11u);
    EXPECT_TRUE(test::DbLogHas(u"CAccountData::dbSaveBytesIn(): SQLITE_ERROR[1]: no such table"));
    EXPECT_FALSE(data.dbSaveBytesOut());
    EXPECT_TRUE(test::DbLogHas(u"CAccountData::dbSaveBytesOut(): SQLITE_ERROR[1]:"));
    EXPECT_FALSE(data.dbSave());
    EXPECT_TRUE(test::DbLogHas(u"CAccountData::dbSave(): SQLITE_ERROR[1]:"));
    CAccounts accounts(store_, "");
    EXPECT_FALSE(accounts.LoadSucceeded());
    EXPECT_TRUE(test::DbLogHas(u"CAccounts::dbLoad(): SQLITE_ERROR[1]:"));
    EXPECT_FALSE(accounts.dbSave());
    EXPECT_TRUE(test::DbLogHas(u"CAccounts::dbSave(): SQLITE_ERROR[1]:"));
}

TEST_F(AccountsTest, StatusHooksDriveTextIconAndTheContactsOfTheAccount) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    ContactPtr c = store_.AddNewContact(
        &account, ContactFields{.srvID = 3, .login = u"2001", .nickname = u"Bob", .onServer = true},
        true, false);
    ASSERT_TRUE(c);
    account.SetStatus(kStatusAvailable);
    EXPECT_EQ(account.StatusText(), u"Available");
    EXPECT_EQ(account.StatusIcon(), 175);
    EXPECT_NE(account.OnlineSince(), 0u);
    account.Apply(event::Presence{
        .login = u"2001", .status = kStatusAway, .textChanged = true, .text = u"lunch"});
    EXPECT_EQ(c->Status(), kStatusAway);
    EXPECT_TRUE(account.TakeRepaint());
    account.Apply(event::Presence{.login = u"2001", .status = kStatusAway});
    EXPECT_FALSE(account.TakeRepaint());  // nothing changed

    account.SetStatus(kStatusOffline);
    EXPECT_EQ(account.OnlineSince(), 0u);
    EXPECT_EQ(c->Status(), kStatusOffline);
    EXPECT_EQ(c->StatusText(), u"");

    account.SetProgressConnecting();
    EXPECT_EQ(account.StatusText(), u"Connecting to login.example:5190");
    EXPECT_TRUE(account.Busy());
    EXPECT_EQ(account.StatusIcon(), accicon::kBusy);
    EXPECT_TRUE(account.TakeRepaint());
    account.SetProgressConnecting();
    EXPECT_FALSE(account.TakeRepaint());  // same text, no repaint
    account.SetProgressLoggingIn();
    EXPECT_EQ(account.StatusText(), u"Logging in");
}

TEST_F(AccountsTest, DisablingDropsTheContactsAndEnablingLoadsThemAgain) {
    CAccountData data = test::MakeAccountData(1, u"1001");
    data.dbSave();
    TestAccount account(data, store_);
    store_.AddOrUpdateGroup(1, u"Friends", 5);
    store_.AddNewContact(&account,
                         ContactFields{.srvID = 3,
                                       .groupID = 5,
                                       .groupName = u"Friends",
                                       .login = u"2001",
                                       .nickname = u"Bob",
                                       .onServer = true},
                         true, false);
    EXPECT_EQ(store_.CountContacts(&account, nullptr), 1);

    account.SetEnabled(0);
    EXPECT_FALSE(account.Loaded());
    EXPECT_EQ(store_.CountContacts(&account, nullptr), 0);
    EXPECT_TRUE(store_.GroupList().empty());
    // The session thread's disconnect saves the account.
    EXPECT_TRUE(test::SessionHarness::WaitUntil([&] { return account.SessionIdle(); }));
    EXPECT_EQ(Scalar(u"SELECT Enabled FROM Accounts"), 0);

    account.SetEnabled(1);
    EXPECT_TRUE(account.Loaded());
    ASSERT_EQ(store_.CountContacts(&account, nullptr), 1);
    EXPECT_EQ(store_.FindContact(&account, u"2001")->GroupName(), u"Friends");
}

TEST_F(AccountsTest, MessagesFromStrangersCreateALocalContactNeedingDetails) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    account.Apply(event::Message{.login = u"777", .status = kStatusAvailable, .text = u"hi there"});
    ContactPtr c = store_.FindContact(&account, u"777");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->GroupName(), u"Not in list");
    EXPECT_EQ(c->Nickname(), u"777");
    EXPECT_EQ(c->GroupID(), 0);
    EXPECT_FALSE(c->OnServer());
    EXPECT_NE(c->SrvID(), 0);
    EXPECT_TRUE(c->NeedsDetails());
    EXPECT_EQ(c->Status(), kStatusAvailable);
    EXPECT_EQ(c->History().UnreadCount(), 1);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE Login='777' AND OnServer=0"), 1);
    EXPECT_EQ(Scalar(u"SELECT Status FROM History WHERE Message='hi there'"), kStatusAvailable);

    // A known sender keeps its status; an offline message keeps its own time.
    const uint64_t sentAt = (uint64_t{0} + 11644473600ull) * 10000000ull;
    account.Apply(event::Message{
        .login = u"777", .status = kStatusOffline, .text = u"offline one", .time = sentAt});
    EXPECT_EQ(c->Status(), kStatusAvailable);
    ASSERT_EQ(c->History().Events().size(), 2u);
    EXPECT_EQ(c->History().Events()[1]->EventTime(), sentAt);

    account.Apply(event::Typing{.login = u"777", .typing = true});
    EXPECT_TRUE(c->Typing());
    account.Apply(event::Typing{.login = u"unknown", .typing = true});  // ignored
}

TEST_F(AccountsTest, ServerListBuddiesAndTheIdlePass) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    account.OnServerListBuddy({.srvID = 3, .login = u"2001", .onServer = true});
    account.OnServerListBuddy(
        {.srvID = 4, .login = u"2002", .nickname = u"2002", .onServer = true});
    account.OnServerListBuddy({.srvID = 5,
                               .login = u"2003",
                               .nickname = u"Carol",
                               .awaitingAuth = true,
                               .onServer = true});
    ContactPtr carol = store_.FindContact(&account, u"2003");
    ASSERT_TRUE(carol);
    EXPECT_TRUE(carol->OnServer());
    EXPECT_FALSE(carol->NeedsDetails());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE OnServer=1"), 3);

    // An update with an empty nickname keeps the stored one.
    account.OnServerListBuddy(
        {.srvID = 5, .login = u"2003", .note = u"note", .awaitingAuth = true, .onServer = true});
    EXPECT_EQ(carol->Nickname(), u"Carol");
    EXPECT_EQ(carol->Note(), u"note");
    carol->MarkPendingAction();

    // Offline, the idle pass does nothing.
    account.RunIdleTasks();
    EXPECT_TRUE(account.detailsRequested.empty());
    account.SetStatus(kStatusAvailable);
    account.RunIdleTasks();
    EXPECT_EQ(account.detailsRequested, (std::vector<std::u16string>{u"2001", u"2002"}));
    EXPECT_EQ(account.contactActions, 1);
    account.RunIdleTasks();
    EXPECT_EQ(account.detailsRequested.size(), 2u);
    EXPECT_EQ(account.contactActions, 1);
}

TEST_F(AccountsTest, TheOutboxSendsPendingMessagesInOrderAndStopsAtTheFirstRefusal) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    ContactPtr bob = store_.AddNewContact(
        &account, ContactFields{.srvID = 3, .login = u"2001", .nickname = u"Bob", .onServer = true},
        true, false);
    ContactPtr eve = store_.AddNewContact(
        &account, ContactFields{.srvID = 4, .login = u"2002", .nickname = u"Eve", .onServer = true},
        true, false);
    bob->History().AddOutgoingMessage(u"one");
    bob->History().AddOutgoingMessage(u"");  // never sendable; must not hold up the rest
    bob->History().AddOutgoingMessage(u"two");
    eve->History().AddOutgoingMessage(u"three");

    account.FlushOutbox();  // offline: nothing goes
    EXPECT_TRUE(account.sentNumbers.empty());

    SetHistoryClock([] { return uint64_t{0x01D0000000000000}; });
    account.SetStatus(kStatusAvailable);
    account.sendLimit = 2;
    account.FlushOutbox();
    EXPECT_EQ(account.sentNumbers, (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Sent=1"), 2);
    EXPECT_EQ(bob->History().Events()[0]->EventTime(), uint64_t{0x01D0000000000000});
    EXPECT_EQ(Scalar(u"SELECT Sent FROM History WHERE Message='three'"), 0);

    account.sendLimit = 10;
    account.FlushOutbox();
    EXPECT_EQ(account.sentNumbers, (std::vector<int32_t>{1, 3, 1}));
    EXPECT_EQ(Scalar(u"SELECT Sent FROM History WHERE Message='three'"), 1);

    // Nothing new was asked for, but the messages still await the server's word: a later pass
    // gives them up once they are too old.
    SetHistoryClock([] { return uint64_t{0x01D0000000000000} + 20ull * 60 * 10'000'000; });
    account.FlushOutbox();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Sent=1 AND ErrorCode=1"), 3);
    SetHistoryClock(nullptr);
}

uint32_t g_fakeTick = 100'000;
uint32_t FakeTick() {
    return g_fakeTick;
}

TEST_F(AccountsTest, ATypingChangeWithinTheGapGoesOnALaterPassUnasked) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    ContactPtr bob = store_.AddNewContact(
        &account, ContactFields{.srvID = 3, .login = u"2001", .nickname = u"Bob", .onServer = true},
        true, false);
    bob->SetStatus(kStatusAvailable, u"", kMoodNone, true, false);
    account.SetStatus(kStatusAvailable);
    SetTickSource(FakeTick);
    bob->SetOwnTyping(CContact::kTypingBegun);
    account.RunIdleTasks();
    bob->SetOwnTyping(CContact::kTypingEnded);
    account.RunIdleTasks();  // within two seconds of the first notice: not yet
    EXPECT_EQ(account.typingNotices, (std::vector<int>{CContact::kTypingBegun}));
    g_fakeTick += 2500;
    account.RunIdleTasks();
    account.RunIdleTasks();
    EXPECT_EQ(account.typingNotices,
              (std::vector<int>{CContact::kTypingBegun, CContact::kTypingEnded}));
    SetTickSource(nullptr);
}

TEST_F(AccountsTest, OwnerPictureChangesOnlyWithNewBytes) {
    TestAccount account(test::MakeAccountData(1, u"1001"), store_);
    const uint8_t picture[] = {1, 2, 3};
    account.SetOwnerAvatar(picture, sizeof picture, true);
    EXPECT_EQ(account.OwnerAvatarVersion(), 1u);
    account.SetOwnerAvatar(picture, sizeof picture, true);
    EXPECT_EQ(account.OwnerAvatarVersion(), 1u);
    EXPECT_EQ(Scalar(u"SELECT length(OwnerAvatar) FROM Accounts"), 3);
    account.SetOwnerAvatar(nullptr, 0, true);
    EXPECT_FALSE(account.HasOwnerAvatar());
    EXPECT_EQ(account.OwnerAvatarVersion(), 2u);
    EXPECT_EQ(Scalar(u"SELECT OwnerAvatar IS NULL FROM Accounts"), 1);
}

// The list's load brings each contact's counts: the unread ones from their index, the message
// and event counts from the row the last removal of the account left, unless the history moved
// on since (the profile then dropped the row; they are counted again when asked for).
TEST_F(AccountsTest, HistoryCountsComeWithTheContactsAndAreCountedAgainWhenOutOfDate) {
    CAccountData data = test::MakeAccountData(1, u"1001");
    data.dbSave();
    TestAccount account(data, store_);
    store_.AddOrUpdateGroup(1, u"Friends", 5);
    const ContactFields bob{.srvID = 3,
                            .groupID = 5,
                            .groupName = u"Friends",
                            .login = u"2001",
                            .nickname = u"Bob",
                            .onServer = true};
    store_.AddNewContact(&account, bob, true, false);
    {
        CHistory& h = store_.FindContact(&account, u"2001")->History();
        h.AddEvent(evtype::kMessage, evdir::kIncoming, u"one", 0, 0, -1);
        h.AddEvent(evtype::kMessage, evdir::kIncoming, u"two", 0, 0, -1);
        h.AddEvent(evtype::kMessage, evdir::kOutgoing, u"three", 0, 0, -1);
        h.AddEvent(evtype::kStatusChange, evdir::kIncoming, u"", 0, 1, -1);
        EXPECT_EQ(h.MessageCount(), 3);
        EXPECT_EQ(h.EventCount(), 4);
        EXPECT_EQ(h.UnreadCount(), 2);
    }
    const auto counted = [] {
        CppSQLite3Command cmd =
            Database().Prepare(u"SELECT Messages * 100 + Events * 10 + Newest FROM HistoryTotals");
        return Database().ExecuteScalar(cmd);
    };
    account.SetEnabled(0);
    EXPECT_EQ(counted(), 344);

    {
        StatementTrace trace;
        account.SetEnabled(1);
        CHistory& h = store_.FindContact(&account, u"2001")->History();
        EXPECT_EQ(h.UnreadCount(), 2);
        EXPECT_EQ(h.MessageCount(), 3);
        EXPECT_EQ(h.EventCount(), 4);
        // Nothing was counted, and no history row or index entry was read but the unread ones.
        for (const std::string& sql : trace.statements) {
            EXPECT_EQ(sql.find("SELECT COUNT(*), IFNULL(SUM"), std::string::npos) << sql;
            EXPECT_EQ(sql.find("MAX(Number)"), std::string::npos) << sql;
        }
    }
    // Reading messages leaves the counts as they were; renumbering an event does not.
    account.SetEnabled(0);
    Exec(u"UPDATE History SET Unread=0 WHERE Number=1");
    EXPECT_EQ(counted(), 344);
    Exec(u"UPDATE History SET Unread=1 WHERE Number=1");
    Exec(u"UPDATE History SET Number=9 WHERE Number=4");
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM HistoryTotals"), 0);
    Exec(u"UPDATE History SET Number=4 WHERE Number=9");
    account.SetEnabled(1);
    {
        CHistory& h = store_.FindContact(&account, u"2001")->History();
        EXPECT_EQ(h.UnreadCount(), 2);
        EXPECT_EQ(h.MessageCount(), 3);
    }

    // A row the client did not count (written by a run that ended without saving the counts).
    account.SetEnabled(0);
    {
        CppSQLite3Command insert = Database().Prepare(
            u"INSERT INTO History (AccID,ContactID,EventType,Direction,Number,Unread) "
            u"SELECT 1,LocalID,2,0,5,1 FROM Contacts");
        Database().Execute(insert);
    }
    account.SetEnabled(1);
    {
        CHistory& h = store_.FindContact(&account, u"2001")->History();
        EXPECT_EQ(h.UnreadCount(), 3);
        EXPECT_EQ(h.MessageCount(), 4);
        EXPECT_EQ(h.EventCount(), 5);
    }
    account.SetEnabled(0);
    account.SetEnabled(1);
    EXPECT_EQ(counted(), 455);
    CHistory& h = store_.FindContact(&account, u"2001")->History();
    ASSERT_TRUE(h.dbLoad(evtype::kMessage, false));
    CHistoryEvent* oldest = nullptr;
    {
        std::lock_guard lock(h.Mutex());
        oldest = h.Events().front().get();
    }
    // Deleting an older event drops the row: the counts changed, the newest number did not.
    ASSERT_TRUE(h.DeleteEvent_FromDB(oldest));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM HistoryTotals"), 0);
    account.SetEnabled(0);
    account.SetEnabled(1);
    CHistory& again = store_.FindContact(&account, u"2001")->History();
    EXPECT_EQ(again.MessageCount(), 3);
    EXPECT_EQ(again.EventCount(), 4);

    // The newest number came with the load: the next event follows it (a number taken again
    // would replace that row) without a look at the index of its own.
    {
        StatementTrace trace;
        ASSERT_TRUE(again.AddEvent(evtype::kStatusChange, evdir::kIncoming, u"", 0, 2, -1));
        for (const std::string& sql : trace.statements)
            EXPECT_EQ(sql.find("MAX(Number)"), std::string::npos) << sql;
    }
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 5);
    EXPECT_EQ(Scalar(u"SELECT MAX(Number) FROM History"), 6);
}

}  // namespace
}  // namespace zul
