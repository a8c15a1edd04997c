// The server-side list's SNACs as session events, without any session: the items of an edit
// another place made, and the authorisation requests and answers of other users; and the
// bodies the client writes for the same SNACs.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "accounts/session_events.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/packet.h"

namespace zul {

// The items of an edit's SNAC data (kItemAdd, kItemChange, kItemRemove): a malformed item
// ends them, the ones before it stand.
std::vector<ServerListItem> ReadEditItems(ByteSpan snacData);

// The buddy or the group an item names. Nothing for a nameless buddy, the list's root group,
// and the items that are not the store's (privacy, picture, visible, invisible, ignored).
std::optional<event::ListItem> ListItemEvent(const ServerListItem& item);

// An item as the client writes it: for a buddy its nickname, note, e-mail, phone and awaiting
// mark (those it has), then `otherTlvs`, a block of what else the item carries.
void AppendListItem(COscarPacket& frame, const event::ListItem& item, ByteSpan otherTlvs = {});

// SNAC(0x13,0x19): who asks for the user's authorisation, and why. Nothing when the body
// names no usable login.
std::optional<event::AuthorisationRequest> AuthorisationRequestEvent(ByteSpan snacData);
// SNAC(0x13,0x1B): who answered the user's request, and how.
std::optional<event::AuthorisationAnswer> AuthorisationAnswerEvent(ByteSpan snacData);
// The body of the request the client sends (0x13,0x18): the login asked, the reason.
void AppendAuthorisationRequest(COscarPacket& frame, const event::AuthorisationRequest& request);
// The body of the client's answer (0x13,0x1A): the login answered, granted or not, the reason.
void AppendAuthorisationAnswer(COscarPacket& frame, const event::AuthorisationAnswer& answer);

}  // namespace zul
