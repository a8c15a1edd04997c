// The shipped language modules: each one loads, names its language, and translates every text
// the program shows: every built-in string, every menu entry and every dialog control.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "resources/core/builtin_strings.h"
#include "ui/texts/language_module.h"
#include "ui/texts/ui_texts.h"

namespace zul {
namespace {

struct Shipped {
    const char* file;
    uint16_t id;
    const char16_t* name;
};

constexpr Shipped kShipped[] = {
    {"qan.dll.0407.mui", 0x0407, u"Deutsch"},
    {"qan.dll.0419.mui", 0x0419, u"Русский"},
};

// Menu resources of the program and the dialog templates whose controls carry texts.
constexpr int kMenus[] = {102, 206, 210, 211, 212, 213, 242, 149, 131, 132, 133, 134, 148, 150};
constexpr int kDialogs[] = {102, 212, 108, 132, 136, 135, 145, 142, 105};
// Popups that only name a place the program fills; they never show their own text.
const std::u16string kUnshownPopups[] = {u"FilledAutomatically", u"ViewToDelete"};

std::filesystem::path LanguageFolder() {
    return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "resources" / "lang";
}

// The placeholders of a text ("%d", "%i", "%%", ...), in order.
std::vector<std::u16string> Placeholders(const std::u16string& text) {
    std::vector<std::u16string> found;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != u'%') continue;
        found.push_back(text.substr(i, 2));
        ++i;
    }
    return found;
}

void ExpectMenuTranslated(const LanguageModule& module, int menu,
                          const std::vector<MenuNode>& items, const char* file) {
    for (const MenuNode& node : items) {
        if (node.kind == MenuNode::kCommand) {
            EXPECT_TRUE(module.MenuText(menu, node.command).has_value())
                << file << ": menu " << menu << " command " << node.command;
        } else if (node.kind == MenuNode::kPopup) {
            const bool shown = std::find(std::begin(kUnshownPopups), std::end(kUnshownPopups),
                                         node.name) == std::end(kUnshownPopups);
            if (shown)
                EXPECT_TRUE(module.MenuPopupText(menu, node.name).has_value())
                    << file << ": menu " << menu << " popup "
                    << std::string(node.name.begin(), node.name.end());
            ExpectMenuTranslated(module, menu, node.children, file);
        }
    }
}

class ShippedLanguageTest : public ::testing::TestWithParam<Shipped> {};

TEST_P(ShippedLanguageTest, LoadsAndNamesItsLanguage) {
    const Shipped& shipped = GetParam();
    std::string error;
    auto module = LanguageModule::Load((LanguageFolder() / shipped.file).string(), &error);
    ASSERT_NE(module, nullptr) << shipped.file << ": " << error;
    EXPECT_EQ(module->LanguageId(), shipped.id);
    EXPECT_EQ(module->String(LanguageModule::kNameStringId), std::u16string(shipped.name));
}

TEST_P(ShippedLanguageTest, TranslatesEveryStringWithTheSamePlaceholders) {
    const Shipped& shipped = GetParam();
    auto module = LanguageModule::Load((LanguageFolder() / shipped.file).string());
    ASSERT_NE(module, nullptr);
    for (const BuiltinStringEntry& entry : kBuiltinStrings) {
        const auto text = module->String(entry.id);
        ASSERT_TRUE(text.has_value()) << shipped.file << ": string " << entry.id;
        EXPECT_FALSE(text->empty()) << shipped.file << ": string " << entry.id;
        EXPECT_LE(text->size(), kResStringMax) << shipped.file << ": string " << entry.id;
        EXPECT_EQ(Placeholders(*text), Placeholders(entry.text))
            << shipped.file << ": string " << entry.id;
    }
    // Nothing else but the language's name: no text for an id the program does not have.
    EXPECT_EQ(module->StringCount(), kBuiltinStrings.size() + 1) << shipped.file;
}

TEST_P(ShippedLanguageTest, TranslatesEveryMenuEntryAndDialogControl) {
    const Shipped& shipped = GetParam();
    auto module = LanguageModule::Load((LanguageFolder() / shipped.file).string());
    ASSERT_NE(module, nullptr);
    for (int menu : kMenus) {
        const MenuResource& resource = BuiltinMenu(menu);
        ASSERT_FALSE(resource.items.empty()) << "menu " << menu;
        ExpectMenuTranslated(*module, menu, resource.items, shipped.file);
    }
    int controls = 0;
    for (int dialog : kDialogs) {
        for (int control = 1000; control < 1200; ++control) {
            if (DialogText(nullptr, dialog, control).empty()) continue;
            ++controls;
            EXPECT_TRUE(module->DialogText(dialog, control).has_value())
                << shipped.file << ": dialog " << dialog << " control " << control;
        }
    }
    EXPECT_GT(controls, 15);
    // The wizard's advanced page carries its texts itself.
    for (int control : {1067, 1102})
        EXPECT_TRUE(module->DialogText(145, control).has_value())
            << shipped.file << ": dialog 145 control " << control;
}

INSTANTIATE_TEST_SUITE_P(Shipped, ShippedLanguageTest, ::testing::ValuesIn(kShipped));

}  // namespace
}  // namespace zul
