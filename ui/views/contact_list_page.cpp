#include "ui/views/contact_list_page.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <optional>
#include <set>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/change_feed.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/scroll_physics.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/contact_list_parts.h"
#include "ui/views/view_support.h"

namespace zul {
using namespace clist;

namespace {

// Text as finding compares it: compatibility-decomposed, without its combining marks, and
// case-folded, so that "zoe" finds "Zoë" and "ZOE".
QString FoldForFinding(const QString& text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString bare;
    bare.reserve(decomposed.size());
    for (QChar c : decomposed) {
        const QChar::Category category = c.category();
        if (category != QChar::Mark_NonSpacing && category != QChar::Mark_SpacingCombining &&
            category != QChar::Mark_Enclosing)
            bare.append(c);
    }
    return bare.toCaseFolded();
}

}  // namespace

// ---- Rows ----------------------------------------------------------------------------------

ContactRow::ContactRow(ContactListPage& page, ContactPtr contact)
    : ListItem(kOpensPage), page_(page), contact_(std::move(contact)) {}

ViewPage* ContactRow::Activate(int) {
    return page_.ChatPageChosen(contact_);
}

ContactId ContactId::Of(const CContact& contact) {
    return ContactId{contact.AccountID(), contact.LocalID()};
}

GroupRow::GroupRow(ContactListPage& page, std::u16string name)
    : ListItem(kTogglesInPlace), page_(page), name_(std::move(name)) {}

ViewPage* GroupRow::Activate(int) {
    page_.ToggleGroup(*this);
    return nullptr;
}

RoomRow::RoomRow(ContactListPage& page, int32_t accountId, RoomPtr room)
    : ListItem(kOpensPage),
      folded(FoldForFinding(QString::fromStdU16String(room->Name()))),
      page_(page),
      accountId_(accountId),
      room_(std::move(room)) {}

ViewPage* RoomRow::Activate(int) {
    return page_.RoomPageChosen(accountId_, room_);
}

ViewPage* RoomsHeading::Activate(int) {
    page_.ToggleRooms();
    return nullptr;
}

bool ContactListPage::NoCaseLess::operator()(const std::u16string& a,
                                             const std::u16string& b) const {
    return CompareNoCase(a, b) < 0;
}

// ---- The page ------------------------------------------------------------------------------

ContactListPage::ContactListPage(CContacts& contacts, CAccounts& accounts)
    : contacts_(contacts), accounts_(accounts) {
    Caption().SetTitle(ResText(kTextContacts));
    shape_ = CurrentShape();
    contacts_.SetView(this);
    chats_.SetDetailsOpener([this](const ContactPtr& contact) { ShowDetails(contact); });
    // A room that changes asks for a repaint; its row is looked at then rather than at the
    // next second's tick.
    feedToken_ = Changes().Subscribe([this](const std::vector<Change>& batch) {
        const bool repaint = std::any_of(batch.begin(), batch.end(), [](const Change& c) {
            return c.kind == Change::Kind::kRepaint;
        });
        if (repaint && RoomsVersion(accounts_) != roomsVersion_) MarkChanged();
    });
    RebuildNow();
}

ContactListPage::~ContactListPage() {
    Changes().Unsubscribe(feedToken_);
    contacts_.SetView(nullptr);
    if (Host() != nullptr) Host()->RemovePage(this, MainWindow::kRemoveThenJump);
    chats_.Clear();
}

ContactListPage::Shape ContactListPage::CurrentShape() {
    const COptions& o = Options();
    return Shape{o.ClistTextSize,
                 o.ClistViewType,
                 o.ClistSortType,
                 o.ClistEventsOnTop != 0,
                 o.ClistSeparateOffline != 0,
                 o.ClistShowGroups != 0,
                 o.ClistShowEmptyGroups != 0,
                 o.ClistShowOffline != 0,
                 o.ClistShowAvatars != 0};
}

void ContactListPage::Rebuild() {
    rebuildPending_.store(true);
    MarkChanged();
}

void ContactListPage::RedrawContact(CContact* contact) {
    if (contact == nullptr) return;
    {
        std::lock_guard lock(pendingMutex_);
        redraws_.insert(contact);
    }
    MarkChanged();
}

void ContactListPage::ItemRemoved(const CContactListItem*) {
    // The rows hold their contacts, and headers hold names only, so nothing dangles; the
    // next tick drops the rows of what is gone.
    {
        std::lock_guard lock(pendingMutex_);
        removedPending_ = true;
    }
    Rebuild();
}

bool ContactListPage::ChatOpen(const CContact* contact) const {
    return chats_.Shown(contact);
}

ContactRow* ContactListPage::RowOf(const CContact* contact) const {
    auto it = rows_.find(contact);
    return it == rows_.end() ? nullptr : it->second.get();
}

GroupRow* ContactListPage::HeaderOf(const std::u16string& name) const {
    auto it = headers_.find(name);
    return it == headers_.end() ? nullptr : it->second.get();
}

RoomRow* ContactListPage::RowOf(const CRoom* room) const {
    if (room == nullptr) return nullptr;
    auto it = roomRows_.find(room->Id());
    return it == roomRows_.end() || it->second->Room().get() != room ? nullptr : it->second.get();
}

std::vector<CContact*> ContactListPage::ListedContacts() const {
    std::vector<CContact*> listed;
    for (ListItem* item : laidOut_)
        if (auto* row = dynamic_cast<ContactRow*>(item)) listed.push_back(&row->Contact());
    return listed;
}

bool ContactListPage::Sync() {
    std::unordered_set<const CContact*> redraws;
    bool removed = false;
    {
        std::lock_guard lock(pendingMutex_);
        redraws.swap(redraws_);
        removed = std::exchange(removedPending_, false);
    }
    // A changed setting is the user's own doing and is shown at once.
    const bool reshaped = CurrentShape() != shape_;
    const bool held = !reshaped && OrderHeld();
    bool rebuild = rebuildPending_.exchange(false) || removed || reshaped || heldRebuild_;
    // A room listed or dropped moves rows; a room's new state only redraws its row.
    std::vector<ListItem*> roomRedraws;
    if (RoomsMoved(roomRedraws)) rebuild = true;
    const bool showOffline = Options().ClistShowOffline != 0;
    std::vector<std::pair<ContactRow*, ContactSortKey>> changed;
    for (const CContact* contact : redraws) {
        if (rebuild && !held) break;
        ContactRow* row = RowOf(contact);
        if (row == nullptr) {  // a contact the list has not met yet
            rebuild = true;
            continue;
        }
        ContactSortKey now = SortKeyOf(row->Contact(), ChatOpen(contact));
        const ContactSortKey& was = row->key;
        // Anything that can move the row or show or hide it needs the whole list again; while
        // the order is held the row still shows its new state where it is.
        if (IsListed(now, showOffline) != IsListed(was, showOffline) || now.name != was.name ||
            now.status != was.status || now.HasUnread() != was.HasUnread() ||
            now.Attention() != was.Attention() || now.messages != was.messages)
            rebuild = true;
        changed.emplace_back(row, std::move(now));
    }
    if (rebuild && !held) {
        heldRebuild_ = false;
        RebuildKeepingFocus();
        return true;
    }
    heldRebuild_ = rebuild;
    // A picture that came or went since the layout gets its place (or loses it) here.
    const bool avatars = Options().ClistShowAvatars != 0;
    for (auto& [row, key] : changed) {
        row->key = std::move(key);
        row->PlaceAvatar(avatars);
        RedrawItem(row);
    }
    for (ListItem* item : roomRedraws) RedrawItem(item);
    return !changed.empty() || !roomRedraws.empty();
}

std::vector<std::pair<int32_t, RoomPtr>> ContactListPage::RoomsToList() const {
    std::vector<std::pair<int32_t, RoomPtr>> list;
    for (CAccount* account : EnabledAccounts(accounts_))
        for (RoomPtr& room : account->Rooms().All())
            if (RoomListed(*room)) list.emplace_back(account->ID(), std::move(room));
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        if (const int c = CompareNoCase(a.second->Name(), b.second->Name()); c != 0) return c < 0;
        if (a.first != b.first) return a.first < b.first;
        return a.second->Id() < b.second->Id();
    });
    return list;
}

bool ContactListPage::RefreshRoomRow(RoomRow& row) {
    const CRoom& room = *row.Room();
    const uint32_t version = room.Version();
    if (version == row.version && !row.line.isNull()) return false;
    row.version = version;
    QString line = RoomStateText(room);
    const bool in = room.State() == RoomState::kIn;
    if (line == row.line && in == row.in) return false;
    row.line = std::move(line);
    row.in = in;
    return true;
}

bool ContactListPage::RoomsMoved(std::vector<ListItem*>& redraw) {
    const uint64_t version = RoomsVersion(accounts_);
    if (version == roomsVersion_) return false;
    std::vector<int64_t> ids;
    for (const auto& [account, room] : RoomsToList()) ids.push_back(room->Id());
    const bool moved = ids != roomIds_;
    // While the order is held the rows still show their rooms' states where they are.
    for (auto& [id, row] : roomRows_)
        if (RefreshRoomRow(*row)) redraw.push_back(row.get());
    const int out = static_cast<int>(std::count_if(roomsListed_.begin(), roomsListed_.end(),
                                                   [](const RoomRow* row) { return !row->in; }));
    if (out != roomsHeading_.out) {
        roomsHeading_.out = out;
        redraw.push_back(&roomsHeading_);
    }
    // A move the order holds back waits as a held rebuild.
    roomsVersion_ = version;
    return moved;
}

bool ContactListPage::OrderHeld() const {
    const MainWindow* host = Host();
    if (host == nullptr || !host->IsShown(this)) return false;
    if (host->PointerPressed()) return true;
    if (pressedOnce_ && ScrollableWindow::Now() - pressTime_ < kHoldAfterPressMs) return true;
    if (!host->PointerOver()) return false;
    const QPoint at = host->PointerPos();
    const QRect pane = host->PaneOf(this);
    return at.x() >= pane.left() && at.x() <= pane.right() && at.y() >= CaptionHeight() &&
           at.y() < host->ViewHeightOf(this);
}

bool ContactListPage::IsLaidOut(const ListItem* item) const {
    // Collect clears every rect and the layout gives one to the rows it lists.
    return item != nullptr && !item->Rect().isEmpty();
}

ContactRow* ContactListPage::ListedRowOf(const ContactPtr& contact, const ContactId& id) const {
    if (ContactRow* row = RowOf(contact.get()); IsLaidOut(row)) return row;
    for (ListItem* item : laidOut_) {
        auto* row = dynamic_cast<ContactRow*>(item);
        if (row != nullptr && ContactId::Of(row->Contact()) == id) return row;
    }
    return nullptr;
}

RoomRow* ContactListPage::ListedRoomRow(int64_t id) const {
    auto it = roomRows_.find(id);
    return it != roomRows_.end() && IsLaidOut(it->second.get()) ? it->second.get() : nullptr;
}

ListItem* ContactListPage::FirstListedRow() const {
    // The rooms come after the contacts.
    for (ListItem* item : laidOut_)
        if (item->Kind() == ListItem::kOpensPage) return item;
    return nullptr;
}

void ContactListPage::RebuildKeepingFocus() {
    // Where on the screen the focused row is, when it is there.
    std::optional<int> screenTop;
    if (const ListItem* before = FocusedItem(); IsLaidOut(before) && Host() != nullptr) {
        const int top = before->Top() + ContentOffset();
        if (top + before->Rect().height() > CaptionHeight() && top < ViewHeight()) screenTop = top;
    }
    RebuildNow();
    ListItem* focused = FocusedItem();
    if (!IsLaidOut(focused) || Host() == nullptr) return;
    if (screenTop) {
        const int offset =
            ScrollBounds::For(Height(), ViewHeight()).Clamp(*screenTop - focused->Top());
        if (offset != ContentOffset()) {
            ScrollTo(offset, ViewHeight());
            Host()->RepaintPage(this);
        }
    }
    ScrollIntoView(focused->Rect(), false);
}

void ContactListPage::RebuildNow() {
    if (rebuilding_) {  // a page leaving the host re-entered us; the outer rebuild goes on
        rebuildPending_.store(true);
        return;
    }
    rebuilding_ = true;
    rebuildPending_.store(false);
    ChatPages::Leaving gone;
    {
        CanvasLock captionGuard(Caption());
        CanvasLock pageGuard(*this);
        Collect(gone);
    }
    Relayout();
    // Chat pages of deleted contacts leave the host only now: leaving may switch pages. So do
    // the pages of rooms whose account went away.
    gone.Release();
    if (rooms_) rooms_->KeepPagesOf(EnabledAccounts(accounts_));
    rebuilding_ = false;
}

// Takes the contacts and groups from the store, keeps a row per contact and a header per
// group name, and sorts what is listed into sections.
void ContactListPage::Collect(ChatPages::Leaving& gone) {
    shape_ = CurrentShape();
    // Nothing is drawn from the old lists while rows go away below.
    laidOut_.clear();
    sections_.clear();
    CContacts::ListSnapshot listed = contacts_.Snapshot();
    const std::vector<ContactPtr>& contacts = listed.contacts;
    const std::vector<CContacts::GroupEntry>& groups = listed.virtualGroups;

    // The focused contact by who it is: a store that made its object anew keeps the focus.
    std::optional<ContactId> focusedId;
    if (const auto* row = dynamic_cast<ContactRow*>(FocusedItem()))
        focusedId = ContactId::Of(row->Contact());

    // Rows of contacts that left the store go, after the focus left them.
    std::unordered_set<const CContact*> present;
    present.reserve(contacts.size());
    for (const ContactPtr& c : contacts) present.insert(c.get());
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (FocusedItem() == it->second.get()) FocusItem(nullptr);
        std::erase(avatarOrder_, it->second.get());
        it = rows_.erase(it);
    }
    chats_.KeepOnly(present, gone);

    // Finding lists every contact that matches, offline or not, in one section.
    const bool finding = !foldedFind_.isEmpty();
    std::vector<ListEntry> entries;
    std::vector<ContactRow*> entryRows;
    entries.reserve(contacts.size());
    entryRows.reserve(contacts.size());
    for (const ContactPtr& c : contacts) {
        auto& row = rows_[c.get()];
        if (!row) row = std::make_unique<ContactRow>(*this, c);
        row->key = SortKeyOf(*c, ChatOpen(c.get()));
        row->ClearRect();  // the layout places the listed ones
        if (finding && !Matches(*row)) continue;
        entries.push_back(ListEntry{row->key, c->GroupName()});
        entryRows.push_back(row.get());
    }
    std::vector<std::u16string> groupNames;
    groupNames.reserve(groups.size());
    for (const auto& group : groups) groupNames.push_back(group.name);
    const ListShape shape{shape_.sort,
                          shape_.eventsOnTop != 0,
                          shape_.separate != 0,
                          !finding && shape_.groups != 0,
                          !finding && shape_.emptyGroups != 0,
                          finding || shape_.offline != 0};
    std::vector<int> headed;
    const std::vector<PlannedSection> plan = PlanSections(entries, groupNames, shape, &headed);

    // One header per group name that has one; the others go.
    std::set<std::u16string, NoCaseLess> headedNames;
    for (int g : headed) {
        const CContacts::GroupEntry& group = groups[static_cast<size_t>(g)];
        headedNames.insert(group.name);
        auto& header = headers_[group.name];
        if (!header) header = std::make_unique<GroupRow>(*this, group.name);
        header->expanded = group.expanded;
        header->total = 0;
        header->offline = 0;
    }
    for (auto it = headers_.begin(); it != headers_.end();) {
        it->second->ClearRect();
        if (headedNames.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (FocusedItem() == it->second.get()) FocusItem(nullptr);
        it = headers_.erase(it);
    }
    for (const PlannedSection& planned : plan) {
        Section section;
        if (planned.group >= 0) {
            section.header = HeaderOf(groups[static_cast<size_t>(planned.group)].name);
            section.header->total = planned.total;
            section.header->offline = planned.offline;
        }
        section.members.reserve(planned.members.size());
        for (size_t i : planned.members) section.members.push_back(entryRows[i]);
        sections_.push_back(std::move(section));
    }

    CollectRooms(finding);

    // The focus stays only on what is still listed.
    ListItem* focused = FocusedItem();
    const bool stillListed =
        std::any_of(sections_.begin(), sections_.end(),
                    [focused](const Section& s) {
                        return s.header == focused || std::find(s.members.begin(), s.members.end(),
                                                                focused) != s.members.end();
                    }) ||
        (!roomsListed_.empty() && focused == &roomsHeading_) ||
        std::find(roomsListed_.begin(), roomsListed_.end(), focused) != roomsListed_.end();
    if (focused != nullptr && !stillListed) FocusItem(nullptr);
    if (FocusedItem() == nullptr && focusedId) {
        for (const Section& section : sections_)
            for (ContactRow* row : section.members)
                if (ContactId::Of(row->Contact()) == *focusedId) FocusItem(row);
    }
}

void ContactListPage::CollectRooms(bool finding) {
    // The version first: a change made while the rooms are read shows at the next look.
    roomsVersion_ = RoomsVersion(accounts_);
    const std::vector<std::pair<int32_t, RoomPtr>> rooms = RoomsToList();
    roomIds_.clear();
    roomsListed_.clear();
    std::unordered_set<int64_t> present;
    for (const auto& [account, room] : rooms) {
        present.insert(room->Id());
        roomIds_.push_back(room->Id());
        auto& row = roomRows_[room->Id()];
        if (!row || row->Room() != room || row->AccountId() != account) {
            if (row && FocusedItem() == row.get()) FocusItem(nullptr);
            row = std::make_unique<RoomRow>(*this, account, room);
        }
        row->ClearRect();
        RefreshRoomRow(*row);
        if (finding && !row->folded.contains(foldedFind_)) continue;
        roomsListed_.push_back(row.get());
    }
    for (auto it = roomRows_.begin(); it != roomRows_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (FocusedItem() == it->second.get()) FocusItem(nullptr);
        it = roomRows_.erase(it);
    }
    roomsHeading_.ClearRect();
    roomsHeading_.expanded = Options().ClistRoomsExpanded != 0;
    roomsHeading_.total = static_cast<int>(roomsListed_.size());
    roomsHeading_.out = static_cast<int>(std::count_if(
        roomsListed_.begin(), roomsListed_.end(), [](const RoomRow* row) { return !row->in; }));
}

bool ContactListPage::Matches(ContactRow& row) const {
    const std::u16string sources[2] = {row.Contact().DisplayName(), row.Contact().Login()};
    for (size_t i = 0; i < 2; ++i) {
        if (row.folded[i].isNull() || row.foldedFrom[i] != sources[i]) {
            row.foldedFrom[i] = sources[i];
            row.folded[i] = FoldForFinding(QString::fromStdU16String(sources[i]));
        }
        if (row.folded[i].contains(foldedFind_)) return true;
    }
    return false;
}

void ContactRow::PlaceAvatar(bool avatars) {
    const QRect r = Rect();
    if (!avatars || r.isEmpty() || !contact_->HasPicture()) {
        avatarBox = QRect();
        return;
    }
    const int side = r.height();
    avatarBox =
        QRect(r.x() + r.width() - side, r.y() + ScaleY(1), side - ScaleX(1), side - 2 * ScaleY(1));
}

void ContactListPage::LayoutContent(int width) {
    const int level = RowLevel();
    const int view = std::clamp<int32_t>(Options().ClistViewType, 0, 3);
    const int headerHeight = LineHeight(level);
    const int rowHeight = TwoLineLayout(view)
                              ? 2 * (TextHeight(QStringLiteral("A"), level, true) + ScaleY(5))
                              : headerHeight;
    const bool twoColumns = TwoColumnLayout(view);
    const bool avatars = Options().ClistShowAvatars != 0;
    const int half = width / 2;

    laidOut_.clear();
    int y = CaptionHeight();
    int column = 0;
    auto placeHeading = [&](ListItem& heading) {
        heading.SetRect(QRect(0, y, width, headerHeight));
        laidOut_.push_back(&heading);
        y += headerHeight;
    };
    auto placeRow = [&](ListItem& row) {
        row.SetRect(twoColumns ? (column == 0 ? QRect(0, y, half, rowHeight)
                                              : QRect(half, y, width - half, rowHeight))
                               : QRect(0, y, width, rowHeight));
        laidOut_.push_back(&row);
        if (!twoColumns || column == 1) {
            y += rowHeight;
            column = 0;
        } else {
            column = 1;
        }
    };
    auto endSection = [&] {
        if (column == 1) y += rowHeight;  // the section ended on a left-hand item
        column = 0;
    };
    for (Section& section : sections_) {
        const bool open = section.header == nullptr || section.header->expanded;
        if (section.header != nullptr) placeHeading(*section.header);
        for (ContactRow* row : section.members) {
            if (!open) {
                row->ClearRect();
                continue;
            }
            placeRow(*row);
            row->PlaceAvatar(avatars);
        }
        endSection();
    }
    if (!roomsListed_.empty()) {
        placeHeading(roomsHeading_);
        const bool open = roomsHeading_.expanded || !foldedFind_.isEmpty();
        for (RoomRow* row : roomsListed_) {
            if (open)
                placeRow(*row);
            else
                row->ClearRect();
        }
        endSection();
    }
    contentBottom_ = y;
}

int ContactListPage::ContentHeight() {
    return laidOut_.empty() ? 0 : contentBottom_;
}

std::vector<ListItem*>::const_iterator ContactListPage::FirstBelow(int y) const {
    return std::upper_bound(laidOut_.begin(), laidOut_.end(), y,
                            [](int value, const ListItem* item) { return value < item->Bottom(); });
}

ListItem* ContactListPage::ItemAt(int x, int y) {
    for (auto it = FirstBelow(y); it != laidOut_.end() && (*it)->Top() <= y; ++it)
        if ((*it)->Rect().contains(x, y)) return *it;
    return nullptr;
}

namespace {
constexpr int kTextAwaitingAuth = 1074;
}  // namespace

QString ContactListPage::ToolTipAt(int x, int y) {
    auto* row = dynamic_cast<ContactRow*>(ItemAt(x, y));
    if (row == nullptr) return {};
    const QRect r = row->Rect();
    const CContact& c = row->Contact();
    // The marks as the row draws them: its icon at the left, the key at the right.
    if (x < r.x() + ScaleX(22)) return AccessibleText(*row).section(QStringLiteral(", "), 1);
    if (c.AwaitingAuth() != 0 && x >= r.x() + r.width() - ScaleX(22))
        return ResText(kTextAwaitingAuth);
    return {};
}

QString ContactListPage::EmptyText() {
    return ResText(kTextNoneOnline);
}

bool ContactListPage::ChangedSinceLastPaint() {
    const bool changed = ViewPage::ChangedSinceLastPaint();
    if (changed || CurrentShape() != shape_) Sync();
    return changed;
}

void ContactListPage::SlowTick() {
    const bool aging = contacts_.Tick();  // ages the marks; a mark that clears redraws its contact
    // The blink phase flips while any listed contact has attention.
    auto wantsAttention = [](ListItem* item) {
        const auto* row = dynamic_cast<ContactRow*>(item);
        if (row == nullptr) return false;
        CContact& c = row->Contact();
        return c.History().UnreadCount() > 0 || c.JustCameOnline() || c.Typing();
    };
    const bool blinking = std::any_of(laidOut_.begin(), laidOut_.end(), wantsAttention);
    if (blinking) {
        blinkOn_ = !blinkOn_;
        for (ListItem* item : laidOut_)
            if (wantsAttention(item)) RedrawItem(item);
    }
    ticking_ = aging || blinking;
    Sync();
}

void ContactListPage::LanguageChanged() {
    Caption().SetTitle(ResText(kTextContacts));
    for (auto& [id, row] : roomRows_) row->line = QString();  // made anew in the new language
    RebuildNow();
}

void ContactListPage::Activated() {
    Sync();
}

bool ContactListPage::LeftSoftKey(QString& label) {
    label = ResText(kTextContacts);
    return false;
}

ChatPage* ContactListPage::FindChatPage(const CContact* contact) const {
    return chats_.Find(contact);
}

ChatPage* ContactListPage::ChatPageFor(const ContactPtr& contact) {
    return chats_.For(contact);
}

ViewPage* ContactListPage::ChatPageOf(const ContactPtr& contact) {
    return chats_.PageFor(contact);
}

ViewPage* ContactListPage::ChatPageChosen(const ContactPtr& contact) {
    SetFindText(QString());
    return ChatPageOf(contact);
}

// ---- Pointer and keys ----------------------------------------------------------------------

void ContactListPage::OnPress(int x, int y) {
    ViewPage::OnPress(x, y);
    pressTime_ = ScrollableWindow::Now();
    pressedOnce_ = true;
    pressedContact_.reset();
    pressedHeader_.clear();
    pressedOn_ = PressedOn::kNothing;
    ListItem* item = ItemAt(x, y);
    if (auto* row = dynamic_cast<ContactRow*>(item)) {
        pressedContact_ = row->Shared();
        pressedId_ = ContactId::Of(row->Contact());
        pressedOn_ = PressedOn::kContact;
    } else if (auto* header = dynamic_cast<GroupRow*>(item)) {
        pressedHeader_ = header->Name();
        pressedOn_ = PressedOn::kHeader;
    } else if (auto* room = dynamic_cast<RoomRow*>(item)) {
        pressedRoom_ = room->Room()->Id();
        pressedOn_ = PressedOn::kRoom;
    } else if (item == &roomsHeading_) {
        pressedOn_ = PressedOn::kRoomsHeading;
    }
}

void ContactListPage::OnTap(int x, int y) {
    // The release acts on what was under the finger when it came down.
    ListItem* item = nullptr;
    switch (std::exchange(pressedOn_, PressedOn::kNone)) {
        case PressedOn::kNone:  // a tap whose press this page did not see
            item = ItemAt(x, y);
            break;
        case PressedOn::kNothing:
            break;
        case PressedOn::kContact:
            item = ListedRowOf(pressedContact_, pressedId_);
            break;
        case PressedOn::kHeader:
            if (GroupRow* header = HeaderOf(pressedHeader_); IsLaidOut(header)) item = header;
            break;
        case PressedOn::kRoom:
            item = ListedRoomRow(pressedRoom_);
            break;
        case PressedOn::kRoomsHeading:
            if (IsLaidOut(&roomsHeading_)) item = &roomsHeading_;
            break;
    }
    pressedContact_.reset();
    TapItem(item);
}

void ContactListPage::OnDoubleTap(int x, int y) {
    pressTime_ = ScrollableWindow::Now();
    pressedOnce_ = true;
    DoubleTapItem(ItemAt(x, y));
}

void ContactListPage::OnPointerLeave() {
    Sync();  // what waited for the pointer goes in, unless a recent press still holds it
}

bool ContactListPage::OnText(const QString& text) {
    // A space before anything was typed still opens the focused row.
    if (findText_.isEmpty() && text.trimmed().isEmpty()) return false;
    SetFindText(findText_ + text);
    return true;
}

void ContactListPage::OnKey(int key) {
    if (!findText_.isEmpty()) {
        if (key == Qt::Key_Escape) {  // when the window's shortcut did not take it
            SetFindText(QString());
            return;
        }
        if (key == Qt::Key_Backspace) {
            QString text = findText_;
            text.chop(text.size() >= 2 && text.back().isLowSurrogate() ? 2 : 1);
            SetFindText(text);
            return;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // The match the focus is on: the first, unless the arrows moved it.
            ListItem* item = FocusedItem();
            if (item == nullptr || item->Kind() != ListItem::kOpensPage || !IsLaidOut(item))
                item = FirstListedRow();
            if (item == nullptr) return;
            FocusItem(item);
            ActivateFocused(ListItem::kByKey);
            return;
        }
    }
    ViewPage::OnKey(key);
}

bool ContactListPage::GoBack() {
    if (findText_.isEmpty()) return false;
    SetFindText(QString());
    return true;
}

void ContactListPage::SetFindText(const QString& text) {
    if (text == findText_) return;
    findText_ = text;
    foldedFind_ = FoldForFinding(text);
    Caption().SetSubtitle(
        text.isEmpty() ? QString()
                       : QStringLiteral("\u201C%1\u201D").arg(SingleLine(text.toStdU16String())));
    heldRebuild_ = false;  // the rebuild below takes in whatever waited
    RebuildNow();
    if (!findText_.isEmpty()) {
        FocusItem(FirstListedRow());  // what Enter opens
    } else if (IsLaidOut(FocusedItem())) {
        ScrollIntoView(FocusedItem()->Rect(), false);
    }
}

void ContactListPage::ToggleGroup(GroupRow& row) {
    // Never the profile's lock here: a session may hold it for a whole burst.
    const std::optional<bool> expanded = contacts_.ToggleVirtualGroup(row.Name());
    row.expanded = expanded.value_or(!row.expanded);
    // The host lays the page out again right after; the headers already know their state.
    rebuildPending_.store(false);
}

void ContactListPage::ToggleRooms() {
    const bool expanded = !roomsHeading_.expanded;
    roomsHeading_.expanded = expanded;
    Options().ClistRoomsExpanded = expanded ? 1 : 0;
    // Stored by the profile's writer: the window never waits for the profile.
    Database().Defer([](CDatabase&) { Options().SaveAll(); });
}

ViewPage* ContactListPage::RoomPageChosen(int32_t accountId, const RoomPtr& room) {
    CAccount* account = accounts_.Find(accountId);
    if (account == nullptr || !account->Enabled()) return nullptr;
    const RoomPtr chosen = room;  // the find text going may drop the row that holds it
    SetFindText(QString());
    if (!rooms_) rooms_ = std::make_unique<RoomsPage>(accounts_);
    return rooms_->PageOf(*account, chosen);
}

}  // namespace zul
