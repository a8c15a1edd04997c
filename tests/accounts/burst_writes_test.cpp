// Writes grouped per burst: the traffic counters of a counter batch, and the outbox marking
// its messages sent. Fewer writes, and every row still ends with its exact value.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "accounts/account.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "storage/status.h"
#include "support/test_account.h"

namespace zul {
namespace {

using test::TestAccount;

class BurstWritesTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        data_ = test::MakeAccountData(1, u"1001");
        ASSERT_TRUE(data_.dbSave());
    }
    void TearDown() override {
        Options().ResetToDefaults();
        ProfileTest::TearDown();
    }
    static int32_t StoredIn() { return Scalar(u"SELECT BytesIn FROM Accounts WHERE ID=1"); }
    static int32_t StoredOut() { return Scalar(u"SELECT BytesOut FROM Accounts WHERE ID=1"); }

    CAccountData data_;
};

TEST_F(BurstWritesTest, OutsideABatchEveryAdditionIsStoredAtOnce) {
    data_.AddBytesIn(10);
    EXPECT_EQ(StoredIn(), 10);
    data_.AddBytesOut(7);
    EXPECT_EQ(StoredOut(), 7);
}

TEST_F(BurstWritesTest, ABatchStoresTheFinalValuesWhenTheLastBatchCloses) {
    {
        CounterBatch outer(data_);
        data_.AddBytesIn(10);
        {
            CounterBatch inner(data_);
            data_.AddBytesIn(5);
            data_.AddBytesOut(3);
        }
        EXPECT_EQ(StoredIn(), 0) << "written before the outer batch closed";
        // Another thread counting meanwhile is written with the batch.
        std::thread([this] { data_.AddBytesOut(4); }).join();
        EXPECT_EQ(StoredOut(), 0);
        EXPECT_EQ(data_.BytesIn(), 15u);
        // The batch writes a row besides the counters: they go with it.
        Exec(u"UPDATE Accounts SET Description='busy' WHERE ID=1");
    }
    EXPECT_EQ(StoredIn(), 15);
    EXPECT_EQ(StoredOut(), 7);
    // A batch that writes nothing else, seconds after the last save, leaves the counters for
    // a later commit (a session saves them when it falls quiet).
    {
        CounterBatch reads(data_);
        data_.AddBytesIn(2);
    }
    EXPECT_EQ(StoredIn(), 15);
    data_.SaveCounters();
    EXPECT_EQ(StoredIn(), 17);
    // A closed batch leaves the counters writing at once again.
    data_.AddBytesIn(1);
    EXPECT_EQ(StoredIn(), 18);
}

TEST_F(BurstWritesTest, TheOutboxMarksEverySentMessageSentAlsoWhenSendingStops) {
    CContacts store;
    TestAccount account(data_, store);
    account.SetStatus(kStatusAvailable);
    std::vector<EventPtr> events;
    for (int c = 0; c < 3; ++c) {
        ContactPtr contact = store.AddContact(
            &account,
            ContactFields{.localID = c + 1,
                          .srvID = static_cast<uint16_t>(c + 1),
                          .login = u"200" + std::u16string(1, static_cast<char16_t>(u'0' + c))},
            true, false);
        ASSERT_TRUE(contact);
        for (int m = 0; m < 4; ++m) events.push_back(contact->History().AddOutgoingMessage(u"hi"));
    }
    account.sendLimit = 10;  // the eleventh send fails: the flush stops there
    account.FlushOutbox();

    EXPECT_EQ(account.sentNumbers.size(), 10u);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Sent=1"), 10);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Sent=0"), 2);
    int sentInMemory = 0;
    for (const EventPtr& e : events) sentInMemory += e->Sent();
    EXPECT_EQ(sentInMemory, 10);

    // The next pass sends the rest.
    account.sendLimit = 100;
    account.FlushOutbox();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Sent=1"), 12);
    EXPECT_EQ(account.sentNumbers.size(), 12u);
}

// The idle pass asks every contact's outbox every second; once an outbox found nothing it
// answers at once, but every change of a sending state makes it look again.
TEST_F(BurstWritesTest, AQuietOutboxLooksAgainAfterEveryChangeOfASendingState) {
    CContacts store;
    TestAccount account(data_, store);
    account.SetStatus(kStatusAvailable);
    ContactPtr contact = store.AddContact(
        &account, ContactFields{.localID = 1, .srvID = 1, .login = u"2001"}, true, false);
    ASSERT_TRUE(contact);
    CHistory& history = contact->History();
    EXPECT_TRUE(history.PendingOutgoing().empty());
    EXPECT_TRUE(history.PendingOutgoing().empty());

    EventPtr first = history.AddOutgoingMessage(u"one");
    ASSERT_EQ(history.PendingOutgoing().size(), 1u);
    first->SetSent(1);
    first->SetDelivered(1);
    EXPECT_TRUE(history.PendingOutgoing().empty());

    EventPtr second = history.AddOutgoingMessage(u"two");
    second->SetSent(1);
    second->SetErrorCode(1);  // given up
    EXPECT_TRUE(history.PendingOutgoing().empty());
    EXPECT_TRUE(history.PendingOutgoing().empty());
    // Sent again from the chat page.
    second->SetErrorCode(0);
    second->SetSent(0);
    const std::vector<EventPtr> pending = history.PendingOutgoing();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0], second);
}

}  // namespace
}  // namespace zul
