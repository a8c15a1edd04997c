// The working state of the Options sheet and the rules the sheets share: copies of the accounts
// and of the option values that the pages edit, applying them after "Done", the tests the
// account wizard runs on logins and names, and the About sheet's traffic totals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/account_data.h"
#include "storage/options.h"

namespace zul {

class CAccounts;

struct OptionsWorking {
    // One copy per account, in the collection's order (new ones appended).
    std::vector<CAccountData> accounts;
    // A copy of the options; the rows of OptionTable() marked onSheet are applied.
    COptions options;
    // The language the Language page shows as chosen; becomes the run's current language
    // identifier when the changes are applied.
    uint16_t chosenLanguage = 0;
    // Set when the sheet opens, cleared by "Cancel".
    bool apply = true;
};

// Copies every account and the option values the pages show.
OptionsWorking LoadOptionsWorking(const CAccounts& accounts, const COptions& options,
                                  uint16_t currentLanguage);

// Applies the working state after "Done": accounts without a copy leave the collection (their
// traffic goes into the deleted totals and their rows are deleted), the others take their
// copy's settings and are saved, new ICQ/AIM copies become accounts; then the current language,
// the option values, and saving every option.
void ApplyOptions(CAccounts& accounts, OptionsWorking& working);

// ICQ and AIM: the stored types 1, 11 and 12.
bool IsOscarType(uint8_t type);

// An identifier that no account, no working copy and no row of the profile uses.
int32_t NewAccountId(const CAccounts& accounts, const std::vector<CAccountData>& working);

// The name a new account gets when the user gives none: the type name and the login.
std::u16string DefaultAccountName(uint8_t type, const std::u16string& login);

// Another working account (not `selfId`) of the same effective type uses the login.
bool LoginTaken(const std::vector<CAccountData>& working, int32_t selfId, uint8_t type,
                const std::u16string& login);
// Another working account (not `selfId`) is called `name`.
bool NameTaken(const std::vector<CAccountData>& working, int32_t selfId,
               const std::u16string& name);

// Kilobytes received and sent by every account, deleted ones included.
struct TrafficTotals {
    int64_t receivedKb = 0;
    int64_t sentKb = 0;
};
TrafficTotals AboutTotals(const CAccounts& accounts, const COptions& options);

}  // namespace zul
