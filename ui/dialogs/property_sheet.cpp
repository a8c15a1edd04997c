#include "ui/dialogs/property_sheet.h"

#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>

#include "platform/resources.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/soft_key_bar.h"
#include "ui/texts/ui_resources.h"

namespace zul {
namespace {

// The size of a sheet opened without a window to cover.
constexpr int kDefaultWidth = 480;
constexpr int kDefaultHeight = 640;

}  // namespace

Orientation OrientationOf(const QSize& size) {
    if (size.width() < size.height()) return Orientation::kPortrait;
    if (size.width() == size.height()) return Orientation::kSquare;
    return Orientation::kLandscape;
}

// --- SheetPage ---------------------------------------------------------------------------------

SheetPage::SheetPage(PropertySheet& sheet, Templates templates)
    : sheet_(sheet), templates_(templates) {
    setFont(UiFont(2, false));
}

void SheetPage::UpdateLayout(Orientation orientation, bool force) {
    if (arranged_ && !force && orientation == shown_) return;
    const bool templateChanges = !arranged_ || templates_.For(orientation) != TemplateId();
    shown_ = orientation;
    arranged_ = true;
    // Two orientations may share a template: the controls stay where they are.
    if (templateChanges || force) {
        ClearLayout();
        Arrange(orientation);
    }
}

void SheetPage::ClearLayout() {
    delete layout();
}

// --- PropertySheet -----------------------------------------------------------------------------

PropertySheet::PropertySheet(QWidget* parent, const QString& title, bool withTabs)
    : QDialog(parent),
      title_(new QLabel(this)),
      stack_(new QStackedWidget(this)),
      keys_(new SoftKeyBar(this)) {
    setModal(true);
    setWindowTitle(QString::fromStdU16String(AppTitle()));
    setFont(UiFont(2, false));

    title_->setFont(UiFont(1, true));
    title_->setForegroundRole(QPalette::Highlight);
    title_->setContentsMargins(ScaleX(8), ScaleY(6), ScaleX(8), ScaleY(6));
    title_->setText(title);
    title_->setObjectName(QStringLiteral("sheetTitle"));

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setForegroundRole(QPalette::Highlight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(title_);
    layout->addWidget(rule);
    layout->addWidget(stack_, 1);
    if (withTabs) {
        tabs_ = new QTabBar(this);
        tabs_->setShape(QTabBar::RoundedSouth);
        tabs_->setExpanding(false);
        tabs_->setDrawBase(true);
        tabs_->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(tabs_);
        connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
            if (!switching_) SetActivePage(index);
        });
    }
    keys_->setFixedHeight(keys_->BarHeight());
    layout->addWidget(keys_);
    connect(keys_, &SoftKeyBar::LeftPressed, this, [this] { KeyPressed(0); });
    connect(keys_, &SoftKeyBar::RightPressed, this, [this] { KeyPressed(1); });
    FitToParent();
}

PropertySheet::~PropertySheet() = default;

void PropertySheet::FitToParent() {
    const QWidget* over = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (over != nullptr && over->width() > 0 && over->height() > 0) {
        setGeometry(over->geometry());
    } else {
        resize(kDefaultWidth, kDefaultHeight);
    }
}

void PropertySheet::AddPage(SheetPage* page) {
    pages_.push_back(page);
    stack_->addWidget(page);
    if (tabs_ != nullptr) {
        switching_ = true;
        tabs_->addTab(page->Title());
        switching_ = false;
    }
}

SheetPage* PropertySheet::PageAt(int index) const {
    if (index < 0 || index >= PageCount()) return nullptr;
    return pages_[static_cast<size_t>(index)];
}

SheetPage* PropertySheet::ActivePage() const {
    return PageAt(active_);
}

void PropertySheet::SetActivePage(int index) {
    SheetPage* next = PageAt(index);
    if (next == nullptr) return;
    if (SheetPage* current = ActivePage(); current != nullptr && index != active_)
        current->Leaving();
    active_ = index;
    stack_->setCurrentWidget(next);
    if (tabs_ != nullptr && tabs_->currentIndex() != index) {
        switching_ = true;
        tabs_->setCurrentIndex(index);
        switching_ = false;
    }
    next->UpdateLayout(CurrentOrientation(), true);
    SetTitle(next->Title());
    SetSoftKeys(next->SoftKeys());
    next->Entered();
}

void PropertySheet::SetTitle(const QString& title) {
    title_->setText(title);
}

QString PropertySheet::Title() const {
    return title_->text();
}

void PropertySheet::SetSoftKeys(int menu) {
    const MenuResource resource = UiMenu(menu);
    keyCommands_ = {0, 0};
    QPushButton* keys[2] = {keys_->LeftKey(), keys_->RightKey()};
    size_t slot = 0;
    for (const MenuNode& node : resource.items) {
        if (node.kind != MenuNode::kCommand || slot >= keyCommands_.size()) continue;
        keyCommands_[slot] = node.command;
        keys[slot]->setText(QString::fromStdU16String(node.text));
        keys[slot]->setEnabled(true);
        ++slot;
    }
    for (size_t i = 0; i < keyCommands_.size(); ++i) {
        // A bar with one entry keeps it on the left, where the platform puts it.
        QSizePolicy policy = keys[i]->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        keys[i]->setSizePolicy(policy);
        keys[i]->setVisible(i < slot);
        if (i >= slot) keys[i]->setText(QString());
    }
}

QPushButton* PropertySheet::KeyFor(int command) const {
    if (command == 0) return nullptr;
    if (keyCommands_[0] == command) return keys_->LeftKey();
    if (keyCommands_[1] == command) return keys_->RightKey();
    return nullptr;
}

void PropertySheet::EnableCommand(int command, bool enabled) {
    if (QPushButton* key = KeyFor(command)) key->setEnabled(enabled);
}

bool PropertySheet::CommandEnabled(int command) const {
    const QPushButton* key = KeyFor(command);
    return key != nullptr && key->isEnabled();
}

bool PropertySheet::PressCommand(int command) {
    if (!CommandEnabled(command)) return false;
    OnCommand(command);
    return true;
}

void PropertySheet::KeyPressed(int slot) {
    const int command = keyCommands_[static_cast<size_t>(slot)];
    if (command != 0) PressCommand(command);
}

void PropertySheet::OnCommand(int id) {
    if (SheetPage* page = ActivePage()) page->Command(id);
}

void PropertySheet::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (SheetPage* page = ActivePage()) page->UpdateLayout(CurrentOrientation(), false);
}

}  // namespace zul
