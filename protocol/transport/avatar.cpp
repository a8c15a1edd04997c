// The avatar connection. Placeholder until the avatar service lands.
#include "protocol/oscar.h"
#include "protocol/services/families.h"

namespace zul {

void RequestAvatarService(COscar&) {}
void HandleRedirectService(COscar&, COscarPacket&) {}
void HandleOwnPictureInfo(COscar&, COscarPacket&) {}
void HandleIncoming_Avatar(COscar&, COscarPacket&) {}
void SendQueuedAvatarRequests(COscar&) {}

}  // namespace zul
