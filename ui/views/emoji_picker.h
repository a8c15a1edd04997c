// EmojiPicker: a grid of common emoji for the fingers, over the window: a row of categories
// (smileys, people and gestures, hearts and symbols, animals and food, objects) above the
// category's emoji, and above them the emoji chosen earlier in the session. A tap on one puts
// it in at the editor's cursor and gives the editor the focus again; Escape or a tap outside
// closes the picker. The arrow keys move between the cells and Enter or Space chooses.
#pragma once

#include <QFrame>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <vector>

class QButtonGroup;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QToolButton;

namespace zul::emoji {

constexpr int kTextInsertEmoji = 395;
constexpr int kTextRecentlyUsed = 396;
constexpr int kTextCategories = 397;  // the categories' names, one after the other, split at '|'
constexpr int kTextEmoji = 398;

class EmojiPicker : public QFrame {
  public:
    static constexpr int kCategoryCount = 5;
    static constexpr int kMinCell = 40;  // a cell is no smaller than a fingertip
    static constexpr int kRecentMax = 10;

    // Opens the picker for the editor over the editor's window, just above the editor (an open
    // one closes first). It deletes itself when closed.
    static EmojiPicker* Open(QPlainTextEdit& editor);
    // The emoji chosen this session, the latest first.
    static const QStringList& Recent();
    // The emoji of a category, in their order.
    static QStringList CategoryEmoji(int index);

    void ShowCategory(int index);
    int Category() const { return category_; }
    // The cells shown: the row of recent emoji first, then the category's.
    std::vector<QToolButton*> Cells() const;
    // Puts the emoji in at the editor's cursor, remembers it and closes.
    void Choose(const QString& emoji);

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    explicit EmojiPicker(QPlainTextEdit& editor);
    QToolButton* MakeCell(QWidget* parent);
    void Place();

    QPointer<QPlainTextEdit> editor_;
    int cell_ = kMinCell;
    int columns_ = 1;
    int category_ = -1;
    QLabel* recentLabel_ = nullptr;
    QWidget* recentRow_ = nullptr;
    std::vector<QToolButton*> recentCells_;
    QButtonGroup* tabs_ = nullptr;
    std::vector<QToolButton*> cells_;
};

}  // namespace zul::emoji
