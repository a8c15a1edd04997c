// Pages on scaled screens: the surfaces have as many pixels as the device-pixel ratio asks,
// so a 2x rendering is sharper than a 1x rendering scaled up (they differ on glyph edges),
// while the layout in logical pixels stays the same.
#include <QGuiApplication>
#include <QPainter>

#include "tests/ui/views_test_support.h"
#include "ui/framework/canvas.h"

namespace zul {
namespace {

using test::TestAccount;

class HiDpiTest : public test::ViewsTest {
  protected:
    void TearDown() override {
        Canvas::SetPixelRatio(1.0);
        test::ViewsTest::TearDown();
    }
    // The contact page's surface as drawn at a ratio, with its caption over it.
    QImage RenderAt(double ratio) {
        Canvas::SetPixelRatio(ratio);
        contacts->Caption().FollowPixelRatio();
        contacts->FollowPixelRatio();
        const int width = contacts->Width();
        const int height = std::min(contacts->Height(), contacts->SurfaceRect().height());
        QImage out(static_cast<int>(std::ceil(width * ratio)),
                   static_cast<int>(std::ceil(height * ratio)),
                   QImage::Format_ARGB32_Premultiplied);
        out.setDevicePixelRatio(ratio);
        out.fill(Qt::white);
        QPainter painter(&out);
        contacts->PaintTo(painter, QRect(0, 0, width, height), height);
        return out;
    }
};

// Pixels whose colour differs clearly between two images of one size.
int DifferingPixels(const QImage& a, const QImage& b) {
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            if (std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) +
                    std::abs(p.blue() - q.blue()) >
                90)
                ++count;
        }
    }
    return count;
}

TEST_F(HiDpiTest, SurfacesFollowTheRatioAndTwiceThePixelsAreSharperThanAStretchedImage) {
    TestAccount& account = NewAccount(1, u"100");
    for (int i = 1; i <= 6; ++i)
        AddContact(account, i, u"Contact number " + Widen(std::to_string(i)));
    FastTick();
    const QRect rowAt1 = contacts->Listed().back()->Rect();

    const QImage one = RenderAt(1.0);
    const QImage two = RenderAt(2.0);
    ASSERT_EQ(contacts->Surface()->devicePixelRatio(), 2.0);
    EXPECT_EQ(two.size(), one.size() * 2);
    // The layout is in logical pixels: nothing moved.
    EXPECT_EQ(contacts->Listed().back()->Rect(), rowAt1);
    // The sharp rendering differs from the stretched one along the glyphs' edges.
    QImage stretched = one.scaled(two.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    stretched.setDevicePixelRatio(2.0);
    EXPECT_GT(DifferingPixels(two.convertToFormat(QImage::Format_ARGB32),
                              stretched.convertToFormat(QImage::Format_ARGB32)),
              500);
    // 1.5 too; and back at 1 the surface is as before.
    const QImage oneAndHalf = RenderAt(1.5);
    EXPECT_EQ(oneAndHalf.width(), static_cast<int>(std::ceil(one.width() * 1.5)));
    const QImage again = RenderAt(1.0);
    EXPECT_EQ(DifferingPixels(again, one), 0);

    one.save(test::ScreenshotPath(QStringLiteral("contacts_dpr1.png")));
    oneAndHalf.save(test::ScreenshotPath(QStringLiteral("contacts_dpr1.5.png")));
    two.save(test::ScreenshotPath(QStringLiteral("contacts_dpr2.png")));
}

TEST_F(HiDpiTest, ADarkPaletteIsFollowedWhenItChangesWhileRunning) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    SetStatus(ann, kStatusAvailable);
    FastTick();
    const QPalette saved = QGuiApplication::palette();
    QPalette dark = saved;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        dark.setColor(group, QPalette::Window, QColor(0x20, 0x20, 0x20));
        dark.setColor(group, QPalette::Base, QColor(0x20, 0x20, 0x20));
        dark.setColor(group, QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
        dark.setColor(group, QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
    }
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x50, 0x50, 0x50));
    QGuiApplication::setPalette(dark);
    QCoreApplication::processEvents();
    const QImage shot = RenderAt(1.0);
    QGuiApplication::setPalette(saved);
    QCoreApplication::processEvents();
    // The page's background is the dark one, and its text is light.
    const QRect row = contacts->RowOf(ann.get())->Rect();
    EXPECT_LT(shot.pixelColor(row.right() - 2, row.bottom() - 2).lightness(), 0x40);
    int light = 0;
    for (int y = row.top(); y < row.bottom(); ++y)
        for (int x = row.left(); x < row.right(); ++x)
            light += shot.pixelColor(x, y).lightness() > 0xA0;
    EXPECT_GT(light, 20);
    shot.save(test::ScreenshotPath(QStringLiteral("contacts_dark.png")));
}

}  // namespace
}  // namespace zul
