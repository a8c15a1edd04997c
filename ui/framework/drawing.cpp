#include "ui/framework/drawing.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/framework/dpi.h"

namespace zul {

int FontPointSize(int level) {
    if (level < 0 || level > 5) return 8;
    return 10 - level;
}

QString FontFamily() {
    static const QString family = [] {
        const QString wanted = QStringLiteral("Tahoma");
        if (QFontDatabase::hasFamily(wanted)) return wanted;
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}

QFont UiFont(int level, bool bold, bool italic, bool struck) {
    QFont font(FontFamily());
    font.setPixelSize(FontPointSize(level) * Dpi::Y() / 72 + 1);
    if (bold)
        font.setWeight(QFont::Bold);
    else if (italic)
        font.setItalic(true);
    else if (struck)
        font.setStrikeOut(true);
    return font;
}

void SelectFont(QPainter& painter, int level, bool bold, bool italic, bool struck) {
    painter.setFont(UiFont(level, bold, italic, struck));
}

int TextWidth(const QString& text, int level, bool bold) {
    return QFontMetrics(UiFont(level, bold)).horizontalAdvance(text);
}

int TextHeight(const QString& text, int level, bool bold) {
    QFontMetrics fm(UiFont(level, bold));
    return fm
        .boundingRect(QRect(0, 0, std::numeric_limits<int>::max() / 2, fm.height()),
                      Qt::TextSingleLine, text)
        .height();
}

QSize MeasureWrapped(const QString& text, int level, int width) {
    QFontMetrics fm(UiFont(level, false));
    const QRect r = fm.boundingRect(QRect(0, 0, std::max(1, width), 1 << 24),
                                    Qt::TextWordWrap | Qt::TextExpandTabs, text);
    return r.size();
}

int LineHeight(int level) {
    return TextHeight(QStringLiteral("A"), level, true) + 2 * ScaleY(5);
}

void DrawCentredText(QPainter& painter, int level, const QRect& rect, const QColor& colour,
                     const QString& text) {
    QRect r = rect.adjusted(ScaleX(20), 0, -ScaleX(20), 0);
    if (r.width() <= 0) return;
    const int height = MeasureWrapped(text, level, r.width()).height();
    r.setTop(rect.top() + (rect.height() - height) / 2);
    r.setHeight(height);
    painter.save();
    SelectFont(painter, level, false);
    painter.setPen(colour);
    painter.drawText(r, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text);
    painter.restore();
}

namespace {
QPalette Palette() {
    return QGuiApplication::palette();
}

double Channel(int value) {
    const double c = value / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& c) {
    return 0.2126 * Channel(c.red()) + 0.7152 * Channel(c.green()) + 0.0722 * Channel(c.blue());
}

QColor Mix(const QColor& a, const QColor& b, double t) {
    auto mix = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}
}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double x = Luminance(a), y = Luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QString ElideAtWord(const QFontMetrics& metrics, const QString& text, int width) {
    // elidedText also cuts a text whose advance is exactly the width: ask only when needed.
    if (metrics.horizontalAdvance(text) <= width) return text;
    const QString cut = metrics.elidedText(text, Qt::ElideRight, width);
    const QChar ellipsis(0x2026);
    if (!cut.endsWith(ellipsis)) return cut;
    const QString kept = cut.left(cut.size() - 1);
    // Cut mid-word: go back to the end of the last whole word, unless that loses most of
    // what fits.
    if (kept.size() < text.size() && !text.at(kept.size()).isSpace() && !kept.isEmpty() &&
        !kept.back().isSpace()) {
        const qsizetype space = kept.lastIndexOf(QLatin1Char(' '));
        if (space > 0 && space * 2 >= kept.size()) return kept.left(space).trimmed() + ellipsis;
    }
    return kept.trimmed() + ellipsis;
}

QColor WindowColour() {
    return Palette().color(QPalette::Active, QPalette::Base);
}
QColor WindowTextColour() {
    return Palette().color(QPalette::Active, QPalette::Text);
}
QColor GreyTextColour() {
    // The palette's disabled text, moved toward the text colour until it reads well on the
    // window (4.5:1), in light and dark palettes alike; kept while the palette stays.
    thread_local QRgb cachedFor[3] = {0, 0, 0};
    thread_local QColor cached;
    thread_local bool known = false;
    const QColor back = WindowColour();
    const QColor text = WindowTextColour();
    const QColor disabled = Palette().color(QPalette::Disabled, QPalette::Text);
    const QRgb key[3] = {back.rgb(), text.rgb(), disabled.rgb()};
    if (known && std::equal(key, key + 3, cachedFor)) return cached;
    constexpr double kReadable = 4.5;
    constexpr int kSteps = 32;
    QColor grey = disabled;
    for (int step = 1; step <= kSteps && ContrastRatio(grey, back) < kReadable; ++step)
        grey = Mix(disabled, text, static_cast<double>(step) / kSteps);
    std::copy(key, key + 3, cachedFor);
    cached = grey;
    known = true;
    return grey;
}
QColor HighlightColour() {
    return Palette().color(QPalette::Active, QPalette::Highlight);
}
QColor HighlightTextColour() {
    return Palette().color(QPalette::Active, QPalette::HighlightedText);
}

namespace {

// Moves `colour` toward `target` in steps until `against` reads on it at `ratio`; the last step
// is the target itself.
QColor MoveUntilReadable(const QColor& colour, const QColor& target, const QColor& against,
                         double ratio) {
    constexpr int kSteps = 32;
    QColor moved = colour;
    for (int step = 1; step <= kSteps && ContrastRatio(moved, against) < ratio; ++step)
        moved = Mix(colour, target, static_cast<double>(step) / kSteps);
    return moved;
}

constexpr double kReadableText = 4.5;
constexpr double kReadableDisabled = 3.0;

}  // namespace

QColor InactiveCaptionColour() {
    // Halfway to the window, and further while the text does not read on it.
    const QColor w = WindowColour();
    const QColor half = Mix(HighlightColour(), w, 0.5);
    return MoveUntilReadable(half, w, WindowTextColour(), kReadableText);
}

bool IsDarkPalette(const QPalette& palette) {
    return Luminance(palette.color(QPalette::Active, QPalette::Base)) <
           Luminance(palette.color(QPalette::Active, QPalette::Text));
}

QPalette SchemePalette(int scheme, const QPalette& system) {
    if (scheme == kSchemeLight) {
        QPalette p(QColor(0xef, 0xef, 0xef), QColor(0xf4, 0xf4, 0xf4));
        p.setColor(QPalette::Base, Qt::white);
        p.setColor(QPalette::Text, Qt::black);
        p.setColor(QPalette::WindowText, Qt::black);
        p.setColor(QPalette::ButtonText, Qt::black);
        p.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
        p.setColor(QPalette::HighlightedText, Qt::white);
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x90, 0x90, 0x90));
        p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x90, 0x90, 0x90));
        return p;
    }
    if (scheme == kSchemeDark) {
        QPalette p(QColor(0x3a, 0x3a, 0x3c), QColor(0x26, 0x26, 0x28));
        p.setColor(QPalette::Base, QColor(0x1c, 0x1c, 0x1e));
        p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2c));
        p.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
        p.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
        p.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8));
        p.setColor(QPalette::BrightText, Qt::white);
        p.setColor(QPalette::Highlight, QColor(0x3d, 0x7f, 0xc4));
        p.setColor(QPalette::HighlightedText, Qt::white);
        p.setColor(QPalette::Link, QColor(0x8a, 0xb8, 0xff));
        p.setColor(QPalette::ToolTipBase, QColor(0x2a, 0x2a, 0x2c));
        p.setColor(QPalette::ToolTipText, QColor(0xe8, 0xe8, 0xe8));
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x70, 0x70, 0x70));
        p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x70, 0x70, 0x70));
        p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x70, 0x70, 0x70));
        return p;
    }
    return system;
}

void ApplyColourScheme(int scheme) {
    static const QPalette system = QGuiApplication::palette();
    QGuiApplication::setPalette(ReadablePalette(SchemePalette(scheme, system)));
}

QPalette ReadablePalette(QPalette palette) {
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        const QColor text = palette.color(group, QPalette::HighlightedText);
        // Away from the highlighted text: darker under light text, lighter under dark text.
        const QColor away = Luminance(text) > 0.5 ? QColor(Qt::black) : QColor(Qt::white);
        palette.setColor(group, QPalette::Highlight,
                         MoveUntilReadable(palette.color(group, QPalette::Highlight), away, text,
                                           kReadableText));
    }
    const QColor button = palette.color(QPalette::Disabled, QPalette::Button);
    for (QPalette::ColorRole role : {QPalette::ButtonText, QPalette::WindowText}) {
        palette.setColor(
            QPalette::Disabled, role,
            MoveUntilReadable(palette.color(QPalette::Disabled, role),
                              palette.color(QPalette::Active, role), button, kReadableDisabled));
    }
    return palette;
}

QColor ItemBackground(bool selected, bool focused) {
    if (!selected) return WindowColour();
    return focused ? HighlightColour() : InactiveCaptionColour();
}

QColor ItemTextColour(bool selected, bool focused, bool normal) {
    if (selected) return focused ? HighlightTextColour() : WindowTextColour();
    return normal ? WindowTextColour() : GreyTextColour();
}

QRect FitImage(const QSize& image, const QRect& box) {
    const int w = image.width();
    const int h = image.height();
    if (w <= 0 || h <= 0 || box.isEmpty()) return {};
    const double scale =
        w < h ? static_cast<double>(box.height()) / h : static_cast<double>(box.width()) / w;
    const int fw = static_cast<int>(w * scale);
    const int fh = static_cast<int>(h * scale);
    return QRect(box.left() + box.width() - fw, box.top() + (box.height() - fh) / 2, fw, fh);
}

QImage LoadImage(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr || count == 0 ||
        count > static_cast<size_t>(std::numeric_limits<int>::max()))
        return {};
    // fromData copies what it decodes; the buffer stays the caller's.
    return QImage::fromData(bytes, static_cast<int>(count));
}

void DrawImage(QPainter& painter, const QImage& image, const QRect& rect) {
    if (image.isNull() || rect.isEmpty()) return;
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect, image);
    painter.restore();
}

std::u16string FormatCounts(int total, int offline) {
    const QString text = QStringLiteral(" (%1/%2)").arg(total - offline).arg(total);
    return text.toStdU16String();
}

}  // namespace zul
