#include "ui/views/emoji_picker.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/views/chat_page_look.h"
#include "ui/views/emoji_text.h"
#include "ui/views/view_support.h"

namespace zul::emoji {
namespace {

// The emoji of the categories, in the order of their names (string 397); the first stands for
// its category on its tab.
const char16_t* const kTable[EmojiPicker::kCategoryCount] = {
    u"😀 😃 😄 😁 😆 😅 😂 🤣 😊 😇 "
    u"🙂 🙃 😉 😌 😍 🥰 😘 😗 😚 😋 "
    u"😛 😜 🤪 😝 🤗 🤭 🤫 🤔 🤨 😐 "
    u"😑 😶 😏 😒 🙄 😬 😴 😷 🤒 🤢 "
    u"🥳 😎 🤓 😕 😟 🙁 😮 😳 🥺 😢 "
    u"😭 😱 😖 😩 😤 😡 🤯 😈 💩 👻",
    u"👋 🤚 🖐️ ✋ 🖖 👌 🤏 ✌️ 🤞 🤟 "
    u"🤘 🤙 👈 👉 👆 👇 ☝️ 👍 👎 ✊ "
    u"👊 🤛 🤜 👏 🙌 👐 🤲 🤝 🙏 ✍️ "
    u"💪 👀 👂 👃 🧠 👄 👶 🧒 👦 👧 "
    u"🧑 👨 👩 🧓 👴 👵 🙋 🙆 🙅 🤷 "
    u"🤦 💁 🙇 👪 💃 🕺 🏃 🚶 🧘 👫",
    u"❤️ 🧡 💛 💚 💙 💜 🖤 🤍 🤎 💔 "
    u"❣️ 💕 💞 💓 💗 💖 💘 💝 💟 💋 "
    u"💯 💢 💥 💫 💦 💨 💬 💭 💤 ✨ "
    u"⭐ 🌟 🔥 ⚡ 🌈 ☀️ 🌙 ☁️ ❄️ 🎵 "
    u"✅ ❌ ❓ ❗ ➕ ➖ ✔️ ⚠️ 🚫 ♻️ "
    u"🔴 🟠 🟡 🟢 🔵 🟣 ⚫ ⚪ 🆗 🆘",
    u"🐶 🐱 🐭 🐹 🐰 🦊 🐻 🐼 🐨 🐯 "
    u"🦁 🐮 🐷 🐸 🐵 🐔 🐧 🐦 🦆 🦉 "
    u"🐴 🦄 🐝 🦋 🐞 🐢 🐍 🐙 🐠 🐬 "
    u"🍏 🍎 🍐 🍊 🍋 🍌 🍉 🍇 🍓 🍒 "
    u"🍑 🍍 🥝 🍅 🥑 🥕 🌽 🍞 🧀 🥚 "
    u"🍕 🍔 🍟 🍝 🍣 🍦 🍩 🎂 ☕ 🍺",
    u"💡 📱 💻 ⌨️ 🖥️ 🖨️ 📷 🎥 📞 ☎️ "
    u"📺 📻 ⏰ ⌛ 🔋 🔌 🔦 🕯️ 💰 💳 "
    u"💎 🔧 🔨 🛠️ 🔑 🔒 🔓 🚪 🛏️ 🛒 "
    u"🎁 🎈 🎉 🎊 ✉️ 📦 📝 📅 📌 📎 "
    u"✂️ 📚 📖 🔍 ⚽ 🏀 🎮 🎲 🎸 🎧 "
    u"🚗 🚕 🚌 🚲 ✈️ 🚀 🏠 🏖️ ⛱️ ☂️",
};

QStringList& RecentList() {
    static QStringList recent;
    return recent;
}

QPointer<EmojiPicker>& OpenPicker() {
    static QPointer<EmojiPicker> picker;
    return picker;
}

}  // namespace

const QStringList& EmojiPicker::Recent() {
    return RecentList();
}

QStringList EmojiPicker::CategoryEmoji(int index) {
    if (index < 0 || index >= kCategoryCount) return {};
    return QString::fromUtf16(kTable[index]).split(u' ', Qt::SkipEmptyParts);
}

EmojiPicker* EmojiPicker::Open(QPlainTextEdit& editor) {
    if (EmojiPicker* open = OpenPicker()) open->close();
    auto* picker = new EmojiPicker(editor);
    OpenPicker() = picker;
    picker->ShowCategory(0);
    picker->Place();
    picker->show();
    picker->Cells().front()->setFocus(Qt::PopupFocusReason);
    return picker;
}

EmojiPicker::EmojiPicker(QPlainTextEdit& editor)
    : QFrame(editor.window(), Qt::Popup), editor_(&editor) {
    setAttribute(Qt::WA_DeleteOnClose);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    setAccessibleName(ResText(kTextEmoji));

    // As many cells across as the window's width takes at a fingertip and a bit, ten at most.
    const int margin = ScaleX(4);
    const int room = std::max(1, editor.window()->width() - 2 * (margin + frameWidth()));
    columns_ = std::clamp(room / std::max(kMinCell, ScaleX(44)), 1, 10);
    cell_ = std::max(kMinCell, std::min(room / columns_, ScaleX(56)));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(ScaleY(2));
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The cells of the recent row and of the grid are one group, so that the arrow keys go
    // from one to its neighbour, across the two.
    auto* cellGroup = new QButtonGroup(this);
    cellGroup->setExclusive(false);

    // The emoji chosen before, on a row under its name; neither shows before the first choice.
    const QStringList& recent = RecentList();
    recentLabel_ = new QLabel(ResText(kTextRecentlyUsed), this);
    recentLabel_->setFont(UiFont(4, false));
    QPalette grey = recentLabel_->palette();
    grey.setColor(QPalette::WindowText, GreyTextColour());
    recentLabel_->setPalette(grey);
    layout->addWidget(recentLabel_);
    recentRow_ = new QWidget(this);
    auto* recentCells = new QHBoxLayout(recentRow_);
    recentCells->setContentsMargins(0, 0, 0, 0);
    recentCells->setSpacing(0);
    const int shown = std::min<int>(columns_, static_cast<int>(recent.size()));
    for (int i = 0; i < shown; ++i) {
        QToolButton* cell = MakeCell(recentRow_);
        cell->setText(recent[i]);
        cell->setAccessibleName(recent[i]);
        recentCells->addWidget(cell);
        recentCells_.push_back(cell);
        cellGroup->addButton(cell);
    }
    recentCells->addStretch();
    layout->addWidget(recentRow_);
    recentLabel_->setVisible(shown > 0);
    recentRow_->setVisible(shown > 0);

    // The categories' tabs, each showing its first emoji and named for screen readers.
    auto* tabRow = new QHBoxLayout;
    tabRow->setSpacing(0);
    tabs_ = new QButtonGroup(this);
    const QStringList names = ResText(kTextCategories).split(u'|');
    QFont tabFont = ColourFont(UiFont(0, false));
    tabFont.setPixelSize(std::max(1, cell_ * 9 / 20));
    for (int i = 0; i < kCategoryCount; ++i) {
        auto* tab = new QToolButton(this);
        tab->setCheckable(true);
        tab->setAutoRaise(true);
        tab->setFocusPolicy(Qt::StrongFocus);
        tab->setFont(tabFont);
        tab->setText(CategoryEmoji(i).value(0));
        tab->setToolTip(names.value(i));
        tab->setAccessibleName(names.value(i));
        // As wide as the grid gives them, whatever their text asks.
        tab->setMinimumWidth(kMinCell);
        tab->setFixedHeight(cell_);
        tab->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        tabs_->addButton(tab, i);
        tabRow->addWidget(tab);
    }
    connect(tabs_, &QButtonGroup::idClicked, this, &EmojiPicker::ShowCategory);
    layout->addLayout(tabRow);
    auto* divider = new QFrame(this);
    divider->setFrameStyle(QFrame::HLine | QFrame::Plain);
    QPalette quiet = divider->palette();
    quiet.setColor(QPalette::WindowText, chat::DividerColour());
    divider->setPalette(quiet);
    layout->addWidget(divider);

    // The grid, as tall as the largest category, so that the picker keeps its size.
    int most = 0;
    for (int i = 0; i < kCategoryCount; ++i)
        most = std::max(most, static_cast<int>(CategoryEmoji(i).size()));
    auto* grid = new QWidget(this);
    auto* cells = new QGridLayout(grid);
    cells->setContentsMargins(0, 0, 0, 0);
    cells->setSpacing(0);
    cells->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (int k = 0; k < most; ++k) {
        QToolButton* cell = MakeCell(grid);
        cells->addWidget(cell, k / columns_, k % columns_);
        cells_.push_back(cell);
        cellGroup->addButton(cell);
    }
    grid->setFixedSize(columns_ * cell_, (most + columns_ - 1) / columns_ * cell_);
    layout->addWidget(grid);
}

QToolButton* EmojiPicker::MakeCell(QWidget* parent) {
    auto* cell = new QToolButton(parent);
    cell->setAutoRaise(true);
    cell->setFocusPolicy(Qt::StrongFocus);
    QFont font = ColourFont(UiFont(0, false));
    font.setPixelSize(std::max(1, cell_ * 3 / 5));
    cell->setFont(font);
    cell->setFixedSize(cell_, cell_);
    connect(cell, &QToolButton::clicked, this, [this, cell] { Choose(cell->text()); });
    return cell;
}

void EmojiPicker::ShowCategory(int index) {
    category_ = std::clamp(index, 0, kCategoryCount - 1);
    if (QAbstractButton* tab = tabs_->button(category_)) tab->setChecked(true);
    const QStringList emoji = CategoryEmoji(category_);
    for (size_t k = 0; k < cells_.size(); ++k) {
        const bool used = k < static_cast<size_t>(emoji.size());
        cells_[k]->setText(used ? emoji[static_cast<qsizetype>(k)] : QString());
        cells_[k]->setAccessibleName(cells_[k]->text());
        cells_[k]->setVisible(used);
    }
}

std::vector<QToolButton*> EmojiPicker::Cells() const {
    std::vector<QToolButton*> shown = recentCells_;
    for (QToolButton* cell : cells_)
        if (!cell->isHidden()) shown.push_back(cell);
    return shown;
}

void EmojiPicker::Place() {
    adjustSize();
    QWidget* window = editor_ != nullptr ? editor_->window() : parentWidget();
    if (window == nullptr) return;
    const QRect area(window->mapToGlobal(QPoint(0, 0)), window->size());
    // Just above the editor, so that the text it goes into stays in sight.
    int bottom = area.bottom() + 1;
    if (editor_ != nullptr && editor_->isVisible()) bottom = editor_->mapToGlobal(QPoint(0, 0)).y();
    move(area.left() + (area.width() - width()) / 2, std::max(area.top(), bottom - height()));
}

void EmojiPicker::Choose(const QString& emoji) {
    if (emoji.isEmpty()) return;
    QStringList& recent = RecentList();
    recent.removeAll(emoji);
    recent.prepend(emoji);
    while (recent.size() > kRecentMax) recent.removeLast();
    const QPointer<QPlainTextEdit> editor = editor_;
    close();
    if (editor == nullptr) return;
    editor->insertPlainText(emoji);
    editor->ensureCursorVisible();
    editor->setFocus(Qt::PopupFocusReason);
}

void EmojiPicker::keyPressEvent(QKeyEvent* event) {
    // Space presses the focused cell or tab by itself; Enter does here.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* button = qobject_cast<QAbstractButton*>(focusWidget());
        if (button != nullptr && isAncestorOf(button)) {
            button->click();
            return;
        }
    }
    QFrame::keyPressEvent(event);  // Escape closes a popup
}

}  // namespace zul::emoji
