// BaseWindow: a widget whose events arrive at a small set of handlers, with numbered timers,
// the key double-press rule and a wait cursor.
#pragma once

#include <QCursor>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>

class QTimer;

namespace zul {

// Tells a second press of the same key within 250 ms from any other key-down.
class KeyPairing {
  public:
    static constexpr uint32_t kWindowMs = 250;
    // Prefix codes of the rocker, direction pad and action key: never remembered; the
    // direction-pad prefix inside the window ends the processing of its key-down.
    static constexpr int kRockerPrefix = 0x83;
    static constexpr int kDpadPrefix = 0x84;
    static constexpr int kActionPrefix = 0x86;

    // A key-down at a time; true when the double-press handler must run too.
    bool KeyDown(int code, uint32_t timeMs);

  private:
    int lastCode_ = -1;
    uint32_t lastTime_ = 0;
    bool haveLast_ = false;
};

class BaseWindow : public QWidget {
    Q_OBJECT
  public:
    explicit BaseWindow(QWidget* parent = nullptr);
    ~BaseWindow() override;

    // Saves the cursor and shows the hour-glass; nested calls do nothing.
    void BeginWaitCursor();
    void EndWaitCursor();
    bool WaitCursorShown() const { return waiting_; }

    // Numbered timers: OnTimer(id) runs on each expiry.
    void StartTimer(int id, int intervalMs);
    void StopTimer(int id);
    bool TimerActive(int id) const;
    // Runs one expiry of a timer at once, whether it runs or not (deterministic tests).
    void FireTimer(int id) { OnTimer(id); }
    // With manual timers on, started timers count as running but only FireTimer runs them.
    static void SetManualTimers(bool manual);

  protected:
    // Handlers. Positions are in widget coordinates; times in milliseconds of GetTick.
    virtual void OnSize(int width, int height) {}
    virtual void OnPositionChanged() {}
    virtual void OnPaint(QPainter& painter, const QRect& dirty) {}
    virtual void OnFocusGained() {}
    virtual void OnFocusLost() {}
    virtual void OnKeyDown(int key) {}
    // Printable text a key typed without Ctrl, Alt or Meta, before its key-down; true when
    // taken, and then OnKeyDown does not run for it.
    virtual bool OnText(const QString& text) { return false; }
    virtual void OnKeyDoublePress(int key) {}
    virtual void OnKeyUp(int key) {}
    // The default takes the keyboard focus.
    virtual void OnButtonDown(const QPoint& pos);
    virtual void OnButtonUp(const QPoint& pos) {}
    // Moves with and without a button down (the window tracks the mouse).
    virtual void OnPointerMove(const QPoint& pos) {}
    // The pointer came over the window, or left it (for one of its children too).
    virtual void OnPointerEnter(const QPoint& pos) {}
    virtual void OnPointerLeave() {}
    virtual void OnDoubleTap(const QPoint& pos) {}
    virtual void OnCaptureLost() {}
    virtual void OnCommand(int id) {}
    // The application's or the window's palette changed (a light or dark theme came in).
    virtual void OnPaletteChanged() {}
    // The window became the active one or stopped being it.
    virtual void OnActivationChanged(bool active) {}
    virtual void OnTimer(int id) {}

    // Qt events mapped onto the handlers.
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

  private:
    KeyPairing pairing_;
    struct Timer {
        QTimer* timer = nullptr;
        bool running = false;
    };
    std::map<int, Timer> timers_;
    bool waiting_ = false;
    QCursor savedCursor_;
};

}  // namespace zul
