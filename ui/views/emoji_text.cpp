#include "ui/views/emoji_text.h"

#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRawFont>
#include <QSyntaxHighlighter>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <iterator>

#include "ui/views/emoji_picker.h"
#include "ui/views/view_support.h"

namespace zul::emoji {
namespace {

constexpr char32_t kAsPicture = 0xFE0F;
constexpr char32_t kAsText = 0xFE0E;
constexpr char32_t kJoiner = 0x200D;
constexpr char32_t kKeycap = 0x20E3;

struct Range {
    char32_t first;
    char32_t last;
};

// Characters shown as pictures by default (Emoji_Presentation); beyond the first plane the
// pictograph blocks are taken whole.
constexpr Range kPictures[] = {
    {0x231A, 0x231B},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},   {0x23F3, 0x23F3},
    {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},
    {0x26C4, 0x26C5},   {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},
    {0x26F2, 0x26F3},   {0x26F5, 0x26F5},   {0x26FA, 0x26FA},   {0x26FD, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C},
    {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},
    {0x2B55, 0x2B55},   {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E},
    {0x1F191, 0x1F19A}, {0x1F1E6, 0x1F1FF}, {0x1F201, 0x1F201}, {0x1F21A, 0x1F21A},
    {0x1F22F, 0x1F22F}, {0x1F232, 0x1F236}, {0x1F238, 0x1F23A}, {0x1F250, 0x1F251},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7FF}, {0x1F90C, 0x1F9FF},
    {0x1FA70, 0x1FAFF},
};

// Characters shown as text unless U+FE0F follows (the copyright sign, arrows, the dingbats
// and the other symbols that had a text form before emoji).
constexpr Range kTextFirst[] = {
    {0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C},   {0x2049, 0x2049}, {0x2122, 0x2122},
    {0x2139, 0x2139}, {0x2194, 0x21AA}, {0x2300, 0x23FF},   {0x24C2, 0x24C2}, {0x25AA, 0x25FE},
    {0x2600, 0x27BF}, {0x2934, 0x2935}, {0x2B05, 0x2B55},   {0x3030, 0x3030}, {0x303D, 0x303D},
    {0x3297, 0x3297}, {0x3299, 0x3299}, {0x1F000, 0x1FAFF},
};

template <size_t N>
bool In(const Range (&table)[N], char32_t c) {
    const auto* it = std::lower_bound(std::begin(table), std::end(table), c,
                                      [](const Range& r, char32_t v) { return r.last < v; });
    return it != std::end(table) && it->first <= c;
}

bool IsRegional(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

bool IsKeycapBase(char32_t c) {
    return (c >= u'0' && c <= u'9') || c == u'#' || c == u'*';
}

// What may follow an emoji as part of it, beside U+200D: U+FE0F, a skin tone, a tag, U+20E3.
bool Continues(char32_t c) {
    return c == kAsPicture || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
           c == kKeycap;
}

// The character at i and its length in UTF-16 units (0 past the end).
char32_t At(const QString& text, int i, int* units) {
    if (i >= text.size()) {
        *units = 0;
        return 0;
    }
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        *units = 2;
        return QChar::surrogateToUcs4(c, text.at(i + 1));
    }
    *units = 1;
    return c.unicode();
}

// What the colour font has, asked of that font alone.
bool ColourFontHas(char32_t c) {
    static const QRawFont font = QRawFont::fromFont(QFont(ColourFamily()));
    return font.isValid() && font.supportsCharacter(c);
}

// The emoji of a text that the colour font can draw (a font older than the text may lack the
// newest); none without a colour font.
std::vector<std::pair<int, int>> ColourRuns(const QString& text) {
    // Most texts have none: nothing below U+00A9 starts an emoji but a keycap's digit, which
    // needs U+20E3.
    const bool maybe =
        std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0xA9; });
    if (!maybe || ColourFamily().isEmpty()) return {};
    std::vector<std::pair<int, int>> runs = Runs(text);
    std::erase_if(runs, [&text](const std::pair<int, int>& run) {
        int units = 0;
        return !ColourFontHas(At(text, run.first, &units));
    });
    return runs;
}

// The format of an emoji: the colour font alone. Merged with the other fonts, Qt would give
// the U+FE0F inside a sequence, which the colour font lacks, to another font and split what
// should be one picture (a heart on fire shows as a heart and a fire); unmerged, the sequence
// is shaped in the colour font as one and the selector is not drawn.
QTextCharFormat ColourFormat() {
    QTextCharFormat colour;
    colour.setFontFamilies(QStringList{ColourFamily()});
    colour.setFontStyleStrategy(QFont::NoFontMerging);
    return colour;
}

// A text laid out as drawText lays it out, its emoji in the colour font, the lines one under
// the other from the top.
struct Laid {
    QSize size;
    int lines = 0;
};

Laid LayOut(QTextLayout& layout, const QFont& font, int width, int flags, const QString& text,
            const std::vector<std::pair<int, int>>& runs) {
    QString shown = text;
    for (QChar& c : shown) {
        if (c == u'\r')
            c = u' ';
        else if (c == u'\n')
            c = QChar::LineSeparator;
    }
    layout.setText(shown);
    layout.setFont(font);
    QTextOption option(Qt::Alignment(flags) & Qt::AlignHorizontal_Mask);
    option.setWrapMode((flags & Qt::TextWrapAnywhere) != 0 ? QTextOption::WrapAnywhere
                       : (flags & Qt::TextWordWrap) != 0   ? QTextOption::WordWrap
                                                           : QTextOption::ManualWrap);
    layout.setTextOption(option);
    // The colour font's pictures come out smaller than the letters beside them: a quarter
    // larger, they stand as tall as a capital and a bit.
    QTextCharFormat colour = ColourFormat();
    if (font.pixelSize() > 0)
        colour.setProperty(QTextFormat::FontPixelSize, font.pixelSize() * 5 / 4);
    else
        colour.setFontPointSize(font.pointSizeF() * 5 / 4);
    QList<QTextLayout::FormatRange> formats;
    for (const auto& [start, length] : runs) formats.append({start, length, colour});
    layout.setFormats(formats);

    const qreal leading = QFontMetricsF(font).leading();
    qreal height = 0;
    qreal widest = 0;
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(1, width));
        height = std::ceil(height + (lines > 0 ? leading : 0));
        line.setPosition(QPointF(0, height));
        height += line.height();
        widest = std::max(widest, line.naturalTextWidth());
        ++lines;
    }
    layout.endLayout();
    return {QSize(static_cast<int>(std::ceil(widest)), static_cast<int>(std::ceil(height))), lines};
}

// Colours the emoji of the editor's text as it changes; the text itself stays as typed.
class EditorColours : public QSyntaxHighlighter {
  public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

  protected:
    void highlightBlock(const QString& text) override {
        const QTextCharFormat colour = ColourFormat();
        for (const auto& [start, length] : ColourRuns(text)) setFormat(start, length, colour);
    }
};

// The editor's own context menu with "Insert emoji..." at its end. The pointer's menu comes
// through the viewport, the keyboard's through the editor.
class EditorMenu : public QObject {
  public:
    explicit EditorMenu(QPlainTextEdit& editor) : QObject(&editor), editor_(&editor) {}

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::ContextMenu || editor_ == nullptr) return false;
        QMenu* menu = editor_->createStandardContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addSeparator();
        QPointer<QPlainTextEdit> editor = editor_;
        QObject::connect(menu->addAction(ResText(kTextInsertEmoji)), &QAction::triggered, menu,
                         [editor] {
                             if (editor != nullptr) EmojiPicker::Open(*editor);
                         });
        menu->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    }

  private:
    QPointer<QPlainTextEdit> editor_;
};

}  // namespace

QString ColourFamily() {
    static const QString family = [] {
        const QString preferred = QStringLiteral("Noto Color Emoji");
        if (QFontDatabase::hasFamily(preferred)) return preferred;
        for (const QString& f : QFontDatabase::families())
            if (f.contains(QStringLiteral("Emoji"), Qt::CaseInsensitive)) return f;
        return QString();
    }();
    return family;
}

std::vector<std::pair<int, int>> Runs(const QString& text) {
    std::vector<std::pair<int, int>> runs;
    const int n = static_cast<int>(text.size());
    int i = 0;
    while (i < n) {
        int units = 0;
        const char32_t c = At(text, i, &units);
        int end = i + units;
        int nextUnits = 0;
        const char32_t next = At(text, end, &nextUnits);
        bool picture = false;
        if (IsKeycapBase(c)) {
            const int mark = next == kAsPicture ? end + 1 : end;
            if (mark < n && text.at(mark) == QChar(kKeycap)) {
                picture = true;
                end = mark;
            }
        } else if (next == kAsText) {
            end += nextUnits;
        } else {
            picture = In(kPictures, c) || (next == kAsPicture && In(kTextFirst, c));
            if (picture && IsRegional(c) && IsRegional(next)) end += nextUnits;
        }
        if (!picture) {
            i = end;
            continue;
        }
        for (;;) {
            int more = 0;
            const char32_t after = At(text, end, &more);
            if (more == 0) break;
            if (Continues(after)) {
                end += more;
            } else if (after == kJoiner) {
                end += more;
                const char32_t joined = At(text, end, &more);
                if (more == 0 || QChar::isSpace(joined)) break;
                end += more;
            } else {
                break;
            }
        }
        if (!runs.empty() && runs.back().first + runs.back().second == i)
            runs.back().second = end - runs.back().first;
        else
            runs.emplace_back(i, end - i);
        i = end;
    }
    return runs;
}

bool HasColourEmoji(const QString& text) {
    return !ColourRuns(text).empty();
}

QFont ColourFont(const QFont& base) {
    QFont font = base;
    if (const QString family = ColourFamily(); !family.isEmpty())
        font.setFamilies(QStringList{family, base.family()});
    return font;
}

QSize Measure(const QFont& font, int width, int flags, const QString& text, int* lines) {
    const std::vector<std::pair<int, int>> runs = ColourRuns(text);
    if (runs.empty()) {
        const QFontMetrics fm(font);
        const QSize size =
            fm.boundingRect(QRect(0, 0, std::max(1, width), 1 << 24), flags, text).size();
        if (lines != nullptr)
            *lines =
                text.isEmpty()
                    ? 0
                    : std::max(1, (size.height() + fm.leading()) / std::max(1, fm.lineSpacing()));
        return size;
    }
    QTextLayout layout;
    const Laid laid = LayOut(layout, font, width, flags, text, runs);
    if (lines != nullptr) *lines = laid.lines;
    return laid.size;
}

void Draw(QPainter& painter, const QRect& rect, int flags, const QString& text) {
    const std::vector<std::pair<int, int>> runs = ColourRuns(text);
    if (runs.empty()) {
        painter.drawText(rect, flags, text);
        return;
    }
    QTextLayout layout;
    const Laid laid = LayOut(layout, painter.font(), rect.width(), flags, text, runs);
    int top = rect.top();
    if ((flags & Qt::AlignVCenter) != 0)
        top += (rect.height() - laid.size.height()) / 2;
    else if ((flags & Qt::AlignBottom) != 0)
        top += rect.height() - laid.size.height();
    const bool clip = laid.size.width() > rect.width() || laid.size.height() > rect.height();
    painter.save();
    if (clip) painter.setClipRect(rect, Qt::IntersectClip);
    layout.draw(&painter, QPointF(rect.left(), top));
    painter.restore();
}

void EquipEditor(QPlainTextEdit& editor) {
    const QString name = QStringLiteral("zulEmoji");
    if (editor.findChild<QObject*>(name, Qt::FindDirectChildrenOnly) != nullptr) return;
    auto* menu = new EditorMenu(editor);
    menu->setObjectName(name);
    editor.installEventFilter(menu);
    editor.viewport()->installEventFilter(menu);
    new EditorColours(editor.document());
}

}  // namespace zul::emoji
