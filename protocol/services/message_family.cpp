// Messaging (family 0x04). Placeholder until the messaging service lands.
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"

namespace zul {

void SetMessageParameters(COscar& session) {
    COscarPacket rights = COscarPacket::Snac(0x04, 0x04);
    session.SendFrame(Link::Service, rights);
    COscarPacket reply;
    session.ReceiveReply(reply, 0x04, {0x05});
}

void HandleMessageFamily(COscar&, COscarPacket&) {}

bool SendMessage(COscar&, CHistoryEvent*) { return false; }

}  // namespace zul
