// The shared user-interface resources of the process, read-only after start-up: the three view
// menus, the 24 fonts, the 46 icons and the shared texts, loaded from the chosen language module
// (menus and texts) and from the program itself (icons).
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <array>
#include <map>

#include "ui/texts/ui_texts.h"

namespace zul {

class LanguageModule;

// Icon resources by id.
namespace iconid {
// The ids the program carries: 175-186, 188-190, 192, 195, 197, 203, 207, 209, 217-240, 244,
// 245.
bool IsKnown(int id);
constexpr int kBusy = 188;
constexpr int kError = 189;
constexpr int kInformation = 190;
constexpr int kPending = 192;
constexpr int kBlocked = 195;
constexpr int kAwaitingAuth = 197;
constexpr int kJustOnline = 203;
constexpr int kMessage = 207;
constexpr int kTyping = 209;
constexpr int kNotification = 244;
constexpr int kChatRoom = 245;
constexpr int kCount = 47;
}  // namespace iconid

enum FontVariant { kFontRegular = 0, kFontBold = 1, kFontItalic = 2, kFontStruck = 3 };

struct UiResources {
    // The language module menus, strings and dialogs come from (null: built-in English).
    const LanguageModule* resourceModule = nullptr;
    MenuResource accountsViewMenu;  // 213, popup "AccountView"
    MenuResource contactsViewMenu;  // 211, popup "ContactsView"
    MenuResource historyViewMenu;   // 212, popup "HistoryView"
    // Six sizes (level 0 = 10 points ... level 5 = 5 points), four variants each.
    std::array<std::array<QFont, 4>, 6> fonts;
    std::map<int, QIcon> icons;
    std::map<int, QString> texts;
    bool loaded = false;
};

// Loads everything; the module may be null (built-in English).
void LoadUiResources(const LanguageModule* resourceModule);
void FreeUiResources();
const UiResources& Resources();

// The font height given to the platform: -(points * vertical dpi / 72) - 1.
int FontHeightForPoints(int points, int dpiY);
// The shared font of a level (0..5) and variant; 8 points regular for other levels.
QFont SharedFont(int level, FontVariant variant);

// An icon by id (null icon when unknown), drawn at 16 px scaled.
QIcon UiIcon(int id);
QPixmap UiIconPixmap(int id);
// Renders an icon's SVG at any square size (for tests and the notification).
QPixmap RenderIcon(int id, int size);

// A shared text loaded at start-up, or the string table's text for other ids.
QString UiText(int id);
// A menu of the resource module (view menus and the others of ui_texts.h).
MenuResource UiMenu(int id);

}  // namespace zul
