#include "ui/views/chat_page_look.h"

#include <QDate>
#include <QGuiApplication>
#include <QLocale>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/local_time.h"
#include "storage/history.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/views/chat_page_parts.h"
#include "ui/views/view_support.h"

namespace zul::chat {

namespace {

constexpr double kReadable = 4.5;
// One day of local file time (100 ns units).
constexpr uint64_t kDayTicks = 24ULL * 60 * 60 * 10'000'000;

QColor Mix(const QColor& a, const QColor& b, double t) {
    auto mix = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}

// Black or white, whichever reads better on `back`.
QColor Opposite(const QColor& back) {
    return ContrastRatio(Qt::black, back) >= ContrastRatio(Qt::white, back) ? QColor(Qt::black)
                                                                            : QColor(Qt::white);
}

// The palette colours the bubbles are made of; the bubbles are worked out again when one of
// them changes.
struct Source {
    QRgb window, text, highlight, disabled;
    bool operator==(const Source&) const = default;
};

Source CurrentSource() {
    const QPalette p = QGuiApplication::palette();
    return Source{WindowColour().rgb(), WindowTextColour().rgb(), HighlightColour().rgb(),
                  p.color(QPalette::Disabled, QPalette::Text).rgb()};
}

// A bubble of that fill, with the window's text on it where it reads well.
BubbleColours BubbleOf(const QColor& fill, const Source& s) {
    BubbleColours b;
    b.fill = fill;
    b.text = ReadableOn(QColor(s.text), Opposite(fill), fill);
    b.secondary = ReadableOn(QColor(s.disabled), b.text, fill);
    return b;
}

struct Bubbles {
    Source source{};
    BubbleColours incoming, outgoing;
    QColor failure, divider;
};

const Bubbles& CurrentBubbles() {
    thread_local Bubbles cached;
    thread_local bool known = false;
    const Source s = CurrentSource();
    if (known && cached.source == s) return cached;
    const QColor window(s.window), text(s.text), highlight(s.highlight);
    cached.source = s;
    cached.incoming = BubbleOf(Mix(window, text, 0.09), s);
    QColor tint = Mix(window, highlight, 0.22);
    // A highlight too close to the window's grey still sets the two sides apart.
    const QColor in = cached.incoming.fill;
    if (std::abs(tint.red() - in.red()) + std::abs(tint.green() - in.green()) +
            std::abs(tint.blue() - in.blue()) <
        24)
        tint = Mix(window, text, 0.2);
    cached.outgoing = BubbleOf(tint, s);
    cached.failure = ReadableOn(QColor(0xC6, 0x28, 0x28), text, window);
    cached.divider = Mix(window, text, 0.25);
    known = true;
    return cached;
}

}  // namespace

Delivery DeliveryOf(const CHistoryEvent& event) {
    if (!event.IsMessage() || !event.IsOutgoing()) return Delivery::kNone;
    if (event.ErrorCode() != 0) return Delivery::kFailed;
    if (event.Sent() == 0) return Delivery::kPending;
    return event.Delivered() != 0 ? Delivery::kDelivered : Delivery::kSent;
}

QColor ReadableOn(const QColor& colour, const QColor& toward, const QColor& back) {
    constexpr int kSteps = 32;
    QColor c = colour;
    for (int step = 1; step <= kSteps && ContrastRatio(c, back) < kReadable; ++step)
        c = Mix(colour, toward, static_cast<double>(step) / kSteps);
    return c;
}

BubbleColours IncomingBubble() {
    return CurrentBubbles().incoming;
}
BubbleColours OutgoingBubble() {
    return CurrentBubbles().outgoing;
}
QColor FailureTextColour() {
    return CurrentBubbles().failure;
}
QColor DividerColour() {
    return CurrentBubbles().divider;
}

int DeliveryMarkWidth(Delivery state, int height) {
    switch (state) {
        case Delivery::kNone:
            return 0;
        case Delivery::kDelivered:
            return height * 3 / 2;
        default:
            return height;
    }
}

void DrawDeliveryMark(QPainter& painter, Delivery state, const QRect& box, const QColor& colour) {
    if (state == Delivery::kNone || box.isEmpty()) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal h = box.height();
    const qreal line = std::max<qreal>(1.0, h / 9.0);
    QPen pen(colour, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF r(box);
    // A check in the square whose left edge is at x.
    const auto check = [&](qreal x) {
        const QPointF points[] = {{x + h * 0.12, r.top() + h * 0.55},
                                  {x + h * 0.38, r.top() + h * 0.80},
                                  {x + h * 0.88, r.top() + h * 0.22}};
        painter.drawPolyline(points, 3);
    };
    switch (state) {
        case Delivery::kPending: {
            const qreal d = h - line;
            const QRectF face(r.left() + line / 2, r.top() + line / 2, d, d);
            painter.drawEllipse(face);
            const QPointF c = face.center();
            painter.drawLine(c, QPointF(c.x(), face.top() + d * 0.22));
            painter.drawLine(c, QPointF(face.left() + d * 0.75, c.y()));
            break;
        }
        case Delivery::kSent:
            check(r.left());
            break;
        case Delivery::kDelivered:
            check(r.left());
            check(r.left() + h * 0.5);
            break;
        case Delivery::kFailed: {
            // Red whatever the palette: the white mark on it carries the contrast.
            const QRectF disc(r.left(), r.top(), h, h);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0xD3, 0x2F, 0x2F));
            painter.drawEllipse(disc);
            painter.setPen(
                QPen(Qt::white, std::max<qreal>(1.2, h / 7.0), Qt::SolidLine, Qt::RoundCap));
            const qreal x = disc.center().x();
            painter.drawLine(QPointF(x, disc.top() + h * 0.22), QPointF(x, disc.top() + h * 0.58));
            painter.drawPoint(QPointF(x, disc.top() + h * 0.76));
            break;
        }
        case Delivery::kNone:
            break;
    }
    painter.restore();
}

QPainterPath RoundedBox(const QRectF& r, qreal topLeft, qreal topRight, qreal bottomRight,
                        qreal bottomLeft) {
    const qreal most = std::min(r.width(), r.height()) / 2;
    const auto clamp = [most](qreal v) { return std::clamp<qreal>(v, 0, most); };
    const qreal tl = clamp(topLeft), tr = clamp(topRight), br = clamp(bottomRight),
                bl = clamp(bottomLeft);
    QPainterPath path;
    path.moveTo(r.left() + tl, r.top());
    path.lineTo(r.right() - tr, r.top());
    path.arcTo(QRectF(r.right() - 2 * tr, r.top(), 2 * tr, 2 * tr), 90, -90);
    path.lineTo(r.right(), r.bottom() - br);
    path.arcTo(QRectF(r.right() - 2 * br, r.bottom() - 2 * br, 2 * br, 2 * br), 0, -90);
    path.lineTo(r.left() + bl, r.bottom());
    path.arcTo(QRectF(r.left(), r.bottom() - 2 * bl, 2 * bl, 2 * bl), 270, -90);
    path.lineTo(r.left(), r.top() + tl);
    path.arcTo(QRectF(r.left(), r.top(), 2 * tl, 2 * tl), 180, -90);
    path.closeSubpath();
    return path;
}

int64_t DayOf(uint64_t fileTime) {
    // Monthless minutes count every day as 1440 of them: the quotient names the day.
    return MonthlessMinutes(fileTime) / (24 * 60);
}

QString DayLabel(uint64_t fileTime, uint64_t now) {
    const int64_t day = DayOf(fileTime);
    if (day == DayOf(now)) return ResText(kTextToday);
    if (now >= kDayTicks && day == DayOf(now - kDayTicks)) return ResText(kTextYesterday);
    const LocalTimeFields f = FileTimeToFields(fileTime);
    return QLocale::system().toString(QDate(f.year, f.month, f.day), QLocale::LongFormat);
}

}  // namespace zul::chat
