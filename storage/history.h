// The history of one contact: CHistory numbers, stores, loads, counts and deletes its events;
// CHistoryEvent is one event (a message in either direction, or a status change) and writes
// its own row of the History table.
//
// The chat page lives in the user interface; the history never calls it: it keeps notes of
// what changed for a page that is attached and publishes a change on the feed. Events are shared
// pointers so that a thread sending an event keeps it alive while the user deletes it; a deleted
// event never writes its row again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zul {

class CStoreAccount;
class CContact;
class CHistoryEvent;
class CppSQLite3Command;

using EventPtr = std::shared_ptr<CHistoryEvent>;

// Event kinds (EventType). Kind 3 counts and draws like a message.
namespace evtype {
constexpr uint8_t kStatusChange = 1;
constexpr uint8_t kMessage = 2;
constexpr uint8_t kMessageAlt = 3;
}  // namespace evtype

// Directions.
namespace evdir {
constexpr uint8_t kIncoming = 0;
constexpr uint8_t kOutgoing = 1;
}  // namespace evdir

// Icons of message events.
namespace histicon {
constexpr int kMessage = 207;  // incoming, or outgoing and delivered
constexpr int kPending = 192;  // outgoing, not yet delivered
constexpr int kError = 188;    // outgoing, given up
}  // namespace histicon

// The error code of an outgoing message the server refused: this base plus the server's code
// (1 is a message given up unanswered).
constexpr int32_t kErrorRefusedBase = 0x10000;

// Minutes after which a sent but unacknowledged message is given up.
constexpr int kUndeliveredLimitMinutes = 9;

// Events a history keeps in memory while no chat page shows it, besides the outgoing messages
// still to be sent or acknowledged. Every event is in the profile, and the chat page reads
// the pages it shows: a client receiving messages for days does not hold each one.
constexpr size_t kDetachedEventsKept = 16;

// Events the chat page reads at a time: the newest when it opens, then older ones as the user
// scrolls up.
constexpr size_t kHistoryPageEvents = 200;

// Raised by the history constructors when the account or the contact is missing; it carries
// only its text.
class CFatalError : public std::runtime_error {
  public:
    explicit CFatalError(std::u16string text);
    const std::u16string& Text() const { return text_; }

  private:
    std::u16string text_;
};

// The new-message notification, set process-wide by the user interface.
class INewMessageNotifier {
  public:
    virtual ~INewMessageNotifier() = default;
    // `text` is "<b>" + display name + "</b> " + the message.
    virtual void NotifyNewMessage(CContact& contact, const std::u16string& text) = 0;
    // A message to the chat the user is looking at: no notification, at most a sound.
    virtual void NotifySeenMessage(CContact& contact) {}
};
void SetNewMessageNotifier(INewMessageNotifier* notifier);
INewMessageNotifier* NewMessageNotifier();

// "Now" of the histories, as a local file time. Tests install a fixed clock; an empty
// function restores the device clock.
void SetHistoryClock(std::function<uint64_t()> clock);
uint64_t HistoryNow();

// Minutes of a local file time counted with every month as 31 days:
// ((year × 8928 + month × 744 + day × 24 + hour) × 60 + minute).
int64_t MonthlessMinutes(uint64_t fileTime);

// The 8-byte EventTime blob: low 32-bit word first, each word little-endian. A NULL or short
// blob reads as 0.
void EncodeEventTime(uint64_t time, uint8_t out[8]);
uint64_t DecodeEventTime(const uint8_t* bytes, int count);

// What an event is made of: its row of the History table.
struct EventFields {
    int32_t number = 0;
    int32_t status = 0;
    int32_t statusMood = 0;
    uint8_t eventType = 0;
    uint8_t direction = 0;
    std::u16string message{};
    int32_t unread = 0;
    int32_t sent = 0;
    int32_t delivered = 0;
    int32_t marked = 0;
    int32_t errorCode = 0;
    uint64_t eventTime = 0;
};

class CHistoryEvent {
  public:
    static constexpr int kItemKind = 4;

    // A missing account or contact raises CFatalError.
    CHistoryEvent(CStoreAccount* account, CContact* contact, EventFields fields);
    CHistoryEvent(const CHistoryEvent&) = delete;
    CHistoryEvent& operator=(const CHistoryEvent&) = delete;

    CStoreAccount& Account() const { return account_; }
    CContact& Contact() const { return contact_; }

    int32_t Number() const { return number_; }
    int32_t Status() const { return status_; }
    int32_t StatusMood() const { return statusMood_; }
    uint8_t EventType() const { return eventType_; }
    uint8_t Direction() const { return direction_; }
    const std::u16string& Message() const { return message_; }
    bool IsMessage() const;
    bool IsOutgoing() const { return direction_ == evdir::kOutgoing; }

    int32_t Unread() const { return unread_.load(); }
    int32_t Sent() const { return sent_.load(); }
    int32_t Delivered() const { return delivered_.load(); }
    int32_t Marked() const { return marked_.load(); }
    int32_t ErrorCode() const { return errorCode_.load(); }
    uint64_t EventTime() const { return eventTime_.load(); }
    // An outgoing message the session still has to send or see acknowledged (the outbox).
    bool AwaitsServer() const {
        return IsMessage() && IsOutgoing() && (Sent() == 0 || Delivered() == 0) && ErrorCode() == 0;
    }
    // The setters change memory only (and the icon); call dbSave where it must persist.
    void SetUnread(int32_t v);
    void SetSent(int32_t v);
    void SetDelivered(int32_t v);
    void SetMarked(int32_t v);
    void SetErrorCode(int32_t v);
    void SetEventTime(uint64_t time);

    int Icon() const { return icon_.load(); }
    // Time of day with or without seconds, led by the short date when not today. Made on
    // first use, on the thread that draws.
    std::u16string TimeText(bool withSeconds) const;

    // Writes the row (REPLACE). False (logged) on a database error; false without writing
    // once the event was deleted.
    bool dbSave();
    // Asks the chat page to redraw at this event.
    void Redraw();

    bool Removed() const { return removed_.load(); }
    void MarkRemoved() { removed_.store(true); }

  private:
    void RecomputeIcon();
    void RecomputeTimeTexts() const;

    CStoreAccount& account_;
    CContact& contact_;
    const int32_t number_;
    const int32_t status_;
    const int32_t statusMood_;
    const uint8_t eventType_;
    const uint8_t direction_;
    const std::u16string message_;
    std::atomic<int32_t> unread_, sent_, delivered_, marked_, errorCode_;
    std::atomic<uint64_t> eventTime_;
    std::atomic<int> icon_{0};
    std::atomic<bool> removed_{false};
    mutable std::mutex timeMutex_;  // guards the two time texts, made on first use
    mutable std::u16string timeShort_, timeLong_;
};

// Counts of a history that its maker read already (-1: not read). The contact list's load
// reads them for every contact: the unread counts in one walk of their index, the others from
// the contact's HistoryTotals row when the profile kept it (the message and event counts given
// are what that row holds; a newest number not given is looked up when the first event comes).
struct HistoryCounts {
    int32_t unread = -1;
    int32_t messages = -1;
    int32_t events = -1;
    int32_t newest = -1;  // the newest event's number (0: no event)
    // The message and event counts are what the HistoryTotals row holds (a new contact's
    // known counts are not: its row is written at the next save of the counts).
    bool stored = true;
};

class CHistory {
  public:
    // A missing account or contact raises CError. An unread count not given is read here; the
    // message and event counts not given are counted on first use.
    CHistory(CStoreAccount* account, CContact* contact, HistoryCounts counts = {});
    ~CHistory();
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    CStoreAccount& Account() const { return account_; }
    CContact& Contact() const { return contact_; }

    // ---- What a chat page of this history is told ------------------------------------------
    // The window thread says whether a chat page shows the history (it then keeps what it
    // loaded), whether that chat is open (incoming messages are read at once) and seen (open
    // in a window with the user's attention: no bubble, no sound). Any thread reads them.
    void SetChatState(bool attached, bool open, bool seen);
    bool Attached() const { return attached_.load(); }
    bool ChatOpen() const { return chatOpen_.load(); }
    bool ChatSeen() const { return chatSeen_.load(); }
    // What changed for the page since it last looked. The pointers only name rows (they are
    // compared, never followed): relayout from the earliest of them; `dirty` merges the rows
    // again (events added or removed).
    struct ViewNotes {
        bool dirty = false;
        bool scrollToEnd = false;
        std::vector<const CHistoryEvent*> redrawAt;
    };
    ViewNotes TakeViewNotes();
    // Any thread: the rows from this event on are drawn again (null: from the top); the view
    // goes to its end; the event is leaving the history. Each publishes a change for the
    // window, and only while a page is attached.
    void NoteRedraw(const CHistoryEvent* event);
    void NoteScrollToEnd();
    void NoteRemoved(const CHistoryEvent* event);

    // The history lock. Hold it while reading Events().
    std::recursive_mutex& Mutex() const { return mutex_; }
    const std::vector<EventPtr>& Events() const { return events_; }
    // Copies taken under the history lock, for readers that must not hold it (the window's).
    // The loaded events numbered from the window's start on (all of them while there is no
    // window), in number order: the outbox's messages older than the window are left out.
    std::vector<EventPtr> WindowEvents() const;
    // The newest loaded message that was not deleted; null when there is none.
    EventPtr NewestMessage() const;
    // The outgoing messages numbered `number` that the server has not answered yet (sent, not
    // delivered, no error): what its acknowledgement or refusal is about.
    std::vector<EventPtr> AwaitingServerWord(uint32_t number) const;

    // Loads the events of a kind (1 status changes, 2 messages) once; with `pendingOnly` only
    // the outgoing messages not yet delivered.
    bool dbLoad(uint8_t kind, bool pendingOnly);
    // The outgoing messages not yet delivered of many histories of one account, for those
    // that have not loaded them (nor every message): a sign-on's thousands of contacts cost
    // one query, not one each. A few are loaded each on its own.
    static void dbLoadPending(CStoreAccount& account, std::span<CHistory* const> histories);

    // ---- The window: the newest events of the history, as far back as the chat page has
    // read (by number, from the history's index). Every event of the kinds the page shows
    // (messages, and status changes while they are shown) numbered from WindowStart() on is
    // loaded; loaded events older than that are the outbox's and not part of it.
    //
    // Loads the newest `count` events when the window holds fewer (or there is none yet).
    bool dbLoadNewest(size_t count);
    // Loads up to `count` events just older than the window; how many came (0 at the
    // beginning of the history, or on a database error).
    size_t dbLoadOlder(size_t count);
    // One of the two at once, but only if no other thread holds the profile: the window thread
    // never waits for it. Empty while it is busy (nothing was read; the caller reads later, on
    // the profile's writer thread); otherwise whether the window moved: always for the newest,
    // for older events whether any came.
    std::optional<bool> TryLoadPage(bool older, size_t count);
    // With status changes shown, loads the ones of the window when it was read without them.
    void dbLoadWindowStatusChanges();
    // Lets go of the window's events but its newest `keep` (and the outbox's): a chat left open
    // at its end does not gather every message it ever showed.
    void ShrinkWindow(size_t keep);
    // The number the window starts at (0: the whole history); kNoWindow while there is none.
    static constexpr int64_t kNoWindow = INT64_MAX;
    int64_t WindowStart() const { return windowStart_.load(); }
    bool HasOlder() const { return WindowStart() > 0; }

    // Numbers, stores and appends a new event (time 0 means now). Never raises; returns the
    // event (also when it is not kept in memory), or null when it could not be made.
    EventPtr AddEvent(uint8_t kind, uint8_t direction, const std::u16string& text, uint64_t time,
                      int32_t status, int32_t mood);
    // The chat page's send: an outgoing message with the account's own status.
    EventPtr AddOutgoingMessage(const std::u16string& text);

    bool DeleteEvent_FromDB(CHistoryEvent* event);
    // Deletes the event's row when it is still the newest number given in this run (whether
    // or not the event is kept in memory); false otherwise.
    bool DeleteIfNewest(CHistoryEvent* event);
    // Deletes every event of the contact from the profile and from memory.
    bool DeleteAllEvents_FromDB();
    // Clears the unread state of every message of the contact, loaded or not.
    void MarkAllRead();
    // The outgoing messages still to be sent or acknowledged, in order. Once it found none,
    // it answers at once (no lock, no time rule) until something may have made one pending:
    // the session's idle pass asks every contact every second.
    std::vector<EventPtr> PendingOutgoing();
    // An event's sending state changed, or events were added: the next PendingOutgoing looks.
    void NoteOutboxChange() { outboxChanges_.fetch_add(1); }
    // Gives up sent messages that went unacknowledged for too long.
    void ApplyUndeliveredRule();
    // The status-change option was switched off: drops the loaded status changes.
    void DropStatusChanges();

    // Writes the message and event counts to HistoryTotals when they are known and the row
    // does not hold them (the caller may hold a transaction). Never throws.
    void dbSaveCounts();
    // A row of this history was written or removed: the profile dropped its HistoryTotals row.
    // Called with the database lock held.
    void TotalsChanged() { savedMessages_ = savedEvents_ = -1; }

    int32_t UnreadCount() const { return unreadCount_.load(); }
    // The first call counts in the profile: it takes the database lock, so no caller may hold
    // a model lock (the lock order puts the database first).
    int32_t EventCount() const;
    int32_t MessageCount() const;
    int32_t LoadedMessageCount() const { return loadedMessageCount_.load(); }
    bool MessagesLoaded() const { return messagesLoaded_.load(); }
    bool StatusChangesLoaded() const { return statusLoaded_.load(); }
    bool PendingLoaded() const { return pendingLoaded_.load(); }

  private:
    // Appends an event to memory as loading and adding do; false when it is not kept.
    bool KeepEvent(const EventPtr& event);
    // Without a chat page, drops the oldest loaded events beyond kDetachedEventsKept, except
    // outgoing messages the session still has to send or see acknowledged. Called with the
    // history lock held.
    void TrimDetached();
    void SortEvents();
    // Runs a query of History rows and keeps those not loaded yet, in number order. Called
    // with both locks held.
    void KeepRowsOf(CppSQLite3Command& cmd);
    // What loading the pending messages ends with. Called with both locks held.
    void PendingRead();
    // Drops the `excess` oldest events numbered from `from` on, except the outbox's messages
    // (which count toward `excess` when `outboxCounts`); `next` is the number after the last
    // one passed over. Called with the history lock held.
    struct Dropped {
        int64_t next;
        bool any;
    };
    Dropped DropOldest(int64_t from, size_t excess, bool outboxCounts);
    // Reads the rows of the shown kinds numbered below `below`, newest first, at most `limit`;
    // keeps those not loaded (in number order) and returns how many rows were read and the
    // lowest number among them. Called with both locks held.
    size_t ReadWindowRows(int64_t below, size_t limit, bool withStatus, int64_t& lowest);
    // The shown kinds of the window: status changes too while they are shown.
    bool ShowsStatusChanges() const;

    CStoreAccount& account_;
    CContact& contact_;
    std::atomic<bool> attached_{false}, chatOpen_{false}, chatSeen_{false};
    std::mutex notesMutex_;  // a leaf lock: taken for the notes alone
    ViewNotes notes_;
    void PublishNotes();
    mutable std::recursive_mutex mutex_;
    // Deletes the row of an event number; the caller holds the database lock.
    bool DeleteRow(int32_t number, std::u16string_view logPrefix);
    // The highest event number handed out in this run (under mutex_): a number whose row could
    // not be saved is never handed out again.
    int32_t numberGiven_ = 0;
    // The highest number in the profile when first asked or as the load read it (-1: not yet
    // read), under mutex_.
    int32_t storedMax_ = -1;
    std::vector<EventPtr> events_;
    std::vector<EventPtr> pending_;
    // Changes counted by NoteOutboxChange, and the count at which PendingOutgoing last found
    // nothing (-1: not yet).
    std::atomic<int64_t> outboxChanges_{0};
    std::atomic<int64_t> outboxQuietAt_{-1};
    // Counted on first use; -1 until then (under the database lock, as every change is).
    int32_t KnownCount(std::atomic<int32_t>& counter) const;
    std::atomic<int32_t> unreadCount_{0}, loadedMessageCount_{0};
    mutable std::atomic<int32_t> eventCount_{-1}, messageCount_{-1};
    // What the HistoryTotals row holds (-1: no row). Under the database lock.
    int32_t savedMessages_ = -1, savedEvents_ = -1;
    std::atomic<bool> messagesLoaded_{false}, statusLoaded_{false}, pendingLoaded_{false};
    std::atomic<int64_t> windowStart_{kNoWindow};
    bool windowStatus_ = false;  // the window holds the status changes (under mutex_)
};

}  // namespace zul
