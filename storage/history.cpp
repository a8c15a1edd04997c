#include "storage/history.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include "accounts/account.h"
#include "accounts/status.h"
#include "platform/error.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/options.h"

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

}  // namespace

CHistory::CHistory(CAccount* account, CContact* contact)
    : account_(RequireObject(account, u"Fatal error: No account fetched")),
      contact_(RequireObject(contact, u"Fatal error: No contact fetched")) {
    const int32_t accountID = account_.ID();
    const int32_t contactID = contact_.LocalID();
    try {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        unreadCount_ = Count(db,
                             u"SELECT COUNT(*) FROM History WHERE EventType=? AND AccID=? AND "
                             u"ContactID=? AND Unread=1",
                             {evtype::kMessage, accountID, contactID});
        messageCount_ =
            Count(db, u"SELECT COUNT(*) FROM History WHERE EventType=? AND AccID=? AND ContactID=?",
                  {evtype::kMessage, accountID, contactID});
        eventCount_ = Count(db, u"SELECT COUNT(*) FROM History WHERE AccID=? AND ContactID=?",
                            {accountID, contactID});
    } catch (const CppSQLite3Exception& e) {
        LogDbError(u"CHistory::CHistory(): ", e);
    }
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
    size_t excess = events_.size() - kDetachedEventsKept;
    bool droppedMessages = false;
    bool droppedStatusChanges = false;
    size_t out = 0;
    for (size_t in = 0; in < events_.size(); ++in) {
        const CHistoryEvent& e = *events_[in];
        if (excess > 0 && !e.AwaitsServer()) {
            --excess;
            if (e.IsMessage()) {
                Decrement(loadedMessageCount_);
                droppedMessages = true;
            } else {
                droppedStatusChanges = true;
            }
            continue;
        }
        if (out != in) events_[out] = std::move(events_[in]);
        ++out;
    }
    events_.resize(out);
    // What was loaded is no longer whole: the chat page loads it again.
    if (droppedMessages) messagesLoaded_.store(false);
    if (droppedStatusChanges) statusLoaded_.store(false);
}

void CHistory::SortEvents() {
    std::stable_sort(events_.begin(), events_.end(), [](const EventPtr& a, const EventPtr& b) {
        return static_cast<uint32_t>(a->Number()) < static_cast<uint32_t>(b->Number());
    });
}

EventPtr CHistory::AddEvent(uint8_t kind, uint8_t direction, const std::u16string& text,
                            uint64_t time, int32_t status, int32_t mood) {
    const uint64_t when = time != 0 ? time : account_.Contacts().Now();
    const bool message = kind == evtype::kMessage || kind == evtype::kMessageAlt;
    const bool incoming = direction == evdir::kIncoming;
    IHistoryView* view = View();
    const int32_t unread = (message && incoming && !(view && view->IsChatOpen())) ? 1 : 0;
    const int32_t sentAndDelivered = incoming ? 1 : 0;

    EventPtr event;
    bool kept = false;
    try {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        std::lock_guard lock(mutex_);
        // No rows for a contact whose row was deleted.
        if (contact_.Removed()) return nullptr;
        const int32_t last =
            std::max(Count(db, u"SELECT MAX(Number) FROM History WHERE AccID=? AND ContactID=?",
                           {account_.ID(), contact_.LocalID()}),
                     numberGiven_);
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
        event->dbSave();
        eventCount_.fetch_add(1);
        if (unread) unreadCount_.fetch_add(1);
        if (message) messageCount_.fetch_add(1);
        kept = KeepEvent(event);
        if (kept && View() == nullptr) TrimDetached();
        NoteOutboxChange();
    } catch (...) {
        WriteLog(kDbLog, u"БУХ ГДЕ НЕ ЖДАЛИ1");
        // Not stored, not kept: no one may take it for a row of the history.
        event.reset();
    }
    if (!event) return nullptr;

    if (kept) {
        try {
            if (view && view->IsChatOpen()) {
                view->RedrawAt(event.get());
                view->ScrollToEnd();
            }
        } catch (...) {
            WriteLog(kDbLog, u"БУХ ГДЕ НЕ ЖДАЛИ2");
        }
    }
    if (message) contact_.Redraw();
    if (message && incoming && !(view && view->IsChatSeen())) {
        if (INewMessageNotifier* notifier = NewMessageNotifier()) {
            notifier->NotifyNewMessage(contact_, u"<b>" + contact_.DisplayName() + u"</b> " + text);
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
        std::unordered_set<int32_t> loaded;
        for (const EventPtr& e : events_) loaded.insert(e->Number());
        CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
        // The columns are found by name once, not for every row of a long history.
        struct Columns {
            int time, number, errorCode, marked, delivered, sent, unread, mood, status, message,
                direction, type;
        } col{};
        if (!rows.IsEnd()) {
            col = {rows.ColumnIndex(u"EventTime"), rows.ColumnIndex(u"Number"),
                   rows.ColumnIndex(u"ErrorCode"), rows.ColumnIndex(u"Marked"),
                   rows.ColumnIndex(u"Delivered"), rows.ColumnIndex(u"Sent"),
                   rows.ColumnIndex(u"Unread"),    rows.ColumnIndex(u"StatusMood"),
                   rows.ColumnIndex(u"Status"),    rows.ColumnIndex(u"Message"),
                   rows.ColumnIndex(u"Direction"), rows.ColumnIndex(u"EventType")};
        }
        while (!rows.IsEnd()) {
            int timeBytes = 0;
            const uint8_t* timeBlob = rows.BlobColumn(col.time, timeBytes);
            const uint64_t time = DecodeEventTime(timeBlob, timeBytes);
            EventFields f{.number = rows.IntColumn(col.number, 0),
                          .status = rows.IntColumn(col.status, 0),
                          .statusMood = rows.IntColumn(col.mood, 0),
                          .eventType = static_cast<uint8_t>(rows.IntColumn(col.type, 0)),
                          .direction = static_cast<uint8_t>(rows.IntColumn(col.direction, 0)),
                          .message = rows.TextColumn(col.message, u""),
                          .unread = rows.IntColumn(col.unread, 0),
                          .sent = rows.IntColumn(col.sent, 0),
                          .delivered = rows.IntColumn(col.delivered, 0),
                          .marked = rows.IntColumn(col.marked, 0),
                          .errorCode = rows.IntColumn(col.errorCode, 0),
                          .eventTime = time};
            if (loaded.insert(f.number).second) {
                KeepEvent(std::make_shared<CHistoryEvent>(&account_, &contact_, std::move(f)));
            }
            rows.Next();
        }
        rows.Finalize();
        cmd.Finalize();
        NoteOutboxChange();
        if (pendingOnly) {
            pendingLoaded_.store(true);
            ApplyUndeliveredRule();
        } else if (kind == evtype::kMessage) {
            messagesLoaded_.store(true);
        } else if (kind == evtype::kStatusChange) {
            statusLoaded_.store(true);
        }
        SortEvents();
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
    IHistoryView* view = View();
    if (view) view->ItemRemoved(event);
    CHistoryEvent* before = it == events_.begin() ? nullptr : std::prev(it)->get();
    EventPtr doomed = std::move(*it);
    events_.erase(it);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), doomed), pending_.end());
    if (view) view->RedrawAt(before);
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
    unreadCount_ = 0;
    eventCount_ = 0;
    messageCount_ = 0;
    // The loaded events go too: left in memory, a late save (the outbox) would bring them back.
    IHistoryView* view = View();
    for (const EventPtr& e : events_) {
        e->MarkRemoved();
        if (view) view->ItemRemoved(e.get());
    }
    events_.clear();
    pending_.clear();
    loadedMessageCount_ = 0;
    if (view) view->RedrawAt(nullptr);
    contact_.Redraw();
    return true;
}

void CHistory::MarkAllRead() {
    if (UnreadCount() == 0) return;
    {
        // One transaction for the whole walk: a long unread list is one write, not hundreds.
        CTransaction transaction;
        std::lock_guard lock(mutex_);
        for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
            const EventPtr& e = *it;
            if (e->IsMessage() && e->Unread() != 0) {
                e->SetUnread(0);
                e->dbSave();
            }
        }
        transaction.Commit();
        unreadCount_ = 0;
    }
    contact_.Redraw();
}

void CHistory::DropStatusChanges() {
    {
        std::lock_guard lock(mutex_);
        IHistoryView* view = View();
        auto keep = std::stable_partition(events_.begin(), events_.end(), [](const EventPtr& e) {
            return e->EventType() != evtype::kStatusChange;
        });
        for (auto it = keep; it != events_.end(); ++it) {
            if (view) view->ItemRemoved(it->get());
        }
        events_.erase(keep, events_.end());
        statusLoaded_.store(false);
    }
    if (IHistoryView* view = View()) view->RedrawAt(nullptr);
}

}  // namespace zul
