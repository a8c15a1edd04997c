// CAccounts: every configured account, sorted by description. Loads them from the profile at
// start-up through a registered factory (the protocol layer registers the one that makes OSCAR
// accounts), so loading does not depend on any protocol, and deletes the rows of accounts that
// were removed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accounts/account.h"

namespace zul {

class CContacts;
class CDatabase;

// Makes the live account of a loaded record of effective type 11 or 12.
using AccountFactory = std::function<std::unique_ptr<CAccount>(
    const CAccountData& data, CContacts& contacts, const std::string& profileFolder)>;
void SetAccountFactory(AccountFactory factory);

class CAccounts {
  public:
    // Loads the accounts (dbLoad); LoadSucceeded tells how that went.
    CAccounts(CContacts& contacts, std::string profileFolder);
    // Destroys the accounts in list order.
    ~CAccounts();
    CAccounts(const CAccounts&) = delete;
    CAccounts& operator=(const CAccounts&) = delete;

    // Reads every row of Accounts. A stored XMPP account ends the load: false, and the rows
    // after it are not read. Rows of unknown types are skipped.
    bool dbLoad();
    bool LoadSucceeded() const { return loadSucceeded_; }
    // Deletes the rows of accounts that are no longer in the list (their groups, contacts and
    // history go with them).
    bool dbSave();

    CAccount* Find(int32_t id) const;
    // Inserts and re-sorts; returns the account.
    CAccount* Add(std::unique_ptr<CAccount> account);
    // Makes a live account of the record through the registered factory (effective types 11
    // and 12 only) and adds it; nullptr when no account could be made.
    CAccount* Create(const CAccountData& data);
    // Takes the account out of the list (the caller destroys it, then saves the list).
    std::unique_ptr<CAccount> Remove(CAccount* account);
    // Re-sorts after a description changed.
    void Sort();

    // Every enabled account requests the status / disconnects with saving; both return at once
    // (the accounts' session threads carry them out).
    void RequestStatusAll(int32_t status);
    void DisconnectAll();
    // The program is closing: every session stops, the statuses stay
    // (CAccount::StopSessionForExit).
    void StopSessionsForExit();

    // The list as it is now, sorted by description, copied under the list's lock. Only the
    // window thread adds and removes accounts, so the pointers stay valid for the window code
    // that took it until it adds or removes one itself.
    std::vector<CAccount*> Snapshot() const;
    size_t Count() const;

    CContacts& Contacts() { return contacts_; }
    const std::string& ProfileFolder() const { return profileFolder_; }

  private:
    CContacts& contacts_;
    std::string profileFolder_;
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<CAccount>> accounts_;
    bool loadSucceeded_ = false;
};

}  // namespace zul
