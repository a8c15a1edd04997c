#include "ui/dialogs/sheet_controls.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QMouseEvent>

#include "ui/dialogs/dialog_texts.h"
#include "ui/framework/dpi.h"

namespace zul {

CheckRow::CheckRow(int control, const QString& text, QWidget* parent)
    : QWidget(parent), box_(new QCheckBox(this)), label_(new QLabel(text, this)) {
    box_->setObjectName(ControlName(control));
    box_->setAccessibleName(text);
    label_->setWordWrap(true);
    label_->setBuddy(box_);
    label_->installEventFilter(this);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(ScaleX(4));
    layout->addWidget(box_, 0, Qt::AlignTop);
    layout->addWidget(label_, 1);
}

bool CheckRow::Checked() const {
    return box_->isChecked();
}

void CheckRow::SetChecked(bool checked) {
    box_->setChecked(checked);
}

bool CheckRow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == label_ && event->type() == QEvent::MouseButtonRelease && box_->isEnabled()) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            label_->rect().contains(mouse->position().toPoint()))
            box_->toggle();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CheckRow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) label_->setEnabled(isEnabled());
    QWidget::changeEvent(event);
}

QLabel* MakeStatic(int control, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(ControlName(control));
    label->setWordWrap(true);
    return label;
}

}  // namespace zul
