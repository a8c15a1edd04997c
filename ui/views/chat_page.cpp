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
    history_.SetView(this);
    history_.dbLoad(evtype::kMessage, false);
    if (Options().HistoryShowStatusChanges) history_.dbLoad(evtype::kStatusChange, false);
    RefreshCaption();
    scrollPending_.store(true);
}

ChatPage::~ChatPage() {
    history_.SetView(nullptr);
    if (Host() != nullptr) Host()->RemovePage(this, MainWindow::kRemoveThenJump);
}

// ---- What the history reports ---------------------------------------------------------------

void ChatPage::RedrawAt(CHistoryEvent* event) {
    if (event != nullptr) {
        std::lock_guard lock(pendingMutex_);
        redrawAt_.push_back(event);
    }
    dirty_.store(true);
    MarkChanged();
}

void ChatPage::ScrollToEnd() {
    scrollPending_.store(true);
    MarkChanged();
}

void ChatPage::ItemRemoved(const CHistoryEvent*) {
    // Rows hold their events, so nothing dangles; the next merge drops the row (and the
    // focus with it).
    dirty_.store(true);
    MarkChanged();
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
    const std::vector<EventPtr>& events = history_.Events();
    size_t same = 0;
    while (same < rows_.size() && same < events.size() &&
           &rows_[same]->Event() == events[same].get())
        ++same;
    if (same == rows_.size() && same == events.size()) return;
    layoutFrom_ = std::min(layoutFrom_, same);

    // Rows whose events left the history lose the focus first, while the rows still match
    // what was drawn.
    std::unordered_set<const CHistoryEvent*> staying;
    for (size_t i = same; i < events.size(); ++i) staying.insert(events[i].get());
    if (auto* focused = dynamic_cast<EventRow*>(FocusedItem());
        focused != nullptr && staying.count(&focused->Event()) == 0) {
        const bool inTail =
            std::any_of(rows_.begin() + static_cast<std::ptrdiff_t>(same), rows_.end(),
                        [focused](const auto& row) { return row.get() == focused; });
        if (inTail) FocusItem(nullptr);
    }

    std::unordered_map<const CHistoryEvent*, std::unique_ptr<EventRow>> spare;
    for (size_t i = same; i < rows_.size(); ++i)
        spare.emplace(&rows_[i]->Event(), std::move(rows_[i]));
    rows_.resize(same);
    rows_.reserve(events.size());
    for (size_t i = same; i < events.size(); ++i) {
        auto it = spare.find(events[i].get());
        if (it != spare.end()) {
            rows_.push_back(std::move(it->second));
            spare.erase(it);
        } else {
            rows_.push_back(std::make_unique<EventRow>(events[i]));
        }
    }
}

bool ChatPage::Sync() {
    const bool dirty = dirty_.exchange(false);
    std::vector<const CHistoryEvent*> at;
    {
        std::lock_guard lock(pendingMutex_);
        at.swap(redrawAt_);
    }
    const bool captionChanged = RefreshCaption();
    const bool shapeChanged = !(CurrentShape(HostWidth()) == shape_);
    if (!dirty && at.empty() && !captionChanged && !shapeChanged) return false;
    if (dirty) MergeRows();
    // A redrawn event may have changed its time (sent): its grouping is decided again.
    for (const CHistoryEvent* event : at) {
        for (size_t i = rows_.size(); i-- > 0;) {
            if (&rows_[i]->Event() == event) {
                layoutFrom_ = std::min(layoutFrom_, i);
                break;
            }
        }
    }
    Relayout();
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
                  previous->Minutes() == minutes;
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
    for (size_t k = from; k < count; ++k) {
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
}

bool ChatPage::PrepareRows(int top, int bottom, int& moved) {
    moved = 0;
    if (rows_.empty() || shape_.width < 0) return false;
    // The row at the top of the view stays where it is on the screen.
    const auto begin = rows_.begin();
    const size_t anchor = static_cast<size_t>(FirstBelow(top) - begin);
    const auto anchorTop = [&] {
        return anchor < rows_.size() ? rows_[anchor]->top : contentBottom_;
    };
    const int anchorBefore = anchorTop();
    // The band of the canvas reaches at most its height either side of the view. Measured
    // rows may be shorter than their estimate and let more rows into that reach, so this
    // goes on until every row there is measured.
    const int64_t margin = Canvas::MaxSurfaceRows();
    bool changed = false;
    for (;;) {
        const int64_t shift = anchorTop() - anchorBefore;
        const int64_t low = std::max<int64_t>(top + shift - margin, INT_MIN);
        const int64_t high = bottom + shift + margin;
        size_t from = rows_.size();
        for (size_t k = static_cast<size_t>(FirstBelow(static_cast<int>(low)) - begin);
             k < rows_.size() && rows_[k]->top <= high; ++k) {
            if (rows_[k]->measured) continue;
            MeasureRow(k);
            from = std::min(from, k);
        }
        if (from == rows_.size()) break;
        PlaceRowsFrom(from);
        changed = true;
    }
    moved = anchorTop() - anchorBefore;
    return changed;
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
        const QString time = HeaderTime(event);
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
    return ResText(kTextNoMessages);
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
