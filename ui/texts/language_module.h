// LanguageModule: one language file "qan.dll.*.mui" read as data. It carries a string table by
// id (999 is the language's display name), the identifier of the language it translates, and
// the texts of menu entries and dialog controls. The format is a small UTF-8 text described in
// docs/language-modules.md; nothing in the file is ever run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zul {

class LanguageModule {
  public:
    // Files larger than this are not language modules.
    static constexpr size_t kMaxFileBytes = 1 << 20;
    // The string that names the language in the language list.
    static constexpr int kNameStringId = 999;

    // Reads and parses a file; nothing when it cannot be read or parsed (the reason goes to
    // *error when given).
    static std::unique_ptr<LanguageModule> Load(const std::string& path,
                                                std::string* error = nullptr);
    static std::unique_ptr<LanguageModule> Parse(std::string_view bytes,
                                                 std::string* error = nullptr);

    // The language the file translates to; 0 when the file names none.
    uint16_t LanguageId() const { return languageId_; }

    std::optional<std::u16string> String(int id) const;
    // A menu entry by its command id, or a popup by its name.
    std::optional<std::u16string> MenuText(int menu, int command) const;
    std::optional<std::u16string> MenuPopupText(int menu, std::u16string_view popup) const;
    // A control of a dialog template; control 0 is the dialog's caption.
    std::optional<std::u16string> DialogText(int dialog, int control) const;

    size_t StringCount() const { return strings_.size(); }

  private:
    LanguageModule() = default;
    bool ParseLine(std::string_view section, std::string_view key, std::u16string value,
                   std::string& error);

    uint16_t languageId_ = 0;
    std::map<int, std::u16string> strings_;
    std::map<std::pair<int, int>, std::u16string> menuCommands_;
    std::map<std::pair<int, std::u16string>, std::u16string> menuPopups_;
    std::map<std::pair<int, int>, std::u16string> dialogs_;
};

}  // namespace zul
