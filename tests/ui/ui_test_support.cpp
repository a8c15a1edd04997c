#include "tests/ui/ui_test_support.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QTest>

#include "storage/options.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/scrollable_window.h"

// fontconfig keeps a cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace zul::test {
namespace {
uint32_t g_now = 100000;
uint32_t ReadFakeClock() {
    return g_now;
}
}  // namespace

QApplication* EnsureApp() {
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return app;
}

uint32_t FakeNow() {
    return g_now;
}
void SetFakeNow(uint32_t ms) {
    g_now = ms;
}
void AdvanceFakeClock(uint32_t ms) {
    g_now += ms;
}

QString ScreenshotPath(const QString& name) {
    QDir dir(QDir::currentPath());
    dir.mkpath(QStringLiteral("screenshots"));
    return dir.filePath(QStringLiteral("screenshots/") + name);
}

void UiTest::SetUp() {
    EnsureApp();
    Options().ResetToDefaults();
    Dpi::SetOverride(96, 96);
    ScrollableWindow::SetClock(&ReadFakeClock);
    BaseWindow::SetManualTimers(true);
}

void UiTest::TearDown() {
    ScrollableWindow::SetClock(nullptr);
    BaseWindow::SetManualTimers(false);
    Dpi::ClearOverride();
    Options().ResetToDefaults();
}

RowsPage::RowsPage(const QString& title, int rows, int rowHeight, uint8_t kind)
    : rowHeight(rowHeight), kind(kind) {
    Caption().SetTitle(title);
    SetRows(rows);
}

void RowsPage::SetRows(int rows) {
    if (FocusedItem() != nullptr) FocusItem(nullptr);
    items_.clear();
    for (int i = 0; i < rows; ++i) items_.push_back(std::make_unique<RowItem>(kind, i));
}

int RowsPage::ContentHeight() {
    if (items_.empty()) return 0;
    return CaptionHeight() + RowCount() * rowHeight;
}

void RowsPage::LayoutContent(int width) {
    int y = CaptionHeight();
    for (auto& item : items_) {
        item->SetRect(QRect(0, y, width, rowHeight));
        y += rowHeight;
    }
}

void RowsPage::DrawRect(QPainter& painter, const QRect& rect) {
    ++drawCalls;
    SelectFont(painter, 2, false);
    for (auto& item : items_) {
        const QRect r = item->Rect();
        if (!r.intersects(rect)) continue;
        const bool selected = item.get() == FocusedItem();
        painter.fillRect(r, ItemBackground(selected, true));
        painter.setPen(ItemTextColour(selected, true, true));
        painter.drawText(r.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         QStringLiteral("Row %1").arg(item->Number()));
        painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), GreyTextColour());
    }
}

ListItem* RowsPage::ItemAt(int x, int y) {
    for (auto& item : items_)
        if (item->Rect().contains(x, y)) return item.get();
    return nullptr;
}

bool RowsPage::EditorNotification(int code, const QString& text) {
    editorNotes.emplace_back(code, text);
    return emptyEditorOnConfirm;
}

bool RowsPage::LeftSoftKey(QString& label) {
    label = Caption().Title();
    return true;
}

void RowsPage::FillMenuPopup(QMenu& menu, QAction* before) {
    auto* view = new QMenu(QStringLiteral("&View"), &menu);
    AddMenuCommand(*view, Caption().Title() + QStringLiteral(" view"), 40000);
    menu.insertMenu(before, view);
}

bool RowsPage::FillContextMenu(QMenu& menu) {
    ++contextMenus;
    AddMenuCommand(menu, QStringLiteral("Copy"), 32869);
    return true;
}

void RowsPage::FillLeftKeyPopup(QMenu& menu) {
    AddMenuCommand(menu, QStringLiteral("Close"), 50000);
    menu.addSeparator();
    AddMenuCommand(menu, QStringLiteral("Details"), 50002);
}

void HostTest::SetUp() {
    UiTest::SetUp();
    window = std::make_unique<MainWindow>();
    window->resize(480, 640);
    window->show();
}

void HostTest::TearDown() {
    window.reset();
    UiTest::TearDown();
}

void HostTest::Press(QPoint pos, uint32_t ms) {
    AdvanceFakeClock(ms);
    QTest::mousePress(window.get(), Qt::LeftButton, {}, pos);
}

void HostTest::Move(QPoint pos, uint32_t ms) {
    AdvanceFakeClock(ms);
    QTest::mouseMove(window.get(), pos);
}

void HostTest::Release(QPoint pos, uint32_t ms) {
    AdvanceFakeClock(ms);
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, pos);
}

void HostTest::Tap(QPoint pos) {
    Press(pos);
    Release(pos, 50);
}

void HostTest::Drag(QPoint from, QPoint to, int steps, uint32_t ms, bool release) {
    Press(from);
    const auto n = static_cast<uint32_t>(steps);
    for (uint32_t i = 1; i <= n; ++i)
        Move(from + (to - from) * static_cast<int>(i) / steps, ms * i / n - ms * (i - 1) / n);
    if (release) Release(to);
}

int HostTest::RunScroll(int limit) {
    int ticks = 0;
    while (window->TimerActive(ScrollableWindow::kTimerScroll) && ticks < limit) {
        window->FireTimer(ScrollableWindow::kTimerScroll);
        ++ticks;
    }
    return ticks;
}

int HostTest::RunSlide(int limit) {
    int ticks = 0;
    while (window->Sliding() && ticks < limit) {
        window->FireTimer(ScrollableWindow::kTimerSlide);
        ++ticks;
    }
    return ticks;
}

QImage HostTest::Screen() {
    return window->grab().toImage();
}

}  // namespace zul::test
