#include "ui/dialogs/account_list_box.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <cstdlib>

#include "ui/framework/dpi.h"

namespace zul {

AccountListBox::AccountListBox(QWidget* parent)
    : QListWidget(parent), pointerHold_(new QTimer(this)), keyHold_(new QTimer(this)) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setDragEnabled(false);
    setUniformItemSizes(true);
    for (QTimer* timer : {pointerHold_, keyHold_}) {
        timer->setSingleShot(true);
        timer->setInterval(kHoldMs);
    }
    connect(pointerHold_, &QTimer::timeout, this, &AccountListBox::PointerHeld);
    connect(keyHold_, &QTimer::timeout, this, &AccountListBox::KeyHeld);
}

void AccountListBox::PlaceCaret(int row) {
    if (row < 0 || row >= count()) row = count() > 0 ? 0 : -1;
    caret_ = row;
    if (row < 0) {
        clearSelection();
        return;
    }
    setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    scrollToItem(item(row));
}

QPoint AccountListBox::RowMenuPoint(int row) const {
    const QRect rect = visualItemRect(item(row));
    return viewport()->mapToGlobal(rect.center());
}

void AccountListBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QListWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    pressPos_ = event->position().toPoint();
    pressRow_ = row(itemAt(pressPos_));
    pressScroll_ = verticalScrollBar()->value();
    pressed_ = true;
    dragging_ = false;
    held_ = false;
    if (pressRow_ >= 0) PlaceCaret(pressRow_);
    pointerHold_->start();
}

void AccountListBox::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_) return;
    const QPoint pos = event->position().toPoint();
    const int dy = pos.y() - pressPos_.y();
    if (!dragging_ && std::abs(dy) > ScaleY(5)) {
        dragging_ = true;
        pointerHold_->stop();
    }
    if (dragging_) verticalScrollBar()->setValue(pressScroll_ - dy);
}

void AccountListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressed_) {
        QListWidget::mouseReleaseEvent(event);
        return;
    }
    pressed_ = false;
    pointerHold_->stop();
    const bool tap = !dragging_ && !held_ &&
                     std::abs(event->position().toPoint().y() - pressPos_.y()) <= ScaleY(5);
    if (tap && pressRow_ >= 0 && row(itemAt(event->position().toPoint())) == pressRow_)
        emit RowActivated(pressRow_);
}

void AccountListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    // A second tap is a tap of its own.
    mousePressEvent(event);
}

void AccountListBox::PointerHeld() {
    if (!pressed_ || dragging_ || pressRow_ < 0) return;
    held_ = true;
    emit RowMenuRequested(pressRow_, viewport()->mapToGlobal(pressPos_));
}

void AccountListBox::contextMenuEvent(QContextMenuEvent* event) {
    const int r = event->reason() == QContextMenuEvent::Mouse
                      ? row(itemAt(viewport()->mapFromGlobal(event->globalPos())))
                      : caret_;
    if (r < 0) return;
    PlaceCaret(r);
    emit RowMenuRequested(
        r, event->reason() == QContextMenuEvent::Mouse ? event->globalPos() : RowMenuPoint(r));
}

void AccountListBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Select) {
        // The release decides between a press and a hold.
        if (!event->isAutoRepeat() && !keyHold_->isActive()) keyHold_->start();
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
    caret_ = currentRow();
}

void AccountListBox::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Select) {
        event->accept();
        if (event->isAutoRepeat()) return;
        if (keyHold_->isActive()) {
            keyHold_->stop();
            if (caret_ >= 0) emit RowActivated(caret_);
        }
        return;
    }
    QListWidget::keyReleaseEvent(event);
}

void AccountListBox::KeyHeld() {
    if (caret_ >= 0) emit RowMenuRequested(caret_, RowMenuPoint(caret_));
}

void AccountListBox::focusInEvent(QFocusEvent* event) {
    QListWidget::focusInEvent(event);
    if (caret_ >= 0 && caret_ < count()) setCurrentRow(caret_, QItemSelectionModel::ClearAndSelect);
}

void AccountListBox::focusOutEvent(QFocusEvent* event) {
    QListWidget::focusOutEvent(event);
    pointerHold_->stop();
    keyHold_->stop();
    clearSelection();
}

}  // namespace zul
