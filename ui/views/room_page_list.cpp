#include <QMenu>
#include <QPainter>
#include <algorithm>

#include "accounts/accounts.h"
#include "storage/contacts.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/views/room_page.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

constexpr int kTextJoinRoom = 1117;
constexpr int kTextRoomName = 1118;
constexpr int kTextRooms = 1119;
constexpr int kTextInvitation = 1120;
constexpr int kTextStranger = 1121;
constexpr int kTextAccept = 1122;
constexpr int kTextDecline = 1123;
constexpr int kTextNoRooms = 1128;
constexpr int kTextAccount = 1129;
constexpr int kRowLevel = 3;

QString RoomText(const CRoom& room) {
    return SingleLine(room.Name()) + QStringLiteral(" \u00B7 ") + RoomStateText(room);
}

QString InvitationText(const RoomInvitation& invitation) {
    QString text = ResText(kTextInvitation);
    text.replace(text.indexOf(QStringLiteral("%s")), 2, SingleLine(invitation.from));
    const int second = text.indexOf(QStringLiteral("%s"));
    if (second >= 0) text.replace(second, 2, SingleLine(invitation.roomName));
    if (invitation.stranger)
        text += QStringLiteral(" (") + ResText(kTextStranger) + QStringLiteral(")");
    if (!invitation.problem.empty()) text += QStringLiteral(": ") + SingleLine(invitation.problem);
    return text;
}

}  // namespace

ViewPage* RoomsPage::Row::Activate(int) {
    return page_.Choose(*this);
}

RoomsPage::RoomsPage(CAccounts& accounts) : accounts_(accounts) {
    Caption().SetTitle(ResText(kTextRooms));
}

RoomsPage::~RoomsPage() = default;

void RoomsPage::Collect() {
    versions_ = RoomsVersion(accounts_);
    FocusItem(nullptr);
    rows_.clear();
    const std::vector<CAccount*> accounts = EnabledAccounts(accounts_);
    for (CAccount* account : accounts) {
        for (const RoomPtr& room : account->Rooms().All()) {
            if (!RoomListed(*room)) continue;
            auto row = std::make_unique<Row>(*this);
            row->account = account;
            row->room = room;
            row->text = RoomText(*room);
            rows_.push_back(std::move(row));
        }
    }
    for (CAccount* account : accounts) {
        for (const RoomInvitation& invitation : account->Rooms().Invitations()) {
            auto row = std::make_unique<Row>(*this);
            row->account = account;
            row->invitation = invitation;
            row->text = InvitationText(invitation);
            rows_.push_back(std::move(row));
        }
    }
    KeepPagesOf(accounts);
}

void RoomsPage::KeepPagesOf(const std::vector<CAccount*>& accounts) {
    // The pages of accounts that went away go with them.
    for (auto it = pages_.begin(); it != pages_.end();) {
        const int32_t owner = it->first->AccountId();
        const bool present = std::any_of(accounts.begin(), accounts.end(),
                                         [owner](CAccount* a) { return a->ID() == owner; });
        it = present ? std::next(it) : pages_.erase(it);
    }
}

RoomPage* RoomsPage::PageOf(CAccount& account, const RoomPtr& room) {
    std::unique_ptr<RoomPage>& page = pages_[room.get()];
    if (!page) page = std::make_unique<RoomPage>(account, room);
    return page.get();
}

ViewPage* RoomsPage::Choose(Row& row) {
    if (row.room) return PageOf(*row.account, row.room);
    const RoomInvitation invitation = row.invitation;
    CAccount* account = row.account;
    if (!invitation.problem.empty()) {
        account->RequestRoom(CAccount::RoomCommand::Answer(invitation.id, false));
        return nullptr;
    }
    const std::optional<int> answer =
        AskChoice(Host(), kTextRooms, kTextRooms, {ResText(kTextAccept), ResText(kTextDecline)});
    if (answer) account->RequestRoom(CAccount::RoomCommand::Answer(invitation.id, *answer == 0));
    return nullptr;
}

void RoomsPage::AskToJoin() {
    const std::vector<CAccount*> accounts = EnabledAccounts(accounts_);
    if (accounts.empty()) return;
    CAccount* account = accounts.front();
    if (accounts.size() > 1) {
        QStringList names;
        for (CAccount* a : accounts) names << SingleLine(a->Description());
        const std::optional<int> chosen = AskChoice(Host(), kTextJoinRoom, kTextAccount, names);
        if (!chosen || *chosen < 0 || *chosen >= static_cast<int>(accounts.size())) return;
        account = accounts[*chosen];
    }
    const std::optional<QString> name = AskText(Host(), kTextJoinRoom, kTextRoomName, {});
    if (!name) return;
    const std::u16string trimmed = name->simplified().toStdU16String();
    if (trimmed.empty() || trimmed.size() > CRoomList::kMaxNameLength) return;
    account->RequestRoom(CAccount::RoomCommand::Join(trimmed));
    MarkChanged();
}

bool RoomsPage::ChangedSinceLastPaint() {
    const bool marked = ViewPage::ChangedSinceLastPaint();
    if (!marked && RoomsVersion(accounts_) == versions_) return false;
    Collect();
    Relayout();
    return true;
}

void RoomsPage::LayoutContent(int width) {
    if (versions_ == ~0ull) Collect();
    const int rowHeight = LineHeight(kRowLevel) + ScaleY(6);
    int y = CaptionHeight();
    headerRect_ = QRect();
    if (!rows_.empty()) {
        headerRect_ = QRect(0, y, width, LineHeight(kRowLevel));
        y += headerRect_.height();
    }
    for (auto& row : rows_) {
        row->SetRect(QRect(0, y, width, rowHeight));
        y += rowHeight;
    }
    contentHeight_ = rows_.empty() ? 0 : y;
}

void RoomsPage::DrawRect(QPainter& painter, const QRect& rect) {
    const bool focused = HostHasFocus();
    const int margin = ScaleX(10);
    if (!headerRect_.isEmpty() && headerRect_.intersects(rect)) {
        painter.fillRect(headerRect_, ItemBackground(false, focused));
        SelectFont(painter, kRowLevel, true);
        painter.setPen(ItemTextColour(false, focused, true));
        painter.drawText(headerRect_.adjusted(margin, 0, -margin, 0),
                         Qt::AlignVCenter | Qt::AlignLeft, ResText(kTextRooms));
    }
    for (const auto& row : rows_) {
        const QRect r = row->Rect();
        if (!r.intersects(rect)) continue;
        const bool selected = FocusedItem() == row.get();
        painter.fillRect(r, ItemBackground(selected, focused));
        SelectFont(painter, kRowLevel, false, !row->room);
        painter.setPen(ItemTextColour(selected, focused, true));
        const QRect text = r.adjusted(margin, 0, -margin, 0);
        painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                         ElideAtWord(painter.fontMetrics(), row->text, text.width()));
    }
}

ListItem* RoomsPage::ItemAt(int x, int y) {
    for (const auto& row : rows_)
        if (row->Rect().contains(x, y)) return row.get();
    return nullptr;
}

void RoomsPage::OnTap(int x, int y) {
    // A tap opens the room, or answers the invitation, at once.
    ListItem* row = ItemAt(x, y);
    if (row == nullptr) {
        ViewPage::OnTap(x, y);
        return;
    }
    FocusItem(row);
    ActivateFocused(ListItem::kByPointer);
}

QString RoomsPage::EmptyText() {
    return ResText(kTextNoRooms);
}

void RoomsPage::FillMenuPopup(QMenu& menu, QAction* before) {
    InsertMenuCommand(menu, before, ResText(kTextJoinRoom), roomcmd::kJoin);
}

void RoomsPage::Command(int id) {
    if (!IsActive()) return;  // every page hears every command
    if (id == roomcmd::kJoin) AskToJoin();
}

void RoomsPage::LanguageChanged() {
    Caption().SetTitle(ResText(kTextRooms));
    Collect();
    Relayout();
}

bool RoomsPage::GoBack() {
    if (Host() == nullptr) return false;
    Host()->RemovePage(this, MainWindow::kSlideThenRemove);
    return true;
}

std::vector<ListItem*> RoomsPage::AccessibleItems() {
    std::vector<ListItem*> items;
    for (const auto& row : rows_) items.push_back(row.get());
    return items;
}

QString RoomsPage::AccessibleText(const ListItem& item) {
    return static_cast<const Row&>(item).text;
}

}  // namespace zul
