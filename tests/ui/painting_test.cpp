// What the window paints: page canvases, the empty-page text, the caption bar copied or
// blended, the contact rows' unread badge, and screenshots of it all.
#include <climits>

#include "storage/options.h"
#include "tests/ui/ui_test_support.h"
#include "tests/ui/views_test_support.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"

namespace zul::test {
namespace {

using Painting = HostTest;

// Pixels of a row band that are not the window colour.
int InkIn(const QImage& image, int top, int bottom) {
    int ink = 0;
    const QColor window = WindowColour();
    for (int y = std::max(0, top); y < std::min(bottom, image.height()); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) != window) ++ink;
    return ink;
}

TEST_F(Painting, ZeroHeightPageHasNoSurfaceAndPaintsItsEmptyText) {
    RowsPage page(QStringLiteral("Contacts"), 0);
    page.emptyText = QStringLiteral("None of your contacts is online");
    window->AddPage(&page, true, false);
    EXPECT_EQ(page.Height(), 0);
    EXPECT_EQ(page.Surface(), nullptr);
    EXPECT_FALSE(page.HasContent());

    const QImage screen = Screen();
    screen.save(ScreenshotPath(QStringLiteral("empty_page.png")));
    const int top = page.CaptionHeight();
    const int middle = top + (window->ViewHeight() - top) / 2;
    EXPECT_GT(InkIn(screen, middle - 10, middle + 10), 20);  // the text, centred
    EXPECT_EQ(InkIn(screen, top + 10, middle - 30), 0);
    EXPECT_EQ(InkIn(screen, middle + 30, window->ClientHeight()), 0);
}

TEST_F(Painting, PageCanvasIsCopiedAtItsOffset) {
    RowsPage page(QStringLiteral("Contacts"), 50);
    window->AddPage(&page, true, false);
    page.FocusItem(page.Row(3));
    const QRect row = page.Row(3)->Rect();
    const int y = row.top() + 1;
    EXPECT_EQ(Screen().pixelColor(470, y), HighlightColour());
    page.SetContentOffset(-40);  // one row further down
    EXPECT_EQ(Screen().pixelColor(470, y - 40), HighlightColour());
    EXPECT_NE(Screen().pixelColor(470, y), HighlightColour());
    Screen().save(ScreenshotPath(QStringLiteral("rows_96dpi.png")));
}

TEST_F(Painting, TheCaptionAndItsDotsShowNothingOfTheRowsScrolledUnderThem) {
    RowsPage first(QStringLiteral("Contacts"), 60);
    RowsPage second(QStringLiteral("Chat"), 3);
    window->AddPage(&first, true, false);
    window->AddPage(&second, true, false);
    first.FocusItem(first.Row(0));  // a highlighted row to scroll under the bar
    const QRect bar(0, 0, window->ClientWidth(), first.CaptionHeight());
    const QImage fresh = Screen().copy(bar);
    // Scrolled by steps that leave rows half under the bar; the bar stays as first drawn.
    for (int offset : {-7, -23, -40, -333}) {
        first.SetContentOffset(offset);
        window->repaint();
        EXPECT_EQ(Screen().copy(bar), fresh) << "scrolled to " << offset;
    }
}

TEST_F(Painting, TallPagesDrawTheRowsOfWhereverTheyAreScrolled) {
    const int saved = Canvas::MaxSurfaceRows();
    Canvas::SetMaxSurfaceRows(1024);
    RowsPage page(QStringLiteral("Contacts"), 2000);  // 80000 px of rows
    window->AddPage(&page, true, false);
    ASSERT_NE(page.Surface(), nullptr);
    EXPECT_EQ(page.Surface()->height(), 1024);
    page.FocusItem(page.Row(1500));  // scrolls there, animated
    RunScroll();
    const QImage screen = Screen();
    const int y = page.Row(1500)->Rect().top() + page.ContentOffset() + 1;
    ASSERT_GT(y, 0);
    EXPECT_EQ(screen.pixelColor(470, y), HighlightColour());
    EXPECT_GT(page.SurfaceTop(), 0);
    screen.save(ScreenshotPath(QStringLiteral("rows_far_down.png")));
    Canvas::SetMaxSurfaceRows(saved);
}

// A band that moves by less than its height keeps the rows both bands hold and draws only the
// strip that came in: the surface is the same as one drawn whole, scrolling either way.
TEST_F(Painting, ABandMovedAStepKeepsItsRowsAndDrawsOnlyWhatCameIn) {
    const int saved = Canvas::MaxSurfaceRows();
    Canvas::SetMaxSurfaceRows(512);
    RowsPage page(QStringLiteral("Contacts"), 400);
    window->AddPage(&page, true, false);
    page.FocusItem(page.Row(7));
    const int view = window->ViewHeight();
    int bandTops = 0;
    int lastTop = page.SurfaceTop();
    for (int y = 0; y < 6000; y += 37) {
        page.ScrollTo(-y, view);
        if (page.SurfaceTop() != lastTop) ++bandTops;
        lastTop = page.SurfaceTop();
    }
    for (int y = 6000; y > 2000; y -= 53) page.ScrollTo(-y, view);
    EXPECT_GT(bandTops, 5);
    const QImage stepped = page.Surface()->copy();
    page.Relayout();  // drawn whole where it is
    EXPECT_EQ(stepped, *page.Surface());
    Canvas::SetMaxSurfaceRows(saved);
}

// Of the pages out of sight, the last ones shown keep their surface; an older one parks it (its
// memory goes to the spares new surfaces of its size are made from) and draws it again, the
// same, when it is painted.
TEST_F(Painting, PagesLongOutOfSightParkTheirSurfaceAndDrawItAgainWhenShown) {
    static_assert(ViewPage::kSurfacesKeptAside == 2);
    RowsPage a(QStringLiteral("A"), 50), b(QStringLiteral("B"), 50), c(QStringLiteral("C"), 50),
        d(QStringLiteral("D"), 50), e(QStringLiteral("E"), 50);
    window->AddPage(&a, true, false);
    a.FocusItem(a.Row(2));
    Screen();
    ASSERT_NE(a.Surface(), nullptr);
    const QImage drawn = a.Surface()->copy();
    const uchar* aBits = a.Surface()->constBits();
    for (RowsPage* page : {&b, &c}) {
        window->ShowPage(MainWindow::kJump, window->AddPage(page, true, false));
        Screen();
    }
    EXPECT_FALSE(a.Parked());  // two pages aside: both keep theirs
    window->ShowPage(MainWindow::kJump, window->AddPage(&d, true, false));
    EXPECT_TRUE(a.Parked());
    EXPECT_EQ(a.Surface(), nullptr);
    EXPECT_FALSE(b.Parked());
    EXPECT_GE(Canvas::SpareSurfaces(), 1u);

    // The next page of that size is drawn on the parked page's memory.
    window->AddPage(&e, true, false);
    ASSERT_NE(e.Surface(), nullptr);
    EXPECT_EQ(e.Surface()->constBits(), aBits);

    window->ShowPage(MainWindow::kJump, window->IndexOf(&a));
    EXPECT_NE(Screen().pixelColor(470, a.Row(2)->Rect().top() + 1), WindowColour());
    ASSERT_NE(a.Surface(), nullptr);
    EXPECT_FALSE(a.Parked());
    EXPECT_EQ(*a.Surface(), drawn);
}

TEST_F(Painting, CaptionBarIsBlendedOverTheContentWhenTransparencyIsOn) {
    RowsPage page(QStringLiteral("Contacts"), 50);
    window->AddPage(&page, true, false);
    page.FocusItem(page.Row(0));
    page.SetContentOffset(-page.CaptionHeight());  // the focused row under the caption bar
    const QPoint spot(2, 2);

    EXPECT_EQ(Screen().pixelColor(spot), WindowColour());  // copied: the bar hides the row

    Options().EnableTransparency = 1;
    Options().TransparencyValue = 0;
    EXPECT_EQ(Screen().pixelColor(spot), HighlightColour());  // fully see-through

    Options().TransparencyValue = 220;
    const QColor blended = Screen().pixelColor(spot);
    const QColor h = HighlightColour(), w = WindowColour();
    const auto mix = [](int top, int under) { return (top * 220 + under * 35) / 255; };
    EXPECT_NEAR(blended.red(), mix(w.red(), h.red()), 2);
    EXPECT_NEAR(blended.green(), mix(w.green(), h.green()), 2);
    EXPECT_NEAR(blended.blue(), mix(w.blue(), h.blue()), 2);
    Screen().save(ScreenshotPath(QStringLiteral("caption_blended.png")));
}

TEST_F(Painting, AtDoubleDpiTheFrameworkScalesItsLengths) {
    Dpi::SetOverride(192, 192);
    window.reset();
    window = std::make_unique<MainWindow>();
    window->resize(960, 1280);
    window->show();
    RowsPage page(QStringLiteral("Contacts"), 30, 80);
    page.Caption().SetSubtitle(QStringLiteral("(12/30)"));
    window->AddPage(&page, true, false);
    page.FocusItem(page.Row(1));
    Options().ScrollbarAlways = 1;
    const QRect indicator = window->ScrollIndicatorRect();
    EXPECT_EQ(indicator.width(), 8);
    EXPECT_GT(page.CaptionHeight(), 2 * TextHeight(QStringLiteral("A"), 2, true) / 2);
    Screen().save(ScreenshotPath(QStringLiteral("rows_192dpi.png")));
}

using ContactPainting = ViewsTest;

// The unread count is a number to read at a glance: a pill at least 16 px tall, whatever the
// count and the list's size.
TEST_F(ContactPainting, TheUnreadBadgeIsAtLeastSixteenPixelsTall) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    SetStatus(ann, 0);
    const struct { int unread, size; } cases[] = {{1, 2}, {12, 4}, {150, 0}};
    int added = 0;
    for (const auto& c : cases) {
        Options().ClistTextSize = c.size;
        for (; added < c.unread; ++added)
            ann->AddMessage(evdir::kIncoming, u"ping", 0, 0, kMoodNone);
        contacts->RebuildNow();
        contacts->FocusItem(nullptr);  // the badge alone in the highlight colour
        const QImage screen = Screen();
        const QRect row =
            contacts->RowOf(ann.get())->Rect().translated(0, contacts->ContentOffset());
        int top = INT_MAX, bottom = INT_MIN;
        for (int y = row.top(); y <= row.bottom(); ++y)
            for (int x = row.left(); x < row.left() + 60; ++x)
                if (screen.pixelColor(x, y) == HighlightColour()) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        EXPECT_GE(bottom - top + 1, 16) << c.unread;
        if (c.unread == 150) screen.save(ScreenshotPath(QStringLiteral("contacts_badge.png")));
    }
}

}  // namespace
}  // namespace zul::test
