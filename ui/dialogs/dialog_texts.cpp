#include "ui/dialogs/dialog_texts.h"

#include "platform/resources.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"

namespace zul {
namespace {

struct OwnControlText {
    int dialog;
    int control;
    const char16_t* text;
};

// Controls that only these sheets show: the wizard's advanced page has no texts of its own
// elsewhere.
constexpr OwnControlText kOwnTexts[] = {
    {tpl::kWizardAdvanced.portrait, idc::kSecureLogin, u"Secure login (MD5)"},
    {tpl::kWizardAdvanced.portrait, idc::kUpdateContacts, u"Update contacts on login"},
    {tpl::kWizardAdvanced.portrait, idc::kUseTls, u"Encrypted connection (TLS)"},
    {tpl::kWizardAdvanced.portrait, idc::kKeepInKeyring, u"Keep the password in the keyring"},
};

const MenuNode* FindCommand(const std::vector<MenuNode>& items, int command) {
    for (const MenuNode& node : items) {
        if (node.kind == MenuNode::kCommand && node.command == command) return &node;
        if (node.kind == MenuNode::kPopup)
            if (const MenuNode* found = FindCommand(node.children, command)) return found;
    }
    return nullptr;
}

}  // namespace

QString Str(int id) {
    return QString::fromStdU16String(ResString(id));
}

QString ControlText(int dialog, int control) {
    std::u16string text = DialogText(Resources().resourceModule, dialog, control);
    if (text.empty()) {
        for (const OwnControlText& own : kOwnTexts)
            if (own.dialog == dialog && own.control == control) text = own.text;
    }
    return QString::fromStdU16String(text);
}

QString CommandText(int menu, int command) {
    const MenuResource resource = UiMenu(menu);
    const MenuNode* node = FindCommand(resource.items, command);
    return node != nullptr ? QString::fromStdU16String(node->text) : QString();
}

QString ControlName(int control) {
    return QStringLiteral("idc%1").arg(control);
}

}  // namespace zul
