#include "ui/framework/base_window.h"

#include <QEnterEvent>
#include <QInputDevice>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>

#include "platform/tick.h"

namespace zul {
namespace {
bool g_manualTimers = false;
}  // namespace

void BaseWindow::SetManualTimers(bool manual) {
    g_manualTimers = manual;
}

bool KeyPairing::KeyDown(int code, uint32_t timeMs) {
    const bool inWindow = haveLast_ && timeMs - lastTime_ < kWindowMs;
    if (code == kDpadPrefix && inWindow) return false;
    const bool pair = inWindow && code == lastCode_;
    if (code != kRockerPrefix && code != kDpadPrefix && code != kActionPrefix) {
        lastCode_ = code;
        lastTime_ = timeMs;
        haveLast_ = true;
    }
    return pair;
}

BaseWindow::BaseWindow(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted by OnPaint; the platform never erases the background.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

BaseWindow::~BaseWindow() {
    for (auto& [id, t] : timers_) t.timer->stop();
}

void BaseWindow::BeginWaitCursor() {
    if (waiting_) return;
    waiting_ = true;
    savedCursor_ = cursor();
    setCursor(Qt::WaitCursor);
}

void BaseWindow::EndWaitCursor() {
    if (!waiting_) return;
    waiting_ = false;
    setCursor(savedCursor_);
}

void BaseWindow::StartTimer(int id, int intervalMs) {
    Timer& t = timers_[id];
    if (t.timer == nullptr) {
        t.timer = new QTimer(this);
        connect(t.timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
    }
    t.running = true;
    t.timer->setInterval(intervalMs);
    if (!g_manualTimers) t.timer->start();
}

void BaseWindow::StopTimer(int id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second.running = false;
    it->second.timer->stop();
}

bool BaseWindow::TimerActive(int id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.running;
}

void BaseWindow::OnButtonDown(const QPoint&) {
    setFocus(Qt::MouseFocusReason);
}

void BaseWindow::resizeEvent(QResizeEvent*) {
    OnSize(width(), height());
}
void BaseWindow::moveEvent(QMoveEvent*) {
    OnPositionChanged();
}

void BaseWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    OnPaint(painter, event->rect());
}

void BaseWindow::focusInEvent(QFocusEvent*) {
    OnFocusGained();
}
void BaseWindow::focusOutEvent(QFocusEvent*) {
    OnFocusLost();
}

namespace {
// Text a key types into a line: something, and no control character (Return, Tab, Backspace,
// Escape and Delete bring one), without a modifier that makes the key a command.
bool TypesText(const QKeyEvent& event) {
    const QString text = event.text();
    if (text.isEmpty()) return false;
    if ((event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0)
        return false;
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}
}  // namespace

void BaseWindow::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (!TypesText(*event) || !OnText(event->text())) OnKeyDown(key);
    if (pairing_.KeyDown(key, GetTick())) OnKeyDoublePress(key);
}

void BaseWindow::keyReleaseEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat()) OnKeyUp(event->key());
}

void BaseWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OnButtonDown(event->position().toPoint());
}

void BaseWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OnButtonUp(event->position().toPoint());
    // A lifted finger is over nothing, though no leave event says so.
    if (event->device() != nullptr &&
        event->device()->type() == QInputDevice::DeviceType::TouchScreen)
        OnPointerLeave();
}

void BaseWindow::mouseMoveEvent(QMouseEvent* event) {
    OnPointerMove(event->position().toPoint());
}

void BaseWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OnDoubleTap(event->position().toPoint());
}

void BaseWindow::enterEvent(QEnterEvent* event) {
    OnPointerEnter(event->position().toPoint());
    QWidget::enterEvent(event);
}

void BaseWindow::leaveEvent(QEvent* event) {
    OnPointerLeave();
    QWidget::leaveEvent(event);
}

void BaseWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        OnPaletteChanged();
    // Coming back to the front while busy shows the hour-glass again.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        setCursor(waiting_ ? QCursor(Qt::WaitCursor) : savedCursor_);
    if (event->type() == QEvent::ActivationChange) OnActivationChanged(isActiveWindow());
    QWidget::changeEvent(event);
}

bool BaseWindow::event(QEvent* event) {
    if (event->type() == QEvent::UngrabMouse) OnCaptureLost();
    return QWidget::event(event);
}

}  // namespace zul
