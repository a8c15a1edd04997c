// MessageEditor: the text box shared by the chat pages. Enter confirms (Shift+Enter starts a
// new line); the box grows with its line count up to a few lines.
#pragma once

#include <QPlainTextEdit>

namespace zul {

class MessageEditor : public QPlainTextEdit {
    Q_OBJECT
  public:
    static constexpr int kConfirm = 1;  // notification code: Enter released over some text
    static constexpr int kMaxShownLines = 4;

    explicit MessageEditor(QWidget* parent = nullptr);

    // Lines the text takes at the editor's width, soft wraps included; at least 1.
    int LineCount() const { return lines_; }
    // Height for the current line count (at most kMaxShownLines lines).
    int PreferredHeight() const;
    // Counts the lines again; emits LinesChanged when the count changed.
    void Recount();

  signals:
    void Notify(int code);
    void LinesChanged(int lines);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    int CountLines() const;

    int lines_ = 1;
};

}  // namespace zul
