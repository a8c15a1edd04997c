#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
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
#include "ui/views/contact_list_page.h"
#include "ui/views/contact_list_parts.h"
#include "ui/views/view_support.h"

namespace zul {
using namespace clist;

void ContactListPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (auto it = FirstBelow(rect.top()); it != laidOut_.end() && (*it)->Top() <= rect.bottom();
         ++it) {
        if (!(*it)->Rect().intersects(rect)) continue;
        if ((*it)->Kind() == ListItem::kTogglesInPlace)
            DrawHeader(painter, *static_cast<GroupRow*>(*it));
        else
            DrawContact(painter, *static_cast<ContactRow*>(*it));
    }
}

void ContactListPage::DrawHeader(QPainter& painter, GroupRow& row) {
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    painter.fillRect(r, ItemBackground(selected, focused));
    const int level = RowLevel();
    SelectFont(painter, level, true);
    painter.setPen(ItemTextColour(selected, focused, true));
    const QString text =
        SingleLine(row.Name()) + QString::fromStdU16String(FormatCounts(row.total, row.offline));
    const QRect textRect = r.adjusted(ScaleX(5), 0, -ScaleX(5), 0);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     ElideAtWord(painter.fontMetrics(), text, textRect.width()));
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

void ContactListPage::DrawContact(QPainter& painter, ContactRow& row) {
    CContact& contact = row.Contact();
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const int level = RowLevel();
    const int view = std::clamp<int32_t>(Options().ClistViewType, 0, 3);

    // 1. Background.
    painter.fillRect(r, ItemBackground(selected, focused));

    // 2. The row icon, and the text area beside it.
    const int iconSize = ScaleX(16);
    const int iconX = r.x() + 2 * ((Dpi::X() + 24) / 96);
    DrawIcon(painter, ContactRowIcon(contact, blinkOn_),
             QRect(iconX, r.y() + (r.height() - iconSize) / 2, iconSize, iconSize));
    const int textLeft = r.x() + ScaleX(22);
    int textRight = r.x() + r.width();
    const int textTop = r.y() + ScaleY(5);
    const int textBottom = r.y() + r.height() - ScaleY(5);

    // 3. Awaiting authorisation.
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

    // 6. The name.
    const bool ignored = contact.Ignored() != 0;
    const bool invisible = contact.Invisible() != 0;
    const bool visible = contact.Visible() != 0;
    SelectFont(painter, level, !ignored && !invisible && visible, !ignored && invisible, ignored);
    painter.setPen(ItemTextColour(selected, focused, contact.OnServer()));
    const int textWidth = std::max(0, textRight - textLeft);
    const bool twoLines = TwoLineLayout(view);
    const int areaHeight = std::max(0, textBottom - textTop);
    const QRect nameRect(textLeft, textTop, textWidth, twoLines ? areaHeight / 2 : areaHeight);
    const QString name =
        ElideAtWord(painter.fontMetrics(), SingleLine(contact.DisplayName()), textWidth);
    painter.drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft, name);

    // 7. The status line.
    if (view != kLayoutIcons) {
        QRect lineRect;
        if (twoLines) {
            lineRect =
                QRect(textLeft, textTop + areaHeight / 2, textWidth, areaHeight - areaHeight / 2);
        } else {
            const int nameWidth = painter.fontMetrics().horizontalAdvance(name);
            const int x = textLeft + nameWidth + ScaleX(5);
            lineRect = QRect(x, textTop, std::max(0, textRight - x), areaHeight);
        }
        SelectFont(painter, level, false);
        painter.setPen(selected ? ItemTextColour(true, focused, true) : GreyTextColour());
        painter.drawText(
            lineRect, Qt::AlignVCenter | Qt::AlignLeft,
            ElideAtWord(painter.fontMetrics(), SingleLine(contact.StatusLine()), lineRect.width()));
    }

    // 8. The unread badge over the icon's lower right corner.
    const int32_t unread = contact.History().UnreadCount();
    if (unread > 0) {
        SelectFont(painter, 5, true);
        const QString count = QString::number(unread);
        const QFontMetrics fm = painter.fontMetrics();
        const int w = std::max(fm.horizontalAdvance(count) + 2 * ScaleX(2), fm.height());
        const int h = fm.height();
        const QRect badge(textLeft - ScaleX(3) - w, r.y() + r.height() - ScaleY(3) - h, w, h);
        QPainterPath path;
        path.addRoundedRect(badge, h / 2.0, h / 2.0);
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(path, selected ? WindowColour() : HighlightColour());
        painter.restore();
        painter.setPen(selected ? WindowTextColour() : HighlightTextColour());
        painter.drawText(badge, Qt::AlignCenter, count);
    }
}

}  // namespace zul
