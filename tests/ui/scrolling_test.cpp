// Kinetic scrolling, taps and swipes driven through the real window with QTest input.
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

#include "storage/options.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"

namespace zul::test {
namespace {

class Scrolling : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        window->AddPage(&page, true, false);
    }
    int Offset() const { return page.ContentOffset(); }

    RowsPage page{QStringLiteral("Contacts"), 100};
};

TEST_F(Scrolling, FlingReleasedWithin500MsCoastsWithDecreasingSpeedAndStops) {
    Drag({200, 400}, {200, 340}, 6, 300);  // 60 px up in 300 ms
    EXPECT_EQ(Offset(), -60);
    double speed = window->Physics().Speed();
    EXPECT_DOUBLE_EQ(speed, -60 * 140.0 / 300);
    EXPECT_FALSE(window->ScrollIndicatorRect().isEmpty());

    int ticks = 0;
    while (window->TimerActive(ScrollableWindow::kTimerScroll)) {
        const int before = Offset();
        window->FireTimer(ScrollableWindow::kTimerScroll);
        speed *= 0.92;
        if (std::fabs(speed) >= 1) {
            EXPECT_DOUBLE_EQ(window->Physics().Speed(), speed);
            EXPECT_EQ(Offset() - before, static_cast<int>(speed));
        }
        ASSERT_LT(++ticks, 500);
    }
    EXPECT_GT(ticks, 20);
    EXPECT_LT(Offset(), -300);
    EXPECT_FALSE(window->Moving());
    EXPECT_TRUE(window->ScrollIndicatorRect().isEmpty());
}

TEST_F(Scrolling, TheWheelAndTheTouchpadScrollWithinTheBounds) {
    auto wheel = [&](QPoint pixels, QPoint angle) {
        QWheelEvent event(QPointF(200, 300), window->mapToGlobal(QPointF(200, 300)), pixels, angle,
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(window.get(), &event);
        return event.isAccepted();
    };
    // A touchpad gives pixels: the content follows them exactly.
    EXPECT_TRUE(wheel(QPoint(0, -45), QPoint(0, -30)));
    EXPECT_EQ(Offset(), -45);
    // A mouse wheel gives notches: one notch down scrolls several rows' worth.
    EXPECT_TRUE(wheel(QPoint(), QPoint(0, -120)));
    EXPECT_LT(Offset(), -45 - 20);
    // Scrolling up past the top stops at it, and so does scrolling past the end.
    for (int i = 0; i < 100; ++i) wheel(QPoint(), QPoint(0, 120));
    EXPECT_EQ(Offset(), 0);
    for (int i = 0; i < 1000; ++i) wheel(QPoint(), QPoint(0, -120));
    EXPECT_EQ(Offset(), ScrollBounds::For(page.Height(), window->ViewHeight()).lowest);
    EXPECT_FALSE(window->Moving());
}

TEST_F(Scrolling, FlingReleased500MsOrLaterDoesNotCoast) {
    for (uint32_t ms : {500u, 900u}) {
        page.SetContentOffset(0);
        Drag({200, 400}, {200, 340}, 6, ms);
        EXPECT_EQ(window->Physics().Speed(), 0.0) << ms;
        EXPECT_EQ(RunScroll(), 1);
        EXPECT_EQ(Offset(), -60);
    }
}

TEST_F(Scrolling, SmallMovesUnderTheDragThresholdDoNotScroll) {
    Drag({200, 400}, {200, 396}, 1, 100);
    EXPECT_EQ(Offset(), 0);
}

TEST_F(Scrolling, ContentPulledPastTheTopSpringsBackToExactlyTheBound) {
    Drag({200, 200}, {200, 320}, 4, 1000);
    EXPECT_EQ(Offset(), 30 + 21 + 21 + 21);  // past the top each step counts 0.7
    int ticks = 0;
    while (window->TimerActive(ScrollableWindow::kTimerScroll)) {
        const int before = Offset();
        window->FireTimer(ScrollableWindow::kTimerScroll);
        const int expected = before - std::max(1, static_cast<int>(before * 0.9));
        EXPECT_EQ(Offset(), expected);
        EXPECT_GE(Offset(), 0);
        ASSERT_LT(++ticks, 50);
    }
    EXPECT_EQ(ticks, 3);  // 93 -> 10 -> 1 -> 0
    EXPECT_EQ(Offset(), 0);
}

TEST_F(Scrolling, ContentLeftPastTheBottomIsPulledBackByTheRestTimer) {
    const int lowest = window->ViewHeight() - page.Height();
    page.SetContentOffset(lowest - 50);
    window->FireTimer(ScrollableWindow::kTimerRest);
    EXPECT_TRUE(window->TimerActive(ScrollableWindow::kTimerScroll));
    RunScroll();
    EXPECT_EQ(Offset(), lowest);
    window->FireTimer(ScrollableWindow::kTimerRest);  // at rest inside: nothing starts
    EXPECT_FALSE(window->TimerActive(ScrollableWindow::kTimerScroll));
}

TEST_F(Scrolling, TapThatStopsAFlingSelectsNothing) {
    Drag({200, 400}, {200, 340}, 6, 120);
    for (int i = 0; i < 3; ++i) window->FireTimer(ScrollableWindow::kTimerScroll);
    ASSERT_TRUE(window->Moving());
    const int stoppedAt = Offset();
    Tap({200, 300});
    EXPECT_EQ(page.FocusedItem(), nullptr);
    EXPECT_EQ(window->Physics().Speed(), 0.0);
    RunScroll();
    EXPECT_EQ(Offset(), stoppedAt);

    // The next tap, on still content, focuses the row under it.
    Tap({200, 300});
    ASSERT_NE(page.FocusedItem(), nullptr);
    EXPECT_EQ(page.FocusedItem(), page.ItemAt(200, 300 - Offset()));
}

TEST_F(Scrolling, TapFocusesAndActivatesOnlyWhenSingleTapOpens) {
    Options().ClistOpenByDoubleClick = 1;
    Tap({100, 200});
    RowItem* row = static_cast<RowItem*>(page.FocusedItem());
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->activations, 0);

    QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(100, 200));
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, QPoint(100, 200));
    EXPECT_EQ(row->activations, 1);

    Options().ClistOpenByDoubleClick = 0;
    Tap({100, 200});
    EXPECT_EQ(row->activations, 2);

    // Empty space under the last row clears the focus.
    RowsPage shortPage(QStringLiteral("Short"), 2);
    window->AddPage(&shortPage, true, false);
    window->ShowPage(MainWindow::kJump, 1);
    Tap({100, 50});
    ASSERT_NE(shortPage.FocusedItem(), nullptr);
    Tap({100, 500});
    EXPECT_EQ(shortPage.FocusedItem(), nullptr);
}

TEST_F(Scrolling, TapAndHoldOpensTheContextMenuOfTheItemAndIsNoTap) {
    Options().ClistOpenByDoubleClick = 0;
    Press({100, 200});
    window->FireTimer(ScrollableWindow::kTimerHold);
    EXPECT_EQ(page.contextMenus, 1);
    RowItem* row = static_cast<RowItem*>(page.FocusedItem());
    ASSERT_NE(row, nullptr);
    Release({100, 200}, 900);
    EXPECT_EQ(row->activations, 0);

    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    menu->actions().first()->trigger();
    EXPECT_EQ(page.contextCommands, std::vector<int>{32869});
    menu->close();
}

TEST_F(Scrolling, AHeldRowDarkensUntilTheMenuOpensAndAMovingFingerClearsIt) {
    Options().ClistOpenByDoubleClick = 0;
    const QImage before = Screen();
    Press({100, 200});
    const QRect held = window->HoldFeedbackRect();
    ASSERT_TRUE(held.contains(100, 200));
    EXPECT_EQ(window->HoldFeedbackAlpha(), 0) << "a short press shows nothing";
    AdvanceFakeClock(200);
    window->FireTimer(ScrollableWindow::kTimerHoldFeedback);
    const int early = window->HoldFeedbackAlpha();
    EXPECT_GT(early, 0);
    const QImage shown = Screen();
    // Darker inside the row (on the default light palette), unchanged outside it.
    EXPECT_LT(qGray(shown.pixel(held.left() + 2, held.center().y())),
              qGray(before.pixel(held.left() + 2, held.center().y())));
    EXPECT_EQ(shown.pixel(100, held.bottom() + 20), before.pixel(100, held.bottom() + 20));
    AdvanceFakeClock(300);
    EXPECT_GT(window->HoldFeedbackAlpha(), early);

    window->FireTimer(ScrollableWindow::kTimerHold);
    EXPECT_EQ(page.contextMenus, 1);
    EXPECT_TRUE(window->HoldFeedbackRect().isEmpty());
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) menu->close();
    Release({100, 200});

    // A finger that moves on is scrolling, not holding.
    Press({100, 300});
    EXPECT_FALSE(window->HoldFeedbackRect().isEmpty());
    Move({100, 360}, 50);
    EXPECT_TRUE(window->HoldFeedbackRect().isEmpty());
    Release({100, 360}, 50);
}

TEST_F(Scrolling, TheScrollIndicatorCanBeDraggedAndThatIsNoTap) {
    Options().ScrollbarAlways = 1;
    Options().ClistOpenByDoubleClick = 0;
    const QRect bar = window->ScrollIndicatorRect();
    ASSERT_FALSE(bar.isEmpty());
    ASSERT_EQ(bar.top(), 0);
    const int view = window->ViewHeight();
    const int content = page.Height();
    // Taken a little beside the thin bar, dragged down by a quarter of the view.
    const QPoint grab(bar.left() - 6, bar.center().y());
    Press(grab);
    Move(grab + QPoint(0, view / 4), 50);
    const int expected = -(view / 4) * content / view;
    EXPECT_NEAR(Offset(), expected, 2);
    EXPECT_NEAR(window->ScrollIndicatorRect().top(), view / 4, 2);
    // Past the end it stops at the bottom of the content.
    Move(grab + QPoint(0, 3 * view), 50);
    EXPECT_EQ(Offset(), view - content);
    Release(grab + QPoint(0, 3 * view), 50);
    EXPECT_EQ(page.FocusedItem(), nullptr) << "a drag of the indicator taps no row";
    EXPECT_EQ(RunScroll(), 0) << "nothing coasts after it";
    Options().ScrollbarAlways = 0;
}

TEST_F(Scrolling, SwipeOfMoreThanHalfTheWidthOnTheLastPageSlidesToTheFirst) {
    RowsPage second(QStringLiteral("Second"), 5);
    RowsPage third(QStringLiteral("Third"), 5);
    window->AddPage(&second, true, false);
    window->AddPage(&third, true, false);
    window->ShowPage(MainWindow::kJump, 2);
    ASSERT_EQ(window->CurrentIndex(), 2);

    Press({420, 300});
    Move({200, 300});  // 220 px: not yet half of 480
    EXPECT_FALSE(window->Sliding());
    Move({150, 300});  // 270 px from the press
    EXPECT_TRUE(window->Sliding());
    EXPECT_EQ(window->CurrentIndex(), 0);
    EXPECT_EQ(window->LastShowKind(), MainWindow::kSlideFromRight);
    EXPECT_EQ(window->SlideOffset(), 480);
    Release({150, 300});

    window->FireTimer(ScrollableWindow::kTimerSlide);
    EXPECT_EQ(window->SlideOffset(), 240);  // halved per tick
    Screen().save(ScreenshotPath(QStringLiteral("slide_half_way.png")));
    EXPECT_TRUE(third.IsActive());  // still on screen while it slides out
    EXPECT_EQ(RunSlide(), 8);       // 120, 60, 30, 15, 7, 3, 1, 0
    EXPECT_FALSE(third.IsActive());
    EXPECT_TRUE(page.IsActive());

    // And a swipe to the right on the first page wraps to the last.
    Drag({60, 300}, {330, 300}, 1, 100);
    EXPECT_EQ(window->CurrentIndex(), 2);
    EXPECT_EQ(window->LastShowKind(), MainWindow::kSlideFromLeft);
    EXPECT_EQ(window->SlideOffset(), -480);
    RunSlide();
}

TEST_F(Scrolling, ScrollIndicatorShowsOnlyWhileMovingUnlessAlwaysIsSet) {
    EXPECT_TRUE(window->ScrollIndicatorRect().isEmpty());
    Drag({200, 400}, {200, 300}, 4, 1000, /*release=*/false);
    const QRect moving = window->ScrollIndicatorRect();
    ASSERT_FALSE(moving.isEmpty());
    EXPECT_EQ(moving.width(), 4);
    EXPECT_EQ(moving.right() + 1, 480);
    EXPECT_EQ(Screen().pixelColor(moving.center()), HighlightColour());
    Screen().save(ScreenshotPath(QStringLiteral("scroll_indicator.png")));
    Release({200, 300});
    RunScroll();
    EXPECT_TRUE(window->ScrollIndicatorRect().isEmpty());
    EXPECT_NE(Screen().pixelColor(moving.center()), HighlightColour());

    Options().ScrollbarAlways = 1;
    Options().ScrollbarOffset = 6;
    Options().ScrollbarWidth = 8;
    const QRect always = window->ScrollIndicatorRect();
    ASSERT_FALSE(always.isEmpty());
    EXPECT_EQ(always.width(), 8);
    EXPECT_EQ(always.right() + 1, 480 - 6);
    // Its place follows the offset: 100 px of 4000-odd content.
    const int view = window->ViewHeight();
    EXPECT_EQ(always.top(), 100 * view / page.Height());
    EXPECT_EQ(always.height(), view * view / page.Height());

    Options().ScrollbarWidth = 0;
    EXPECT_TRUE(window->ScrollIndicatorRect().isEmpty());
}

TEST_F(Scrolling, ShortContentHasNoIndicator) {
    Options().ScrollbarAlways = 1;
    page.SetRows(3);
    page.Relayout();
    EXPECT_TRUE(window->ScrollIndicatorRect().isEmpty());
}

class KeyCounter : public BaseWindow {
  public:
    int downs = 0;
    int doubles = 0;

  protected:
    void OnKeyDown(int) override { ++downs; }
    void OnKeyDoublePress(int) override { ++doubles; }
};

TEST_F(Scrolling, SameKeyTwiceWithin250MsRunsTheDoublePressHandler) {
    KeyCounter keys;
    QTest::keyClick(&keys, Qt::Key_A);
    QTest::keyClick(&keys, Qt::Key_A);
    EXPECT_EQ(keys.doubles, 1);
    QTest::keyClick(&keys, Qt::Key_A);  // a third press pairs with the second
    EXPECT_EQ(keys.doubles, 2);
    QTest::keyClick(&keys, Qt::Key_B);  // another key in between resets the pairing
    QTest::keyClick(&keys, Qt::Key_A);
    EXPECT_EQ(keys.doubles, 2);
    QTest::keyClick(&keys, Qt::Key_A);
    EXPECT_EQ(keys.doubles, 3);
    QTest::qWait(300);
    QTest::keyClick(&keys, Qt::Key_A);
    EXPECT_EQ(keys.doubles, 3);
    EXPECT_EQ(keys.downs, 7);
}

}  // namespace
}  // namespace zul::test
