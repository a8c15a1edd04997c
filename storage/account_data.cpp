#include "storage/account_data.h"

#include <algorithm>
#include <new>
#include <utility>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/status.h"

namespace zul {

CAccountData::CAccountData(const CAccountData& other) {
    *this = other;
}

CAccountData& CAccountData::operator=(const CAccountData& other) {
    if (this == &other) return *this;
    std::scoped_lock lock(fieldsMutex_, other.fieldsMutex_);
    id_ = other.id_;
    type_ = other.type_;
    description_ = other.description_;
    login_ = other.login_;
    password_ = other.password_;
    server_ = other.server_;
    port_ = other.port_;
    ownerNick_ = other.ownerNick_;
    secureLogin_.store(other.secureLogin_.load());
    updateContactsOnLogin_.store(other.updateContactsOnLogin_.load());
    useTls_.store(other.useTls_.load());
    passwordInKeyring_.store(other.passwordInKeyring_.load());
    privacyChoice_.store(other.privacyChoice_.load());
    keyringHolds_.store(other.keyringHolds_.load());
    trustedCertificate_ = other.trustedCertificate_;
    statusNote_ = other.statusNote_;
    profile_ = other.profile_;
    bytesIn_.store(other.bytesIn_.load());
    bytesOut_.store(other.bytesOut_.load());
    status_.store(other.status_.load());
    onlineSince_.store(other.onlineSince_.load());
    enabled_.store(other.enabled_.load());
    ownerAvatar_ = other.ownerAvatar_;
    return *this;
}

uint8_t CAccountData::EffectiveType() const {
    std::lock_guard lock(fieldsMutex_);
    return static_cast<uint8_t>(EffectiveAccountType(type_, login_));
}

std::u16string CAccountData::Description() const {
    std::lock_guard lock(fieldsMutex_);
    return description_;
}

void CAccountData::SetDescription(const std::u16string& text) {
    {
        std::lock_guard lock(fieldsMutex_);
        if (description_ == text) return;
        description_ = text;
    }
    OnDescriptionChanged(text);
}

std::u16string CAccountData::Login() const {
    std::lock_guard lock(fieldsMutex_);
    return login_;
}
void CAccountData::SetLogin(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    login_ = text;
}
std::u16string CAccountData::Password() const {
    std::lock_guard lock(fieldsMutex_);
    return password_;
}
void CAccountData::SetPassword(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    // A new password is not in the keyring until it is stored there.
    if (password_ != text) keyringHolds_ = false;
    password_ = text;
}
std::string CAccountData::TrustedCertificate() const {
    std::lock_guard lock(fieldsMutex_);
    return trustedCertificate_;
}
void CAccountData::SetTrustedCertificate(const std::string& sha256) {
    std::lock_guard lock(fieldsMutex_);
    trustedCertificate_ = sha256;
}
std::u16string CAccountData::StatusNote() const {
    std::lock_guard lock(fieldsMutex_);
    return statusNote_;
}
void CAccountData::SetStatusNote(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    statusNote_ = text;
}
std::u16string CAccountData::Profile() const {
    std::lock_guard lock(fieldsMutex_);
    return profile_;
}
void CAccountData::SetProfile(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    profile_ = text;
}
std::u16string CAccountData::Server() const {
    std::lock_guard lock(fieldsMutex_);
    return server_;
}
void CAccountData::SetServer(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    server_ = text;
}
std::u16string CAccountData::Port() const {
    std::lock_guard lock(fieldsMutex_);
    return port_;
}
void CAccountData::SetPort(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    port_ = text;
}
std::u16string CAccountData::OwnerNick() const {
    std::lock_guard lock(fieldsMutex_);
    return ownerNick_.empty() ? login_ : ownerNick_;
}
void CAccountData::SetOwnerNick(const std::u16string& text) {
    std::lock_guard lock(fieldsMutex_);
    ownerNick_ = text;
}

void CAccountData::AddBytesIn(uint32_t n) {
    bytesIn_.fetch_add(n);
    {
        std::lock_guard lock(counterMutex_);
        if (counterBatches_ > 0) {
            bytesInDirty_ = true;
            return;
        }
    }
    dbSaveBytesIn();
}

void CAccountData::AddBytesOut(uint32_t n) {
    bytesOut_.fetch_add(n);
    {
        std::lock_guard lock(counterMutex_);
        if (counterBatches_ > 0) {
            bytesOutDirty_ = true;
            return;
        }
    }
    dbSaveBytesOut();
}

void CAccountData::BeginCounterBatch() {
    std::lock_guard lock(counterMutex_);
    if (counterBatches_++ == 0) changesAtBatch_ = Database().Changes();
}

void CAccountData::EndCounterBatch() {
    bool saveIn = false, saveOut = false;
    {
        std::lock_guard lock(counterMutex_);
        if (counterBatches_ > 0 && --counterBatches_ > 0) return;
        if (!bytesInDirty_ && !bytesOutDirty_) return;
        const bool othersWritten = Database().Changes() != changesAtBatch_;
        if (!othersWritten && GetTick() - countersSavedAt_ < kCounterSaveMs) return;
        saveIn = std::exchange(bytesInDirty_, false);
        saveOut = std::exchange(bytesOutDirty_, false);
        countersSavedAt_ = GetTick();
    }
    // Both rows in one commit (joining the caller's transaction when there is one).
    CTransaction transaction;
    if (saveIn) dbSaveBytesIn();
    if (saveOut) dbSaveBytesOut();
    transaction.Commit();
}

void CAccountData::SaveCounters() {
    bool saveIn = false, saveOut = false;
    {
        std::lock_guard lock(counterMutex_);
        saveIn = std::exchange(bytesInDirty_, false);
        saveOut = std::exchange(bytesOutDirty_, false);
    }
    if (!saveIn && !saveOut) return;
    CTransaction transaction;
    if (saveIn) dbSaveBytesIn();
    if (saveOut) dbSaveBytesOut();
    transaction.Commit();
}

void CAccountData::SetStatus(int32_t status) {
    if (status == kStatusOffline) {
        onlineSince_.store(0);
    } else if (status_.load() == kStatusOffline) {
        onlineSince_.store(GetTick());
    }
    status_.store(status);
    OnStatusChanged();
}

void CAccountData::SetEnabled(int32_t enabled) {
    if (enabled_.exchange(enabled) == enabled) return;
    OnEnabledChanged();
}

std::vector<uint8_t> CAccountData::OwnerAvatar() const {
    std::lock_guard lock(fieldsMutex_);
    return ownerAvatar_;
}

bool CAccountData::HasOwnerAvatar() const {
    std::lock_guard lock(fieldsMutex_);
    return !ownerAvatar_.empty();
}

void CAccountData::SetOwnerAvatar(const uint8_t* bytes, size_t count, bool save) {
    if (!bytes) count = 0;
    bool outOfMemory = false;
    {
        std::lock_guard lock(fieldsMutex_);
        if (ownerAvatar_.size() == count &&
            std::equal(ownerAvatar_.begin(), ownerAvatar_.end(), bytes)) {
            return;
        }
        try {
            ownerAvatar_.assign(bytes, bytes + count);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(ownerAvatar_);
            outOfMemory = true;
        }
    }
    OnOwnerAvatarChanged();
    if (outOfMemory) throw CError(u"Can not allocate memory", errcode::kNoMemory);
    if (save) dbSave();
}

bool CAccountData::dbSave() {
    if (ID() == 0) return false;
    return DbWork(u"CAccountData::dbSave(): ", [&] {
        CDatabase& db = Database();
        // The three rows are one save: a crash between them must not leave, say, the password
        // gone from Accounts while AccountSecurity does not yet say it is in the keyring.
        CTransaction transaction(db);
        // The row holds the traffic counters: what a counter batch kept for later is saved
        // with it (and owed again should the save fail).
        bool inOwed = false, outOwed = false;
        {
            std::lock_guard lock(counterMutex_);
            inOwed = std::exchange(bytesInDirty_, false);
            outOwed = std::exchange(bytesOutDirty_, false);
            countersSavedAt_ = GetTick();
        }
        struct OwedAgain {
            CAccountData& data;
            bool in, out, saved = false;
            ~OwedAgain() {
                if (saved || (!in && !out)) return;
                std::lock_guard lock(data.counterMutex_);
                data.bytesInDirty_ = data.bytesInDirty_ || in;
                data.bytesOutDirty_ = data.bytesOutDirty_ || out;
            }
        } owed{*this, inOwed, outOwed};
        CppSQLite3Command cmd = db.Prepare(
            u"REPLACE INTO Accounts (ID,Type,Login,Password,Server,Port,OwnerNick,Description,"
            u"\t\t\t\tSecureLogin,UpdateContactsOnLogin,\t\t\t\tBytesIn,BytesOut,LastStatus,"
            u"\t\t\t\tOwnerAvatar,Enabled)VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?);");
        const std::vector<uint8_t> avatar = OwnerAvatar();
        cmd.BindInt(1, ID());
        cmd.BindInt(2, EffectiveType());
        cmd.BindText(3, Login());
        // A password kept in the keyring never reaches the profile.
        cmd.BindText(4, PasswordInKeyring() ? std::u16string() : Password());
        cmd.BindText(5, Server());
        cmd.BindText(6, Port());
        cmd.BindText(7, OwnerNick());
        cmd.BindText(8, Description());
        cmd.BindInt(9, SecureLogin());
        cmd.BindInt(10, UpdateContactsOnLogin());
        cmd.BindInt(11, static_cast<int32_t>(BytesIn()));
        cmd.BindInt(12, static_cast<int32_t>(BytesOut()));
        cmd.BindInt(13, Status());
        if (avatar.empty()) {
            cmd.BindNull(14);
        } else {
            cmd.BindBlob(14, avatar.data(), static_cast<int>(avatar.size()));
        }
        cmd.BindInt(15, Enabled());
        db.Execute(cmd);
        // The connection settings added later live in a table of their own, so that a profile
        // keeps the Accounts table older versions read.
        CppSQLite3Command security = db.Prepare(
            u"REPLACE INTO AccountSecurity (AccID,Tls,TrustedCertificate,Keyring) VALUES "
            u"(?,?,?,?)");
        security.BindInt(1, ID());
        security.BindInt(2, UseTls() ? 1 : 0);
        security.BindText(3, FromUtf8(TrustedCertificate()));
        security.BindInt(4, PasswordInKeyring() ? 1 : 0);
        db.Execute(security);
        CppSQLite3Command texts =
            db.Prepare(u"REPLACE INTO AccountTexts (AccID,StatusNote) VALUES (?,?)");
        texts.BindInt(1, ID());
        texts.BindText(2, StatusNote());
        db.Execute(texts);
        CppSQLite3Command profile =
            db.Prepare(u"REPLACE INTO AccountProfile (AccID,Profile) VALUES (?,?)");
        profile.BindInt(1, ID());
        profile.BindText(2, Profile());
        db.Execute(profile);
        CppSQLite3Command privacy =
            db.Prepare(u"REPLACE INTO AccountPrivacy (AccID,Mode) VALUES (?,?)");
        privacy.BindInt(1, ID());
        privacy.BindInt(2, PrivacyChoice());
        db.Execute(privacy);
        owed.saved = transaction.Commit();
        return owed.saved;
    });
}

namespace {

bool SaveCounter(std::u16string_view sql, const std::atomic<uint32_t>& counter, int32_t id,
                 std::u16string_view logPrefix) {
    return DbWork(logPrefix, [&] {
        CDatabase& db = Database();
        std::lock_guard dbLock(db.Mutex());
        // Read under the database lock: of two threads saving, the later write holds the
        // later value.
        const uint32_t value = counter.load();
        CppSQLite3Command cmd = db.Prepare(sql);
        cmd.BindInt(1, static_cast<int32_t>(value));
        cmd.BindInt(2, id);
        db.Execute(cmd);
        return true;
    });
}

}  // namespace

bool CAccountData::dbSaveBytesIn() {
    // Logged to the database log like every other database error (not the dropped general log).
    return SaveCounter(u"UPDATE Accounts SET BytesIn=? WHERE ID=?", bytesIn_, ID(),
                       u"CAccountData::dbSaveBytesIn(): ");
}

bool CAccountData::dbSaveBytesOut() {
    return SaveCounter(u"UPDATE Accounts SET BytesOut=? WHERE ID=?", bytesOut_, ID(),
                       u"CAccountData::dbSaveBytesOut(): ");
}

bool dbLoadAccountRows(CDatabase& db, const std::function<bool(const CAccountData&)>& take) {
    std::lock_guard dbLock(db.Mutex());
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
            if (!take(data)) return false;
            rows.Next();
        }
        return true;
    });
}

bool dbDeleteAccountRows(CDatabase& db, const std::function<bool(int32_t id)>& keep) {
    std::lock_guard dbLock(db.Mutex());
    return DbWork(u"CAccounts::dbSave(): ", [&] {
        std::vector<int32_t> gone;
        {
            CppSQLite3Command cmd = db.Prepare(u"SELECT ID FROM Accounts");
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            while (!rows.IsEnd()) {
                const int32_t id = rows.IntColumn(0, 0);
                if (!keep(id)) gone.push_back(id);
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

}  // namespace zul
