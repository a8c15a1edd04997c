// Server-side list (family 0x13): the dispatcher of the list SNACs of the running session,
// and the edits another place of the account made, which the server passes on.
#include <exception>
#include <vector>

#include "platform/log.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/server_list_item.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

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
            if (frame.subtype() == kItemRemove) {
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

void HandleListFamily(COscar& session, COscarPacket& frame) {
    const uint16_t subtype = frame.subtype();
    switch (subtype) {
        case kError:
            WriteLog(kGeneralLog, u"SNAC(0x13,0x01) ICQ_LISTS_ERROR");
            break;
        case kReply:
            HandleListReply(session, frame);
            break;
        case kEditAck:
            HandleEditAck(session, frame);
            break;
        case kItemAdd:
        case kItemChange:
        case kItemRemove:
            HandleRelayedEdit(session, frame);
            break;
        case kEditBegin:
        case kEditEnd:
            break;  // another place's edit begins or ends
        case kAuthAsked:
            HandleAuthRequest(session, frame);
            break;
        case kAuthAnswered:
            HandleAuthAnswer(session, frame);
            break;
        case kYouWereAdded:
            HandleYouWereAdded(session, frame);
            break;
        default:
            WriteLogFormat(kGeneralLog, u"Unhandled SNAC(0x13,0x%X)", subtype);
            break;
    }
}

}  // namespace zul
