// Small services the contact list and chat pages share: icons by id, texts by id, menu
// marks, the deletion confirmation, and single-line text for names that arrive from the
// network.
#pragma once

#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

class QMenu;
class QPainter;
class QWidget;

namespace zul {

class CContact;

// Icons of the contact rows.
namespace rowicon {
constexpr int kUnread = 207;
constexpr int kTyping = 209;
constexpr int kCameOnline = 203;
constexpr int kBlocked = 188;
constexpr int kAwaitingAuth = 197;
constexpr int kRoom = 245;
}  // namespace rowicon

// The icon a contact's row shows in a blink phase (also the left icon of its chat page).
int ContactRowIcon(const CContact& contact, bool blinkOn);

// The text of a string id as a QString.
QString ResText(int id);

// The program's icon rendered at size x size; a drawn dot for an id without a picture.
// Cached; user-interface thread only.
QImage IconImage(int id, int size);
QIcon IconById(int id, int size);
// Draws icon `id` into the square of rect (id 0 draws nothing).
void DrawIcon(QPainter& painter, int id, const QRect& rect);

// Gives a menu's command entry a check mark showing `checked` (nothing when it is missing).
void MarkCheck(QMenu& menu, int command, bool checked);
// Makes the commands one group of radio entries; the one whose value is `current` is chosen.
void MarkRadios(QMenu& menu, std::initializer_list<std::pair<int, int>> commandValues, int current);

// The OK/Cancel warning box of a deletion, captioned with the application title, showing
// string `textId`. True on OK.
bool ConfirmDeletion(QWidget* parent, int textId);
// Tests answer the box themselves; an empty function restores the box.
void SetConfirmHandler(std::function<bool(int textId)> handler);
// Asks the user for a line of text (the title and label by text id), starting from `current`;
// nothing when the user cancels. Tests answer through their own handler.
// Shows a text with an OK button (tests replace the dialog with a handler).
void ShowInformation(QWidget* parent, int titleId, const QString& text);
void SetShowInformationHandler(std::function<void(int titleId, const QString& text)> handler);

std::optional<QString> AskText(QWidget* parent, int titleId, int labelId, const QString& current);
// The same for a text of several lines.
std::optional<QString> AskLongText(QWidget* parent, int titleId, int labelId,
                                   const QString& current);
void SetAskTextHandler(std::function<std::optional<QString>(const QString& current)> handler);
// Asks the user for a picture file (title by text id); its path, or nothing on cancel.
std::optional<QString> AskPictureFile(QWidget* parent, int titleId);
void SetAskFileHandler(std::function<std::optional<QString>()> handler);
// Asks the user to pick one of `items`; its index, or nothing when the user cancels.
std::optional<int> AskChoice(QWidget* parent, int titleId, int labelId, const QStringList& items);
void SetAskChoiceHandler(std::function<std::optional<int>(const QStringList& items)> handler);

// Text for a single drawn line: line breaks and tabs become blanks, so that a name or status
// text from the network cannot break the row it is drawn in.
QString SingleLine(const std::u16string& text);

}  // namespace zul
