// ContactListPage: the contacts page. It lists the contacts of all accounts, optionally under
// the headers of their (virtual) groups, in one of four layouts and five sizes, sorted by one
// of three keys; a tap opens the contact's chat page. Text typed on the page finds contacts by
// nickname or login. After the contacts, under a heading of their own, come the chat rooms the
// user keeps or is in; a room's row opens its page.
//
// The model reaches the page through IContactsView from any thread; those calls only leave
// marks. The page applies them on the user-interface thread at its next tick (Sync), so a
// burst of presence changes costs one rebuild. While the user is about to pick a row (the
// pointer over the rows, a button down, or a press less than a second ago) the rows keep their
// order: what would move, add or remove rows waits, and only rows redraw in place.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "storage/contacts.h"
#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"
#include "ui/views/chat_pages.h"
#include "ui/views/contact_order.h"
#include "ui/views/details_page.h"
#include "ui/views/room_page.h"
#include "ui/views/search_page.h"

namespace zul {

class CAccounts;
class OptionInt;
class ChatPage;
class ContactListPage;

// Commands of the contacts page.
namespace clistcmd {
constexpr int kShowGroups = 32837;
constexpr int kShowOffline = 32839;
constexpr int kShowAvatars = 32865;
constexpr int kSortActivity = 32858;
constexpr int kSortStatus = 32857;
constexpr int kSortName = 32856;
constexpr int kEventsOnTop = 32859;
constexpr int kSeparateOffline = 32860;
constexpr int kSizeLargest = 32833;
constexpr int kSizeLarger = 32832;
constexpr int kSizeMedium = 32831;
constexpr int kSizeSmaller = 32836;
constexpr int kSizeSmallest = 32834;
constexpr int kViewTiles = 32822;
constexpr int kViewIcons = 32816;
constexpr int kViewList = 32818;
constexpr int kViewDetails = 32819;
constexpr int kShowEmptyGroups = 32845;  // no menu entry
// The contact menu.
constexpr int kSendMessage = 32847;
constexpr int kContactDetails = 32848;
constexpr int kRename = 32849;
constexpr int kDelete = 32851;
constexpr int kGrantAuthorisation = 32875;  // shown while the contact's request waits
constexpr int kDenyAuthorisation = 32876;
constexpr int kAskAuthorisationAgain = 32877;  // shown while we wait for the contact's answer
constexpr int kMoveToGroup = 32878;
constexpr int kWarn = 32884;  // AIM names of an account that is on
constexpr int kWarnAnonymously = 32885;
// The group header's menu.
constexpr int kRenameGroup = 32881;
constexpr int kDeleteGroup = 32882;
constexpr int kAddGroup = 32883;
// The view menu.
constexpr int kAddContact = 32870;
constexpr int kFindContacts = 32880;
}  // namespace clistcmd

// ClistViewType values.
enum ContactLayout : int {
    kLayoutTiles = 0,
    kLayoutIcons = 1,
    kLayoutList = 2,
    kLayoutDetails = 3
};

// The row of a contact. It keeps the contact alive until the next rebuild drops it.
class ContactRow : public ListItem {
  public:
    ContactRow(ContactListPage& page, ContactPtr contact);
    ViewPage* Activate(int mode) override;

    CContact& Contact() const { return *contact_; }
    const ContactPtr& Shared() const { return contact_; }
    // The avatar's square at the row's right end, 1 px in at the top, right and bottom, or
    // none without a picture (or with avatars hidden).
    void PlaceAvatar(bool avatars);

    ContactSortKey key;  // as of the last rebuild (or in-place redraw)
    QRect avatarBox;     // empty without an avatar to show
    QImage avatar;       // decoded and scaled to its place, made when first drawn
    uint32_t avatarVersion = 0;
    bool avatarTried = false;
    // The nickname and login folded for finding, and what they were folded from.
    std::u16string foldedFrom[2];
    QString folded[2];

  private:
    ContactListPage& page_;
    ContactPtr contact_;
};

// A contact as the user knows it, across rebuilds and a store that made its object anew.
struct ContactId {
    int32_t account = 0;
    int32_t local = 0;
    bool operator==(const ContactId&) const = default;
    static ContactId Of(const CContact& contact);
};

// The header of a group name. The group itself is looked up by name when it is toggled, so
// a header never holds a group the model has dropped.
class GroupRow : public ListItem {
  public:
    GroupRow(ContactListPage& page, std::u16string name);
    ViewPage* Activate(int mode) override;

    const std::u16string& Name() const { return name_; }
    bool expanded = true;
    int total = 0;    // contacts of the group
    int offline = 0;  // of them offline

  private:
    ContactListPage& page_;
    std::u16string name_;
};

// The row of a chat room under the rooms heading. It keeps the room alive until the next
// rebuild drops it; its account is looked up when the row is opened.
class RoomRow : public ListItem {
  public:
    RoomRow(ContactListPage& page, int32_t accountId, RoomPtr room);
    ViewPage* Activate(int mode) override;

    int32_t AccountId() const { return accountId_; }
    const RoomPtr& Room() const { return room_; }
    // The line under the name ("3 members", "Joining…") and the room's version it was made
    // from, as of the last rebuild or in-place redraw.
    QString line;
    uint32_t version = 0;
    bool in = false;  // the user is in the room
    QString folded;   // the name folded for finding

  private:
    ContactListPage& page_;
    int32_t accountId_;
    RoomPtr room_;
};

// The heading of the rooms, listed after the groups while there is a room to list. Whether it
// is open is a setting (ClistRoomsExpanded); finding opens it.
class RoomsHeading : public ListItem {
  public:
    explicit RoomsHeading(ContactListPage& page) : ListItem(kTogglesInPlace), page_(page) {}
    ViewPage* Activate(int mode) override;

    bool expanded = true;
    int total = 0;  // rooms listed
    int out = 0;    // of them those the user is not in

  private:
    ContactListPage& page_;
};

class ContactListPage : public ViewPage, public IContactsView {
  public:
    ContactListPage(CContacts& contacts, CAccounts& accounts);
    ~ContactListPage() override;

    // ---- IContactsView: any thread, marks only ------------------------------------------
    void Rebuild() override;
    void RedrawContact(CContact* contact) override;
    void ItemRemoved(const CContactListItem* item) override;

    // ---- ViewPage ----------------------------------------------------------------------
    bool ChangedSinceLastPaint() override;
    std::vector<ListItem*> AccessibleItems() override;
    QString AccessibleText(const ListItem& item) override;
    int ContentHeight() override;
    void SlowTick() override;
    bool WantsTicks() const override { return ticking_; }
    bool FillContextMenu(QMenu& menu) override;
    void ContextCommand(int id) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    void LayoutContent(int width) override;
    QString EmptyText() override;
    void Activated() override;
    void LanguageChanged() override;
    bool LeftSoftKey(QString& label) override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void Command(int id) override;
    ListItem* ItemAt(int x, int y) override;
    QString ToolTipAt(int x, int y) override;
    void OnKey(int key) override;
    bool OnText(const QString& text) override;
    void OnPress(int x, int y) override;
    void OnTap(int x, int y) override;
    void OnDoubleTap(int x, int y) override;
    void OnPointerLeave() override;
    // Escape empties the find text first.
    bool GoBack() override;

    // ---- Operations --------------------------------------------------------------------
    // Applies what the model reported since the last call; true when anything was redrawn.
    bool Sync();
    // Recollects, regroups, resorts and lays out at once.
    void RebuildNow();
    // Opens (slides in) the chat page of a contact.
    void OpenChat(const ContactPtr& contact) { OpenPage(ChatPageOf(contact)); }
    // The chat page a row or the contact menu opens: the find text has done its work and goes.
    ViewPage* ChatPageChosen(const ContactPtr& contact);
    // The chat page of a contact, made on first use; FindChatPage does not make one.
    ChatPage* ChatPageFor(const ContactPtr& contact);
    ChatPage* FindChatPage(const CContact* contact) const;
    // The same page as a page of the host.
    ViewPage* ChatPageOf(const ContactPtr& contact);
    void ToggleGroup(GroupRow& row);
    // Opens or closes the rooms heading and keeps its state.
    void ToggleRooms();
    // The page a room's row opens (the rooms page's page of the room); the find text goes.
    // Null when the room's account is gone or disabled.
    ViewPage* RoomPageChosen(int32_t accountId, const RoomPtr& room);
    // Opens (slides in) the details page of a contact; null when the contact is gone.
    ContactDetailsPage* ShowDetails(const ContactPtr& contact);
    ContactDetailsPage* DetailsPage() const { return details_.get(); }
    // Opens the rooms page, made on first use; with `join` it asks for a room to join.
    RoomsPage* OpenRooms(bool join);
    SearchPage* ResultsPage() const { return search_.get(); }
    bool BlinkOn() const { return blinkOn_; }

    // The text typed to find contacts ("" lists them all); setting it lists the matches at
    // once and focuses the first.
    const QString& FindText() const { return findText_; }
    void SetFindText(const QString& text);
    // Whether the rows keep their order now (see the top of this file).
    bool OrderHeld() const;
    // The held changes wait this long after the last press.
    static constexpr uint32_t kHoldAfterPressMs = 1000;

    // What is listed, in order (headers and contacts); for the tests.
    const std::vector<ListItem*>& Listed() const { return laidOut_; }
    ContactRow* RowOf(const CContact* contact) const;
    GroupRow* HeaderOf(const std::u16string& name) const;
    RoomRow* RowOf(const CRoom* room) const;
    RoomsHeading& RoomsHeader() { return roomsHeading_; }
    // Contacts in listed order.
    std::vector<CContact*> ListedContacts() const;

  private:
    struct Section {
        GroupRow* header = nullptr;  // none for the contacts without a group header
        std::vector<ContactRow*> members;
    };
    struct NoCaseLess {
        bool operator()(const std::u16string& a, const std::u16string& b) const;
    };
    // The settings that shape the list, to notice changes made elsewhere (the Options sheet).
    struct Shape {
        int size, view, sort, eventsOnTop, separate, groups, emptyGroups, offline, avatars;
        bool operator==(const Shape&) const = default;
    };
    static Shape CurrentShape();

    // Chat pages of contacts that left the store are handed out in `gone`.
    void Collect(ChatPages::Leaving& gone);
    void DrawContact(QPainter& painter, ContactRow& row);
    void DrawHeading(QPainter& painter, const ListItem& row, const QString& text);
    void DrawRoom(QPainter& painter, RoomRow& row);
    void DrawAvatar(QPainter& painter, ContactRow& row, int& textRight);
    bool ChatOpen(const CContact* contact) const;
    void DeleteContact(const ContactPtr& contact);
    void RenameContact(const ContactPtr& contact);
    // Asks for the group (one of the account's, or a new name) and moves the contact there.
    void MoveContact(const ContactPtr& contact);
    // The header's group, in every account that has one of its name: renamed, or removed
    // after its contacts moved to a group the user picks; or a new group of an account.
    void RenameGroup(const std::u16string& name);
    void DeleteGroup(const std::u16string& name);
    void AddGroup();
    // Opens the form of a new contact (login, nickname, group and the reason for an
    // authorisation request) and hands what it gives to the account chosen on it.
    void AddContact();
    // The same form for an account (nullptr: the user chooses), starting from a login and
    // nickname (empty: typed on the form).
    void AddContactTo(CAccount* account, const QString& login, const QString& nickname);
    // Asks how and what to search (an AIM account adds a name directly) and shows the results.
    void FindContacts();
    // The enabled account the user picks (the only one without asking); nullptr when none.
    CAccount* ChooseAccount(int titleId);
    void ChangeOption(OptionInt& option, int32_t value);
    // First laid-out item whose bottom lies below y.
    std::vector<ListItem*>::const_iterator FirstBelow(int y) const;
    // Whether a row matches the folded find text.
    bool Matches(ContactRow& row) const;
    // The rooms to list, in their order: by name, then account, then when made.
    std::vector<std::pair<int32_t, RoomPtr>> RoomsToList() const;
    // Takes the rooms into rows under the heading (finding lists the matching ones only).
    void CollectRooms(bool finding);
    // Rooms listed or dropped since the last rebuild (a change of order); each row of a room
    // whose state changed gets its new line, and the heading its counts, in `redraw`.
    bool RoomsMoved(std::vector<ListItem*>& redraw);
    // The row's line and flags from its room as it is now; true when they changed.
    static bool RefreshRoomRow(RoomRow& row);
    // The first laid-out row that opens a page: a contact, else a room.
    ListItem* FirstListedRow() const;
    // The laid-out row of the room with that id.
    RoomRow* ListedRoomRow(int64_t id) const;
    static QString RoomsHeadingText(const RoomsHeading& heading);
    // The laid-out row of a contact, found by identity when its object was replaced.
    ContactRow* ListedRowOf(const ContactPtr& contact, const ContactId& id) const;
    bool IsLaidOut(const ListItem* item) const;
    // A rebuild that keeps the focused contact focused, and on the screen where it was.
    void RebuildKeepingFocus();

    CContacts& contacts_;
    CAccounts& accounts_;

    // Marks left by the model.
    std::atomic<bool> rebuildPending_{true};
    std::mutex pendingMutex_;  // a leaf: guards the two sets below
    std::unordered_set<const CContact*> redraws_;
    bool removedPending_ = false;

    std::unordered_map<const CContact*, std::unique_ptr<ContactRow>> rows_;
    std::map<std::u16string, std::unique_ptr<GroupRow>, NoCaseLess> headers_;
    std::vector<Section> sections_;
    std::vector<ListItem*> laidOut_;
    int contentBottom_ = 0;
    Shape shape_{};
    bool blinkOn_ = false;
    bool rebuilding_ = false;
    // A rebuild is owed but waits while the order is held.
    bool heldRebuild_ = false;
    // What the last press landed on: its tap acts on that, wherever it has moved since.
    enum class PressedOn { kNone, kNothing, kContact, kHeader, kRoom, kRoomsHeading };
    PressedOn pressedOn_ = PressedOn::kNone;
    ContactPtr pressedContact_;
    ContactId pressedId_;
    std::u16string pressedHeader_;
    int64_t pressedRoom_ = 0;
    uint32_t pressTime_ = 0;
    bool pressedOnce_ = false;
    QString findText_;
    QString foldedFind_;

    ChatPages chats_;
    // The details page, made on first use and shown for one contact at a time.
    std::unique_ptr<ContactDetailsPage> details_;
    // The search results, made on first use; one search at a time.
    std::unique_ptr<SearchPage> search_;
    // Made on first use: the list of rooms, and through it the page of each room.
    std::unique_ptr<RoomsPage> rooms_;
    // Rows of the listed rooms by room id; those listed now (found, when finding) in order,
    // and the ids of every room to list as of the last rebuild.
    std::map<int64_t, std::unique_ptr<RoomRow>> roomRows_;
    std::vector<RoomRow*> roomsListed_;
    std::vector<int64_t> roomIds_;
    RoomsHeading roomsHeading_{*this};
    // RoomsVersion as of the last look; the change feed's token.
    uint64_t roomsVersion_ = 0;
    int feedToken_ = 0;
    // Decoded avatars kept, oldest first; older ones are dropped past the limit.
    std::vector<ContactRow*> avatarOrder_;
    // A contact's mark ages or a row blinks: the slow tick goes on.
    bool ticking_ = true;
};

}  // namespace zul
