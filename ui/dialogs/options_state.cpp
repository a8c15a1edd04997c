#include "ui/dialogs/options_state.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "storage/database.h"
#include "storage/options.h"
#include "storage/status.h"
#include "ui/texts/language_list.h"

namespace zul {
namespace {

// The deleted totals are byte counts kept in signed option values: read them as unsigned, and
// let them stop at the largest count instead of wrapping to a small one.
int32_t AddSaturating(int32_t total, uint32_t bytes) {
    const uint64_t sum = uint64_t{static_cast<uint32_t>(total)} + bytes;
    const uint32_t capped =
        static_cast<uint32_t>(std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
    return static_cast<int32_t>(capped);
}

const CAccountData* FindCopy(const std::vector<CAccountData>& working, int32_t id) {
    for (const CAccountData& copy : working)
        if (copy.ID() == id) return &copy;
    return nullptr;
}

// The live account takes what the wizard edits; counters, status and picture stay its own.
void TakeSettings(CAccount& account, const CAccountData& copy) {
    // A certificate trusted for one server says nothing about another.
    if (account.Server() != copy.Server() || account.Port() != copy.Port())
        account.SetTrustedCertificate(std::string());
    account.SetType(copy.Type());
    account.SetLogin(copy.Login());
    account.SetPassword(copy.Password());
    account.SetServer(copy.Server());
    account.SetPort(copy.Port());
    account.SetSecureLogin(copy.SecureLogin());
    account.SetUpdateContactsOnLogin(copy.UpdateContactsOnLogin());
    account.SetUseTls(copy.UseTls());
    // Switched off: the keyring's item is removed at the next sign-on, and the password (when
    // known) goes back into the profile with the next save.
    if (account.PasswordInKeyring() && !copy.PasswordInKeyring())
        account.SetKeyringClearPending(true);
    account.SetPasswordInKeyring(copy.PasswordInKeyring());
    account.SetDescription(copy.Description());
    account.SetEnabled(copy.Enabled());
}

}  // namespace

OptionsWorking LoadOptionsWorking(const CAccounts& accounts, const COptions& options,
                                  uint16_t currentLanguage) {
    OptionsWorking w;
    const std::vector<CAccount*> list = accounts.Snapshot();
    w.accounts.reserve(list.size());
    for (const CAccount* account : list)
        w.accounts.emplace_back(static_cast<const CAccountData&>(*account));
    w.options = options;
    w.chosenLanguage = currentLanguage;
    w.apply = true;
    return w;
}

void ApplyOptions(CAccounts& accounts, OptionsWorking& working) {
    // 1. Accounts. Removed ones first: their traffic stays in the totals.
    for (CAccount* account : accounts.Snapshot()) {
        const CAccountData* copy = FindCopy(working.accounts, account->ID());
        if (copy == nullptr) {
            std::unique_ptr<CAccount> removed = accounts.Remove(account);
            if (!removed) continue;
            working.options.DeletedBytesIn =
                AddSaturating(working.options.DeletedBytesIn, removed->BytesIn());
            working.options.DeletedBytesOut =
                AddSaturating(working.options.DeletedBytesOut, removed->BytesOut());
            removed.reset();  // disconnects and drops its contacts
            continue;
        }
        TakeSettings(*account, *copy);
        account->dbSave();
    }
    for (const CAccountData& copy : working.accounts) {
        if (accounts.Find(copy.ID()) != nullptr) continue;
        // The wizard leaves type 1 (ICQ or AIM by the login): its effective type decides.
        const uint8_t type = copy.EffectiveType();
        if (type != acctype::kIcq && type != acctype::kAim) continue;
        // A new account that is not saved would be gone at the next start.
        if (CAccount* added = accounts.Create(copy)) added->dbSave();
    }
    accounts.Sort();
    accounts.dbSave();

    // 2. The language and the option values.
    SetCurrentUiLanguage(working.chosenLanguage);
    COptions& options = Options();
    for (const OptionRow& row : OptionTable())
        if (row.onSheet && row.number != nullptr) options.*row.number = working.options.*row.number;

    // 3. Saving.
    options.SaveAll();
}

bool IsOscarType(uint8_t type) {
    return type == acctype::kOscarUnresolved || type == acctype::kIcq || type == acctype::kAim;
}

int32_t NewAccountId(const CAccounts& accounts, const std::vector<CAccountData>& working) {
    for (;;) {
        const auto id = static_cast<int32_t>(Random32() & 0x7FFFFFFFu);
        if (id == 0 || accounts.Find(id) != nullptr || FindCopy(working, id) != nullptr) continue;
        // The rows of accounts removed on the sheet stay until it is applied.
        if (AccountRowExists(Database(), id)) continue;
        return id;
    }
}

std::u16string DefaultAccountName(uint8_t type, const std::u16string& login) {
    return AccountTitle(EffectiveAccountType(type, login), login);
}

bool LoginTaken(const std::vector<CAccountData>& working, int32_t selfId, uint8_t type,
                const std::u16string& login) {
    const int effective = EffectiveAccountType(type, login);
    for (const CAccountData& other : working) {
        if (other.ID() == selfId) continue;
        if (other.EffectiveType() == effective && EqualNoCase(other.Login(), login)) return true;
    }
    return false;
}

bool NameTaken(const std::vector<CAccountData>& working, int32_t selfId,
               const std::u16string& name) {
    for (const CAccountData& other : working) {
        if (other.ID() != selfId && EqualNoCase(other.Description(), name)) return true;
    }
    return false;
}

TrafficTotals AboutTotals(const CAccounts& accounts, const COptions& options) {
    uint64_t in = static_cast<uint32_t>(options.DeletedBytesIn);
    uint64_t out = static_cast<uint32_t>(options.DeletedBytesOut);
    for (const CAccount* account : accounts.Snapshot()) {
        in += account->BytesIn();
        out += account->BytesOut();
    }
    return {static_cast<int64_t>(in / 1024), static_cast<int64_t>(out / 1024)};
}

}  // namespace zul
