// How the chat page draws a conversation: the bubble colours taken from the palette, the marks
// of an outgoing message's sending state, and the label of a day.
#pragma once

#include <QColor>
#include <QPainterPath>
#include <QRect>
#include <QString>
#include <cstdint>

namespace zul {

class CHistoryEvent;

namespace chat {

// Where an outgoing message stands; an incoming message or a status change has no state.
enum class Delivery { kNone, kPending, kSent, kDelivered, kFailed };
Delivery DeliveryOf(const CHistoryEvent& event);

// The colours of a bubble: its fill, its text and its time, both at least 4.5:1 on the fill.
struct BubbleColours {
    QColor fill;
    QColor text;
    QColor secondary;
};
// Incoming bubbles are a shade of the window toward its text, outgoing ones a tint of the
// highlight; both follow the palette (light or dark). Kept while the palette stays.
BubbleColours IncomingBubble();
BubbleColours OutgoingBubble();
// Why a message failed, on the window: a red that reads at 4.5:1 there.
QColor FailureTextColour();
// Lines that only divide (the day's line, a long pause): quieter than any text.
QColor DividerColour();

// `colour`, moved toward `toward` until it reads at 4.5:1 on `back` (or reached it).
QColor ReadableOn(const QColor& colour, const QColor& toward, const QColor& back);

// The width of a state's mark for a height: two checks are wider than one.
int DeliveryMarkWidth(Delivery state, int height);
// Draws the mark of a state into the box: a clock, one check, two checks, or a red disc with
// an exclamation mark (its own colours); nothing for kNone.
void DrawDeliveryMark(QPainter& painter, Delivery state, const QRect& box, const QColor& colour);

// A rounded rectangle whose corners may differ: the joined corners of a run of bubbles are
// tighter.
QPainterPath RoundedBox(const QRectF& r, qreal topLeft, qreal topRight, qreal bottomRight,
                        qreal bottomLeft);

// A calendar day as a number (equal for two times of one local day).
int64_t DayOf(uint64_t fileTime);
// "Today", "Yesterday" or the date in the user's locale, of a local file time seen at `now`.
QString DayLabel(uint64_t fileTime, uint64_t now);

}  // namespace chat
}  // namespace zul
