// Every scheme draws a highlighted row that reads (the contrast is measured on the drawn
// pixels), and the marks that speak only by their look say what they are in tooltips.
#include <QApplication>
#include <QHelpEvent>
#include <QPushButton>
#include <QTest>
#include <QToolTip>
#include <map>

#include "storage/options.h"
#include "tests/ui/views_test_support.h"
#include "ui/framework/drawing.h"
#include "ui/framework/soft_key_bar.h"

namespace zul::test {
namespace {

// The contrast between the commonest colour of a box (the background) and the colour farthest
// from it (the text's ink).
double DrawnContrast(const QImage& image, const QRect& box) {
    std::map<QRgb, int> counts;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) ++counts[image.pixel(x, y) | 0xFF000000u];
    QRgb background = 0;
    int most = 0;
    for (const auto& [colour, count] : counts)
        if (count > most) most = count, background = colour;
    double best = 1.0;
    for (const auto& [colour, count] : counts)
        best = std::max(best, ContrastRatio(QColor(colour), QColor(background)));
    return best;
}

class ReadableColoursTest : public ViewsTest {
  protected:
    void TearDown() override {
        QApplication::setPalette(saved_);
        ViewsTest::TearDown();
    }
    QPalette saved_ = QApplication::palette();
};

TEST_F(ReadableColoursTest, AHighlightedRowReadsInEveryScheme) {
    Options().ClistShowGroups = 0;
    Options().ClistViewType = kLayoutList;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr contact = AddContact(account, 1, u"Highlighted Harriet");
    SetStatus(contact, 0);
    contacts->RebuildNow();

    // A desktop whose selection is white on a middle blue (3.7:1), and the two own schemes.
    QPalette weak = SchemePalette(kSchemeLight, QPalette());
    weak.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    weak.setColor(QPalette::HighlightedText, Qt::white);
    const struct {
        const char* what;
        QPalette palette;
    } cases[] = {
        {"a weak desktop selection", weak},
        {"light", SchemePalette(kSchemeLight, QPalette())},
        {"dark", SchemePalette(kSchemeDark, QPalette())},
    };
    window->activateWindow();
    window->setFocus();
    for (const auto& c : cases) {
        QApplication::setPalette(ReadablePalette(c.palette));
        QApplication::processEvents();
        for (bool focused : {true, false}) {
            if (focused)
                window->setFocus();
            else
                window->clearFocus();
            contacts->FocusItem(contacts->RowOf(contact.get()));
            contacts->Redraw();
            const QRect row =
                contacts->RowOf(contact.get())->Rect().translated(0, contacts->ContentOffset());
            const QImage screen = Screen();
            // The name's part of the row: no status icon, no picture.
            const QRect name(row.left() + 24, row.top() + 2, row.width() / 2 - 24,
                             row.height() / 2 - 2);
            EXPECT_GE(DrawnContrast(screen, name), 4.5)
                << c.what << (focused ? ", focused" : ", without the focus");
        }
        EXPECT_GE(
            ContrastRatio(QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText),
                          QApplication::palette().color(QPalette::Disabled, QPalette::Button)),
            3.0)
            << c.what << ": a disabled soft key";
    }
}

TEST_F(ReadableColoursTest, MarksAndKeysSayWhatTheyAreInTooltips) {
    Options().ClistShowGroups = 0;
    Options().ClistViewType = kLayoutList;
    Options().ClistShowAvatars = 0;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    SetStatus(ann, 0);
    ann->SetAwaitingAuth(1);
    contacts->RebuildNow();
    const QRect row = contacts->RowOf(ann.get())->Rect().translated(0, contacts->ContentOffset());

    // A position without a tooltip leaves the event ignored.
    auto tipAt = [this](QPoint pos) {
        QHelpEvent help(QEvent::ToolTip, pos, window->mapToGlobal(pos));
        QApplication::sendEvent(window.get(), &help);
        return help.isAccepted() ? QToolTip::text() : QString();
    };
    const struct {
        const char* what;
        QPoint pos;
        QString expected;
    } cases[] = {
        {"the status icon", QPoint(row.x() + 8, row.center().y()), QStringLiteral("Available")},
        {"the awaiting-authorisation key", QPoint(row.right() - 10, row.center().y()),
         QStringLiteral("Awaiting authorisation")},
        {"the name", QPoint(row.x() + 60, row.center().y()), QString()},
        {"the accounts page's dot", window->PageDotBox(0).center(), QStringLiteral("Accounts")},
    };
    for (const auto& c : cases) EXPECT_EQ(tipAt(c.pos), c.expected) << c.what;
    EXPECT_GE(window->PageDotBox(0).width(), 24) << "a dot is a target a finger finds";
    EXPECT_TRUE(window->SoftKeys()->RightKey()->toolTip().contains(QStringLiteral("F2")));
}

}  // namespace
}  // namespace zul::test
