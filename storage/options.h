// COptions: the process-wide settings, loaded from the profile's Options table at start-up and
// written back whole (SaveAll) after every change. Every part of the program reads the fields
// directly through Options(); one table (OptionTable) describes each setting once.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace zul {

// An integer setting: read and written from any thread without a lock, copied by value.
class OptionInt {
  public:
    OptionInt() = default;
    OptionInt(int32_t value) : value_(value) {}
    OptionInt(const OptionInt& other) : value_(other.value_.load(std::memory_order_relaxed)) {}
    OptionInt& operator=(const OptionInt& other) {
        value_.store(other.value_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }
    OptionInt& operator=(int32_t value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    operator int32_t() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int32_t> value_{0};
};

class COptions {
  public:
    // Setting identifiers (the ID column of the Options table).
    enum Id : int32_t {
        kVersion = 0,
        kLanguageID = 1,
        kReconnectOnError = 2,
        kRestoreLastStatusesOnStart = 3,
        kUseProxy = 5,
        kDeletedBytesIn = 7,
        kDeletedBytesOut = 8,
        kAccountsShowDisabled = 50,
        kAccountsShowAvatars = 51,
        kClistTextSize = 100,
        kClistViewType = 101,
        kClistSortType = 102,
        kClistEventsOnTop = 103,
        kClistSeparateOffline = 104,
        kClistShowGroups = 106,
        kClistShowEmptyGroups = 107,
        kClistShowOffline = 108,
        kClistShowAvatars = 109,
        kClistOpenByDoubleClick = 110,
        kClistRoomsExpanded = 111,
        kHistoryShowStatusChanges = 200,
        kHistoryTextSize = 201,
        kHistorySeparatorMinutes = 202,
        kHistoryGroupMessages = 203,
        kHistorySetFocusOnEditor = 204,
        kEnableTransparency = 500,
        kScrollbarAlways = 501,
        kScrollbarWidth = 502,
        kScrollbarOffset = 503,
        kTransparencyValue = 504,
        kColourScheme = 505,
        kRejoinRooms = 520,
        kNotifSoundInChat = 530,
        kNotifSound = 602,
        kNotifVCount = 603,
        kNotifVDuration = 604,
        kNotifSoundOn = 605,
        kWindowWidth = 700,
        kWindowHeight = 701,
        kWindowX = 702,
        kWindowY = 703,
    };

    // The values; their defaults, ranges and names are in OptionTable(). Flags are stored as
    // 0/1; any non-zero value counts as set. Session and notification threads read them while
    // the window thread writes, so each is an atomic.
    OptionInt Version;
    OptionInt LanguageID;
    OptionInt ReconnectOnError;
    OptionInt RestoreLastStatusesOnStart;
    OptionInt UseProxy;
    OptionInt DeletedBytesIn;
    OptionInt DeletedBytesOut;
    OptionInt AccountsShowDisabled;
    OptionInt AccountsShowAvatars;
    OptionInt ClistTextSize;
    OptionInt ClistViewType;
    OptionInt ClistSortType;
    OptionInt ClistEventsOnTop;
    OptionInt ClistSeparateOffline;
    OptionInt ClistShowGroups;
    OptionInt ClistShowEmptyGroups;
    OptionInt ClistShowOffline;
    OptionInt ClistShowAvatars;
    OptionInt ClistOpenByDoubleClick;
    // The contact list's rooms heading is open (its rooms listed under it).
    OptionInt ClistRoomsExpanded;
    OptionInt HistoryShowStatusChanges;
    OptionInt HistoryTextSize;
    OptionInt HistorySeparatorMinutes;
    OptionInt HistoryGroupMessages;
    OptionInt HistorySetFocusOnEditor;
    OptionInt EnableTransparency;
    OptionInt ScrollbarAlways;
    OptionInt ScrollbarWidth;
    OptionInt ScrollbarOffset;
    OptionInt TransparencyValue;
    // 0: the desktop's colours, 1: light, 2: dark.
    OptionInt ColourScheme;
    // Rooms the user kept are joined again at every sign-on.
    OptionInt RejoinRooms;
    OptionInt NotifVCount;
    OptionInt NotifVDuration;
    // A new message plays the sound (NotifSound) when on.
    OptionInt NotifSoundOn;
    // A message to the chat the user is looking at plays the sound too (it never shows a
    // notification).
    OptionInt NotifSoundInChat;
    // The main window's size and place when the client last ended (0 x 0: never stored).
    OptionInt WindowWidth;
    OptionInt WindowHeight;
    OptionInt WindowX;
    OptionInt WindowY;
    // Written only when the options are loaded or reset, before any session or alert runs.
    std::u16string NotifSound = u"zulincoming.wav";

    // Every value at its default.
    COptions();

    // Loads every known row of the Options table; unknown rows are ignored (and kept).
    bool dbLoad();
    // Writes every setting in the fixed order; rows whose value is unchanged are not rewritten.
    bool SaveAll();

    bool __readIntSetting(int32_t id, int32_t& value);
    bool __readStrSetting(int32_t id, std::u16string& text);
    bool __writeIntSetting(int32_t id, int32_t value, const std::u16string& description);
    bool __writeStrSetting(int32_t id, const std::u16string& text,
                           const std::u16string& description);

    // Back to the defaults (tests and a fresh start use it).
    void ResetToDefaults() { *this = COptions(); }
};

// One row per setting, in the order SaveAll writes them: its identifier and name (the ID and
// Description columns), the member that holds a number (null for the one text, NotifSound), the
// default, and the range a loaded value is held to (after keeping only the bits of narrowTo, for
// the settings that were once 8 or 16 bits wide).
struct OptionRow {
    COptions::Id id;
    const char16_t* name;
    OptionInt COptions::*number;
    int32_t defaultValue;
    int32_t min;
    int32_t max;
    // Shown and edited on the Options sheet.
    bool onSheet;
    uint32_t narrowTo = 0;
};
std::span<const OptionRow> OptionTable();
const OptionRow* FindOption(COptions::Id id);

// The one settings record of the process.
COptions& Options();

}  // namespace zul
