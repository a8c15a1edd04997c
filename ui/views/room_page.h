// The pages of chat rooms.
//
// RoomsPage lists the rooms of every enabled account under the heading "Rooms" (those the user
// keeps and those open now) and the invitations waiting for an answer; "Join room…" asks for
// a name (and the account, when there are several). A room's row opens its RoomPage; an
// invitation's row asks whether to accept it and says who asks, and that they are not in the
// contact list when they are not.
//
// The contact list shows the same rooms under a heading of its own and opens their pages
// through PageOf, so that a room has one page however it is reached.
//
// RoomPage is a room like a chat: its members at the top, then what was said and who came and
// went, newest last, over the shared message editor. Its menu invites someone or leaves.
//
// Both read the model (storage/rooms.h) on the window thread and never wait for the profile or
// a session: what the user asks goes to the account as a room command.
#pragma once

#include <QString>
#include <map>
#include <memory>
#include <vector>

#include "accounts/account.h"
#include "storage/rooms.h"
#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"

namespace zul {

class CAccounts;

namespace roomcmd {
constexpr int kJoin = 50200;
constexpr int kInvite = 50201;
constexpr int kLeave = 50202;
// The contact list's entries: the rooms page, and the same with "Join room…" asked at once.
constexpr int kOpenRooms = 50203;
constexpr int kJoinFromList = 50204;
}  // namespace roomcmd

// "n members", or the singular for one.
QString MemberCountText(size_t count);
// Where the user stands in a room, as its lists and its page say it: "3 members",
// "Joining…", "Not in the room", or why it could not be opened.
QString RoomStateText(const CRoom& room);

// The rooms the lists show: those the user keeps and those open or opening now.
bool RoomListed(const CRoom& room);
// The enabled accounts, in the accounts' order. The pointers hold on the window thread until
// the accounts change; hold no lock afterwards.
std::vector<CAccount*> EnabledAccounts(CAccounts& accounts);
// A number that changes with every change of a room, of an account's rooms, or of which
// accounts are enabled: comparing it is how a page notices that its rooms changed.
uint64_t RoomsVersion(CAccounts& accounts);

class RoomPage : public ViewPage {
  public:
    RoomPage(CAccount& account, RoomPtr room);

    const RoomPtr& Room() const { return room_; }
    // The lines as shown now (members first), for tests and screen readers.
    const std::vector<QString>& Lines() const { return lines_; }

    bool ChangedSinceLastPaint() override;
    int ContentHeight() override { return contentHeight_; }
    void LayoutContent(int width) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    bool UsesEditor() override { return true; }
    bool EditorNotification(int code, const QString& text) override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void Command(int id) override;
    void LanguageChanged() override;
    bool GoBack() override;

  private:
    void Collect();
    void UpdateCaption();

    CAccount& account_;
    RoomPtr room_;
    uint32_t version_ = ~0u;
    bool loaded_ = false;
    std::vector<QString> lines_;
    std::vector<bool> grey_;  // notices and comings and goings
    std::vector<QRect> rects_;
    int contentHeight_ = 0;
};

class RoomsPage : public ViewPage {
  public:
    explicit RoomsPage(CAccounts& accounts);
    ~RoomsPage() override;

    class Row : public ListItem {
      public:
        explicit Row(RoomsPage& page) : ListItem(kOpensPage), page_(page) {}
        ViewPage* Activate(int mode) override;

        CAccount* account = nullptr;
        RoomPtr room;               // a room's row
        RoomInvitation invitation;  // else an invitation's
        QString text;

      private:
        RoomsPage& page_;
    };

    // The rows as listed (rooms, then invitations); for tests.
    const std::vector<std::unique_ptr<Row>>& Rows() const { return rows_; }
    // The page of a room, made on first use.
    RoomPage* PageOf(CAccount& account, const RoomPtr& room);
    // Drops the pages of rooms whose account is no longer among `accounts`.
    void KeepPagesOf(const std::vector<CAccount*>& accounts);
    // "Join room…": the account (asked when several are enabled) and the name.
    void AskToJoin();
    // What a row does: a room's page to open, or the answer to an invitation (nullptr).
    ViewPage* Choose(Row& row);

    bool ChangedSinceLastPaint() override;
    int ContentHeight() override { return contentHeight_; }
    void LayoutContent(int width) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    ListItem* ItemAt(int x, int y) override;
    void OnTap(int x, int y) override;
    QString EmptyText() override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void Command(int id) override;
    void LanguageChanged() override;
    bool GoBack() override;
    std::vector<ListItem*> AccessibleItems() override;
    QString AccessibleText(const ListItem& item) override;

  private:
    void Collect();

    CAccounts& accounts_;
    uint64_t versions_ = ~0ull;
    std::vector<std::unique_ptr<Row>> rows_;
    QRect headerRect_;
    int contentHeight_ = 0;
    std::map<const CRoom*, std::unique_ptr<RoomPage>> pages_;
};

}  // namespace zul
