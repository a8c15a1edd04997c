#include "ui/views/room_page.h"

#include <QMenu>
#include <QPainter>
#include <algorithm>

#include "accounts/accounts.h"
#include "platform/local_time.h"
#include "platform/resources.h"
#include "storage/contacts.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

constexpr int kTextJoined = 1113;
constexpr int kTextLeft = 1114;
constexpr int kTextInvite = 1115;
constexpr int kTextLeave = 1116;
constexpr int kTextInviteWhom = 1124;
constexpr int kTextMembers = 1125;
constexpr int kTextOneMember = 1197;
constexpr int kTextJoining = 1126;
constexpr int kTextNotIn = 1127;
constexpr int kTextLevel = 3;
// Members named at the top of a room at most; the rest are counted.
constexpr size_t kMembersNamed = 200;

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

QString WithName(int id, const std::u16string& name) {
    return ResText(id).replace(QStringLiteral("%s"), SingleLine(name));
}

QString TimeOf(uint64_t fileTime) {
    const LocalTimeFields f = FileTimeToFields(fileTime);
    return QStringLiteral("%1:%2")
        .arg(f.hour, 2, 10, QLatin1Char('0'))
        .arg(f.minute, 2, 10, QLatin1Char('0'));
}

}  // namespace

RoomPage::RoomPage(CAccount& account, RoomPtr room) : account_(account), room_(std::move(room)) {
    UpdateCaption();
}

QString MemberCountText(size_t count) {
    return ResText(count == 1 ? kTextOneMember : kTextMembers)
        .replace(QStringLiteral("%d"), QString::number(count));
}

QString RoomStateText(const CRoom& room) {
    switch (room.State()) {
        case RoomState::kIn:
            return MemberCountText(room.MemberCount());
        case RoomState::kJoining:
            return ResText(kTextJoining);
        case RoomState::kFailed:
            return SingleLine(room.Problem());
        case RoomState::kOut:
            break;
    }
    return ResText(kTextNotIn);
}

bool RoomListed(const CRoom& room) {
    return room.Kept() || room.State() != RoomState::kOut;
}

std::vector<CAccount*> EnabledAccounts(CAccounts& accounts) {
    std::vector<CAccount*> out = accounts.Snapshot();
    std::erase_if(out, [](const CAccount* account) { return !account->Enabled(); });
    return out;
}

uint64_t RoomsVersion(CAccounts& accounts) {
    uint64_t sum = 0;
    for (CAccount* account : EnabledAccounts(accounts)) {
        CRoomList& rooms = account->Rooms();
        sum = (sum * 31 + static_cast<uint32_t>(account->ID())) * 31 + rooms.Version();
        for (const RoomPtr& room : rooms.All()) sum = sum * 31 + room->Version();
    }
    return sum;
}

void RoomPage::UpdateCaption() {
    Caption().SetTitle(SingleLine(room_->Name()));
    Caption().SetSubtitle(
        SingleLine(account_.Description()) + QStringLiteral(" \u00B7 ") + RoomStateText(*room_), 4,
        false);
}

void RoomPage::Collect() {
    std::optional<std::vector<RoomEvent>> events = room_->TryRecent();
    if (!events) return;  // the profile is busy: the next tick reads them
    loaded_ = true;
    version_ = room_->Version();
    lines_.clear();
    grey_.clear();
    const std::vector<std::u16string> members = room_->Members();
    if (!members.empty()) {
        QStringList names;
        for (size_t i = 0; i < members.size() && i < kMembersNamed; ++i)
            names << SingleLine(members[i]);
        QString line = MemberCountText(members.size()) + QStringLiteral(": ") +
                       names.join(QStringLiteral(", "));
        if (members.size() > kMembersNamed) line += QStringLiteral(", \u2026");
        lines_.push_back(line);
        grey_.push_back(true);
    }
    for (const RoomEvent& e : *events) {
        QString line = TimeOf(e.time) + QStringLiteral("  ");
        switch (e.kind) {
            case RoomEvent::kIncoming:
            case RoomEvent::kOutgoing:
                line += SingleLine(e.who) + QStringLiteral(": ") + Q(e.text);
                break;
            case RoomEvent::kJoined:
                line += WithName(kTextJoined, e.who);
                break;
            case RoomEvent::kLeft:
                line += WithName(kTextLeft, e.who);
                break;
            case RoomEvent::kNotice:
                line += Q(e.text);
                break;
        }
        lines_.push_back(line);
        grey_.push_back(e.kind != RoomEvent::kIncoming && e.kind != RoomEvent::kOutgoing);
    }
    UpdateCaption();
}

bool RoomPage::ChangedSinceLastPaint() {
    const bool marked = ViewPage::ChangedSinceLastPaint();
    if (!marked && loaded_ && room_->Version() == version_) return false;
    Collect();
    Relayout();
    ScrollToEnd(false);
    return true;
}

void RoomPage::LayoutContent(int width) {
    if (!loaded_) Collect();
    const int margin = ScaleX(10);
    const int textWidth = std::max(1, width - 2 * margin);
    rects_.clear();
    int y = CaptionHeight() + ScaleY(4);
    for (const QString& line : lines_) {
        const int height = MeasureWrapped(line, kTextLevel, textWidth).height();
        rects_.emplace_back(margin, y, textWidth, height);
        y += height + ScaleY(4);
    }
    contentHeight_ = y;
}

void RoomPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (size_t i = 0; i < lines_.size() && i < rects_.size(); ++i) {
        if (!rects_[i].intersects(rect)) continue;
        SelectFont(painter, kTextLevel, false, grey_[i]);
        painter.setPen(grey_[i] ? GreyTextColour() : ItemTextColour(false, false, true));
        painter.drawText(rects_[i], Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, lines_[i]);
    }
}

bool RoomPage::EditorNotification(int code, const QString& text) {
    if (code != 1 || text.trimmed().isEmpty()) return false;
    account_.RequestRoom(CAccount::RoomCommand::Say(room_->Id(), text.toStdU16String()));
    return true;
}

void RoomPage::FillMenuPopup(QMenu& menu, QAction* before) {
    InsertMenuCommand(menu, before, ResText(kTextInvite), roomcmd::kInvite)
        ->setEnabled(room_->State() == RoomState::kIn);
    InsertMenuCommand(menu, before, ResText(kTextLeave), roomcmd::kLeave);
}

void RoomPage::Command(int id) {
    if (!IsActive()) return;  // every page hears every command
    if (id == roomcmd::kInvite) {
        const std::optional<QString> whom = AskText(Host(), kTextInvite, kTextInviteWhom, {});
        if (whom && !whom->trimmed().isEmpty()) {
            account_.RequestRoom(CAccount::RoomCommand::Invite(
                room_->Id(), whom->trimmed().toStdU16String(), std::u16string()));
        }
    } else if (id == roomcmd::kLeave) {
        account_.RequestRoom(CAccount::RoomCommand::Leave(room_->Id()));
        GoBack();
    }
}

void RoomPage::LanguageChanged() {
    Collect();
    Relayout();
}

bool RoomPage::GoBack() {
    if (Host() == nullptr) return false;
    Host()->RemovePage(this, MainWindow::kSlideThenRemove);
    return true;
}

}  // namespace zul
