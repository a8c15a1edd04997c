// Canvas: the off-screen drawing surface of a page or a caption bar, with its own lock.
//
// A canvas has a logical size (the page's width and content height). Its surface holds at
// most MaxSurfaceRows() rows of it, a band that the host moves along the content while it
// scrolls, so that a page of ten thousand rows does not hold ten thousand rows of pixels.
// Content that fits the band is held whole.
//
// The surface has as many pixels as the screen's device-pixel ratio asks (2 on a screen scaled
// to 200 %); it is drawn and placed in logical pixels, so pages never see the ratio, and text
// and lines come out sharp instead of stretched.
#pragma once

#include <QImage>
#include <QRect>
#include <mutex>

namespace zul {

class Canvas {
  public:
    Canvas() = default;
    virtual ~Canvas();  // the surface goes to the spares
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Negative sizes count as 0. An unchanged size does nothing; a zero dimension releases
    // the surface; otherwise a new surface is made and AfterResize runs. Given the content
    // rows [viewTop, viewBottom) the view is about to show, the new band holds them.
    void SetSize(int width, int height, int viewTop = 0, int viewBottom = 0);
    int Width() const { return width_; }
    int Height() const { return height_; }

    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }

    // The surface, or nullptr while the canvas has none (a zero dimension, or no memory).
    QImage* Surface() { return surface_.isNull() ? nullptr : &surface_; }
    // Content row held by the first row of the surface, and the content rows it holds.
    int SurfaceTop() const { return surfaceTop_; }
    QRect SurfaceRect() const;

    // Moves the band so that it holds the content rows [top, bottom) (as far as the band
    // reaches) and redraws it when it moved. Returns true when the band moved.
    bool EnsureRows(int top, int bottom);

    bool Drawn() const { return drawn_; }
    void SetDrawn(bool drawn) { drawn_ = drawn; }

    // Makes the surface again at the current device-pixel ratio when it was made at another
    // one, and has it drawn (AfterResize). True when it was made again.
    bool FollowPixelRatio();

    // A canvas out of sight lets go of its surface: its pixels go to the spares that new
    // surfaces of the same size are made from (fresh memory costs a page fault for every 4 KB
    // first touched, a surface a thousand of them). Size changes then make no surface until
    // Unpark makes one again (holding the rows [viewTop, viewBottom) when given) and has it
    // drawn (AfterResize); true when it did.
    void Park();
    bool Unpark(int viewTop = 0, int viewBottom = 0);
    bool Parked() const { return parked_; }
    // The spare surfaces kept (at most a few), for tests.
    static size_t SpareSurfaces();

    // The ratio every surface is made at from now on (the main window's screen's; 1 by default).
    static double PixelRatio();
    static void SetPixelRatio(double ratio);

    // Rows a surface may hold; tests lower it to see the band move.
    static int MaxSurfaceRows();
    static void SetMaxSurfaceRows(int rows);

  protected:
    // After a new surface was made, under the canvas lock.
    virtual void AfterResize(bool widthChanged, bool heightChanged) {}
    // After the band moved: the surface must be drawn again.
    virtual void AfterBandMoved() {}
    // After the band moved by less than its height: the rows both bands hold kept their
    // pixels (moved to their new place); only `exposed` (content coordinates) must be drawn.
    virtual void AfterBandShifted(const QRect& exposed) { AfterBandMoved(); }

  private:
    bool MakeSurface(int top);
    // Makes the band where it is and has it drawn; under the canvas lock.
    bool RemakeSurface();
    // Moves the band's top so that the next surface holds [viewTop, viewBottom) (nothing when
    // the range is empty or already held).
    void AimBand(int viewTop, int viewBottom);

    std::recursive_mutex lock_;
    QImage surface_;
    int surfaceRows_ = 0;  // logical rows of the surface
    int width_ = 0;
    int height_ = 0;
    int surfaceTop_ = 0;
    bool drawn_ = false;
    bool parked_ = false;
};

// Holds a canvas's lock for a scope.
class CanvasLock {
  public:
    explicit CanvasLock(Canvas& canvas) : canvas_(canvas) { canvas_.Lock(); }
    ~CanvasLock() { canvas_.Unlock(); }
    CanvasLock(const CanvasLock&) = delete;
    CanvasLock& operator=(const CanvasLock&) = delete;

  private:
    Canvas& canvas_;
};

}  // namespace zul
