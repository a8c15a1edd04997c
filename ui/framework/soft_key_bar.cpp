#include "ui/framework/soft_key_bar.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QShortcut>
#include <utility>

#include "ui/framework/drawing.h"

namespace zul {

SoftKeyBar::SoftKeyBar(QWidget* parent)
    : QWidget(parent), left_(new QPushButton(this)), right_(new QPushButton(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QPushButton* key : {left_, right_}) {
        key->setFlat(true);
        // Reached by Tab only: a click leaves the keys' focus where it was.
        key->setFocusPolicy(Qt::TabFocus);
        // Enter in a sheet's edit never presses a key (keys that take focus would be its default).
        key->setAutoDefault(false);
        // Flat, with a ring while it has the keys.
        key->setStyleSheet(
            QStringLiteral("QPushButton { border: 2px solid transparent; }"
                           "QPushButton:focus { border-color: palette(highlight); }"));
        key->setFont(UiFont(2, true));
        key->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(key);
    }
    connect(left_, &QPushButton::clicked, this, &SoftKeyBar::LeftPressed);
    connect(right_, &QPushButton::clicked, this, &SoftKeyBar::RightPressed);
    // From the keyboard: F1 and F2, or a phone's own soft-key codes, anywhere in the window
    // (also while the chat editor has the focus). A greyed key stays silent.
    const std::pair<Qt::Key, QPushButton*> keys[] = {{Qt::Key_F1, left_},
                                                     {Qt::Key_Context1, left_},
                                                     {Qt::Key_F2, right_},
                                                     {Qt::Key_Context2, right_}};
    for (const auto& [key, button] : keys) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled()) button->click();
        });
    }
    setAutoFillBackground(true);
}

void SoftKeyBar::SetLeftKey(const QString& label, bool enabled) {
    left_->setText(label);
    left_->setEnabled(enabled);
    left_->setToolTip(label.isEmpty() ? QString() : label + QStringLiteral(" (F1)"));
}

void SoftKeyBar::SetRightKey(const QString& label) {
    right_->setText(label);
    right_->setToolTip(label.isEmpty() ? QString() : label + QStringLiteral(" (F2)"));
}

int SoftKeyBar::BarHeight() const {
    return LineHeight(2) + LineHeight(4) / 2;
}

}  // namespace zul
