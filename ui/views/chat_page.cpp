#include "ui/views/chat_page.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <unordered_set>

#include "accounts/account.h"
#include "accounts/status.h"
#include "storage/change_feed.h"
#include "storage/database.h"
#include "storage/options.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/message_editor.h"
#include "ui/notify/message_notification.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/chat_page_parts.h"
#include "ui/views/view_support.h"

namespace zul {
using namespace chat;

int64_t EventRow::Minutes() {
    const uint64_t time = event_->EventTime();
    if (!minutesKnown_ || time != minutesOf_) {
        minutes_ = MonthlessMinutes(time);
        minutesOf_ = time;
        minutesKnown_ = true;
    }
    return minutes_;
}

ChatPage::ChatPage(ContactPtr contact)
    : contact_(std::move(contact)), history_(contact_->History()) {
    history_.SetChatState(true, false, false);
    const Change mine{Change::Kind::kHistory, contact_->Account().ID(), contact_->LocalID()};
    feedToken_ = Changes().Subscribe([this, mine](const std::vector<Change>& batch) {
        if (std::find(batch.begin(), batch.end(), mine) == batch.end()) return;
        TakeHistoryNotes();
    });
    firstLoadDone_ = LoadPage(false);
    RefreshCaption();
    scrollPending_.store(true);
}

ChatPage::~ChatPage() {
    Changes().Unsubscribe(feedToken_);
    history_.SetChatState(false, false, false);
    if (Host() != nullptr) Host()->RemovePage(this, MainWindow::kRemoveThenJump);
}

// ---- What the history reports ---------------------------------------------------------------

void ChatPage::TakeHistoryNotes() {
    CHistory::ViewNotes notes = history_.TakeViewNotes();
    if (!notes.dirty && !notes.scrollToEnd && notes.redrawAt.empty()) return;
    if (notes.dirty) dirty_.store(true);
    if (notes.scrollToEnd) scrollPending_.store(true);
    redrawAt_.insert(redrawAt_.end(), notes.redrawAt.begin(), notes.redrawAt.end());
    MarkChanged();
}

void ChatPage::SetOpen(bool open) {
    open_ = open;
    history_.SetChatState(true, open_, open_ && windowActive_);
}

void ChatPage::WindowActivationChanged(bool active) {
    windowActive_ = active;
    SetOpen(open_);
}

EventRow* ChatPage::RowOf(const CHistoryEvent* event) const {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it)
        if (&(*it)->Event() == event) return it->get();
    return nullptr;
}

bool ChatPage::IsCurrent() const {
    return Host() != nullptr && Host()->CurrentPage() == this;
}

ChatPage::Shape ChatPage::CurrentShape(int width) const {
    const COptions& o = Options();
    return Shape{TextLevel(), o.HistoryGroupMessages != 0, o.HistorySeparatorMinutes,
                 o.HistoryShowStatusChanges != 0, width};
}

void ChatPage::MergeRows() {
    std::lock_guard lock(history_.Mutex());
    // Rows touched by a merge that was not laid out yet: their indices would move.
    if (!touched_.empty()) {
        layoutFrom_ = 0;
        touched_.clear();
    }
    const std::vector<EventPtr>& all = history_.Events();
    int64_t start = history_.WindowStart();
    if (start == CHistory::kNoWindow) start = 0;
    // Loaded events older than the window are the outbox's: not shown until it reaches them.
    const auto first = std::partition_point(all.begin(), all.end(), [start](const EventPtr& e) {
        return static_cast<int64_t>(e->Number()) < start;
    });
    const auto number = [](const CHistoryEvent& e) { return static_cast<uint32_t>(e.Number()); };
    if (static_cast<size_t>(all.end() - first) == rows_.size() &&
        std::equal(first, all.end(), rows_.begin(),
                   [](const EventPtr& e, const auto& row) { return e.get() == &row->Event(); }))
        return;

    // A focused row whose event left goes out of focus first, while the rows still match what
    // was drawn.
    if (auto* focused = dynamic_cast<EventRow*>(FocusedItem()); focused != nullptr) {
        const auto at =
            std::lower_bound(first, all.end(), number(focused->Event()),
                             [&](const EventPtr& e, uint32_t n) { return number(*e) < n; });
        if (at == all.end() || at->get() != &focused->Event()) FocusItem(nullptr);
    }

    // Both lists are in number order: one walk matches them.
    std::vector<std::unique_ptr<EventRow>> merged;
    merged.reserve(static_cast<size_t>(all.end() - first));
    size_t i = 0;
    auto j = first;
    bool afterChange = false;
    const auto touch = [this, &merged] { touched_.push_back(merged.size() - 1); };
    while (i < rows_.size() || j != all.end()) {
        if (j != all.end() && (i == rows_.size() || number(**j) < number(rows_[i]->Event()))) {
            merged.push_back(std::make_unique<EventRow>(*j++));
            touch();
            afterChange = true;
        } else if (j == all.end() || number(rows_[i]->Event()) < number(**j)) {
            ++i;  // its event left the history
            afterChange = true;
        } else {
            const bool same = j->get() == &rows_[i]->Event();
            merged.push_back(same ? std::move(rows_[i]) : std::make_unique<EventRow>(*j));
            if (!same || afterChange) touch();
            afterChange = !same;
            ++i;
            ++j;
        }
    }
    rows_.swap(merged);
    layoutFrom_ = std::min(layoutFrom_, rows_.size());
}

bool ChatPage::AtEnd() const {
    return -ContentOffset() + ViewHeight() >= contentBottom_ - 1;
}

bool ChatPage::LoadPage(bool older) {
    if (load_->running.load()) return false;
    CDatabase& db = contact_->Account().Contacts().Db();
    std::unique_lock profile(db.Mutex(), std::try_to_lock);
    if (profile.owns_lock()) {
        if (older) return history_.dbLoadOlder(kHistoryPageEvents) > 0;
        history_.dbLoadNewest(kHistoryPageEvents);
        return true;
    }
    load_->running.store(true);
    db.Defer([contact = contact_, load = load_, older](CDatabase&) {
        if (older)
            contact->History().dbLoadOlder(kHistoryPageEvents);
        else
            contact->History().dbLoadNewest(kHistoryPageEvents);
        load->arrived.store(true);
        load->running.store(false);
    });
    return false;
}

bool ChatPage::LoadOlderNear(int top) {
    if (!history_.HasOlder() || shape_.width < 0) return false;
    if (static_cast<int64_t>(top) - Canvas::MaxSurfaceRows() > CaptionHeight()) return false;
    if (!LoadPage(true)) return false;
    MergeRows();
    LayoutContent(shape_.width);
    return true;
}

bool ChatPage::Sync() {
    TakeHistoryNotes();
    // Rows read on the writer thread: merged here, with what is on the screen kept in place.
    const bool arrived = load_->arrived.exchange(false);
    if (arrived) firstLoadDone_ = true;
    if (arrived && !AtEnd()) {
        const auto below = FirstBelow(-ContentOffset());
        keepInPlace_ = below != rows_.end() ? below->get() : nullptr;
        keepInPlaceBottom_ = keepInPlace_ != nullptr ? keepInPlace_->top + keepInPlace_->height : 0;
    }
    const bool dirty = dirty_.exchange(false) || arrived;
    std::vector<const CHistoryEvent*> at = std::exchange(redrawAt_, {});
    const bool captionChanged = RefreshCaption();
    const bool shapeChanged = !(CurrentShape(HostWidth()) == shape_);
    if (!dirty && at.empty() && !captionChanged && !shapeChanged) return false;
    if (dirty) {
        // Left at its end, the page lets go of the older pages it read: a chat open for days
        // does not hold every message it showed.
        if (AtEnd() && rows_.size() > 2 * kHistoryPageEvents) {
            // It keeps what the view and twice the band's reach show (so that the band does
            // not reach the top and read again) and lets go once a page more came.
            const int64_t wanted =
                static_cast<int64_t>(ViewHeight()) + 2 * Canvas::MaxSurfaceRows();
            size_t keep = 0;
            for (int64_t covered = 0; keep < rows_.size() && covered < wanted; ++keep)
                covered += rows_[rows_.size() - 1 - keep]->height;
            keep = std::max(keep, kHistoryPageEvents);
            if (rows_.size() > keep + kHistoryPageEvents) {
                history_.ShrinkWindow(keep);
                scrollPending_.store(true);
            }
        }
        MergeRows();
    }
    // A redrawn event may have changed its time (sent): its grouping is decided again.
    for (const CHistoryEvent* event : at) {
        // Too many changes at once were noted as one: from the top.
        if (event == nullptr) layoutFrom_ = 0;
        for (size_t i = rows_.size(); i-- > 0;) {
            if (&rows_[i]->Event() == event) {
                layoutFrom_ = std::min(layoutFrom_, i);
                break;
            }
        }
    }
    Relayout();
    keepInPlace_ = nullptr;
    if (Host() != nullptr && scrollPending_.exchange(false)) ScrollToEndNow();
    return true;
}

bool ChatPage::RefreshCaption() {
    CContact& c = *contact_;
    const int icon = ContactRowIcon(c, blinkOn_);
    const bool auth = c.AwaitingAuth() != 0;
    const QString title = SingleLine(c.DisplayName());
    const QString subtitle = SingleLine(c.StatusLine());
    if (icon == captionIcon_ && auth == captionAuth_ && title == captionTitle_ &&
        subtitle == captionSubtitle_)
        return false;
    captionIcon_ = icon;
    captionAuth_ = auth;
    captionTitle_ = title;
    captionSubtitle_ = subtitle;
    CanvasLock guard(Caption());
    Caption().SetTitle(title, 0, true);
    Caption().SetSubtitle(subtitle, 2, true);
    const int size = ScaleX(16);
    Caption().SetIcons(IconById(icon, size), auth ? IconById(kIconAwaitingAuth, size) : QIcon());
    return true;
}

// ---- Layout and drawing ----------------------------------------------------------------------

void ChatPage::UpdateMetrics() {
    const int level = shape_.level;
    Metrics& m = metrics_;
    m.fullHeader = std::max(TextHeight(QStringLiteral("A"), level, true), ScaleY(22));
    m.groupedHeader = ScaleY(3);
    m.bodyWidth = std::max(1, shape_.width - 2 * ((Dpi::X() + 24) / 96));
    m.font = std::make_unique<QFontMetrics>(UiFont(level, false));
    m.oneLine = MeasureWrapped(QStringLiteral("A"), level, m.bodyWidth).height();
    m.charWidth = std::max(1, m.font->averageCharWidth());
}

void ChatPage::MeasureRow(size_t k) {
    EventRow& row = *rows_[k];
    const CHistoryEvent& event = row.Event();
    row.measured = true;
    row.shown = IsShown(event, shape_.statusChanges);
    if (!row.shown) {
        row.height = 0;
        row.grouped = row.separator = false;
        return;
    }
    // Grouping looks at the event shown before, measured or not: it depends on the events
    // alone.
    EventRow* previous = nullptr;
    for (size_t j = k; j-- > 0;) {
        if (IsShown(rows_[j]->Event(), shape_.statusChanges)) {
            previous = rows_[j].get();
            break;
        }
    }
    const int64_t minutes = row.Minutes();
    row.grouped = shape_.group && previous != nullptr && previous->Event().IsMessage() &&
                  event.IsMessage() && previous->Event().Direction() == event.Direction() &&
                  (previous->Event().Marked() != 0) == (event.Marked() != 0) &&
                  previous->Minutes() == minutes && FailureText(event).isEmpty();
    row.separator = previous != nullptr && minutes - previous->Minutes() > shape_.separatorMinutes;
    const Metrics& m = metrics_;
    int body = 0;
    if (event.IsMessage()) {
        if (row.bodyWidth != m.bodyWidth || row.bodyLevel != shape_.level) {
            const QString text = QString::fromStdU16String(event.Message());
            // Most messages are one short line: measured by their advance alone.
            row.bodyHeight =
                !HasLineBreakOrTab(text) && m.font->horizontalAdvance(text) <= m.bodyWidth
                    ? (text.isEmpty() ? 0 : m.oneLine)
                    : MeasureWrapped(text, shape_.level, m.bodyWidth).height();
            row.bodyWidth = m.bodyWidth;
            row.bodyLevel = shape_.level;
        }
        body = row.bodyHeight;
    }
    row.height = (row.grouped ? m.groupedHeader : m.fullHeader) + body;
}

void ChatPage::EstimateRow(size_t k) {
    EventRow& row = *rows_[k];
    const CHistoryEvent& event = row.Event();
    row.shown = IsShown(event, shape_.statusChanges);
    row.grouped = row.separator = false;
    // A hidden row takes no room whatever it holds: that is exact.
    row.measured = !row.shown;
    if (!row.shown) {
        row.height = 0;
        return;
    }
    const Metrics& m = metrics_;
    int body = 0;
    if (event.IsMessage()) {
        const int64_t advance = static_cast<int64_t>(event.Message().size()) * m.charWidth;
        const int64_t lines = advance == 0 ? 0 : 1 + advance / (m.bodyWidth + 1);
        body = static_cast<int>(std::min<int64_t>(lines * m.oneLine, 1 << 20));
    }
    row.height = m.fullHeader + body;
}

void ChatPage::PlaceRowsFrom(size_t k) {
    int y = CaptionHeight();
    if (k > 0 && k <= rows_.size()) y = rows_[k - 1]->top + rows_[k - 1]->height;
    const int width = shape_.width;
    for (; k < rows_.size(); ++k) {
        EventRow& row = *rows_[k];
        row.top = y;
        if (row.shown)
            row.SetRect(QRect(0, y, width, row.height));
        else
            row.ClearRect();
        y += row.height;
    }
    contentBottom_ = y;
    if (std::none_of(rows_.begin(), rows_.end(), [](const auto& r) { return r->shown; }))
        contentBottom_ = 0;
}

void ChatPage::LayoutContent(int width) {
    const Shape shape = CurrentShape(width);
    if (!(shape == shape_) || CaptionHeight() != captionHeight_) {
        shape_ = shape;
        captionHeight_ = CaptionHeight();
        layoutFrom_ = 0;
        UpdateMetrics();
        for (auto& row : rows_) row->measured = false;
    }
    const size_t count = rows_.size();
    size_t from = std::min(layoutFrom_, count);
    // Rows measured before keep their exactness (their text is measured already, so this
    // is cheap); the others are estimated.
    const size_t tail = from;
    for (const size_t k : touched_) {
        if (k >= tail) continue;  // laid out below with the rest
        if (rows_[k]->measured)
            MeasureRow(k);
        else
            EstimateRow(k);
        from = std::min(from, k);
    }
    touched_.clear();
    for (size_t k = tail; k < count; ++k) {
        if (rows_[k]->measured)
            MeasureRow(k);
        else
            EstimateRow(k);
    }
    // The newest rows are measured whatever is in view: the page opens at its end, and new
    // events arrive there.
    const int64_t wanted = static_cast<int64_t>(ViewHeight()) + Canvas::MaxSurfaceRows();
    int64_t covered = 0;
    for (size_t k = count; k-- > 0 && covered < wanted;) {
        if (!rows_[k]->measured) {
            MeasureRow(k);
            from = std::min(from, k);
        }
        covered += rows_[k]->height;
    }
    PlaceRowsFrom(from);
    layoutFrom_ = count;
    // Rows that came in above the view move it down by as much: what is on the screen stays.
    if (keepInPlace_ != nullptr && std::any_of(rows_.begin(), rows_.end(), [this](const auto& row) {
            return row.get() == keepInPlace_;
        }))
        SetContentOffset(ContentOffset() -
                         (keepInPlace_->top + keepInPlace_->height - keepInPlaceBottom_));
    keepInPlace_ = nullptr;
}

bool ChatPage::PrepareRows(int top, int bottom, int& moved) {
    moved = 0;
    if (rows_.empty() || shape_.width < 0) return false;
    // The row at the top of the view stays where it is on the screen (null: the view is below
    // the last row). Its bottom edge is kept: what changes in a row when older rows come in
    // before it (its header) is at its top.
    const auto below = FirstBelow(top);
    const EventRow* anchor = below != rows_.end() ? below->get() : nullptr;
    const auto anchorEdge = [&] {
        return anchor != nullptr ? anchor->top + anchor->height : contentBottom_;
    };
    const int anchorBefore = anchorEdge();
    // Near the top of what was read, the next older page comes in above. (A row whose event
    // left the history meanwhile went with the merge: then nothing is kept in place.)
    bool changed = LoadOlderNear(top);
    if (changed && anchor != nullptr &&
        std::none_of(rows_.begin(), rows_.end(),
                     [anchor](const auto& r) { return r.get() == anchor; }))
        return true;
    // The band of the canvas reaches at most its height either side of the view. Measured
    // rows may be shorter than their estimate and let more rows into that reach, so this
    // goes on until every row there is measured.
    const int64_t margin = Canvas::MaxSurfaceRows();
    for (;;) {
        const int64_t shift = anchorEdge() - anchorBefore;
        const int64_t low = std::max<int64_t>(top + shift - margin, INT_MIN);
        const int64_t high = bottom + shift + margin;
        size_t from = rows_.size();
        for (size_t k = static_cast<size_t>(FirstBelow(static_cast<int>(low)) - rows_.begin());
             k < rows_.size() && rows_[k]->top <= high; ++k) {
            if (rows_[k]->measured) continue;
            MeasureRow(k);
            from = std::min(from, k);
        }
        if (from == rows_.size()) break;
        // Placing the rows below costs as much as there are rows, so once rows above had to be
        // measured, the next reach above is measured with them: scrolling up places the rows
        // once every few screens, not at every frame.
        const int64_t ahead = low - margin;
        for (size_t k = from; k-- > 0 && rows_[k]->top + rows_[k]->height > ahead;) {
            if (rows_[k]->measured) continue;
            MeasureRow(k);
            from = k;
        }
        PlaceRowsFrom(from);
        changed = true;
    }
    moved = anchorEdge() - anchorBefore;
    return changed;
}

int ChatPage::ViewAim() {
    if (Host() == nullptr || !scrollPending_.load()) return ViewPage::ViewAim();
    return std::max(0, ContentHeight() - ViewHeight());
}

int ChatPage::ContentHeight() {
    return contentBottom_;
}

std::vector<std::unique_ptr<EventRow>>::const_iterator ChatPage::FirstBelow(int y) const {
    return std::upper_bound(rows_.begin(), rows_.end(), y,
                            [](int value, const std::unique_ptr<EventRow>& row) {
                                return value < row->top + row->height;
                            });
}

std::vector<ListItem*> ChatPage::AccessibleItems() {
    std::vector<ListItem*> items;
    for (const auto& row : rows_)
        if (row->shown) items.push_back(row.get());
    return items;
}

QString ChatPage::AccessibleText(const ListItem& item) {
    const CHistoryEvent& event = static_cast<const EventRow&>(item).Event();
    const QString who =
        SingleLine(event.IsOutgoing() ? contact_->Account().OwnerNick() : contact_->DisplayName());
    return who + QStringLiteral(", ") + HeaderTime(event) + QStringLiteral(": ") +
           QString::fromStdU16String(event.Message());
}

ListItem* ChatPage::ItemAt(int x, int y) {
    for (auto it = FirstBelow(y); it != rows_.end() && (*it)->top <= y; ++it)
        if ((*it)->shown && (*it)->Rect().contains(x, y)) return it->get();
    return nullptr;
}

void ChatPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (auto it = FirstBelow(rect.top()); it != rows_.end() && (*it)->top <= rect.bottom(); ++it)
        if ((*it)->shown && (*it)->Rect().intersects(rect)) DrawEvent(painter, **it);
}

QString ChatPage::HeaderTime(const CHistoryEvent& event) const {
    if (event.Sent() == 0)
        return ResText(event.Account().Status() == -1 ? kTextAfterLogin : kTextSending);
    // A failed message says why where its time would be; the time stays in its details.
    if (const QString failure = FailureText(event); !failure.isEmpty()) return failure;
    return QString::fromStdU16String(event.TimeText(Options().HistoryGroupMessages == 0));
}

QString ChatPage::SenderText(const CHistoryEvent& event) const {
    if (event.IsMessage())
        return SingleLine(event.IsOutgoing() ? event.Account().OwnerNick()
                                             : contact_->DisplayName());
    if (!event.Message().empty()) return SingleLine(event.Message());
    const int32_t mood = event.StatusMood();
    if (mood >= 0 && mood < kMoodCount) return QString::fromStdU16String(MoodName(mood));
    return QString::fromStdU16String(StatusName(contact_->ProtocolKind(), event.Status()));
}

void ChatPage::DrawEvent(QPainter& painter, EventRow& row) {
    const CHistoryEvent& event = row.Event();
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const int level = shape_.level;

    // 1. Background.
    painter.fillRect(r, ItemBackground(selected, focused));

    // 2. The header: time (or sending state), sender, icon.
    if (!row.grouped) {
        const int header = std::max(TextHeight(QStringLiteral("A"), level, true), ScaleY(22));
        SelectFont(painter, level, true);
        painter.setPen(ItemTextColour(selected, focused, event.IsMessage()));
        const QString time = painter.fontMetrics().elidedText(HeaderTime(event), Qt::ElideRight,
                                                              std::max(0, r.width() - ScaleX(25)));
        const int timeWidth = painter.fontMetrics().horizontalAdvance(time);
        const int timeRight = r.x() + r.width() - ScaleX(3);
        const int timeLeft = timeRight - timeWidth;
        painter.drawText(QRect(timeLeft, r.y(), timeWidth, header),
                         Qt::AlignVCenter | Qt::AlignRight, time);
        const int senderLeft = r.x() + ScaleX(22);
        const int senderWidth = std::max(0, timeLeft - 2 - senderLeft);
        painter.drawText(QRect(senderLeft, r.y(), senderWidth, header),
                         Qt::AlignVCenter | Qt::AlignLeft,
                         ElideAtWord(painter.fontMetrics(), SenderText(event), senderWidth));
        const int icon = ScaleX(16);
        DrawIcon(painter, event.Icon(), QRect(r.x() + ScaleX(3), r.y() + ScaleY(3), icon, icon));
    }

    // 3. The message, word-wrapped; drawn as plain text whatever it holds.
    if (event.IsMessage()) {
        const QRect body =
            r.adjusted(ScaleX(1), row.grouped ? ScaleY(1) : ScaleY(20), -ScaleX(1), -ScaleY(1));
        SelectFont(painter, level, false);
        painter.setPen(ItemTextColour(selected, focused, true));
        painter.drawText(body, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs,
                         QString::fromStdU16String(event.Message()));
    }

    // 4. The separator after a long pause.
    if (row.separator) {
        painter.fillRect(QRect(r.x() + ScaleX(10), r.y(), r.width() - 2 * ScaleX(10), ScaleY(1)),
                         WindowTextColour());
    }
}

QString ChatPage::EmptyText() {
    // While the first page is read, the chat is not known to be empty.
    return firstLoadDone_ ? ResText(kTextNoMessages) : QString();
}

void ChatPage::ScrollToEndNow() {
    if (Host() == nullptr) {
        scrollPending_.store(true);
        return;
    }
    scrollPending_.store(false);
    ViewPage::ScrollToEnd(false);
}

}  // namespace zul
