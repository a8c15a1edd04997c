#include "ui/texts/ui_texts.h"

#include <QAction>
#include <QMenu>
#include <map>

#include "storage/status.h"
#include "ui/texts/language_module.h"

namespace zul {
namespace {

MenuNode Cmd(const char16_t* text, int command) {
    MenuNode n;
    n.kind = MenuNode::kCommand;
    n.text = text;
    n.command = command;
    return n;
}

MenuNode Sep() {
    MenuNode n;
    n.kind = MenuNode::kSeparator;
    return n;
}

MenuNode Popup(const char16_t* name, std::vector<MenuNode> children) {
    MenuNode n;
    n.kind = MenuNode::kPopup;
    n.text = name;
    n.name = name;
    n.children = std::move(children);
    return n;
}

const std::map<int, MenuResource>& Menus() {
    static const std::map<int, MenuResource> menus = [] {
        std::map<int, MenuResource> m;
        auto add = [&m](int id, std::vector<MenuNode> items) {
            m[id] = MenuResource{id, std::move(items)};
        };
        add(menuid::kMainBar,
            {Popup(u"FilledAutomatically", {}),
             Popup(u"Menu", {Cmd(u"&Options...", 32786), Popup(u"ViewToDelete", {}), Sep(),
                             Cmd(u"&About...", 32784), Sep(), Cmd(u"&Exit", 32782)})});
        add(menuid::kAccountStatus, {Popup(u"Status", {Cmd(u"Enabled", kCmdAccountEnabled)})});
        add(menuid::kContactMenu,
            {Popup(u"ContactMenu", {Cmd(u"Send message", 32847), Cmd(u"Contact details", 32848),
                                    Cmd(u"Rename", 32849), Sep(), Cmd(u"Delete", 32851)})});
        add(menuid::kContactsView,
            {Popup(u"ContactsView",
                   {Cmd(u"Add contact...", 32870), Cmd(u"Find contacts...", 32880), Sep(),
                    Cmd(u"Group contacts", 32837), Cmd(u"Offline contacts", 32839),
                    Cmd(u"Show avatars", 32865), Sep(),
                    Popup(u"Sort by",
                          {Cmd(u"Activity", 32858), Cmd(u"Status", 32857), Cmd(u"Name", 32856),
                           Sep(), Cmd(u"Events to top", 32859), Cmd(u"Separate offline", 32860)}),
                    Popup(u"Size",
                          {Cmd(u"Largest", 32833), Cmd(u"Large", 32832), Cmd(u"Medium", 32831),
                           Cmd(u"Small", 32836), Cmd(u"Smallest", 32834)}),
                    Sep(), Cmd(u"Tiles", 32822), Cmd(u"Icons", 32816), Cmd(u"List", 32818),
                    Cmd(u"Details", 32819)})});
        add(menuid::kHistoryView,
            {Popup(u"HistoryView",
                   {Cmd(u"Status changes", 32854), Cmd(u"Group messages", 32873), Sep(),
                    Popup(u"Size",
                          {Cmd(u"Largest", 33833), Cmd(u"Large", 33832), Cmd(u"Medium", 33831),
                           Cmd(u"Small", 33836), Cmd(u"Smallest", 33834)})})});
        add(menuid::kAccountView,
            {Popup(u"AccountView", {Cmd(u"Show disabled", menucmd::kShowDisabled),
                                    Cmd(u"Show avatars", menucmd::kShowAvatars)})});
        add(menuid::kEventMenu,
            {Popup(u"EventMenu", {Cmd(u"Copy", 32869), Cmd(u"Send again", 32871), Sep(),
                                  Cmd(u"Delete", 32870), Cmd(u"Details", 32872)})});
        add(menuid::kAccountEdit,
            {Popup(u"Edit", {Cmd(u"Edit", 32800), Cmd(u"Rename", 32803), Cmd(u"Delete", 32799),
                             Sep(), Cmd(u"Enabled", 32814)})});
        add(menuid::kKeysCancelDone, {Cmd(u"Cancel", 32791), Cmd(u"Done", 32787)});
        add(menuid::kKeysBackNext, {Cmd(u"Back", 32793), Cmd(u"Next", 32792)});
        add(menuid::kKeysCancelNext, {Cmd(u"Cancel", 32793), Cmd(u"Next", 32792)});
        add(menuid::kKeysBackFinish, {Cmd(u"Back", 32793), Cmd(u"Finish", 32794)});
        add(menuid::kKeysOk, {Cmd(u"OK", 32796)});
        add(menuid::kKeysCancelFinish, {Cmd(u"Cancel", 32793), Cmd(u"Finish", 32794)});
        return m;
    }();
    return menus;
}

struct DialogTextEntry {
    int dialog;
    int control;  // 0: the caption
    const char16_t* text;
};

// Dialog templates by their portrait id; edits carry the text of their label.
constexpr DialogTextEntry kDialogTexts[] = {
    {102, 1036, u"Tap \"Add new account...\" to create account."},
    {212, 1070, u"Always connect in last active online status"},
    {212, 1080, u"Re-connect in case of errors or connection loss"},
    {212, 1102, u"Enable transparency (can slow-down scrolling)"},
    {212, 1107, u"Automatically set focus to editbox when chat window was activated"},
    {212, 1108, u"Open messaging window by double tap"},
    {212, 1109, u"Play a sound for new messages"},
    {212, 1112, u"Also while the chat is open"},
    {212, 1113, u"Join my rooms again at sign-on"},
    {212, 1110, u"Text size of the contacts and chats:"},
    {108, 1086, u"Use proxy server"},
    {108, 1085, u"Proxy server settings"},
    {132, 1046, u"Select language and advanced settings:"},
    {132, 1047, u"The window changes to the chosen language when you press Done."},
    {136, 1022, u"Your messaging account type:"},
    {135, 1024, u"Login/UID:"},
    {135, 1026, u"Password:"},
    {135, 1027, u"Login server:"},
    {135, 1004, u"Port:"},
    {135, 1000, u"Set defaults"},
    {142, 1023, u"Enter an account name:"},
    {142, 1100, u"Enable account"},
};

void Translate(int menu, std::vector<MenuNode>& items, const LanguageModule& module) {
    for (MenuNode& node : items) {
        if (node.kind == MenuNode::kCommand) {
            if (auto text = module.MenuText(menu, node.command)) node.text = *text;
        } else if (node.kind == MenuNode::kPopup) {
            if (auto text = module.MenuPopupText(menu, node.name)) node.text = *text;
            Translate(menu, node.children, module);
        }
    }
}

const MenuNode* FindIn(const std::vector<MenuNode>& items, std::u16string_view name) {
    for (const MenuNode& node : items) {
        if (node.kind != MenuNode::kPopup) continue;
        if (node.name == name) return &node;
        if (const MenuNode* found = FindIn(node.children, name)) return found;
    }
    return nullptr;
}

}  // namespace

const MenuNode* MenuResource::FindPopup(std::u16string_view name) const {
    return FindIn(items, name);
}

const MenuResource& BuiltinMenu(int id) {
    static const MenuResource empty;
    const auto& menus = Menus();
    auto it = menus.find(id);
    return it == menus.end() ? empty : it->second;
}

MenuResource LoadMenuResource(int id, const LanguageModule* module) {
    MenuResource menu = BuiltinMenu(id);
    if (module != nullptr) Translate(id, menu.items, *module);
    return menu;
}

void FillMenu(QMenu& menu, const MenuNode& popup, QAction* before) {
    for (const MenuNode& node : popup.children) {
        const QString text = QString::fromStdU16String(node.text);
        switch (node.kind) {
            case MenuNode::kSeparator:
                menu.insertSeparator(before);
                break;
            case MenuNode::kCommand: {
                auto* action = new QAction(text, &menu);
                action->setData(node.command);
                menu.insertAction(before, action);
                break;
            }
            case MenuNode::kPopup: {
                auto* sub = new QMenu(text, &menu);
                FillMenu(*sub, node);
                menu.insertMenu(before, sub);
                break;
            }
        }
    }
}

QAction* FindMenuCommand(QMenu& menu, int command) {
    for (QAction* action : menu.actions()) {
        if (QMenu* sub = action->menu()) {
            if (QAction* found = FindMenuCommand(*sub, command)) return found;
        } else if (action->data().isValid() && action->data().toInt() == command) {
            return action;
        }
    }
    return nullptr;
}

std::u16string DialogText(const LanguageModule* module, int dialog, int control) {
    if (module != nullptr)
        if (auto text = module->DialogText(dialog, control)) return *text;
    for (const DialogTextEntry& e : kDialogTexts)
        if (e.dialog == dialog && e.control == control) return e.text;
    return {};
}

}  // namespace zul
