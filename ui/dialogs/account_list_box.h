// AccountListBox: the Options sheet's account list with the input rules of a finger: a tap is
// recognised on release only when the pointer stayed within 5 px (scaled) vertically of the
// press, a longer move drags the list, and holding the pointer (or the action key) on a row
// asks for its menu. Losing the focus hides the selection but keeps the caret row.
#pragma once

#include <QListWidget>
#include <QPoint>

class QTimer;

namespace zul {

class AccountListBox : public QListWidget {
    Q_OBJECT
  public:
    // How long a press must be held to count as tap-and-hold.
    static constexpr int kHoldMs = 600;

    explicit AccountListBox(QWidget* parent);

    // The row the caret is on, also while the selection is hidden; -1 when none.
    int CaretRow() const { return caret_; }
    // Moves the caret to a row and selects it (when the list has the focus, or always when
    // asked).
    void PlaceCaret(int row);

  signals:
    // A tap, or the action key, on a row.
    void RowActivated(int row);
    // Tap-and-hold, the action key held, or the context-menu request, on a row; `global` is
    // where the menu opens.
    void RowMenuRequested(int row, QPoint global);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void PointerHeld();
    void KeyHeld();
    QPoint RowMenuPoint(int row) const;

    QTimer* pointerHold_;
    QTimer* keyHold_;
    QPoint pressPos_;
    int pressRow_ = -1;
    int pressScroll_ = 0;
    bool pressed_ = false;
    bool dragging_ = false;
    bool held_ = false;
    int caret_ = -1;
};

}  // namespace zul
