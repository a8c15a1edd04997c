// The language list: one entry per selectable language, the built-in English first and then one
// per language module file "qan.dll.*.mui" beside the program. Identifiers are platform language
// identifiers: the primary language in the low 10 bits, the sublanguage above.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/texts/language_module.h"

namespace zul {

// English (the built-in language) as the list names it.
constexpr uint16_t kBuiltinLanguageId = 0x2409;

struct LanguageEntry {
    std::string modulePath;                  // empty for the built-in language
    std::u16string name;                     // string 999 of the module
    uint16_t id = 0;                         // the module's translation; 0 when it names none
    std::unique_ptr<LanguageModule> module;  // none for the built-in language
};

// Empties the list, appends the built-in entry, remembers `current` as the current language
// and appends one entry per module file in the program folder. A file that cannot be read or
// parsed is listed as another copy of the built-in entry.
void BuildLanguageList(uint16_t current);
const std::vector<std::unique_ptr<LanguageEntry>>& LanguageList();
// The first matching entry: equal low bytes, or, when two entries with different identifiers
// share a low byte, equal identifiers only. Nothing when none matches.
const LanguageEntry* FindLanguage(uint16_t id);
// Position of FindLanguage's entry; 0 when none matches.
int LanguageIndex(uint16_t id);
// Identifier at a position; 0 past the end.
uint16_t LanguageIdAt(int position);
void FreeLanguageList();

// The identifier chosen for this run; when it is 0 the platform's user-interface language is
// asked once and remembered.
uint16_t CurrentUiLanguage();
void SetCurrentUiLanguage(uint16_t id);

// The platform identifier of a locale name such as "de_CH" or "pt-BR"; 0 when unknown.
uint16_t LanguageIdForLocale(const std::string& name);
// The user's interface language (from the system locale); English (United States) when
// unknown. Tests replace the answer.
uint16_t PlatformUiLanguage();
void OverridePlatformUiLanguage(uint16_t id);

}  // namespace zul
