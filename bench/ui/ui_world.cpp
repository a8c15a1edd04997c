#include "ui/ui_world.h"

#include <QEvent>
#include <stdexcept>

#include "protocol/oscar.h"
#include "storage/database.h"
#include "storage/options.h"
#include "ui/framework/dpi.h"
#include "ui/texts/ui_resources.h"

namespace zul::bench {
namespace {

class PaintCounter : public QObject {
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace

UiWorld::UiWorld(int argc, char** argv, const WorldSpec& shape) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc, argv);
    Dpi::SetOverride(192, 192);
    BaseWindow::SetManualTimers(true);

    WriteProfile(folders_.DataDir() + "zul.profile", shape, {});
    if (!Database().Open()) throw std::runtime_error("cannot open the profile");
    Options().ResetToDefaults();
    Options().RestoreLastStatusesOnStart = 0;
    LoadUiResources(nullptr);
    RegisterOscarAccounts();

    window_ = std::make_unique<MainWindow>();
    window_->resize(480, 800);
    contacts_ = std::make_unique<CContacts>();
    accounts_ = std::make_unique<CAccounts>(*contacts_, folders_.DataDir());
    accountsPage_ = std::make_unique<AccountsPage>(*accounts_);
    contactsPage_ = std::make_unique<ContactListPage>(*contacts_, *accounts_);
    window_->AddPage(accountsPage_.get(), true, false);
    window_->AddPage(contactsPage_.get(), true, false);
    window_->show();
    window_->ShowPage(MainWindow::kJump, 1);
    auto counter = std::make_unique<PaintCounter>();
    window_->installEventFilter(counter.get());
    paintCounter_ = std::move(counter);
    QApplication::processEvents();
}

UiWorld::~UiWorld() {
    window_->removeEventFilter(paintCounter_.get());
    window_->hide();
    contactsPage_.reset();
    accountsPage_.reset();
    accounts_.reset();
    window_.reset();
    contacts_.reset();
    FreeUiResources();
    Database().Close();
    BaseWindow::SetManualTimers(false);
    Dpi::ClearOverride();
    app_.reset();
}

int UiWorld::PaintNow() {
    auto* counter = static_cast<PaintCounter*>(paintCounter_.get());
    const int before = counter->paints;
    window_->repaint();
    return counter->paints - before;
}

}  // namespace zul::bench
