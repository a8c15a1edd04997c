#include "ui/framework/canvas.h"

#include <sys/mman.h>

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace zul {
namespace {

const char16_t kNoMemoryText[] = u"Can not recreate bitmap. There is not enough memory to draw";
const char16_t kNoMemoryCaption[] = u"ERROR";

int g_maxSurfaceRows = 2048;
std::atomic<double> g_pixelRatio{1.0};

// Surfaces no canvas holds any more, newest last: a new surface of the same size reuses one.
// Never destroyed: a canvas may go after the program's statics.
constexpr size_t kMaxSpares = 2;
struct Spares {
    std::mutex mutex;
    std::vector<QImage> images;
};
Spares& TheSpares() {
    static Spares* spares = new Spares;
    return *spares;
}

void KeepSpare(QImage&& image) {
    if (image.isNull()) return;
    Spares& spares = TheSpares();
    std::lock_guard lock(spares.mutex);
    if (spares.images.size() == kMaxSpares) spares.images.erase(spares.images.begin());
    spares.images.push_back(std::move(image));
    image = QImage();
}

// A surface of a megabyte or more gets memory of its own, aligned to and advised for huge
// pages: the kernel then backs it with two or three pages instead of a thousand, each one a
// fault on first touch. Smaller ones (caption bars, short pages) come from the heap.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr QImage::Format kSurfaceFormat = QImage::Format_ARGB32_Premultiplied;

struct Mapping {
    void* address;
    size_t bytes;
};

void Unmap(void* info) {
    auto* mapping = static_cast<Mapping*>(info);
    munmap(mapping->address, mapping->bytes);
    delete mapping;
}

QImage NewSurfaceImage(int pixelWidth, int pixelRows) {
    const auto lineBytes = static_cast<size_t>(pixelWidth) * 4;
    const size_t bytes = lineBytes * static_cast<size_t>(pixelRows);
    if (bytes < kHugePage / 2 || lineBytes > static_cast<size_t>(INT_MAX))
        return QImage(pixelWidth, pixelRows, kSurfaceFormat);
    const size_t wanted = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    // Mapped with room to spare, then trimmed to a stretch that starts on a huge page.
    void* mapped = mmap(nullptr, wanted + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return QImage(pixelWidth, pixelRows, kSurfaceFormat);
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    const uintptr_t end = start + wanted + kHugePage;
    if (end > aligned + wanted)
        munmap(reinterpret_cast<void*>(aligned + wanted), end - aligned - wanted);
    void* address = reinterpret_cast<void*>(aligned);
    madvise(address, wanted, MADV_HUGEPAGE);
    auto* mapping = new Mapping{address, wanted};
    QImage image(static_cast<uchar*>(address), pixelWidth, pixelRows,
                 static_cast<qsizetype>(lineBytes), kSurfaceFormat, Unmap, mapping);
    if (image.isNull()) Unmap(mapping);
    return image;
}

QImage TakeSpare(int pixelWidth, int pixelRows) {
    Spares& spares = TheSpares();
    std::lock_guard lock(spares.mutex);
    for (auto it = spares.images.rbegin(); it != spares.images.rend(); ++it) {
        if (it->width() == pixelWidth && it->height() == pixelRows) {
            QImage image = std::move(*it);
            spares.images.erase(std::next(it).base());
            return image;
        }
    }
    return {};
}

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
    KeepSpare(std::move(surface_));  // the old surface goes before the new one is made
    surfaceRows_ = 0;
    QImage image = TakeSpare(pixelWidth, pixelRows);
    if (image.isNull()) image = NewSurfaceImage(pixelWidth, pixelRows);
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
    return RemakeSurface();
}

bool Canvas::RemakeSurface() {
    if (!MakeSurface(surfaceTop_)) {
        ReportNoMemory();
        return false;
    }
    drawn_ = false;
    AfterResize(false, false);
    return true;
}

void Canvas::SetSize(int width, int height, int viewTop, int viewBottom) {
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
        KeepSpare(std::move(surface_));
        surfaceRows_ = 0;
        surfaceTop_ = 0;
        return;
    }
    if (parked_) return;
    AimBand(viewTop, viewBottom);
    if (!MakeSurface(surfaceTop_)) {
        ReportNoMemory();
        return;
    }
    AfterResize(widthChanged, heightChanged);
}

void Canvas::Park() {
    CanvasLock guard(*this);
    parked_ = true;
    drawn_ = false;
    KeepSpare(std::move(surface_));
    surfaceRows_ = 0;
}

bool Canvas::Unpark(int viewTop, int viewBottom) {
    CanvasLock guard(*this);
    if (!parked_) return false;
    parked_ = false;
    if (width_ == 0 || height_ == 0) return false;
    AimBand(viewTop, viewBottom);
    return RemakeSurface();
}

void Canvas::AimBand(int viewTop, int viewBottom) {
    if (viewBottom <= viewTop) return;
    const int rows = std::min(height_, g_maxSurfaceRows);
    const int top = std::clamp(viewTop, 0, height_);
    const int bottom = std::clamp(viewBottom, top, height_);
    if (top < surfaceTop_ || bottom > surfaceTop_ + rows)
        surfaceTop_ = top - (rows - std::min(bottom - top, rows)) / 2;
}

size_t Canvas::SpareSurfaces() {
    Spares& spares = TheSpares();
    std::lock_guard lock(spares.mutex);
    return spares.images.size();
}

Canvas::~Canvas() {
    KeepSpare(std::move(surface_));
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
