// Scaling, drawing helpers, canvases and the caption bar.
#include <QApplication>
#include <QBuffer>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>

#include "storage/options.h"
#include "tests/ui/ui_test_support.h"
#include "ui/framework/canvas.h"
#include "ui/framework/caption_bar.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/soft_key_bar.h"

namespace zul::test {
namespace {

using Basics = UiTest;

TEST_F(Basics, LengthsScaleWithTheDisplayDpi) {
    EXPECT_EQ(ScaleX(10), 10);
    EXPECT_EQ(Unit(), 1);
    EXPECT_EQ(TapTolerance(), 10);
    EXPECT_EQ(DragThreshold(), 5);
    EXPECT_EQ(ScrollTimerInterval(), 10);
    EXPECT_DOUBLE_EQ(FlingGain(), 140.0);

    Dpi::SetOverride(192, 192);
    EXPECT_EQ(ScaleX(10), 20);
    EXPECT_EQ(Unit(), 2);
    EXPECT_EQ(TapTolerance(), 20);
    EXPECT_EQ(DragThreshold(), 10);
    EXPECT_EQ(ScrollTimerInterval(), 5);
    EXPECT_EQ(SlideTimerInterval(), 5);
    EXPECT_DOUBLE_EQ(FlingGain(), 70.0);

    // Horizontal and vertical scale apart; integer division with rounding by 48.
    Dpi::SetOverride(120, 131);
    EXPECT_EQ(ScaleX(10), (10 * 120 + 48) / 96);
    EXPECT_EQ(ScaleY(10), (10 * 131 + 48) / 96);
    EXPECT_EQ(ScaleY(1), 1);

    // A display under 48 dpi still has a unit of 1 (no division by zero).
    Dpi::SetOverride(40, 40);
    EXPECT_EQ(Unit(), 1);
    EXPECT_EQ(ScrollTimerInterval(), 10);
}

TEST_F(Basics, FontLevelsFollowThePointSizesAndTheDpi) {
    EXPECT_EQ(UiFont(0, false).pixelSize(), 14);  // 10 pt at 96 dpi: 13 + 1
    EXPECT_EQ(UiFont(5, false).pixelSize(), 7);   // 5 pt: 6 + 1
    EXPECT_EQ(UiFont(9, false).pixelSize(), UiFont(2, false).pixelSize());  // unknown: 8 pt
    EXPECT_EQ(UiFont(-1, false).pixelSize(), 11);
    Dpi::SetOverride(192, 192);
    EXPECT_EQ(UiFont(0, false).pixelSize(), 27);

    const QFont both = UiFont(1, true, true, true);  // bold wins over italic and struck-out
    EXPECT_EQ(both.weight(), QFont::Bold);
    EXPECT_FALSE(both.italic());
    EXPECT_FALSE(both.strikeOut());
    const QFont italic = UiFont(1, false, true, true);
    EXPECT_TRUE(italic.italic());
    EXPECT_FALSE(italic.strikeOut());
    EXPECT_TRUE(UiFont(1, false, false, true).strikeOut());
}

TEST_F(Basics, TextMeasuresGrowWithLevelAndWrap) {
    EXPECT_GT(TextWidth(QStringLiteral("Contacts"), 0, true),
              TextWidth(QStringLiteral("Contacts"), 4, true));
    EXPECT_EQ(LineHeight(2), TextHeight(QStringLiteral("A"), 2, true) + 10);
    const QString text = QStringLiteral("one two three four five six seven eight nine ten");
    const QSize oneLine = MeasureWrapped(text, 2, 10000);
    const QSize wrapped = MeasureWrapped(text, 2, oneLine.width() / 3);
    EXPECT_GT(wrapped.height(), 2 * oneLine.height());
    EXPECT_LE(wrapped.width(), oneLine.width() / 3);
}

TEST_F(Basics, ItemColoursFollowSelectionAndFocus) {
    EXPECT_EQ(ItemBackground(true, true), HighlightColour());
    EXPECT_EQ(ItemBackground(true, false), InactiveCaptionColour());
    EXPECT_EQ(ItemBackground(false, true), WindowColour());
    EXPECT_EQ(ItemTextColour(true, true, false), HighlightTextColour());
    EXPECT_EQ(ItemTextColour(true, false, false), WindowTextColour());
    EXPECT_EQ(ItemTextColour(false, false, true), WindowTextColour());
    EXPECT_EQ(ItemTextColour(false, false, false), GreyTextColour());
}

TEST_F(Basics, GreyTextReadsOnLightAndDarkPalettesAndFollowsAChange) {
    const QPalette saved = QGuiApplication::palette();
    const QColor grey = GreyTextColour();
    EXPECT_GE(ContrastRatio(grey, WindowColour()), 4.5);
    EXPECT_NE(grey, WindowTextColour());  // still secondary
    EXPECT_NEAR(ContrastRatio(Qt::black, Qt::white), 21.0, 0.01);

    QPalette dark = saved;
    dark.setColor(QPalette::Active, QPalette::Base, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Active, QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x50, 0x50, 0x50));
    QGuiApplication::setPalette(dark);
    const QColor darkGrey = GreyTextColour();
    EXPECT_GE(ContrastRatio(darkGrey, WindowColour()), 4.5);
    EXPECT_GT(darkGrey.lightness(), 0x50);
    EXPECT_LT(darkGrey.lightness(), 0xE0);
    QGuiApplication::setPalette(saved);
    EXPECT_EQ(GreyTextColour(), grey);
}

TEST_F(Basics, ALineTooLongIsCutAfterAWholeWord) {
    const QFontMetrics fm(QFont(FontFamily(), 10));
    const QString text = QStringLiteral("Reading the morning news on the balcony");
    EXPECT_EQ(ElideAtWord(fm, text, fm.horizontalAdvance(text)), text);  // exactly fits
    const QChar ellipsis(0x2026);
    for (int width = fm.horizontalAdvance(QStringLiteral("Reading the m"));
         width < fm.horizontalAdvance(text); width += 7) {
        const QString shown = ElideAtWord(fm, text, width);
        SCOPED_TRACE(shown.toStdString());
        ASSERT_TRUE(shown.endsWith(ellipsis));
        EXPECT_LE(fm.horizontalAdvance(shown), width);
        const QString words = shown.left(shown.size() - 1);
        // The kept part ends where a word of the text ends.
        EXPECT_TRUE(text.startsWith(words + QLatin1Char(' '))) << width;
    }
    // One long word is cut inside it rather than shown as a bare ellipsis.
    const QString word = QStringLiteral("Supercalifragilistic");
    const QString cut = ElideAtWord(fm, word, fm.horizontalAdvance(word) / 2);
    EXPECT_TRUE(cut.endsWith(ellipsis));
    EXPECT_GT(cut.size(), 3);
}

TEST_F(Basics, FitImagePlacesAgainstTheRightEdgeCentredVertically) {
    // Taller than wide: scaled to the box height.
    EXPECT_EQ(FitImage(QSize(50, 100), QRect(10, 20, 64, 40)), QRect(10 + 64 - 20, 20, 20, 40));
    // Wider than tall: scaled to the box width, centred vertically.
    EXPECT_EQ(FitImage(QSize(100, 50), QRect(0, 0, 40, 40)), QRect(0, 10, 40, 20));
    // Sizes are truncated: 3 * 1.25 = 3.75.
    EXPECT_EQ(FitImage(QSize(3, 8), QRect(0, 0, 50, 10)), QRect(50 - 3, 0, 3, 10));
    // Nothing to fit.
    EXPECT_TRUE(FitImage(QSize(0, 10), QRect(0, 0, 10, 10)).isEmpty());
    EXPECT_TRUE(FitImage(QSize(10, 10), QRect()).isEmpty());
}

TEST_F(Basics, LoadImageDecodesPicturesAndRefusesOtherBytes) {
    QImage source(6, 4, QImage::Format_RGB32);
    source.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(source.save(&buffer, "PNG"));
    const auto* bytes = reinterpret_cast<const uint8_t*>(png.constData());
    const QImage decoded = LoadImage(bytes, static_cast<size_t>(png.size()));
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.size(), QSize(6, 4));
    EXPECT_TRUE(LoadImage(bytes, 10).isNull());  // cut short
    const uint8_t junk[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(LoadImage(junk, sizeof junk).isNull());
    EXPECT_TRUE(LoadImage(nullptr, 0).isNull());
}

TEST_F(Basics, FormatCountsShowsOnlineOverTotal) {
    EXPECT_EQ(FormatCounts(12, 5), u" (7/12)");
    EXPECT_EQ(FormatCounts(0, 0), u" (0/0)");
}

class CountingCanvas : public Canvas {
  public:
    int resizes = 0;
    bool lastWidth = false, lastHeight = false;
    int bandMoves = 0;

  protected:
    void AfterResize(bool w, bool h) override {
        ++resizes;
        lastWidth = w;
        lastHeight = h;
    }
    void AfterBandMoved() override { ++bandMoves; }
};

TEST_F(Basics, CanvasSizingMakesAndReleasesItsSurface) {
    CountingCanvas canvas;
    EXPECT_EQ(canvas.Surface(), nullptr);
    canvas.SetSize(-5, 100);  // negative counts as 0: no surface
    EXPECT_EQ(canvas.Width(), 0);
    EXPECT_EQ(canvas.Surface(), nullptr);
    EXPECT_EQ(canvas.resizes, 0);

    canvas.SetSize(200, 100);
    ASSERT_NE(canvas.Surface(), nullptr);
    EXPECT_EQ(canvas.Surface()->size(), QSize(200, 100));
    EXPECT_EQ(canvas.resizes, 1);
    EXPECT_TRUE(canvas.lastWidth);

    canvas.SetSize(200, 100);  // unchanged: nothing happens
    EXPECT_EQ(canvas.resizes, 1);
    canvas.SetSize(200, 150);
    EXPECT_EQ(canvas.resizes, 2);
    EXPECT_FALSE(canvas.lastWidth);
    EXPECT_TRUE(canvas.lastHeight);

    canvas.SetSize(200, 0);  // a zero dimension releases the surface
    EXPECT_EQ(canvas.Surface(), nullptr);
    EXPECT_EQ(canvas.resizes, 2);
}

TEST_F(Basics, TallCanvasHoldsABandThatFollowsTheRowsAskedFor) {
    const int saved = Canvas::MaxSurfaceRows();
    Canvas::SetMaxSurfaceRows(300);
    CountingCanvas canvas;
    canvas.SetSize(100, 10000);
    ASSERT_NE(canvas.Surface(), nullptr);
    EXPECT_EQ(canvas.Surface()->height(), 300);
    EXPECT_EQ(canvas.SurfaceTop(), 0);
    EXPECT_FALSE(canvas.EnsureRows(0, 200));  // already held
    EXPECT_TRUE(canvas.EnsureRows(5000, 5200));
    EXPECT_EQ(canvas.bandMoves, 1);
    EXPECT_LE(canvas.SurfaceTop(), 5000);
    EXPECT_GE(canvas.SurfaceTop() + 300, 5200);
    EXPECT_TRUE(canvas.EnsureRows(9900, 10000));  // the band stops at the end
    EXPECT_EQ(canvas.SurfaceTop(), 9700);
    Canvas::SetMaxSurfaceRows(saved);
}

// A band made for the rows the view is about to show holds them at once (no band move after);
// a surface of a megabyte or more lies on memory of its own, aligned for huge pages.
TEST_F(Basics, NewBandHoldsTheRowsTheViewGoesToOnMemoryAlignedForHugePages) {
    CountingCanvas canvas;
    canvas.SetSize(480, 10000, 9000, 9720);
    ASSERT_NE(canvas.Surface(), nullptr);
    const int rows = canvas.Surface()->height();
    EXPECT_EQ(rows, std::min(10000, Canvas::MaxSurfaceRows()));
    EXPECT_LE(canvas.SurfaceTop(), 9000);
    EXPECT_GE(canvas.SurfaceTop() + rows, 9720);
    EXPECT_FALSE(canvas.EnsureRows(9000, 9720));
    EXPECT_EQ(canvas.bandMoves, 0);
    if (static_cast<size_t>(canvas.Surface()->sizeInBytes()) >= size_t{1} << 20) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(canvas.Surface()->constBits()) % (2 << 20), 0u);
    }
    // Written and read whole (the mapping covers every row).
    canvas.Surface()->fill(Qt::red);
    EXPECT_EQ(canvas.Surface()->pixelColor(479, rows - 1), QColor(Qt::red));

    // Parked, it keeps its size but no surface, and a size change makes none.
    canvas.Park();
    EXPECT_EQ(canvas.Surface(), nullptr);
    canvas.SetSize(480, 12000);
    EXPECT_EQ(canvas.Surface(), nullptr);
    EXPECT_TRUE(canvas.Unpark());
    ASSERT_NE(canvas.Surface(), nullptr);
    EXPECT_FALSE(canvas.Drawn());
    EXPECT_FALSE(canvas.Unpark());
}

TEST_F(Basics, CaptionBarSharesOneLineWhenBothTextsFit) {
    CaptionBar bar;
    bar.SetTitle(QStringLiteral("Contacts"));
    bar.SetSubtitle(QStringLiteral("(3/7)"));
    bar.Layout(480);
    EXPECT_TRUE(bar.OneLine());
    const int m = ScaleX(3);
    EXPECT_EQ(bar.TotalHeight(), TextHeight(QStringLiteral("Contacts"), 2, true) + 2 * m +
                                     CaptionBar::DotStripHeight());
    EXPECT_EQ(bar.Height(), bar.TotalHeight());
    ASSERT_NE(bar.Surface(), nullptr);
    // The bottom line in the window-text colour.
    EXPECT_EQ(bar.Surface()->pixelColor(10, bar.Height() - 1), WindowTextColour());
}

TEST_F(Basics, CaptionBarPutsALongSubtitleOnASecondLine) {
    CaptionBar bar;
    bar.SetTitle(QStringLiteral("A rather long display name of somebody"), 0, true);
    bar.SetSubtitle(QStringLiteral("Away: out for lunch and then a meeting until late"), 2);
    bar.Layout(300);
    EXPECT_FALSE(bar.OneLine());
    const int limit = 300 - 2 * (ScaleX(16) + 2 * ScaleX(3));
    EXPECT_LE(bar.TitleWidth(), limit);
    EXPECT_LE(bar.SubtitleWidth(), limit);
    const int expected = TextHeight(bar.Title(), 0, true) + 2 * ScaleX(3) +
                         TextHeight(bar.Subtitle(), 2, true) + ScaleY(1) +
                         CaptionBar::DotStripHeight();
    EXPECT_EQ(bar.Height(), expected);
    bar.Surface()->save(ScreenshotPath(QStringLiteral("caption_two_lines.png")));
}

TEST_F(Basics, CaptionBarOfNoWidthHasNoSurface) {
    CaptionBar bar;
    bar.SetTitle(QStringLiteral("Accounts"));
    bar.Layout(0);
    EXPECT_EQ(bar.Surface(), nullptr);
}

}  // namespace
}  // namespace zul::test

namespace zul::test {
namespace {

TEST_F(Basics, TheSoftKeysAnswerF1AndF2AndAGreyedKeyStaysSilent) {
    QWidget window;
    auto* bar = new SoftKeyBar(&window);
    auto* editor = new QLineEdit(&window);  // the keys work wherever the focus is
    bar->SetLeftKey(QStringLiteral("Status"), true);
    bar->SetRightKey(QStringLiteral("Menu"));
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    editor->setFocus();
    QSignalSpy left(bar, &SoftKeyBar::LeftPressed);
    QSignalSpy right(bar, &SoftKeyBar::RightPressed);
    QTest::keyClick(editor, Qt::Key_F1);
    QTest::keyClick(editor, Qt::Key_F2);
    EXPECT_EQ(left.count(), 1);
    EXPECT_EQ(right.count(), 1);
    bar->SetLeftKey(QStringLiteral("Status"), false);
    QTest::keyClick(editor, Qt::Key_F1);
    EXPECT_EQ(left.count(), 1);
}

}  // namespace
}  // namespace zul::test
