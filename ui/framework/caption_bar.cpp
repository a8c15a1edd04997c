#include "ui/framework/caption_bar.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"

namespace zul {
namespace {

int IconSize() {
    return ScaleX(16);
}
int Margin() {
    return ScaleX(3);
}

void DrawLine(QPainter& painter, const QRect& box, const QString& text, int level, bool bold,
              const QColor& colour) {
    if (text.isEmpty() || box.width() <= 0) return;
    SelectFont(painter, level, bold);
    painter.setPen(colour);
    const QFontMetrics fm = painter.fontMetrics();
    const QString shown = ElideAtWord(fm, text, box.width());
    painter.drawText(box, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextDontClip, shown);
}

}  // namespace

void CaptionBar::SetTitle(const QString& text, int level, bool bold) {
    CanvasLock guard(*this);
    title_ = text;
    titleLevel_ = level;
    titleBold_ = bold;
}

void CaptionBar::SetSubtitle(const QString& text, int level, bool bold) {
    CanvasLock guard(*this);
    subtitle_ = text;
    subtitleLevel_ = level;
    subtitleBold_ = bold;
}

void CaptionBar::SetIcons(const QIcon& left, const QIcon& right) {
    CanvasLock guard(*this);
    leftIcon_ = left;
    rightIcon_ = right;
}

void CaptionBar::Layout(int width) {
    CanvasLock guard(*this);
    const int m = Margin();
    const int limit = std::max(0, width - 2 * (IconSize() + 2 * m));
    titleWidth_ = std::min(TextWidth(title_, titleLevel_, titleBold_), limit);
    titleHeight_ = TextHeight(title_, titleLevel_, titleBold_);
    subtitleWidth_ = 0;
    subtitleHeight_ = 0;
    oneLine_ = true;
    if (!subtitle_.isEmpty()) {
        subtitleWidth_ = std::min(TextWidth(subtitle_, subtitleLevel_, subtitleBold_), limit);
        subtitleHeight_ = TextHeight(subtitle_, subtitleLevel_, subtitleBold_);
        oneLine_ = titleWidth_ + m + subtitleWidth_ <= limit;
    }
    height_ = titleHeight_ + 2 * m + DotStripHeight();
    if (!oneLine_) height_ += subtitleHeight_ + ScaleY(1);
    const bool resized = width != Width() || height_ != Height();
    SetSize(width, height_);
    if (!resized) Draw();
}

void CaptionBar::Draw() {
    CanvasLock guard(*this);
    QImage* surface = Surface();
    if (surface == nullptr) return;
    QPainter painter(surface);
    painter.translate(0, -SurfaceTop());
    Paint(painter);
    SetDrawn(true);
}

int CaptionBar::DotStripHeight() {
    return ScaleY(7);
}

void CaptionBar::Paint(QPainter& painter) {
    const int w = Width();
    const int h = Height() - DotStripHeight();
    const int m = Margin();
    const int icon = IconSize();
    // The whole bar, the dot strip too: nothing earlier shows through it.
    painter.fillRect(QRect(0, 0, w, Height()), WindowColour());
    if (!leftIcon_.isNull()) leftIcon_.paint(&painter, QRect(m, (h - icon) / 2, icon, icon));
    if (!rightIcon_.isNull())
        rightIcon_.paint(&painter, QRect(w - m - icon, (h - icon) / 2, icon, icon));

    if (oneLine_) {
        const int block = titleWidth_ + (subtitle_.isEmpty() ? 0 : m + subtitleWidth_);
        const int x = (w - block) / 2;
        DrawLine(painter, QRect(x, 0, titleWidth_, h), title_, titleLevel_, titleBold_,
                 WindowTextColour());
        DrawLine(painter, QRect(x + titleWidth_ + m, 0, subtitleWidth_, h), subtitle_,
                 subtitleLevel_, subtitleBold_, GreyTextColour());
    } else {
        const int left = icon + 2 * m;
        const int inner = std::max(0, w - 2 * left);
        DrawLine(painter, QRect(left, m, inner, titleHeight_), title_, titleLevel_, titleBold_,
                 WindowTextColour());
        DrawLine(painter, QRect(left, m + titleHeight_ + ScaleY(1), inner, subtitleHeight_),
                 subtitle_, subtitleLevel_, subtitleBold_, GreyTextColour());
    }
    const int line = ScaleY(1);
    painter.fillRect(QRect(0, Height() - line, w, line), WindowTextColour());
}

}  // namespace zul
