// Server-side list (family 0x13). Placeholder until the list service lands.
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"

namespace zul {

void ReceiveServerList(COscar& session) {
    for (;;) {
        COscarPacket frame;
        session.ReceiveReply(frame, 0x13, {0x06, 0x0F});
        if (frame.subtype() == 0x0F) return;
        if (frame.subtype() == 0x06 && !(frame.flags() & 1)) return;
    }
}

void HandleListFamily(COscar&, COscarPacket&) {}

}  // namespace zul
