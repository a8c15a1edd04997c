// The built-in English menus and dialog texts, by resource id, and their lookup through the
// chosen language module. Strings by id live in the core's table (ResString).
#pragma once

#include <string>
#include <string_view>
#include <vector>

class QAction;
class QMenu;

namespace zul {

class LanguageModule;

// Menu resources.
namespace menuid {
constexpr int kMainBar = 102;        // left "FilledAutomatically", right "Menu"
constexpr int kAccountStatus = 206;  // popup "Status": "Enabled"
constexpr int kContactMenu = 210;    // popup "ContactMenu"
constexpr int kContactsView = 211;   // popup "ContactsView"
constexpr int kHistoryView = 212;    // popup "HistoryView"
constexpr int kAccountView = 213;    // popup "AccountView"
constexpr int kEventMenu = 242;      // popup "EventMenu"
constexpr int kAccountEdit = 149;    // popup "Edit" of the options' account list
// Soft-key bars of the dialogs.
constexpr int kKeysCancelDone = 131;
constexpr int kKeysBackNext = 132;
constexpr int kKeysCancelNext = 133;
constexpr int kKeysBackFinish = 134;
constexpr int kKeysOk = 148;
constexpr int kKeysCancelFinish = 150;
}  // namespace menuid

// Commands of the menus of this file that no other header names.
namespace menucmd {
constexpr int kShowDisabled = 32866;
constexpr int kShowAvatars = 32867;
}  // namespace menucmd

// One entry of a menu: a command, a separator, or a popup with entries of its own.
struct MenuNode {
    enum Kind { kCommand, kSeparator, kPopup };
    Kind kind = kCommand;
    std::u16string text;  // what the entry shows
    std::u16string name;  // a popup's built-in name, by which it is found
    int command = 0;
    std::vector<MenuNode> children;
};

struct MenuResource {
    int id = 0;
    std::vector<MenuNode> items;
    // The popup of that name, searched at every depth; nullptr when there is none.
    const MenuNode* FindPopup(std::u16string_view name) const;
};

// The built-in English menu; an empty resource (id 0) for an unknown id.
const MenuResource& BuiltinMenu(int id);
// The menu with the texts of a language module where it has them (null: built-in English).
// Popups keep their built-in names for FindPopup; their shown text is translated.
MenuResource LoadMenuResource(int id, const LanguageModule* module);

// Appends (or inserts before `before`) the entries of a popup: each command carries its id as
// the action's data, popups become submenus owned by the menu.
void FillMenu(QMenu& menu, const MenuNode& popup, QAction* before = nullptr);
// The entry of a command in a menu and its submenus; nullptr when missing.
QAction* FindMenuCommand(QMenu& menu, int command);

// Text of a dialog control (control 0: the dialog's caption) of a portrait template id: the
// module's text, else the built-in English one, else the empty text.
std::u16string DialogText(const LanguageModule* module, int dialog, int control);

}  // namespace zul
