#include <mutex>

#include "platform/local_time.h"
#include "platform/text.h"
#include "storage/account_data.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {
namespace {

std::mutex g_clockMutex;
std::function<uint64_t()> g_clock;

std::atomic<INewMessageNotifier*> g_notifier{nullptr};

template <typename T>
T& RequireFatal(T* object, const char16_t* text) {
    if (!object) throw CFatalError(text);
    return *object;
}

}  // namespace

CFatalError::CFatalError(std::u16string text)
    : std::runtime_error(ToUtf8(text)), text_(std::move(text)) {}

void SetNewMessageNotifier(INewMessageNotifier* notifier) {
    g_notifier.store(notifier);
}
INewMessageNotifier* NewMessageNotifier() {
    return g_notifier.load();
}

void SetHistoryClock(std::function<uint64_t()> clock) {
    std::lock_guard lock(g_clockMutex);
    g_clock = std::move(clock);
}

uint64_t HistoryNow() {
    {
        std::lock_guard lock(g_clockMutex);
        if (g_clock) return g_clock();
    }
    return LocalFileTimeNow();
}

int64_t MonthlessMinutes(uint64_t fileTime) {
    const LocalTimeFields f = FileTimeToFields(fileTime);
    return ((int64_t{f.year} * 8928 + f.month * 744 + f.day * 24 + f.hour) * 60) + f.minute;
}

void EncodeEventTime(uint64_t time, uint8_t out[8]) {
    const auto low = static_cast<uint32_t>(time);
    const auto high = static_cast<uint32_t>(time >> 32);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(low >> (8 * i));
        out[4 + i] = static_cast<uint8_t>(high >> (8 * i));
    }
}

uint64_t DecodeEventTime(const uint8_t* bytes, int count) {
    if (!bytes || count < 8) return 0;
    uint32_t low = 0, high = 0;
    for (int i = 0; i < 4; ++i) {
        low |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        high |= static_cast<uint32_t>(bytes[4 + i]) << (8 * i);
    }
    return (static_cast<uint64_t>(high) << 32) | low;
}

CHistoryEvent::CHistoryEvent(CStoreAccount* account, CContact* contact, EventFields f)
    : account_(RequireFatal(account, u"Fatal error: No account fetched")),
      contact_(RequireFatal(contact, u"Fatal error: No contact fetched")),
      number_(f.number),
      status_(f.status),
      statusMood_(f.statusMood),
      eventType_(f.eventType),
      direction_(f.direction),
      message_(std::move(f.message)),
      unread_(f.unread),
      sent_(f.sent),
      delivered_(f.delivered),
      marked_(f.marked),
      errorCode_(f.errorCode),
      eventTime_(f.eventTime) {
    RecomputeIcon();
}

bool CHistoryEvent::IsMessage() const {
    return eventType_ == evtype::kMessage || eventType_ == evtype::kMessageAlt;
}

void CHistoryEvent::SetUnread(int32_t v) {
    unread_.store(v);
}
void CHistoryEvent::SetMarked(int32_t v) {
    marked_.store(v);
}

// The sending state changes the contact's outbox; the history is told after the change.
void CHistoryEvent::SetSent(int32_t v) {
    sent_.store(v);
    RecomputeIcon();
    contact_.History().NoteOutboxChange();
}

void CHistoryEvent::SetDelivered(int32_t v) {
    delivered_.store(v);
    RecomputeIcon();
    contact_.History().NoteOutboxChange();
}

void CHistoryEvent::SetErrorCode(int32_t v) {
    errorCode_.store(v);
    RecomputeIcon();
    contact_.History().NoteOutboxChange();
}

void CHistoryEvent::SetEventTime(uint64_t time) {
    std::lock_guard lock(timeMutex_);
    eventTime_.store(time);
    timeShort_.clear();
    timeLong_.clear();
}

void CHistoryEvent::RecomputeIcon() {
    int icon = histicon::kMessage;
    if (eventType_ == evtype::kStatusChange) {
        icon = zul::StatusIcon(account_.EffectiveType(), status_, statusMood_);
    } else if (IsOutgoing()) {
        if (ErrorCode() != 0) {
            icon = histicon::kError;
        } else if (Delivered() == 0) {
            icon = histicon::kPending;
        }
    }
    icon_.store(icon);
}

void CHistoryEvent::RecomputeTimeTexts() const {
    const LocalTimeFields when = FileTimeToFields(EventTime());
    const LocalTimeFields today = FileTimeToFields(account_.Contacts().Now());
    std::u16string date;
    if (when.year != today.year || when.month != today.month || when.day != today.day) {
        date = FormatLocalTime(when, TimeTextKind::ShortDate) + u" ";
    }
    timeShort_ = date + FormatLocalTime(when, TimeTextKind::TimeNoSeconds);
    timeLong_ = date + FormatLocalTime(when, TimeTextKind::TimeWithSeconds);
}

std::u16string CHistoryEvent::TimeText(bool withSeconds) const {
    std::lock_guard lock(timeMutex_);
    if (timeShort_.empty()) RecomputeTimeTexts();
    return withSeconds ? timeLong_ : timeShort_;
}

bool CHistoryEvent::dbSave() {
    return DbWork(u"CHistoryEvent::dbSave():", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        // A deleted event (or one of a deleted contact) must not come back through a late save.
        if (Removed() || contact_.Removed()) return false;
        CppSQLite3Command cmd = db.Prepare(
            u"REPLACE INTO History (AccID,ContactID,EventType,Direction, "
            u"EventTime,Status,StatusMood,Unread,Sent,Delivered,Marked,Message,Number,ErrorCode) "
            u"VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        uint8_t time[8];
        EncodeEventTime(EventTime(), time);
        cmd.BindInt(1, account_.ID());
        cmd.BindInt(2, contact_.LocalID());
        cmd.BindInt(3, eventType_);
        cmd.BindInt(4, direction_);
        cmd.BindBlob(5, time, sizeof time);
        cmd.BindInt(6, status_);
        cmd.BindInt(7, statusMood_);
        cmd.BindInt(8, Unread());
        cmd.BindInt(9, Sent());
        cmd.BindInt(10, Delivered());
        cmd.BindInt(11, Marked());
        cmd.BindText(12, message_);
        cmd.BindInt(13, number_);
        cmd.BindInt(14, ErrorCode());
        db.Execute(cmd);
        contact_.History().TotalsChanged();
        return true;
    });
}

void CHistoryEvent::Redraw() {
    contact_.History().NoteRedraw(this);
}

}  // namespace zul
