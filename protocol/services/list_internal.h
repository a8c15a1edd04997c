// What the files of the server-side list (family 0x13) share: the bracket around an edit, the
// pending additions and moves the acknowledgements finish, the items a download and an edit
// made elsewhere both take, and the handlers the dispatcher calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zul {

class COscar;
class COscarPacket;
class CContact;
struct PendingRequest;
struct ServerListItem;

namespace serverlist {

constexpr int kStrGroupRefused = 1047;

// An edit of the list: what `send` writes goes between the start and end frames servers
// expect around every change.
void SendListEdit(COscar& session, const std::function<void()>& send);

// Whether any contact on the server list is in the group.
bool GroupHasListedMembers(COscar& session, uint16_t groupId);
std::u16string GroupNameOf(COscar& session, uint16_t groupId);

// What a pending buddy addition carries to its acknowledgement.
struct PendingAdd {
    uint16_t groupId = 0;
    uint16_t itemId = 0;
    bool newGroup = false;
    std::u16string nickname, group, reason;
    // A move: the item that goes once the new one is there.
    uint16_t oldGroupId = 0, oldItemId = 0;
};
std::vector<uint8_t> EncodePendingAdd(const PendingAdd& add);
std::optional<PendingAdd> DecodePendingAdd(const std::vector<uint8_t>& data);

// A group item (subtype kItemAdd when new, kItemChange when changed) with its member list: the
// on-server contacts the store has in the group, and `extraItem` when it is not 0; `requestId`
// 0 leaves the frame's own.
void SendGroupItem(COscar& session, const std::u16string& name, uint16_t groupId, uint16_t subtype,
                   uint16_t extraItem, uint16_t requestId = 0);
// The items of an addition: start, the group (added when new, else updated with its new
// member list), the buddy, end.
void SendBuddyAdd(COscar& session, const std::u16string& login, const PendingAdd& add,
                  bool awaitingAuth);
// First the buddy under its new group; the old item goes when the server has taken it, so
// that a refusal loses nothing. Sent `again` (with the awaiting mark after a refusal), a new
// group is already on the server and is updated instead.
void SendMovedBuddy(COscar& session, CContact& contact, const PendingAdd& move, bool again);

// What the server keeps on a buddy item besides what this client edits (times, alerts, and
// whatever other clients put there) must survive a rename: the session keeps it by item id.
void KeepOtherBuddyTlvs(COscar& session, const ServerListItem& item);
// The items of the list that are the session's, not the store's: the privacy settings and the
// user's own picture. Other items are left alone.
void TakeSessionItem(COscar& session, const ServerListItem& item);

// The SNACs of the running session.
void HandleListReply(COscar& session, const COscarPacket& frame);     // 0x06
void HandleEditAck(COscar& session, const COscarPacket& frame);       // 0x0E
void HandleAuthRequest(COscar& session, const COscarPacket& frame);   // 0x19
void HandleAuthAnswer(COscar& session, const COscarPacket& frame);    // 0x1B
void HandleYouWereAdded(COscar& session, const COscarPacket& frame);  // 0x1C

}  // namespace serverlist
}  // namespace zul
