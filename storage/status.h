// The vocabulary of presence shared by the protocol, the profile and the user interface:
// internal status codes with their names and icons, the OSCAR status word in both directions,
// the 24 moods, and the status commands of the account menu.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zul {

// Internal status codes, stored as they are (LastStatus, contact status, history events).
constexpr int32_t kStatusOffline = -1;
constexpr int32_t kStatusAvailable = 0;
constexpr int32_t kStatusAway = 10;
constexpr int32_t kStatusDnd = 20;
constexpr int32_t kStatusNotAvailable = 30;
constexpr int32_t kStatusOccupied = 40;
constexpr int32_t kStatusFreeForChat = 50;
constexpr int32_t kStatusInvisible = 60;
constexpr int32_t kStatusEating = 0x2001;
constexpr int32_t kStatusAngry = 0x3000;
constexpr int32_t kStatusDepression = 0x4000;
constexpr int32_t kStatusAtHome = 0x5000;
constexpr int32_t kStatusAtWork = 0x6000;

// Moods: 0..23, or none.
constexpr int32_t kMoodNone = -1;
constexpr int32_t kMoodCount = 24;

// Command ids of the status entries of the account menu.
constexpr int kCmdStatusAvailable = 32774;
constexpr int kCmdStatusAway = 32775;
constexpr int kCmdStatusNotAvailable = 32776;
constexpr int kCmdStatusOccupied = 32777;
constexpr int kCmdStatusDnd = 32778;
constexpr int kCmdStatusFreeForChat = 32779;
constexpr int kCmdStatusInvisible = 32780;
constexpr int kCmdStatusOffline = 32781;   // Disconnect(save = true)
constexpr int kCmdAccountEnabled = 32868;  // toggles the account's Enabled flag

// Stored type 1 (ICQ or AIM) resolves to 11 (ICQ) when every character of the login is a
// decimal digit and to 12 (AIM) otherwise; every other type is returned as it is.
int EffectiveAccountType(int type, std::u16string_view login);

// 2 "XMPP", 11 "ICQ", 12 "AIM", otherwise the empty text.
std::u16string AccountTypeName(int type);
// The type name, a blank and the text.
std::u16string AccountTitle(int type, std::u16string_view text);

// Name of a status from the string table; only 60 depends on the (effective) type: AIM
// calls it "Invisible for all". Unknown codes are named like 0.
std::u16string StatusName(int type, int32_t status);
// The status's name with how long the contact has been idle ("Away, idle 12 min"), for a
// contact idle since `idleSince` (seconds since 1970 UTC, 0: not idle) at `now`.
std::u16string StatusWithIdle(int type, int32_t status, uint32_t idleSince, uint32_t now);
// Icon id: a mood 0..23 shows the mood's icon whatever the status; otherwise the status icon
// of the effective type 11 or 12. Any other type has no icon (0).
int StatusIcon(int type, int32_t status, int32_t mood);

// Fixed English mood names; "" for none, "unknown mood" outside 0..23.
std::u16string MoodName(int32_t mood);
int MoodIcon(int32_t mood);  // 0 when the index is not a mood
// "icqmood0".."icqmood23", whole text (compared without case); -1 when nothing matches.
int32_t MoodFromWireName(std::u16string_view text);

// The low 16 bits of the OSCAR status value to the internal code.
int32_t StatusFromWire(uint16_t word);
// The internal code to the OSCAR status word for effective types 11 and 12; -1 for others.
int32_t StatusToWire(int type, int32_t status);

// The status a menu command asks for (kStatusOffline for the disconnect command); nothing for
// commands that are not status commands.
std::optional<int32_t> StatusForCommand(int command);
// The command whose menu item shows the current status as the chosen radio item; 0 when
// the status marks nothing.
int RadioCommandForStatus(int32_t status);

// One entry of the status menu built for an enabled account.
struct StatusMenuEntry {
    int command;
    std::u16string name;
    bool separatorBefore;
};
// "Available", "Not available", "Invisible", "Offline" with the names of type 11; when asked,
// separators before "Not available" and after "Invisible". The caller's menu appends its own
// "Enabled" item (kCmdAccountEnabled).
std::vector<StatusMenuEntry> StatusMenuEntries(bool withSeparators);

}  // namespace zul
