// ChatPage: the conversation with one contact: its history, newest event last, over the
// shared message editor. Messages are bubbles, the contact's on the left and ours on the
// right, each with its time and, for ours, the mark of its sending state; status changes are
// quiet centred lines. Consecutive messages of one side a few minutes apart form one run of
// bubbles, every day begins with a line naming it, and a long pause gets a divider.
//
// Nothing calls the page from another thread: the history notes what changed and publishes a
// change on the feed (storage/change_feed.h); the page, subscribed on the window thread, takes
// the notes and the new events there (Sync).
//
// A history may hold a hundred thousand events, so the page reads only the newest page of them
// when it opens and older pages as the user scrolls up to them (the history's window), and
// measures only what is shown: the newest rows when it opens, and the rows in and around the
// view as it scrolls. Left open at its end, it lets go of all but the newest page again. The other
// rows get an estimated height from the length of their text. When estimated rows are
// measured the content moves by the difference above the view, so what is on the screen
// stays where it is. Measured heights are kept, and the canvas holds only a band of rows
// around the view.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QSize>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "storage/contacts.h"
#include "storage/history.h"
#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"

namespace zul {

// Commands of the chat page.
namespace chatcmd {
constexpr int kClose = 50000;
constexpr int kDetails = 50002;
constexpr int kClearHistory = 50003;
constexpr int kGrantAuthorisation = 50004;  // shown while the contact's request waits
constexpr int kDenyAuthorisation = 50005;
constexpr int kInsertEmoji = 50006;  // the emoji picker, over the editor
constexpr int kStatusChanges = 32854;
constexpr int kGroupMessages = 32873;
constexpr int kSizeLargest = 33833;
constexpr int kSizeLarger = 33832;
constexpr int kSizeMedium = 33831;
constexpr int kSizeSmaller = 33836;
constexpr int kSizeSmallest = 33834;
// The event menu.
constexpr int kCopy = 32869;
constexpr int kDelete = 32870;
constexpr int kSendAgain = 32871;
constexpr int kEventDetails = 32872;
}  // namespace chatcmd

// One event on the page, with its layout.
class EventRow : public ListItem {
  public:
    explicit EventRow(EventPtr event) : ListItem(kInert), event_(std::move(event)) {}

    CHistoryEvent& Event() const { return *event_; }
    const EventPtr& Shared() const { return event_; }
    // Minutes of the event's time as the grouping counts them; kept until the time changes.
    int64_t Minutes();

    bool shown = false;
    bool measured = false;      // the height is exact, not estimated
    bool grouped = false;       // no gap above: it continues the run of the message before it
    bool separator = false;     // a divider above it after a long pause
    bool daySeparator = false;  // the first event of its day: the day's line above it
    int top = 0;                // also kept for hidden rows, to search the rows by position
    int height = 0;
    // The text as measured (its widest line and its height), and what it was measured for.
    QSize textSize;
    bool wrapAnywhere = false;  // a word was longer than the line
    bool singleLine = false;    // the text takes one line
    int bodyWidth = -1;
    int bodyLevel = -1;
    // The inside of the bubble: the text and the time, which goes beside a single line of
    // text when it fits there and under the text otherwise.
    QSize inside;
    bool timeBeside = false;
    int failureHeight = 0;  // the reason under a failed message, with its gap
    // The time shown in the bubble, and the time and form it was made for.
    QString time;
    uint64_t timeOf = 0;
    int timeForm = -1;

  private:
    EventPtr event_;
    uint64_t minutesOf_ = 0;
    int64_t minutes_ = 0;
    bool minutesKnown_ = false;
};

class ChatPage : public ViewPage {
  public:
    explicit ChatPage(ContactPtr contact);
    ~ChatPage() override;

    // ---- What the history tells the page (window thread) -----------------------------------
    bool IsChatOpen() const { return open_; }
    void WindowActivationChanged(bool active) override;
    // Takes what the history noted since the last look: rows to merge and lay out again, the
    // view to go to its end.
    void TakeHistoryNotes();

    // ---- ViewPage ----------------------------------------------------------------------
    bool ChangedSinceLastPaint() override;
    std::vector<ListItem*> AccessibleItems() override;
    QString AccessibleText(const ListItem& item) override;
    int ContentHeight() override;
    void SlowTick() override;
    bool WantsTicks() const override;
    bool FillContextMenu(QMenu& menu) override;
    void ContextCommand(int id) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    void LayoutContent(int width) override;
    bool PrepareRows(int top, int bottom, int& moved) override;
    int ViewAim() override;
    QString EmptyText() override;
    void AddedToHost() override;
    void RemovedFromHost() override;
    void Activated() override;
    void Deactivated() override;
    bool LeftSoftKey(QString& label) override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void FillLeftKeyPopup(QMenu& menu) override;
    bool UsesEditor() override { return true; }
    bool EditorNotification(int code, const QString& text) override;
    void EditorTextChanged(const QString& text) override;
    // Escape and Ctrl+W close the chat, as its Close key does.
    bool GoBack() override;

    // The event menu: a failed outgoing message can be sent again; the details name its time
    // and its sending state.
    static bool CanSendAgain(const CHistoryEvent& event);
    static QString EventDetailsText(const CHistoryEvent& event);
    // Why an outgoing message failed, as the chat shows it; empty while it has not failed.
    static QString FailureText(const CHistoryEvent& event);
    // The sending state in words: received, waiting to be sent, sent, delivered, or why it
    // failed.
    static QString StateText(const CHistoryEvent& event);
    void Command(int id) override;
    ListItem* ItemAt(int x, int y) override;

    // ---- Operations --------------------------------------------------------------------
    // Takes what the history reported since the last call; true when the page changed.
    bool Sync();
    void ScrollToEndNow();
    CContact& Contact() const { return *contact_; }
    // "Details" of the "Contact" key opens the contact's details page through this.
    void SetDetailsOpener(std::function<void(const ContactPtr&)> opener) {
        detailsOpener_ = std::move(opener);
    }
    const std::vector<std::unique_ptr<EventRow>>& Rows() const { return rows_; }
    EventRow* RowOf(const CHistoryEvent* event) const;
    bool BlinkOn() const { return blinkOn_; }
    // The time of an event, or its sending state while it is not sent.
    QString HeaderTime(const CHistoryEvent& event) const;
    // Where a message's bubble is drawn (page coordinates); empty for other events.
    QRect BubbleRect(const EventRow& row) const;
    // Messages of one side this many minutes apart or less continue a run of bubbles.
    static constexpr int kRunMinutes = 2;

  private:
    // The settings that shape the layout, to notice changes made on another page.
    struct Shape {
        int level, group, separatorMinutes, statusChanges, width;
        bool operator==(const Shape&) const = default;
    };
    Shape CurrentShape(int width) const;
    // What every row's layout needs, worked out once per shape.
    struct Metrics {
        int fullHeader = 0;  // the line of a status change
        int dayBand = 0;     // the line naming a day
        int runGap = 0;      // above the first bubble of a run
        int bottomGap = 0;   // below every bubble
        int sideMargin = 0;  // between a bubble and the page's edge
        int padX = 0;        // inside a bubble, around its text
        int padY = 0;
        int radius = 0;       // a bubble's corners
        int tightRadius = 0;  // its corners that join the next or previous bubble of a run
        int bubbleMax = 1;    // the widest bubble
        int bodyWidth = 1;    // the widest text in a bubble
        int oneLine = 0;
        int charWidth = 1;
        int smallLevel = 0;  // the size level of the times, the day and the failure
        int smallHeight = 0;
        int markHeight = 0;    // of a sending-state mark
        int timeGap = 0;       // between the text and its time
        int markGap = 0;       // between the time and the mark
        int pendingWidth = 0;  // the widest text an unsent message shows for its time
        QFont bodyFont;        // of the messages' text
        std::unique_ptr<QFontMetrics> font;
        std::unique_ptr<QFontMetrics> small;
    };
    void UpdateMetrics();
    // Exact layout of row k (its grouping, separator and wrapped text); the place is not set.
    void MeasureRow(size_t k);
    // Estimated layout of row k from the length of its text.
    void EstimateRow(size_t k);
    // Sets the places of the rows from k on, one after the other.
    void PlaceRowsFrom(size_t k);

    // Matches the rows to the events of the history's window, by number: new rows and the row
    // after each insertion or removal (its grouping may change) go to touched_.
    void MergeRows();
    // Reads the next older page of the history when the view is near the top of the rows.
    bool LoadOlderNear(int top);
    // Reads a page of the history (the newest, or the next older one): at once when the
    // profile is free, else on the profile's writer thread, and the page takes the rows when
    // they are there (the window thread never waits for a session's burst). True when the rows
    // are there now.
    bool LoadPage(bool older);
    // The view shows the last row.
    bool AtEnd() const;
    bool RefreshCaption();
    // nextJoins: the next row continues this one's run.
    void DrawEvent(QPainter& painter, EventRow& row, bool nextJoins);
    void DrawDayLine(QPainter& painter, const QRect& band, uint64_t time) const;
    void DrawMessage(QPainter& painter, EventRow& row, bool nextJoins, bool selected, bool focused);
    // The time in a message's bubble (the sending state while it is not sent), made when its
    // time or form changes.
    const QString& BubbleTime(EventRow& row) const;
    // The room the time (and the mark) takes in a message's bubble.
    int TimeWidth(EventRow& row) const;
    QString SenderText(const CHistoryEvent& event) const;
    bool IsCurrent() const;
    void AfterOptionChange();
    void ChangeLevel(int level);
    std::vector<std::unique_ptr<EventRow>>::const_iterator FirstBelow(int y) const;

    ContactPtr contact_;
    std::function<void(const ContactPtr&)> detailsOpener_;
    CHistory& history_;
    std::vector<std::unique_ptr<EventRow>> rows_;
    size_t layoutFrom_ = 0;        // rows before it keep their places
    std::vector<size_t> touched_;  // rows to lay out again, wherever they are
    Shape shape_{-1, -1, -1, -1, -1};
    Metrics metrics_;
    int contentBottom_ = 0;
    int captionHeight_ = -1;
    bool blinkOn_ = false;
    uint32_t lastEdit_ = 0;  // tick of the last change in the editor

    // The caption as last shown.
    int captionIcon_ = -1;
    bool captionAuth_ = false;
    QString captionTitle_;
    QString captionSubtitle_;

    bool open_ = false;
    bool windowActive_ = false;  // the host window has the user's attention
    int feedToken_ = 0;
    // Tells the history whether the chat is open and seen.
    void SetOpen(bool open);
    std::atomic<bool> dirty_{true};
    std::atomic<bool> scrollPending_{false};
    // A page of the history being read on the writer thread; shared with its task, which may
    // outlive the page.
    struct PendingLoad {
        std::atomic<bool> running{false};
        std::atomic<bool> arrived{false};
    };
    std::shared_ptr<PendingLoad> load_ = std::make_shared<PendingLoad>();
    bool firstLoadDone_ = false;
    // The row at the top of the view when read rows arrived, and where its bottom edge was
    // then: the layout moves the view with it (null: nothing to keep).
    const EventRow* keepInPlace_ = nullptr;
    int keepInPlaceBottom_ = 0;
    std::vector<const CHistoryEvent*> redrawAt_;
};

}  // namespace zul
