// What a history keeps in memory while no chat page shows it: the newest few events and every
// outgoing message still to be sent or acknowledged. Everything stays in the profile, and the
// chat page gets it all back when it opens.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "support/test_account.h"

namespace zul {
namespace {

class DetachedHistory : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        CAccountData data = test::MakeAccountData(1, u"1001");
        data.dbSave();
        account_ = std::make_unique<test::TestAccount>(data, store_);
        contact_ = store_.AddContact(
            account_.get(),
            ContactFields{.localID = 11, .srvID = 1, .login = u"2001", .nickname = u"Ann"}, true,
            false);
    }
    void TearDown() override {
        contact_.reset();
        account_.reset();
        ProfileTest::TearDown();
    }

    CHistory& History() { return contact_->History(); }
    void Receive(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(History().AddEvent(evtype::kMessage, evdir::kIncoming,
                                           u"in " + std::u16string(1, u'a' + i % 26), 0, 0, -1));
        }
    }
    std::vector<int32_t> Numbers() {
        std::lock_guard lock(History().Mutex());
        std::vector<int32_t> numbers;
        for (const EventPtr& e : History().Events()) numbers.push_back(e->Number());
        return numbers;
    }
    std::vector<int32_t> WindowNumbers() {
        std::vector<int32_t> numbers;
        for (const EventPtr& e : History().WindowEvents()) numbers.push_back(e->Number());
        return numbers;
    }
    static std::vector<int32_t> Range(int32_t first, int32_t last) {
        std::vector<int32_t> out;
        for (int32_t n = first; n <= last; ++n) out.push_back(n);
        return out;
    }

    CContacts store_;
    std::unique_ptr<test::TestAccount> account_;
    ContactPtr contact_;
};

TEST_F(DetachedHistory, KeepsTheNewestEventsAndThePageLoadsEveryOne) {
    Receive(40);
    EXPECT_EQ(Numbers(), Range(25, 40));
    EXPECT_EQ(History().LoadedMessageCount(), 16);
    // The counters describe the profile, not memory.
    EXPECT_EQ(History().MessageCount(), 40);
    EXPECT_EQ(History().UnreadCount(), 40);

    History().SetChatState(true, true, false);
    ASSERT_TRUE(History().dbLoad(evtype::kMessage, false));
    EXPECT_EQ(Numbers(), Range(1, 40));
    // While the page shows the history, nothing goes.
    Receive(5);
    EXPECT_EQ(Numbers(), Range(1, 45));

    // The page closes; the next message trims, and the next page loads all again.
    History().SetChatState(false, false, false);
    Receive(1);
    EXPECT_EQ(Numbers(), Range(31, 46));
    EXPECT_FALSE(History().MessagesLoaded());
    History().SetChatState(true, true, false);
    ASSERT_TRUE(History().dbLoad(evtype::kMessage, false));
    EXPECT_EQ(Numbers(), Range(1, 46));
    EXPECT_EQ(History().LoadedMessageCount(), 46);
    History().SetChatState(false, false, false);
}

TEST_F(DetachedHistory, MessagesTheSessionStillWaitsForStay) {
    std::vector<EventPtr> unsent, unacknowledged;
    for (int i = 0; i < 3; ++i) unsent.push_back(History().AddOutgoingMessage(u"to send"));
    for (int i = 0; i < 2; ++i) {
        EventPtr e = History().AddOutgoingMessage(u"sent");
        e->SetSent(1);
        e->dbSave();
        unacknowledged.push_back(e);
    }
    EventPtr delivered = History().AddOutgoingMessage(u"delivered");
    delivered->SetSent(1);
    delivered->SetDelivered(1);
    delivered->dbSave();
    Receive(30);

    // Five awaited messages, then the eleven newest of the rest.
    std::vector<int32_t> expected = Range(1, 5);
    for (int32_t n : Range(26, 36)) expected.push_back(n);
    EXPECT_EQ(Numbers(), expected);
    // The outbox still finds what it has to send, and an acknowledgement what it is for.
    History().NoteOutboxChange();
    const std::vector<EventPtr> pending = History().PendingOutgoing();
    ASSERT_EQ(pending.size(), 5u);
    EXPECT_EQ(pending[0], unsent[0]);
    EXPECT_EQ(pending[4], unacknowledged[1]);
}

// After a sign-on every contact's outbox is read in one query: each history gets its own
// awaited messages, and nothing of another account's or of a delivered, failed or incoming one.
TEST_F(DetachedHistory, ManyOutboxesAreReadTogether) {
    CAccountData other = test::MakeAccountData(2, u"1002");
    other.dbSave();
    const struct Row {
        int32_t accId, contact, direction, sent, delivered, error;
        bool pending;  // for contact `contact` of account 1
    } rows[] = {
        {1, 0, evdir::kOutgoing, 0, 0, 0, true},  {1, 0, evdir::kOutgoing, 1, 0, 0, true},
        {1, 0, evdir::kOutgoing, 1, 1, 0, false}, {1, 0, evdir::kOutgoing, 0, 0, 1, false},
        {1, 0, evdir::kIncoming, 1, 1, 0, false}, {1, 7, evdir::kOutgoing, 0, 0, 0, true},
        {2, 7, evdir::kOutgoing, 0, 0, 0, false}, {1, 19, evdir::kOutgoing, 1, 0, 0, true},
    };
    constexpr int kContacts = 20;
    std::vector<ContactPtr> contacts;
    for (int i = 0; i < kContacts; ++i) {
        contacts.push_back(
            store_.AddContact(account_.get(),
                              ContactFields{.localID = 100 + i,
                                            .srvID = static_cast<uint16_t>(10 + i),
                                            .login = u"3" + std::u16string(1, u'a' + i)},
                              true, false));
    }
    uint8_t now[8];
    EncodeEventTime(HistoryNow(), now);
    std::vector<std::vector<int32_t>> expected(kContacts);
    int32_t number = 0;
    for (const Row& r : rows) {
        CppSQLite3Command insert = Database().Prepare(
            u"INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,Number,Status,"
            u"StatusMood,Message,Unread,Sent,Delivered,Marked,ErrorCode) VALUES "
            u"(?,?,2,?,?,?,0,-1,'text',0,?,?,0,?)");
        insert.BindInt(1, r.accId);
        insert.BindInt(2, 100 + r.contact);
        insert.BindInt(3, r.direction);
        insert.BindBlob(4, now, sizeof now);
        insert.BindInt(5, ++number);
        insert.BindInt(6, r.sent);
        insert.BindInt(7, r.delivered);
        insert.BindInt(8, r.error);
        Database().Execute(insert);
        if (r.pending) expected[static_cast<size_t>(r.contact)].push_back(number);
    }

    std::vector<CHistory*> histories;
    for (const ContactPtr& c : contacts) histories.push_back(&c->History());
    CHistory::dbLoadPending(*account_, histories);
    for (int i = 0; i < kContacts; ++i) {
        CHistory& history = contacts[static_cast<size_t>(i)]->History();
        EXPECT_TRUE(history.PendingLoaded()) << i;
        std::vector<int32_t> numbers;
        for (const EventPtr& e : history.PendingOutgoing()) numbers.push_back(e->Number());
        EXPECT_EQ(numbers, expected[static_cast<size_t>(i)]) << i;
    }
}

// The chat page reads the history by pages from its index: the newest page, then older ones,
// around the outbox's messages that are loaded already; it can let older pages go again, and
// reading it all as read reaches the rows it never loaded.
TEST_F(DetachedHistory, TheWindowReadsByPagesAroundTheOutbox) {
    for (int i = 0; i < 3; ++i) History().AddOutgoingMessage(u"to send");
    Receive(500);
    std::vector<int32_t> expected = Range(1, 3);
    for (int32_t n : Range(491, 503)) expected.push_back(n);
    ASSERT_EQ(Numbers(), expected);
    EXPECT_EQ(History().WindowStart(), CHistory::kNoWindow);
    EXPECT_EQ(WindowNumbers(), expected) << "no window yet: every loaded event is shown";

    History().SetChatState(true, true, false);
    ASSERT_TRUE(History().dbLoadNewest(200));
    expected = Range(1, 3);
    for (int32_t n : Range(304, 503)) expected.push_back(n);
    EXPECT_EQ(Numbers(), expected);
    EXPECT_EQ(History().WindowStart(), 304);
    EXPECT_EQ(WindowNumbers(), Range(304, 503)) << "the outbox below the window is not shown";
    EXPECT_TRUE(History().HasOlder());
    ASSERT_TRUE(History().dbLoadNewest(200)) << "already there: nothing read twice";
    EXPECT_EQ(Numbers(), expected);

    EXPECT_EQ(History().dbLoadOlder(200), 200u);
    EXPECT_EQ(History().WindowStart(), 104);
    EXPECT_EQ(History().dbLoadOlder(200), 103u) << "the outbox's three are not loaded twice";
    EXPECT_EQ(Numbers(), Range(1, 503));
    EXPECT_EQ(History().WindowStart(), 0);
    EXPECT_FALSE(History().HasOlder());
    EXPECT_TRUE(History().MessagesLoaded());
    EXPECT_EQ(History().LoadedMessageCount(), 503);
    EXPECT_EQ(History().dbLoadOlder(200), 0u);

    // Letting go of all but the newest hundred keeps the outbox's messages.
    History().ShrinkWindow(100);
    expected = Range(1, 3);
    for (int32_t n : Range(404, 503)) expected.push_back(n);
    EXPECT_EQ(Numbers(), expected);
    EXPECT_EQ(History().WindowStart(), 404);
    EXPECT_EQ(History().LoadedMessageCount(), 103);
    EXPECT_FALSE(History().MessagesLoaded());
    EXPECT_EQ(History().MessageCount(), 503);

    // Read: every incoming row of the profile, loaded or not.
    EXPECT_EQ(History().UnreadCount(), 500);
    History().MarkAllRead();
    Database().FlushDeferred();
    EXPECT_EQ(History().UnreadCount(), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Unread<>0"), 0);
    History().SetChatState(false, false, false);
}

// Marking read is written by the profile's writer thread, for the messages there were when it
// was asked: one that comes while the writer waits for the profile stays unread, and closing the
// profile writes what is queued.
TEST_F(DetachedHistory, MarkingReadLaterReachesOnlyTheMessagesThereWere) {
    Receive(3);
    {
        std::lock_guard busy(Database().Mutex());  // a session in the middle of a burst
        History().MarkAllRead();
        EXPECT_EQ(History().UnreadCount(), 0);
        Receive(1);
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Unread=1"), 4) << "not yet written";
    }
    Database().FlushDeferred();
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Unread=1"), 1);
    EXPECT_EQ(Scalar(u"SELECT Number FROM History WHERE Unread=1"), 4);
    EXPECT_EQ(History().UnreadCount(), 1);

    History().MarkAllRead();
    Database().Close();  // runs a queued write first
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Unread=1"), 0);
}

}  // namespace
}  // namespace zul
