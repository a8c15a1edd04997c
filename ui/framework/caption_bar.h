// CaptionBar: the header drawn atop each page: a title, an optional subtitle, an icon on
// either side, a strip for the window's page dots, and a line along its bottom edge.
#pragma once

#include <QIcon>
#include <QString>

#include "ui/framework/canvas.h"

class QPainter;

namespace zul {

class CaptionBar : public Canvas {
  public:
    void SetTitle(const QString& text, int level = 2, bool bold = true);
    void SetSubtitle(const QString& text, int level = 4, bool bold = true);
    void SetIcons(const QIcon& left, const QIcon& right);

    const QString& Title() const { return title_; }
    const QString& Subtitle() const { return subtitle_; }

    // Measures the texts for a bar of the width, sizes the canvas and draws it.
    void Layout(int width);
    // Draws the bar into its canvas again (after a text or icon change, call Layout).
    void Draw();

    bool OneLine() const { return oneLine_; }
    // The strip above the bottom line where the window draws its page dots.
    static int DotStripHeight();
    int TotalHeight() const { return height_; }
    int TitleWidth() const { return titleWidth_; }
    int SubtitleWidth() const { return subtitleWidth_; }

  protected:
    void AfterResize(bool widthChanged, bool heightChanged) override { Draw(); }

  private:
    void Paint(QPainter& painter);

    QString title_;
    int titleLevel_ = 2;
    bool titleBold_ = true;
    QString subtitle_;
    int subtitleLevel_ = 4;
    bool subtitleBold_ = true;
    QIcon leftIcon_;
    QIcon rightIcon_;

    int titleWidth_ = 0;
    int titleHeight_ = 0;
    int subtitleWidth_ = 0;
    int subtitleHeight_ = 0;
    int height_ = 0;
    bool oneLine_ = true;
};

}  // namespace zul
