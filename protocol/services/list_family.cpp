// Server-side list (family 0x13): the download of the list at sign-on and its reconciliation
// with the local contact store, the list SNACs of the running session (errors, edit
// acknowledgements, authorisation requests), and the removal of a buddy from the server.
#include <algorithm>
#include <array>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/status.h"
#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/avatar.h"
#include "protocol/transport/login.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"

namespace zul {
namespace {

constexpr int kStrRenameRefused = 1022;
constexpr int kStrAddRefused = 1023;
constexpr int kStrAddInvalidLogin = 1024;
constexpr int kStrAuthGranted = 1025;
constexpr int kStrAuthDenied = 1026;
constexpr int kStrYouWereAdded = 1027;
constexpr int kStrMoveRefused = 1042;
constexpr int kStrAuthAsked = 1043;
constexpr int kStrGroupRefused = 1047;
constexpr int kStrPictureRefused = 1192;
// Idle passes a group's removal waits for its contacts to move out.
constexpr int kMaxGroupDeleteWaits = 120;
constexpr uint16_t kResultAuthRequired = 0x000E;
constexpr int kStrAuthForEditReason = 1052;
constexpr int kStrAuthForEditNote = 1053;
constexpr uint16_t kGroupMembersTlv = 0x00C8;
// Items of a list (and contacts of its reconciliation) handled between two looks at a stop:
// a Disconnect or the end of the program in the middle of a list of 65,535 items waits for
// a few milliseconds of it, not for the rest.
constexpr size_t kItemsBetweenStopChecks = 256;

void ThrowIfStopRequested(const COscar& session, size_t done) {
    if (done % kItemsBetweenStopChecks == 0 && session.StopRequested()) {
        throw CError(u"SNAC(0x13,0x06)", sockerr::kInterrupted);
    }
}

// Whether any contact on the server list is in the group.
bool GroupHasListedMembers(COscar& session, uint16_t groupId) {
    const std::vector<ContactPtr> contacts = session.Contacts().ContactsOf(&session);
    return std::any_of(contacts.begin(), contacts.end(), [groupId](const ContactPtr& c) {
        return c->OnServer() && c->GroupID() == groupId;
    });
}

// An edit of the list: what `send` writes goes between the start and end frames servers
// expect around every change.
void SendListEdit(COscar& session, const std::function<void()>& send) {
    COscarPacket start = COscarPacket::Snac(0x13, 0x11);
    session.SendFrame(Link::Service, start);
    send();
    COscarPacket end = COscarPacket::Snac(0x13, 0x12);
    session.SendFrame(Link::Service, end);
}

// What a pending buddy addition carries to its acknowledgement.
struct PendingAdd {
    uint16_t groupId = 0;
    uint16_t itemId = 0;
    bool newGroup = false;
    std::u16string nickname, group, reason;
    // A move: the item that goes once the new one is there.
    uint16_t oldGroupId = 0, oldItemId = 0;
};

std::vector<uint8_t> EncodePendingAdd(const PendingAdd& add) {
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

std::optional<PendingAdd> DecodePendingAdd(const std::vector<uint8_t>& data) {
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

ListDownload TakeRunningDownload(COscar& session) {
    std::optional<ListDownload>& running = session.RunningListDownload();
    if (!running) return ListDownload();
    ListDownload download = std::move(*running);
    running.reset();
    return download;
}

void KeepRunningDownload(COscar& session, ListDownload download) {
    session.RunningListDownload() = std::move(download);
}

// One transaction for the rows of a burst. What was stored is committed also when a handler
// raises: the store in memory already holds it, and nothing received may be lost.
class BurstTransaction {
  public:
    ~BurstTransaction() { transaction_.Commit(); }

  private:
    CTransaction transaction_;
};

bool IsEditedBuddyTlv(uint16_t type) {
    return type == buddytlv::kNickname || type == buddytlv::kNote || type == buddytlv::kEmail ||
           type == buddytlv::kPhone || type == buddytlv::kAwaitingAuth;
}

// The TLVs of an item that this client does not write itself, as a block to send back.
template <typename Edited>
std::vector<uint8_t> OtherTlvs(const ServerListItem& item, Edited edited) {
    std::vector<uint8_t> other;
    for (const Tlv& tlv : item.tlvs) {
        if (edited(tlv.type)) continue;
        AppendTlvBytes(
            other, tlv.type,
            std::string_view(reinterpret_cast<const char*>(tlv.value.data()), tlv.value.size()));
    }
    return other;
}

// What the server keeps on a buddy item besides what this client edits (times, alerts, and
// whatever other clients put there) must survive a rename.
void KeepOtherBuddyTlvs(COscar& session, const ServerListItem& item) {
    std::vector<uint8_t> other = OtherTlvs(item, IsEditedBuddyTlv);
    auto& kept = session.OtherBuddyTlvs();
    if (other.empty())
        kept.erase(item.itemId);
    else
        kept[item.itemId] = std::move(other);
}

void ApplyBuddy(COscar& session, const ServerListItem& item, ListDownload& download) {
    if (item.name.empty()) return;  // no contact can be made of a nameless buddy
    const std::u16string groupName = session.Contacts().GroupName(session.ID(), item.groupId);
    BuddyFields fields = ReadBuddyFields(item.tlvs);
    KeepOtherBuddyTlvs(session, item);
    const ContactPtr contact =
        session.OnServerListBuddy(ContactFields{.srvID = item.itemId,
                                                .groupID = item.groupId,
                                                .groupName = groupName,
                                                .login = item.name,
                                                .nickname = fields.nickname,
                                                .note = fields.note,
                                                .email = fields.email,
                                                .phone = fields.phone,
                                                .awaitingAuth = fields.awaitingAuth,
                                                .onServer = true},
                                  download.storedIDs ? &*download.storedIDs : nullptr);
    if (contact) {
        download.listed.push_back(contact);
    } else {
        download.buddies.push_back(item.name);
    }
}

void ApplyItem(COscar& session, const ServerListItem& item, ListDownload& download) {
    switch (item.type) {
        case listitem::kBuddy:
            ApplyBuddy(session, item, download);
            break;
        case listitem::kGroup:
            if (item.groupId == 0) break;  // the root group
            session.Contacts().AddOrUpdateGroup(session.ID(), item.name, item.groupId);
            download.groupIds.push_back(item.groupId);
            break;
        case listitem::kPermit:
            download.visible.push_back(item.name);
            break;
        case listitem::kDeny:
            download.invisible.push_back(item.name);
            break;
        case listitem::kIgnore:
            download.ignored.push_back(item.name);
            break;
        case listitem::kPicture:
            if (item.groupId == 0 && item.name == u"1") session.SetPictureItemId(item.itemId);
            break;
        case listitem::kSettings: {
            // The item is kept as the server has it: its mode, and the TLVs beside the mode
            // (what the user set with other clients), which the client writes back unchanged.
            session.SetPermitDenyItemId(item.itemId);
            const Tlv* mode = item.tlvs.Find(kPrivacyModeTlv);
            session.SetPrivacyMode(mode != nullptr ? mode->AsU8() : 0);
            session.SetPrivacyItemTlvs(
                OtherTlvs(item, [](uint16_t type) { return type == kPrivacyModeTlv; }));
            break;
        }
        default:
            break;
    }
}

// Parses one list reply and applies its items; a malformed reply is dropped whole.
void ApplyListReply(COscar& session, const COscarPacket& frame, ListDownload& download) {
    download.bytes += frame.snacData().size();
    std::optional<std::vector<ServerListItem>> items = ParseServerListReply(frame.snacData());
    if (!items) {
        download.incomplete = true;
        return;
    }
    download.items += items->size();
    if (download.PastBounds()) return;
    if (!download.storedIDs) {
        try {
            download.storedIDs = session.Contacts().dbLocalIDs();
        } catch (const CppSQLite3Exception&) {
            // The new contacts then count their histories when first asked.
        }
    }
    BurstTransaction transaction;
    for (size_t done = 0; done < items->size(); ++done) {
        ThrowIfStopRequested(session, done);
        const ServerListItem& item = (*items)[done];
        // An item whose TLVs were cut is kept, but the list may then have lost what the item
        // said: nothing is taken away from the store on its account.
        if (item.tlvsCut) download.incomplete = true;
        try {
            ApplyItem(session, item, download);
        } catch (const std::exception&) {
            // One item the store cannot take does not cost the others.
        }
    }
}

bool LessNoCase(const std::u16string& a, const std::u16string& b) {
    return CompareNoCase(a, b) < 0;
}

bool ContainsNoCase(const std::vector<std::u16string>& sorted, const std::u16string& name) {
    return std::binary_search(sorted.begin(), sorted.end(), name, LessNoCase);
}

// Makes the store agree with a complete download: groups that are gone are removed, and
// every contact's on-server, visible, invisible and ignored flags are set.
void Reconcile(COscar& session, ListDownload& download) {
    CContacts& contacts = session.Contacts();
    if (download.incomplete) {
        contacts.Rebuild();
        return;
    }
    for (auto* names :
         {&download.buddies, &download.visible, &download.invisible, &download.ignored}) {
        std::sort(names->begin(), names->end(), LessNoCase);
    }
    const auto byAddress = [](const ContactPtr& a, const ContactPtr& b) {
        return std::less<const CContact*>()(a.get(), b.get());
    };
    std::sort(download.listed.begin(), download.listed.end(), byAddress);
    std::sort(download.groupIds.begin(), download.groupIds.end());

    BurstTransaction transaction;
    size_t done = 0;
    for (const ContactPtr& contact : contacts.ContactsOf(&session)) {
        ThrowIfStopRequested(session, done++);
        try {
            const bool reached = std::binary_search(download.listed.begin(), download.listed.end(),
                                                    contact, byAddress);
            // The login is read only when a list of names has to be asked.
            const bool named = !reached || !download.visible.empty() ||
                               !download.invisible.empty() || !download.ignored.empty();
            const std::u16string login = named ? contact->Login() : std::u16string();
            const bool onServer = reached || ContainsNoCase(download.buddies, login);
            if (!contact->SetListFlags(onServer, ContainsNoCase(download.visible, login),
                                       ContainsNoCase(download.invisible, login),
                                       ContainsNoCase(download.ignored, login))) {
                continue;
            }
            // A contact off the server belongs to no group; otherwise its row would point
            // at a group whose row is cleaned away, and it would not load again.
            if (!onServer) contact->SetGroupID(0);
            contact->dbSave();
        } catch (const std::exception&) {
        }
    }
    // The groups go once no contact is left in one of them: a stop before this point leaves
    // them as they were.
    contacts.RemoveGroupsExcept(session.ID(), download.groupIds);
    contacts.Rebuild();
}

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

// SNAC(0x13,0x0E): the edit is done; a buddy removal that succeeded removes the contact here.
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

void SendBuddyAdd(COscar& session, const std::u16string& login, const PendingAdd& add,
                  bool awaitingAuth);

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

void SendGroupItem(COscar& session, const std::u16string& name, uint16_t groupId, uint16_t subtype,
                   uint16_t extraItem, uint16_t requestId = 0);
std::u16string GroupNameOf(COscar& session, uint16_t groupId);
void SendMovedBuddy(COscar& session, CContact& contact, const PendingAdd& move, bool again);

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
        COscarPacket remove = COscarPacket::Snac(0x13, 0x0A);
        AppendServerListItem(remove, ToUtf8(contact->Login()), move->oldGroupId, move->oldItemId,
                             listitem::kBuddy, {});
        session.SendFrame(Link::Service, remove);
        SendGroupItem(session, GroupNameOf(session, move->oldGroupId), move->oldGroupId, 0x09, 0);
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

void HandleEditAck(COscar& session, const COscarPacket& frame) {
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

// The body of an authorisation SNAC: the login, for an answer the accept byte, the reason.
// Servers send it plain; some put eight bytes before it. The plain reading is taken when it
// accounts for the whole body (a trailing word aside).
struct AuthBody {
    std::u16string login, reason;
    bool accepted = false;
};

std::optional<AuthBody> ParseAuthBody(ByteSpan data, bool withAnswer) {
    for (size_t skip : {size_t{0}, size_t{8}}) {
        ByteReader reader(data);
        reader.Skip(skip);
        const ByteSpan login = reader.ReadBytes(reader.ReadU8());
        const uint8_t answer = withAnswer ? reader.ReadU8() : 0;
        const ByteSpan reason = reader.ReadBytes(reader.ReadU16());
        if (!reader.ok() || login.empty() || reader.Remaining() > 2) continue;
        AuthBody body;
        body.login = CountedUtf8ToWide(login.data(), login.size());
        body.reason = CountedUtf8ToWide(reason.data(), reason.size());
        body.accepted = answer != 0;
        if (!IsUsableLogin(body.login)) continue;
        return body;
    }
    return std::nullopt;
}

// SNAC(0x13,0x19): someone asks for authorisation. The request and its reason are stored as
// their message, and the contact carries the question until the user grants or denies it.
void HandleAuthRequest(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), false);
    if (!body) return;
    std::u16string text = ResString(kStrAuthAsked);
    if (!body->reason.empty()) text += u" " + body->reason;
    // The contact carries the question before its message tells of it, so that the message's
    // notification offers the answers.
    const ContactPtr contact = session.SenderContact(body->login, kStatusOffline);
    if (!contact) return;
    contact->SetAuthAsked(true);
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
    contact->Redraw();
}

// SNAC(0x13,0x1B): the answer to our request. Granted clears the awaiting mark; either way
// the chat says so.
void HandleAuthAnswer(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), true);
    if (!body) return;
    ContactPtr contact = session.Contacts().FindContact(&session, body->login);
    if (!contact) return;
    if (body->accepted && contact->AwaitingAuth()) {
        contact->SetAwaitingAuth(0);
        contact->dbSave();
    }
    std::u16string text = ResString(body->accepted ? kStrAuthGranted : kStrAuthDenied);
    if (!body->reason.empty()) text += u" " + body->reason;
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
}

// SNAC(0x13,0x1C): someone added us to their list.
void HandleYouWereAdded(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), false);
    if (body) {
        session.Apply(event::Message{
            .login = body->login, .status = kStatusOffline, .text = ResString(kStrYouWereAdded)});
    }
}

// A list reply on the running session: parsed where it arrived; reconciled after the last.
void HandleListReply(COscar& session, const COscarPacket& frame) {
    ListDownload download = TakeRunningDownload(session);
    if (!download.abandoned) ApplyListReply(session, frame, download);
    if (!download.abandoned && download.PastBounds()) {
        WriteLog(kGeneralLog, u"SNAC(0x13,0x06): list download past its bounds, dropped");
        session.SetStatusText(
            FormatInt(LoginErrorText(session.EffectiveType(), errcode::kListTooLarge),
                      errcode::kListTooLarge));
        ListDownload dropped;
        dropped.abandoned = true;
        download = std::move(dropped);
    }
    if (frame.flags() & 0x0001) {
        KeepRunningDownload(session, std::move(download));
        return;
    }
    if (!download.abandoned) Reconcile(session, download);
}

// A removal another place made: only the item the store has under that group and item id
// goes (a move there adds the new item before it removes the old one).
void RemoveRelayedItem(COscar& session, const ServerListItem& item) {
    CContacts& contacts = session.Contacts();
    switch (item.type) {
        case listitem::kBuddy: {
            const ContactPtr contact = contacts.FindContact(&session, item.name);
            if (contact && contact->OnServer() && contact->GroupID() == item.groupId &&
                contact->SrvID() == item.itemId) {
                contacts.DeleteContact(contact.get());
            }
            break;
        }
        case listitem::kGroup: {
            if (item.groupId == 0 || GroupHasListedMembers(session, item.groupId)) break;
            if (contacts.RemoveGroupOf(session.ID(), item.groupId))
                contacts.dbCleanGroups(&session);
            break;
        }
        case listitem::kPicture:
            if (item.itemId == session.PictureItemId()) session.SetPictureItemId(0);
            break;
        default:
            break;
    }
}

// SNAC(0x13,0x08/0x09/0x0A) from the server: an edit another place of this account made,
// which servers that keep several sessions pass on. Its items are taken as a download's are
// (buddies, groups, the privacy and picture items); a removal takes what it names away.
void HandleRelayedEdit(COscar& session, const COscarPacket& frame) {
    // Our own edits are answered with 0x13,0x0E; one of our request ids is not another place's.
    const uint32_t requestId = frame.requestId();
    if ((requestId & 0x80000000u) == 0 &&
        session.Pending().Find(static_cast<uint16_t>(requestId & 0xFFFF)))
        return;
    ByteReader reader(frame.snacData());
    ListDownload unused;
    bool changed = false;
    while (reader.Remaining() > 0) {
        ServerListItem item;
        if (!ReadServerListItem(reader, item)) break;  // the items before the fault stand
        try {
            if (frame.subtype() == 0x0A) {
                RemoveRelayedItem(session, item);
            } else {
                ApplyItem(session, item, unused);
            }
            changed = true;
        } catch (const std::exception&) {
            // One item the store cannot take does not cost the others.
        }
    }
    if (changed) session.Contacts().Rebuild();
}

}  // namespace

void ReceiveServerList(COscar& session) {
    TakeRunningDownload(session);  // a download cut off in an earlier session is void
    session.OtherBuddyTlvs().clear();
    ListDownload download;
    COscarPacket frame;
    for (;;) {
        // The list cannot be done without: a refusal ends the sign-on with the server's code.
        if (!session.ReceiveReply(frame, 0x13, {0x06, 0x0F}, 0x04)) {
            ByteReader error(frame.snacData());
            throw CError(u"ReceiveServerList", errcode::kSignOnStepRefused - error.ReadU16());
        }
        if (frame.subtype() == 0x0F) break;  // unchanged since the client's copy
        ApplyListReply(session, frame, download);
        // The stored list is kept as it is: nothing is reconciled against a cut download.
        if (download.PastBounds()) throw CError(u"ReceiveServerList", errcode::kListTooLarge);
        if (!(frame.flags() & 0x0001)) break;
    }
    Reconcile(session, download);
}

void HandleListFamily(COscar& session, COscarPacket& frame) {
    const uint16_t subtype = frame.subtype();
    switch (subtype) {
        case 0x01:
            WriteLog(kGeneralLog, u"SNAC(0x13,0x01) ICQ_LISTS_ERROR");
            break;
        case 0x06:
            HandleListReply(session, frame);
            break;
        case 0x0E:
            HandleEditAck(session, frame);
            break;
        case 0x08:
        case 0x09:
        case 0x0A:
            HandleRelayedEdit(session, frame);
            break;
        case 0x11:
        case 0x12:
            break;  // another place's edit begins or ends
        case 0x19:
            HandleAuthRequest(session, frame);
            break;
        case 0x1B:
            HandleAuthAnswer(session, frame);
            break;
        case 0x1C:
            HandleYouWereAdded(session, frame);
            break;
        default:
            WriteLogFormat(kGeneralLog, u"Unhandled SNAC(0x13,0x%X)", subtype);
            break;
    }
}

// The TLVs of a buddy item as this client knows them: nickname, note, e-mail, phone and the
// awaiting-authorisation mark, then what else the server had on the item.
static std::vector<uint8_t> BuddyItemTlvs(COscar& session, const CContact& contact,
                                          const std::u16string& nickname) {
    std::vector<uint8_t> tlvs;
    if (!nickname.empty()) AppendTlvBytes(tlvs, buddytlv::kNickname, ToUtf8(nickname));
    if (!contact.Note().empty()) AppendTlvBytes(tlvs, buddytlv::kNote, ToUtf8(contact.Note()));
    if (!contact.Email().empty()) AppendTlvBytes(tlvs, buddytlv::kEmail, ToUtf8(contact.Email()));
    if (!contact.Phone().empty()) AppendTlvBytes(tlvs, buddytlv::kPhone, ToUtf8(contact.Phone()));
    if (contact.AwaitingAuth()) AppendTlvBytes(tlvs, buddytlv::kAwaitingAuth, {});
    const auto& kept = session.OtherBuddyTlvs();
    if (auto it = kept.find(contact.SrvID()); it != kept.end())
        tlvs.insert(tlvs.end(), it->second.begin(), it->second.end());
    return tlvs;
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
    const std::vector<uint8_t> tlvs = BuddyItemTlvs(session, *contact, nickname);
    try {
        SendListEdit(session, [&] {
            COscarPacket modify = COscarPacket::Snac(0x13, 0x09, id);
            AppendServerListItem(modify, ToUtf8(contact->Login()), contact->GroupID(),
                                 contact->SrvID(), listitem::kBuddy, tlvs);
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

void SendAuthorisationRequest(COscar& session, const std::u16string& login,
                              const std::u16string& reason) {
    const std::string name = ToUtf8(login).substr(0, 0xFF);
    const std::string text = ToUtf8(reason).substr(0, 0xFFFF);
    COscarPacket ask = COscarPacket::Snac(0x13, 0x18);
    ask.AppendU8(static_cast<uint8_t>(name.size()));
    ask.AppendBytes(name);
    ask.AppendU16(static_cast<uint16_t>(text.size()));
    ask.AppendBytes(text);
    ask.AppendU16(0x0000);
    session.SendFrame(Link::Service, ask);
}

bool AskAuthorisation(COscar& session, CContact* contact, const std::u16string& reason) {
    if (contact == nullptr || contact->Removed()) return false;
    SendAuthorisationRequest(session, contact->Login(), reason);
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

namespace {

std::u16string GroupNameOf(COscar& session, uint16_t groupId) {
    return session.Contacts().GroupName(session.ID(), groupId);
}

// A group item (0x08 new, 0x09 changed) with its member list: the on-server contacts the store
// has in the group, and `extraItem` when it is not 0; `requestId` 0 leaves the frame's own.
void SendGroupItem(COscar& session, const std::u16string& name, uint16_t groupId, uint16_t subtype,
                   uint16_t extraItem, uint16_t requestId) {
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
    COscarPacket group = requestId != 0 ? COscarPacket::Snac(0x13, subtype, requestId)
                                        : COscarPacket::Snac(0x13, subtype);
    AppendServerListItem(group, ToUtf8(name), groupId, 0, listitem::kGroup, groupTlvs);
    session.SendFrame(Link::Service, group);
}

// The items of an addition: start, the group (added when new, else updated with its new
// member list), the buddy, end.
void SendBuddyAdd(COscar& session, const std::u16string& login, const PendingAdd& add,
                  bool awaitingAuth) {
    std::vector<uint8_t> buddyTlvs;
    if (!add.nickname.empty()) AppendTlvBytes(buddyTlvs, buddytlv::kNickname, ToUtf8(add.nickname));
    if (awaitingAuth) AppendTlvBytes(buddyTlvs, buddytlv::kAwaitingAuth, {});

    const uint16_t id = session.Pending().Add(
        awaitingAuth ? kPendingBuddyAddAuth : kPendingBuddyAdd, login, EncodePendingAdd(add));
    try {
        SendListEdit(session, [&] {
            SendGroupItem(session, add.group, add.groupId, add.newGroup ? 0x08 : 0x09, add.itemId);
            COscarPacket buddy = COscarPacket::Snac(0x13, 0x08, id);
            AppendServerListItem(buddy, ToUtf8(login), add.groupId, add.itemId, listitem::kBuddy,
                                 buddyTlvs);
            session.SendFrame(Link::Service, buddy);
        });
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
}

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

namespace {

// First the buddy under its new group; the old item goes when the server has taken it, so
// that a refusal loses nothing. Sent `again` (with the awaiting mark after a refusal), a new
// group is already on the server and is updated instead.
void SendMovedBuddy(COscar& session, CContact& contact, const PendingAdd& move, bool again) {
    const uint16_t id =
        session.Pending().Add(kPendingBuddyMove, contact.Login(), EncodePendingAdd(move));
    contact.SetBlockedIcon(true);  // until the server answers
    contact.Redraw();
    std::vector<uint8_t> tlvs = BuddyItemTlvs(session, contact, contact.Nickname());
    try {
        SendListEdit(session, [&] {
            SendGroupItem(session, move.group, move.groupId, move.newGroup && !again ? 0x08 : 0x09,
                          move.itemId);
            COscarPacket buddy = COscarPacket::Snac(0x13, 0x08, id);
            AppendServerListItem(buddy, ToUtf8(contact.Login()), move.groupId, move.itemId,
                                 listitem::kBuddy, tlvs);
            session.SendFrame(Link::Service, buddy);
        });
    } catch (...) {
        session.Pending().Remove(id);
        contact.SetBlockedIcon(false);
        throw;
    }
}

}  // namespace

bool ChangeGroupOnServer(COscar& session, CAccount::GroupChange& change) {
    if (session.Status() == kStatusOffline) return false;
    PendingAdd ids;  // a new group's id
    uint32_t kind = kPendingGroupAdd;
    uint16_t subtype = 0x08;
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
            subtype = 0x09;
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
            subtype = 0x0A;
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
                COscarPacket item = COscarPacket::Snac(0x13, subtype, id);
                AppendServerListItem(item, name, change.groupId, 0, listitem::kGroup, {});
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
            COscarPacket item = COscarPacket::Snac(0x13, fresh ? 0x08 : 0x09, id);
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

void GiveUpListEdit(COscar& session, const PendingRequest& request) {
    WriteLogFormat(kGeneralLog, u"SNAC(0x13,0x0E) never came for a list edit of kind 0x%X",
                   static_cast<int>(request.kind));
    if (ContactPtr contact = session.Contacts().FindContact(&session, request.text)) {
        contact->SetBlockedIcon(false);
        contact->Redraw();
    }
    session.SetStatusText(ResString(COscar::kStrNoAnswer));
}

bool AnswerAuthorisation(COscar& session, CContact* contact, bool grant) {
    if (contact == nullptr || contact->Removed()) return false;
    const std::string login = ToUtf8(contact->Login());
    COscarPacket answer = COscarPacket::Snac(0x13, 0x1A);
    answer.AppendU8(static_cast<uint8_t>(std::min<size_t>(login.size(), 0xFF)));
    answer.AppendBytes(std::string_view(login).substr(0, 0xFF));
    answer.AppendU8(grant ? 0x01 : 0x00);
    answer.AppendU16(0x0000);  // no reason
    session.SendFrame(Link::Service, answer);
    return true;
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

    const std::u16string login = contact->Login();
    const std::u16string nickname = contact->Nickname();
    std::vector<uint8_t> tlvs;
    if (!nickname.empty()) AppendTlvBytes(tlvs, buddytlv::kNickname, ToUtf8(nickname));

    const uint16_t id = session.Pending().Add(kPendingBuddyRemoval, login);
    contact->SetBlockedIcon(true);  // until the server answers
    contact->Redraw();
    try {
        SendListEdit(session, [&] {
            COscarPacket remove = COscarPacket::Snac(0x13, 0x0A, id);
            AppendServerListItem(remove, ToUtf8(login), contact->GroupID(), contact->SrvID(),
                                 listitem::kBuddy, tlvs);
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
