// Presence (family 0x03). Placeholder until the presence service lands.
#include "protocol/oscar.h"
#include "protocol/services/families.h"

namespace zul {

void HandleBuddyFamily(COscar&, COscarPacket&) {}

}  // namespace zul
