// The chat rooms of one account: the rooms the user keeps (joined again at sign-on when the
// option says so), each room's members and state while the session is in it, its history,
// and the invitations that wait for the user's answer.
//
// A room's fields change on its account's session thread and are read by the window: each
// room and the list have a leaf lock of their own, never held across a statement. A room's
// history is written to the profile (RoomHistory) in the caller's transaction when it has one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zul {

// What the server needs to let a session into a room: the exchange, the room's cookie and
// its instance.
struct RoomRef {
    uint16_t exchange = 4;
    std::string cookie;  // the server's bytes
    uint16_t instance = 0;

    bool operator==(const RoomRef&) const = default;
};

// One line of a room's history.
struct RoomEvent {
    enum Kind : uint8_t { kIncoming = 0, kOutgoing = 1, kJoined = 2, kLeft = 3, kNotice = 4 };
    int64_t number = 0;  // row id; 0 until stored
    uint64_t time = 0;   // local file time
    Kind kind = kIncoming;
    std::u16string who;  // the sender, or the member who came or went
    std::u16string text;
};

// Where a room stands in the running session.
enum class RoomState : uint8_t { kOut, kJoining, kIn, kFailed };

class CRoom {
  public:
    // Events a room keeps in memory for its page; older ones stay in the profile only.
    static constexpr size_t kRecentEvents = 500;
    // Members a room keeps; a server that announces more is not believed beyond them.
    static constexpr size_t kMaxMembers = 20000;

    CRoom(int32_t accountId, int64_t id, uint16_t exchange, std::u16string name, bool kept);

    int64_t Id() const { return id_; }
    int32_t AccountId() const { return accountId_; }
    uint16_t Exchange() const { return exchange_; }
    const std::u16string& Name() const { return name_; }

    RoomState State() const;
    // Why the room is not open (kFailed), or empty.
    std::u16string Problem() const;
    void SetState(RoomState state, std::u16string problem = {});
    std::optional<RoomRef> Ref() const;
    void SetRef(RoomRef ref);

    // Kept by the user: listed while the session is out, and joined again at sign-on.
    bool Kept() const { return kept_.load(); }
    // Stores the mark (its own statement, or the caller's transaction).
    bool SetKept(bool kept);

    // Members by their display name, sorted case-insensitively.
    std::vector<std::u16string> Members() const;
    size_t MemberCount() const;
    // The names not yet members are added (up to kMaxMembers) and returned.
    std::vector<std::u16string> AddMembers(const std::vector<std::u16string>& names);
    // The names that were members are removed and returned.
    std::vector<std::u16string> RemoveMembers(const std::vector<std::u16string>& names);
    void ClearMembers();

    // Stores one event as a row of RoomHistory and keeps it among the recent ones; false when
    // the profile refused it (the event is then kept in memory only).
    bool AddEvent(RoomEvent event);
    // The newest events, oldest first (read from the profile the first time).
    std::vector<RoomEvent> Recent();
    // The same without waiting: nothing while the first read would wait for the profile
    // (the window asks again on its next tick).
    std::optional<std::vector<RoomEvent>> TryRecent();
    // Grows with every change; a page compares it to redraw.
    uint32_t Version() const { return version_.load(); }

  private:
    void Touch();
    void LoadRecentLocked();

    const int32_t accountId_;
    const int64_t id_;
    const uint16_t exchange_;
    const std::u16string name_;
    std::atomic<bool> kept_;
    std::atomic<uint32_t> version_{0};

    mutable std::mutex mutex_;  // a leaf: everything below
    RoomState state_ = RoomState::kOut;
    std::u16string problem_;
    std::optional<RoomRef> ref_;
    std::map<std::u16string, std::u16string> members_;  // folded name -> display name
    std::vector<RoomEvent> recent_;
    bool recentLoaded_ = false;
};

using RoomPtr = std::shared_ptr<CRoom>;

// An invitation to a room from another user, until the user answers it.
struct RoomInvitation {
    uint32_t id = 0;
    std::u16string from;
    bool stranger = false;  // the sender is not in the account's contact list
    std::u16string roomName;
    RoomRef ref;
    std::u16string text;
    uint64_t time = 0;            // local file time
    std::vector<uint8_t> cookie;  // the invitation's own 8 bytes, for the answer
    // Why the invitation cannot be accepted (it could not be read); empty for a usable one.
    std::u16string problem;
};

class CRoomList {
  public:
    // Invitations kept at most; a further one replaces the oldest.
    static constexpr size_t kMaxInvitations = 32;
    // Longest room name kept (characters).
    static constexpr size_t kMaxNameLength = 100;

    explicit CRoomList(int32_t accountId) : accountId_(accountId) {}

    // Reads the account's rooms from the profile (once; later calls keep what is loaded).
    bool Load();
    std::vector<RoomPtr> All() const;
    RoomPtr Find(int64_t id) const;
    RoomPtr Find(uint16_t exchange, std::u16string_view name) const;
    // The room of that exchange and name, stored when new; null when the name is empty or too
    // long, or the profile refuses it.
    RoomPtr Open(uint16_t exchange, const std::u16string& name);
    // Removes the room, its history with it.
    bool Forget(int64_t id);

    // A new invitation; its id.
    uint32_t AddInvitation(RoomInvitation invitation);
    std::vector<RoomInvitation> Invitations() const;
    std::optional<RoomInvitation> TakeInvitation(uint32_t id);

    uint32_t Version() const { return version_.load(); }

  private:
    void Touch();

    const int32_t accountId_;
    std::atomic<uint32_t> version_{0};
    mutable std::mutex mutex_;  // a leaf: everything below
    bool loaded_ = false;
    std::vector<RoomPtr> rooms_;
    std::vector<RoomInvitation> invitations_;
    uint32_t nextInvitation_ = 1;
};

// The key two spellings of one name share: ASCII letters lowered, spaces left out.
std::u16string FoldRoomName(std::u16string_view name);

}  // namespace zul
