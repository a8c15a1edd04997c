// Shared drawing operations of the pages: fonts by size level, colours by selection state,
// centred and wrapped text, and pictures decoded from memory.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPalette>
#include <QRect>
#include <QSize>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>

class QPainter;

class QFontMetrics;

namespace zul {

// Size levels 0..5 are 10, 9, 8, 7, 6 and 5 points; any other level is 8 points.
int FontPointSize(int level);

// The shared font family: "Tahoma" when installed, else the system's sans font.
QString FontFamily();

// The font of a level. Bold wins over italic, italic over struck-out. The pixel size is the
// one the fonts are built with: size * vertical dpi / 72 (integer) + 1.
QFont UiFont(int level, bool bold, bool italic = false, bool struck = false);
void SelectFont(QPainter& painter, int level, bool bold, bool italic = false, bool struck = false);

int TextWidth(const QString& text, int level, bool bold);
// One line of text for a width: whole when it fits, else cut after its last whole word that
// fits, with an ellipsis (mid-word only when a single word fills most of the width).
QString ElideAtWord(const QFontMetrics& metrics, const QString& text, int width);
int TextHeight(const QString& text, int level, bool bold);
// Width and height of the text word-wrapped (tabs expanded) at a width, regular font.
QSize MeasureWrapped(const QString& text, int level, int width);
// Height of "A" in the bold font of the level plus 5 px (scaled) above and below.
int LineHeight(int level);

// Empty-page text: 20 px (scaled) in from the left and right, word-wrapped, centred.
void DrawCentredText(QPainter& painter, int level, const QRect& rect, const QColor& colour,
                     const QString& text);

// System colours of the drawing.
QColor WindowColour();
QColor WindowTextColour();
// Secondary text: at least 4.5:1 against the window colour.
QColor GreyTextColour();
// The contrast of two colours as the accessibility guidelines measure it (1 to 21).
double ContrastRatio(const QColor& a, const QColor& b);
QColor HighlightColour();
QColor HighlightTextColour();
// A selection without the keyboard focus: the highlight faded toward the window, still 4.5:1
// under the window's text.
QColor InactiveCaptionColour();

// The palettes the client draws with. kSchemeSystem is the desktop's own.
enum ColourScheme { kSchemeSystem = 0, kSchemeLight = 1, kSchemeDark = 2 };
QPalette SchemePalette(int scheme, const QPalette& system);
// The palette with its selections and disabled texts made readable: highlighted text at least
// 4.5:1 on the highlight, disabled button text at least 3:1 on buttons (colours moved only as
// far as needed).
QPalette ReadablePalette(QPalette palette);
bool IsDarkPalette(const QPalette& palette);
// Sets the application's palette for a scheme (the desktop's as it was at the first call when
// kSchemeSystem), made readable.
void ApplyColourScheme(int scheme);

QColor ItemBackground(bool selected, bool focused);
// normal: the item counts as normal (a contact on the server list, an enabled account).
QColor ItemTextColour(bool selected, bool focused, bool normal);

// Where a picture of the size goes in a box: scaled to the box height when it is taller
// than wide, else to the box width; against the box's right edge, centred vertically.
QRect FitImage(const QSize& image, const QRect& box);
// Decodes PNG, JPEG, GIF or BMP bytes; a null image when they are not a picture.
QImage LoadImage(const uint8_t* bytes, size_t count);
void DrawImage(QPainter& painter, const QImage& image, const QRect& rect);

// " (" + online + "/" + total + ")" with online = total - offline.
std::u16string FormatCounts(int total, int offline);

}  // namespace zul
