// FindContact answers from an index of logins; these tests hold it to what a walk over the
// store would answer, through login changes, deletions and accounts leaving.
#include <gtest/gtest.h>

#include <memory>

#include "storage/contacts.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "support/test_account.h"

namespace zul {
namespace {

using test::TestAccount;

class ContactIndexTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        store_ = std::make_unique<CContacts>();
        first_ = MakeAccount(1, u"1001");
        second_ = MakeAccount(2, u"1002");
    }
    void TearDown() override {
        first_.reset();
        second_.reset();
        store_.reset();
        ProfileTest::TearDown();
    }

    std::unique_ptr<TestAccount> MakeAccount(int32_t id, const std::u16string& login) {
        CAccountData data = test::MakeAccountData(id, login);
        data.dbSave();
        return std::make_unique<TestAccount>(data, *store_);
    }
    ContactPtr Add(TestAccount& account, int32_t localID, const std::u16string& login) {
        return store_->AddContact(
            &account,
            ContactFields{
                .localID = localID, .srvID = static_cast<uint16_t>(localID), .login = login},
            false, false);
    }

    std::unique_ptr<CContacts> store_;
    std::unique_ptr<TestAccount> first_, second_;
};

TEST_F(ContactIndexTest, FindsTheLoginInAnyCaseOnItsOwnAccountOnly) {
    ContactPtr anna = Add(*first_, 1, u"Anna.Smith");
    ContactPtr ivan = Add(*first_, 2, u"Иван");
    EXPECT_EQ(store_->FindContact(first_.get(), u"anna.smith"), anna);
    EXPECT_EQ(store_->FindContact(first_.get(), u"ANNA.SMITH"), anna);
    EXPECT_EQ(store_->FindContact(first_.get(), u"иВАН"), ivan);
    EXPECT_EQ(store_->FindContact(second_.get(), u"Anna.Smith"), nullptr);
    EXPECT_EQ(store_->FindContact(first_.get(), u"Anna.Smit"), nullptr);
    EXPECT_EQ(store_->FindContact(first_.get(), u""), nullptr);
}

TEST_F(ContactIndexTest, ALoginChangeMovesTheContactToItsNewLogin) {
    ContactPtr c = Add(*first_, 1, u"old");
    c->SetLogin(u"New");
    EXPECT_EQ(store_->FindContact(first_.get(), u"new"), c);
    EXPECT_EQ(store_->FindContact(first_.get(), u"old"), nullptr);

    // The server list may spell a login in another case, or rename it.
    c->UpdateFromServer({.srvID = 5, .login = u"NEW"});
    EXPECT_EQ(c->Login(), u"NEW");
    EXPECT_EQ(store_->FindContact(first_.get(), u"new"), c);
    c->UpdateFromServer({.srvID = 5, .login = u"other"});
    EXPECT_EQ(store_->FindContact(first_.get(), u"OTHER"), c);
    EXPECT_EQ(store_->FindContact(first_.get(), u"new"), nullptr);
}

TEST_F(ContactIndexTest, OfContactsWithTheSameLoginTheFirstInTheStoreIsFound) {
    ContactPtr a = Add(*first_, 1, u"twin");
    ContactPtr b = Add(*first_, 2, u"TWIN");
    EXPECT_EQ(store_->FindContact(first_.get(), u"Twin"), a);

    // The first one leaves and comes back under the login: it is still the first in the store.
    a->SetLogin(u"elsewhere");
    EXPECT_EQ(store_->FindContact(first_.get(), u"twin"), b);
    a->SetLogin(u"Twin");
    EXPECT_EQ(store_->FindContact(first_.get(), u"twin"), a);

    ASSERT_TRUE(store_->DeleteContact(a.get()));
    EXPECT_EQ(store_->FindContact(first_.get(), u"twin"), b);
}

TEST_F(ContactIndexTest, ALaidOutIndexAnswersAsBefore) {
    ContactPtr a = Add(*first_, 1, u"twin");
    ContactPtr b = Add(*first_, 2, u"TWIN");
    ContactPtr c = Add(*second_, 3, u"twin");
    ContactPtr d = Add(*first_, 4, u"Solo");
    {
        // Held: the index is laid out once, when the last hold goes.
        const CContacts::CompactionHold outer(*store_);
        {
            const CContacts::CompactionHold inner(*store_);
            store_->CompactIndex();
        }
        store_->CompactIndex();
    }
    EXPECT_EQ(store_->FindContact(first_.get(), u"Twin"), a);
    EXPECT_EQ(store_->FindContact(second_.get(), u"TWIN"), c);
    EXPECT_EQ(store_->FindContact(first_.get(), u"solo"), d);
    // Its entries still follow the store's changes, the order of twins included.
    ASSERT_TRUE(store_->DeleteContact(a.get()));
    EXPECT_EQ(store_->FindContact(first_.get(), u"twin"), b);
    d->SetLogin(u"Duo");
    EXPECT_EQ(store_->FindContact(first_.get(), u"solo"), nullptr);
    EXPECT_EQ(store_->FindContact(first_.get(), u"duo"), d);
}

TEST_F(ContactIndexTest, ContactsOfARemovedAccountAreNotFound) {
    ContactPtr mine = Add(*first_, 1, u"shared");
    ContactPtr theirs = Add(*second_, 2, u"shared");
    store_->RemoveAccount(first_->ID());
    EXPECT_EQ(store_->FindContact(first_.get(), u"shared"), nullptr);
    EXPECT_EQ(store_->FindContact(second_.get(), u"shared"), theirs);
    // A contact that left the store takes its later login changes with it.
    mine->SetLogin(u"renamed");
    EXPECT_EQ(store_->FindContact(first_.get(), u"renamed"), nullptr);
}

TEST_F(ContactIndexTest, AContactWhoseRowCannotBeWrittenIsNotFound) {
    Exec(u"DROP TABLE Contacts");
    EXPECT_EQ(store_->AddNewContact(first_.get(),
                                    ContactFields{.srvID = 7, .login = u"ghost", .onServer = true},
                                    true, false),
              nullptr);
    EXPECT_EQ(store_->FindContact(first_.get(), u"ghost"), nullptr);
}

}  // namespace
}  // namespace zul
