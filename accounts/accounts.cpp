#include "accounts/accounts.h"

#include <algorithm>

#include "accounts/status.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"

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

bool AccountRowExists(CDatabase& db, int32_t id) {
    std::lock_guard lock(db.Mutex());
    if (!db.IsOpen()) return false;
    try {
        CppSQLite3Command cmd = db.Prepare(u"SELECT COUNT(*) FROM Accounts WHERE ID=?");
        cmd.BindInt(1, id);
        return db.ExecuteScalar(cmd) != 0;
    } catch (const CppSQLite3Exception& e) {
        LogDbError(u"AccountRowExists(): ", e);
        return false;
    }
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
    return DbWork(u"CAccounts::dbLoad(): ", [&] {
        CppSQLite3Command cmd = db.Prepare(
            u"SELECT Accounts.*, AccountSecurity.Tls, AccountSecurity.TrustedCertificate, "
            u"AccountSecurity.Keyring, AccountTexts.StatusNote, AccountPrivacy.Mode, "
            u"AccountProfile.Profile FROM Accounts "
            u"LEFT JOIN AccountSecurity ON AccountSecurity.AccID=Accounts.ID "
            u"LEFT JOIN AccountTexts ON AccountTexts.AccID=Accounts.ID "
            u"LEFT JOIN AccountProfile ON AccountProfile.AccID=Accounts.ID "
            u"LEFT JOIN AccountPrivacy ON AccountPrivacy.AccID=Accounts.ID");
        CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
        const AccountFactory factory = CurrentFactory();
        while (!rows.IsEnd()) {
            CAccountData data;
            data.SetID(rows.IntColumn(u"ID", 0));
            data.SetType(static_cast<uint8_t>(rows.IntColumn(u"Type", 0)));
            data.SetDescription(rows.TextColumn(u"Description", u""));
            data.SetLogin(rows.TextColumn(u"Login", u""));
            data.SetOwnerNick(rows.TextColumn(u"OwnerNick", u""));
            data.SetPassword(rows.TextColumn(u"Password", u""));
            data.SetServer(rows.TextColumn(u"Server", u""));
            data.SetPort(rows.TextColumn(u"Port", u""));
            data.SetSecureLogin(rows.IntColumn(u"SecureLogin", 0));
            data.SetUpdateContactsOnLogin(rows.IntColumn(u"UpdateContactsOnLogin", 0));
            data.SetBytesIn(static_cast<uint32_t>(rows.IntColumn(u"BytesIn", 0)));
            data.SetBytesOut(static_cast<uint32_t>(rows.IntColumn(u"BytesOut", 0)));
            data.SetStatus(rows.IntColumn(u"LastStatus", 0));
            data.SetEnabled(rows.IntColumn(u"Enabled", 0));
            data.SetUseTls(rows.IntColumn(u"Tls", 0) != 0);
            data.SetTrustedCertificate(ToUtf8(rows.TextColumn(u"TrustedCertificate", u"")));
            data.SetPasswordInKeyring(rows.IntColumn(u"Keyring", 0) != 0);
            data.SetStatusNote(rows.TextColumn(u"StatusNote", u""));
            data.SetProfile(rows.TextColumn(u"Profile", u""));
            data.SetPrivacyChoice(static_cast<uint8_t>(rows.IntColumn(u"Mode", 0)));
            int avatarBytes = 0;
            const uint8_t* avatar = rows.BlobColumn(u"OwnerAvatar", avatarBytes);
            if (avatar && avatarBytes > 0) {
                data.SetOwnerAvatar(avatar, static_cast<size_t>(avatarBytes), false);
            }

            const uint8_t type = data.EffectiveType();
            if (type == acctype::kXmpp) return false;
            if ((type == acctype::kIcq || type == acctype::kAim) && factory) {
                if (std::unique_ptr<CAccount> account = factory(data, contacts_, profileFolder_)) {
                    Add(std::move(account));
                }
            }
            rows.Next();
        }
        return true;
    });
}

bool CAccounts::dbSave() {
    CDatabase& db = Database();
    std::lock_guard dbLock(db.Mutex());
    return DbWork(u"CAccounts::dbSave(): ", [&] {
        std::vector<int32_t> gone;
        {
            CppSQLite3Command cmd = db.Prepare(u"SELECT ID FROM Accounts");
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            while (!rows.IsEnd()) {
                const int32_t id = rows.IntColumn(0, 0);
                if (!Find(id)) gone.push_back(id);
                rows.Next();
            }
        }
        for (int32_t id : gone) {
            CppSQLite3Command cmd = db.Prepare(u"DELETE FROM Accounts WHERE ID=?");
            cmd.BindInt(1, id);
            db.Execute(cmd);
        }
        return true;
    });
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
