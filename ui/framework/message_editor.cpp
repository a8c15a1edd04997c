#include "ui/framework/message_editor.h"

#include <QKeyEvent>
#include <QTextBlock>
#include <QTextLayout>
#include <algorithm>

#include "ui/framework/drawing.h"

namespace zul {
namespace {
bool IsEnter(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}
}  // namespace

MessageEditor::MessageEditor(QWidget* parent) : QPlainTextEdit(parent) {
    setFont(UiFont(2, false));
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    // Messages are prose over several lines: the keyboard may capitalise and predict.
    setInputMethodHints(Qt::ImhMultiLine);
    connect(this, &QPlainTextEdit::textChanged, this, &MessageEditor::Recount);
}

void MessageEditor::keyPressEvent(QKeyEvent* event) {
    if (IsEnter(event->key())) {
        if (event->modifiers() & Qt::ShiftModifier) insertPlainText(QStringLiteral("\n"));
        event->accept();  // a plain Enter confirms on release and adds no line
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MessageEditor::keyReleaseEvent(QKeyEvent* event) {
    QPlainTextEdit::keyReleaseEvent(event);
    if (IsEnter(event->key()) && !event->isAutoRepeat() &&
        !(event->modifiers() & Qt::ShiftModifier) && !toPlainText().isEmpty())
        emit Notify(kConfirm);
    Recount();
}

void MessageEditor::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    Recount();
}

int MessageEditor::CountLines() const {
    const int width = viewport()->width() - 2 * static_cast<int>(document()->documentMargin());
    if (width <= 0) return std::max(1, document()->blockCount());
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        QTextLayout layout(block.text(), font());
        QTextOption option;
        option.setWrapMode(wordWrapMode());
        layout.setTextOption(option);
        layout.beginLayout();
        int count = 0;
        while (true) {
            QTextLine line = layout.createLine();
            if (!line.isValid()) break;
            line.setLineWidth(width);
            ++count;
        }
        layout.endLayout();
        lines += std::max(1, count);
    }
    return std::max(1, lines);
}

void MessageEditor::Recount() {
    const int lines = CountLines();
    if (lines == lines_) return;
    lines_ = lines;
    // The editor grows with its text up to a few lines: a scroll bar only past them.
    setVerticalScrollBarPolicy(lines_ > kMaxShownLines ? Qt::ScrollBarAsNeeded
                                                       : Qt::ScrollBarAlwaysOff);
    emit LinesChanged(lines_);
}

int MessageEditor::PreferredHeight() const {
    const int shown = std::clamp(lines_, 1, kMaxShownLines);
    const int margins = 2 * (frameWidth() + static_cast<int>(document()->documentMargin()));
    return shown * fontMetrics().lineSpacing() + margins;
}

}  // namespace zul
