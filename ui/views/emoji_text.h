// Emoji in colour. Qt takes each glyph from the first font that has one, and the usual
// interface fonts hold black-and-white drawings of many emoji (a smiling face, a heart, a cat):
// the colour font is reached only for what they lack. So the emoji of a text get the colour
// font ahead of the text's own, in the chat's bubbles and lines and in the message editor.
// Without a colour font installed everything is drawn as before.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <utility>
#include <vector>

class QPainter;
class QPlainTextEdit;

namespace zul::emoji {

// The family of the colour emoji font, or empty when none is installed. Looked up once.
QString ColourFamily();

// Where a text's emoji are: (start, length) in UTF-16 units, in order and apart. An emoji is a
// character shown as a picture by default, one that asks for the picture with U+FE0F, a keycap
// (digit, U+FE0F, U+20E3), a flag (two regional indicators), with what joins it: skin tones,
// U+200D and the character it joins, tag characters. A character shown as text by default
// stays text (a digit, the copyright sign, U+263A); so does one that asks for text (U+FE0E).
std::vector<std::pair<int, int>> Runs(const QString& text);

// `base` with the colour font ahead of its own family: for a text that is all emoji.
QFont ColourFont(const QFont& base);

// The size `text` takes in `font` at `width` as QPainter::drawText lays it out with `flags`
// (Qt::TextWordWrap or Qt::TextWrapAnywhere, Qt::TextExpandTabs); `lines` gets its line count.
QSize Measure(const QFont& font, int width, int flags, const QString& text, int* lines = nullptr);
// Draws `text` into `rect` with the painter's font and pen as drawText does with `flags` (the
// alignment flags included), its emoji in the colour font and a quarter larger than the text.
void Draw(QPainter& painter, const QRect& rect, int flags, const QString& text);

// True when `text` has an emoji to draw in colour (a colour font is installed).
bool HasColourEmoji(const QString& text);

// Gives the editor's emoji the colour font as they are typed (at the text's size: the editor's
// height is counted from its font's lines), and its context menu an entry that opens the emoji
// picker; once for an editor, however often it is asked.
void EquipEditor(QPlainTextEdit& editor);

}  // namespace zul::emoji
