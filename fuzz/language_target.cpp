// The language module fuzz target: a file "qan.dll.*.mui" as a hostile user or installer might
// leave it beside the program, parsed and then read the way the user interface reads it.
#include "fuzz/language_target.h"

#include <string_view>

#include "fuzz/fixture.h"
#include "platform/text.h"
#include "ui/texts/language_module.h"

namespace zul::fuzz {

void LanguageModuleFile(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<LanguageModule> module = LanguageModule::Parse(bytes);
    if (!module) return;
    for (int id : {0, 115, 999, 1004, 1010, 1099, 10054, 12000, 65535, -1, 65536}) {
        if (std::optional<std::u16string> text = module->String(id)) {
            // Texts keep their placeholders and are filled as the program fills them: a
            // translated text is never a format beyond its one number.
            const std::u16string filled = FormatInt(*text, -99992);
            ZUL_FUZZ_CHECK(filled.size() <= text->size() + 640);
        }
    }
    (void)module->MenuText(102, 32786);
    (void)module->MenuPopupText(211, u"Sort by");
    (void)module->DialogText(102, 0);
    (void)module->LanguageId();
}

}  // namespace zul::fuzz
