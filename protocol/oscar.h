// COscar: the ICQ/AIM kind of account. Holds one OSCAR session: the service connection and
// the avatar connection with their sequence counters and rate classes, the pending requests,
// the avatar queue, and the session's send lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "accounts/account.h"
#include "platform/socket.h"
#include "protocol/services/list_download.h"
#include "protocol/transport/frame_buffer.h"
#include "protocol/transport/link_connect.h"
#include "protocol/transport/session_tables.h"

namespace zul {

class COscarPacket;
class ChatLinks;

// Which of the session's two connections a frame travels on.
enum class Link { Service, Avatar };

class COscar : public CAccount {
  public:
    COscar(const CAccountData& data, CContacts& contacts, std::string profileFolder);
    ~COscar() override;

    // --- CAccount operations -----------------------------------------------------------------
    void ResetSession() override;
    SessionStep ConnectAndLogIn() override;
    uint8_t ServerPrivacyMode() const override { return PrivacyMode(); }
    SessionStep RunSession() override;
    bool SendStatus(int32_t status) override;
    bool SendMessageEvent(CHistoryEvent* event) override;
    // A contact marked for deletion is removed from the server list, then locally.
    int ContactAction(CContact* contact) override;
    bool RenameOnServer(CContact* contact, const std::u16string& nickname) override;
    bool AddOnServer(const ContactToAdd& contact) override;
    bool MoveOnServer(CContact* contact, const std::u16string& group) override;
    bool ChangeGroupOnServer(GroupChange& change) override;
    bool AnswerAuthorisation(CContact* contact, bool grant) override;
    bool AskAuthorisation(CContact* contact, const std::u16string& reason) override;
    bool SendTypingNotice(CContact* contact, int state) override;
    void SendProfile() override;
    bool SendOwnPicture() override;
    bool WarnContact(CContact* contact, bool anonymous) override;
    bool RequestShortDetails(const std::u16string& login, bool ownDetails) override;
    int SendDetailsRequests(const std::u16string& login) override;
    bool SendSearch(DirectorySearch::By by, const std::u16string& text) override;
    // Gives up list edits and details requests the server has not answered in time: the list
    // stays as it was and the user is told.
    void ExpireRequests() override;
    // How long such a request may wait for its answer (tests shorten it).
    void SetRequestTimeout(uint32_t ms) { requestTimeoutMs_.store(ms); }
    static constexpr uint32_t kDefaultRequestTimeoutMs = 30000;
    static constexpr int kStrNoAnswer = 1041;
    void ShutdownConnections() override;
    void CloseConnections() override;

    // --- login -------------------------------------------------------------------------------
    // First leg (login server) and the start of the second (service server, cookie), then the
    // service handshake.
    void LoginUnsecured();
    // Where the login server sends the client next.
    struct ServiceTicket {
        std::string host, port;
        std::vector<uint8_t> cookie;
    };

    // --- send and receive --------------------------------------------------------------------
    // Sends one frame on a connection: connection check, send lock, rate control, sequence
    // number, byte counting. Raises CError. Called while the session thread handles a burst,
    // the frame is queued and sent after the burst's commit.
    void SendFrame(Link link, COscarPacket& frame);
    // While the receive loop runs, a send from any thread joins its link's queue and returns
    // at once; the loop sends it when the link's rate class allows, so that no send holds up
    // receiving. A queue holds at most this many frames; more are dropped and logged.
    static constexpr size_t kMaxQueuedFrames = 2000;
    size_t QueuedFrames(Link link) const;
    // Milliseconds a send of (family, subtype) must wait to keep its class at or above the
    // clear level (0: none), and the class's new level once it is sent.
    int64_t RateWaitMs(Link link, uint16_t family, uint16_t subtype);
    void RecordRateSend(Link link, uint16_t family, uint16_t subtype);
    // The same for a table of classes of its own (a chat link's).
    static int64_t RateWaitIn(RateClassTable& rates, uint16_t family, uint16_t subtype);
    static void RecordRateSendIn(RateClassTable& rates, uint16_t family, uint16_t subtype);
    // Wakes the receive loop at once for work the user asked for (any thread).
    void WakeSession() override;
    // Runs `action` now, or after the commit when the calling thread is handling this
    // session's burst (work that may wait for the network: connects, sends).
    void AfterBurst(std::function<void()> action);
    // Receives one whole frame on a connection, counting the bytes; waits at most the socket
    // time-out for the next bytes. Raises CError.
    void ReceiveFrame(Link link, COscarPacket& frame);
    // Sign-on receives: reads frames on the service connection until a SNAC of `family` with
    // one of `subtypes` arrives (true), or, when `requestId` is given, the family's error
    // reply to that request (false; `reply` holds it). Every other frame is kept and
    // dispatched, in arrival order, when the receive loop starts; a disconnect frame raises.
    bool ReceiveReply(COscarPacket& reply, uint16_t family,
                      std::initializer_list<uint16_t> subtypes, uint32_t requestId = 0);
    // Frames kept by ReceiveReply and not yet dispatched.
    size_t DeferredCount() const;
    // Forgets the kept frames: they belong to one sign-on.
    void DropDeferred();
    // The receive loop of a signed-on session.
    void HandleIncoming_MainThread();
    // Frames on the disconnect channel always end the session.
    [[noreturn]] void HandleIncomingFromDisconnectChannel(const COscarPacket& frame);
    // Decides after a session error: true means stop, false means connect again after the
    // countdown of the back-off.
    bool HandleSessionError(int32_t code);
    // How long to wait before the next sign-on: 3 s, doubling with each failed attempt up to
    // 5 min, plus up to a fifth more at random so that many clients do not come back at once.
    int64_t NextReconnectDelayMs();
    // The one policy after an error ended a sign-on or a running session: the connections
    // close; a stop the user asked for, or an error the session cannot get past, ends the
    // session; anything else is shown with a countdown and the session connects again.
    SessionStep EndAfterError(int32_t code);

    // --- session state used by the services -------------------------------------------------
    // A link's socket (kInvalidSocket when closed); only the session opens and closes it.
    SocketHandle Socket(Link link) const {
        return link == Link::Service ? serviceSocket_ : avatarSocket_;
    }
    // Puts a connected socket in place of a link's and closes the one it replaces (fuzz targets
    // and tests feed the session through one; kInvalidSocket only closes). The link's frame
    // buffer starts empty.
    void AdoptSocket(Link link, SocketHandle socket);
    // A list download of the running session that awaits more replies (session thread only;
    // the sign-on's download drops one left from an earlier connection).
    std::optional<ListDownload>& RunningListDownload() { return runningListDownload_; }
    // The TLVs of each buddy item (by item id) that this client does not edit, as the last
    // download gave them; an edit of the item sends them back unchanged (session thread only).
    std::map<uint16_t, std::vector<uint8_t>>& OtherBuddyTlvs() { return otherBuddyTlvs_; }
    // The rate classes a link's sends are paced by. Servers that keep one rate state per
    // account announce the same classes on the picture link: its sends then count against
    // the service link's classes.
    RateClassTable& Rates(Link link) {
        return link == Link::Service || avatarSharesRates_.load() ? serviceRates_ : avatarRates_;
    }
    void SetAvatarSharesRates(bool shared) { avatarSharesRates_.store(shared); }
    PendingRequests& Pending() { return pending_; }
    // The chat rooms' connections (session thread only).
    ChatLinks& Chat() { return *chat_; }
    AvatarQueue& Avatars() { return avatarQueue_; }
    // Picture hashes announced in presence that wait to be compared with the stored pictures:
    // the comparison reads every picture, so it waits for a moment when no frames do, and a
    // sign-on's presence is stored first. Queued and taken by the session thread; the count
    // may be read by any.
    struct PictureCheck {
        std::u16string login;
        std::vector<uint8_t> item;  // the hash item, header included
    };
    void QueuePictureCheck(PictureCheck check) {
        pictureChecks_.push_back(std::move(check));
        pictureChecksWaiting_.store(pictureChecks_.size());
    }
    // The oldest waiting check (null when none); it counts as waiting until it is done.
    const PictureCheck* NextPictureCheck() const {
        return pictureChecks_.empty() ? nullptr : &pictureChecks_.front();
    }
    void PictureCheckDone() {
        pictureChecks_.pop_front();
        pictureChecksWaiting_.store(pictureChecks_.size());
    }
    size_t PictureChecksWaiting() const { return pictureChecksWaiting_.load(); }
    // AIM contacts that turned away, whose away message the idle pass asks for a few at a
    // time (session thread only).
    PacedLogins& AwayQueries() { return awayQueries_; }
    // The account's row is written by the session's next burst (or its next idle pass, or its
    // end), in that commit (session thread only).
    void OweAccountSave() { accountSaveOwed_ = true; }
    bool AvatarActive() const { return avatarActive_.load(); }
    // The avatar server knows only the older picture query (0x10,0x04); kept for a session.
    bool OlderPictureQuery() const { return olderPictureQuery_.load(); }
    void SetOlderPictureQuery(bool older) { olderPictureQuery_.store(older); }
    void SetAvatarActive(bool active) { avatarActive_.store(active); }
    // The avatar connection has signed on (its ready frame went out): uploads may go.
    bool AvatarReady() const { return avatarReady_.load(); }
    void SetAvatarReady(bool ready) { avatarReady_.store(ready); }
    // The list item that announces the user's own picture (0: the list has none).
    uint16_t PictureItemId() const { return pictureItemId_.load(); }
    void SetPictureItemId(uint16_t id) { pictureItemId_.store(id); }
    // The hash of the picture this session announced and the server has not yet confirmed
    // (session thread only): until it does, what the server says it has is an older picture.
    std::optional<std::array<uint8_t, 16>>& AnnouncedPicture() { return announcedPicture_; }
    // The server lacks the user's picture: it goes up once the avatar connection is ready.
    bool PictureUploadOwed() const { return pictureUploadOwed_.load(); }
    void SetPictureUploadOwed(bool owed) { pictureUploadOwed_.store(owed); }
    // Closes only the avatar connection after an error on it.
    void DropAvatarConnection();
    // Connects one of the session's sockets (see Connect). A handle changes only under the
    // send lock and the socket lock (in that order): another thread that sends or shuts down
    // (a test's) never reaches a descriptor number the session has already given back.
    void ConnectLink(Link link, const std::string& host, const std::string& port,
                     bool showProgress);
    // The picture link is connected beside the receive loop (session thread only): the loop
    // watches the attempt and, once it has ended, FinishAvatarConnect signs the link on with
    // the redirect's cookie, or lets it go. Dropping the link cancels an attempt under way.
    void StartAvatarConnect(const std::string& host, const std::string& port, std::string cookie);
    bool AvatarConnecting() const { return avatarConnecting_.load(); }
    void FinishAvatarConnect();
    // Sends the sign-off frame (channel 4), then closes the link.
    void CloseLink(Link link);

    uint16_t PermitDenyItemId() const { return permitDenyItemId_.load(); }
    void SetPermitDenyItemId(uint16_t id) { permitDenyItemId_.store(id); }
    // This session has given the server a status note or away message of the user's: a later
    // change, also to none, must be sent to replace it.
    bool NoteOnServer() const { return noteOnServer_.load(); }
    void SetNoteOnServer(bool on) { noteOnServer_.store(on); }
    // The privacy mode of the server's permit/deny item (0: none known), and the item's other
    // TLVs, which every write of the item gives back unchanged.
    uint8_t PrivacyMode() const { return privacyMode_.load(); }
    void SetPrivacyMode(uint8_t mode) { privacyMode_.store(mode); }
    std::vector<uint8_t> PrivacyItemTlvs() const {
        std::lock_guard lock(privacyMutex_);
        return privacyItemTlvs_;
    }
    void SetPrivacyItemTlvs(std::vector<uint8_t> tlvs) {
        std::lock_guard lock(privacyMutex_);
        privacyItemTlvs_ = std::move(tlvs);
    }
    // Highest status-text time seen in this session (presence).
    uint32_t HighestStatusTextTime() const { return highestStatusTextTime_.load(); }
    void SetHighestStatusTextTime(uint32_t t) { highestStatusTextTime_.store(t); }

    // Sign-on fields, as bytes, filled from the account at the start of every login.
    const std::string& LoginHost() const { return host_; }
    const std::string& LoginPort() const { return port_; }
    const std::string& LoginName() const { return loginBytes_; }

    // Sequence number of the last frame sent on a connection (tests look at it).
    uint16_t LastSequence(Link link) const;
    void ResetSequence(Link link) { SetSequence(link, 0); }
    void SetSequence(Link link, uint16_t value);

    // For tests and checks: the names of the session's locks (command, send, sequence, rate
    // classes, pending requests, avatar queue, sockets) another thread holds now, empty when
    // none. Each is taken with try_lock and given back at once.
    std::string HeldSessionLocks();

    // Automatic answers while away (session thread only): a contact is answered once per away
    // period, and every status sent starts a new period.
    void StartAwayPeriod() { answeredWhileAway_.clear(); }
    bool TakeAwayAnswer(const std::u16string& login);

  private:
    SocketHandle& SocketSlot(Link link) {
        return link == Link::Service ? serviceSocket_ : avatarSocket_;
    }
    void FillSessionFields();
    // The sign-off frame on a link, sent only if it can go at once.
    void SayGoodbye(Link link);
    // The login server's leg: the scrambled password on channel 1, or the MD5 proof of the
    // login family (0x17) when the account asks for a secure login.
    ServiceTicket LoginRoasted();
    ServiceTicket LoginSecure();
    void ReceiveLoginSnac(COscarPacket& reply);
    uint16_t NextSequence(Link link);
    void ApplyRateControl(Link link, uint16_t family, uint16_t subtype);
    // Set while a link's socket is shut down or closed, until a new one is made: a rate wait
    // for that link ends at once, so that closing never waits for it under the send lock.
    std::atomic<bool>& ShutMark(Link link) { return shut_[link == Link::Service ? 0 : 1]; }
    void DispatchSnac(COscarPacket& frame);
    void DispatchFrame(COscarPacket& frame);
    std::unique_ptr<COscarPacket> TakeDeferred();
    FrameBuffer& In(Link link) { return link == Link::Service ? serviceIn_ : avatarIn_; }
    // Takes what has arrived on a connection into its frame buffer, without waiting; the
    // number of bytes taken.
    size_t FillLink(Link link);
    // Whole frames (or a failure) wait in a frame buffer or among the kept sign-on frames.
    bool FramesWaiting() const;
    void HandleBurst();
    void RunAfterBurst();
    // Sends the queued frames whose rate class allows them now, in order per link; returns
    // the milliseconds until the next queued frame may go (-1: none waits).
    int64_t DrainOutgoing();
    // Sends one frame on the link now: send lock, sequence number, byte counting.
    void SendNow(Link link, COscarPacket& frame);
    void ClearQueue(Link link);
    // Empties the service queue at the loop's end; its messages go back to the outbox.
    void ReturnQueuedMessages();
    // Writes the account's row when a save is owed (joining the transaction of the caller).
    void SaveOwedAccount();

    // Sign-on fields.
    std::string host_, port_, loginBytes_, password_;
    bool passwordUsable_ = true;  // the password converts to the bytes a login sends

    // Guards opening, shutting down and closing the two sockets across threads; taken after
    // the send lock where both are held.
    std::mutex socketMutex_;
    std::optional<ListDownload> runningListDownload_;
    std::map<uint16_t, std::vector<uint8_t>> otherBuddyTlvs_;
    SocketHandle serviceSocket_ = kInvalidSocket;
    SocketHandle avatarSocket_ = kInvalidSocket;
    std::atomic<bool> shut_[2] = {false, false};
    std::recursive_mutex sendMutex_;
    std::mutex sequenceMutex_;
    uint16_t serviceSequence_ = 0;
    uint16_t avatarSequence_ = 0;
    RateClassTable serviceRates_;
    RateClassTable avatarRates_;
    PendingRequests pending_;
    AvatarQueue avatarQueue_;
    std::deque<PictureCheck> pictureChecks_;
    std::atomic<size_t> pictureChecksWaiting_{0};
    PacedLogins awayQueries_;
    bool accountSaveOwed_ = false;
    std::atomic<bool> avatarActive_{false};
    std::atomic<bool> avatarReady_{false};
    std::atomic<uint16_t> pictureItemId_{0};
    std::atomic<bool> pictureUploadOwed_{false};
    std::optional<std::array<uint8_t, 16>> announcedPicture_;
    std::atomic<bool> avatarSharesRates_{false};
    // Failed sign-ons and sessions in a row (session thread only); a session that stayed up
    // for a minute, or the end of the session thread, starts the count again.
    int reconnectAttempts_ = 0;
    uint32_t sessionUpSince_ = 0;
    // The last session was ended by a sign-off frame without a reason and this one is its
    // automatic reconnection (session thread only).
    bool afterBareSignOff_ = false;
    std::set<std::u16string> answeredWhileAway_;
    std::atomic<uint32_t> requestTimeoutMs_{kDefaultRequestTimeoutMs};
    std::atomic<bool> noteOnServer_{false};
    std::atomic<bool> olderPictureQuery_{false};
    std::atomic<uint16_t> permitDenyItemId_{0};
    std::atomic<uint8_t> privacyMode_{0};
    mutable std::mutex privacyMutex_;
    std::vector<uint8_t> privacyItemTlvs_;
    std::atomic<uint32_t> highestStatusTextTime_{0};
    mutable std::mutex deferredMutex_;
    // The bytes of each kept frame only: a frame buffer holds the largest frame there is.
    std::deque<std::vector<uint8_t>> deferred_;
    // Read and written by the session thread only.
    FrameBuffer serviceIn_;
    FrameBuffer avatarIn_;
    std::vector<std::function<void()>> afterBurst_;
    // The outgoing queues (service, avatar) while the receive loop runs.
    std::atomic<bool> queueing_{false};
    mutable std::mutex outMutex_;  // a leaf: the queues only
    std::deque<std::vector<uint8_t>> out_[2];
    std::atomic<bool> userWork_{false};
    std::unique_ptr<ChatLinks> chat_;
    // The picture link's attempt under way and the cookie it signs on with (session thread).
    std::unique_ptr<LinkConnect> avatarConnect_;
    std::string avatarCookie_;
    std::atomic<bool> avatarConnecting_{false};  // avatarConnect_ is there, for any thread
    void SetAvatarConnect(std::unique_ptr<LinkConnect> attempt) {
        avatarConnect_ = std::move(attempt);
        avatarConnecting_.store(avatarConnect_ != nullptr);
    }
};

// Registers COscar as the account kind for ICQ and AIM rows of the profile.
void RegisterOscarAccounts();

}  // namespace zul
