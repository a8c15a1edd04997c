#include "ui/framework/scrollable_window.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QStyleHints>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>

#include "platform/tick.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/list_item.h"
#include "ui/framework/page_look.h"
#include "ui/framework/view_page.h"

namespace zul {
namespace {
ScrollableWindow::Clock g_clock = &GetTick;
}  // namespace

bool ScrollableWindow::pressed_ = false;

void ScrollableWindow::SetClock(Clock clock) {
    g_clock = clock != nullptr ? clock : &GetTick;
}

uint32_t ScrollableWindow::Now() {
    return g_clock();
}

ScrollableWindow::ScrollableWindow(QWidget* parent) : BaseWindow(parent), physics_(FlingGain()) {
    StartTimer(kTimerRest, kRestIntervalMs);
    // Moves without a button tell the pages where the pointer rests.
    setMouseTracking(true);
}

ScrollBounds ScrollableWindow::BoundsOf(ViewPage* page) const {
    return ScrollBounds::For(page != nullptr ? page->Height() : 0, ViewHeightOf(page));
}

QPoint ScrollableWindow::ToPage(const ViewPage* page, const QPoint& pos) const {
    return QPoint(pos.x() - PaneOf(page).x(), pos.y() - page->ContentOffset());
}

bool ScrollableWindow::Moving() const {
    if (physics_.Moving()) return true;
    ViewPage* page = ScrolledPage();
    return TimerActive(kTimerScroll) && page != nullptr &&
           BoundsOf(page).Outside(page->ContentOffset());
}

void ScrollableWindow::SetPageOffset(ViewPage* page, int offset) {
    page->ScrollTo(offset, ViewHeightOf(page));
    update();
}

void ScrollableWindow::wheelEvent(QWheelEvent* event) {
    if (!PointerPressed()) AimAt(event->position().toPoint(), false);
    ViewPage* page = ScrolledPage();
    if (page == nullptr || Sliding() || PointerPressed()) {
        event->ignore();
        return;
    }
    constexpr int kNotch = 120;  // angle units of one notch
    const int lineStep = fontMetrics().height() * 3;
    const int dy = !event->pixelDelta().isNull() ? event->pixelDelta().y()
                                                 : event->angleDelta().y() * lineStep / kNotch;
    if (dy == 0) {
        event->ignore();
        return;
    }
    ScrollCurrentPage(dy);
    event->accept();
}

void ScrollableWindow::contextMenuEvent(QContextMenuEvent* event) {
    ViewPage* page = ScrolledPage();
    event->accept();
    if (page == nullptr || Sliding() || !page->AcceptsInput()) return;
    // A right click opens what a hold opens; the Menu key and Shift+F10 open the menu of
    // the focused row.
    if (event->reason() == QContextMenuEvent::Mouse) {
        StopTimer(kTimerHold);
        AimAt(event->pos(), true);
        page = ScrolledPage();
        if (page == nullptr || !page->AcceptsInput()) return;
        const QPoint at = ToPage(page, event->pos());
        page->OnContextGesture(at.x(), at.y(), event->globalPos());
    } else {
        page->OpenFocusedContextMenu();
    }
}

bool ScrollableWindow::ScrollCurrentPage(int64_t dy) {
    ViewPage* page = ScrolledPage();
    if (page == nullptr || Sliding() || PointerPressed()) return false;
    StopMotion();
    const ScrollBounds bounds = BoundsOf(page);
    const int64_t target = std::clamp<int64_t>(page->ContentOffset() + dy, bounds.lowest, 0);
    SetPageOffset(page, static_cast<int>(target));
    return true;
}

bool ScrollableWindow::ScrollByKey(int key) {
    ViewPage* page = ScrolledPage();
    if (page == nullptr) return false;
    // A page step keeps a tenth of the view in sight, for the eye to follow.
    const int64_t step = std::max(1, (ViewHeightOf(page) - page->CaptionHeight()) * 9 / 10);
    constexpr int64_t kFar = int64_t{1} << 40;
    switch (key) {
        case Qt::Key_PageUp:
            return ScrollCurrentPage(step);
        case Qt::Key_PageDown:
            return ScrollCurrentPage(-step);
        case Qt::Key_Home:
            return ScrollCurrentPage(kFar);
        case Qt::Key_End:
            return ScrollCurrentPage(-kFar);
        default:
            return false;
    }
}

void ScrollableWindow::StopMotion() {
    physics_.Stop();
    StopTimer(kTimerScroll);
}

bool ScrollableWindow::WithinTapTolerance(const QPoint& pos) const {
    const int tolerance = TapTolerance();
    return std::abs(pos.x() - pressPoint_.x()) <= tolerance &&
           std::abs(pos.y() - pressPoint_.y()) <= tolerance;
}

QRect ScrollableWindow::IndicatorGrabRect() const {
    const QRect r = ScrollIndicatorRect();
    if (r.isEmpty()) return {};
    // Wider than the thin bar, so that a finger or a mouse finds it.
    return QRect(r.left() - ScaleX(14), r.top(), r.width() + ScaleX(18), r.height());
}

void ScrollableWindow::DragIndicatorTo(int y) {
    ViewPage* page = ScrolledPage();
    if (page == nullptr) return;
    const int64_t content = page->Height();
    const int64_t view = ViewHeightOf(page);
    if (content <= view || view <= 0) return;
    // The inverse of where the indicator is drawn: its top at view * -offset / content.
    const int64_t top = y - indicatorGrab_;
    const int offset = BoundsOf(page).Clamp(static_cast<int>(-top * content / view));
    if (offset != page->ContentOffset()) SetPageOffset(page, offset);
    update();
}

void ScrollableWindow::OnButtonDown(const QPoint& pos) {
    BaseWindow::OnButtonDown(pos);
    // Taken by the scroll indicator (found before the motion stops and hides it).
    if (const QRect grab = IndicatorGrabRect(); grab.contains(pos)) {
        StopTimer(kTimerScroll);
        physics_.Stop();
        indicatorDrag_ = true;
        indicatorGrab_ = pos.y() - grab.top();
        pressed_ = true;
        menuShown_ = false;
        return;
    }
    StopTimer(kTimerScroll);
    AimAt(pos, true);
    // A finger on moving content stops it; that press is not a tap on the page.
    wasMoving_ = physics_.Moving();
    physics_.Stop();
    pressPoint_ = movePoint_ = pointerPos_ = pos;
    pointerOver_ = true;
    pressTime_ = g_clock();
    pressed_ = true;
    menuShown_ = false;
    ViewPage* page = ScrolledPage();
    if (wasMoving_ || Sliding() || page == nullptr || !page->AcceptsInput()) return;
    const QPoint at = ToPage(page, pos);
    page->OnPress(at.x(), at.y());
    StartTimer(kTimerHold, QGuiApplication::styleHints()->mousePressAndHoldInterval());
    if (const ListItem* item = page->ItemAt(at.x(), at.y())) {
        holdRect_ = item->Rect().translated(pos - at);
        StartTimer(kTimerHoldFeedback, 30);
    }
}

int ScrollableWindow::HoldFeedbackAlpha() const {
    if (holdRect_.isEmpty() || !TimerActive(kTimerHold)) return 0;
    const uint32_t held = g_clock() - pressTime_;
    if (held <= kHoldFeedbackDelayMs) return 0;
    const int interval = QGuiApplication::styleHints()->mousePressAndHoldInterval();
    const double span = std::max(1.0, static_cast<double>(interval) - kHoldFeedbackDelayMs);
    const double progress = std::min(1.0, (held - kHoldFeedbackDelayMs) / span);
    return static_cast<int>(30 + 60 * progress);
}

void ScrollableWindow::DrawHoldFeedback(QPainter& painter) {
    const int alpha = HoldFeedbackAlpha();
    if (alpha == 0) return;
    // The text colour, faint: darkens a light page and lightens a dark one.
    QColor shade = WindowTextColour();
    shade.setAlpha(alpha);
    painter.fillRect(holdRect_, shade);
}

void ScrollableWindow::EndHoldFeedback() {
    StopTimer(kTimerHoldFeedback);
    if (holdRect_.isEmpty()) return;
    update(holdRect_);
    holdRect_ = QRect();
}

void ScrollableWindow::OnPointerEnter(const QPoint& pos) {
    pointerOver_ = true;
    pointerPos_ = pos;
}

void ScrollableWindow::OnPointerLeave() {
    pointerOver_ = false;
    if (ViewPage* page = ScrolledPage()) page->OnPointerLeave();
}

bool ScrollableWindow::OnText(const QString& text) {
    ViewPage* page = ScrolledPage();
    if (page == nullptr || Sliding() || !page->AcceptsInput()) return false;
    return page->OnText(text);
}

void ScrollableWindow::OnPointerMove(const QPoint& pos) {
    pointerOver_ = true;
    pointerPos_ = pos;
    if (!pressed_ || menuShown_) return;
    if (indicatorDrag_) {
        DragIndicatorTo(pos.y());
        return;
    }
    if (!WithinTapTolerance(pos)) {
        StopTimer(kTimerHold);
        EndHoldFeedback();
    }
    const int dx = pos.x() - movePoint_.x();
    const int dy = pos.y() - movePoint_.y();
    if (std::abs(dx) > std::abs(dy)) {
        physics_.Stop();
        if (std::abs(dx) > PaneOf(ScrolledPage()).width() / 2) {
            if (dx < 0)
                SwipeToNext();
            else
                SwipeToPrevious();
            movePoint_ = pos;
        }
        return;
    }
    if (std::abs(dy) <= DragThreshold()) return;
    ViewPage* page = ScrolledPage();
    if (page == nullptr) return;
    int offset = page->ContentOffset();
    physics_.Drag(offset, dy, BoundsOf(page));
    SetPageOffset(page, offset);
    movePoint_ = pos;
}

void ScrollableWindow::OnButtonUp(const QPoint& pos) {
    if (!pressed_) return;
    pressed_ = false;
    if (indicatorDrag_) {
        DragIndicatorTo(pos.y());
        indicatorDrag_ = false;
        update();
        return;
    }
    StopTimer(kTimerHold);
    EndHoldFeedback();
    ViewPage* page = ScrolledPage();
    if (page != nullptr) page->OnRelease();
    if (!menuShown_ && WithinTapTolerance(pos)) {
        const bool still = !wasMoving_ && physics_.DragDistance() == 0 && !Sliding();
        if (still && TapOnChrome(pos)) {
            // taken by the window
        } else if (still && page != nullptr && page->AcceptsInput()) {
            const QPoint at = ToPage(page, pos);
            page->OnTap(at.x(), at.y());
        }
    } else {
        physics_.Release(g_clock() - pressTime_);
    }
    physics_.ClearDrag();
    StartTimer(kTimerScroll, ScrollTimerInterval());
}

void ScrollableWindow::OnDoubleTap(const QPoint& pos) {
    ViewPage* page = ScrolledPage();
    if (!WithinTapTolerance(pos) || Sliding() || page == nullptr || !page->AcceptsInput()) return;
    const QPoint at = ToPage(page, pos);
    page->OnDoubleTap(at.x(), at.y());
}

void ScrollableWindow::Hold() {
    StopTimer(kTimerHold);
    EndHoldFeedback();
    ViewPage* page = ScrolledPage();
    if (!pressed_ || menuShown_ || physics_.DragDistance() != 0 || page == nullptr) return;
    const QPoint at = ToPage(page, pressPoint_);
    if (page->OnContextGesture(at.x(), at.y(), mapToGlobal(pressPoint_))) {
        // The menu takes the pointer; this press is over.
        menuShown_ = true;
        pressed_ = false;
        page->OnRelease();
    }
}

void ScrollableWindow::OnPositionChanged() {
    StartTimer(kTimerScroll, ScrollTimerInterval());
}

void ScrollableWindow::ScrollTick() {
    if (Sliding()) return;
    ViewPage* page = ScrolledPage();
    if (page == nullptr) {
        StopMotion();
        return;
    }
    int offset = page->ContentOffset();
    const bool more = physics_.Tick(offset, BoundsOf(page));
    if (offset != page->ContentOffset()) SetPageOffset(page, offset);
    if (!more) {
        StopTimer(kTimerScroll);
        update();  // the indicator goes
        MotionEnded();
    }
}

void ScrollableWindow::StartSlide(int from) {
    slideOffset_ = from;
    if (from == 0) {
        SlideFinished();
        return;
    }
    StartTimer(kTimerSlide, SlideTimerInterval());
    update();
}

void ScrollableWindow::FinishSlide() {
    if (!Sliding()) return;
    slideOffset_ = 0;
    StopTimer(kTimerSlide);
    SlideFinished();
}

void ScrollableWindow::OnTimer(int id) {
    switch (id) {
        case kTimerScroll:
            ScrollTick();
            break;
        case kTimerSlide:
            if (!Sliding()) {
                StopTimer(kTimerSlide);
                break;
            }
            slideOffset_ /= 2;
            update();
            if (slideOffset_ == 0) {
                StopTimer(kTimerSlide);
                SlideFinished();
            }
            break;
        case kTimerRest: {
            ViewPage* page = ScrolledPage();
            if (pressed_ || Sliding() || TimerActive(kTimerScroll) || physics_.Moving()) break;
            if (page != nullptr && BoundsOf(page).Outside(page->ContentOffset())) {
                StartTimer(kTimerScroll, ScrollTimerInterval());
                break;
            }
            // At rest inside its bounds: nothing to look at until the window wakes it again.
            StopTimer(kTimerRest);
            break;
        }
        case kTimerHold:
            Hold();
            break;
        case kTimerHoldFeedback:
            if (!pressed_ || !TimerActive(kTimerHold)) {
                EndHoldFeedback();
                break;
            }
            update(holdRect_);
            break;
        default:
            break;
    }
}

void ScrollableWindow::ScrollPageIntoView(ViewPage* page, const QRect& rect, bool animated) {
    if (page == nullptr || rect.isEmpty()) return;
    const bool current = page == ScrolledPage();
    // Measured from where a running animation will end, so that requests in a row add up.
    const int offset = page->ContentOffset();
    const int projected = offset + (current ? physics_.Remaining() : 0);
    const int viewTop = page->CaptionHeight();
    const int viewBottom = ViewHeightOf(page);
    const int top = rect.y() + projected;
    const int bottom = rect.y() + rect.height() + projected;
    int target = projected;
    if (top < viewTop)
        target = projected + (viewTop - top);
    else if (bottom > viewBottom)
        target = projected + (viewBottom - bottom);
    target = BoundsOf(page).Clamp(target);
    if (animated && current) {
        if (target == projected) return;
        physics_.Animate(target - projected);
        StartTimer(kTimerScroll, ScrollTimerInterval());
        return;
    }
    if (current) StopMotion();
    if (target != offset) SetPageOffset(page, target);
}

QRect ScrollableWindow::ScrollIndicatorRect() const {
    ViewPage* page = ScrolledPage();
    const PageLook look = CurrentPageLook();
    if (page == nullptr || Sliding() || look.scrollbarWidth <= 0) return {};
    const int64_t content = page->Height();
    const int64_t view = ViewHeightOf(page);
    if (content <= view || view <= 0) return {};
    if (!look.scrollbarAlways && !Moving() && !indicatorDrag_) return {};
    const int length = static_cast<int>(std::max<int64_t>(view * view / content, ScaleY(10)));
    int64_t top = -static_cast<int64_t>(page->ContentOffset()) * view / content;
    top = std::clamp<int64_t>(top, 0, std::max<int64_t>(0, view - length));
    const int width = ScaleX(look.scrollbarWidth);
    const QRect pane = PaneOf(page);
    const int right = pane.x() + pane.width() - ScaleX(look.scrollbarOffset);
    return QRect(right - width, static_cast<int>(top), width, length);
}

void ScrollableWindow::DrawScrollIndicator(QPainter& painter) {
    const QRect r = ScrollIndicatorRect();
    if (r.isEmpty()) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(WindowColour(), 1));
    painter.setBrush(HighlightColour());
    const qreal corner = r.width() / 2.0;
    painter.drawRoundedRect(r.adjusted(0, 0, -1, -1), corner, corner);
    painter.restore();
}

}  // namespace zul
