// Privacy (family 0x09): only its rights are asked for at sign-on; the privacy setting itself
// travels as a server-list item. Nothing that arrives on the running session is used.
#include "platform/log.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"

namespace zul {

void HandlePrivacyFamily(COscar& session, COscarPacket& frame) {
    WriteLog(kGeneralLog, FormatInt(u"Unhandled SNAC(0x09,0x%X)", frame.subtype()));
}

}  // namespace zul
