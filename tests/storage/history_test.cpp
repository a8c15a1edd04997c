#include "storage/history.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/error.h"
#include "platform/local_time.h"
#include "storage/change_feed.h"
#include "storage/contacts.h"
#include "storage/options.h"
#include "storage/profile_fixture.h"
#include "storage/status.h"
#include "support/test_account.h"

namespace zul {
namespace {

using test::TestAccount;

uint64_t At(int year, int month, int day, int hour, int minute) {
    LocalTimeFields f;
    f.year = year;
    f.month = month;
    f.day = day;
    f.hour = hour;
    f.minute = minute;
    return FieldsToFileTime(f);
}

// A chat page as the history sees it: attached while it lives, open or not.
class ChatView {
  public:
    explicit ChatView(CHistory& history) : history_(history) { Open(false); }
    ~ChatView() { history_.SetChatState(false, false, false); }
    void Open(bool open) { history_.SetChatState(true, open, false); }
    CHistory::ViewNotes Notes() { return history_.TakeViewNotes(); }

  private:
    CHistory& history_;
};

// Called from every thread that stores a message, like the real notification.
class Notifier : public INewMessageNotifier {
  public:
    void NotifyNewMessage(CContact&, const std::u16string& text) override {
        std::lock_guard lock(mutex);
        texts.push_back(text);
    }
    std::mutex mutex;
    std::vector<std::u16string> texts;
};

class HistoryTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        CAccountData data = test::MakeAccountData(1, u"1001");
        data.dbSave();
        account_ = std::make_unique<TestAccount>(data, store_);
        contact_ = AddContact(11, u"2001");
        SetNewMessageNotifier(&notifier_);
    }
    void TearDown() override {
        SetNewMessageNotifier(nullptr);
        SetHistoryClock(nullptr);
        contact_.reset();
        account_.reset();
        Options().ResetToDefaults();
        ProfileTest::TearDown();
    }

    ContactPtr AddContact(int32_t localID, const std::u16string& login) {
        return store_.AddContact(
            account_.get(),
            ContactFields{.localID = localID, .srvID = 1, .login = login, .nickname = u"Ann"}, true,
            false);
    }
    // A contact object made afresh from its row, as after a restart.
    std::unique_ptr<CContact> Reopened() {
        return std::make_unique<CContact>(account_.get(),
                                          ContactFields{.localID = contact_->LocalID(),
                                                        .srvID = 1,
                                                        .login = contact_->Login(),
                                                        .nickname = u"Ann"});
    }
    CHistory& History() { return contact_->History(); }

    CContacts store_;
    std::unique_ptr<TestAccount> account_;
    ContactPtr contact_;
    Notifier notifier_;
};

TEST_F(HistoryTest, NumbersFollowTheStoredMaximum) {
    for (int i = 1; i <= 5; ++i) {
        EventPtr e = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"m", 0, 0, -1);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->Number(), i);
    }
    EXPECT_EQ(History().EventCount(), 5);
    EXPECT_EQ(History().MessageCount(), 5);
    EXPECT_EQ(History().LoadedMessageCount(), 5);
    // Held, so that the next event cannot be made at the address of the deleted one.
    const EventPtr fifthHeld = History().Events().back();
    CHistoryEvent* fifth = fifthHeld.get();
    CHistoryEvent* fourth = History().Events()[3].get();

    std::optional<ChatView> view(History());
    Changes().Take();
    EXPECT_TRUE(History().DeleteEvent_FromDB(fifth));
    const CHistory::ViewNotes notes = view->Notes();
    EXPECT_TRUE(notes.dirty);
    EXPECT_EQ(notes.redrawAt, std::vector<const CHistoryEvent*>{fourth});
    // One change for the window, however many notes.
    EXPECT_EQ(Changes().Take(), (std::vector<Change>{{Change::Kind::kHistory, 1, 11}}));
    EXPECT_EQ(History().EventCount(), 4);
    EXPECT_EQ(History().MessageCount(), 4);
    EXPECT_EQ(History().UnreadCount(), 4);
    // Without a page nothing is noted or published.
    view.reset();
    // A number once given is not given again in this run, not even after its row went: a
    // late save of the deleted event's holder can never overwrite a new event.
    EXPECT_EQ(History().AddEvent(evtype::kMessage, evdir::kIncoming, u"m", 0, 0, -1)->Number(), 6);
    EXPECT_FALSE(History().DeleteEvent_FromDB(fifth));  // already gone
    EXPECT_FALSE(History().TakeViewNotes().dirty);
    EXPECT_TRUE(Changes().Take().empty());

    // A fresh history counts what the profile holds.
    auto reopened = Reopened();
    EXPECT_EQ(reopened->History().EventCount(), 5);
    EXPECT_EQ(reopened->History().MessageCount(), 5);
    EXPECT_EQ(reopened->History().UnreadCount(), 5);
}

TEST_F(HistoryTest, ANumberWhoseRowCouldNotBeSavedIsNeverGivenAgain) {
    EventPtr first = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"a", 0, 0, -1);
    ASSERT_TRUE(first);
    // The profile refuses the second event's row.
    Exec(
        u"CREATE TRIGGER refuse BEFORE INSERT ON History WHEN NEW.Message='boom' "
        u"BEGIN SELECT RAISE(ABORT, 'refused'); END");
    EventPtr refused = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"boom", 0, 0, -1);
    EventPtr third = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"c", 0, 0, -1);
    ASSERT_TRUE(third);
    if (refused) EXPECT_NE(refused->Number(), third->Number());
    EXPECT_EQ(third->Number(), 3);
    // A later save of the refused event (the outbox marking it sent, say) overwrites nothing.
    Exec(u"DROP TRIGGER refuse");
    if (refused) EXPECT_TRUE(refused->dbSave());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Message='c' AND Number=3"), 1);
}

TEST_F(HistoryTest, FlagsOfNewEventsAndTheOpenChat) {
    ChatView view(History());
    EventPtr closed = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"a", 0, 10, -1);
    // Shown when the page next looks; not scrolled while the chat is not open.
    CHistory::ViewNotes notes = view.Notes();
    EXPECT_EQ(notes.redrawAt, std::vector<const CHistoryEvent*>{closed.get()});
    EXPECT_FALSE(notes.scrollToEnd);
    view.Open(true);
    EventPtr open = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"b", 0, 10, -1);
    EventPtr out = History().AddOutgoingMessage(u"c");
    EXPECT_EQ(closed->Unread(), 1);
    EXPECT_EQ(open->Unread(), 0);
    EXPECT_EQ(History().UnreadCount(), 1);
    EXPECT_EQ(Scalar(u"SELECT Unread FROM History WHERE Number=2"), 0);
    EXPECT_EQ(Scalar(u"SELECT Sent+Delivered FROM History WHERE Number=1"), 2);
    EXPECT_EQ(Scalar(u"SELECT Sent+Delivered+Unread FROM History WHERE Number=3"), 0);
    EXPECT_EQ(out->Status(), kStatusOffline);
    EXPECT_EQ(out->StatusMood(), -1);
    EXPECT_EQ(out->Icon(), histicon::kPending);
    EXPECT_EQ(open->Icon(), histicon::kMessage);
    // Open: scrolled to the end.
    notes = view.Notes();
    EXPECT_EQ(notes.redrawAt, (std::vector<const CHistoryEvent*>{open.get(), out.get()}));
    EXPECT_TRUE(notes.scrollToEnd);

    // Only incoming messages are announced, with the bold sender name.
    EXPECT_EQ(notifier_.texts, (std::vector<std::u16string>{u"<b>Ann</b> a", u"<b>Ann</b> b"}));

    History().MarkAllRead();
    Database().FlushDeferred();
    EXPECT_EQ(History().UnreadCount(), 0);
    EXPECT_EQ(closed->Unread(), 0);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE Unread=1"), 0);
}

TEST_F(HistoryTest, EventTimeIsEightBytesLowWordFirstAndShortBlobsReadAsZero) {
    History().AddEvent(evtype::kMessage, evdir::kIncoming, u"t", 0x0102030405060708ull, 0, -1);
    EXPECT_EQ(Scalar(u"SELECT length(EventTime) FROM History WHERE Number=1"), 8);
    EXPECT_EQ(Scalar(u"SELECT hex(EventTime)='0807060504030201' FROM History WHERE Number=1"), 1);

    Exec(
        u"INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,Number,Message) "
        u"VALUES (1,11,2,0,NULL,2,'null time')");
    Exec(
        u"INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,Number,Message) "
        u"VALUES (1,11,2,0,X'0102',3,'short time')");
    auto reopened = Reopened();
    ASSERT_TRUE(reopened->History().dbLoad(evtype::kMessage, false));
    const auto& events = reopened->History().Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]->EventTime(), 0x0102030405060708ull);
    EXPECT_EQ(events[1]->EventTime(), 0u);
    EXPECT_EQ(events[2]->EventTime(), 0u);
    EXPECT_EQ(events[2]->Message(), u"short time");
}

TEST_F(HistoryTest, StatusChangesAreSavedButKeptOnlyWithTheOption) {
    contact_->AddStatusChange(u"away text", kStatusAway, 4);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History WHERE EventType=1 AND Status=10 AND "
                     u"StatusMood=4"),
              1);
    EXPECT_TRUE(History().Events().empty());
    EXPECT_EQ(History().EventCount(), 1);
    EXPECT_EQ(History().MessageCount(), 0);

    Options().HistoryShowStatusChanges = 1;
    ASSERT_TRUE(History().dbLoad(evtype::kStatusChange, false));
    ASSERT_EQ(History().Events().size(), 1u);
    EXPECT_EQ(History().Events()[0]->Message(), u"away text");
    EXPECT_TRUE(History().StatusChangesLoaded());

    History().DropStatusChanges();
    EXPECT_TRUE(History().Events().empty());
    EXPECT_FALSE(History().StatusChangesLoaded());
}

TEST_F(HistoryTest, PendingOnlyLoadLeavesTheFullLoadToRunWithoutDuplicates) {
    History().AddOutgoingMessage(u"pending");
    History().AddEvent(evtype::kMessage, evdir::kIncoming, u"in", 0, 0, -1);
    auto reopened = Reopened();
    CHistory& h = reopened->History();
    ASSERT_TRUE(h.dbLoad(evtype::kMessage, true));
    EXPECT_TRUE(h.PendingLoaded());
    EXPECT_FALSE(h.MessagesLoaded());
    EXPECT_EQ(h.Events().size(), 1u);
    ASSERT_TRUE(h.dbLoad(evtype::kMessage, false));
    EXPECT_TRUE(h.MessagesLoaded());
    ASSERT_EQ(h.Events().size(), 2u);
    EXPECT_EQ(h.Events()[0]->Number(), 1);
    EXPECT_EQ(h.Events()[1]->Number(), 2);
    EXPECT_EQ(h.LoadedMessageCount(), 2);
}

TEST_F(HistoryTest, SentMessagesAreGivenUpAfterNineMinutesCountingMonthsAsThirtyOneDays) {
    auto sentAt = [this](uint64_t time) {
        EventPtr e = History().AddEvent(evtype::kMessage, evdir::kOutgoing, u"x", time, 0, -1);
        e->SetSent(1);
        e->dbSave();
        return e;
    };
    EventPtr monthEnd = sentAt(At(2024, 4, 30, 23, 55));
    EventPtr morning = sentAt(At(2024, 5, 1, 10, 0));
    EventPtr unsent = History().AddOutgoingMessage(u"later");
    auto reopened = Reopened();
    CHistory& h = reopened->History();

    SetHistoryClock([] { return At(2024, 5, 1, 0, 4); });
    EXPECT_EQ(MonthlessMinutes(At(2024, 5, 1, 0, 4)) - MonthlessMinutes(At(2024, 4, 30, 23, 55)),
              1449);
    std::vector<EventPtr> pending = h.PendingOutgoing();
    ASSERT_EQ(pending.size(), 2u);  // the morning message (not yet due) and the unsent one
    EXPECT_EQ(pending[0]->Number(), morning->Number());
    EXPECT_EQ(pending[1]->Number(), unsent->Number());
    EXPECT_EQ(Scalar(u"SELECT ErrorCode FROM History WHERE Number=1"), 1);
    EXPECT_EQ(h.Events()[0]->Icon(), histicon::kError);

    SetHistoryClock([] { return At(2024, 5, 1, 10, 9); });
    EXPECT_EQ(h.PendingOutgoing().size(), 2u);
    EXPECT_EQ(Scalar(u"SELECT ErrorCode FROM History WHERE Number=2"), 0);
    SetHistoryClock([] { return At(2024, 5, 1, 10, 10); });
    EXPECT_EQ(h.PendingOutgoing().size(), 1u);
    EXPECT_EQ(Scalar(u"SELECT ErrorCode FROM History WHERE Number=2"), 1);
    EXPECT_EQ(Scalar(u"SELECT ErrorCode FROM History WHERE Number=3"), 0);  // never sent
}

TEST_F(HistoryTest, MessagesLoadedBeforeAnyPendingRequestStillExpire) {
    EventPtr e =
        History().AddEvent(evtype::kMessage, evdir::kOutgoing, u"x", At(2024, 5, 1, 10, 0), 0, -1);
    e->SetSent(1);
    e->dbSave();
    auto reopened = Reopened();
    CHistory& h = reopened->History();
    ASSERT_TRUE(h.dbLoad(evtype::kMessage, false));
    SetHistoryClock([] { return At(2024, 5, 1, 10, 30); });
    EXPECT_TRUE(h.PendingOutgoing().empty());
    EXPECT_EQ(Scalar(u"SELECT ErrorCode FROM History WHERE Number=1"), 1);
}

TEST_F(HistoryTest, TwoThreadsAddingToOneContactGetDistinctNumbers) {
    constexpr int kPerThread = 1000;
    Exec(u"PRAGMA synchronous = OFF");  // the numbering is under test here, not the disk
    // A chat page (not in front) shows the history, so every event stays in memory.
    ChatView view(History());
    auto add = [this] {
        for (int i = 0; i < kPerThread; ++i) {
            History().AddEvent(evtype::kMessage, evdir::kIncoming, u"burst", 0, 0, -1);
        }
    };
    std::thread first(add), second(add);
    first.join();
    second.join();
    std::set<int32_t> numbers;
    for (const EventPtr& e : History().Events()) numbers.insert(e->Number());
    EXPECT_EQ(numbers.size(), 2u * kPerThread);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), 2 * kPerThread);
    EXPECT_EQ(Scalar(u"SELECT COUNT(DISTINCT Number) FROM History"), 2 * kPerThread);
    EXPECT_EQ(History().EventCount(), 2 * kPerThread);
    EXPECT_EQ(History().MessageCount(), 2 * kPerThread);
    EXPECT_EQ(History().UnreadCount(), 2 * kPerThread);
    EXPECT_EQ(History().LoadedMessageCount(), 2 * kPerThread);
    // Two thousand redraws noted: bounded, as one from the top.
    EXPECT_EQ(view.Notes().redrawAt, std::vector<const CHistoryEvent*>{nullptr});
}

TEST_F(HistoryTest, AProfileWithExhaustedNumbersTakesNoNewEvent) {
    Exec(
        u"INSERT INTO History (AccID,ContactID,EventType,Direction,Number) "
        u"VALUES (1,11,2,0,2147483647)");
    EXPECT_FALSE(History().AddEvent(evtype::kMessage, evdir::kIncoming, u"x", 0, 0, -1));
    EXPECT_TRUE(test::DbLogHas(u"БУХ ГДЕ НЕ ЖДАЛИ1"));
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 1);
}

TEST_F(HistoryTest, DeletingAllEventsEmptiesProfileMemoryAndCounters) {
    EventPtr out = History().AddOutgoingMessage(u"a");
    History().AddEvent(evtype::kMessage, evdir::kIncoming, u"b", 0, 0, -1);
    EXPECT_TRUE(History().DeleteAllEvents_FromDB());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
    EXPECT_EQ(History().EventCount(), 0);
    EXPECT_EQ(History().UnreadCount(), 0);
    EXPECT_EQ(History().LoadedMessageCount(), 0);
    EXPECT_TRUE(History().Events().empty());
    // A sender still holding the old event cannot write it back.
    out->SetSent(1);
    EXPECT_FALSE(out->dbSave());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM History"), 0);
}

TEST_F(HistoryTest, MissingAccountOrContactIsFatal) {
    try {
        CHistoryEvent event(nullptr, contact_.get(),
                            {.number = 1, .statusMood = -1, .eventType = 2});
        FAIL();
    } catch (const CFatalError& e) {
        EXPECT_EQ(e.Text(), u"Fatal error: No account fetched");
    }
    try {
        CHistoryEvent event(account_.get(), nullptr,
                            {.number = 1, .statusMood = -1, .eventType = 2});
        FAIL();
    } catch (const CFatalError& e) {
        EXPECT_EQ(e.Text(), u"Fatal error: No contact fetched");
    }
    EXPECT_THROW(CHistory(account_.get(), nullptr), CError);
    EXPECT_THROW(CHistory(nullptr, contact_.get()), CError);
}

TEST_F(HistoryTest, DatabaseErrorsAreLoggedAndNeverReachTheCaller) {
    EventPtr kept = History().AddEvent(evtype::kMessage, evdir::kIncoming, u"a", 0, 0, -1);
    EXPECT_TRUE(History().AddEvent(evtype::kMessage, evdir::kIncoming, u"b", 0, 0, -1));

    Exec(u"DROP TABLE History");
    EXPECT_FALSE(kept->dbSave());
    EXPECT_TRUE(test::DbLogHas(u"CHistoryEvent::dbSave():SQLITE_ERROR[1]: no such table: History"));
    EXPECT_FALSE(History().AddEvent(evtype::kMessage, evdir::kIncoming, u"c", 0, 0, -1));
    EXPECT_TRUE(test::DbLogHas(u"БУХ ГДЕ НЕ ЖДАЛИ1"));
    EXPECT_FALSE(History().DeleteEvent_FromDB(kept.get()));
    EXPECT_TRUE(test::DbLogHas(u"CHistory::DeleteEvent_FromDB(): SQLITE_ERROR[1]:"));
    EXPECT_EQ(History().Events().size(), 2u);
    EXPECT_FALSE(History().DeleteAllEvents_FromDB());
    EXPECT_TRUE(test::DbLogHas(u"CHistory::DeleteAllEvents_FromDB(): SQLITE_ERROR[1]:"));

    auto reopened = Reopened();
    EXPECT_TRUE(test::DbLogHas(u"CHistory::CHistory(): SQLITE_ERROR[1]: no such table: History"));
    EXPECT_EQ(reopened->History().EventCount(), 0);
    EXPECT_FALSE(reopened->History().dbLoad(evtype::kMessage, false));
    EXPECT_TRUE(test::DbLogHas(u"CHistory::dbLoad(): SQLITE_ERROR[1]:"));
    EXPECT_FALSE(reopened->History().MessagesLoaded());
}

}  // namespace
}  // namespace zul
