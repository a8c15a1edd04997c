#include "ui/dialogs/about_sheet.h"

#include <QGridLayout>
#include <QPainter>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "platform/resources.h"
#include "platform/text.h"
#include "storage/options.h"
#include "ui/dialogs/options_state.h"
#include "ui/dialogs/sheet_controls.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/texts/ui_texts.h"

// The program icon is compiled into this library; a static library registers it by hand.
static void InitDialogResources() {
    Q_INIT_RESOURCE(dialogs);
}

namespace zul {
namespace {

// The program's icon at 32 px (scaled).
QPixmap ProgramIcon() {
    InitDialogResources();
    const int size = ScaleX(32);
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/dialogs/icons/146.svg"));
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
    }
    return pixmap;
}

}  // namespace

AboutSheet::AboutSheet(QWidget* parent, const CAccounts& accounts)
    : PropertySheet(parent, QString::fromStdU16String(AppTitle()), false) {
    AddPage(new AboutPage(*this, accounts));
    SetActivePage(0);
}

AboutPage::AboutPage(AboutSheet& sheet, const CAccounts& accounts)
    : SheetPage(sheet, tpl::kAbout),
      accounts_(accounts),
      icon_(new QLabel(this)),
      name_(new QLabel(QString::fromStdU16String(AppTitle()), this)),
      received_(MakeStatic(idc::kReceived, QString(), this)),
      sent_(MakeStatic(idc::kSent, QString(), this)) {
    icon_->setObjectName(ControlName(idc::kAboutIcon));
    icon_->setPixmap(ProgramIcon());
    name_->setFont(UiFont(0, true));
}

QString AboutPage::Title() const {
    return QString::fromStdU16String(AppTitle());
}

int AboutPage::SoftKeys() const {
    return menuid::kKeysOk;
}

void AboutPage::Command(int id) {
    if (id == cmd::kOk) Sheet().accept();
}

void AboutPage::RefreshTotals() {
    const TrafficTotals totals = AboutTotals(accounts_, Options());
    received_->setText(
        QString::fromStdU16String(FormatInt(ResString(ids::kReceived), totals.receivedKb)));
    sent_->setText(QString::fromStdU16String(FormatInt(ResString(ids::kSent), totals.sentKb)));
}

void AboutPage::paintEvent(QPaintEvent* event) {
    // Setting an unchanged text repaints nothing, so this does not repaint itself.
    RefreshTotals();
    SheetPage::paintEvent(event);
}

void AboutPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        auto* layout = new QGridLayout(this);
        layout->setContentsMargins(ScaleX(12), ScaleY(12), ScaleX(12), ScaleY(12));
        layout->setHorizontalSpacing(ScaleX(12));
        layout->addWidget(icon_, 0, 0, 3, 1, Qt::AlignTop);
        layout->addWidget(name_, 0, 1);
        layout->addWidget(received_, 1, 1);
        layout->addWidget(sent_, 2, 1);
        layout->setColumnStretch(1, 1);
        layout->setRowStretch(3, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(ScaleX(12), ScaleY(16), ScaleX(12), ScaleY(12));
    layout->setSpacing(ScaleY(6));
    layout->addWidget(icon_, 0, Qt::AlignHCenter);
    layout->addWidget(name_, 0, Qt::AlignHCenter);
    layout->addSpacing(ScaleY(8));
    layout->addWidget(received_, 0, Qt::AlignHCenter);
    layout->addWidget(sent_, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

}  // namespace zul
