#include "ui/framework/soft_key_bar.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "ui/framework/drawing.h"

namespace zul {

SoftKeyBar::SoftKeyBar(QWidget* parent)
    : QWidget(parent), left_(new QPushButton(this)), right_(new QPushButton(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QPushButton* key : {left_, right_}) {
        key->setFlat(true);
        key->setFocusPolicy(Qt::NoFocus);
        key->setFont(UiFont(2, true));
        key->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(key);
    }
    connect(left_, &QPushButton::clicked, this, &SoftKeyBar::LeftPressed);
    connect(right_, &QPushButton::clicked, this, &SoftKeyBar::RightPressed);
    setAutoFillBackground(true);
}

void SoftKeyBar::SetLeftKey(const QString& label, bool enabled) {
    left_->setText(label);
    left_->setEnabled(enabled);
}

void SoftKeyBar::SetRightKey(const QString& label) {
    right_->setText(label);
}

int SoftKeyBar::BarHeight() const {
    return LineHeight(2) + LineHeight(4) / 2;
}

}  // namespace zul
