#include "ui/views/chat_page.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <unordered_set>

#include "accounts/account.h"
#include "platform/local_time.h"
#include "storage/change_feed.h"
#include "storage/database.h"
#include "storage/options.h"
#include "storage/status.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/message_editor.h"
#include "ui/notify/message_notification.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/chat_page_look.h"
#include "ui/views/chat_page_parts.h"
#include "ui/views/emoji_text.h"
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
    // Rows touched by a merge that was not laid out yet: their indices would move.
    if (!touched_.empty()) {
        layoutFrom_ = 0;
        touched_.clear();
    }
    // Loaded events older than the window are the outbox's: not shown until it reaches them.
    const std::vector<EventPtr> all = history_.WindowEvents();
    const auto number = [](const CHistoryEvent& e) { return static_cast<uint32_t>(e.Number()); };
    if (all.size() == rows_.size() &&
        std::equal(all.begin(), all.end(), rows_.begin(),
                   [](const EventPtr& e, const auto& row) { return e.get() == &row->Event(); }))
        return;

    // A focused row whose event left goes out of focus first, while the rows still match what
    // was drawn.
    if (auto* focused = dynamic_cast<EventRow*>(FocusedItem()); focused != nullptr) {
        const auto at =
            std::lower_bound(all.begin(), all.end(), number(focused->Event()),
                             [&](const EventPtr& e, uint32_t n) { return number(*e) < n; });
        if (at == all.end() || at->get() != &focused->Event()) FocusItem(nullptr);
    }

    // Both lists are in number order: one walk matches them.
    std::vector<std::unique_ptr<EventRow>> merged;
    merged.reserve(all.size());
    size_t i = 0;
    auto j = all.begin();
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
    if (const std::optional<bool> moved = history_.TryLoadPage(older, kHistoryPageEvents))
        return *moved;
    load_->running.store(true);
    contact_->Account().Contacts().Db().Defer(
        [contact = contact_, load = load_, older](CDatabase&) {
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
    m.bodyFont = UiFont(level, false);
    m.font = std::make_unique<QFontMetrics>(m.bodyFont);
    m.smallLevel = std::min(level + 1, 5);
    m.small = std::make_unique<QFontMetrics>(UiFont(m.smallLevel, false));
    m.smallHeight = m.small->height();
    m.markHeight = std::max(ScaleY(10), m.small->ascent() + ScaleY(1));
    m.dayBand = QFontMetrics(UiFont(m.smallLevel, true)).height() + 2 * ScaleY(6);
    m.runGap = ScaleY(8);
    m.bottomGap = ScaleY(2);
    m.sideMargin = ScaleX(8);
    m.padX = ScaleX(8);
    m.padY = ScaleY(5);
    m.radius = ScaleY(10);
    m.tightRadius = ScaleY(3);
    m.timeGap = ScaleX(8);
    m.markGap = ScaleX(3);
    // A bubble takes at most about four fifths of the page, so that the side it keeps to
    // shows.
    const int width = std::max(1, shape_.width);
    m.bubbleMax = std::max(1, std::min(width * 78 / 100, width - 2 * m.sideMargin));
    m.bodyWidth = std::max(1, m.bubbleMax - 2 * m.padX);
    m.oneLine = MeasureWrapped(QStringLiteral("A"), level, m.bodyWidth).height();
    m.charWidth = std::max(1, m.font->averageCharWidth());
    m.pendingWidth = std::max(m.small->horizontalAdvance(ResText(kTextSending)),
                              m.small->horizontalAdvance(ResText(kTextAfterLogin)));
}

const QString& ChatPage::BubbleTime(EventRow& row) const {
    const CHistoryEvent& event = row.Event();
    // Unsent, it says so (and whether it waits for the next login) where its time goes.
    if (event.Sent() == 0 && event.IsOutgoing() && event.ErrorCode() == 0) {
        row.time = HeaderTime(event);
        row.timeForm = -1;
        return row.time;
    }
    const int form = Options().HistoryGroupMessages == 0 ? 1 : 0;
    if (row.timeForm != form || row.timeOf != event.EventTime()) {
        // The day is on its line above: the bubble has the time of day alone.
        const LocalTimeFields when = FileTimeToFields(event.EventTime());
        row.time = QString::fromStdU16String(FormatLocalTime(
            when, form != 0 ? TimeTextKind::TimeWithSeconds : TimeTextKind::TimeNoSeconds));
        row.timeOf = event.EventTime();
        row.timeForm = form;
    }
    return row.time;
}

int ChatPage::TimeWidth(EventRow& row) const {
    const Metrics& m = metrics_;
    const CHistoryEvent& event = row.Event();
    const Delivery state = DeliveryOf(event);
    // An unsent message keeps room for either of its texts: the account may sign on or off
    // while it waits.
    int width =
        state == Delivery::kPending ? m.pendingWidth : m.small->horizontalAdvance(BubbleTime(row));
    if (state != Delivery::kNone) width += m.markGap + DeliveryMarkWidth(state, m.markHeight);
    return width;
}

void ChatPage::MeasureRow(size_t k) {
    EventRow& row = *rows_[k];
    const CHistoryEvent& event = row.Event();
    row.measured = true;
    row.shown = IsShown(event, shape_.statusChanges);
    if (!row.shown) {
        row.height = 0;
        row.grouped = row.separator = row.daySeparator = false;
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
    constexpr int64_t kMinutesPerDay = 24 * 60;
    const int64_t minutes = row.Minutes();
    row.daySeparator =
        previous == nullptr || previous->Minutes() / kMinutesPerDay != minutes / kMinutesPerDay;
    row.separator = !row.daySeparator && minutes - previous->Minutes() > shape_.separatorMinutes;
    // A failed message stands alone: its reason is under it.
    row.grouped = shape_.group && !row.daySeparator && !row.separator &&
                  previous->Event().IsMessage() && event.IsMessage() &&
                  previous->Event().Direction() == event.Direction() &&
                  (previous->Event().Marked() != 0) == (event.Marked() != 0) &&
                  std::llabs(minutes - previous->Minutes()) <= kRunMinutes &&
                  DeliveryOf(event) != Delivery::kFailed &&
                  DeliveryOf(previous->Event()) != Delivery::kFailed;
    const Metrics& m = metrics_;
    const int day = row.daySeparator ? m.dayBand : 0;
    if (!event.IsMessage()) {
        row.height = day + m.fullHeader;
        return;
    }
    const QString text = QString::fromStdU16String(event.Message());
    if (row.bodyWidth != m.bodyWidth || row.bodyLevel != shape_.level) {
        if (emoji::HasColourEmoji(text)) {
            // Emoji are drawn from the colour font, whose pictures are as wide as that font
            // says: measured as drawn (DrawMessage).
            int lines = 0;
            row.textSize = emoji::Measure(m.bodyFont, m.bodyWidth,
                                          Qt::TextWordWrap | Qt::TextExpandTabs, text, &lines);
            row.wrapAnywhere = row.textSize.width() > m.bodyWidth;
            if (row.wrapAnywhere) {
                row.textSize =
                    emoji::Measure(m.bodyFont, m.bodyWidth,
                                   Qt::TextWrapAnywhere | Qt::TextExpandTabs, text, &lines);
            }
            row.singleLine = lines <= 1;
        } else {
            // Most messages are one short line: measured by their advance alone.
            const int advance = HasLineBreakOrTab(text) ? INT_MAX : m.font->horizontalAdvance(text);
            row.textSize = advance <= m.bodyWidth ? QSize(advance, text.isEmpty() ? 0 : m.oneLine)
                                                  : MeasureWrapped(text, shape_.level, m.bodyWidth);
            // A word longer than the bubble (a link, say) would run out of it: such a text
            // breaks anywhere.
            row.wrapAnywhere = row.textSize.width() > m.bodyWidth;
            if (row.wrapAnywhere) {
                row.textSize = m.font
                                   ->boundingRect(QRect(0, 0, m.bodyWidth, 1 << 24),
                                                  Qt::TextWrapAnywhere | Qt::TextExpandTabs, text)
                                   .size();
            }
            row.singleLine = row.textSize.height() <= m.oneLine;
        }
        row.textSize.setWidth(std::min(row.textSize.width(), m.bodyWidth));
        row.bodyWidth = m.bodyWidth;
        row.bodyLevel = shape_.level;
    }
    const int time = TimeWidth(row);
    const QSize& t = row.textSize;
    const int gap = t.width() > 0 ? m.timeGap : 0;
    row.timeBeside = row.singleLine && t.width() + gap + time <= m.bodyWidth;
    row.inside = row.timeBeside ? QSize(t.width() + gap + time, std::max(t.height(), m.smallHeight))
                                : QSize(std::max(t.width(), time), t.height() + m.smallHeight);
    row.failureHeight = 0;
    if (const QString failure = FailureText(event); !failure.isEmpty()) {
        row.failureHeight =
            m.padY +
            m.small->boundingRect(QRect(0, 0, m.bubbleMax, 1 << 20), Qt::TextWordWrap, failure)
                .height();
    }
    row.height = day + (row.grouped ? 0 : m.runGap) + 2 * m.padY + row.inside.height() +
                 row.failureHeight + m.bottomGap;
}

void ChatPage::EstimateRow(size_t k) {
    EventRow& row = *rows_[k];
    const CHistoryEvent& event = row.Event();
    row.shown = IsShown(event, shape_.statusChanges);
    row.grouped = row.separator = row.daySeparator = false;
    // A hidden row takes no room whatever it holds: that is exact.
    row.measured = !row.shown;
    if (!row.shown) {
        row.height = 0;
        return;
    }
    const Metrics& m = metrics_;
    if (!event.IsMessage()) {
        row.height = m.fullHeader;
        return;
    }
    const int64_t advance = static_cast<int64_t>(event.Message().size()) * m.charWidth;
    const int64_t lines = advance == 0 ? 0 : 1 + advance / (m.bodyWidth + 1);
    const int body = static_cast<int>(std::min<int64_t>(lines * m.oneLine, 1 << 20));
    row.inside =
        QSize(m.bodyWidth, lines > 1 ? body + m.smallHeight : std::max(body, m.smallHeight));
    row.timeBeside = lines <= 1;
    row.failureHeight = 0;
    row.height = m.runGap + 2 * m.padY + row.inside.height() + m.bottomGap;
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
    // before it (its day's line, the gap of its run) is above its bubble.
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
    // What the marks show, in words: our message's sending state, or its failure.
    QString text = who + QStringLiteral(", ") + QString::fromStdU16String(event.TimeText(false));
    if (DeliveryOf(event) != Delivery::kNone) text += QStringLiteral(", ") + StateText(event);
    return text + QStringLiteral(": ") +
           (event.IsMessage() ? QString::fromStdU16String(event.Message()) : SenderText(event));
}

ListItem* ChatPage::ItemAt(int x, int y) {
    for (auto it = FirstBelow(y); it != rows_.end() && (*it)->top <= y; ++it)
        if ((*it)->shown && (*it)->Rect().contains(x, y)) return it->get();
    return nullptr;
}

void ChatPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (auto it = FirstBelow(rect.top()); it != rows_.end() && (*it)->top <= rect.bottom(); ++it) {
        if (!(*it)->shown || !(*it)->Rect().intersects(rect)) continue;
        auto next = it + 1;
        while (next != rows_.end() && !(*next)->shown) ++next;
        DrawEvent(painter, **it, next != rows_.end() && (*next)->grouped);
    }
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

QRect ChatPage::BubbleRect(const EventRow& row) const {
    if (!row.shown || !row.Event().IsMessage()) return {};
    const Metrics& m = metrics_;
    const int width = row.inside.width() + 2 * m.padX;
    const int height = row.inside.height() + 2 * m.padY;
    const int top = row.top + (row.daySeparator ? m.dayBand : 0) + (row.grouped ? 0 : m.runGap);
    const int left = row.Event().IsOutgoing() ? shape_.width - m.sideMargin - width : m.sideMargin;
    return QRect(left, top, width, height);
}

void ChatPage::DrawDayLine(QPainter& painter, const QRect& band, uint64_t time) const {
    const QString label = DayLabel(time, contact_->Account().Contacts().Now());
    const QFont font = UiFont(metrics_.smallLevel, true);
    const QFontMetrics fm(font);
    const int margin = ScaleX(12);
    const int room = std::max(0, band.width() - 2 * margin);
    const QString shown = fm.elidedText(label, Qt::ElideRight, room);
    const int textWidth = fm.horizontalAdvance(shown);
    const int textLeft = band.x() + (band.width() - textWidth) / 2;
    const int middle = band.y() + band.height() / 2;
    const int gap = ScaleX(8);
    const int thickness = std::max(1, ScaleY(1));
    const QColor divider = DividerColour();
    painter.fillRect(QRect(band.x() + margin, middle,
                           std::max(0, textLeft - gap - band.x() - margin), thickness),
                     divider);
    const int rightStart = textLeft + textWidth + gap;
    painter.fillRect(QRect(rightStart, middle,
                           std::max(0, band.x() + band.width() - margin - rightStart), thickness),
                     divider);
    painter.setFont(font);
    painter.setPen(GreyTextColour());
    painter.drawText(QRect(textLeft, band.y(), textWidth, band.height()), Qt::AlignCenter, shown);
}

void ChatPage::DrawEvent(QPainter& painter, EventRow& row, bool nextJoins) {
    const CHistoryEvent& event = row.Event();
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const Metrics& m = metrics_;

    // 1. The day's line above its first event.
    if (row.daySeparator)
        DrawDayLine(painter, QRect(r.x(), r.y(), r.width(), m.dayBand), event.EventTime());

    // 2. A message: a bubble on its sender's side.
    if (event.IsMessage()) {
        DrawMessage(painter, row, nextJoins, selected, focused);
        return;
    }

    // 3. A status change: a quiet line in the middle, its icon, what it says and its time.
    const QRect line = r.adjusted(0, row.daySeparator ? m.dayBand : 0, 0, 0);
    if (selected) painter.fillRect(line, ItemBackground(true, focused));
    SelectFont(painter, shape_.level, false);
    const QFontMetrics fm = painter.fontMetrics();
    const int icon = ScaleX(16);
    const int gap = ScaleX(4);
    const QString time = QString::fromStdU16String(event.TimeText(false));
    const QString text = ElideAtWord(fm, SenderText(event) + QStringLiteral(" \u00B7 ") + time,
                                     std::max(0, line.width() - 2 * ScaleX(12) - icon - gap));
    const int textWidth = emoji::HasColourEmoji(text)
                              ? emoji::Measure(painter.font(), 1 << 20, 0, text).width()
                              : fm.horizontalAdvance(text);
    const int width = std::min(icon + gap + textWidth, line.width());
    const int left = line.x() + (line.width() - width) / 2;
    DrawIcon(painter, event.Icon(), QRect(left, line.y() + (line.height() - icon) / 2, icon, icon));
    painter.setPen(selected ? ItemTextColour(true, focused, true) : GreyTextColour());
    emoji::Draw(painter, QRect(left + icon + gap, line.y(), width - icon - gap, line.height()),
                Qt::AlignVCenter | Qt::AlignLeft, text);
}

void ChatPage::DrawMessage(QPainter& painter, EventRow& row, bool nextJoins, bool selected,
                           bool focused) {
    const CHistoryEvent& event = row.Event();
    const QRect r = row.Rect();
    const Metrics& m = metrics_;
    const bool outgoing = event.IsOutgoing();
    const QRect bubble = BubbleRect(row);

    // 1. The divider after a long pause, in the gap above the bubble.
    if (row.separator) {
        painter.fillRect(QRect(r.x() + ScaleX(10), bubble.top() - m.runGap / 2,
                               r.width() - 2 * ScaleX(10), std::max(1, ScaleY(1))),
                         DividerColour());
    }

    // 2. The bubble; the corners on the sender's side are tight where the run goes on.
    BubbleColours colours = outgoing ? OutgoingBubble() : IncomingBubble();
    if (selected) {
        const QColor text = ItemTextColour(true, focused, true);
        colours = BubbleColours{ItemBackground(true, focused), text, text};
    }
    const qreal round = m.radius;
    const qreal top = row.grouped ? m.tightRadius : m.radius;
    const qreal bottom = nextJoins ? m.tightRadius : m.radius;
    const QPainterPath path = outgoing ? RoundedBox(QRectF(bubble), round, top, bottom, round)
                                       : RoundedBox(QRectF(bubble), top, round, round, bottom);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, colours.fill);
    painter.restore();

    // 3. The text, word-wrapped as it was measured; drawn as plain text whatever it holds, its
    // emoji in colour.
    const QRect inside = bubble.adjusted(m.padX, m.padY, -m.padX, -m.padY);
    painter.setFont(m.bodyFont);
    painter.setPen(colours.text);
    emoji::Draw(painter, QRect(inside.x(), inside.y(), m.bodyWidth, row.textSize.height()),
                Qt::AlignLeft | Qt::AlignTop | Qt::TextExpandTabs |
                    (row.wrapAnywhere ? Qt::TextWrapAnywhere : Qt::TextWordWrap),
                QString::fromStdU16String(event.Message()));

    // 4. The time at the bottom right, and after it the mark of our message's state.
    const Delivery state = DeliveryOf(event);
    const int timeTop = inside.y() + inside.height() - m.smallHeight;
    int right = inside.x() + inside.width();
    if (state != Delivery::kNone) {
        const int markWidth = DeliveryMarkWidth(state, m.markHeight);
        DrawDeliveryMark(painter, state,
                         QRect(right - markWidth, timeTop + (m.smallHeight - m.markHeight) / 2,
                               markWidth, m.markHeight),
                         colours.secondary);
        right -= markWidth + m.markGap;
    }
    SelectFont(painter, m.smallLevel, false);
    painter.setPen(colours.secondary);
    const int timeLeft = row.timeBeside ? inside.x() + row.textSize.width() : inside.x();
    const QRect timeRect(timeLeft, timeTop, std::max(0, right - timeLeft), m.smallHeight);
    painter.drawText(
        timeRect, Qt::AlignRight | Qt::AlignVCenter,
        painter.fontMetrics().elidedText(BubbleTime(row), Qt::ElideRight, timeRect.width()));

    // 5. Why a failed message did not go, under its bubble.
    if (row.failureHeight > 0) {
        const QRect below(outgoing ? bubble.right() + 1 - m.bubbleMax : bubble.left(),
                          bubble.bottom() + 1 + m.padY, m.bubbleMax, row.failureHeight - m.padY);
        painter.setPen(FailureTextColour());
        painter.drawText(
            below, (outgoing ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop | Qt::TextWordWrap,
            FailureText(event));
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
