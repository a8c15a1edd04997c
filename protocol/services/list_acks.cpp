// The server's answers to the edits of the list (SNAC 0x13,0x0E): the store takes what the
// server took, and the user is told what it refused.
#include <optional>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/server_list_item.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/history.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

constexpr int kStrRenameRefused = 1022;
constexpr int kStrAddRefused = 1023;
constexpr int kStrMoveRefused = 1042;
constexpr int kStrAuthForEditReason = 1052;
constexpr int kStrAuthForEditNote = 1053;
constexpr int kStrPictureRefused = 1192;
constexpr uint16_t kResultAuthRequired = 0x000E;

// Servers that check a contact's authorisation again at every change of its item refuse an
// edit of a contact that never gave it (0x000E). The contact is then marked as awaiting
// authorisation (the mark makes such servers take the item), asked for it, and the chat says
// what happens; true when the caller should send its edit again.
bool AwaitAuthorisationForEdit(COscar& session, CContact& contact, bool read, uint16_t result) {
    if (!read || result != kResultAuthRequired || contact.AwaitingAuth()) return false;
    contact.SetAwaitingAuth(1);
    contact.dbSave();
    SendAuthorisationRequest(session, contact.Login(), ResString(kStrAuthForEditReason));
    contact.AddMessage(evdir::kIncoming, ResString(kStrAuthForEditNote), 0, contact.Status(),
                       contact.Mood());
    return true;
}

// The answer to a nickname change: the contact takes the nickname, or keeps its own and the
// account says why.
void ApplyRenameAck(COscar& session, const PendingRequest& request, bool read, uint16_t result) {
    ContactPtr contact = session.Contacts().FindContact(&session, request.text);
    if (!contact) return;
    contact->SetBlockedIcon(false);
    if (AwaitAuthorisationForEdit(session, *contact, read, result)) {
        const std::string nickname(request.data.begin(), request.data.end());
        RenameBuddyOnServer(session, contact.get(), FromUtf8(nickname));
        return;
    }
    if (read && result == 0) {
        const std::string nickname(request.data.begin(), request.data.end());
        contact->SetNickname(FromUtf8(nickname));
        contact->dbSave();
        session.Contacts().Rebuild();
    } else {
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) rename refused: 0x%X", result);
        session.SetStatusText(FormatInt(ResString(kStrRenameRefused), result));
    }
    contact->Redraw();
}

// The answer to a buddy addition: stored; or, when the server wants the buddy's
// authorisation, added again with the awaiting mark and the request sent; or refused.
void ApplyAddAck(COscar& session, const PendingRequest& request, bool read, uint16_t result) {
    const std::optional<PendingAdd> add = DecodePendingAdd(request.data);
    if (!add) return;
    const bool withAuth = request.kind == kPendingBuddyAddAuth;
    if (read && result == kResultAuthRequired && !withAuth) {
        SendBuddyAdd(session, request.text, *add, true);
        return;
    }
    if (!read || result != 0) {
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) buddy addition refused: 0x%X", result);
        session.SetStatusText(FormatInt(ResString(kStrAddRefused), result));
        return;
    }
    CContacts& contacts = session.Contacts();
    if (add->newGroup) contacts.AddOrUpdateGroup(session.ID(), add->group, add->groupId);
    session.OtherBuddyTlvs().erase(add->itemId);  // a new item carries only what we gave it
    ContactFields added{.srvID = add->itemId,
                        .groupID = add->groupId,
                        .groupName = add->group,
                        .login = request.text,
                        .nickname = add->nickname,
                        .awaitingAuth = withAuth,
                        .onServer = true};
    if (ContactPtr known = contacts.FindContact(&session, request.text)) {
        added.note = known->Note();
        added.email = known->Email();
        added.phone = known->Phone();
        known->UpdateFromServer(added);
        known->dbSave();
    } else {
        contacts.AddNewContact(&session, std::move(added), true, true);
    }
    // The request for the buddy's authorisation, with the user's reason.
    if (withAuth) SendAuthorisationRequest(session, request.text, add->reason);
}

// The answer to the first half of a move (the buddy item under its new group): the contact
// takes the new group and item, then the old item leaves the server. A refusal leaves the
// contact where it was.
void ApplyMoveAck(COscar& session, const PendingRequest& request, bool read, uint16_t result) {
    const std::optional<PendingAdd> move = DecodePendingAdd(request.data);
    ContactPtr contact = session.Contacts().FindContact(&session, request.text);
    if (!move || !contact) return;
    contact->SetBlockedIcon(false);
    if (AwaitAuthorisationForEdit(session, *contact, read, result)) {
        SendMovedBuddy(session, *contact, *move, true);
        return;
    }
    if (!read || result != 0) {
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) buddy move refused: 0x%X", result);
        session.SetStatusText(FormatInt(ResString(kStrMoveRefused), result));
        contact->Redraw();
        return;
    }
    CContacts& contacts = session.Contacts();
    if (move->newGroup) contacts.AddOrUpdateGroup(session.ID(), move->group, move->groupId);
    auto& kept = session.OtherBuddyTlvs();
    if (auto it = kept.find(move->oldItemId); it != kept.end()) {
        std::vector<uint8_t> tlvs = std::move(it->second);
        kept.erase(it);
        kept[move->itemId] = std::move(tlvs);
    }
    ContactFields moved{.srvID = move->itemId,
                        .groupID = move->groupId,
                        .groupName = move->group,
                        .login = contact->Login(),
                        .nickname = contact->Nickname(),
                        .note = contact->Note(),
                        .email = contact->Email(),
                        .phone = contact->Phone(),
                        .awaitingAuth = contact->AwaitingAuth() != 0,
                        .onServer = true};
    contact->UpdateFromServer(moved);
    contact->dbSave();
    contacts.Rebuild();
    // The old item goes, and its group no longer lists it.
    SendListEdit(session, [&] {
        COscarPacket remove = COscarPacket::Snac(kFamily, kItemRemove);
        AppendListItem(
            remove,
            {.name = contact->Login(), .groupId = move->oldGroupId, .itemId = move->oldItemId});
        session.SendFrame(Link::Service, remove);
        SendGroupItem(session, GroupNameOf(session, move->oldGroupId), move->oldGroupId,
                      kItemChange, 0);
    });
}

// The answer to a group change: the store takes it, or the account says why not.
void ApplyGroupAck(COscar& session, const PendingRequest& request, bool read, uint16_t result) {
    if (request.data.size() < 2) return;
    const uint16_t groupId = static_cast<uint16_t>(request.data[0] << 8 | request.data[1]);
    const std::u16string name = FromUtf8(std::string(request.data.begin() + 2, request.data.end()));
    if (!read || result != 0) {
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) group change refused: 0x%X", result);
        session.SetStatusText(FormatInt(ResString(kStrGroupRefused), result));
        return;
    }
    CContacts& contacts = session.Contacts();
    if (request.kind == kPendingGroupDelete) {
        contacts.RemoveGroupOf(session.ID(), groupId);
        contacts.dbCleanGroups(&session);
    } else {
        contacts.AddOrUpdateGroup(session.ID(), name, groupId);
    }
    contacts.Rebuild();
}

}  // namespace

// SNAC(0x13,0x0E): the edit is done; a buddy removal that succeeded removes the contact here.
void serverlist::HandleEditAck(COscar& session, const COscarPacket& frame) {
    const uint16_t id = static_cast<uint16_t>(frame.requestId());
    std::optional<PendingRequest> request = session.Pending().Find(id);
    session.Pending().Remove(id);
    if (!request) return;
    ByteReader reader(frame.snacData());
    const uint16_t result = reader.ReadU16();
    if (request->kind == kPendingBuddyRename) {
        ApplyRenameAck(session, *request, reader.ok(), result);
        return;
    }
    if (request->kind == kPendingBuddyAdd || request->kind == kPendingBuddyAddAuth) {
        ApplyAddAck(session, *request, reader.ok(), result);
        return;
    }
    if (request->kind == kPendingBuddyMove) {
        ApplyMoveAck(session, *request, reader.ok(), result);
        return;
    }
    if (request->kind == kPendingGroupAdd || request->kind == kPendingGroupRename ||
        request->kind == kPendingGroupDelete) {
        ApplyGroupAck(session, *request, reader.ok(), result);
        return;
    }
    if (request->kind == kPendingPictureItem) {
        if (reader.ok() && result == 0) return;
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) picture item refused: 0x%X", result);
        session.AnnouncedPicture().reset();
        // A new item the server did not take is not there to be changed later.
        if (request->text == u"new") session.SetPictureItemId(0);
        session.SetStatusText(FormatInt(ResString(kStrPictureRefused), result));
        return;
    }
    if (request->kind != kPendingBuddyRemoval) return;

    CContacts& contacts = session.Contacts();
    ContactPtr contact = contacts.FindContact(&session, request->text);
    if (!contact) return;
    // Removed, or not on the server at all (0x0002): the user confirmed the deletion, so the
    // contact goes here too.
    constexpr uint16_t kItemNotFound = 0x0002;
    if (reader.ok() && (result == 0 || result == kItemNotFound)) {
        contacts.DeleteContact(contact.get());
    } else {
        WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) buddy removal refused: 0x%X", result);
        contact->SetBlockedIcon(false);
        contact->Redraw();
    }
}

void GiveUpListEdit(COscar& session, const PendingRequest& request) {
    WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) never came for a list edit of kind 0x%X",
                   static_cast<int>(request.kind));
    if (ContactPtr contact = session.Contacts().FindContact(&session, request.text)) {
        contact->SetBlockedIcon(false);
        contact->Redraw();
    }
    session.SetStatusText(ResString(COscar::kStrNoAnswer));
}

}  // namespace zul
