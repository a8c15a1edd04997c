// Handlers of the SNAC families of a signed-on session, and the steps of the sign-on sequence
// that belong to each family. Every handler gets the received frame (SNAC header at offset 6,
// data from offset 16) and may raise CError for transport failures only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account.h"
#include "protocol/transport/session_tables.h"

namespace zul {

class COscar;
class COscarPacket;
class CHistoryEvent;
class CContact;

// Hands a SNAC of the service connection to its family's handler; false for a family the
// session does not handle.
bool DispatchServiceFamily(COscar& session, uint16_t family, COscarPacket& frame);

// Generic service (0x01), sign-on sequence, own status.
void SignOnServices(COscar& session);
void HandleServiceFamily(COscar& session, COscarPacket& frame);
void SendIdle(COscar& session, uint32_t seconds);
bool SendOwnStatus(COscar& session, int32_t status);
// The same, raising CError when a frame cannot be sent (sign-on).
void SendOwnStatusFrames(COscar& session, int32_t status);
bool IsAwayStatus(int32_t status);
// The away message a status and the user's note make: the note, or the status's name without
// one; empty while not away.
std::u16string AwayText(int32_t status, const std::u16string& note);

// Location (0x02), privacy (0x09), ICQ meta (0x15).
void SendCapabilities(COscar& session);
// The user's profile text (SNAC 0x02,0x04); the sign-on sends it with the capabilities.
void SendProfileText(COscar& session);
std::string ProfileHtml(const std::u16string& text);
// The MIME type of a profile or away message in UTF-8: "us-ascii" when it is plain ASCII.
std::string_view InfoTextMimeType(std::string_view utf8);
void HandleLocationFamily(COscar& session, COscarPacket& frame);
void HandlePrivacyFamily(COscar& session, COscarPacket& frame);
void HandleMetaFamily(COscar& session, COscarPacket& frame);
bool RequestUserDetails(COscar& session, const std::u16string& login, bool ownDetails);
// The full directory entry of an ICQ number the user reads (one part of its details); false
// for a login that is not a number.
bool RequestFullDetails(COscar& session, const std::u16string& login);
constexpr uint32_t kPendingFullDetails = 0x001504B2;
// A search of the ICQ directory by number, nickname or e-mail; false when this account or
// the text cannot be searched. Results go to the account as they come.
bool SearchDirectory(COscar& session, DirectorySearch::By by, const std::u16string& text);
constexpr uint32_t kPendingSearch = 0x0015051F;
// The profile and away message of a user from the location service (one part of its
// details).
void RequestLocationInfo(COscar& session, const std::u16string& login);
constexpr uint32_t kPendingLocationInfo = 0x00020015;
// The away message alone of a contact that turned away: asked for on the idle pass, a few
// queries a second at most (AwayQueries), and shown as the contact's status text.
void SendAwayQueries(COscar& session);
constexpr uint32_t kPendingAwayMessage = 0x01020015;
// One part of a login's details ended: with something (answered) or with the reason why not.
void FinishDetailsPart(COscar& session, const std::u16string& login, bool answered,
                       const std::u16string& error);
// Pending-request kind of the ICQ offline-message request.
constexpr uint32_t kPendingOfflineIcq = 0x3C;
// Offline messages of an ICQ number: the meta request; its messages are stored as they come
// and deleted on the server after the last. A server that refuses it is asked the AIM way.
void RequestOfflineMessagesIcq(COscar& session);

// Presence (0x03).
void HandleBuddyFamily(COscar& session, COscarPacket& frame);
// A login as the server formats it ("Zul Bob"), from a presence notice or a user-info reply:
// kept (and saved) for the contact when it is the contact's own login.
void TakeFormattedName(COscar& session, CContact& contact, const std::u16string& name);
// The same for the user's own login (self-info, 0x01,0x0F): the chat's name for the user's
// messages and the account's title, where these are still made of the login.
void TakeOwnFormattedName(COscar& session, const std::u16string& name);

// Messaging (0x04).
void SetMessageParameters(COscar& session);
void HandleMessageFamily(COscar& session, COscarPacket& frame);
bool SendMessage(COscar& session, CHistoryEvent* event);
// A message whose frame never left (its session ended while it waited in the queue) goes
// back to the outbox: unsent again, it is sent at the next sign-on.
void ReturnToOutbox(COscar& session, uint32_t requestId);
// Pending-request kind of a sent message: the server's refusal (0x04,0x01) answers its id.
// The text is the recipient's login, the data the message's number (4 bytes, big-endian).
constexpr uint32_t kPendingMessage = 0x00040006;
// Pending-request kind of the offline-message request the AIM way.
constexpr uint32_t kPendingOfflineAim = 0x00040010;
// Offline messages the AIM way (0x04,0x10); an error reply ends the step quietly.
void RequestOfflineMessagesAim(COscar& session);
// Pending-request kind of a warning sent (0x04,0x08); the text is the warned login.
constexpr uint32_t kPendingWarning = 0x00040008;
bool SendWarning(COscar& session, CContact* contact, bool anonymous);
// SNAC(0x04,0x14) to a contact: our typing began (2), paused (1) or ended (0).
bool SendTypingNotice(COscar& session, CContact* contact, int state);

// Server-side list (0x13).
void ReceiveServerList(COscar& session);
void HandleListFamily(COscar& session, COscarPacket& frame);
// Deletes an on-server contact from the server list; the contact and its history are deleted
// locally when the server acknowledges. Offline the contact keeps its action mark and waits
// for the next sign-on. A contact not on the server is deleted locally at once.
bool RemoveBuddyFromServer(COscar& session, CContact* contact);
// Sends the buddy item again with the new nickname (an edit with 0x13,0x09); the contact takes
// it when the server acknowledges, and keeps the old one, with a text, when it refuses.
bool RenameBuddyOnServer(COscar& session, CContact* contact, const std::u16string& nickname);
// Whether a login may be sent as a buddy: an ICQ number of 5 to 10 digits, or an AIM name of
// 3 to 16 characters starting with a letter (letters, digits, spaces, '@' and '.'; an e-mail
// address may be longer).
bool IsValidBuddyLogin(std::u16string_view login);
// Adds a buddy to the server list (and its group when the name is new): an edit of the group
// and buddy items. The server's acknowledgement stores the contact; "authorisation required"
// adds it with the awaiting mark and sends the authorisation request with the reason; any
// other answer stores nothing and the account says why.
bool AddBuddyOnServer(COscar& session, const CAccount::ContactToAdd& contact);
// Moves a buddy to another group (by name; a new name makes a new group): the buddy item is
// added under the new group, and when the server agrees the contact takes it and the old item
// is removed. Offline the move waits for the next sign-on.
bool MoveBuddyOnServer(COscar& session, CContact* contact, const std::u16string& group);
// Adds, renames or removes a group of the server list; the store follows when the server
// agrees. False when a removal must wait for the group to empty.
bool ChangeGroupOnServer(COscar& session, CAccount::GroupChange& change);
// Announces the user's own picture (its hash, or the no-picture marker when there is none)
// in the list's picture item; the server then says whether it needs the picture uploaded.
void SendOwnPictureItem(COscar& session);
// A list edit the server never acknowledged: the contact is as it was, and the user is told.
void GiveUpListEdit(COscar& session, const PendingRequest& request);
// Grants or denies a contact's request for our authorisation (0x13,0x1A).
bool AnswerAuthorisation(COscar& session, CContact* contact, bool grant);
// Asks an awaiting contact for its authorisation again; false when it is gone.
bool AskAuthorisation(COscar& session, CContact* contact, const std::u16string& reason);
// SNAC(0x13,0x18): asks a buddy for its authorisation, with our reason.
void SendAuthorisationRequest(COscar& session, const std::u16string& login,
                              const std::u16string& reason);

// Avatar service: requests on the service connection and the avatar connection itself.
void RequestAvatarService(COscar& session);
void HandleRedirectService(COscar& session, COscarPacket& frame);
void HandleOwnPictureInfo(COscar& session, COscarPacket& frame);
void HandleIncoming_Avatar(COscar& session, COscarPacket& frame);
// Compares up to `count` of the picture hashes that presence announced with the stored
// pictures; true when none is left.
bool RunPictureChecks(COscar& session, size_t count);
// Sends the queued picture queries, and the user's own picture when the server asked for it.
void SendQueuedAvatarRequests(COscar& session);
// The picture link went before answering: its queries wait in the queue again, and an upload
// is owed again, for the next picture link.
void RequeuePictureRequests(COscar& session);

}  // namespace zul

namespace zul {
struct RateClass;
class RateClassTable;
enum class Link;
// Rate classes, shared by the service and the avatar connection.
std::vector<RateClass> ParseRateInfo(std::span<const uint8_t> body);
void SendRateAcknowledge(COscar& session, Link link);
// The classes of a rate reply, their levels taken as of now.
void AssignRateClasses(RateClassTable& table, std::span<const uint8_t> body);
// The picture link's rate reply: the same classes as the service link's mean one rate state
// on the server for both, so the picture link shares the service link's classes.
void AssignAvatarRateClasses(COscar& session, std::span<const uint8_t> body);
void ApplyRateChange(RateClassTable& table, std::span<const uint8_t> body);
}  // namespace zul
