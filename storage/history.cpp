#include "storage/history.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "platform/error.h"
#include "storage/account_data.h"
#include "storage/change_feed.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/options.h"
#include "storage/status.h"

namespace zul {
namespace {

template <typename T>
T& RequireObject(T* object, const char16_t* text) {
    if (!object) throw CError(text, errcode::kNoMemory);
    return *object;
}

// Runs a counting query bound with the given integers.
int32_t Count(CDatabase& db, std::u16string_view sql, std::initializer_list<int32_t> params) {
    CppSQLite3Command cmd = db.Prepare(sql);
    int index = 1;
    for (int32_t value : params) cmd.BindInt(index++, value);
    return db.ExecuteScalar(cmd);
}

void Decrement(std::atomic<int32_t>& counter) {
    int32_t value = counter.load();
    while (value > 0 && !counter.compare_exchange_weak(value, value - 1)) {
    }
}

// The columns of a History row, found by name once, not for every row of a long history.
struct HistoryColumns {
    int time, number, errorCode, marked, delivered, sent, unread, mood, status, message, direction,
        type;

    static HistoryColumns Of(const CppSQLite3ResultSet& rows) {
        return {rows.ColumnIndex(u"EventTime"), rows.ColumnIndex(u"Number"),
                rows.ColumnIndex(u"ErrorCode"), rows.ColumnIndex(u"Marked"),
                rows.ColumnIndex(u"Delivered"), rows.ColumnIndex(u"Sent"),
                rows.ColumnIndex(u"Unread"),    rows.ColumnIndex(u"StatusMood"),
                rows.ColumnIndex(u"Status"),    rows.ColumnIndex(u"Message"),
                rows.ColumnIndex(u"Direction"), rows.ColumnIndex(u"EventType")};
    }

    EventFields FieldsOf(const CppSQLite3ResultSet& rows) const {
        int timeBytes = 0;
        const uint8_t* timeBlob = rows.BlobColumn(time, timeBytes);
        return EventFields{.number = rows.IntColumn(number, 0),
                           .status = rows.IntColumn(status, 0),
                           .statusMood = rows.IntColumn(mood, 0),
                           .eventType = static_cast<uint8_t>(rows.IntColumn(type, 0)),
                           .direction = static_cast<uint8_t>(rows.IntColumn(direction, 0)),
                           .message = rows.TextColumn(message, u""),
                           .unread = rows.IntColumn(unread, 0),
                           .sent = rows.IntColumn(sent, 0),
                           .delivered = rows.IntColumn(delivered, 0),
                           .marked = rows.IntColumn(marked, 0),
                           .errorCode = rows.IntColumn(errorCode, 0),
                           .eventTime = DecodeEventTime(timeBlob, timeBytes)};
    }
};

bool NumberBefore(const EventPtr& a, const EventPtr& b) {
    return static_cast<uint32_t>(a->Number()) < static_cast<uint32_t>(b->Number());
}

// Adds one to a count that is known (not -1).
void IncrementKnown(std::atomic<int32_t>& counter) {
    int32_t value = counter.load();
    while (value >= 0 && !counter.compare_exchange_weak(value, value + 1)) {
    }
}

}  // namespace

CHistory::CHistory(CStoreAccount* account, CContact* contact, HistoryCounts counts)
    : account_(RequireObject(account, u"Fatal error: No account fetched")),
      contact_(RequireObject(contact, u"Fatal error: No contact fetched")),
      eventCount_(counts.events),
      messageCount_(counts.messages),
      savedMessages_(counts.stored ? counts.messages : -1),
      savedEvents_(counts.stored ? counts.events : -1) {
    // The first event added then needs no look at the index for its number (a sign-on's
    // presence adds one to each of thousands of contacts).
    if (counts.newest >= 0) storedMax_ = counts.newest;
    if (counts.unread >= 0) {
        unreadCount_ = counts.unread;
        return;
    }
    try {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        unreadCount_ = Count(db,
                             u"SELECT COUNT(*) FROM History WHERE EventType=? AND AccID=? AND "
                             u"ContactID=? AND Unread=1",
                             {evtype::kMessage, account_.ID(), contact_.LocalID()});
    } catch (const CppSQLite3Exception& e) {
        LogDbError(u"CHistory::CHistory(): ", e);
    }
}

int32_t CHistory::KnownCount(std::atomic<int32_t>& counter) const {
    const int32_t known = counter.load();
    if (known >= 0) return known;
    try {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        // Every change of the counts is made under the database lock: they cannot move while
        // this counts. Both are counted in one walk of the index.
        if (messageCount_.load() < 0 || eventCount_.load() < 0) {
            CppSQLite3Command cmd = db.Prepare(
                u"SELECT COUNT(*), IFNULL(SUM(EventType=2),0) FROM History WHERE "
                u"AccID=? AND ContactID=?");
            cmd.BindInt(1, account_.ID());
            cmd.BindInt(2, contact_.LocalID());
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            if (!rows.IsEnd()) {
                eventCount_.store(std::max(0, rows.IntColumn(0, 0)));
                messageCount_.store(std::max(0, rows.IntColumn(1, 0)));
            }
            rows.Finalize();
            cmd.Finalize();
        }
    } catch (const CppSQLite3Exception& e) {
        LogDbError(u"CHistory::KnownCount(): ", e);
        return 0;
    }
    return std::max(0, counter.load());
}

void CHistory::dbSaveCounts() {
    CDatabase& db = account_.Contacts().Db();
    std::lock_guard dbLock(db.Mutex());
    const int32_t messages = messageCount_.load();
    const int32_t events = eventCount_.load();
    if (messages < 0 || events < 0 || (messages == savedMessages_ && events == savedEvents_))
        return;
    DbWork(u"CHistory::dbSaveCounts(): ", [&] {
        const int32_t newest =
            Count(db, u"SELECT IFNULL(MAX(Number),0) FROM History WHERE AccID=? AND ContactID=?",
                  {account_.ID(), contact_.LocalID()});
        CppSQLite3Command cmd = db.Prepare(
            u"REPLACE INTO HistoryTotals (AccID, ContactID, Newest, Messages, Events) VALUES "
            u"(?, ?, ?, ?, ?)");
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        cmd.BindInt(3, newest);
        cmd.BindInt(4, messages);
        cmd.BindInt(5, events);
        db.Execute(cmd);
        savedMessages_ = messages;
        savedEvents_ = events;
        return true;
    });
}

int32_t CHistory::EventCount() const {
    return KnownCount(eventCount_);
}

int32_t CHistory::MessageCount() const {
    return KnownCount(messageCount_);
}

CHistory::~CHistory() = default;

bool CHistory::KeepEvent(const EventPtr& event) {
    if (event->IsMessage()) {
        events_.push_back(event);
        loadedMessageCount_.fetch_add(1);
        return true;
    }
    if (event->EventType() == evtype::kStatusChange && Options().HistoryShowStatusChanges) {
        events_.push_back(event);
        return true;
    }
    return false;
}

void CHistory::TrimDetached() {
    if (events_.size() <= kDetachedEventsKept) return;
    // The chat page reads the window again.
    if (DropOldest(0, events_.size() - kDetachedEventsKept, false).any)
        windowStart_.store(kNoWindow);
}

void CHistory::SortEvents() {
    std::stable_sort(events_.begin(), events_.end(), NumberBefore);
}

void CHistory::KeepRowsOf(CppSQLite3Command& cmd) {
    std::unordered_set<int32_t> loaded;
    for (const EventPtr& e : events_) loaded.insert(e->Number());
    CppSQLite3ResultSet rows = account_.Contacts().Db().ExecuteQuery(cmd);
    const HistoryColumns col = rows.IsEnd() ? HistoryColumns{} : HistoryColumns::Of(rows);
    while (!rows.IsEnd()) {
        EventFields f = col.FieldsOf(rows);
        if (loaded.insert(f.number).second)
            KeepEvent(std::make_shared<CHistoryEvent>(&account_, &contact_, std::move(f)));
        rows.Next();
    }
    rows.Finalize();
    cmd.Finalize();
    SortEvents();
}

CHistory::Dropped CHistory::DropOldest(int64_t from, size_t excess, bool outboxCounts) {
    Dropped dropped{from, false};
    bool droppedMessages = false;
    bool droppedStatusChanges = false;
    size_t out = 0;
    for (size_t in = 0; in < events_.size(); ++in) {
        const CHistoryEvent& e = *events_[in];
        if (excess > 0 && e.Number() >= from && (outboxCounts || !e.AwaitsServer())) {
            --excess;
            dropped.next = static_cast<int64_t>(e.Number()) + 1;
            if (!e.AwaitsServer()) {
                if (e.IsMessage()) {
                    Decrement(loadedMessageCount_);
                    droppedMessages = true;
                } else {
                    droppedStatusChanges = true;
                }
                continue;
            }
        }
        if (out != in) events_[out] = std::move(events_[in]);
        ++out;
    }
    events_.resize(out);
    // What was loaded is no longer whole.
    if (droppedMessages) messagesLoaded_.store(false);
    if (droppedStatusChanges) statusLoaded_.store(false);
    dropped.any = droppedMessages || droppedStatusChanges;
    return dropped;
}

bool CHistory::ShowsStatusChanges() const {
    return Options().HistoryShowStatusChanges != 0;
}

size_t CHistory::ReadWindowRows(int64_t below, size_t limit, bool withStatus, int64_t& lowest) {
    CDatabase& db = account_.Contacts().Db();
    // By number from the index, newest first: a long history costs only the rows read.
    CppSQLite3Command cmd = db.Prepare(
        u"SELECT * FROM History WHERE AccID=? AND ContactID=? AND Number<? AND EventType IN "
        u"(?,?) ORDER BY Number DESC LIMIT ?");
    cmd.BindInt(1, account_.ID());
    cmd.BindInt(2, contact_.LocalID());
    cmd.BindInt64(3, below);
    cmd.BindInt(4, evtype::kMessage);
    cmd.BindInt(5, withStatus ? evtype::kStatusChange : evtype::kMessage);
    cmd.BindInt64(6, static_cast<int64_t>(limit));
    // Loaded events in that range are the outbox's (or the few a closed chat kept).
    std::unordered_set<int32_t> loaded;
    for (const EventPtr& e : events_)
        if (e->Number() < below) loaded.insert(e->Number());
    std::vector<EventPtr> read;
    size_t count = 0;
    CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
    const HistoryColumns col = rows.IsEnd() ? HistoryColumns{} : HistoryColumns::Of(rows);
    while (!rows.IsEnd()) {
        EventFields f = col.FieldsOf(rows);
        ++count;
        lowest = std::min<int64_t>(lowest, f.number);
        if (loaded.insert(f.number).second) {
            auto event = std::make_shared<CHistoryEvent>(&account_, &contact_, std::move(f));
            if (event->IsMessage()) loadedMessageCount_.fetch_add(1);
            read.push_back(std::move(event));
        }
        rows.Next();
    }
    rows.Finalize();
    cmd.Finalize();
    // The rows came newest first; the loaded events are in number order already.
    std::reverse(read.begin(), read.end());
    std::vector<EventPtr> merged;
    merged.reserve(events_.size() + read.size());
    std::merge(std::make_move_iterator(events_.begin()), std::make_move_iterator(events_.end()),
               std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()),
               std::back_inserter(merged), NumberBefore);
    events_.swap(merged);
    NoteOutboxChange();
    return count;
}

bool CHistory::dbLoadNewest(size_t count) {
    return DbWork(u"CHistory::dbLoadNewest(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        const bool withStatus = ShowsStatusChanges();
        const int64_t start = windowStart_.load();
        if (start != kNoWindow && (withStatus == windowStatus_ || !withStatus)) {
            const size_t held = static_cast<size_t>(
                std::count_if(events_.begin(), events_.end(),
                              [start](const EventPtr& e) { return e->Number() >= start; }));
            if (start == 0 || held >= count) return true;
        }
        int64_t lowest = kNoWindow;
        const size_t read = ReadWindowRows(kNoWindow, count, withStatus, lowest);
        windowStart_.store(read < count ? 0 : lowest);
        windowStatus_ = withStatus;
        if (read < count) {
            messagesLoaded_.store(true);
            if (withStatus) statusLoaded_.store(true);
        }
        return true;
    });
}

size_t CHistory::dbLoadOlder(size_t count) {
    size_t read = 0;
    DbWork(u"CHistory::dbLoadOlder(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        const int64_t start = windowStart_.load();
        if (start == 0 || start == kNoWindow) return true;
        int64_t lowest = start;
        read = ReadWindowRows(start, count, windowStatus_, lowest);
        windowStart_.store(read < count ? 0 : lowest);
        if (read < count) {
            messagesLoaded_.store(true);
            if (windowStatus_) statusLoaded_.store(true);
        }
        return true;
    });
    return read;
}

std::optional<bool> CHistory::TryLoadPage(bool older, size_t count) {
    std::unique_lock profile(account_.Contacts().Db().Mutex(), std::try_to_lock);
    if (!profile.owns_lock()) return std::nullopt;
    if (older) return dbLoadOlder(count) > 0;
    dbLoadNewest(count);
    return true;
}

std::vector<EventPtr> CHistory::WindowEvents() const {
    std::lock_guard lock(mutex_);
    int64_t start = windowStart_.load();
    if (start == kNoWindow) start = 0;
    const auto first = std::partition_point(
        events_.begin(), events_.end(),
        [start](const EventPtr& e) { return static_cast<int64_t>(e->Number()) < start; });
    return {first, events_.end()};
}

EventPtr CHistory::NewestMessage() const {
    std::lock_guard lock(mutex_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
        if ((*it)->IsMessage() && !(*it)->Removed()) return *it;
    }
    return nullptr;
}

std::vector<EventPtr> CHistory::AwaitingServerWord(uint32_t number) const {
    std::vector<EventPtr> found;
    std::lock_guard lock(mutex_);
    for (const EventPtr& event : events_) {
        const uint8_t type = event->EventType();
        if (event->IsOutgoing() && (type == evtype::kMessage || type == evtype::kMessageAlt) &&
            event->Sent() == 1 && event->Delivered() == 0 && event->ErrorCode() == 0 &&
            static_cast<uint32_t>(event->Number()) == number)
            found.push_back(event);
    }
    return found;
}

void CHistory::dbLoadWindowStatusChanges() {
    DbWork(u"CHistory::dbLoadWindowStatusChanges(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        const int64_t start = windowStart_.load();
        if (start == kNoWindow || windowStatus_ || !ShowsStatusChanges()) return true;
        CppSQLite3Command cmd = db.Prepare(
            u"SELECT * FROM History WHERE AccID=? AND ContactID=? AND Number>=? AND EventType=?");
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        cmd.BindInt64(3, start);
        cmd.BindInt(4, evtype::kStatusChange);
        KeepRowsOf(cmd);
        windowStatus_ = true;
        if (start == 0) statusLoaded_.store(true);
        return true;
    });
}

void CHistory::ShrinkWindow(size_t keep) {
    std::lock_guard lock(mutex_);
    const int64_t start = windowStart_.load();
    if (start == kNoWindow) return;
    const auto inWindow = static_cast<size_t>(
        std::count_if(events_.begin(), events_.end(),
                      [start](const EventPtr& e) { return e->Number() >= start; }));
    if (inWindow <= keep) return;
    // The outbox's messages among the oldest stay in memory, below the new start.
    windowStart_.store(DropOldest(start, inWindow - keep, true).next);
}

EventPtr CHistory::AddEvent(uint8_t kind, uint8_t direction, const std::u16string& text,
                            uint64_t time, int32_t status, int32_t mood) {
    const uint64_t when = time != 0 ? time : account_.Contacts().Now();
    const bool message = kind == evtype::kMessage || kind == evtype::kMessageAlt;
    const bool incoming = direction == evdir::kIncoming;
    const int32_t unread = (message && incoming && !ChatOpen()) ? 1 : 0;
    const int32_t sentAndDelivered = incoming ? 1 : 0;

    EventPtr event;
    bool kept = false;
    try {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        // No rows for a contact whose row was deleted.
        if (contact_.Removed()) return nullptr;
        // The stored maximum is read once: after that only this history adds rows (one client
        // per profile), and numberGiven_ follows them.
        if (storedMax_ < 0) {
            storedMax_ = Count(db, u"SELECT MAX(Number) FROM History WHERE AccID=? AND ContactID=?",
                               {account_.ID(), contact_.LocalID()});
        }
        const int32_t last = std::max(storedMax_, numberGiven_);
        // A profile whose numbers ran out (or were written by something else) gets no new row.
        if (last < 0 || last == std::numeric_limits<int32_t>::max()) {
            throw std::range_error("event numbers exhausted");
        }
        numberGiven_ = last + 1;
        event = std::make_shared<CHistoryEvent>(&account_, &contact_,
                                                EventFields{.number = last + 1,
                                                            .status = status,
                                                            .statusMood = mood,
                                                            .eventType = kind,
                                                            .direction = direction,
                                                            .message = text,
                                                            .unread = unread,
                                                            .sent = sentAndDelivered,
                                                            .delivered = sentAndDelivered,
                                                            .eventTime = when});
        // A row that could not be written is no event of the history: nothing counts it.
        if (!event->dbSave()) throw std::runtime_error("the event's row was not stored");
        IncrementKnown(eventCount_);
        if (unread) unreadCount_.fetch_add(1);
        if (message) IncrementKnown(messageCount_);
        kept = KeepEvent(event);
        if (kept && !Attached()) TrimDetached();
        NoteOutboxChange();
    } catch (...) {
        WriteLog(kDbLog, u"БУХ ГДЕ НЕ ЖДАЛИ1");
        // Not stored, not kept: no one may take it for a row of the history.
        event.reset();
    }
    if (!event) return nullptr;

    if (kept) {
        NoteRedraw(event.get());
        if (ChatOpen()) NoteScrollToEnd();
    }
    if (message) contact_.Redraw();
    // An outgoing message is for the outbox: the session sends it now rather than at its next
    // quiet moment.
    if (message && !incoming) account_.NoteOutboxWork();
    if (message && incoming) {
        if (INewMessageNotifier* notifier = NewMessageNotifier()) {
            if (!ChatSeen())
                notifier->NotifyNewMessage(contact_,
                                           u"<b>" + contact_.DisplayName() + u"</b> " + text);
            else
                notifier->NotifySeenMessage(contact_);
        }
    }
    return event;
}

EventPtr CHistory::AddOutgoingMessage(const std::u16string& text) {
    return AddEvent(evtype::kMessage, evdir::kOutgoing, text, 0, account_.Status(), kMoodNone);
}

bool CHistory::dbLoad(uint8_t kind, bool pendingOnly) {
    if ((kind == evtype::kMessage && MessagesLoaded()) ||
        (kind == evtype::kStatusChange && StatusChangesLoaded())) {
        return true;
    }
    return DbWork(u"CHistory::dbLoad(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        std::u16string sql = u"SELECT * FROM History WHERE AccID=? AND ContactID=? AND EventType=?";
        if (pendingOnly) sql += u" AND (Sent=0 OR Delivered=0) AND ErrorCode=0";
        CppSQLite3Command cmd = db.Prepare(sql);
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        cmd.BindInt(3, kind);
        KeepRowsOf(cmd);
        NoteOutboxChange();
        if (pendingOnly) {
            PendingRead();
        } else if (kind == evtype::kMessage) {
            messagesLoaded_.store(true);
        } else if (kind == evtype::kStatusChange) {
            statusLoaded_.store(true);
        }
        return true;
    });
}

void CHistory::PendingRead() {
    pendingLoaded_.store(true);
    ApplyUndeliveredRule();
}

void CHistory::dbLoadPending(CStoreAccount& account, std::span<CHistory* const> histories) {
    // Below this many, a query each (by the contact's index) costs less than one that reads
    // the messages of the whole account.
    constexpr size_t kLoadedApart = 16;
    std::vector<CHistory*> owed;
    for (CHistory* history : histories) {
        if (!history->PendingLoaded() && !history->MessagesLoaded()) owed.push_back(history);
    }
    if (owed.size() < kLoadedApart) {
        for (CHistory* history : owed) history->dbLoad(evtype::kMessage, true);
        return;
    }
    DbWork(u"CHistory::dbLoadPending(): ", [&] {
        CDatabase& db = account.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::unordered_map<int32_t, CHistory*> byContact;
        for (CHistory* history : owed) byContact.emplace(history->contact_.LocalID(), history);
        // The rows of each history, in number order as the index gives them.
        std::unordered_map<CHistory*, std::vector<EventFields>> found;
        {
            CppSQLite3Command cmd = db.Prepare(
                u"SELECT * FROM History WHERE AccID=? AND EventType=? AND (Sent=0 OR "
                u"Delivered=0) AND ErrorCode=0");
            cmd.BindInt(1, account.ID());
            cmd.BindInt(2, evtype::kMessage);
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            const HistoryColumns col = rows.IsEnd() ? HistoryColumns{} : HistoryColumns::Of(rows);
            const int contactColumn = rows.IsEnd() ? 0 : rows.ColumnIndex(u"ContactID");
            for (; !rows.IsEnd(); rows.Next()) {
                const auto it = byContact.find(rows.IntColumn(contactColumn, 0));
                if (it != byContact.end()) found[it->second].push_back(col.FieldsOf(rows));
            }
            rows.Finalize();
            cmd.Finalize();
        }
        for (CHistory* history : owed) {
            std::lock_guard lock(history->mutex_);
            // Loaded meanwhile (a chat page read them, under this same database lock).
            if (history->PendingLoaded() || history->MessagesLoaded()) continue;
            if (const auto rows = found.find(history); rows != found.end()) {
                std::unordered_set<int32_t> loaded;
                for (const EventPtr& e : history->events_) loaded.insert(e->Number());
                for (EventFields& f : rows->second) {
                    if (!loaded.insert(f.number).second) continue;
                    history->KeepEvent(std::make_shared<CHistoryEvent>(
                        &history->account_, &history->contact_, std::move(f)));
                }
                history->SortEvents();
            }
            history->NoteOutboxChange();
            history->PendingRead();
        }
        return true;
    });
}

void CHistory::ApplyUndeliveredRule() {
    std::lock_guard dbLock(account_.Contacts().Db().Mutex());
    std::lock_guard lock(mutex_);
    const int64_t now = MonthlessMinutes(account_.Contacts().Now());
    for (const EventPtr& e : events_) {
        if (!e->IsMessage() || !e->IsOutgoing() || e->Sent() == 0 || e->Delivered() != 0 ||
            e->ErrorCode() != 0) {
            continue;
        }
        if (now - MonthlessMinutes(e->EventTime()) > kUndeliveredLimitMinutes) {
            e->SetErrorCode(1);
            e->dbSave();
            e->Redraw();
        }
    }
}

std::vector<EventPtr> CHistory::PendingOutgoing() {
    // Read before the states: a change made while they are read counts as unseen.
    const int64_t changes = outboxChanges_.load();
    if (outboxQuietAt_.load() == changes) return {};
    std::lock_guard dbLock(account_.Contacts().Db().Mutex());
    std::lock_guard lock(mutex_);
    // With the messages in memory (pending ones or all of them) the time limit applies at once;
    // otherwise loading the pending ones applies it.
    if (PendingLoaded() || MessagesLoaded()) {
        ApplyUndeliveredRule();
    } else {
        dbLoad(evtype::kMessage, true);
    }
    pending_.clear();
    for (const EventPtr& e : events_) {
        if (e->AwaitsServer()) pending_.push_back(e);
    }
    if (pending_.empty()) outboxQuietAt_.store(changes);
    return pending_;
}

bool CHistory::DeleteRow(int32_t number, std::u16string_view logPrefix) {
    CDatabase& db = account_.Contacts().Db();
    return DbWork(logPrefix, [&] {
        CppSQLite3Command cmd =
            db.Prepare(u"DELETE FROM History WHERE AccID=? AND ContactID=? AND Number=?");
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        cmd.BindInt(3, number);
        db.Execute(cmd);
        TotalsChanged();
        return true;
    });
}

bool CHistory::DeleteEvent_FromDB(CHistoryEvent* event) {
    if (!event) return false;
    CDatabase& db = account_.Contacts().Db();
    std::lock_guard dbLock(db.Mutex());
    std::lock_guard lock(mutex_);
    auto it = std::find_if(events_.begin(), events_.end(),
                           [event](const EventPtr& e) { return e.get() == event; });
    if (it == events_.end()) return false;
    if (!DeleteRow(event->Number(), u"CHistory::DeleteEvent_FromDB(): ")) return false;
    Decrement(eventCount_);
    if (event->IsMessage()) {
        Decrement(messageCount_);
        Decrement(loadedMessageCount_);
        if (event->Unread()) Decrement(unreadCount_);
    }
    event->MarkRemoved();
    NoteRemoved(event);
    CHistoryEvent* before = it == events_.begin() ? nullptr : std::prev(it)->get();
    EventPtr doomed = std::move(*it);
    events_.erase(it);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), doomed), pending_.end());
    NoteRedraw(before);
    contact_.Redraw();
    return true;
}

bool CHistory::DeleteIfNewest(CHistoryEvent* event) {
    if (!event) return false;
    CDatabase& db = account_.Contacts().Db();
    std::lock_guard dbLock(db.Mutex());
    std::lock_guard lock(mutex_);
    if (event->Removed() || event->Number() != numberGiven_) return false;
    const bool kept = std::any_of(events_.begin(), events_.end(),
                                  [event](const EventPtr& e) { return e.get() == event; });
    if (kept) return DeleteEvent_FromDB(event);
    if (!DeleteRow(event->Number(), u"CHistory::DeleteIfNewest(): ")) return false;
    Decrement(eventCount_);
    event->MarkRemoved();
    return true;
}

bool CHistory::DeleteAllEvents_FromDB() {
    CDatabase& db = account_.Contacts().Db();
    std::lock_guard dbLock(db.Mutex());
    std::lock_guard lock(mutex_);
    try {
        CppSQLite3Command cmd = db.Prepare(u"DELETE FROM History WHERE AccID=? AND ContactID=?");
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        db.Execute(cmd);
    } catch (const CppSQLite3Exception& e) {
        LogDbError(u"CHistory::DeleteAllEvents_FromDB(): ", e);
        return false;
    }
    TotalsChanged();
    unreadCount_ = 0;
    eventCount_ = 0;
    messageCount_ = 0;
    storedMax_ = -1;
    // The loaded events go too: left in memory, a late save (the outbox) would bring them back.
    for (const EventPtr& e : events_) {
        e->MarkRemoved();
        NoteRemoved(e.get());
    }
    events_.clear();
    pending_.clear();
    loadedMessageCount_ = 0;
    NoteRedraw(nullptr);
    contact_.Redraw();
    return true;
}

void CHistory::MarkAllRead() {
    if (UnreadCount() == 0) return;
    int64_t newest = 0;
    {
        std::lock_guard lock(mutex_);
        newest = numberGiven_;
        for (const EventPtr& e : events_) {
            if (e->IsMessage() && e->Unread() != 0) e->SetUnread(0);
            newest = std::max<int64_t>(newest, e->Number());
        }
        // Nothing loaded and nothing added: every row is older than anything to come.
        if (newest == 0) newest = std::numeric_limits<int32_t>::max();
        unreadCount_ = 0;
    }
    // Every unread message of the contact up to the newest one now, loaded or not. The writer
    // thread stores it: the window thread, which reads the chat, never waits for the profile.
    const int32_t accountID = account_.ID();
    const int32_t contactID = contact_.LocalID();
    account_.Contacts().Db().Defer([accountID, contactID, newest](CDatabase& db) {
        DbWork(u"CHistory::MarkAllRead(): ", [&] {
            CppSQLite3Command cmd = db.Prepare(
                u"UPDATE History SET Unread=0 WHERE AccID=? AND ContactID=? AND EventType IN "
                u"(?,?) AND Unread<>0 AND Number<=?");
            cmd.BindInt(1, accountID);
            cmd.BindInt(2, contactID);
            cmd.BindInt(3, evtype::kMessage);
            cmd.BindInt(4, evtype::kMessageAlt);
            cmd.BindInt64(5, newest);
            db.Execute(cmd);
            return true;
        });
    });
    contact_.Redraw();
}

void CHistory::DropStatusChanges() {
    {
        std::lock_guard lock(mutex_);
        auto keep = std::stable_partition(events_.begin(), events_.end(), [](const EventPtr& e) {
            return e->EventType() != evtype::kStatusChange;
        });
        for (auto it = keep; it != events_.end(); ++it) {
            NoteRemoved(it->get());
        }
        events_.erase(keep, events_.end());
        statusLoaded_.store(false);
        windowStatus_ = false;
    }
    NoteRedraw(nullptr);
}

// ---- What a chat page is told ----------------------------------------------------------------

void CHistory::SetChatState(bool attached, bool open, bool seen) {
    attached_.store(attached);
    chatOpen_.store(attached && open);
    chatSeen_.store(attached && open && seen);
    if (!attached) {
        std::lock_guard lock(notesMutex_);
        notes_ = ViewNotes{};
    }
}

CHistory::ViewNotes CHistory::TakeViewNotes() {
    std::lock_guard lock(notesMutex_);
    return std::exchange(notes_, ViewNotes{});
}

void CHistory::NoteRedraw(const CHistoryEvent* event) {
    if (!Attached()) return;
    {
        std::lock_guard lock(notesMutex_);
        notes_.dirty = true;
        // A burst of changes keeps a bounded list: relayout from the top does for all.
        if (event == nullptr || notes_.redrawAt.size() >= kHistoryPageEvents) {
            notes_.redrawAt.clear();
            notes_.redrawAt.push_back(nullptr);
        } else if (notes_.redrawAt.empty() || notes_.redrawAt.front() != nullptr) {
            notes_.redrawAt.push_back(event);
        }
    }
    PublishNotes();
}

void CHistory::NoteScrollToEnd() {
    if (!Attached()) return;
    {
        std::lock_guard lock(notesMutex_);
        notes_.scrollToEnd = true;
    }
    PublishNotes();
}

void CHistory::NoteRemoved(const CHistoryEvent*) {
    if (!Attached()) return;
    {
        std::lock_guard lock(notesMutex_);
        notes_.dirty = true;
    }
    PublishNotes();
}

void CHistory::PublishNotes() {
    Changes().Publish(Change{Change::Kind::kHistory, account_.ID(), contact_.LocalID()});
}

}  // namespace zul
