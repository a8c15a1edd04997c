// The contact list model: CContact (one person on one account), CGroup (a group of one
// account, or a virtual group merging the same-named groups of all accounts) and CContacts,
// the shared store that creates, finds, updates, deletes and persists them.
//
// The contact list page lives in the user interface and reaches the store only through
// IContactsView; protocol threads change the model and the page repaints on its own tick.
//
// Locks, always taken in this order when more than one is needed: the database lock, the
// store lock (CContacts::Mutex), a history's lock (CHistory::Mutex), a contact's text lock
// (a leaf, never held while taking another). Store operations that write the profile take the
// database lock first, so a burst that holds a CTransaction may call them freely.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "storage/history.h"

namespace zul {

class CStoreAccount;
class CHistory;
class CContact;
class CContacts;
class CDatabase;
class CGroup;
class CHistoryEvent;

using ContactPtr = std::shared_ptr<CContact>;

// An entry of the contact list: a group (kind 2) or a contact (kind 3).
class CContactListItem {
  public:
    virtual ~CContactListItem() = default;
    virtual int Kind() const = 0;
};

// What the contact list page offers the model. Each call only marks the page changed (it must
// not wait for a lock of the page); the page repaints on its timer. Calls arrive on any thread.
class IContactsView {
  public:
    virtual ~IContactsView() = default;
    // Recollect, regroup, resort and relayout.
    virtual void Rebuild() = 0;
    // Redraw one contact's row (status, marks, unread count, picture).
    virtual void RedrawContact(CContact* contact) = 0;
    // The item is about to be destroyed: drop it as the selected or focused item (and, for a
    // contact, let its chat page go). Called with the store lock held.
    virtual void ItemRemoved(const CContactListItem* item) = 0;
};

// A login from the network that may become a contact: not empty, not too long, no control
// characters.
bool IsUsableLogin(std::u16string_view login);

// Status codes that mark a contact as just come online.
bool IsComingOnlineStatus(int32_t status);

// What a contact is made of; the rest of its state (status, marks, picture) comes later.
struct ContactFields {
    int32_t localID = 0;
    uint16_t srvID = 0;
    uint16_t groupID = 0;
    std::u16string groupName{};
    std::u16string login{};
    std::u16string nickname{};
    std::u16string note{};
    std::u16string email{};
    std::u16string phone{};
    bool awaitingAuth = false;
    bool onServer = false;
    // Counts of its history the caller read already.
    HistoryCounts counts{};
};

class CContact : public CContactListItem {
  public:
    static constexpr int kItemKind = 3;
    // Ticks (seconds) a mark stays before it clears itself.
    static constexpr int kMarkTicks = 10;

    // A null account raises CError "Fatal error: No account fetched". A contact that is not on
    // the server has GroupID 0 whatever is given.
    CContact(CStoreAccount* account, const ContactFields& fields);
    ~CContact() override;
    CContact(const CContact&) = delete;
    CContact& operator=(const CContact&) = delete;

    int Kind() const override { return kItemKind; }

    CStoreAccount& Account() const { return account_; }
    int32_t AccountID() const;
    CHistory& History() const { return *history_; }

    int32_t LocalID() const { return localID_; }
    uint16_t SrvID() const { return srvID_.load(); }
    uint16_t GroupID() const { return groupID_.load(); }
    void SetSrvID(uint16_t id) { srvID_.store(id); }
    void SetGroupID(uint16_t id) { groupID_.store(id); }

    std::u16string Login() const;
    std::u16string Nickname() const;
    // The nickname the user gave; without one (or with one that is only the login again), the
    // name as the server formats it; else the login.
    std::u16string DisplayName() const;
    // The login as the server formats it ("Zul Bob" for "zulbob"); empty when it is the login
    // itself or not known.
    std::u16string FormattedName() const;
    // Takes the server's formatting of the login; a name that is not the same login is
    // ignored. True when the name changed (the caller then saves it: SaveFormattedName).
    bool SetFormattedName(const std::u16string& name);
    bool SaveFormattedName();
    std::u16string GroupName() const;
    std::u16string Note() const;
    std::u16string Email() const;
    std::u16string Phone() const;
    void SetLogin(const std::u16string& text);
    void SetNickname(const std::u16string& text);
    void SetGroupName(const std::u16string& text);
    void SetNote(const std::u16string& text);
    void SetEmail(const std::u16string& text);
    void SetPhone(const std::u16string& text);

    int32_t AwaitingAuth() const { return awaitingAuth_.load(); }
    int32_t Visible() const { return visible_.load(); }
    int32_t Invisible() const { return invisible_.load(); }
    int32_t Ignored() const { return ignored_.load(); }
    bool OnServer() const { return onServer_.load(); }
    void SetAwaitingAuth(int32_t v) { awaitingAuth_.store(v); }
    void SetVisible(int32_t v) { visible_.store(v); }
    void SetInvisible(int32_t v) { invisible_.store(v); }
    void SetIgnored(int32_t v) { ignored_.store(v); }
    void SetOnServer(bool v) { onServer_.store(v); }
    // Sets the four server-list flags; true when any of them changed (the caller then saves).
    bool SetListFlags(bool onServer, bool visible, bool invisible, bool ignored);

    // 11 (ICQ number: every character a decimal digit) or 12 (AIM screen name) for accounts of
    // the ICQ/AIM types; the account's effective type otherwise.
    uint8_t ProtocolKind() const;

    // Writes the contact's row. False (logged) on a database error or when the contact was
    // deleted from the profile meanwhile.
    bool dbSave();

    // Same bytes as stored: false, nothing happens. Otherwise keeps a copy (null or empty
    // clears it), redraws the row and saves when asked; true. Out of memory clears the
    // picture and raises CError "Can not allocate memory".
    bool SetPicture(const uint8_t* bytes, size_t length, bool save);
    std::vector<uint8_t> Picture() const;
    bool HasPicture() const;
    // The digest `make` gives of the stored picture; made once for each picture (a presence
    // storm compares every announced hash with it). Nothing without a picture.
    using PictureDigest = std::array<uint8_t, 16>;
    std::optional<PictureDigest> PictureDigestBy(
        PictureDigest (*make)(std::span<const uint8_t>)) const;
    // Grows with every change of the picture; the page decodes again when it moves.
    uint32_t PictureVersion() const { return pictureVersion_.load(); }

    // Takes what the server list says; saves when anything changed. True when it changed.
    // (fields.localID is not used.)
    bool UpdateFromServer(const ContactFields& fields);

    // Presence. True when status, mood or text changed; `record` adds a status-change event
    // to the history; `quiet` keeps the just-came-online mark off.
    bool SetStatus(int32_t status, const std::u16string& text, int32_t mood, bool quiet,
                   bool record);
    int32_t Status() const { return status_.load(); }
    int32_t Mood() const { return mood_.load(); }
    std::u16string StatusText() const;
    int StatusIcon() const { return statusIcon_.load(); }
    // The second line of the row: the status text, else the mood name, else the status name.
    std::u16string StatusLine() const;

    // When the contact's idle time began (seconds since 1970 UTC); 0 while not idle.
    void SetIdleSince(uint32_t utcSeconds) { idleSince_.store(utcSeconds); }
    uint32_t IdleSince() const { return idleSince_.load(); }

    // Short-lived marks, aged by Tick (once a second).
    void SetTyping(bool typing);
    bool Typing() const { return typing_.load(); }
    bool JustCameOnline() const { return justOnline_.load(); }
    // Ages the active marks; true when any mark was active.
    bool Tick();

    // Requests of the session's idle pass: short details, and the other per-contact action.
    // Each request marks work for the account's session (CAccount::NoteContactWork).
    void MarkNeedsDetails();
    bool NeedsDetails() const { return needsDetails_.load(); }
    bool TakeNeedsDetails() { return needsDetails_.exchange(false); }
    void MarkPendingAction();
    bool PendingAction() const { return pendingAction_.load(); }
    bool TakePendingAction() { return pendingAction_.exchange(false); }
    // A new nickname the user gave a contact on the server list: kept until the session's
    // idle pass takes it (and sends it), then applied when the server acknowledges it.
    void RequestRename(const std::u16string& nickname);
    std::optional<std::u16string> TakeRenameRequest();
    // The group (by name) the user moves a contact of the server list to, kept as a rename is.
    void RequestMove(const std::u16string& group);
    std::optional<std::u16string> TakeMoveRequest();
    // Our own typing in the chat with this contact (the typing notice's states). The chat sets
    // what it is; the session sends a change at most once every two seconds.
    static constexpr int kTypingEnded = 0, kTypingPaused = 1, kTypingBegun = 2;
    void SetOwnTyping(int state);
    int OwnTyping() const { return ownTypingWanted_.load(); }
    // Session thread: the state to send now, if it changed and the last notice is two
    // seconds old; nothing otherwise.
    std::optional<int> TypingNoticeDue(uint32_t now);
    // Session thread: a change of our typing is still to be sent (its gap not yet over).
    bool TypingNoticeOwed() const { return ownTypingWanted_.load() != ownTypingSent_; }
    // The contact asked for our authorisation and no answer was given yet (this run).
    bool AuthAsked() const { return authAsked_.load(); }
    void SetAuthAsked(bool asked) { authAsked_.store(asked); }
    // The user's answer, kept for the session's idle pass: 1 grant, 0 deny, -1 none.
    void RequestAuthAnswer(bool grant);
    // Our request for the contact's authorisation, asked again with a reason: kept until the
    // account's idle pass sends it (after the next sign-on when offline).
    void RequestAuthorisationAgain(const std::u16string& reason);
    std::optional<std::u16string> TakeAuthorisationRequest();
    int TakeAuthAnswer() { return authAnswer_.exchange(-1); }
    // The row shows the blocked icon (an action on the contact is under way).
    bool BlockedIcon() const { return blockedIcon_.load(); }
    void SetBlockedIcon(bool on) { blockedIcon_.store(on); }

    // History entry points: a message (time 0 means now) and a status change (now).
    void AddMessage(uint8_t direction, const std::u16string& text, uint64_t time, int32_t status,
                    int32_t mood);
    void AddStatusChange(const std::u16string& text, int32_t status, int32_t mood);

    // Set once the contact's row was deleted; the contact writes nothing after that.
    bool Removed() const { return removed_.load(); }
    void MarkRemoved() { removed_.store(true); }

    // Asks the contact list page to redraw this contact's row.
    void Redraw();

  private:
    friend class CContacts;

    void RecomputeIcon();
    void ClearMarks();

    CStoreAccount& account_;
    const int32_t localID_;
    std::atomic<uint16_t> srvID_;
    std::atomic<uint16_t> groupID_;

    mutable std::mutex textMutex_;  // guards the texts and the picture
    std::u16string login_, nickname_, groupName_, note_, email_, phone_, statusText_;
    std::u16string formattedName_;
    std::vector<uint8_t> picture_;
    mutable std::optional<PictureDigest> pictureDigest_;  // of picture_, once asked

    std::atomic<int32_t> awaitingAuth_{0}, visible_{0}, invisible_{0}, ignored_{0};
    std::atomic<bool> onServer_{false};
    std::atomic<uint32_t> pictureVersion_{0};

    std::atomic<int16_t> status_{-1};
    std::atomic<int32_t> mood_{-1};
    std::atomic<uint32_t> idleSince_{0};
    std::atomic<int> statusIcon_{0};

    std::atomic<bool> justOnline_{false}, typing_{false};
    std::atomic<int> justOnlineTicks_{0}, typingTicks_{0};
    std::atomic<bool> needsDetails_{false}, pendingAction_{false}, blockedIcon_{false};
    std::atomic<int> ownTypingWanted_{0};
    int ownTypingSent_ = 0;           // session thread only
    uint32_t ownTypingSentTick_ = 0;  // session thread only
    bool ownTypingEverSent_ = false;  // session thread only
    std::atomic<bool> authAsked_{false};
    std::atomic<int> authAnswer_{-1};
    std::mutex renameMutex_;
    std::optional<std::u16string> renameRequest_;
    std::optional<std::u16string> authRequest_;  // guarded by renameMutex_
    std::optional<std::u16string> moveRequest_;  // guarded by renameMutex_
    std::atomic<bool> removed_{false};

    std::unique_ptr<CHistory> history_;
    // The last status-change row and when it was written (see AddStatusChange).
    std::mutex statusEventMutex_;
    std::shared_ptr<CHistoryEvent> lastStatusEvent_;
    uint32_t lastStatusTick_ = 0;
    // The store that holds the contact (set when it is added), told of login changes.
    std::atomic<CContacts*> store_{nullptr};
};

class CGroup : public CContactListItem {
  public:
    static constexpr int kItemKind = 2;

    // A group of an account.
    CGroup(int32_t accountID, uint16_t groupID, const std::u16string& name,
           CDatabase* db = nullptr);
    // A virtual group: account ID 0, GroupID 0.
    explicit CGroup(const std::u16string& name, CDatabase* db = nullptr);

    int Kind() const override { return kItemKind; }

    int32_t AccountID() const { return accountID_; }
    // The group's id on the account's server (what contacts and the wire use).
    uint16_t GroupID() const { return groupID_.load(); }
    // The row id in the profile. Server ids are unique per account only: a server id that
    // another account's group holds is stored at that id plus a multiple of 0x10000, so the
    // row id's low 16 bits are always the server id. 0 until the group is first saved.
    int32_t RowID() const { return rowID_.load(); }
    void SetRowID(int32_t id) { rowID_.store(id); }
    bool IsVirtual() const { return virtual_; }
    std::u16string Name() const;

    bool Expanded() const { return expanded_.load(); }
    // No save. Drops the cached layout of the group's members.
    void SetExpanded(bool expanded);
    // Grows whenever the members' layout must be made again.
    uint32_t LayoutVersion() const { return layoutVersion_.load(); }

    // Takes a new id and name and saves; nothing when both are the same. True when changed.
    bool Rename(uint16_t groupID, const std::u16string& name);

    bool Save();
    bool __dbSave();
    bool __dbSaveVirtualGroup();

  private:
    CDatabase& Db() const;

    CDatabase* const db_;  // null: the process-wide profile
    const int32_t accountID_;
    std::atomic<uint16_t> groupID_;
    std::atomic<int32_t> rowID_{0};
    const bool virtual_;
    std::atomic<bool> expanded_{false};
    std::atomic<uint32_t> layoutVersion_{0};
    mutable std::mutex nameMutex_;
    std::u16string name_;
};

class CContacts {
  public:
    // The profile and the clock of the store, its contacts, groups and histories; null and
    // empty stand for the process-wide profile (Database()) and clock (HistoryNow()).
    explicit CContacts(IContactsView* view = nullptr, CDatabase* db = nullptr,
                       std::function<uint64_t()> clock = {});
    ~CContacts();
    CContacts(const CContacts&) = delete;
    CContacts& operator=(const CContacts&) = delete;

    void SetView(IContactsView* view) { view_.store(view); }
    CDatabase& Db() const;
    uint64_t Now() const;
    IContactsView* View() const { return view_.load(); }
    void Rebuild();
    void RedrawContact(CContact* contact);

    // The store lock. Hold it while reading the vectors below.
    std::recursive_mutex& Mutex() const { return mutex_; }
    const std::vector<ContactPtr>& ContactList() const { return contacts_; }
    const std::vector<std::unique_ptr<CGroup>>& GroupList() const { return groups_; }
    const std::vector<std::unique_ptr<CGroup>>& VirtualGroupList() const { return virtualGroups_; }
    // Snapshot of the contacts of one account (all accounts for null), in store order.
    std::vector<ContactPtr> ContactsOf(const CStoreAccount* account) const;

    // Copies taken under the store lock, for readers that must not walk the store themselves
    // (the window's). A group as it was when copied; a virtual group has account and group id 0.
    struct GroupEntry {
        int32_t accountID = 0;
        uint16_t groupID = 0;
        std::u16string name{};
        bool expanded = false;
    };
    // The groups of the accounts, in store order.
    std::vector<GroupEntry> Groups() const;
    // Every contact and every virtual group (one per group name), taken in one go.
    struct ListSnapshot {
        std::vector<ContactPtr> contacts;
        std::vector<GroupEntry> virtualGroups;
    };
    ListSnapshot Snapshot() const;

    // Makes a contact and appends it. With `save` its row is written; a contact whose row
    // cannot be written is dropped again (null is returned), so no history is ever stored for
    // a contact the profile does not know. May raise CError (see CContact).
    ContactPtr AddContact(CStoreAccount* account, const ContactFields& fields, bool save,
                          bool redraw);
    // As AddContact with a new LocalID (contacts from the server list). `storedIDs`, when
    // given, are the LocalIDs of every contact row of the profile (dbLocalIDs, read once for
    // many additions): the new id is none of them either, so no History row can have it (rows
    // go with their contact's row) and the contact starts with counts of an empty history,
    // asking the profile nothing now, nor the window thread later.
    ContactPtr AddNewContact(CStoreAccount* account, ContactFields fields, bool save, bool redraw,
                             const std::unordered_set<int32_t>* storedIDs = nullptr);
    // A contact outside the server list: new LocalID and SrvID, GroupID 0, not on the server.
    ContactPtr AddNewLocalContact(CStoreAccount* account, ContactFields fields, bool save,
                                  bool redraw);

    // Appends the group, re-sorts the groups and makes sure a virtual group of its name exists.
    CGroup* AddGroup(std::unique_ptr<CGroup> group, bool redraw);
    // The first group of that account with that GroupID.
    CGroup* FindGroup(int32_t accountID, uint16_t groupID) const;
    CGroup* FindVirtualGroup(std::u16string_view name) const;
    // The first contact of that account whose login equals the given one.
    ContactPtr FindContact(const CStoreAccount* account, std::u16string_view login) const;

    // Sets the picture with saving; false when the contact is unknown or nothing changed.
    bool SetPictureByLogin(const CStoreAccount* account, std::u16string_view login,
                           const uint8_t* bytes, size_t length);
    // Number of the account's contacts; `online` receives how many are not offline.
    int CountContacts(const CStoreAccount* account, int* online) const;
    // The formatted names the profile keeps for the account's contacts in memory.
    bool LoadFormattedNames(const CStoreAccount* account);
    // Every contact of the account goes offline with an empty text; the list is rebuilt.
    void SetAccountOffline(const CStoreAccount* account);
    // A presence notice. The stored text stays unless `textChanged`. True when it changed.
    bool UpdatePresence(const CStoreAccount* account, std::u16string_view login, int32_t status,
                        bool textChanged, const std::u16string& text, int32_t mood, bool quiet);
    // The same for a contact already found.
    bool UpdatePresence(CContact& contact, int32_t status, bool textChanged,
                        const std::u16string& text, int32_t mood, bool quiet);
    // A typing notice; unknown logins are ignored. True when the contact is known.
    bool SetTyping(const CStoreAccount* account, std::u16string_view login, bool typing);

    // A group item of the server list: renames a known group (carrying its contacts along) or
    // makes and saves a new one.
    CGroup* AddOrUpdateGroup(int32_t accountID, const std::u16string& name, uint16_t groupID);
    // Removes a group from memory (the profile is cleaned by dbCleanGroups).
    void RemoveGroup(CGroup* group);
    // The name of the account's group of that GroupID ("" when there is none).
    std::u16string GroupName(int32_t accountID, uint16_t groupID) const;
    // Removes the account's group of that GroupID from memory; false when there is none.
    bool RemoveGroupOf(int32_t accountID, uint16_t groupID);
    // Removes the account's groups whose GroupIDs the sorted `keep` does not hold.
    void RemoveGroupsExcept(int32_t accountID, const std::vector<uint16_t>& keep);
    // The header tap on the list's group of that name (the virtual group of all accounts):
    // toggles Expanded and passes it to the same-named groups; the new state, or none when
    // there is no such group. Takes the store's lock only: the profile's update goes to its
    // writer thread (the window thread never waits for the profile).
    std::optional<bool> ToggleVirtualGroup(std::u16string_view name);

    // Deletes the contact's row (and through the trigger its history), then the object.
    bool DeleteContact(CContact* contact);
    // Drops every contact and group of the account from memory. The profile keeps their
    // history counts (HistoryTotals), so that the next load need not count them.
    void RemoveAccount(int32_t accountID);
    // Lays the index of logins out afresh, its entries next to each other in memory: after a
    // load they lie between the contacts they index, and a list download or a presence storm,
    // which look up thousands of logins, waits on memory for each. While a CompactionHold
    // lives, it is done once, when the last hold goes (the accounts of a profile load).
    void CompactIndex();
    class CompactionHold {
      public:
        explicit CompactionHold(CContacts& contacts);
        ~CompactionHold();
        CompactionHold(const CompactionHold&) = delete;
        CompactionHold& operator=(const CompactionHold&) = delete;

      private:
        CContacts& contacts_;
    };
    // The account's groups, then its contacts with their history counts, from the profile
    // (without redrawing). False on a database error (logged); what was added stays, and the
    // caller removes the account's part of the store again.
    bool dbLoadGroupsOf(int32_t accountID);
    bool dbLoadContactsOf(CStoreAccount* account);
    // The LocalIDs of every contact row of the profile, of every account.
    std::unordered_set<int32_t> dbLocalIDs() const;
    // Deletes the group rows of a loaded account that are no longer held in memory.
    bool dbCleanGroups(CStoreAccount* account);

    // Ages the marks of every contact; true when any mark was active.
    bool Tick();

    // New identifiers, unique among the contacts in memory (and among `avoid`).
    int32_t NewLocalID(const std::unordered_set<int32_t>* avoid = nullptr) const;
    uint16_t NewSrvID() const;

  private:
    friend class CContact;

    void EnsureVirtualGroup(const CGroup& group);
    void DropVirtualGroupIfUnused(const std::u16string& name);
    void SortGroups();

    // The index of FindContact: contacts by account and folded login, each entry in store
    // order. Kept in step with contacts_ and with the contacts' logins; guarded by mutex_.
    struct LoginKey {
        const CStoreAccount* account;
        std::u16string folded;
        bool operator==(const LoginKey& other) const = default;
    };
    struct LoginKeyHash {
        size_t operator()(const LoginKey& key) const;
    };
    static LoginKey KeyOf(const CStoreAccount* account, std::u16string_view login);
    void IndexContact(const ContactPtr& contact);
    void UnindexContact(const CContact* contact);
    // A contact's login changed from `oldLogin`; called with the store lock held.
    void RekeyContact(CContact* contact, const std::u16string& oldLogin);

    mutable std::recursive_mutex mutex_;
    std::atomic<IContactsView*> view_{nullptr};
    CDatabase* const db_;  // null: the process-wide profile
    const std::function<uint64_t()> clock_;
    std::vector<ContactPtr> contacts_;
    std::vector<std::unique_ptr<CGroup>> groups_;
    std::vector<std::unique_ptr<CGroup>> virtualGroups_;
    std::unordered_map<LoginKey, std::vector<ContactPtr>, LoginKeyHash> byLogin_;
    int compactionHolds_ = 0;  // guarded by mutex_
    bool compactionOwed_ = false;
    // Local ids in use (they never change): a new id is found in constant time.
    std::unordered_set<int32_t> localIDs_;
};

}  // namespace zul
