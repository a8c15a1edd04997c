#include "resources/core/builtin_strings.h"

namespace zul {
namespace {

// Ids are shared with the language modules; keep them stable.
constexpr BuiltinStringEntry kTable[] = {
    // Shared texts of the pages.
    {100, u"No enabled accounts.\nTap \"Options...\" to add new account."},
    {107, u"Status"},
    {112, u"Contacts"},
    {113, u"Contact"},
    {114, u"Accounts"},
    {115, u"Contacts: %d, Online: %d"},
    {117, u"Disabled account"},
    {118, u"Sending..."},
    {119, u"Selected contact and it's messages history will be deleted permanently!"},
    {120, u"&View"},
    {125, u"Open"},
    {126, u"After next login"},
    {127, u"Selected event will be deleted permanently!"},
    {128, u"All events will be deleted permanently!"},
    {129, u"New message"},
    {130, u"Dismiss"},
    // Soft keys and the main menu of the window.
    {140, u"Menu"},
    {141, u"&Options..."},
    {142, u"&About..."},
    {143, u"&Exit"},
    {200, u"Selected account will be deleted permanently!"},
    // Options, account wizard and About sheets.
    {203, u"Received %i KB"},
    {204, u"Sent %i KB"},
    {209, u"Add new account..."},
    {210, u"Accounts"},
    {211, u"Language"},
    {212, u"Network options"},
    {213, u"Advanced settings"},
    {800, u"Account type"},
    {801, u"Account name"},
    {802, u"Select an account type"},
    {803, u"ICQ/AIM"},
    {804, u"XMPP (Jabber, GTalk)"},
    {805, u"Wizard"},
    // Both begin with a Cyrillic capital A (U+0410), as they always have.
    {810, u"\u0410ccount settings"},
    {812, u"Login server of your network"},
    {813, u"The password holds characters the server cannot receive; choose another."},
    {811, u"\u0410dvanced settings"},
    {300, u"Please connect to server to receive your contact list"},
    {301, u"None of your contacts is online"},
    {302, u"No messages"},
    {303, u"Not in list"},
    {305, u"Rename contact"},
    {306, u"Nickname:"},
    // Connection progress and errors.
    {1000, u"Connecting to"},
    {1002, u"Logging in"},
    {1004, u". Waitng %i s."},
    {1005, u"Loading settings"},
    {1006, u"Waiting for network"},
    {1010, u"Your ICQ number (AIM login) or password was rejected (%d)"},
    {1011, u"The server is temporarily unavailable (%d)"},
    {1012, u"Server has too many connections from your IP (%d)"},
    {1013, u"Rate limited, please try again in a few minutes (%d)"},
    {1014, u"The server did not accept this client version (%d)"},
    {1015, u"This client version is getting old. Try to look for a new one (%d)"},
    {1016, u"You were rejected by the server for an unknown reason (%d)"},
    {1017, u"Secure (MD5) login is not supported on this account (%d)"},
    {1018, u"The password holds characters the server cannot receive; choose another (%d)"},
    {1019, u"The server refused a step of the sign-on (%d)"},
    {1020, u"The contacts of this account could not be read from the profile"},
    {1021, u"The server sent a contact list without end; it was not taken (%d)"},
    {1022, u"The server refused the new nickname; the old one stays (%d)"},
    {1023, u"The server refused to add the contact (%d)"},
    {1024, u"That is not an ICQ number or AIM name that can be added"},
    {1097, u"You account being used on another computer."},
    {1099, u"Unknown error (%d)"},
    {10050, u"Network is down (%d)"},
    {10054, u"Connection reset (%d)"},
    {10060, u"Connection timed out (%d)"},
    {11001, u"Server host not found, down or unreachable (%d)"},
    // Status names.
    {12000, u"Available"},
    {12001, u"Away"},
    {12002, u"Not available"},
    {12003, u"DND"},
    {12004, u"Free for chat"},
    {12005, u"Occupied"},
    {12006, u"Invisible"},
    {12007, u"Offline"},
    {12008, u"Invisible for all"},
    {12009, u"Eating"},
    {12010, u"Angry"},
    {12011, u"Depression"},
    {12012, u"At home"},
    {12013, u"At work"},
    // Menu commands of the pages.
    {13000, u"Close"},
    {13001, u"Details"},
    {13002, u"Clear history"},
};

}  // namespace

const std::span<const BuiltinStringEntry> kBuiltinStrings(kTable);

}  // namespace zul
