#include "accounts/accounts.h"

#include <algorithm>

#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/status.h"

namespace zul {
namespace {

std::mutex g_factoryMutex;
AccountFactory g_factory;

AccountFactory CurrentFactory() {
    std::lock_guard lock(g_factoryMutex);
    return g_factory;
}

}  // namespace

void SetAccountFactory(AccountFactory factory) {
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

CAccounts::CAccounts(CContacts& contacts, std::string profileFolder)
    : contacts_(contacts), profileFolder_(std::move(profileFolder)) {
    loadSucceeded_ = dbLoad();
}

CAccounts::~CAccounts() {
    std::lock_guard lock(mutex_);
    for (auto& account : accounts_) account.reset();
    accounts_.clear();
}

bool CAccounts::dbLoad() {
    CDatabase& db = Database();
    const CMappedReads mapped(db);  // the lock, and the contacts' seeks through a mapping
    // The index of logins is laid out once, after every account's contacts came.
    const CContacts::CompactionHold compaction(contacts_);
    const AccountFactory factory = CurrentFactory();
    return dbLoadAccountRows(db, [&](const CAccountData& data) {
        const uint8_t type = data.EffectiveType();
        if (type == acctype::kXmpp) return false;
        if ((type == acctype::kIcq || type == acctype::kAim) && factory) {
            if (std::unique_ptr<CAccount> account = factory(data, contacts_, profileFolder_)) {
                Add(std::move(account));
            }
        }
        return true;
    });
}

bool CAccounts::dbSave() {
    return dbDeleteAccountRows(Database(), [this](int32_t id) { return Find(id) != nullptr; });
}

CAccount* CAccounts::Find(int32_t id) const {
    std::lock_guard lock(mutex_);
    for (const auto& account : accounts_) {
        if (account->ID() == id) return account.get();
    }
    return nullptr;
}

CAccount* CAccounts::Add(std::unique_ptr<CAccount> account) {
    if (!account) return nullptr;
    std::lock_guard lock(mutex_);
    CAccount* added = account.get();
    accounts_.push_back(std::move(account));
    Sort();
    return added;
}

CAccount* CAccounts::Create(const CAccountData& data) {
    const uint8_t type = data.EffectiveType();
    if (type != acctype::kIcq && type != acctype::kAim) return nullptr;
    const AccountFactory factory = CurrentFactory();
    if (!factory) return nullptr;
    return Add(factory(data, contacts_, profileFolder_));
}

std::unique_ptr<CAccount> CAccounts::Remove(CAccount* account) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(accounts_.begin(), accounts_.end(),
                           [account](const auto& a) { return a.get() == account; });
    if (it == accounts_.end()) return nullptr;
    std::unique_ptr<CAccount> removed = std::move(*it);
    accounts_.erase(it);
    return removed;
}

void CAccounts::Sort() {
    std::lock_guard lock(mutex_);
    std::stable_sort(accounts_.begin(), accounts_.end(), [](const auto& a, const auto& b) {
        return CompareNoCase(a->Description(), b->Description()) < 0;
    });
}

void CAccounts::RequestStatusAll(int32_t status) {
    std::lock_guard lock(mutex_);
    for (const auto& account : accounts_) {
        if (account->Enabled()) account->RequestStatus(status);
    }
}

void CAccounts::DisconnectAll() {
    std::lock_guard lock(mutex_);
    for (const auto& account : accounts_) {
        if (account->Enabled()) account->Disconnect(true);
    }
}

void CAccounts::StopSessionsForExit() {
    std::lock_guard lock(mutex_);
    // Every session thread is asked first, so that the accounts end their sessions side by
    // side rather than one after the other.
    for (const auto& account : accounts_) account->AskSessionToEnd();
    for (const auto& account : accounts_) account->StopSessionForExit();
}

std::vector<CAccount*> CAccounts::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<CAccount*> list;
    list.reserve(accounts_.size());
    for (const auto& account : accounts_) list.push_back(account.get());
    return list;
}

size_t CAccounts::Count() const {
    std::lock_guard lock(mutex_);
    return accounts_.size();
}

}  // namespace zul
