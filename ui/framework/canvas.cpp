#include "ui/framework/canvas.h"

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace zul {
namespace {

const char16_t kNoMemoryText[] = u"Can not recreate bitmap. There is not enough memory to draw";
const char16_t kNoMemoryCaption[] = u"ERROR";

int g_maxSurfaceRows = 2048;
std::atomic<double> g_pixelRatio{1.0};

void ReportNoMemory() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
    QMessageBox::critical(nullptr, QString::fromUtf16(kNoMemoryCaption),
                          QString::fromUtf16(kNoMemoryText));
}

}  // namespace

double Canvas::PixelRatio() {
    return g_pixelRatio.load();
}
void Canvas::SetPixelRatio(double ratio) {
    g_pixelRatio.store(std::clamp(ratio, 1.0, 4.0));
}

int Canvas::MaxSurfaceRows() {
    return g_maxSurfaceRows;
}
void Canvas::SetMaxSurfaceRows(int rows) {
    g_maxSurfaceRows = std::max(1, rows);
}

QRect Canvas::SurfaceRect() const {
    if (surface_.isNull()) return {};
    return QRect(0, surfaceTop_, width_, surfaceRows_);
}

bool Canvas::MakeSurface(int top) {
    const int rows = std::min(height_, g_maxSurfaceRows);
    surfaceTop_ = std::clamp(top, 0, height_ - rows);
    const double ratio = g_pixelRatio.load();
    const int pixelWidth = static_cast<int>(std::ceil(width_ * ratio));
    const int pixelRows = static_cast<int>(std::ceil(rows * ratio));
    if (!surface_.isNull() && surface_.width() == pixelWidth && surface_.height() == pixelRows &&
        surface_.devicePixelRatio() == ratio) {
        return true;
    }
    surface_ = QImage();  // the old surface goes before the new one is made
    surfaceRows_ = 0;
    QImage image(pixelWidth, pixelRows, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        surfaceTop_ = 0;
        return false;
    }
    image.setDevicePixelRatio(ratio);
    surface_ = std::move(image);
    surfaceRows_ = rows;
    return true;
}

bool Canvas::FollowPixelRatio() {
    CanvasLock guard(*this);
    if (surface_.isNull() || surface_.devicePixelRatio() == g_pixelRatio.load()) return false;
    if (!MakeSurface(surfaceTop_)) {
        ReportNoMemory();
        return false;
    }
    drawn_ = false;
    AfterResize(false, false);
    return true;
}

void Canvas::SetSize(int width, int height) {
    width = std::max(0, width);
    height = std::max(0, height);
    if (width == width_ && height == height_) return;
    CanvasLock guard(*this);
    const bool widthChanged = width != width_;
    const bool heightChanged = height != height_;
    width_ = width;
    height_ = height;
    drawn_ = false;
    if (width == 0 || height == 0) {
        surface_ = QImage();
        surfaceRows_ = 0;
        surfaceTop_ = 0;
        return;
    }
    if (!MakeSurface(surfaceTop_)) {
        ReportNoMemory();
        return;
    }
    AfterResize(widthChanged, heightChanged);
}

bool Canvas::EnsureRows(int top, int bottom) {
    CanvasLock guard(*this);
    if (surface_.isNull()) return false;
    top = std::clamp(top, 0, height_);
    bottom = std::clamp(bottom, top, height_);
    const int rows = surfaceRows_;
    if (top >= surfaceTop_ && bottom <= surfaceTop_ + rows) return false;
    // Centre the wanted rows in the band so that small moves either way stay inside.
    const int span = std::min(bottom - top, rows);
    const int oldTop = surfaceTop_;
    const int oldWidth = surface_.width();
    const int oldHeight = surface_.height();
    const bool wasDrawn = drawn_;
    if (!MakeSurface(top - (rows - span) / 2)) return false;
    // The rows the old band held keep their pixels when the surface stayed the same and the
    // move is a whole number of pixel rows: only the strip that came into the band is drawn.
    const int shift = surfaceTop_ - oldTop;
    const double pixelShift = shift * surface_.devicePixelRatio();
    if (wasDrawn && surfaceRows_ == rows && surface_.width() == oldWidth &&
        surface_.height() == oldHeight && std::abs(shift) < rows &&
        pixelShift == std::floor(pixelShift)) {
        const auto lineBytes = static_cast<size_t>(surface_.bytesPerLine());
        const int pixelRows = surface_.height();
        const int moved = std::abs(static_cast<int>(pixelShift));
        uchar* bits = surface_.bits();
        if (shift > 0)
            std::memmove(bits, bits + moved * lineBytes, (pixelRows - moved) * lineBytes);
        else
            std::memmove(bits + moved * lineBytes, bits, (pixelRows - moved) * lineBytes);
        const QRect exposed = shift > 0 ? QRect(0, surfaceTop_ + rows - shift, width_, shift)
                                        : QRect(0, surfaceTop_, width_, -shift);
        AfterBandShifted(exposed);
        return true;
    }
    drawn_ = false;
    AfterBandMoved();
    return true;
}

}  // namespace zul
