// The page host: the row of pages, showing and removing, the shared editor, menus, keys
// and the two ticks.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <thread>

#include "platform/power.h"
#include "storage/options.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/message_editor.h"
#include "ui/framework/soft_key_bar.h"

namespace zul::test {
namespace {

class PageHost : public HostTest {
  protected:
    RowsPage accounts{QStringLiteral("Accounts"), 3};
    RowsPage contacts{QStringLiteral("Contacts"), 30};
};

TEST_F(PageHost, NewPagesGoAfterTheFirstTwoUnlessAppended) {
    RowsPage a(QStringLiteral("A"), 1), b(QStringLiteral("B"), 1), c(QStringLiteral("C"), 1);
    EXPECT_EQ(window->AddPage(&accounts, false, false), 0);
    EXPECT_EQ(window->CurrentPage(), &accounts);  // the first page is current at once
    EXPECT_TRUE(accounts.IsActive());
    EXPECT_EQ(accounts.activatedCount, 1);
    EXPECT_EQ(window->AddPage(&contacts, false, false), 1);
    EXPECT_EQ(window->AddPage(&a, false, false), 2);
    window->ShowPage(MainWindow::kJump, 2);
    EXPECT_EQ(window->AddPage(&b, false, false), 2);  // inserted before a
    EXPECT_EQ(window->PageAt(3), &a);
    EXPECT_EQ(window->CurrentPage(), &a);  // the current page is still a
    EXPECT_EQ(window->AddPage(&c, true, false), 4);
    EXPECT_EQ(window->AddPage(&b, true, false), 2);  // already there: keeps its place
    EXPECT_EQ(b.Host(), window.get());
    EXPECT_GT(b.Width(), 0);  // laid out for the host
}

TEST_F(PageHost, ShowPageTellsBothPagesAndIgnoresWhatItCannotShow) {
    int notificationRemovals = 0;
    window->SetHooks({.removeNotification = [&] { ++notificationRemovals; }});
    RowsPage chat(QStringLiteral("Chat"), 4);
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->AddPage(&chat, true, false);
    notificationRemovals = 0;

    window->ShowPage(MainWindow::kJump, 2);
    EXPECT_EQ(accounts.deactivatedCount, 1);
    EXPECT_FALSE(accounts.IsActive());
    EXPECT_TRUE(chat.IsActive());
    EXPECT_EQ(window->PreviousIndex(), 0);
    EXPECT_EQ(notificationRemovals, 0);

    window->ShowPage(MainWindow::kJump, 2);  // already current
    window->ShowPage(MainWindow::kJump, 7);  // no such page
    EXPECT_EQ(chat.activatedCount, 1);

    window->ShowPage(MainWindow::kSlideFromLeft, 1);
    EXPECT_TRUE(window->Sliding());
    window->ShowPage(MainWindow::kJump, 0);  // nothing while a slide runs
    EXPECT_EQ(window->CurrentIndex(), 1);
    EXPECT_EQ(notificationRemovals, 1);  // the contacts page was shown
    RunSlide();
    EXPECT_FALSE(chat.IsActive());
}

TEST_F(PageHost, RemovingTheCurrentPageShowsTheFallbackInEachOfTheThreeWays) {
    RowsPage chat1(QStringLiteral("Chat 1"), 4), chat2(QStringLiteral("Chat 2"), 4);
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->AddPage(&chat1, true, false);
    window->AddPage(&chat2, true, false);

    // 1: remove, then jump to the page shown before.
    window->ShowPage(MainWindow::kJump, 1);
    window->ShowPage(MainWindow::kJump, 3);
    window->RemovePage(&chat2, MainWindow::kRemoveThenJump);
    EXPECT_EQ(chat2.Host(), nullptr);
    EXPECT_FALSE(chat2.IsActive());
    EXPECT_EQ(window->PageCount(), 3);
    EXPECT_EQ(window->CurrentPage(), &contacts);

    // 2: jump first, then remove.
    window->AddPage(&chat2, true, false);
    window->ShowPage(MainWindow::kJump, 3);
    window->RemovePage(&chat2, MainWindow::kJumpThenRemove, 1);
    EXPECT_EQ(window->CurrentPage(), &contacts);
    EXPECT_EQ(window->IndexOf(&chat2), -1);

    // Other: slide back to the fallback; the page leaves when the slide ends, and no page
    // change is taken meanwhile.
    window->ShowPage(MainWindow::kJump, 2);
    window->RemovePage(&chat1, MainWindow::kSlideThenRemove, 1);
    EXPECT_TRUE(window->RemovalPending());
    EXPECT_EQ(window->IndexOf(&chat1), 2);
    window->NextPage();
    EXPECT_EQ(window->CurrentPage(), &contacts);
    RunSlide();
    EXPECT_FALSE(window->RemovalPending());
    EXPECT_EQ(window->IndexOf(&chat1), -1);
    EXPECT_EQ(window->CurrentPage(), &contacts);
    EXPECT_EQ(window->PageCount(), 2);
}

TEST_F(PageHost, PreviousIndexPointingAtARemovedPageFallsBackToTheFirst) {
    RowsPage chat(QStringLiteral("Chat"), 4);
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->AddPage(&chat, true, false);
    window->ShowPage(MainWindow::kJump, 2);
    window->ShowPage(MainWindow::kJump, 1);
    ASSERT_EQ(window->PreviousIndex(), 2);
    window->RemovePage(&chat, MainWindow::kRemoveThenJump);
    EXPECT_EQ(window->PreviousIndex(), 0);
    EXPECT_EQ(window->CurrentPage(), &contacts);
}

TEST_F(PageHost, DeletingAPageTakesItOutOfTheHost) {
    window->AddPage(&accounts, true, false);
    auto chat = std::make_unique<RowsPage>(QStringLiteral("Chat"), 4);
    window->AddPage(chat.get(), true, true);
    RunSlide();
    ASSERT_EQ(window->CurrentPage(), chat.get());
    chat.reset();
    EXPECT_EQ(window->PageCount(), 1);
    EXPECT_EQ(window->CurrentPage(), &accounts);
}

TEST_F(PageHost, EditorIsSharedAndShownOnlyForPagesThatUseIt) {
    RowsPage chat1(QStringLiteral("Chat 1"), 4), chat2(QStringLiteral("Chat 2"), 4);
    chat1.usesEditor = chat2.usesEditor = true;
    window->AddPage(&contacts, true, false);
    window->AddPage(&chat1, true, false);
    window->AddPage(&chat2, true, false);
    MessageEditor* editor = window->Editor();
    EXPECT_FALSE(window->EditorShown());

    window->ShowPage(MainWindow::kJump, 1);
    EXPECT_TRUE(window->EditorShown());
    EXPECT_EQ(window->ViewHeight(), window->ClientHeight() - editor->PreferredHeight());
    editor->setPlainText(QStringLiteral("half a thought"));

    window->ShowPage(MainWindow::kSlideFromRight, 2);
    EXPECT_EQ(chat1.UnsentText(), QStringLiteral("half a thought"));
    EXPECT_FALSE(window->EditorShown());  // comes back when the slide ends
    RunSlide();
    EXPECT_TRUE(window->EditorShown());
    EXPECT_TRUE(editor->toPlainText().isEmpty());

    window->ShowPage(MainWindow::kJump, 0);
    EXPECT_FALSE(window->EditorShown());
    EXPECT_EQ(window->ViewHeight(), window->ClientHeight());
    window->ShowPage(MainWindow::kJump, 1);
    EXPECT_EQ(editor->toPlainText(), QStringLiteral("half a thought"));
}

TEST_F(PageHost, EnterInTheEditorHandsTheTextToThePage) {
    RowsPage chat(QStringLiteral("Chat"), 4);
    chat.usesEditor = true;
    window->AddPage(&chat, true, false);
    MessageEditor* editor = window->Editor();

    QTest::keyClick(editor, Qt::Key_Return);  // nothing typed: no notification
    EXPECT_TRUE(chat.editorNotes.empty());

    QTest::keyClicks(editor, QStringLiteral("hello"));
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_EQ(chat.editorNotes.size(), 1u);
    EXPECT_EQ(chat.editorNotes[0].first, MessageEditor::kConfirm);
    EXPECT_EQ(chat.editorNotes[0].second, QStringLiteral("hello"));
    EXPECT_TRUE(editor->toPlainText().isEmpty());

    chat.emptyEditorOnConfirm = false;  // the page keeps the text when it says so
    QTest::keyClicks(editor, QStringLiteral("again"));
    QTest::keyClick(editor, Qt::Key_Enter);
    EXPECT_EQ(editor->toPlainText(), QStringLiteral("again"));
}

TEST_F(PageHost, EditorGrowsWithItsLinesAndTheViewShrinks) {
    RowsPage chat(QStringLiteral("Chat"), 40);
    chat.usesEditor = true;
    window->AddPage(&chat, true, false);
    MessageEditor* editor = window->Editor();
    const int oneLine = editor->PreferredHeight();
    const int view = window->ViewHeight();
    QTest::keyClicks(editor, QStringLiteral("first"));
    QTest::keyClick(editor, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(editor, QStringLiteral("second"));
    EXPECT_EQ(editor->LineCount(), 2);
    EXPECT_TRUE(chat.editorNotes.empty());
    EXPECT_GT(editor->PreferredHeight(), oneLine);
    EXPECT_EQ(editor->height(), editor->PreferredHeight());
    EXPECT_EQ(window->ViewHeight(), view - (editor->PreferredHeight() - oneLine));

    // The newest rows stay visible above the editor.
    chat.ScrollToEnd(false);
    EXPECT_EQ(chat.Row(39)->Bottom() + chat.ContentOffset(), window->ViewHeight());
}

TEST_F(PageHost, MenuPopupCarriesTheCurrentPagesViewMenuAsThirdEntry) {
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    QMenu* menu = window->PrepareMenuPopup();
    ASSERT_GE(menu->actions().size(), 4);
    QMenu* view = menu->actions()[2]->menu();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->actions()[0]->text(), QStringLiteral("Accounts view"));

    window->ShowPage(MainWindow::kJump, 1);
    const int entries = static_cast<int>(window->PrepareMenuPopup()->actions().size());
    EXPECT_EQ(entries, static_cast<int>(menu->actions().size()));
    view = menu->actions()[2]->menu();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->actions()[0]->text(), QStringLiteral("Contacts view"));
    EXPECT_EQ(menu->actions()[3]->text(), QStringLiteral("&About..."));

    // A page command reaches the current page first, then the others.
    view->actions()[0]->trigger();
    EXPECT_EQ(contacts.commands, std::vector<int>{40000});
    EXPECT_EQ(accounts.commands, std::vector<int>{40000});
}

TEST_F(PageHost, LeftKeyShowsThePagesLabelAndItsPopupIsRefilledEachTime) {
    window->AddPage(&contacts, true, false);
    EXPECT_EQ(window->SoftKeys()->LeftKey()->text(), QStringLiteral("Contacts"));
    EXPECT_TRUE(window->SoftKeys()->LeftKey()->isEnabled());
    EXPECT_EQ(window->SoftKeys()->RightKey()->text(), QStringLiteral("Menu"));
    window->PrepareLeftKeyPopup();
    QMenu* popup = window->PrepareLeftKeyPopup();
    ASSERT_EQ(popup->actions().size(), 3);
    EXPECT_EQ(popup->actions()[0]->text(), QStringLiteral("Close"));
    popup->actions()[2]->trigger();
    EXPECT_EQ(contacts.commands, std::vector<int>{50002});
}

TEST_F(PageHost, HostCommandsGoToTheirHooks) {
    int about = 0, options = 0;
    bool waitingDuringOptions = false;
    std::vector<int> keys;
    window->SetHooks({.about = [&] { ++about; },
                      .options =
                          [&] {
                              ++options;
                              waitingDuringOptions = window->WaitCursorShown();
                          },
                      .notificationKey = [&](int id) { keys.push_back(id); }});
    window->AddPage(&contacts, true, false);
    window->OnCommand(MainWindow::kCmdAbout);
    window->OnCommand(MainWindow::kCmdOptions);
    window->OnCommand(MainWindow::kCmdNotificationLeft);
    window->OnCommand(MainWindow::kCmdNotificationRight);
    EXPECT_EQ(about, 1);
    EXPECT_EQ(options, 1);
    EXPECT_TRUE(waitingDuringOptions);
    EXPECT_FALSE(window->WaitCursorShown());
    EXPECT_EQ(keys, (std::vector<int>{100, 101}));
    EXPECT_TRUE(contacts.commands.empty());
}

TEST_F(PageHost, ExitEndsTheEventLoopWithCodeZero) {
    QTimer::singleShot(0, window.get(), [this] { window->OnCommand(MainWindow::kCmdExit); });
    QTimer safetyNet;
    safetyNet.setSingleShot(true);
    QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    safetyNet.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST_F(PageHost, ArrowKeysMoveTheFocusAndChangePageAtTheSides) {
    RowsPage chat(QStringLiteral("Chat"), 4);
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->AddPage(&chat, true, false);
    window->ShowPage(MainWindow::kJump, 1);

    QTest::keyClick(window.get(), Qt::Key_Down);  // no focus: the row under the caption bar
    EXPECT_EQ(contacts.FocusedItem(), contacts.Row(0));
    QTest::keyClick(window.get(), Qt::Key_Down);
    EXPECT_EQ(contacts.FocusedItem(), contacts.Row(1));
    QTest::keyClick(window.get(), Qt::Key_Up);
    EXPECT_EQ(contacts.FocusedItem(), contacts.Row(0));
    QTest::keyClick(window.get(), Qt::Key_Up);  // nothing above: stays
    EXPECT_EQ(contacts.FocusedItem(), contacts.Row(0));

    // Down past the bottom of the view scrolls the new row into view.
    const int lastVisible = (window->ViewHeight() - contacts.CaptionHeight()) / 40 - 1;
    for (int i = 0; i <= lastVisible; ++i) QTest::keyClick(window.get(), Qt::Key_Down);
    RowItem* row = contacts.Row(lastVisible + 1);
    EXPECT_EQ(contacts.FocusedItem(), row);
    RunScroll();
    EXPECT_EQ(row->Bottom() + contacts.ContentOffset(), window->ViewHeight());

    QTest::keyClick(window.get(), Qt::Key_Right);  // nothing right of the row: next page
    EXPECT_EQ(window->CurrentPage(), &chat);
    RunSlide();
    QTest::keyClick(window.get(), Qt::Key_Left);  // no focus here: previous page
    EXPECT_EQ(window->CurrentPage(), &contacts);
    RunSlide();
}

// A page that goes back by removing itself, as a chat does.
class ClosingPage : public RowsPage {
  public:
    using RowsPage::RowsPage;
    bool GoBack() override {
        ++backs;
        Host()->RemovePage(this, MainWindow::kJumpThenRemove, 1);
        return true;
    }
    int backs = 0;
};

TEST_F(PageHost, KeysChangePagesScrollOpenMenusAndGoBackAlsoFromTheEditor) {
    ClosingPage chat(QStringLiteral("Chat"), 4);
    chat.usesEditor = true;
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->ShowPage(MainWindow::kJump, 1);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    // Page keys scroll the current page within its bounds.
    const int step = (window->ViewHeight() - contacts.CaptionHeight()) * 9 / 10;
    QTest::keyClick(window.get(), Qt::Key_PageDown);
    EXPECT_EQ(contacts.ContentOffset(), -step);
    QTest::keyClick(window.get(), Qt::Key_End);
    const int lowest = window->ViewHeight() - contacts.Height();
    EXPECT_EQ(contacts.ContentOffset(), lowest);
    QTest::keyClick(window.get(), Qt::Key_PageDown);  // already at the bottom
    EXPECT_EQ(contacts.ContentOffset(), lowest);
    QTest::keyClick(window.get(), Qt::Key_PageUp);
    EXPECT_EQ(contacts.ContentOffset(), lowest + step);
    QTest::keyClick(window.get(), Qt::Key_Home);
    EXPECT_EQ(contacts.ContentOffset(), 0);

    // Page keys during a slide are not for the page sliding in: it arrives at its top.
    window->ShowPage(MainWindow::kJump, 0);
    window->ShowPage(MainWindow::kSlideFromRight, 1);
    ASSERT_TRUE(window->Sliding());
    for (const Qt::Key key : {Qt::Key_PageDown, Qt::Key_End}) QTest::keyClick(window.get(), key);
    RunSlide();
    ASSERT_EQ(window->CurrentPage(), &contacts);
    EXPECT_EQ(contacts.ContentOffset(), 0);

    // A right click opens what a hold opens; the Menu key the focused row's menu.
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(100, 200),
                            window->mapToGlobal(QPoint(100, 200)));
    QApplication::sendEvent(window.get(), &click);
    EXPECT_EQ(contacts.contextMenus, 1);
    ASSERT_NE(contacts.FocusedItem(), nullptr);
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint());
    QApplication::sendEvent(window.get(), &menuKey);
    EXPECT_EQ(contacts.contextMenus, 2);
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();

    // Ctrl+Tab and Alt+arrows move between pages; they and Escape work from the editor too.
    window->AddPage(&chat, true, false);
    QTest::keyClick(window.get(), Qt::Key_Tab, Qt::ControlModifier);
    RunSlide();
    ASSERT_EQ(window->CurrentPage(), &chat);
    QTest::keyClick(window->Editor(), Qt::Key_Left, Qt::AltModifier);
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), &contacts);
    QTest::keyClick(window.get(), Qt::Key_Right, Qt::AltModifier);
    RunSlide();
    ASSERT_EQ(window->CurrentPage(), &chat);
    QTest::keyClick(window->Editor(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    RunSlide();
    EXPECT_EQ(window->CurrentPage(), &contacts);
    QTest::keyClick(window.get(), Qt::Key_Escape);  // the contacts have nowhere to go back to
    EXPECT_EQ(window->CurrentPage(), &contacts);

    window->ShowPage(MainWindow::kJump, 2);
    window->Editor()->setFocus();
    QTest::keyClick(window->Editor(), Qt::Key_Escape);
    EXPECT_EQ(chat.backs, 1);
    EXPECT_EQ(window->IndexOf(&chat), -1);
    EXPECT_EQ(window->CurrentPage(), &contacts);
}

TEST_F(PageHost, PageDotsShowWhereWeAreAndATapOnOneSlidesToItsPage) {
    window->AddPage(&accounts, true, true);
    EXPECT_TRUE(window->PageDotBox(0).isEmpty());  // one page: no dots
    window->AddPage(&contacts, true, false);
    RowsPage chat(QStringLiteral("Chat"), 4);
    window->AddPage(&chat, true, false);
    ASSERT_EQ(window->CurrentIndex(), 0);
    const QRect first = window->PageDotBox(0);
    const QRect third = window->PageDotBox(2);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_NEAR(first.left() + third.right(), window->width() - 1, 1);  // centred
    EXPECT_LE(first.bottom(), accounts.CaptionHeight());
    EXPECT_TRUE(window->PageDotBox(3).isEmpty());

    // The current dot is drawn filled, the others hollow.
    const QImage screen = Screen();
    auto dotCentre = [&](int i) {
        const QRect box = window->PageDotBox(i);
        return QPoint(box.x() + box.width() / 2,
                      box.y() + box.height() - CaptionBar::DotStripHeight() / 2);
    };
    EXPECT_NE(screen.pixelColor(dotCentre(0)), screen.pixelColor(dotCentre(1)));

    Tap(third.center());
    EXPECT_EQ(window->CurrentPage(), &chat);
    EXPECT_EQ(window->LastShowKind(), MainWindow::kSlideFromRight);
    EXPECT_EQ(accounts.FocusedItem(), nullptr);
    RunSlide();
    Tap(window->PageDotBox(1).center());
    EXPECT_EQ(window->CurrentPage(), &contacts);
    EXPECT_EQ(window->LastShowKind(), MainWindow::kSlideFromLeft);
    RunSlide();
    EXPECT_EQ(contacts.FocusedItem(), nullptr);  // the tap went to the dots, not to a row
}

TEST_F(PageHost, AThemeChangeWhileRunningRedrawsEveryPageInItsColours) {
    window->AddPage(&accounts, true, true);
    window->AddPage(&contacts, true, false);
    const QPalette saved = QGuiApplication::palette();
    const QPoint empty(window->width() / 2, window->ViewHeight() - 5);  // below the rows
    ASSERT_EQ(Screen().pixelColor(empty), WindowColour());

    QPalette dark = saved;
    dark.setColor(QPalette::Active, QPalette::Base, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Active, QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
    QGuiApplication::setPalette(dark);
    QCoreApplication::processEvents();
    EXPECT_EQ(Screen().pixelColor(empty), QColor(0x20, 0x20, 0x20));
    window->ShowPage(MainWindow::kJump, 1);  // the page not shown was drawn again too
    EXPECT_EQ(Screen().pixelColor(QPoint(window->width() - 3, 2)), QColor(0x20, 0x20, 0x20));
    QGuiApplication::setPalette(saved);
    QCoreApplication::processEvents();
    window->ShowPage(MainWindow::kJump, 0);
    EXPECT_EQ(Screen().pixelColor(empty), WindowColour());
}

TEST_F(PageHost, TextTypedWhileAChatSlidesInLandsInItsEditor) {
    RowsPage chat(QStringLiteral("Chat"), 4);
    chat.usesEditor = true;
    window->AddPage(&accounts, true, true);
    window->AddPage(&chat, true, false);
    window->setFocus();
    window->ShowPage(MainWindow::kSlideFromRight, 1);
    ASSERT_TRUE(window->Sliding());
    QTest::keyClicks(window.get(), QStringLiteral("hi there"));
    QTest::keyClick(window.get(), Qt::Key_A, Qt::ControlModifier);  // no text of its own
    RunSlide();
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("hi there"));
    EXPECT_FALSE(window->Editor()->isHidden());
    QTest::keyClicks(window->Editor(), QStringLiteral("!"));
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("hi there!"));
}

TEST_F(PageHost, EnterOpensThePageOfTheFocusedItem) {
    RowsPage chat(QStringLiteral("Chat"), 4);
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->ShowPage(MainWindow::kJump, 1);
    contacts.Row(2)->opens = &chat;
    contacts.FocusItem(contacts.Row(2));
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_EQ(window->IndexOf(&chat), 2);
    EXPECT_EQ(window->CurrentPage(), &chat);
    EXPECT_EQ(window->LastShowKind(), MainWindow::kSlideFromRight);
    RunSlide();
}

TEST_F(PageHost, TogglingAnItemLaysThePageOutAgain) {
    RowsPage groups(QStringLiteral("Groups"), 3, 40, ListItem::kTogglesInPlace);
    window->AddPage(&groups, true, false);
    groups.FocusItem(groups.Row(0));
    const int draws = groups.drawCalls;
    QTest::keyClick(window.get(), Qt::Key_Space);
    EXPECT_EQ(groups.Row(0)->activations, 1);
    EXPECT_GT(groups.drawCalls, draws);
}

TEST_F(PageHost, PagesThatRefuseInputGetNoKeys) {
    class Busy : public RowsPage {
      public:
        using RowsPage::RowsPage;
        bool AcceptsInput() override { return false; }
    } busy(QStringLiteral("Busy"), 3);
    window->AddPage(&busy, true, false);
    QTest::keyClick(window.get(), Qt::Key_Down);
    EXPECT_EQ(busy.FocusedItem(), nullptr);
    Tap({100, 50});
    EXPECT_EQ(busy.FocusedItem(), nullptr);
}

// Nothing polls: a page marked on another thread asks the window, whose posted call paints it,
// but not while the view moves; coming to rest paints what waited.
TEST_F(PageHost, APageMarkedFromAnotherThreadIsPaintedOnRequestOnceTheViewRests) {
    window->AddPage(&contacts, true, false);
    QCoreApplication::processEvents();
    int draws = contacts.drawCalls;
    std::thread([this] { contacts.Redraw(contacts.Row(1)->Rect()); }).join();
    EXPECT_EQ(contacts.drawCalls, draws);  // nothing is drawn off the window's thread
    QCoreApplication::processEvents();     // the posted request: no tick needed
    EXPECT_EQ(contacts.drawCalls, ++draws);

    const int checks = contacts.changeChecks;
    Drag({200, 400}, {200, 300}, 2, 100, /*release=*/false);
    std::thread([this] { contacts.Redraw(contacts.Row(2)->Rect()); }).join();
    QCoreApplication::processEvents();  // the request runs; moving, the page is not asked
    EXPECT_EQ(contacts.changeChecks, checks);
    Release({200, 300});
    RunScroll();
    EXPECT_EQ(contacts.changeChecks, checks + 1);
    EXPECT_EQ(contacts.drawCalls, draws + 1);        // the rest drew the row
    EXPECT_FALSE(contacts.ChangedSinceLastPaint());  // and took the mark

    std::thread([this] { contacts.MarkChanged(); }).join();
    SetDevicePowerOn(false);
    QCoreApplication::processEvents();
    SetDevicePowerOn(true);
    EXPECT_TRUE(contacts.ChangedSinceLastPaint());
}

TEST_F(PageHost, SlowTickReachesEveryPageButNotWhileSliding) {
    window->AddPage(&accounts, true, false);
    window->AddPage(&contacts, true, false);
    window->FireTimer(MainWindow::kTimerSlowTick);
    EXPECT_EQ(accounts.slowTicks, 1);
    EXPECT_EQ(contacts.slowTicks, 1);
    window->NextPage();
    window->FireTimer(MainWindow::kTimerSlowTick);
    EXPECT_EQ(accounts.slowTicks, 1);
    RunSlide();
}

// An idle window does no periodic work: the tick stops once no page wants it, and a change
// (from any thread) or the user's input starts it again.
TEST_F(PageHost, TheSlowTickRunsOnlyWhileSomethingWantsIt) {
    window->AddPage(&contacts, true, false);
    QCoreApplication::processEvents();
    auto tickTwice = [this] {
        window->FireTimer(MainWindow::kTimerSlowTick);
        window->FireTimer(MainWindow::kTimerSlowTick);
    };
    tickTwice();
    EXPECT_FALSE(window->Ticking());

    contacts.wantsTicks = true;
    std::thread([this] { contacts.MarkChanged(); }).join();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->Ticking());
    tickTwice();
    EXPECT_TRUE(window->Ticking());  // the page still wants it
    contacts.wantsTicks = false;
    tickTwice();
    EXPECT_FALSE(window->Ticking());

    Tap({100, 50});
    EXPECT_TRUE(window->Ticking());
    const int ticks = contacts.slowTicks;
    tickTwice();
    EXPECT_EQ(contacts.slowTicks, ticks + 2);
    EXPECT_FALSE(window->Ticking());
}

}  // namespace
}  // namespace zul::test
