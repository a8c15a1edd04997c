#include "ui/framework/dpi.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

namespace zul {
namespace {

int g_overrideX = 0;
int g_overrideY = 0;

struct ScreenDpi {
    int x = 96;
    int y = 96;
};

const ScreenDpi& DisplayDpi() {
    static const ScreenDpi dpi = [] {
        ScreenDpi d;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            d.x = std::max(1, qRound(screen->logicalDotsPerInchX()));
            d.y = std::max(1, qRound(screen->logicalDotsPerInchY()));
        }
        return d;
    }();
    return dpi;
}

}  // namespace

int Dpi::X() {
    return g_overrideX > 0 ? g_overrideX : DisplayDpi().x;
}
int Dpi::Y() {
    return g_overrideY > 0 ? g_overrideY : DisplayDpi().y;
}

void Dpi::SetOverride(int x, int y) {
    g_overrideX = x;
    g_overrideY = y;
}

int ScaleX(int v) {
    return (v * Dpi::X() + 48) / 96;
}
int ScaleY(int v) {
    return (v * Dpi::Y() + 48) / 96;
}

// A display below 48 dpi would give a unit of 0 and divide by zero below; it counts as 1.
int Unit() {
    return std::max(1, (Dpi::X() + 48) / 96);
}
int TapTolerance() {
    return ScaleX(10);
}
int DragThreshold() {
    return 5 * Unit();
}
int ScrollTimerInterval() {
    return std::max(1, 10 / Unit());
}
int SlideTimerInterval() {
    return std::max(1, 10 / Unit());
}
double FlingGain() {
    return 140.0 / Unit();
}

}  // namespace zul
