// Server-side list (family 0x13): the dispatcher of the list SNACs of the running session,
// and the edits another place of the account made, which the server passes on.
#include <optional>
#include <utility>

#include "platform/log.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/server_list_item.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/packet.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

event::ListEdit::Change ChangeOf(uint16_t subtype) {
    switch (subtype) {
        case kItemAdd:
            return event::ListEdit::kAdded;
        case kItemChange:
            return event::ListEdit::kChanged;
        default:
            return event::ListEdit::kRemoved;
    }
}

// SNAC(0x13,0x08/0x09/0x0A) from the server: an edit another place of this account made,
// which servers that keep several sessions pass on. Its buddies and groups go to the account
// as a download's do, and a removal takes what it names away; the privacy and picture items
// are the session's.
void HandleRelayedEdit(COscar& session, const COscarPacket& frame) {
    // Our own edits are answered with 0x13,0x0E; one of our request ids is not another place's.
    const uint32_t requestId = frame.requestId();
    if ((requestId & 0x80000000u) == 0 &&
        session.Pending().Find(static_cast<uint16_t>(requestId & 0xFFFF)))
        return;
    event::ListEdit edit{.change = ChangeOf(frame.subtype())};
    const bool removal = edit.change == event::ListEdit::kRemoved;
    for (const ServerListItem& item : ReadEditItems(frame.snacData())) {
        if (std::optional<event::ListItem> named = ListItemEvent(item)) {
            if (!removal && named->kind == event::ListItem::kBuddy)
                KeepOtherBuddyTlvs(session, item);
            edit.items.push_back(std::move(*named));
        } else if (!removal) {
            TakeSessionItem(session, item);
        } else if (item.type == listitem::kPicture && item.itemId == session.PictureItemId()) {
            session.SetPictureItemId(0);
        }
    }
    if (!edit.items.empty()) session.Apply(edit);
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
