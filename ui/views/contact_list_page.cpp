#include "ui/views/contact_list_page.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

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
#include "ui/views/chat_page.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

constexpr int kTextContacts = 112;
constexpr int kTextView = 120;
constexpr int kTextDeleteContact = 119;
constexpr int kTextRenameTitle = 305;
constexpr int kTextNicknameLabel = 306;
constexpr int kTextAddTitle = 307;
constexpr int kTextLoginLabel = 308;
constexpr int kTextGroupLabel = 309;
constexpr int kTextReasonLabel = 310;
constexpr int kTextReasonDefault = 311;
constexpr int kTextAccountLabel = 312;
constexpr int kTextGrant = 313;
constexpr int kTextDeny = 314;
constexpr int kTextNoneOnline = 301;
// Decoded avatars kept at a time; the others are decoded again when drawn.
constexpr size_t kAvatarCacheLimit = 256;

int RowLevel() {
    return std::clamp<int32_t>(Options().ClistTextSize, 0, 4);
}

bool TwoLineLayout(int view) {
    return view == kLayoutTiles || view == kLayoutDetails;
}
bool TwoColumnLayout(int view) {
    return view == kLayoutTiles || view == kLayoutIcons;
}

}  // namespace

// ---- Rows ----------------------------------------------------------------------------------

ContactRow::ContactRow(ContactListPage& page, ContactPtr contact)
    : ListItem(kOpensPage), page_(page), contact_(std::move(contact)) {}

ViewPage* ContactRow::Activate(int) {
    return page_.ChatPageFor(contact_);
}

GroupRow::GroupRow(ContactListPage& page, std::u16string name)
    : ListItem(kTogglesInPlace), page_(page), name_(std::move(name)) {}

ViewPage* GroupRow::Activate(int) {
    page_.ToggleGroup(*this);
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
    RebuildNow();
}

ContactListPage::~ContactListPage() {
    contacts_.SetView(nullptr);
    if (Host() != nullptr) Host()->RemovePage(this, MainWindow::kRemoveThenJump);
    chats_.clear();
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
    ChatPage* chat = FindChatPage(contact);
    return chat != nullptr && chat->Host() != nullptr;
}

ContactRow* ContactListPage::RowOf(const CContact* contact) const {
    auto it = rows_.find(contact);
    return it == rows_.end() ? nullptr : it->second.get();
}

GroupRow* ContactListPage::HeaderOf(const std::u16string& name) const {
    auto it = headers_.find(name);
    return it == headers_.end() ? nullptr : it->second.get();
}

std::vector<CContact*> ContactListPage::ListedContacts() const {
    std::vector<CContact*> listed;
    for (ListItem* item : laidOut_)
        if (item->Kind() == ListItem::kOpensPage)
            listed.push_back(&static_cast<ContactRow*>(item)->Contact());
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
    bool rebuild = rebuildPending_.exchange(false) || removed || CurrentShape() != shape_;
    const bool showOffline = Options().ClistShowOffline != 0;
    std::vector<std::pair<ContactRow*, ContactSortKey>> changed;
    for (const CContact* contact : redraws) {
        if (rebuild) break;
        ContactRow* row = RowOf(contact);
        if (row == nullptr) {  // a contact the list has not met yet
            rebuild = true;
            break;
        }
        ContactSortKey now = SortKeyOf(row->Contact(), ChatOpen(contact));
        const ContactSortKey& was = row->key;
        // Anything that can move the row or show or hide it needs the whole list again.
        if (IsListed(now, showOffline) != IsListed(was, showOffline) || now.name != was.name ||
            now.status != was.status || now.HasUnread() != was.HasUnread() ||
            now.Attention() != was.Attention() || now.messages != was.messages) {
            rebuild = true;
            break;
        }
        changed.emplace_back(row, std::move(now));
    }
    if (rebuild) {
        RebuildNow();
        return true;
    }
    // A picture that came or went since the layout gets its place (or loses it) here.
    const bool avatars = Options().ClistShowAvatars != 0;
    for (auto& [row, key] : changed) {
        row->key = std::move(key);
        row->PlaceAvatar(avatars);
        RedrawItem(row);
    }
    return !changed.empty();
}

void ContactListPage::RebuildNow() {
    if (rebuilding_) {  // a page leaving the host re-entered us; the outer rebuild goes on
        rebuildPending_.store(true);
        return;
    }
    rebuilding_ = true;
    rebuildPending_.store(false);
    std::vector<std::unique_ptr<ChatPage>> gone;
    {
        CanvasLock captionGuard(Caption());
        CanvasLock pageGuard(*this);
        Collect(gone);
    }
    Relayout();
    // Chat pages of deleted contacts leave the host only now: leaving may switch pages.
    gone.clear();
    rebuilding_ = false;
}

// Takes the contacts and groups from the store, keeps a row per contact and a header per
// group name, and sorts what is listed into sections.
void ContactListPage::Collect(std::vector<std::unique_ptr<ChatPage>>& gone) {
    shape_ = CurrentShape();
    // Nothing is drawn from the old lists while rows go away below.
    laidOut_.clear();
    sections_.clear();
    std::vector<ContactPtr> contacts;
    std::vector<std::pair<std::u16string, bool>> groups;
    {
        std::lock_guard lock(contacts_.Mutex());
        contacts = contacts_.ContactList();
        for (const auto& group : contacts_.VirtualGroupList())
            groups.emplace_back(group->Name(), group->Expanded());
    }

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
    for (auto it = chats_.begin(); it != chats_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        gone.push_back(std::move(it->second));
        it = chats_.erase(it);
    }

    const bool showOffline = shape_.offline;
    std::vector<ContactRow*> listed;
    listed.reserve(contacts.size());
    for (const ContactPtr& c : contacts) {
        auto& row = rows_[c.get()];
        if (!row) row = std::make_unique<ContactRow>(*this, c);
        row->key = SortKeyOf(*c, ChatOpen(c.get()));
        if (IsListed(row->key, showOffline))
            listed.push_back(row.get());
        else
            row->ClearRect();
    }
    if (auto* focused = dynamic_cast<ContactRow*>(FocusedItem());
        focused != nullptr && std::find(listed.begin(), listed.end(), focused) == listed.end())
        FocusItem(nullptr);

    const int sort = shape_.sort;
    const bool E = shape_.eventsOnTop;
    const bool S = shape_.separate;
    auto order = [sort, E, S](const ContactRow* a, const ContactRow* b) {
        return CompareContacts(a->key, b->key, sort, E, S) < 0;
    };

    if (!shape_.groups) {
        std::sort(listed.begin(), listed.end(), order);
        sections_.push_back(Section{nullptr, std::move(listed)});
        for (auto& [name, header] : headers_) header->ClearRect();
        if (dynamic_cast<GroupRow*>(FocusedItem()) != nullptr) FocusItem(nullptr);
        return;
    }

    // One header per group name, in the order of the groups; counts over all its contacts.
    std::map<std::u16string, size_t, NoCaseLess> byName;
    std::vector<Section> grouped;
    for (auto& [name, expanded] : groups) {
        if (byName.count(name) != 0) continue;
        auto& header = headers_[name];
        if (!header) header = std::make_unique<GroupRow>(*this, name);
        header->expanded = expanded;
        header->total = 0;
        header->offline = 0;
        byName.emplace(name, grouped.size());
        grouped.push_back(Section{header.get(), {}});
    }
    Section loose;  // contacts whose group has no header
    for (auto& [contact, row] : rows_) {
        auto it = byName.find(row->Contact().GroupName());
        if (it == byName.end()) continue;
        GroupRow* header = grouped[it->second].header;
        ++header->total;
        if (!row->key.Online()) ++header->offline;
    }
    for (ContactRow* row : listed) {
        auto it = byName.find(row->Contact().GroupName());
        (it == byName.end() ? loose : grouped[it->second]).members.push_back(row);
    }
    for (auto it = headers_.begin(); it != headers_.end();) {
        if (byName.count(it->first) != 0) {
            it->second->ClearRect();
            ++it;
            continue;
        }
        if (FocusedItem() == it->second.get()) FocusItem(nullptr);
        it = headers_.erase(it);
    }
    if (!loose.members.empty()) {
        std::sort(loose.members.begin(), loose.members.end(), order);
        sections_.push_back(std::move(loose));
    }
    for (Section& section : grouped) {
        if (section.members.empty() && !shape_.emptyGroups) continue;
        std::sort(section.members.begin(), section.members.end(), order);
        sections_.push_back(std::move(section));
    }
    if (auto* header = dynamic_cast<GroupRow*>(FocusedItem());
        header != nullptr && header->Rect().isEmpty()) {
        const bool shown = std::any_of(sections_.begin(), sections_.end(),
                                       [header](const Section& s) { return s.header == header; });
        if (!shown) FocusItem(nullptr);
    }
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
    for (Section& section : sections_) {
        const bool open = section.header == nullptr || section.header->expanded;
        if (section.header != nullptr) {
            section.header->SetRect(QRect(0, y, width, headerHeight));
            laidOut_.push_back(section.header);
            y += headerHeight;
        }
        int column = 0;
        for (ContactRow* row : section.members) {
            if (!open) {
                row->ClearRect();
                continue;
            }
            QRect r = twoColumns ? (column == 0 ? QRect(0, y, half, rowHeight)
                                                : QRect(half, y, width - half, rowHeight))
                                 : QRect(0, y, width, rowHeight);
            row->SetRect(r);
            laidOut_.push_back(row);
            row->PlaceAvatar(avatars);
            if (!twoColumns || column == 1) {
                y += rowHeight;
                column = 0;
            } else {
                column = 1;
            }
        }
        if (column == 1) y += rowHeight;  // the group ended on a left-hand item
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
                     painter.fontMetrics().elidedText(text, Qt::ElideRight, textRect.width()));
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
    const QString name = painter.fontMetrics().elidedText(SingleLine(contact.DisplayName()),
                                                          Qt::ElideRight, textWidth);
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
        painter.drawText(lineRect, Qt::AlignVCenter | Qt::AlignLeft,
                         painter.fontMetrics().elidedText(SingleLine(contact.StatusLine()),
                                                          Qt::ElideRight, lineRect.width()));
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

QString ContactListPage::EmptyText() {
    return ResText(kTextNoneOnline);
}

bool ContactListPage::ChangedSinceLastPaint() {
    const bool changed = ViewPage::ChangedSinceLastPaint();
    if (changed || CurrentShape() != shape_) Sync();
    return changed;
}

void ContactListPage::SlowTick() {
    contacts_.Tick();  // ages the marks; a mark that clears redraws its contact
    // The blink phase flips while any listed contact has attention.
    bool attention = false;
    for (ListItem* item : laidOut_) {
        if (item->Kind() != ListItem::kOpensPage) continue;
        CContact& c = static_cast<ContactRow*>(item)->Contact();
        if (c.History().UnreadCount() > 0 || c.JustCameOnline() || c.Typing()) {
            attention = true;
            break;
        }
    }
    if (attention) {
        blinkOn_ = !blinkOn_;
        for (ListItem* item : laidOut_) {
            if (item->Kind() != ListItem::kOpensPage) continue;
            CContact& c = static_cast<ContactRow*>(item)->Contact();
            if (c.History().UnreadCount() > 0 || c.JustCameOnline() || c.Typing()) RedrawItem(item);
        }
    }
    Sync();
}

void ContactListPage::Activated() {
    Sync();
}

bool ContactListPage::LeftSoftKey(QString& label) {
    label = ResText(kTextContacts);
    return false;
}

void ContactListPage::FillMenuPopup(QMenu& menu, QAction* before) {
    const MenuResource resource = UiMenu(menuid::kContactsView);
    const MenuNode* popup = resource.FindPopup(u"ContactsView");
    if (popup == nullptr) return;
    auto* view = new QMenu(ResText(kTextView), &menu);
    FillMenu(*view, *popup);
    const COptions& o = Options();
    MarkCheck(*view, clistcmd::kShowGroups, o.ClistShowGroups != 0);
    MarkCheck(*view, clistcmd::kShowOffline, o.ClistShowOffline != 0);
    MarkCheck(*view, clistcmd::kShowAvatars, o.ClistShowAvatars != 0);
    MarkRadios(*view,
               {{clistcmd::kSortActivity, kSortByActivity},
                {clistcmd::kSortStatus, kSortByStatus},
                {clistcmd::kSortName, kSortByName}},
               o.ClistSortType);
    MarkCheck(*view, clistcmd::kEventsOnTop, o.ClistEventsOnTop != 0);
    MarkCheck(*view, clistcmd::kSeparateOffline, o.ClistSeparateOffline != 0);
    MarkRadios(*view,
               {{clistcmd::kSizeLargest, 0},
                {clistcmd::kSizeLarger, 1},
                {clistcmd::kSizeMedium, 2},
                {clistcmd::kSizeSmaller, 3},
                {clistcmd::kSizeSmallest, 4}},
               o.ClistTextSize);
    MarkRadios(*view,
               {{clistcmd::kViewTiles, kLayoutTiles},
                {clistcmd::kViewIcons, kLayoutIcons},
                {clistcmd::kViewList, kLayoutList},
                {clistcmd::kViewDetails, kLayoutDetails}},
               o.ClistViewType);
    menu.insertMenu(before, view);
}

void ContactListPage::ChangeOption(OptionInt& option, int32_t value) {
    option = value;
    Options().SaveAll();
    RebuildNow();
}

void ContactListPage::Command(int id) {
    COptions& o = Options();
    auto toggle = [this](OptionInt& flag) { ChangeOption(flag, flag != 0 ? 0 : 1); };
    auto sortBy = [this, &o](int type) {
        o.ClistSortType = static_cast<uint8_t>(type);
        Options().SaveAll();
        RebuildNow();
    };
    switch (id) {
        case clistcmd::kAddContact:
            AddContact();
            break;
        case clistcmd::kShowGroups:
            toggle(o.ClistShowGroups);
            break;
        case clistcmd::kShowOffline:
            toggle(o.ClistShowOffline);
            break;
        case clistcmd::kShowAvatars:
            toggle(o.ClistShowAvatars);
            break;
        case clistcmd::kShowEmptyGroups:
            toggle(o.ClistShowEmptyGroups);
            break;
        case clistcmd::kEventsOnTop:
            toggle(o.ClistEventsOnTop);
            break;
        case clistcmd::kSeparateOffline:
            toggle(o.ClistSeparateOffline);
            break;
        case clistcmd::kSortActivity:
            sortBy(kSortByActivity);
            break;
        case clistcmd::kSortStatus:
            sortBy(kSortByStatus);
            break;
        case clistcmd::kSortName:
            sortBy(kSortByName);
            break;
        case clistcmd::kSizeLargest:
            ChangeOption(o.ClistTextSize, 0);
            break;
        case clistcmd::kSizeLarger:
            ChangeOption(o.ClistTextSize, 1);
            break;
        case clistcmd::kSizeMedium:
            ChangeOption(o.ClistTextSize, 2);
            break;
        case clistcmd::kSizeSmaller:
            ChangeOption(o.ClistTextSize, 3);
            break;
        case clistcmd::kSizeSmallest:
            ChangeOption(o.ClistTextSize, 4);
            break;
        case clistcmd::kViewTiles:
            ChangeOption(o.ClistViewType, kLayoutTiles);
            break;
        case clistcmd::kViewIcons:
            ChangeOption(o.ClistViewType, kLayoutIcons);
            break;
        case clistcmd::kViewList:
            ChangeOption(o.ClistViewType, kLayoutList);
            break;
        case clistcmd::kViewDetails:
            ChangeOption(o.ClistViewType, kLayoutDetails);
            break;
        default:
            break;
    }
}

bool ContactListPage::FillContextMenu(QMenu& menu) {
    auto* row = dynamic_cast<ContactRow*>(FocusedItem());
    if (row == nullptr) return false;  // headers: none
    const MenuResource resource = UiMenu(menuid::kContactMenu);
    const MenuNode* popup = resource.FindPopup(u"ContactMenu");
    if (popup == nullptr) return false;
    // A contact waiting for our authorisation gets the answers first.
    if (row->Shared()->AuthAsked()) {
        menu.addAction(ResText(kTextGrant))->setData(clistcmd::kGrantAuthorisation);
        menu.addAction(ResText(kTextDeny))->setData(clistcmd::kDenyAuthorisation);
        menu.addSeparator();
    }
    FillMenu(menu, *popup);
    return true;
}

void ContactListPage::ContextCommand(int id) {
    auto* row = dynamic_cast<ContactRow*>(FocusedItem());
    if (row == nullptr) return;
    const ContactPtr contact = row->Shared();
    switch (id) {
        case clistcmd::kSendMessage:
            OpenPage(ChatPageFor(contact));
            break;
        case clistcmd::kDelete:
            if (ConfirmDeletion(Host(), kTextDeleteContact)) DeleteContact(contact);
            break;
        case clistcmd::kRename:
            RenameContact(contact);
            break;
        case clistcmd::kGrantAuthorisation:
        case clistcmd::kDenyAuthorisation:
            // Sent by the account on its idle pass.
            contact->RequestAuthAnswer(id == clistcmd::kGrantAuthorisation);
            contact->SetAuthAsked(false);
            Sync();
            break;
        default:
            break;  // details carry no action here yet
    }
}

void ContactListPage::AddContact() {
    std::vector<CAccount*> enabled;
    {
        std::lock_guard lock(accounts_.Mutex());
        for (const auto& account : accounts_.List()) {
            if (account->Enabled()) enabled.push_back(account.get());
        }
    }
    if (enabled.empty()) return;
    CAccount* account = enabled.front();
    if (enabled.size() > 1) {
        QStringList names;
        for (CAccount* a : enabled) names << QString::fromStdU16String(a->Description());
        const std::optional<int> chosen =
            AskChoice(Host(), kTextAddTitle, kTextAccountLabel, names);
        if (!chosen || *chosen < 0 || *chosen >= static_cast<int>(enabled.size())) return;
        account = enabled[static_cast<size_t>(*chosen)];
    }
    const std::optional<QString> login = AskText(Host(), kTextAddTitle, kTextLoginLabel, {});
    if (!login || login->trimmed().isEmpty()) return;
    const std::optional<QString> nickname =
        AskText(Host(), kTextAddTitle, kTextNicknameLabel, login->trimmed());
    if (!nickname) return;
    // The account's first group is offered; a new name makes a new group.
    QString firstGroup;
    {
        std::lock_guard lock(contacts_.Mutex());
        for (const auto& g : contacts_.GroupList()) {
            if (g->AccountID() == account->ID()) {
                firstGroup = QString::fromStdU16String(g->Name());
                break;
            }
        }
    }
    const std::optional<QString> group =
        AskText(Host(), kTextAddTitle, kTextGroupLabel, firstGroup);
    if (!group) return;
    const std::optional<QString> reason =
        AskText(Host(), kTextAddTitle, kTextReasonLabel, ResText(kTextReasonDefault));
    if (!reason) return;
    account->RequestAddContact({login->trimmed().toStdU16String(),
                                nickname->trimmed().toStdU16String(),
                                group->trimmed().toStdU16String(), reason->toStdU16String()});
}

void ContactListPage::RenameContact(const ContactPtr& contact) {
    const QString current = QString::fromStdU16String(contact->Nickname());
    const std::optional<QString> given =
        AskText(Host(), kTextRenameTitle, kTextNicknameLabel, current);
    if (!given || contact->Removed()) return;
    const QString nickname = given->trimmed();
    if (nickname.isEmpty() || nickname == current) return;
    if (!contact->OnServer()) {
        // Only this client knows the contact: renamed here at once.
        contact->SetNickname(nickname.toStdU16String());
        contact->dbSave();
        RebuildNow();
        return;
    }
    // The session sends it on its next idle pass (or after the next sign-on); the server's
    // answer decides. Until then the row shows that an action is under way.
    contact->SetBlockedIcon(true);
    contact->RequestRename(nickname.toStdU16String());
    contact->Redraw();
    Sync();
}

void ContactListPage::DeleteContact(const ContactPtr& contact) {
    if (contact->Removed()) return;
    if (contact->OnServer()) {
        // The account removes it from the server list on its next idle pass; until then the
        // row shows that an action is under way.
        contact->SetBlockedIcon(true);
        contact->MarkPendingAction();
        contact->Redraw();
        Sync();
        return;
    }
    chats_.erase(contact.get());
    if (contacts_.DeleteContact(contact.get())) RebuildNow();
}

ChatPage* ContactListPage::FindChatPage(const CContact* contact) const {
    auto it = chats_.find(contact);
    return it == chats_.end() ? nullptr : it->second.get();
}

ChatPage* ContactListPage::ChatPageFor(const ContactPtr& contact) {
    if (!contact || contact->Removed()) return nullptr;
    auto& page = chats_[contact.get()];
    if (!page) page = std::make_unique<ChatPage>(contact);
    return page.get();
}

void ContactListPage::ToggleGroup(GroupRow& row) {
    // The store's lock order: the database lock, then the store lock; held so that the
    // group found stays alive while it is toggled.
    std::lock_guard dbLock(Database().Mutex());
    std::lock_guard storeLock(contacts_.Mutex());
    if (CGroup* group = contacts_.FindVirtualGroup(row.Name())) {
        contacts_.ToggleGroup(group);
        row.expanded = group->Expanded();
    } else {
        row.expanded = !row.expanded;
    }
    // The host lays the page out again right after; the headers already know their state.
    rebuildPending_.store(false);
}

}  // namespace zul
