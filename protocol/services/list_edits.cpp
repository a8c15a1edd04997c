// The edits the user makes to the server-side list: buddies added, renamed, moved and
// removed, groups added, renamed and removed, and the picture item.
#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/server_list_item.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/avatar.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

// Idle passes a group's removal waits for its contacts to move out.
constexpr int kMaxGroupDeleteWaits = 120;
constexpr int kStrAddInvalidLogin = 1024;
constexpr uint16_t kGroupMembersTlv = 0x00C8;

// A contact's buddy item as this client knows it, under `groupId` and `itemId`: nickname,
// note, e-mail, phone and the awaiting-authorisation mark.
event::ListItem BuddyItemOf(const CContact& contact, const std::u16string& nickname,
                            uint16_t groupId, uint16_t itemId) {
    return event::ListItem{.name = contact.Login(),
                           .groupId = groupId,
                           .itemId = itemId,
                           .nickname = nickname,
                           .note = contact.Note(),
                           .email = contact.Email(),
                           .phone = contact.Phone(),
                           .awaitingAuth = contact.AwaitingAuth() != 0};
}

// What else the server had on the contact's item, to be written back with it.
std::vector<uint8_t> KeptBuddyTlvs(COscar& session, const CContact& contact) {
    const auto& kept = session.OtherBuddyTlvs();
    const auto it = kept.find(contact.SrvID());
    return it != kept.end() ? it->second : std::vector<uint8_t>();
}

}  // namespace

bool serverlist::GroupHasListedMembers(COscar& session, uint16_t groupId) {
    const std::vector<ContactPtr> contacts = session.Contacts().ContactsOf(&session);
    return std::any_of(contacts.begin(), contacts.end(), [groupId](const ContactPtr& c) {
        return c->OnServer() && c->GroupID() == groupId;
    });
}

void serverlist::SendListEdit(COscar& session, const std::function<void()>& send) {
    COscarPacket start = COscarPacket::Snac(kFamily, kEditBegin);
    session.SendFrame(Link::Service, start);
    send();
    COscarPacket end = COscarPacket::Snac(kFamily, kEditEnd);
    session.SendFrame(Link::Service, end);
}

std::vector<uint8_t> serverlist::EncodePendingAdd(const PendingAdd& add) {
    std::vector<uint8_t> data = {
        static_cast<uint8_t>(add.groupId >> 8), static_cast<uint8_t>(add.groupId),
        static_cast<uint8_t>(add.itemId >> 8), static_cast<uint8_t>(add.itemId),
        static_cast<uint8_t>(add.newGroup ? 1 : 0)};
    for (const std::u16string* text : {&add.nickname, &add.group, &add.reason}) {
        const std::string utf8 = ToUtf8(*text);
        data.insert(data.end(), utf8.begin(), utf8.end());
        data.push_back(0);
    }
    for (uint16_t id : {add.oldGroupId, add.oldItemId}) {
        data.push_back(static_cast<uint8_t>(id >> 8));
        data.push_back(static_cast<uint8_t>(id));
    }
    return data;
}

std::optional<serverlist::PendingAdd> serverlist::DecodePendingAdd(
    const std::vector<uint8_t>& data) {
    if (data.size() < 5) return std::nullopt;
    PendingAdd add;
    add.groupId = static_cast<uint16_t>(data[0] << 8 | data[1]);
    add.itemId = static_cast<uint16_t>(data[2] << 8 | data[3]);
    add.newGroup = data[4] != 0;
    size_t at = 5;
    for (std::u16string* text : {&add.nickname, &add.group, &add.reason}) {
        const auto end = std::find(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), 0);
        if (end == data.end()) return std::nullopt;
        *text = FromUtf8(std::string(data.begin() + static_cast<std::ptrdiff_t>(at), end));
        at = static_cast<size_t>(end - data.begin()) + 1;
    }
    if (data.size() != at + 4) return std::nullopt;
    add.oldGroupId = static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
    add.oldItemId = static_cast<uint16_t>(data[at + 2] << 8 | data[at + 3]);
    return add;
}

bool RenameBuddyOnServer(COscar& session, CContact* contact, const std::u16string& nickname) {
    if (contact == nullptr || contact->Removed()) return false;
    // A contact only this client knows is renamed here at once.
    if (!contact->OnServer()) {
        contact->SetNickname(nickname);
        contact->dbSave();
        session.Contacts().Rebuild();
        return true;
    }
    if (session.Status() == kStatusOffline) {
        contact->RequestRename(nickname);  // waits for the next sign-on
        return false;
    }
    const std::string nicknameUtf8 = ToUtf8(nickname);
    const uint16_t id =
        session.Pending().Add(kPendingBuddyRename, contact->Login(),
                              std::vector<uint8_t>(nicknameUtf8.begin(), nicknameUtf8.end()));
    contact->SetBlockedIcon(true);  // until the server answers
    contact->Redraw();
    const event::ListItem buddy =
        BuddyItemOf(*contact, nickname, contact->GroupID(), contact->SrvID());
    const std::vector<uint8_t> kept = KeptBuddyTlvs(session, *contact);
    try {
        SendListEdit(session, [&] {
            COscarPacket modify = COscarPacket::Snac(kFamily, kItemChange, id);
            AppendListItem(modify, buddy, kept);
            session.SendFrame(Link::Service, modify);
        });
    } catch (...) {
        session.Pending().Remove(id);
        contact->SetBlockedIcon(false);
        contact->RequestRename(nickname);  // tried again after the next sign-on
        throw;
    }
    return true;
}

bool IsValidBuddyLogin(std::u16string_view login) {
    const auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
    const auto letter = [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    };
    if (!login.empty() && std::all_of(login.begin(), login.end(), digit)) {
        return login.size() >= 5 && login.size() <= 10;
    }
    const bool email = login.find(u'@') != std::u16string_view::npos;
    if (login.size() < 3 || login.size() > (email ? 64 : 16) || !letter(login.front())) {
        return false;
    }
    return std::all_of(login.begin(), login.end(), [&](char16_t c) {
        return letter(c) || digit(c) || c == u' ' || c == u'@' || c == u'.' || c == u'_' ||
               c == u'-';
    });
}

std::u16string serverlist::GroupNameOf(COscar& session, uint16_t groupId) {
    return session.Contacts().GroupName(session.ID(), groupId);
}

void serverlist::SendGroupItem(COscar& session, const std::u16string& name, uint16_t groupId,
                               uint16_t subtype, uint16_t extraItem, uint16_t requestId) {
    std::vector<uint8_t> members;
    for (const ContactPtr& c : session.Contacts().ContactsOf(&session)) {
        if (c->OnServer() && c->GroupID() == groupId && c->SrvID() != extraItem) {
            members.push_back(static_cast<uint8_t>(c->SrvID() >> 8));
            members.push_back(static_cast<uint8_t>(c->SrvID()));
        }
    }
    if (extraItem != 0) {
        members.push_back(static_cast<uint8_t>(extraItem >> 8));
        members.push_back(static_cast<uint8_t>(extraItem));
    }
    std::vector<uint8_t> groupTlvs;
    AppendTlvBytes(groupTlvs, kGroupMembersTlv,
                   std::string_view(reinterpret_cast<const char*>(members.data()), members.size()));
    COscarPacket group = requestId != 0 ? COscarPacket::Snac(kFamily, subtype, requestId)
                                        : COscarPacket::Snac(kFamily, subtype);
    AppendListItem(group, {.kind = event::ListItem::kGroup, .name = name, .groupId = groupId},
                   groupTlvs);
    session.SendFrame(Link::Service, group);
}

void serverlist::SendBuddyAdd(COscar& session, const std::u16string& login, const PendingAdd& add,
                              bool awaitingAuth) {
    const uint16_t id = session.Pending().Add(
        awaitingAuth ? kPendingBuddyAddAuth : kPendingBuddyAdd, login, EncodePendingAdd(add));
    try {
        SendListEdit(session, [&] {
            SendGroupItem(session, add.group, add.groupId, add.newGroup ? kItemAdd : kItemChange,
                          add.itemId);
            COscarPacket buddy = COscarPacket::Snac(kFamily, kItemAdd, id);
            AppendListItem(buddy, {.name = login,
                                   .groupId = add.groupId,
                                   .itemId = add.itemId,
                                   .nickname = add.nickname,
                                   .awaitingAuth = awaitingAuth});
            session.SendFrame(Link::Service, buddy);
        });
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
}

namespace {

// A free item id drawn at random, as servers and other clients do: used by no contact and
// by neither of the items of the list's root (privacy, picture). Nothing when none is left.
std::optional<uint16_t> FreeItemId(COscar& session) {
    std::vector<bool> itemUsed(0x8000, false);
    itemUsed[0] = true;
    for (const ContactPtr& c : session.Contacts().ContactsOf(&session)) {
        if (c->SrvID() < 0x8000) itemUsed[c->SrvID()] = true;
    }
    for (const uint16_t root : {session.PermitDenyItemId(), session.PictureItemId()})
        if (root < 0x8000) itemUsed[root] = true;
    const auto freeCount = std::count(itemUsed.begin(), itemUsed.end(), false);
    if (freeCount == 0) return std::nullopt;
    auto skip = static_cast<long>(Random16() % static_cast<uint32_t>(freeCount));
    for (size_t i = 1; i < itemUsed.size(); ++i) {
        if (!itemUsed[i] && skip-- == 0) return static_cast<uint16_t>(i);
    }
    return std::nullopt;
}

// The group `add.group` names (case aside), or a new one with the lowest id the account's
// list does not use; and a free item id. False when the list has no free id left.
bool ChooseGroupAndItem(COscar& session, PendingAdd& add) {
    CContacts& contacts = session.Contacts();
    std::vector<bool> groupUsed(0x8000, false);
    groupUsed[0] = true;
    for (const CContacts::GroupEntry& g : contacts.Groups()) {
        if (g.accountID != session.ID()) continue;
        if (g.groupID < 0x8000) groupUsed[g.groupID] = true;
        if (add.groupId == 0 && EqualNoCase(g.name, add.group)) {
            add.groupId = g.groupID;
            add.group = g.name;
        }
    }
    if (add.groupId == 0) {
        add.newGroup = true;
        const auto free = std::find(groupUsed.begin(), groupUsed.end(), false);
        if (free == groupUsed.end()) return false;
        add.groupId = static_cast<uint16_t>(free - groupUsed.begin());
    }
    const std::optional<uint16_t> item = FreeItemId(session);
    if (!item) return false;
    add.itemId = *item;
    return true;
}

}  // namespace

bool AddBuddyOnServer(COscar& session, const CAccount::ContactToAdd& contact) {
    if (!IsValidBuddyLogin(contact.login)) {
        session.SetStatusText(ResString(kStrAddInvalidLogin));
        return false;
    }
    if (session.Status() == kStatusOffline) {
        session.RequestAddContact(contact);  // waits for the next sign-on
        return false;
    }
    CContacts& contacts = session.Contacts();
    if (ContactPtr known = contacts.FindContact(&session, contact.login);
        known && known->OnServer()) {
        return false;  // already on the list
    }
    PendingAdd add;
    add.nickname = contact.nickname.empty() ? contact.login : contact.nickname;
    add.group = contact.group.empty() ? u"General" : contact.group;
    add.reason = contact.reason;
    if (!ChooseGroupAndItem(session, add)) return false;
    SendBuddyAdd(session, contact.login, add, false);
    return true;
}

bool MoveBuddyOnServer(COscar& session, CContact* contact, const std::u16string& group) {
    if (contact == nullptr || contact->Removed() || group.empty()) return false;
    if (EqualNoCase(group, contact->GroupName())) return false;
    if (!contact->OnServer()) {
        // Only this client knows the contact: it joins a group the account has, at once.
        CContacts& contacts = session.Contacts();
        uint16_t groupId = 0;
        for (const CContacts::GroupEntry& g : contacts.Groups()) {
            if (g.accountID == session.ID() && EqualNoCase(g.name, group)) groupId = g.groupID;
        }
        if (groupId == 0) return false;
        contact->SetGroupID(groupId);
        contact->SetGroupName(GroupNameOf(session, groupId));
        contact->dbSave();
        contacts.Rebuild();
        return true;
    }
    if (session.Status() == kStatusOffline) {
        contact->RequestMove(group);  // waits for the next sign-on
        return false;
    }
    PendingAdd move;
    move.group = group;
    move.oldGroupId = contact->GroupID();
    move.oldItemId = contact->SrvID();
    if (!ChooseGroupAndItem(session, move)) return false;
    try {
        SendMovedBuddy(session, *contact, move, false);
    } catch (...) {
        contact->RequestMove(group);  // tried again after the next sign-on
        throw;
    }
    return true;
}

void serverlist::SendMovedBuddy(COscar& session, CContact& contact, const PendingAdd& move,
                                bool again) {
    const uint16_t id =
        session.Pending().Add(kPendingBuddyMove, contact.Login(), EncodePendingAdd(move));
    contact.SetBlockedIcon(true);  // until the server answers
    contact.Redraw();
    const event::ListItem buddy =
        BuddyItemOf(contact, contact.Nickname(), move.groupId, move.itemId);
    const std::vector<uint8_t> kept = KeptBuddyTlvs(session, contact);
    try {
        SendListEdit(session, [&] {
            SendGroupItem(session, move.group, move.groupId,
                          move.newGroup && !again ? kItemAdd : kItemChange, move.itemId);
            COscarPacket item = COscarPacket::Snac(kFamily, kItemAdd, id);
            AppendListItem(item, buddy, kept);
            session.SendFrame(Link::Service, item);
        });
    } catch (...) {
        session.Pending().Remove(id);
        contact.SetBlockedIcon(false);
        throw;
    }
}

bool ChangeGroupOnServer(COscar& session, CAccount::GroupChange& change) {
    if (session.Status() == kStatusOffline) return false;
    PendingAdd ids;  // a new group's id
    uint32_t kind = kPendingGroupAdd;
    uint16_t subtype = kItemAdd;
    switch (change.kind) {
        case CAccount::GroupChange::kAdd:
            if (change.name.empty()) return true;
            ids.group = change.name;
            if (!ChooseGroupAndItem(session, ids)) return true;
            if (!ids.newGroup) return true;  // the account has a group of that name
            change.groupId = ids.groupId;
            break;
        case CAccount::GroupChange::kRename:
            if (change.name.empty() || GroupNameOf(session, change.groupId).empty()) return true;
            kind = kPendingGroupRename;
            subtype = kItemChange;
            break;
        case CAccount::GroupChange::kDelete: {
            if (GroupNameOf(session, change.groupId).empty()) return true;
            // Its contacts leave first (their moves were asked for with the removal).
            const bool empty = !GroupHasListedMembers(session, change.groupId);
            if (!empty && ++change.waits < kMaxGroupDeleteWaits) return false;
            if (!empty) {
                session.SetStatusText(FormatInt(ResString(kStrGroupRefused), 0));
                return true;
            }
            change.name = GroupNameOf(session, change.groupId);
            kind = kPendingGroupDelete;
            subtype = kItemRemove;
            break;
        }
    }
    const std::string name = ToUtf8(change.name);
    std::vector<uint8_t> data = {static_cast<uint8_t>(change.groupId >> 8),
                                 static_cast<uint8_t>(change.groupId)};
    data.insert(data.end(), name.begin(), name.end());
    const uint16_t id = session.Pending().Add(kind, change.name, std::move(data));
    try {
        SendListEdit(session, [&] {
            // A renamed group keeps its members; a new or emptied one has none to list.
            if (change.kind == CAccount::GroupChange::kRename) {
                SendGroupItem(session, change.name, change.groupId, subtype, 0, id);
            } else {
                COscarPacket item = COscarPacket::Snac(kFamily, subtype, id);
                AppendListItem(item, {.kind = event::ListItem::kGroup,
                                      .name = change.name,
                                      .groupId = change.groupId});
                session.SendFrame(Link::Service, item);
            }
        });
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
    return true;
}

void SendOwnPictureItem(COscar& session) {
    const std::vector<uint8_t> picture = session.OwnerAvatar();
    uint16_t itemId = session.PictureItemId();
    const bool fresh = itemId == 0;
    if (picture.empty() && fresh) return;  // no picture here and none announced: nothing to do
    if (fresh) {
        const std::optional<uint16_t> free = FreeItemId(session);
        if (!free) return;
        itemId = *free;
    }
    // Flags, hash length, hash: the picture's MD5, or the marker servers take for "none".
    std::string info;
    std::optional<std::array<uint8_t, 16>> hash;
    if (picture.empty()) {
        info = std::string("\x00\x05\x02\x01\xD2\x04\x72", 7);
    } else {
        hash = MD5Of(picture);
        info = std::string("\x01\x10", 2);
        info.append(reinterpret_cast<const char*>(hash->data()), hash->size());
    }
    std::vector<uint8_t> tlvs;
    AppendTlvBytes(tlvs, kPictureInfoTlv, info);
    const uint16_t id = session.Pending().Add(kPendingPictureItem, fresh ? u"new" : u"");
    try {
        SendListEdit(session, [&] {
            COscarPacket item = COscarPacket::Snac(kFamily, fresh ? kItemAdd : kItemChange, id);
            AppendServerListItem(item, kPictureItemName, 0, itemId, listitem::kPicture, tlvs);
            session.SendFrame(Link::Service, item);
        });
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
    session.SetPictureItemId(itemId);
    session.AnnouncedPicture() = hash;
    session.SetPictureUploadOwed(false);
}

bool RemoveBuddyFromServer(COscar& session, CContact* contact) {
    if (contact == nullptr) return false;
    CContacts& contacts = session.Contacts();
    // Nothing on the server to remove: the deletion is only local.
    if (!contact->OnServer()) return contacts.DeleteContact(contact);
    // Offline the request waits for the next sign-on.
    if (session.Status() == kStatusOffline) {
        contact->MarkPendingAction();
        return false;
    }

    const event::ListItem buddy{.name = contact->Login(),
                                .groupId = contact->GroupID(),
                                .itemId = contact->SrvID(),
                                .nickname = contact->Nickname()};
    const uint16_t id = session.Pending().Add(kPendingBuddyRemoval, buddy.name);
    contact->SetBlockedIcon(true);  // until the server answers
    contact->Redraw();
    try {
        SendListEdit(session, [&] {
            COscarPacket remove = COscarPacket::Snac(kFamily, kItemRemove, id);
            AppendListItem(remove, buddy);
            session.SendFrame(Link::Service, remove);
        });
    } catch (...) {
        session.Pending().Remove(id);
        contact->SetBlockedIcon(false);
        contact->MarkPendingAction();  // tried again after the next sign-on
        throw;
    }
    return true;
}

}  // namespace zul
