// Location (0x02), privacy (0x09) and ICQ meta (0x15). Placeholder until these services land.
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"

namespace zul {

void SendCapabilities(COscar&) {}
void HandleLocationFamily(COscar&, COscarPacket&) {}
void HandlePrivacyFamily(COscar&, COscarPacket&) {}
void HandleMetaFamily(COscar&, COscarPacket&) {}
bool RequestUserDetails(COscar&, const std::u16string&, bool) { return false; }

}  // namespace zul
