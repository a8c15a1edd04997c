#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <mutex>
#include <set>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/chat_page_look.h"
#include "ui/views/contact_list_page.h"
#include "ui/views/contact_list_parts.h"
#include "ui/views/view_support.h"

namespace zul {
using namespace clist;

namespace {

// The start every row of the list shares: its background and, at its left, its icon.
void DrawRowStart(QPainter& painter, const QRect& r, const QColor& background, int icon) {
    painter.fillRect(r, background);
    const int iconSize = ScaleX(16);
    const int iconX = r.x() + 2 * ((Dpi::X() + 24) / 96);
    DrawIcon(painter, icon, QRect(iconX, r.y() + (r.height() - iconSize) / 2, iconSize, iconSize));
}

}  // namespace

void ContactListPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (auto it = FirstBelow(rect.top()); it != laidOut_.end() && (*it)->Top() <= rect.bottom();
         ++it) {
        ListItem* item = *it;
        if (!item->Rect().intersects(rect)) continue;
        if (auto* contact = dynamic_cast<ContactRow*>(item))
            DrawContact(painter, *contact);
        else if (auto* header = dynamic_cast<GroupRow*>(item))
            DrawHeading(painter, *header,
                        SingleLine(header->Name()) + QString::fromStdU16String(FormatCounts(
                                                         header->total, header->offline)));
        else if (auto* room = dynamic_cast<RoomRow*>(item))
            DrawRoom(painter, *room);
        else if (item == &roomsHeading_)
            DrawHeading(painter, roomsHeading_, RoomsHeadingText(roomsHeading_));
    }
}

QString ContactListPage::RoomsHeadingText(const RoomsHeading& heading) {
    // Counted as a group is: the rooms the user is in, of those listed.
    return ResText(kTextRooms) +
           QString::fromStdU16String(FormatCounts(heading.total, heading.out));
}

void ContactListPage::DrawHeading(QPainter& painter, const ListItem& row, const QString& text) {
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    painter.fillRect(r, ItemBackground(selected, focused));
    const int level = RowLevel();
    SelectFont(painter, level, true);
    painter.setPen(ItemTextColour(selected, focused, true));
    const QRect textRect = r.adjusted(ScaleX(5), 0, -ScaleX(5), 0);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     ElideAtWord(painter.fontMetrics(), text, textRect.width()));
}

// A room's row, laid out as a contact's: its icon, its name and, under it in the two-line
// views or beside it in the list, where the user stands in it.
void ContactListPage::DrawRoom(QPainter& painter, RoomRow& row) {
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const int level = RowLevel();
    const int view = std::clamp<int32_t>(Options().ClistViewType, 0, 3);
    DrawRowStart(painter, r, ItemBackground(selected, focused), rowicon::kRoom);
    const int textLeft = r.x() + ScaleX(22);
    const int textRight = r.x() + r.width() - ScaleX(2);
    const int textTop = r.y() + ScaleY(5);
    const int areaHeight = std::max(0, r.height() - 2 * ScaleY(5));
    const int textWidth = std::max(0, textRight - textLeft);
    const bool twoLines = TwoLineLayout(view);

    SelectFont(painter, level, false);
    painter.setPen(ItemTextColour(selected, focused, true));
    const QRect nameRect(textLeft, textTop, textWidth, twoLines ? areaHeight / 2 : areaHeight);
    const QString name =
        ElideAtWord(painter.fontMetrics(), SingleLine(row.Room()->Name()), textWidth);
    painter.drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft, name);
    if (view == kLayoutIcons) return;

    QRect lineRect;
    if (twoLines) {
        lineRect =
            QRect(textLeft, textTop + areaHeight / 2, textWidth, areaHeight - areaHeight / 2);
    } else {
        const int x = textLeft + painter.fontMetrics().horizontalAdvance(name) + ScaleX(5);
        lineRect = QRect(x, nameRect.y(), std::max(0, textRight - x), nameRect.height());
    }
    painter.setPen(selected ? ItemTextColour(true, focused, true) : GreyTextColour());
    painter.drawText(lineRect, Qt::AlignVCenter | Qt::AlignLeft,
                     ElideAtWord(painter.fontMetrics(), row.line, lineRect.width()));
}

void ContactListPage::DrawAvatar(QPainter& painter, ContactRow& row, int& textRight) {
    CContact& contact = row.Contact();
    const uint32_t version = contact.PictureVersion();
    if (!row.avatarTried || row.avatarVersion != version) {
        row.avatarTried = true;
        row.avatarVersion = version;
        row.avatar = QImage();
        const std::vector<uint8_t> bytes = contact.Picture();
        QImage decoded = LoadImage(bytes.data(), bytes.size());
        if (!decoded.isNull()) {
            // Kept at the size it is drawn, so that a long list holds little.
            const QRect fitted = FitImage(decoded.size(), row.avatarBox);
            if (!fitted.isEmpty())
                row.avatar =
                    decoded.scaled(fitted.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        std::erase(avatarOrder_, &row);
        if (!row.avatar.isNull()) {
            avatarOrder_.push_back(&row);
            if (avatarOrder_.size() > kAvatarCacheLimit) {
                ContactRow* oldest = avatarOrder_.front();
                avatarOrder_.erase(avatarOrder_.begin());
                oldest->avatar = QImage();
                oldest->avatarTried = false;
            }
        }
    }
    if (row.avatar.isNull()) return;
    const QRect fitted = FitImage(row.avatar.size(), row.avatarBox);
    DrawImage(painter, row.avatar, fitted);
    textRight = std::min(textRight, fitted.left() - ScaleX(2));
}

namespace {

// The newest message the history holds in memory, as the detailed view shows it under the
// name: its first line, its time and, for ours, its sending state.
struct LastMessage {
    bool found = false;
    QString line;
    QString time;
    chat::Delivery state = chat::Delivery::kNone;
};

LastMessage LastMessageOf(CContact& contact) {
    // More than a row can show is never copied.
    constexpr size_t kMostChars = 256;
    const EventPtr newest = contact.History().NewestMessage();
    if (newest == nullptr) return {};
    const CHistoryEvent& event = *newest;
    const std::u16string& text = event.Message();
    size_t begin = 0;
    while (begin < text.size() && (text[begin] == u'\n' || text[begin] == u'\r' ||
                                   text[begin] == u' ' || text[begin] == u'\t'))
        ++begin;
    size_t end = text.find_first_of(u"\r\n\u2028\u2029", begin);
    end = std::min({end, text.size(), begin + kMostChars});
    LastMessage last;
    last.found = true;
    last.line = SingleLine(text.substr(begin, end - begin));
    last.time = QString::fromStdU16String(event.TimeText(false));
    last.state = chat::DeliveryOf(event);
    return last;
}

}  // namespace

void ContactListPage::DrawContact(QPainter& painter, ContactRow& row) {
    CContact& contact = row.Contact();
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const int level = RowLevel();
    const int view = std::clamp<int32_t>(Options().ClistViewType, 0, 3);

    // 1. Background and the row icon, and the text area beside it.
    DrawRowStart(painter, r, ItemBackground(selected, focused), ContactRowIcon(contact, blinkOn_));
    int textLeft = r.x() + ScaleX(22);
    int textRight = r.x() + r.width();
    const int textTop = r.y() + ScaleY(5);
    const int textBottom = r.y() + r.height() - ScaleY(5);

    // 3. Awaiting authorisation.
    const int iconSize = ScaleX(16);
    if (contact.AwaitingAuth() != 0) {
        const int x = r.x() + r.width() - ScaleX(20);
        DrawIcon(painter, rowicon::kAwaitingAuth,
                 QRect(x, r.y() + (r.height() - iconSize) / 2, iconSize, iconSize));
        textRight -= ScaleX(22);
    }

    // 4. The avatar.
    if (Options().ClistShowAvatars != 0 && !row.avatarBox.isEmpty())
        DrawAvatar(painter, row, textRight);

    // 5. The open-chat mark in the top-left corner.
    if (ChatOpen(&contact)) {
        const int a = ScaleX(1);
        const int b = ScaleY(1);
        painter.fillRect(QRect(r.x() + a, r.y() + b, ScaleX(5) - a + 1, ScaleY(5) - b + 1),
                         selected ? WindowColour() : HighlightColour());
    }

    // 6. The unread count over the icon's lower right corner: a pill at least 16 px tall, a
    // count too wide for the room beside the icon pushing the text to the right.
    const int32_t unread = contact.History().UnreadCount();
    QRect badge;
    QFont badgeFont;
    QString count;
    if (unread > 0) {
        count = unread > 99 ? QStringLiteral("99+") : QString::number(unread);
        badgeFont = UiFont(std::min(level + 1, 4), true);
        const QFontMetrics fm(badgeFont);
        const int h = std::max(ScaleY(16), fm.height());
        const int w = std::max(fm.horizontalAdvance(count) + 2 * ScaleX(4), h);
        const int left = std::max(r.x() + ScaleX(1), textLeft - ScaleX(2) - w);
        badge = QRect(left, std::max(r.y(), r.y() + r.height() - ScaleY(2) - h), w, h);
        textLeft = std::max(textLeft, badge.x() + w + ScaleX(3));
    }

    // 7. The name; in the detailed view the newest message's time at the line's end.
    const bool ignored = contact.Ignored() != 0;
    const bool invisible = contact.Invisible() != 0;
    const bool visible = contact.Visible() != 0;
    const bool twoLines = TwoLineLayout(view);
    const int areaHeight = std::max(0, textBottom - textTop);
    const LastMessage last = view == kLayoutDetails ? LastMessageOf(contact) : LastMessage{};
    const QColor secondary = selected ? ItemTextColour(true, focused, true) : GreyTextColour();
    int nameRight = textRight;
    if (last.found) {
        SelectFont(painter, level, false);
        const QString time =
            ElideAtWord(painter.fontMetrics(), last.time, std::max(0, (textRight - textLeft) / 2));
        const int timeWidth = painter.fontMetrics().horizontalAdvance(time);
        painter.setPen(secondary);
        painter.drawText(QRect(textRight - timeWidth, textTop, timeWidth, areaHeight / 2),
                         Qt::AlignVCenter | Qt::AlignRight, time);
        nameRight = textRight - timeWidth - ScaleX(5);
    }
    SelectFont(painter, level, !ignored && !invisible && visible, !ignored && invisible, ignored);
    painter.setPen(ItemTextColour(selected, focused, contact.OnServer()));
    const int textWidth = std::max(0, textRight - textLeft);
    const int nameWidth = std::max(0, nameRight - textLeft);
    const QRect nameRect(textLeft, textTop, nameWidth, twoLines ? areaHeight / 2 : areaHeight);
    const QString name =
        ElideAtWord(painter.fontMetrics(), SingleLine(contact.DisplayName()), nameWidth);
    painter.drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft, name);

    // 8. The status line: under the name, or beside it where the line under the name shows
    // the newest message.
    if (view != kLayoutIcons) {
        QRect lineRect;
        if (twoLines && !last.found) {
            lineRect =
                QRect(textLeft, textTop + areaHeight / 2, textWidth, areaHeight - areaHeight / 2);
        } else {
            const int x = textLeft + painter.fontMetrics().horizontalAdvance(name) + ScaleX(5);
            lineRect = QRect(x, nameRect.y(), std::max(0, nameRight - x), nameRect.height());
        }
        SelectFont(painter, level, false);
        painter.setPen(secondary);
        painter.drawText(
            lineRect, Qt::AlignVCenter | Qt::AlignLeft,
            ElideAtWord(painter.fontMetrics(), SingleLine(contact.StatusLine()), lineRect.width()));
    }

    // 9. The newest message's first line, after the mark of its sending state when it is ours.
    if (last.found) {
        const QRect lineRect(textLeft, textTop + areaHeight / 2, textWidth,
                             areaHeight - areaHeight / 2);
        SelectFont(painter, level, false);
        int x = lineRect.x();
        if (last.state != chat::Delivery::kNone) {
            const int mark = std::max(ScaleY(8), painter.fontMetrics().ascent() - ScaleY(1));
            const int markWidth = chat::DeliveryMarkWidth(last.state, mark);
            chat::DrawDeliveryMark(
                painter, last.state,
                QRect(x, lineRect.y() + (lineRect.height() - mark) / 2, markWidth, mark),
                secondary);
            x += markWidth + ScaleX(4);
        }
        painter.setPen(unread > 0 && !selected ? WindowTextColour() : secondary);
        const int room = std::max(0, lineRect.x() + lineRect.width() - x);
        painter.drawText(QRect(x, lineRect.y(), room, lineRect.height()),
                         Qt::AlignVCenter | Qt::AlignLeft,
                         ElideAtWord(painter.fontMetrics(), last.line, room));
    }

    // 10. The unread badge, drawn last over the icon; its number at 4.5:1 on its fill.
    if (!badge.isEmpty()) {
        const QColor fill = selected ? WindowColour() : HighlightColour();
        QColor ink = selected ? WindowTextColour() : HighlightTextColour();
        if (ContrastRatio(ink, fill) < 4.5)
            ink = ContrastRatio(Qt::black, fill) >= ContrastRatio(Qt::white, fill)
                      ? QColor(Qt::black)
                      : QColor(Qt::white);
        // Rounded short of a full half-circle, so that its top and bottom edges are whole
        // pixels.
        const qreal radius = badge.height() * 0.4;
        QPainterPath path;
        path.addRoundedRect(QRectF(badge), radius, radius);
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(path, fill);
        painter.restore();
        painter.setFont(badgeFont);
        painter.setPen(ink);
        painter.drawText(badge, Qt::AlignCenter, count);
    }
}

}  // namespace zul
