// Shared pieces of the window tests: the offscreen application, a controllable clock, and a
// page of numbered rows.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <memory>
#include <vector>

#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"

class QApplication;

namespace zul {
class MainWindow;
}

namespace zul::test {

// The one QApplication of the test binary, made on first use (offscreen unless the
// environment names a platform).
QApplication* EnsureApp();

// The clock the scrollable window reads; tests move it by hand.
uint32_t FakeNow();
void SetFakeNow(uint32_t ms);
void AdvanceFakeClock(uint32_t ms);

// Folder "screenshots" in the working directory (the build folder under ctest).
QString ScreenshotPath(const QString& name);

// Fixture: application, default options, 96 dpi, the fake clock, timers run by hand.
class UiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A row that opens a page (when given one), toggles, or does nothing.
class RowItem : public ListItem {
  public:
    RowItem(uint8_t kind, int number) : ListItem(kind), number_(number) {}
    int Number() const { return number_; }
    ViewPage* opens = nullptr;
    int activations = 0;
    ViewPage* Activate(int mode) override {
        ++activations;
        return opens;
    }

  private:
    int number_;
};

// A page of numbered rows of a fixed height under its caption bar.
class RowsPage : public ViewPage {
  public:
    RowsPage(const QString& title, int rows, int rowHeight = 40,
             uint8_t kind = ListItem::kOpensPage);

    int ContentHeight() override;
    void LayoutContent(int width) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    ListItem* ItemAt(int x, int y) override;
    QString EmptyText() override { return emptyText; }
    bool UsesEditor() override { return usesEditor; }
    bool EditorNotification(int code, const QString& text) override;
    void Command(int id) override { commands.push_back(id); }
    void Activated() override { ++activatedCount; }
    void Deactivated() override { ++deactivatedCount; }
    void SlowTick() override { ++slowTicks; }
    bool WantsTicks() const override { return wantsTicks; }
    bool ChangedSinceLastPaint() override {
        ++changeChecks;
        return ViewPage::ChangedSinceLastPaint();
    }
    bool LeftSoftKey(QString& label) override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void FillLeftKeyPopup(QMenu& menu) override;

    bool FillContextMenu(QMenu& menu) override;
    void ContextCommand(int id) override { contextCommands.push_back(id); }

    RowItem* Row(int i) { return items_[static_cast<size_t>(i)].get(); }
    int RowCount() const { return static_cast<int>(items_.size()); }
    void SetRows(int rows);

    int rowHeight;
    uint8_t kind;
    QString emptyText = QStringLiteral("Nothing to show on this page");
    bool usesEditor = false;
    bool emptyEditorOnConfirm = true;
    std::vector<std::pair<int, QString>> editorNotes;
    std::vector<int> commands;
    std::vector<int> contextCommands;
    int contextMenus = 0;
    int activatedCount = 0;
    int deactivatedCount = 0;
    int slowTicks = 0;
    bool wantsTicks = false;
    int changeChecks = 0;
    int drawCalls = 0;

  private:
    std::vector<std::unique_ptr<RowItem>> items_;
};

// Fixture with a shown main window of 480 x 640 and helpers that drive it with QTest.
class HostTest : public UiTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Pointer input at window coordinates; the fake clock moves by `ms` before each event.
    void Press(QPoint pos, uint32_t ms = 0);
    void Move(QPoint pos, uint32_t ms = 0);
    void Release(QPoint pos, uint32_t ms = 0);
    void Tap(QPoint pos);
    // A press at `from`, `steps` moves to `to` over `ms` milliseconds, and the release.
    void Drag(QPoint from, QPoint to, int steps, uint32_t ms, bool release = true);
    // Runs the scroll timer until it stops; returns the ticks it took.
    int RunScroll(int limit = 1000);
    int RunSlide(int limit = 100);
    QImage Screen();

    std::unique_ptr<MainWindow> window;
};

}  // namespace zul::test
