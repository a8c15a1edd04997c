// CAccount: one live account. Owns its persisted data, reaches the shared contact store, runs
// its connection on a session thread of its own and offers the protocol operations that a
// protocol class (COscar for ICQ and AIM) fills in. The accounts page reads its fields and
// polls its repaint mark; the session thread never touches the user interface.
//
// The session thread is made with the first command (a status change or a disconnect) and
// lives as long as the account. It alone opens, uses and closes the account's connections:
// other threads post commands to it, which return at once, and it takes them in order. Every
// wait of the session (a connect, a reply, a rate window, the countdown before connecting
// again) watches the thread's wake-up descriptor, so that a stop ends it at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "accounts/session_events.h"
#include "platform/tls.h"
#include "platform/wake_signal.h"
#include "storage/account_data.h"
#include "storage/rooms.h"

namespace zul {

class CContacts;
class CContact;
struct ContactFields;
class CHistoryEvent;

// What the server says about a contact when the user asks: the ICQ directory entry and the
// profile and away message of the location service. Texts are plain; 0 means not given.
struct ContactDetails {
    std::u16string nickname, firstName, lastName, email, city, region, homepage, about;
    int countryCode = 0;  // the directory's country code (the telephone code, mostly)
    int age = 0;
    int gender = 0;  // 1 female, 2 male
    std::u16string profile, awayMessage;
    // Parts of the answer still awaited; answered is set by the first part that arrives.
    int waiting = 0;
    bool answered = false;
    std::u16string error;  // why nothing came, once nothing is awaited
    bool Loading() const { return waiting > 0; }
};

// One user the directory found.
struct FoundUser {
    std::u16string login, nickname, firstName, lastName, email;
    int gender = 0;  // 1 female, 2 male
    int age = 0;
    bool authRequired = false;
    bool online = false;
};
// A search of the directory and what it found so far.
struct DirectorySearch {
    enum By { kNumber, kNickname, kEmail };
    static constexpr size_t kMaxShown = 100;  // more are counted, not kept
    std::vector<FoundUser> users;
    size_t more = 0;  // found beyond kMaxShown, by this client or by the server's count
    bool searching = false;
    std::u16string error;  // why nothing came, once the search ended
};

// Icons the accounts page shows beside the status text while busy or after an error.
namespace accicon {
constexpr int kNone = 0;
constexpr int kBusy = 188;
constexpr int kError = 189;
}  // namespace accicon

class CAccount : public CStoreAccount {
  public:
    CAccount(const CAccountData& data, CContacts& contacts, std::string profileFolder);
    ~CAccount() override;
    CAccount(const CAccount&) = delete;
    CAccount& operator=(const CAccount&) = delete;

    // --- protocol operations -------------------------------------------------------------
    virtual void UnusedHook() {}
    virtual int UnusedQuery() { return 0; }
    // Any thread; returns at once. The session thread brings the account to `status`: it
    // signs on, or sends the new status of a signed-on session.
    virtual void RequestStatus(int32_t status);
    // Any thread; returns at once, the account shown offline. The session thread ends the
    // session (its sign-off, its connections closed), goes offline and saves when asked.
    virtual void Disconnect(bool save);
    // Clears the protocol session's tables once a session was stopped.
    virtual void ResetSession() = 0;
    // What a step of the session leaves the session thread to do.
    enum class SessionStep {
        kSignedOn,   // signed on: the receive loop runs next
        kReconnect,  // an error the policy lets pass, its countdown over: sign on again
        kEnd,        // the session is over (a stop, offline on purpose, an error without cure)
    };
    // The session thread: signs on (kSignedOn), or ends as the error policy decides.
    virtual SessionStep ConnectAndLogIn() = 0;
    // The session thread: the receive loop of a signed-on session, to its end.
    virtual SessionStep RunSession() = 0;
    virtual bool SendStatus(int32_t status) = 0;
    // The privacy mode the server holds for the account (0: none known).
    virtual uint8_t ServerPrivacyMode() const { return 0; }
    virtual bool SendMessageEvent(CHistoryEvent* event) = 0;
    virtual int ContactAction(CContact* contact) = 0;
    // Gives a contact of the server list a new nickname on the server; the session thread's
    // idle pass calls it for a contact's rename request. False when nothing was sent.
    virtual bool RenameOnServer(CContact* contact, const std::u16string& nickname) { return false; }
    // Moves a contact to another group (by name) on the server; the idle pass calls it for a
    // contact's move request.
    virtual bool MoveOnServer(CContact* contact, const std::u16string& group) { return false; }
    // A contact the user adds to the server list: login, nickname, the group (by name; a new
    // name makes a new group) and the reason sent with an authorisation request.
    struct ContactToAdd {
        std::u16string login, nickname, group, reason;
    };
    // Any thread: queued for the session's idle pass (after the next sign-on when offline).
    void RequestAddContact(ContactToAdd contact);
    // A change of one of the account's groups on the server list: a new (empty) group, a new
    // name, or its removal. A group to remove that still holds contacts waits for them to
    // leave (their moves), a while at most.
    struct GroupChange {
        enum Kind { kAdd, kRename, kDelete } kind = kAdd;
        uint16_t groupId = 0;
        std::u16string name;
        int waits = 0;  // idle passes the removal has waited for the group to empty
    };
    void RequestGroupChange(GroupChange change);
    // The session thread: sends one change; false when it must wait (kept for the next pass).
    virtual bool ChangeGroupOnServer(GroupChange& change) { return true; }
    // The session thread: sends one addition; false when nothing was sent.
    virtual bool AddOnServer(const ContactToAdd& contact) { return false; }
    // The session thread: tells an online contact how our typing stands (2 begun, 1 paused,
    // 0 ended).
    virtual bool SendTypingNotice(CContact* contact, int state) { return false; }
    // The profile text as it is now, to the server.
    virtual void SendProfile() {}
    // The session thread: announces the user's own picture (or none) to the server; false
    // when it must wait for a later pass (the list has not arrived yet).
    virtual bool SendOwnPicture() { return true; }
    // Any thread: warns a contact (anonymously or not); the outcome comes as the account's
    // status text. False when the account cannot warn now (offline, not an AIM name).
    virtual bool WarnContact(CContact* contact, bool anonymous) { return false; }
    // The session thread: sends the user's answer to a contact's authorisation request.
    virtual bool AnswerAuthorisation(CContact* contact, bool grant) { return false; }
    // The session thread: asks the contact for its authorisation (again), with a reason.
    virtual bool AskAuthorisation(CContact* contact, const std::u16string& reason) { return false; }
    virtual bool RequestShortDetails(const std::u16string& login, bool ownDetails) = 0;

    // --- chat rooms -----------------------------------------------------------------------------
    // The account's rooms and the invitations waiting for an answer (loaded on first use).
    CRoomList& Rooms();
    // What the user asks of the rooms; carried out by the session's idle pass, in order.
    struct RoomCommand {
        enum Kind { kJoin, kLeave, kSay, kInvite, kAccept, kDecline } kind = kJoin;
        int64_t room = 0;         // kLeave, kSay, kInvite
        uint32_t invitation = 0;  // kAccept, kDecline
        uint16_t exchange = 4;    // kJoin
        std::u16string name;      // kJoin: the room's name; kInvite: whom
        std::u16string text;      // kSay, kInvite

        static RoomCommand Join(std::u16string name, uint16_t exchange = 4);
        static RoomCommand Leave(int64_t room);
        static RoomCommand Say(int64_t room, std::u16string text);
        static RoomCommand Invite(int64_t room, std::u16string login, std::u16string text);
        static RoomCommand Answer(uint32_t invitation, bool accept);
    };
    // Any thread; returns at once. Offline, a join or a leave only changes whether the room is
    // kept (joined at the next sign-on); the rest waits for the next sign-on.
    void RequestRoom(RoomCommand command);
    std::vector<RoomCommand> TakeRoomCommands();

    // --- the user's status note ----------------------------------------------------------------
    // Any thread: the new note is kept and saved; a signed-on session sends it with the
    // status on its idle pass (and every sign-on sends it again).
    void ChangeStatusNote(const std::u16string& text);
    // Any thread: the new profile text is kept and saved; a signed-on session sends it on its
    // idle pass (and every sign-on sends it again).
    void ChangeProfile(const std::u16string& text);
    static constexpr size_t kMaxProfileCharacters = 1024;
    // Any thread: the user's own picture (PNG, JPEG or GIF, at most kMaxOwnPictureBytes; empty
    // removes it) is kept and saved; a signed-on session announces it on its idle pass and
    // uploads it when the server asks (every later sign-on keeps what the server has).
    enum class PictureProblem { kNone, kNotAnImage, kTooLarge };
    PictureProblem ChangeOwnPicture(std::vector<uint8_t> picture);
    static constexpr size_t kMaxOwnPictureBytes = 7168;
    // A picture changed here that the server has not been told of yet.
    bool OwnPictureChangePending() const { return ownPictureChanged_.load(); }
    // Any thread: who may see the account (a privacy mode, 1 to 5); kept, saved, and given to
    // the server by a signed-on session on its idle pass.
    void ChangePrivacyMode(uint8_t mode);

    // --- the directory --------------------------------------------------------------------------
    // Any thread: a new search (the one before is forgotten), sent on the idle pass. Offline
    // it ends at once with a reason.
    void RequestSearch(DirectorySearch::By by, const std::u16string& text);
    DirectorySearch Search() const;
    // Grows with every change of the search; a page compares it to redraw.
    uint32_t SearchVersion() const { return searchVersion_.load(); }
    void UpdateSearch(const std::function<void(DirectorySearch&)>& change);
    // The session thread: sends the search; false when this account cannot search that way.
    virtual bool SendSearch(DirectorySearch::By by, const std::u16string& text) { return false; }

    // --- details the user reads ----------------------------------------------------------------
    // Any thread: asks the server for a contact's details on the session's idle pass. Offline
    // the answer is at once an error.
    void RequestContactDetails(const std::u16string& login);
    // A copy of what arrived so far; empty (not loading, no error) when never asked.
    ContactDetails DetailsOf(const std::u16string& login) const;
    // Grows with every change of any contact's details; a page compares it to redraw.
    uint32_t DetailsVersion() const { return detailsVersion_.load(); }
    // The session thread: changes the stored details of a login under the lock.
    void UpdateDetails(const std::u16string& login,
                       const std::function<void(ContactDetails&)>& change);
    // The session thread: sends the requests of one login; how many parts will answer (0 when
    // nothing was sent).
    virtual int SendDetailsRequests(const std::u16string& login) { return 0; }
    // The session thread's idle pass: gives up requests the server has not answered in time.
    virtual void ExpireRequests() {}
    // Shuts both connections of the session down so that a blocked thread wakes up.
    virtual void ShutdownConnections() {}
    // Closes (releases) both connections of the session.
    virtual void CloseConnections() {}

    // --- CAccountData hooks ---------------------------------------------------------------
    void OnStatusChanged() override;
    void OnDescriptionChanged(std::u16string newDescription) override;
    void OnEnabledChanged() override;
    void OnOwnerAvatarChanged() override;

    // --- state shown by the accounts page -------------------------------------------------
    std::u16string StatusText() const;
    void SetStatusText(const std::u16string& text);
    int StatusIcon() const { return statusIcon_.load(); }
    void SetStatusIconId(int icon);
    bool Busy() const { return busy_.load(); }
    // The session ended because the account signed on in another place; the next sign-on
    // asked for clears it.
    bool SignedOnElsewhere() const { return signedOnElsewhere_.load(); }
    // The account's warning level as the server last gave it, in tenths of a percent.
    int WarningLevel() const { return warningLevel_.load(); }
    void SetWarningLevel(int level) {
        if (warningLevel_.exchange(level) != level) MarkRepaint();
    }
    void SetSignedOnElsewhere(bool elsewhere) {
        if (signedOnElsewhere_.exchange(elsewhere) != elsewhere) MarkRepaint();
    }
    // Set by every change the page must show; the page clears it when it repaints.
    bool TakeRepaint() { return repaint_.exchange(false); }
    bool NeedsRepaint() const { return repaint_.load(); }
    // Any thread: the account's row is to be drawn again; the window is told.
    void MarkRepaint();
    bool Loaded() const override { return loaded_.load(); }
    void SetLoaded(bool loaded) { loaded_.store(loaded); }

    CContacts& Contacts() override { return contacts_; }
    // The status the account was loaded with (LastStatus); the live account starts offline.
    int32_t LastStatus() const { return lastStatus_; }
    // Grows with every change of the owner picture; the page decodes it again when it moves.
    uint32_t OwnerAvatarVersion() const { return ownerAvatarVersion_.load(); }
    const std::string& ProfileFolder() const { return profileFolder_; }

    // --- session state ---------------------------------------------------------------------
    int32_t RequestedStatus() const { return requestedStatus_.load(); }
    void SetRequestedStatus(int32_t s) { requestedStatus_.store(s); }
    // A session is under way on the session thread (connecting, online or counting down).
    bool SessionRunning() const { return running_.load(); }
    void SetSessionRunning(bool running) { running_.store(running); }
    // A stop (a disconnect, or the end of the account) waits for the session thread: every
    // loop and wait of the session leaves at once.
    bool StopRequested() const { return stopsQueued_.load() > 0 || quitting_.load(); }
    // The program ends: nothing more is sent.
    bool Quitting() const { return quitting_.load(); }
    // No command waits and the session thread carries none out: it rests, or was never made.
    bool SessionIdle() const;
    // The session thread's wake-up: commands and work the user asked for signal it, and every
    // wait of the session watches it.
    WakeSignal& SessionWake() { return sessionWake_; }
    // The session thread: waits up to `ms` for a stop; true once one is asked for. Other
    // wake-ups leave it waiting. Off the session thread it sleeps in short slices.
    bool WaitForStop(int64_t ms);
    // The session thread, signed on: the status the user chose meanwhile is sent.
    void ApplyRequestedStatus();

    // Progress texts (busy flag, busy icon, status text; repaint only when the text changes).
    void SetProgressWaitingForNetwork();
    // "Connecting to" the account's server and port, or the given ones.
    void SetProgressConnecting();
    void SetProgressConnecting(const std::u16string& host, const std::u16string& port);
    void SetProgressLoggingIn();
    void SetProgressLoadingSettings();
    void SetProgressText(const std::u16string& text);
    // Error after a failed session: offline, saved, error icon and the text.
    void ShowSessionError(const std::u16string& text);

    // --- certificates the user decides about ----------------------------------------------
    // A connection stopped at a server certificate that nobody vouches for (or that differs
    // from the one the user trusted). Any thread; the window asks the user and takes it.
    struct CertificateQuestion {
        TlsCertificate certificate;
        bool changed = false;
    };
    void AskAboutCertificate(const TlsCertificate& certificate, bool changed);
    bool HasCertificateQuestion() const;
    // The open question, cleared; an empty certificate when there is none.
    CertificateQuestion TakeCertificateQuestion();
    // The user trusts this certificate from now on: kept with the account and saved.
    void TrustCertificate(const std::string& sha256);

    // --- the password at sign-on ------------------------------------------------------------
    // The session thread, before a sign-on: brings the password and the keyring in step (a
    // new password kept in the keyring is stored there, a kept one is looked up, one left
    // behind by switching the keyring off is removed). False when there is no password to
    // sign on with; the account then waits for the user's (PasswordQuestion).
    bool PreparePassword();
    // The string id of why the user is asked for the password; 0 when nobody asks.
    int PasswordQuestion() const { return passwordQuestion_.load(); }
    int TakePasswordQuestion() { return passwordQuestion_.exchange(0); }
    // Switching the keyring off leaves its item to remove at the next sign-on.
    void SetKeyringClearPending(bool pending) { keyringClearPending_ = pending; }

    // --- loaders of the contact store --------------------------------------------------------
    bool dbLoadGroups();
    bool dbLoadContacts_Grouped();
    // Loads groups then contacts; marks the account loaded when both succeed.
    bool LoadContacts();

    // --- entry points of the protocol services ---------------------------------------------
    // A buddy of the server list (fields.localID is not used): the contact it stands for,
    // found or made; null when none can be kept.
    // `storedIDs` as CContacts::AddNewContact takes them.
    std::shared_ptr<CContact> OnServerListBuddy(
        const ContactFields& fields, const std::unordered_set<int32_t>* storedIDs = nullptr);
    // What the session read from its server, applied to the contacts and their histories
    // (session_events.h).
    void Apply(const SessionEvent& event);
    void Apply(const event::ListEdit& edit);
    void Apply(const event::AuthorisationRequest& request);
    void Apply(const event::AuthorisationAnswer& answer);
    // OnServerListBuddy for a buddy as a list item names it, its group named as the store has it.
    std::shared_ptr<CContact> OnServerListBuddy(
        const event::ListItem& item, const std::unordered_set<int32_t>* storedIDs = nullptr);
    // The contact a message of `login` goes to: found, or added "not in list" (null when the
    // login is unusable or the profile refuses it).
    std::shared_ptr<CContact> SenderContact(const std::u16string& login, int32_t status);

    // Idle work of the receive loop: details requests, contact actions, then the outbox.
    void RunIdleTasks();
    // Sends the messages waiting to be sent (the outbox); stops at the first failure.
    virtual void FlushOutbox();
    // A contact has a request for the idle pass (a rename, a move, an answer, details, a typing
    // notice), or the outbox has a message to send: marked by whoever leaves it there (any
    // thread; never waits), so that a pass with nothing marked walks no contact. A session
    // that begins marks both (what waited while offline, what the profile keeps unsent).
    // `wake`: the session runs its pass now rather than within the second (what the user
    // asked for); the session's own marks need not wake it.
    void NoteContactWork(bool wake) override {
        contactWork_.store(true);
        if (wake) WakeSession();
    }
    void NoteOutboxWork() override {
        outboxWork_.store(true);
        WakeSession();
    }
    void NoteAllWork() {
        contactWork_.store(true);
        outboxWork_.store(true);
    }
    // Wakes a running session for work the user asked for (any thread; never waits).
    virtual void WakeSession() { sessionWake_.Signal(); }
    // The program is closing: the session thread ends its session and ends, and the status
    // stays as it was (the next start signs on in it). Nothing of the account reports to a
    // view afterwards. AskSessionToEnd alone returns at once, so that the accounts end theirs
    // side by side.
    void AskSessionToEnd();
    void StopSessionForExit() {
        StopSessionForDestruction();
        SaveCounters();
    }

  protected:
    // Ends the session thread (AskSessionToEnd) and waits for it; the status stays, nothing
    // is saved. A protocol class calls it first thing in its own destructor, while the thread
    // may still call into it.
    void StopSessionForDestruction();

    // The lock of the command queue: a leaf, never held across anything that waits.
    mutable std::mutex commandMutex_;

  private:
    // The contacts' requests, walked by the idle pass when one is marked.
    void RunContactRequests();
    CContacts& contacts_;
    std::string profileFolder_;
    const int32_t lastStatus_;
    std::atomic<uint32_t> ownerAvatarVersion_{0};
    mutable std::mutex textMutex_;
    std::u16string statusText_;
    std::atomic<int> statusIcon_{accicon::kNone};
    std::atomic<bool> busy_{false};
    std::atomic<bool> repaint_{true};
    std::atomic<bool> loaded_{false};
    std::atomic<int32_t> requestedStatus_{-1};
    std::atomic<bool> signedOnElsewhere_{false};
    std::atomic<int> warningLevel_{0};
    std::atomic<bool> running_{false};

    // --- the session thread ---
    struct SessionCommand {
        enum Kind { kStatus, kStop, kQuit } kind = kStatus;
        bool save = false;  // kStop: the account is saved once offline
    };
    // Queues a command and wakes the session thread, made now if there is none yet. False once
    // the thread was asked to end.
    bool PostSessionCommand(SessionCommand command);
    void SessionThreadBody();
    // Takes the status commands at the head of the queue (none behind a stop); true if any.
    bool TakeStatusCommands();
    // A status command on a resting thread: signs on and runs the session to its end.
    void RunSessionToEnd();
    // After a stop command: the connections closed, the tables cleared, offline; an account
    // disabled meanwhile drops what its session added to the contact store.
    void FinishStop(bool save);
    std::deque<SessionCommand> commands_;  // guarded by commandMutex_
    bool handling_ = false;                // the same: a command is being carried out
    std::thread sessionThread_;            // the same; joined only by StopSessionForDestruction
    std::atomic<int> stopsQueued_{0};
    std::atomic<bool> quitting_{false};
    WakeSignal sessionWake_;
    // Held while an enabled change loads or drops the contacts, and while the session thread
    // drops what a session of a disabled account left behind.
    std::mutex enableMutex_;
    // One outbox flush at a time: two would send the same message twice.
    std::mutex outboxMutex_;
    std::mutex addsMutex_;
    std::vector<ContactToAdd> adds_;
    std::vector<GroupChange> groupChanges_;  // guarded by addsMutex_
    mutable std::mutex detailsMutex_;
    std::vector<std::u16string> detailsAsked_;
    std::map<std::u16string, ContactDetails> details_;
    std::atomic<uint32_t> detailsVersion_{0};
    std::atomic<bool> contactWork_{true};
    std::atomic<bool> outboxWork_{true};
    bool typingOwed_ = false;  // session thread only
    std::atomic<bool> noteChanged_{false};
    std::atomic<bool> profileChanged_{false};
    std::atomic<bool> ownPictureChanged_{false};
    DirectorySearch search_;  // guarded by detailsMutex_
    std::optional<std::pair<DirectorySearch::By, std::u16string>> searchAsked_;  // the same
    std::atomic<uint32_t> searchVersion_{0};
    mutable std::mutex questionMutex_;
    CertificateQuestion question_;
    std::atomic<int> passwordQuestion_{0};
    std::atomic<bool> keyringClearPending_{false};
    std::mutex roomsMutex_;  // a leaf: the two below
    std::unique_ptr<CRoomList> rooms_;
    std::vector<RoomCommand> roomCommands_;
};

// The live account a contact of the store belongs to (the store's contacts are all made by
// accounts).
CAccount& AccountOf(const CContact& contact);

}  // namespace zul
