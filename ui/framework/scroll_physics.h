// The arithmetic of kinetic scrolling, apart from any widget. The offset is where the top of
// the content stands in the view: 0 at rest on the first row, negative once scrolled down,
// positive when the content is pulled down past its top.
#pragma once

#include <cstdint>

namespace zul {

// Allowed offsets for content of a height shown in a view of a height.
struct ScrollBounds {
    int lowest = 0;  // the most negative resting offset: min(0, view - content)

    static ScrollBounds For(int contentHeight, int viewHeight);
    bool PastTop(int offset) const { return offset > 0; }
    bool PastBottom(int offset) const { return offset < lowest; }
    bool Outside(int offset) const { return PastTop(offset) || PastBottom(offset); }
    // Signed distance beyond the nearest bound (0 inside).
    int Overshoot(int offset) const;
    int Clamp(int offset) const;
};

class ScrollPhysics {
  public:
    static constexpr double kOverscrollDrag = 0.7;   // finger steps beyond a bound
    static constexpr double kCoast = 0.92;           // speed kept per tick inside the bounds
    static constexpr double kCoastOutside = 0.25;    // speed kept per tick beyond a bound
    static constexpr double kSpringBack = 0.9;       // share of an overshoot removed per tick
    static constexpr double kAnimatedStep = 0.4;     // share of an animated distance per tick
    static constexpr uint32_t kFlingWindowMs = 500;  // a release later than this does not fling

    explicit ScrollPhysics(double flingGain) : flingGain_(flingGain) {}

    // The finger moved the content by dy (already past the drag threshold). Returns the
    // step applied to the offset; the step joins the drag distance.
    int Drag(int& offset, int dy, const ScrollBounds& bounds);

    // The finger left elapsedMs after the press: a drag released within the fling window
    // becomes a speed in pixels per tick. The drag distance is cleared either way.
    void Release(uint32_t elapsedMs);

    // Adds an animated distance (ScrollIntoView); a running fling stops.
    void Animate(int distance);

    // One step of the scroll timer. Returns false once the motion has ended, the content
    // rests inside its bounds and the motion state is cleared.
    bool Tick(int& offset, const ScrollBounds& bounds);

    void Stop();
    void ClearDrag() { drag_ = 0; }

    bool Moving() const { return speed_ != 0.0 || drag_ != 0 || remaining_ != 0; }
    double Speed() const { return speed_; }
    int DragDistance() const { return drag_; }
    int Remaining() const { return remaining_; }
    void SetFlingGain(double gain) { flingGain_ = gain; }

  private:
    double flingGain_;
    double speed_ = 0.0;
    int drag_ = 0;
    int remaining_ = 0;
};

}  // namespace zul
