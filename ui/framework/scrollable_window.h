// ScrollableWindow: finger-driven kinetic scrolling of the current page, taps, double taps,
// tap-and-hold, the page-slide timer and the scroll indicator. MainWindow is one.
#pragma once

#include <cstdint>

#include "ui/framework/base_window.h"
#include "ui/framework/scroll_physics.h"

namespace zul {

class ViewPage;

class ScrollableWindow : public BaseWindow {
    Q_OBJECT
  public:
    enum TimerId {
        kTimerScroll = 55555,
        kTimerSlide = 66666,
        kTimerRest = 77777,          // every 500 ms: content left outside its bounds springs back
        kTimerHold = 55556,          // tap-and-hold recognition
        kTimerHoldFeedback = 55557,  // the held row darkening until the menu opens
    };
    // A press shorter than this shows nothing, so that scrolling does not flash the rows.
    static constexpr uint32_t kHoldFeedbackDelayMs = 120;
    static constexpr int kRestIntervalMs = 500;

    explicit ScrollableWindow(QWidget* parent = nullptr);

    // Client area (above the soft keys) and the part of it the content shows in.
    virtual int ClientWidth() const { return width(); }
    virtual int ClientHeight() const { return height(); }
    virtual int ViewHeight() const { return ClientHeight(); }
    // Where a page is shown (window coordinates; a wide window shows two side by side) and the
    // height its content shows in.
    virtual QRect PaneOf(const ViewPage* page) const {
        return QRect(0, 0, ClientWidth(), ClientHeight());
    }
    virtual int ViewHeightOf(const ViewPage* page) const { return ViewHeight(); }

    // Something moves: a drag, a fling, an animated scroll, or content springing back.
    bool Moving() const;
    bool Sliding() const { return slideOffset_ != 0; }
    int SlideOffset() const { return slideOffset_; }
    const ScrollPhysics& Physics() const { return physics_; }
    bool PointerPressed() const { return pressed_; }
    // The mouse rests over the window (a finger only while it touches), and where.
    bool PointerOver() const { return pointerOver_; }
    QPoint PointerPos() const { return pointerPos_; }

    // Moves the current page's content by dy pixels (positive brings what is above into view),
    // within its bounds; false when no page can scroll now.
    bool ScrollCurrentPage(int64_t dy);
    // PageUp, PageDown, Home and End scroll the current page; false for any other key.
    bool ScrollByKey(int key);
    // Scrolls a page so that a rectangle of it (page coordinates) is in view.
    void ScrollPageIntoView(ViewPage* page, const QRect& rect, bool animated);
    // Where the scroll indicator is drawn now; empty when it is not.
    QRect ScrollIndicatorRect() const;
    // The row being held, in window coordinates; empty when none.
    QRect HoldFeedbackRect() const { return holdRect_; }
    // How dark the held row is drawn now, 0..255.
    int HoldFeedbackAlpha() const;

    // The clock of the press-to-release timing; tests install their own.
    using Clock = uint32_t (*)();
    static void SetClock(Clock clock);
    static uint32_t Now();

  protected:
    virtual ViewPage* ScrolledPage() const = 0;
    // The pointer is about to press (press set) or turn the wheel at a point: a window that
    // shows several pages aims what follows at the page there.
    virtual void AimAt(const QPoint& pos, bool press) {}
    // A tap on what the window draws over the pages (window coordinates); true when taken.
    virtual bool TapOnChrome(const QPoint& pos) { return false; }
    virtual void SwipeToNext() = 0;
    virtual void SwipeToPrevious() = 0;
    // The slide offset reached 0.
    virtual void SlideFinished() = 0;
    // The content came to rest (a fling or a drag ended): what changed meanwhile may be drawn.
    virtual void MotionEnded() {}

    // Starts a slide whose offset halves from `from` down to 0.
    void StartSlide(int from);
    // Ends a running slide at once.
    void FinishSlide();
    void StopMotion();
    ScrollBounds BoundsOf(ViewPage* page) const;
    void SetPageOffset(ViewPage* page, int offset);
    void DrawScrollIndicator(QPainter& painter);
    // Darkens the row a finger holds, more the nearer the hold menu is (nothing when none).
    void DrawHoldFeedback(QPainter& painter);

    void OnButtonDown(const QPoint& pos) override;
    void OnButtonUp(const QPoint& pos) override;
    void OnPointerMove(const QPoint& pos) override;
    void OnPointerEnter(const QPoint& pos) override;
    void OnPointerLeave() override;
    // Typed text goes to the current page.
    bool OnText(const QString& text) override;
    void OnDoubleTap(const QPoint& pos) override;
    void OnPositionChanged() override;
    void OnTimer(int id) override;
    // Wheel and two-finger scrolling: the device's pixel steps where it gives them, else
    // three rows of text per notch; the content stays within its bounds.
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    // A window point in the page's coordinates (content rows, at its content offset).
    QPoint ToPage(const ViewPage* page, const QPoint& pos) const;
    bool WithinTapTolerance(const QPoint& pos) const;
    void ScrollTick();
    void Hold();
    void EndHoldFeedback();
    // The band around the scroll indicator a pointer can take it by (window coordinates).
    QRect IndicatorGrabRect() const;
    void DragIndicatorTo(int y);

    ScrollPhysics physics_;
    QPoint pressPoint_;
    QPoint movePoint_;
    uint32_t pressTime_ = 0;
    bool wasMoving_ = false;  // something moved when the finger came down
    bool menuShown_ = false;
    QRect holdRect_;
    // The scroll indicator is being dragged; the grab point's distance below its top.
    bool indicatorDrag_ = false;
    int indicatorGrab_ = 0;
    int slideOffset_ = 0;
    bool pointerOver_ = false;
    QPoint pointerPos_;
    static bool pressed_;  // one pointer for the process
};

}  // namespace zul
