// CAccountData: the persisted record of one configured account (one row of Accounts).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tick.h"

namespace zul {

// Stored account types.
namespace acctype {
constexpr uint8_t kOscarUnresolved = 1;  // ICQ or AIM, decided by the login
constexpr uint8_t kXmpp = 2;
constexpr uint8_t kIcq = 11;
constexpr uint8_t kAim = 12;
}  // namespace acctype

class CAccountData {
  public:
    CAccountData() = default;
    CAccountData(const CAccountData& other);
    CAccountData& operator=(const CAccountData& other);
    virtual ~CAccountData() = default;

    // Hooks, called only when the value really changes (the status hook on every set).
    virtual void OnStatusChanged() {}
    virtual void OnDescriptionChanged(std::u16string newDescription) {}
    virtual void OnEnabledChanged() {}
    virtual void OnOwnerAvatarChanged() {}

    int32_t ID() const { return id_; }
    void SetID(int32_t id) { id_ = id; }
    uint8_t Type() const { return type_; }
    // Type 1 resolves to 11 for an all-digit login, else 12.
    uint8_t EffectiveType() const;
    void SetType(uint8_t type) { type_ = type; }

    std::u16string Description() const;
    void SetDescription(const std::u16string& text);
    std::u16string Login() const;
    void SetLogin(const std::u16string& text);
    std::u16string Password() const;
    void SetPassword(const std::u16string& text);
    std::u16string Server() const;
    void SetServer(const std::u16string& text);
    std::u16string Port() const;
    void SetPort(const std::u16string& text);
    // The login when no nickname is stored.
    std::u16string OwnerNick() const;
    void SetOwnerNick(const std::u16string& text);

    int32_t SecureLogin() const { return secureLogin_.load(); }
    void SetSecureLogin(int32_t v) { secureLogin_ = v; }
    int32_t UpdateContactsOnLogin() const { return updateContactsOnLogin_.load(); }
    void SetUpdateContactsOnLogin(int32_t v) { updateContactsOnLogin_ = v; }

    // Every connection of the account is made with TLS (never falling back to clear text).
    bool UseTls() const { return useTls_.load(); }
    void SetUseTls(bool on) { useTls_ = on; }
    // The SHA-256 fingerprint ("AB:CD:...") of the server certificate the user trusted, for a
    // server the system's store does not vouch for; empty: none.
    std::string TrustedCertificate() const;
    void SetTrustedCertificate(const std::string& sha256);
    // The password lives in the desktop's keyring: the profile never holds it, and the account
    // knows it only after a sign-on looked it up (or the user typed it).
    bool PasswordInKeyring() const { return passwordInKeyring_.load(); }
    void SetPasswordInKeyring(bool on) { passwordInKeyring_ = on; }
    // The keyring holds the password the account knows now (stored or looked up this run).
    bool KeyringHoldsPassword() const { return keyringHolds_.load(); }
    void SetKeyringHoldsPassword(bool holds) { keyringHolds_ = holds; }

    // Who may see the account, as the user chose it (the server's privacy modes: 1 everybody,
    // 2 nobody, 3 the visible list, 4 everybody but the invisible list, 5 the contact list);
    // 0 while the user has chosen nothing, and the server's setting holds.
    uint8_t PrivacyChoice() const { return privacyChoice_.load(); }
    void SetPrivacyChoice(uint8_t mode) { privacyChoice_ = mode <= 5 ? mode : 0; }

    // The user's own text shown with the status: the away message (sent while away) and, on
    // ICQ, the status note; empty: none (an away status then says its name).
    std::u16string StatusNote() const;
    void SetStatusNote(const std::u16string& text);
    // What others read about the user (plain text; sent as the profile).
    std::u16string Profile() const;
    void SetProfile(const std::u16string& text);

    uint32_t BytesIn() const { return bytesIn_.load(); }
    uint32_t BytesOut() const { return bytesOut_.load(); }
    void SetBytesIn(uint32_t v) { bytesIn_ = v; }
    void SetBytesOut(uint32_t v) { bytesOut_ = v; }
    // Add to the counter and write it to the profile at once, or, while a counter batch is
    // open, when the last batch closes.
    void AddBytesIn(uint32_t n);
    void AddBytesOut(uint32_t n);
    // A burst of frames (a presence storm, a flush of the outbox, the sign-on) opens a batch:
    // its frames are counted at once and the counter rows written once when it closes, with
    // the values they hold then, when the batch wrote other rows too (they share its commit)
    // or the counters were last written kCounterSaveMs ago: a burst that stores nothing else
    // does not make a commit of its own for its traffic. Batches nest and may be opened on
    // any thread.
    void BeginCounterBatch();
    void EndCounterBatch();
    // Writes counters a batch left unwritten (the session stops).
    void SaveCounters();
    static constexpr uint32_t kCounterSaveMs = 10000;

    // Internal status code; -1 while offline.
    int32_t Status() const { return status_.load(); }
    void SetStatus(int32_t status);
    // Tick at which the status last left -1; 0 while offline.
    uint32_t OnlineSince() const { return onlineSince_.load(); }

    int32_t Enabled() const { return enabled_.load(); }
    void SetEnabled(int32_t enabled);

    std::vector<uint8_t> OwnerAvatar() const;
    bool HasOwnerAvatar() const;
    // Same bytes: nothing happens. Otherwise copy, run the hook and save when asked.
    void SetOwnerAvatar(const uint8_t* bytes, size_t count, bool save);

    // Writes the row; nothing is stored (false) while ID is 0.
    bool dbSave();
    bool dbSaveBytesIn();
    bool dbSaveBytesOut();

  protected:
    mutable std::mutex fieldsMutex_;  // guards the texts and the picture

  private:
    int32_t id_ = 0;
    uint8_t type_ = 0;
    std::u16string description_, login_, password_, server_, port_, ownerNick_;
    std::atomic<int32_t> secureLogin_{0};
    std::atomic<int32_t> updateContactsOnLogin_{0};
    std::atomic<bool> useTls_{false};
    std::atomic<bool> passwordInKeyring_{false};
    std::atomic<uint8_t> privacyChoice_{0};
    std::atomic<bool> keyringHolds_{false};
    std::string trustedCertificate_;
    std::u16string statusNote_;
    std::u16string profile_;
    std::atomic<uint32_t> bytesIn_{0};
    std::atomic<uint32_t> bytesOut_{0};
    // Open counter batches and the counters changed meanwhile. A leaf lock: the database lock
    // is never awaited while it is held.
    std::mutex counterMutex_;
    int counterBatches_ = 0;
    bool bytesInDirty_ = false;
    bool bytesOutDirty_ = false;
    int64_t changesAtBatch_ = 0;  // the profile's change count when the outer batch opened
    // The stored counters were read with the account: they start in step.
    uint32_t countersSavedAt_ = GetTick();
    std::atomic<int32_t> status_{-1};
    std::atomic<uint32_t> onlineSince_{0};
    std::atomic<int32_t> enabled_{1};
    std::vector<uint8_t> ownerAvatar_;
};

class CContacts;
class CDatabase;

// An account as the store sees it: its row, the store that holds its contacts, whether they
// are loaded, and the marks that tell its session of work (a contact's request, a message in
// the outbox). The live account implements it; storage knows nothing more of accounts.
class CStoreAccount : public CAccountData {
  public:
    explicit CStoreAccount(const CAccountData& data) : CAccountData(data) {}
    virtual CContacts& Contacts() = 0;
    virtual bool Loaded() const = 0;
    // Any thread; never waits. `wake`: the session runs its pass now (what the user asked).
    virtual void NoteContactWork(bool wake) = 0;
    virtual void NoteOutboxWork() = 0;
};

// The account rows of the profile (with the settings kept in their side tables), each handed
// to `take` in the order SQLite returns them, under the profile's lock; `take` answers false
// to stop the load (the rows after it are not read) and the load then answers false too. A
// database error is logged as the load of the account list ("CAccounts::dbLoad(): ").
bool dbLoadAccountRows(CDatabase& db, const std::function<bool(const CAccountData&)>& take);
// Deletes the account rows whose identifier `keep` refuses (the accounts removed from the
// list). A database error is logged as the save of the list ("CAccounts::dbSave(): ").
bool dbDeleteAccountRows(CDatabase& db, const std::function<bool(int32_t id)>& keep);
// Whether a row of the profile's Accounts table has this identifier (the rows of removed
// accounts stay until the list is saved). Waits for the profile's lock; false when the profile
// is closed or on a database error (logged).
bool AccountRowExists(CDatabase& db, int32_t id);

// Keeps a counter batch of the account open for its lifetime.
class CounterBatch {
  public:
    explicit CounterBatch(CAccountData& account) : account_(account) {
        account_.BeginCounterBatch();
    }
    ~CounterBatch() { account_.EndCounterBatch(); }
    CounterBatch(const CounterBatch&) = delete;
    CounterBatch& operator=(const CounterBatch&) = delete;

  private:
    CAccountData& account_;
};

}  // namespace zul
