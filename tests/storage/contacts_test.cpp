#include "storage/contacts.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "platform/error.h"
#include "platform/text.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "storage/status.h"
#include "support/test_account.h"

namespace zul {
namespace {

using test::TestAccount;

class RecordingView : public IContactsView {
  public:
    void Rebuild() override { ++rebuilds; }
    void RedrawContact(CContact*) override { ++redraws; }
    void ItemRemoved(const CContactListItem* item) override { removed.push_back(item); }
    int rebuilds = 0;
    int redraws = 0;
    std::vector<const CContactListItem*> removed;
};

class ContactsTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        store_ = std::make_unique<CContacts>(&view_);
    }
    void TearDown() override {
        accounts_.clear();
        store_.reset();
        Options().ResetToDefaults();
        ProfileTest::TearDown();
    }

    TestAccount& NewAccount(int32_t id, const std::u16string& login) {
        CAccountData data = test::MakeAccountData(id, login);
        data.dbSave();
        accounts_.push_back(std::make_unique<TestAccount>(data, *store_));
        return *accounts_.back();
    }

    ContactPtr Add(TestAccount& account, int32_t localID, const std::u16string& login,
                   uint16_t groupID, bool onServer, const std::u16string& groupName = u"") {
        return store_->AddContact(&account,
                                  ContactFields{.localID = localID,
                                                .srvID = static_cast<uint16_t>(100 + localID),
                                                .groupID = groupID,
                                                .groupName = groupName,
                                                .login = login,
                                                .nickname = u"Nick " + login,
                                                .note = u"note",
                                                .email = u"mail@example",
                                                .phone = u"+1",
                                                .onServer = onServer},
                                  true, false);
    }

    static int Changes() { return sqlite3_total_changes(Database().Connection().Handle()); }

    RecordingView view_;
    std::unique_ptr<CContacts> store_;
    std::vector<std::unique_ptr<TestAccount>> accounts_;
};

TEST_F(ContactsTest, GroupedLoadTakesGroupedAndUngroupedContactsButNotThoseOfMissingGroups) {
    TestAccount& account = NewAccount(1, u"1001");
    store_->AddOrUpdateGroup(1, u"Friends", 5);
    ContactPtr grouped = Add(account, 11, u"2001", 5, true, u"Friends");
    ContactPtr local = Add(account, 12, u"2002", 5, false, u"Friends");
    ContactPtr orphan = Add(account, 13, u"2003", 9, true, u"Gone");
    ASSERT_TRUE(grouped && local && orphan);
    grouped->SetVisible(1);
    grouped->SetIgnored(1);
    const uint8_t picture[] = {1, 2, 3};
    grouped->SetPicture(picture, sizeof picture, true);
    EXPECT_EQ(local->GroupID(), 0);

    // Every row stores HasOpenedSession 0 and leaves the reserved columns NULL.
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE HasOpenedSession=0"), 3);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE FirstName IS NULL AND LastName IS NULL "
                     u"AND ClientName IS NULL AND City IS NULL AND Address IS NULL AND "
                     u"Interests IS NULL AND Occupation IS NULL AND SavedMessage IS NULL AND "
                     u"Encoding IS NULL"),
              3);
    EXPECT_EQ(Scalar(u"SELECT GroupID FROM Contacts WHERE LocalID=12"), 0);

    // A second store loads the account from the profile.
    CContacts reloaded;
    TestAccount again(test::MakeAccountData(1, u"1001"), reloaded);
    EXPECT_TRUE(again.Loaded());
    ASSERT_EQ(reloaded.CountContacts(&again, nullptr), 2);
    ContactPtr g = reloaded.FindContact(&again, u"2001");
    ContactPtr l = reloaded.FindContact(&again, u"2002");
    ASSERT_TRUE(g && l);
    EXPECT_EQ(g->GroupName(), u"Friends");
    EXPECT_EQ(g->GroupID(), 5);
    EXPECT_EQ(g->SrvID(), 111);
    EXPECT_EQ(g->Nickname(), u"Nick 2001");
    EXPECT_EQ(g->Visible(), 1);
    EXPECT_EQ(g->Ignored(), 1);
    EXPECT_EQ(g->Picture(), std::vector<uint8_t>(picture, picture + 3));
    EXPECT_EQ(l->GroupName(), u"");
    EXPECT_EQ(l->GroupID(), 0);
    EXPECT_FALSE(l->OnServer());
    EXPECT_FALSE(reloaded.FindContact(&again, u"2003"));
    ASSERT_EQ(reloaded.GroupList().size(), 1u);
    EXPECT_EQ(reloaded.GroupList()[0]->Name(), u"Friends");
}

TEST_F(ContactsTest, SamePictureTwiceIsSavedOnceAndEmptyClearsIt) {
    TestAccount& account = NewAccount(1, u"1001");
    ContactPtr c = Add(account, 11, u"2001", 0, false);
    const uint8_t picture[] = {9, 8, 7, 6};
    const int before = Changes();
    EXPECT_TRUE(store_->SetPictureByLogin(&account, u"2001", picture, sizeof picture));
    const int afterFirst = Changes();
    EXPECT_GT(afterFirst, before);
    EXPECT_FALSE(store_->SetPictureByLogin(&account, u"2001", picture, sizeof picture));
    EXPECT_EQ(Changes(), afterFirst);
    EXPECT_EQ(c->PictureVersion(), 1u);
    EXPECT_EQ(Scalar(u"SELECT length(Avatar) FROM Contacts WHERE LocalID=11"), 4);

    EXPECT_TRUE(c->SetPicture(nullptr, 0, true));
    EXPECT_FALSE(c->HasPicture());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE LocalID=11 AND Avatar IS NULL"), 1);
    EXPECT_FALSE(store_->SetPictureByLogin(&account, u"nobody", picture, sizeof picture));
}

TEST_F(ContactsTest, SameNamedGroupsOfTwoAccountsMergeAndCollapseTogether) {
    TestAccount& a = NewAccount(1, u"1001");
    TestAccount& b = NewAccount(2, u"1002");
    store_->AddOrUpdateGroup(1, u"Friends", 5);
    store_->AddOrUpdateGroup(2, u"Friends", 6);
    store_->AddOrUpdateGroup(2, u"FRIENDS", 8);  // names match without regard to case
    store_->AddOrUpdateGroup(2, u"Work", 7);
    ASSERT_EQ(store_->GroupList().size(), 4u);
    ASSERT_EQ(store_->VirtualGroupList().size(), 2u);
    CGroup* merged = store_->FindVirtualGroup(u"friends");
    ASSERT_TRUE(merged);
    EXPECT_TRUE(merged->IsVirtual());
    EXPECT_TRUE(merged->Expanded());

    EXPECT_EQ(store_->ToggleVirtualGroup(u"FRIENDS"), std::optional<bool>(false));
    EXPECT_EQ(store_->ToggleVirtualGroup(u"Family"), std::nullopt);
    EXPECT_FALSE(merged->Expanded());
    Database().FlushDeferred();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE ID IN (5,6) AND Expanded=0"), 2);
    EXPECT_EQ(Scalar(u"SELECT Expanded FROM Groups WHERE ID=7"), 1);
    // The stored update matches names exactly; the group spelt otherwise takes the state in
    // memory and keeps it when it is saved.
    EXPECT_FALSE(store_->FindGroup(2, 8)->Expanded());
    store_->FindGroup(2, 8)->Save();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE Expanded=0"), 3);

    // The merged header lives as long as one account still has the name.
    store_->RemoveAccount(a.ID());
    EXPECT_TRUE(store_->FindVirtualGroup(u"Friends"));
    store_->RemoveAccount(b.ID());
    EXPECT_TRUE(store_->VirtualGroupList().empty());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups"), 4);  // memory only
}

// The header tap comes from the window thread, which never waits for the profile: with the
// profile's lock held elsewhere (a session's burst) the state changes at once, and the row
// follows once the lock is free.
TEST_F(ContactsTest, ToggleGroupDoesNotWaitForTheProfile) {
    NewAccount(1, u"1001");
    store_->AddOrUpdateGroup(1, u"Friends", 5);
    std::atomic<bool> held{false}, release{false};
    std::thread session([&] {
        std::lock_guard lock(Database().Mutex());
        held.store(true);
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held.load()) std::this_thread::yield();
    EXPECT_EQ(store_->ToggleVirtualGroup(u"Friends"), std::optional<bool>(false));
    EXPECT_FALSE(store_->FindGroup(1, 5)->Expanded());
    release.store(true);
    session.join();
    Database().FlushDeferred();
    EXPECT_EQ(Scalar(u"SELECT Expanded FROM Groups WHERE ID=5"), 0);
}

TEST_F(ContactsTest, TwoAccountsWithTheSameServerGroupIdKeepTheirOwnGroups) {
    TestAccount& a = NewAccount(1, u"1001");
    TestAccount& b = NewAccount(2, u"1002");
    // Server group ids are unique per account only: both servers call their group 7.
    store_->AddOrUpdateGroup(1, u"Friends", 7);
    store_->AddOrUpdateGroup(2, u"Work", 7);
    ASSERT_TRUE(Add(a, 11, u"2001", 7, true, u"Friends"));
    ASSERT_TRUE(Add(b, 12, u"2002", 7, true, u"Work"));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups"), 2);
    // Saving again keeps each group in its own row.
    store_->FindGroup(2, 7)->Save();
    store_->FindGroup(1, 7)->Save();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups"), 2);

    auto reload = [](CContacts& store, int32_t id, const std::u16string& login) {
        return std::make_unique<TestAccount>(test::MakeAccountData(id, login), store);
    };
    {
        CContacts reloaded;
        auto again1 = reload(reloaded, 1, u"1001");
        auto again2 = reload(reloaded, 2, u"1002");
        ContactPtr first = reloaded.FindContact(again1.get(), u"2001");
        ContactPtr second = reloaded.FindContact(again2.get(), u"2002");
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->GroupName(), u"Friends");
        EXPECT_EQ(second->GroupName(), u"Work");
        EXPECT_EQ(first->GroupID(), 7);
        EXPECT_EQ(second->GroupID(), 7);
    }
    // With the first account gone, the second's contacts still load with their group.
    Exec(u"DELETE FROM Accounts WHERE ID=1");
    CContacts reloaded;
    auto again2 = reload(reloaded, 2, u"1002");
    EXPECT_TRUE(again2->Loaded());
    ContactPtr second = reloaded.FindContact(again2.get(), u"2002");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->GroupName(), u"Work");
}

TEST_F(ContactsTest, AimNamesAreFoundWithoutRegardToCaseOrSpaces) {
    TestAccount& account = NewAccount(1, u"ZulAlice");
    ContactPtr bob = Add(account, 11, u"Zul Bob", 0, true);
    ASSERT_TRUE(bob);
    // Servers spell a name as they like: in presence, messages and lists alike.
    EXPECT_EQ(store_->FindContact(&account, u"zulbob"), bob);
    EXPECT_EQ(store_->FindContact(&account, u"ZULBOB"), bob);
    EXPECT_EQ(store_->FindContact(&account, u"zul  bob"), bob);
    EXPECT_FALSE(store_->FindContact(&account, u"zulbo"));
    EXPECT_TRUE(SameLogin(u" Zul Bob ", u"ZULBOB") && SameLogin(u"\u00C4rne", u"\u00E4 rne"));
    EXPECT_FALSE(SameLogin(u"zulbo", u"zul bob") || SameLogin(u"zulbob", u"zulbo") ||
                 SameLogin(u"a", u""));
    EXPECT_TRUE(SameLogin(u"Zul Bob", u"zulbob"));
    EXPECT_FALSE(SameLogin(u"100001", u"100002"));
}

TEST_F(ContactsTest, RenamedGroupCarriesItsOwnContactsOnly) {
    TestAccount& a = NewAccount(1, u"1001");
    TestAccount& b = NewAccount(2, u"1002");
    store_->AddOrUpdateGroup(1, u"Friends", 5);
    store_->AddOrUpdateGroup(2, u"Friends", 6);
    ContactPtr mine = Add(a, 11, u"2001", 5, true, u"Friends");
    ContactPtr theirs = Add(b, 12, u"2002", 6, true, u"Friends");

    CGroup* renamed = store_->AddOrUpdateGroup(1, u"Pals", 5);
    EXPECT_EQ(renamed, store_->FindGroup(1, 5));
    EXPECT_EQ(renamed->Name(), u"Pals");
    EXPECT_EQ(mine->GroupName(), u"Pals");
    EXPECT_EQ(theirs->GroupName(), u"Friends");
    EXPECT_TRUE(store_->FindVirtualGroup(u"Pals"));
    EXPECT_TRUE(store_->FindVirtualGroup(u"Friends"));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE ID=5 AND Name='Pals'"), 1);

    // The last group of a name gone, its merged header goes too.
    store_->AddOrUpdateGroup(2, u"Mates", 6);
    EXPECT_FALSE(store_->FindVirtualGroup(u"Friends"));
}

TEST_F(ContactsTest, CleaningGroupsDeletesOnlyRowsOfALoadedAccountMissingFromMemory) {
    TestAccount& account = NewAccount(1, u"1001");
    store_->AddOrUpdateGroup(1, u"Keep", 5);
    store_->AddOrUpdateGroup(1, u"Drop", 6);
    store_->RemoveGroup(store_->FindGroup(1, 6));
    Exec(u"INSERT INTO Groups (AccID,ID,Expanded,Name) VALUES (2,8,1,'Other account')");

    account.SetLoaded(false);
    EXPECT_TRUE(store_->dbCleanGroups(&account));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups"), 3);

    account.SetLoaded(true);
    EXPECT_TRUE(store_->dbCleanGroups(&account));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE AccID=1"), 1);
    EXPECT_EQ(Scalar(u"SELECT ID FROM Groups WHERE AccID=1"), 5);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE AccID=2"), 1);
}

TEST_F(ContactsTest, DeleteContactRemovesRowHistoryAndObjectButOnlyForAKnownContact) {
    TestAccount& account = NewAccount(1, u"1001");
    ContactPtr c = Add(account, 11, u"2001", 0, false);
    c->AddMessage(evdir::kIncoming, u"hello", 0, 0, -1);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE ContactID=11"), 1);

    CContact stranger(&account, ContactFields{.localID = 99, .srvID = 1, .login = u"x"});
    const int before = Changes();
    EXPECT_FALSE(store_->DeleteContact(&stranger));
    EXPECT_EQ(Changes(), before);

    EXPECT_TRUE(store_->DeleteContact(c.get()));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
    EXPECT_FALSE(store_->FindContact(&account, u"2001"));
    ASSERT_FALSE(view_.removed.empty());
    EXPECT_EQ(view_.removed.back(), c.get());
    // A thread still holding the contact cannot bring its row or history back.
    EXPECT_FALSE(c->dbSave());
    c->AddMessage(evdir::kIncoming, u"late", 0, 0, -1);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
}

TEST_F(ContactsTest, NewIdentifiersAreUniqueAndLocalContactsHaveNoGroup) {
    TestAccount& account = NewAccount(1, u"1001");
    std::set<int32_t> localIDs;
    std::set<uint16_t> srvIDs;
    for (int i = 0; i < 50; ++i) {
        ContactPtr c = store_->AddNewLocalContact(
            &account,
            ContactFields{.groupName = u"Not in list", .login = u"user" + FormatInt(u"%d", i)},
            true, false);
        ASSERT_TRUE(c);
        EXPECT_GE(c->LocalID(), 1);
        EXPECT_NE(c->SrvID(), 0);
        EXPECT_EQ(c->GroupID(), 0);
        EXPECT_FALSE(c->OnServer());
        localIDs.insert(c->LocalID());
        srvIDs.insert(c->SrvID());
    }
    EXPECT_EQ(localIDs.size(), 50u);
    EXPECT_EQ(srvIDs.size(), 50u);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE GroupID=0 AND OnServer=0"), 50);
    int online = -1;
    EXPECT_EQ(store_->CountContacts(&account, &online), 50);
    EXPECT_EQ(online, 0);
}

TEST_F(ContactsTest, StatusChangesMarksAndTheirTicks) {
    Options().HistoryShowStatusChanges = 1;
    TestAccount& account = NewAccount(1, u"1001");
    ContactPtr c = Add(account, 11, u"2001", 0, false);
    EXPECT_EQ(c->Status(), kStatusOffline);
    EXPECT_EQ(c->StatusIcon(), StatusIcon(11, kStatusOffline, kMoodNone));

    // Quiet arrivals (right after sign-on) leave no mark; a later one does, for ten ticks.
    EXPECT_TRUE(store_->UpdatePresence(&account, u"2001", kStatusAvailable, true, u"hi", 3, true));
    EXPECT_FALSE(c->JustCameOnline());
    EXPECT_EQ(c->StatusIcon(), StatusIcon(11, kStatusAvailable, 3));
    c->SetStatus(kStatusOffline, u"ignored", 5, false, false);
    EXPECT_EQ(c->StatusText(), u"");
    EXPECT_EQ(c->Mood(), kMoodNone);
    EXPECT_TRUE(
        store_->UpdatePresence(&account, u"2001", kStatusFreeForChat, true, u"t", -1, false));
    EXPECT_TRUE(c->JustCameOnline());
    for (int i = 0; i < CContact::kMarkTicks; ++i) EXPECT_TRUE(store_->Tick());
    EXPECT_TRUE(c->JustCameOnline());
    EXPECT_TRUE(store_->Tick());
    EXPECT_FALSE(c->JustCameOnline());
    EXPECT_FALSE(store_->Tick());

    // The stored text stays unless the notice says it changed; any other status clears marks.
    c->SetTyping(true);
    EXPECT_FALSE(
        store_->UpdatePresence(&account, u"2001", kStatusFreeForChat, false, u"new", -1, false));
    EXPECT_EQ(c->StatusText(), u"t");
    EXPECT_TRUE(store_->UpdatePresence(&account, u"2001", kStatusAway, false, u"", -1, false));
    EXPECT_FALSE(c->Typing());
    EXPECT_FALSE(store_->UpdatePresence(&account, u"nobody", kStatusAway, false, u"", -1, false));

    // The changes were recorded in the history (saved and, with the option on, kept); they
    // came within a few seconds of each other, so each took the place of the one before and
    // the row of the last one (away) remains.
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE ContactID=11 AND EventType=1"), 1);
    EXPECT_EQ(Scalar(u"SELECT Status FROM History WHERE ContactID=11 AND EventType=1"),
              kStatusAway);
    EXPECT_EQ(c->History().EventCount(), 1);
    EXPECT_EQ(c->History().Events().size(), 1u);

    store_->SetAccountOffline(&account);
    EXPECT_EQ(c->Status(), kStatusOffline);
    EXPECT_EQ(c->StatusText(), u"");
    EXPECT_EQ(c->History().EventCount(), 1);  // going offline with the account is not recorded
}

TEST_F(ContactsTest, UpdateFromServerKeepsNicknameAndSavesOnlyWhenSomethingChanged) {
    TestAccount& account = NewAccount(1, u"1001");
    ContactPtr c = Add(account, 11, u"2001", 5, true, u"Friends");
    const int before = Changes();
    ContactFields fields{.srvID = 111,
                         .groupID = 5,
                         .groupName = u"Friends",
                         .login = u"2001",
                         .note = u"note",
                         .email = u"mail@example",
                         .phone = u"+1",
                         .onServer = true};
    EXPECT_FALSE(c->UpdateFromServer(fields));
    EXPECT_EQ(Changes(), before);
    EXPECT_EQ(c->Nickname(), u"Nick 2001");

    fields.nickname = u"Renamed";
    fields.awaitingAuth = true;
    EXPECT_TRUE(c->UpdateFromServer(fields));
    EXPECT_EQ(c->AwaitingAuth(), 1);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE LocalID=11 AND Nickname='Renamed' AND "
                     u"AwaitingAuth=1"),
              1);

    fields.nickname.clear();
    fields.onServer = false;
    EXPECT_TRUE(c->UpdateFromServer(fields));
    EXPECT_EQ(c->GroupID(), 0);
    EXPECT_EQ(Scalar(u"SELECT GroupID FROM Contacts WHERE LocalID=11"), 0);
}

TEST_F(ContactsTest, DatabaseErrorsAreLoggedWithTheirPrefixAndReportFalse) {
    TestAccount& account = NewAccount(1, u"1001");
    store_->AddOrUpdateGroup(1, u"Friends", 5);
    ContactPtr c = Add(account, 11, u"2001", 0, false);
    CGroup* group = store_->FindGroup(1, 5);

    Exec(u"DROP TABLE Groups");
    EXPECT_FALSE(group->__dbSave());
    EXPECT_TRUE(test::DbLogHas(u"CGroup::__dbSave()SQLITE_ERROR[1]: no such table: Groups"));
    EXPECT_FALSE(store_->FindVirtualGroup(u"Friends")->Save());
    EXPECT_TRUE(test::DbLogHas(u"CGroup::__dbSaveVirtualGroup()SQLITE_ERROR[1]:"));
    EXPECT_FALSE(store_->dbCleanGroups(&account));
    EXPECT_TRUE(test::DbLogHas(u"CContacts::dbCleanGroups(): SQLITE_ERROR[1]:"));
    EXPECT_FALSE(account.dbLoadGroups());
    EXPECT_TRUE(test::DbLogHas(u"CAccount::dbLoadGroups(): SQLITE_ERROR[1]:"));
    EXPECT_FALSE(account.dbLoadContacts_Grouped());
    EXPECT_TRUE(test::DbLogHas(u"CAccount::dbLoadContacts_Grouped(): SQLITE_ERROR[1]:"));

    Exec(u"DROP TABLE Contacts");
    EXPECT_FALSE(c->dbSave());
    EXPECT_TRUE(test::DbLogHas(u"CContact::dbSave(): SQLITE_ERROR[1]: no such table: Contacts"));
    EXPECT_FALSE(store_->DeleteContact(c.get()));
    EXPECT_TRUE(test::DbLogHas(u"CContacts::DeleteContact(): SQLITE_ERROR[1]:"));
    EXPECT_TRUE(store_->FindContact(&account, u"2001"));  // the row was not deleted, nor the object

    // A new contact whose row cannot be written is not kept.
    EXPECT_FALSE(store_->AddNewContact(
        &account, ContactFields{.srvID = 7, .login = u"3001", .onServer = true}, true, true));
    EXPECT_FALSE(store_->FindContact(&account, u"3001"));
}

TEST_F(ContactsTest, MissingAccountIsAFatalError) {
    EXPECT_THROW(CContact(nullptr, ContactFields{.localID = 1, .srvID = 1, .login = u"x"}), CError);
    EXPECT_THROW(store_->AddNewLocalContact(nullptr, ContactFields{.login = u"x"}, true, true),
                 CError);
    EXPECT_TRUE(store_->ContactList().empty());
}

TEST_F(ContactsTest, AStoreKeepsItsRowsInItsOwnProfileAndTakesTimeFromItsOwnClock) {
    CDatabase other;
    ASSERT_TRUE(other.OpenAt(folders_.DataDir() + "other.profile"));
    constexpr uint64_t kNow = 133000000000000000ull;
    {
        CContacts store(nullptr, &other, [] { return kNow; });
        TestAccount account(test::MakeAccountData(5, u"5005"), store);
        store.AddOrUpdateGroup(5, u"Work", 9);
        ContactPtr zed =
            store.AddNewLocalContact(&account, {.login = u"777", .nickname = u"Zed"}, true, false);
        ASSERT_TRUE(zed);
        EventPtr hello =
            zed->History().AddEvent(evtype::kMessage, evdir::kIncoming, u"hi", 0, 0, kMoodNone);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->EventTime(), kNow);
    }
    auto count = [&](std::u16string_view sql) {
        CppSQLite3Command command = other.Prepare(sql);
        return other.ExecuteScalar(command);
    };
    EXPECT_EQ(count(u"SELECT COUNT(*) FROM Contacts WHERE Login='777'"), 1);
    EXPECT_EQ(count(u"SELECT COUNT(*) FROM History WHERE Message='hi'"), 1);
    EXPECT_EQ(count(u"SELECT COUNT(*) FROM Groups WHERE Name='Work'"), 1);
    // Nothing of it in the process-wide profile.
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Contacts WHERE Login='777'"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Groups WHERE Name='Work'"), 0);
    other.Close();
}

}  // namespace
}  // namespace zul
