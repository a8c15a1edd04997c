// The chat connections of a session: one to the room navigation and one per room, each with
// its own frame buffer, sequence, rate classes and outgoing queue, watched by the session's
// receive loop beside the service and picture links.
//
// Everything here belongs to the session thread: the loop reads, handles, sends and closes
// these links; other threads only post room commands to the account. A link that fails (a
// connection lost, a frame cut short, a sign-on refused) costs its room, which is told why;
// the session goes on.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "accounts/account.h"
#include "platform/socket.h"
#include "protocol/transport/frame_buffer.h"
#include "protocol/transport/session_tables.h"

namespace zul {

class COscar;
class COscarPacket;

// Pending-request kinds of the rooms' requests on the service and navigation links.
constexpr uint32_t kPendingNavService = 0x0001000D;
constexpr uint32_t kPendingRoomService = 0x0001000E;
constexpr uint32_t kPendingCreateRoom = 0x000D0008;
constexpr uint32_t kPendingRoomInfo = 0x000D0004;

class ChatLinks {
  public:
    // Rooms open at once (the servers allow ten).
    static constexpr size_t kMaxRooms = 10;
    // How long a room request may wait for its answer.
    static constexpr uint32_t kAnswerTimeoutMs = 30000;

    explicit ChatLinks(COscar& session);
    ~ChatLinks();
    ChatLinks(const ChatLinks&) = delete;
    ChatLinks& operator=(const ChatLinks&) = delete;

    // --- the receive loop -----------------------------------------------------------------
    // Appends the links' sockets to `out` (room for `capacity`); Fill takes the same order.
    size_t WatchSockets(SocketHandle* out, size_t capacity);
    // Reads what arrived on the watched sockets whose bits, counted from `firstBit`, are set.
    void Fill(int ready, int firstBit);
    bool FramesWaiting() const;
    // Handles up to `budget` whole frames (inside the burst's transaction); the number handled.
    int HandleFrames(int budget);
    // Sends the queued frames the links' rate classes allow; ms until the next may go, -1
    // when none waits.
    int64_t Drain();
    // The idle pass: the user's room commands, the rejoin after sign-on, answers that never
    // came and links left half a frame long.
    void Idle();
    // The session ends: every link closed, every room out.
    void CloseAll();

    // --- hooks of the service link ----------------------------------------------------------
    // A redirect (0x01,0x05) answering one of the rooms' service requests; true when it was.
    bool HandleRedirect(const COscarPacket& frame, uint32_t pendingKind,
                        const std::vector<uint8_t>& pendingData);
    // An error (0x01,0x01) answering one of the rooms' service requests; true when it was.
    bool HandleServiceError(const COscarPacket& frame);
    // SNAC(0x04,0x07) with the chat capability: an invitation, or the answer to one of ours.
    // True when taken (nothing else is to be done with the frame).
    bool HandleInvitation(const COscarPacket& frame);

    // Open links (navigation included), for tests.
    size_t LinkCount() const { return links_.size(); }

  private:
    struct Link;

    Link* NavLink();
    Link* RoomLink(int64_t room);
    void Queue(Link& link, const COscarPacket& frame);
    void SendSignOnStep(Link& link, const COscarPacket& frame);
    void HandleLinkFrame(Link& link, COscarPacket& frame);
    void HandleNavFrame(Link& link, COscarPacket& frame);
    void HandleRoomFrame(Link& link, COscarPacket& frame);
    void LinkReady(Link& link);
    // Closes the links marked dead; their rooms are told why.
    void Sweep();
    void Drop(Link& link, std::u16string problem);
    // Starts connecting a new link; FinishConnect signs it on with the redirect's cookie.
    void Open(std::unique_ptr<Link> link, const std::string& address, const std::string& cookie);
    void FinishConnect(Link& link);

    void RunCommand(CAccount::RoomCommand& command);
    void Join(const RoomPtr& room);
    void Leave(const RoomPtr& room);
    void Say(const RoomPtr& room, const std::u16string& text);
    void Invite(const RoomPtr& room, const std::u16string& login, const std::u16string& text);
    void Accept(uint32_t invitation);
    void Decline(uint32_t invitation);
    void AskForNavigation();
    // Asks the navigation for the room: by name, or by the reference of an invitation.
    void SendCreate(const RoomPtr& room);
    void SendRoomInfoRequest(const RoomPtr& room);
    void WaitForNavigation(const RoomPtr& room, bool byReference);
    void AskForRoom(const RoomPtr& room);
    void Fail(const RoomPtr& room, std::u16string problem);
    size_t ActiveRooms() const;
    RoomPtr RoomOf(const std::vector<uint8_t>& idBytes);
    void MembersChanged(Link& link, const RoomPtr& room, bool joined,
                        const std::vector<std::u16string>& names);

    COscar& session_;
    std::vector<std::unique_ptr<Link>> links_;
    std::vector<Link*> watched_;
    std::vector<int64_t> waitingForNav_;  // rooms whose request waits for the navigation
    std::vector<int64_t> byReference_;    // rooms asked for by an invitation's reference
    bool navAsked_ = false;
    bool rejoined_ = false;
};

}  // namespace zul
