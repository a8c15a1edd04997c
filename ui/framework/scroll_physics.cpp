#include "ui/framework/scroll_physics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zul {

ScrollBounds ScrollBounds::For(int contentHeight, int viewHeight) {
    ScrollBounds b;
    b.lowest = std::min(0, viewHeight - contentHeight);
    return b;
}

int ScrollBounds::Overshoot(int offset) const {
    if (PastTop(offset)) return offset;
    if (PastBottom(offset)) return offset - lowest;
    return 0;
}

int ScrollBounds::Clamp(int offset) const {
    return std::clamp(offset, lowest, 0);
}

int ScrollPhysics::Drag(int& offset, int dy, const ScrollBounds& bounds) {
    int step = dy;
    if (bounds.Outside(offset)) step = static_cast<int>(dy * kOverscrollDrag);
    offset += step;
    drag_ += step;
    return step;
}

void ScrollPhysics::Release(uint32_t elapsedMs) {
    if (drag_ != 0 && elapsedMs > 0 && elapsedMs < kFlingWindowMs)
        speed_ = drag_ * flingGain_ / static_cast<double>(elapsedMs);
    drag_ = 0;
}

void ScrollPhysics::Animate(int distance) {
    remaining_ += distance;
    speed_ = 0.0;
}

void ScrollPhysics::Stop() {
    speed_ = 0.0;
    drag_ = 0;
    remaining_ = 0;
}

bool ScrollPhysics::Tick(int& offset, const ScrollBounds& bounds) {
    if (remaining_ != 0) {
        // 0.4 of what remains, rounded away from zero so that the last pixel is reached.
        int step = static_cast<int>(std::ceil(std::abs(remaining_) * kAnimatedStep));
        if (remaining_ < 0) step = -step;
        offset += step;
        remaining_ -= step;
        return true;
    }
    speed_ *= bounds.Outside(offset) ? kCoastOutside : kCoast;
    if (std::fabs(speed_) >= 1.0) {
        offset += static_cast<int>(speed_);
        return true;
    }
    speed_ = 0.0;
    const int over = bounds.Overshoot(offset);
    if (over != 0) {
        int back = static_cast<int>(over * kSpringBack);
        if (back == 0) back = over > 0 ? 1 : -1;
        offset -= back;
        if (bounds.Outside(offset)) return true;
    }
    Stop();
    return false;
}

}  // namespace zul
