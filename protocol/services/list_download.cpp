// The server-side list downloaded at sign-on (and again on the running session) and its
// reconciliation with the local contact store.
#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/server_list_item.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/login.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/database.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

// Items of a list (and contacts of its reconciliation) handled between two looks at a stop:
// a Disconnect or the end of the program in the middle of a list of 65,535 items waits for
// a few milliseconds of it, not for the rest.
constexpr size_t kItemsBetweenStopChecks = 256;

void ThrowIfStopRequested(const COscar& session, size_t done) {
    if (done % kItemsBetweenStopChecks == 0 && session.StopRequested()) {
        throw CError(u"SNAC(0x13,0x06)", sockerr::kInterrupted);
    }
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

void ApplyBuddy(COscar& session, const ServerListItem& item, ListDownload& download) {
    const std::optional<event::ListItem> buddy = ListItemEvent(item);
    if (!buddy) return;  // no contact can be made of a nameless buddy
    KeepOtherBuddyTlvs(session, item);
    const ContactPtr contact =
        session.OnServerListBuddy(*buddy, download.storedIDs ? &*download.storedIDs : nullptr);
    if (contact) {
        download.listed.push_back(contact);
    } else {
        download.buddies.push_back(item.name);
    }
}

}  // namespace

void serverlist::KeepOtherBuddyTlvs(COscar& session, const ServerListItem& item) {
    std::vector<uint8_t> other = OtherTlvs(item, IsEditedBuddyTlv);
    auto& kept = session.OtherBuddyTlvs();
    if (other.empty())
        kept.erase(item.itemId);
    else
        kept[item.itemId] = std::move(other);
}

void serverlist::TakeSessionItem(COscar& session, const ServerListItem& item) {
    switch (item.type) {
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

namespace {

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
        default:
            TakeSessionItem(session, item);
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

}  // namespace

// A list reply on the running session: parsed where it arrived; reconciled after the last.
void serverlist::HandleListReply(COscar& session, const COscarPacket& frame) {
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
    if (frame.flags() & snac::kFlagMoreFollows) {
        KeepRunningDownload(session, std::move(download));
        return;
    }
    if (!download.abandoned) Reconcile(session, download);
}

void ReceiveServerList(COscar& session) {
    TakeRunningDownload(session);  // a download cut off in an earlier session is void
    session.OtherBuddyTlvs().clear();
    ListDownload download;
    COscarPacket frame;
    for (;;) {
        // The list cannot be done without: a refusal ends the sign-on with the server's code.
        if (!session.ReceiveReply(frame, kFamily, {kReply, kUnchanged}, kQuery)) {
            ByteReader error(frame.snacData());
            throw CError(u"ReceiveServerList", errcode::kSignOnStepRefused - error.ReadU16());
        }
        if (frame.subtype() == kUnchanged) break;  // unchanged since the client's copy
        ApplyListReply(session, frame, download);
        // The stored list is kept as it is: nothing is reconciled against a cut download.
        if (download.PastBounds()) throw CError(u"ReceiveServerList", errcode::kListTooLarge);
        if (!(frame.flags() & snac::kFlagMoreFollows)) break;
    }
    Reconcile(session, download);
}

}  // namespace zul
