#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <ctime>
#include <set>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/status.h"
#include "ui/dialogs/add_contact_sheet.h"
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

namespace {

constexpr int kTextNoAccounts = 100;
constexpr int kTextWarn = 1188;
constexpr int kTextWarnAnonymously = 1189;
constexpr int kTextLeaveRoom = 1116;

// The name a found user is offered under: the nickname, else the first and last name, else
// the login.
QString OfferedName(const FoundUser& user) {
    std::u16string name = user.nickname;
    if (name.empty()) name = user.firstName;
    if (user.nickname.empty() && !user.lastName.empty())
        name += (name.empty() ? u"" : u" ") + user.lastName;
    return QString::fromStdU16String(name.empty() ? user.login : name);
}

}  // namespace

void ContactListPage::FillMenuPopup(QMenu& menu, QAction* before) {
    const MenuResource resource = UiMenu(menuid::kContactsView);
    const MenuNode* popup = resource.FindPopup(u"ContactsView");
    if (popup == nullptr) return;
    auto* view = new QMenu(ResText(kTextView), &menu);
    FillMenu(*view, *popup);
    // Adding a contact is also an entry of the main menu itself, named as in the view menu.
    if (const QAction* add = FindMenuCommand(*view, clistcmd::kAddContact))
        InsertMenuCommand(menu, before, add->text(), clistcmd::kAddContact);
    InsertMenuCommand(menu, before, ResText(1117), roomcmd::kJoinFromList);
    InsertMenuCommand(menu, before, ResText(kTextRooms), roomcmd::kOpenRooms);
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

RoomsPage* ContactListPage::OpenRooms(bool join) {
    if (!rooms_) rooms_ = std::make_unique<RoomsPage>(accounts_);
    OpenPage(rooms_.get());
    if (join) rooms_->AskToJoin();
    return rooms_.get();
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
        case clistcmd::kFindContacts:
            FindContacts();
            break;
        case roomcmd::kOpenRooms:
        case roomcmd::kJoinFromList:
            OpenRooms(id == roomcmd::kJoinFromList);
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
    if (dynamic_cast<GroupRow*>(FocusedItem()) != nullptr) {
        AddMenuCommand(menu, ResText(kTextRenameGroup), clistcmd::kRenameGroup);
        AddMenuCommand(menu, ResText(kTextDeleteGroup), clistcmd::kDeleteGroup);
        menu.addSeparator();
        AddMenuCommand(menu, ResText(kTextAddGroup), clistcmd::kAddGroup);
        return true;
    }
    // A room: leaving it (a kept room is then no longer joined at sign-on).
    if (dynamic_cast<RoomRow*>(FocusedItem()) != nullptr) {
        AddMenuCommand(menu, ResText(kTextLeaveRoom), roomcmd::kLeave);
        return true;
    }
    auto* row = dynamic_cast<ContactRow*>(FocusedItem());
    if (row == nullptr) return false;
    const MenuResource resource = UiMenu(menuid::kContactMenu);
    const MenuNode* popup = resource.FindPopup(u"ContactMenu");
    if (popup == nullptr) return false;
    // A contact waiting for our authorisation gets the answers first.
    if (row->Shared()->AuthAsked()) {
        menu.addAction(ResText(kTextGrant))->setData(clistcmd::kGrantAuthorisation);
        menu.addAction(ResText(kTextDeny))->setData(clistcmd::kDenyAuthorisation);
        menu.addSeparator();
    }
    // One that has not answered ours yet can be asked again.
    if (row->Shared()->AwaitingAuth() != 0) {
        menu.addAction(ResText(kTextAskAgain))->setData(clistcmd::kAskAuthorisationAgain);
        menu.addSeparator();
    }
    FillMenu(menu, *popup);
    const CAccount& account = AccountOf(*row->Shared());
    if (account.EffectiveType() == acctype::kAim && account.Status() != kStatusOffline) {
        menu.addSeparator();
        AddMenuCommand(menu, ResText(kTextWarn), clistcmd::kWarn);
        AddMenuCommand(menu, ResText(kTextWarnAnonymously), clistcmd::kWarnAnonymously);
    }
    // Moving comes after renaming.
    const QList<QAction*> actions = menu.actions();
    for (qsizetype i = 0; i < actions.size(); ++i) {
        if (actions[i]->data().toInt() != clistcmd::kRename) continue;
        QAction* before = i + 1 < actions.size() ? actions[i + 1] : nullptr;
        InsertMenuCommand(menu, before, ResText(kTextMoveToGroup), clistcmd::kMoveToGroup);
        break;
    }
    return true;
}

void ContactListPage::ContextCommand(int id) {
    if (auto* header = dynamic_cast<GroupRow*>(FocusedItem())) {
        const std::u16string name = header->Name();
        if (id == clistcmd::kRenameGroup) RenameGroup(name);
        if (id == clistcmd::kDeleteGroup) DeleteGroup(name);
        if (id == clistcmd::kAddGroup) AddGroup();
        return;
    }
    if (auto* room = dynamic_cast<RoomRow*>(FocusedItem())) {
        CAccount* account = accounts_.Find(room->AccountId());
        if (id == roomcmd::kLeave && account != nullptr)
            account->RequestRoom(CAccount::RoomCommand::Leave(room->Room()->Id()));
        return;
    }
    auto* row = dynamic_cast<ContactRow*>(FocusedItem());
    if (row == nullptr) return;
    const ContactPtr contact = row->Shared();
    switch (id) {
        case clistcmd::kSendMessage:
            OpenPage(ChatPageChosen(contact));
            break;
        case clistcmd::kDelete:
            if (ConfirmDeletion(Host(), kTextDeleteContact)) DeleteContact(contact);
            break;
        case clistcmd::kRename:
            RenameContact(contact);
            break;
        case clistcmd::kMoveToGroup:
            MoveContact(contact);
            break;
        case clistcmd::kContactDetails:
            ShowDetails(contact);
            break;
        case clistcmd::kGrantAuthorisation:
        case clistcmd::kDenyAuthorisation:
            // Sent by the account on its idle pass.
            contact->RequestAuthAnswer(id == clistcmd::kGrantAuthorisation);
            contact->SetAuthAsked(false);
            Sync();
            break;
        case clistcmd::kWarn:
        case clistcmd::kWarnAnonymously:
            AccountOf(*contact).WarnContact(contact.get(), id == clistcmd::kWarnAnonymously);
            break;
        case clistcmd::kAskAuthorisationAgain:
            if (const std::optional<QString> reason =
                    AskText(Host(), kTextAskAgain, kTextReasonLabel, ResText(kTextReasonDefault)))
                contact->RequestAuthorisationAgain(reason->toStdU16String());
            break;
        default:
            break;
    }
}

ContactDetailsPage* ContactListPage::ShowDetails(const ContactPtr& contact) {
    if (!contact || contact->Removed()) return nullptr;
    if (!details_) {
        details_ = std::make_unique<ContactDetailsPage>(contact);
    } else {
        details_->SetContact(contact);
    }
    OpenPage(details_.get());
    return details_.get();
}

void ContactListPage::MoveContact(const ContactPtr& contact) {
    // The account's groups, then a new one.
    QStringList names;
    const std::u16string current = contact->GroupName();
    for (const CContacts::GroupEntry& g : contacts_.Groups()) {
        if (g.accountID == contact->AccountID() && !EqualNoCase(g.name, current))
            names << QString::fromStdU16String(g.name);
    }
    names << ResText(kTextNewGroup);
    const std::optional<int> chosen = AskChoice(Host(), kTextMoveTitle, kTextGroupLabel, names);
    if (!chosen || *chosen < 0 || *chosen >= names.size() || contact->Removed()) return;
    QString group = names[*chosen];
    if (*chosen == names.size() - 1) {
        const std::optional<QString> given = AskText(Host(), kTextMoveTitle, kTextGroupLabel, {});
        if (!given || given->trimmed().isEmpty()) return;
        group = given->trimmed();
    }
    // The account moves it on its next idle pass (after the next sign-on when offline); the
    // row shows that an action is under way until the server answers.
    if (contact->OnServer()) contact->SetBlockedIcon(true);
    contact->RequestMove(group.toStdU16String());
    contact->Redraw();
    Sync();
}

CAccount* ContactListPage::ChooseAccount(int titleId) {
    std::vector<CAccount*> enabled = accounts_.Snapshot();
    std::erase_if(enabled, [](const CAccount* account) { return !account->Enabled(); });
    if (enabled.empty()) return nullptr;
    if (enabled.size() == 1) return enabled.front();
    QStringList names;
    for (CAccount* a : enabled) names << QString::fromStdU16String(a->Description());
    const std::optional<int> chosen = AskChoice(Host(), titleId, kTextAccountLabel, names);
    if (!chosen || *chosen < 0 || *chosen >= static_cast<int>(enabled.size())) return nullptr;
    return enabled[static_cast<size_t>(*chosen)];
}

void ContactListPage::AddContact() {
    const std::vector<CAccount*> list = accounts_.Snapshot();
    if (std::none_of(list.begin(), list.end(),
                     [](const CAccount* account) { return account->Enabled(); })) {
        ShowInformation(Host(), kTextAddTitle, ResText(kTextNoAccounts));
        return;
    }
    AddContactTo(nullptr, {}, {});
}

void ContactListPage::AddContactTo(CAccount* account, const QString& login,
                                   const QString& nickname) {
    const AddContactStart start{account != nullptr ? account->ID() : 0, login.toStdU16String(),
                                nickname.toStdU16String()};
    const std::optional<AddContactResult> added = AskContactToAdd(Host(), accounts_, start);
    if (!added) return;
    if (CAccount* chosen = accounts_.Find(added->accountId))
        chosen->RequestAddContact(added->contact);
}

void ContactListPage::FindContacts() {
    CAccount* account = ChooseAccount(kTextFindTitle);
    if (account == nullptr) return;
    // AIM has no directory to search: the form asks for the name to add.
    if (account->EffectiveType() == acctype::kAim) {
        AddContactTo(account, {}, {});
        return;
    }
    const QStringList ways{ResText(kTextByNumber), ResText(kTextNickname), ResText(kTextEmail)};
    const std::optional<int> way = AskChoice(Host(), kTextFindTitle, kTextSearchBy, ways);
    if (!way || *way < 0 || *way > 2) return;
    const std::optional<QString> text = AskText(Host(), kTextFindTitle, kTextSearchFor, {});
    if (!text || text->trimmed().isEmpty()) return;
    static constexpr DirectorySearch::By kBy[] = {
        DirectorySearch::kNumber, DirectorySearch::kNickname, DirectorySearch::kEmail};
    account->RequestSearch(kBy[*way], text->trimmed().toStdU16String());
    if (!search_) {
        search_ = std::make_unique<SearchPage>(
            accounts_,
            [this](CAccount& owner, const FoundUser& user) {
                AddContactTo(&owner, QString::fromStdU16String(user.login), OfferedName(user));
            },
            [this](const ContactPtr& contact) { return ChatPageOf(contact); });
    }
    search_->Show(account->ID(), text->trimmed());
    OpenPage(search_.get());
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

namespace {

// The groups of every account that carry a name (case aside): account id and group id.
std::vector<std::pair<int32_t, uint16_t>> GroupsNamed(CContacts& contacts,
                                                      const std::u16string& name) {
    std::vector<std::pair<int32_t, uint16_t>> found;
    for (const CContacts::GroupEntry& g : contacts.Groups())
        if (EqualNoCase(g.name, name)) found.emplace_back(g.accountID, g.groupID);
    return found;
}

}  // namespace

void ContactListPage::RenameGroup(const std::u16string& name) {
    const std::optional<QString> given =
        AskText(Host(), kTextGroupTitle, kTextGroupLabel, QString::fromStdU16String(name));
    if (!given || given->trimmed().isEmpty()) return;
    const std::u16string newName = given->trimmed().toStdU16String();
    if (newName == name) return;
    for (const auto& [accountId, groupId] : GroupsNamed(contacts_, name)) {
        if (CAccount* account = accounts_.Find(accountId))
            account->RequestGroupChange({CAccount::GroupChange::kRename, groupId, newName});
    }
}

void ContactListPage::DeleteGroup(const std::u16string& name) {
    const auto groups = GroupsNamed(contacts_, name);
    // Where its contacts go: another group of the list, or a new one.
    std::vector<ContactPtr> members;
    for (const auto& [accountId, groupId] : groups) {
        CAccount* account = accounts_.Find(accountId);
        if (account == nullptr) continue;
        for (const ContactPtr& c : contacts_.ContactsOf(account))
            if (c->OnServer() && c->GroupID() == groupId) members.push_back(c);
    }
    QString target;
    if (members.empty()) {
        if (!ConfirmDeletion(Host(), kTextDeleteEmptyGroup)) return;
    } else {
        QStringList names;
        for (const CContacts::GroupEntry& g : contacts_.Groups()) {
            const QString other = QString::fromStdU16String(g.name);
            if (!EqualNoCase(g.name, name) && !names.contains(other)) names << other;
        }
        names << ResText(kTextNewGroup);
        const std::optional<int> chosen =
            AskChoice(Host(), kTextWhereToMove, kTextGroupLabel, names);
        if (!chosen || *chosen < 0 || *chosen >= names.size()) return;
        target = names[*chosen];
        if (*chosen == names.size() - 1) {
            const std::optional<QString> given =
                AskText(Host(), kTextWhereToMove, kTextGroupLabel, {});
            if (!given || given->trimmed().isEmpty()) return;
            target = given->trimmed();
        }
    }
    for (const ContactPtr& c : members) {
        c->SetBlockedIcon(true);
        c->RequestMove(target.toStdU16String());
        c->Redraw();
    }
    for (const auto& [accountId, groupId] : groups) {
        if (CAccount* account = accounts_.Find(accountId))
            account->RequestGroupChange({CAccount::GroupChange::kDelete, groupId, {}});
    }
    Sync();
}

void ContactListPage::AddGroup() {
    CAccount* account = ChooseAccount(kTextGroupTitle);
    if (account == nullptr) return;
    const std::optional<QString> given = AskText(Host(), kTextGroupTitle, kTextGroupLabel, {});
    if (!given || given->trimmed().isEmpty()) return;
    account->RequestGroupChange(
        {CAccount::GroupChange::kAdd, 0, given->trimmed().toStdU16String()});
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
    chats_.Drop(contact.get());
    if (contacts_.DeleteContact(contact.get())) RebuildNow();
}

}  // namespace zul

namespace zul {

std::vector<ListItem*> ContactListPage::AccessibleItems() {
    return laidOut_;
}

QString ContactListPage::AccessibleText(const ListItem& item) {
    if (const auto* header = dynamic_cast<const GroupRow*>(&item)) {
        return SingleLine(header->Name()) +
               QString::fromStdU16String(FormatCounts(header->total, header->offline));
    }
    if (const auto* room = dynamic_cast<const RoomRow*>(&item))
        return SingleLine(room->Room()->Name()) + QStringLiteral(", ") + room->line;
    if (&item == &roomsHeading_) return RoomsHeadingText(roomsHeading_);
    const auto* row = dynamic_cast<const ContactRow*>(&item);
    if (row == nullptr) return {};
    const CContact& c = row->Contact();
    QString text =
        SingleLine(c.DisplayName()) + QStringLiteral(", ") +
        QString::fromStdU16String(StatusWithIdle(c.ProtocolKind(), c.Status(), c.IdleSince(),
                                                 static_cast<uint32_t>(std::time(nullptr))));
    if (const int32_t unread = c.History().UnreadCount(); unread > 0)
        text += QStringLiteral(", ") +
                ResText(kTextUnreadCount).replace(QStringLiteral("%d"), QString::number(unread));
    return text;
}

}  // namespace zul
