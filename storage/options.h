// COptions: the process-wide settings, loaded from the profile's Options table at start-up and
// written back whole (SaveAll) after every change. Every part of the program reads the fields
// directly through Options().
#pragma once

#include <cstdint>
#include <string>

namespace zul {

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
        kNotifSound = 602,
        kNotifVCount = 603,
        kNotifVDuration = 604,
    };

    // Values, with their defaults. Flags are stored as 0/1; any non-zero value counts as set.
    int32_t Version = 0;
    uint16_t LanguageID = 0;
    int32_t ReconnectOnError = 1;
    int32_t RestoreLastStatusesOnStart = 1;
    int32_t UseProxy = 0;
    int32_t DeletedBytesIn = 0;
    int32_t DeletedBytesOut = 0;
    int32_t AccountsShowDisabled = 0;
    int32_t AccountsShowAvatars = 1;
    int32_t ClistTextSize = 2;
    int32_t ClistViewType = 0;
    uint8_t ClistSortType = 1;
    int32_t ClistEventsOnTop = 1;
    int32_t ClistSeparateOffline = 1;
    int32_t ClistShowGroups = 1;
    int32_t ClistShowEmptyGroups = 0;
    int32_t ClistShowOffline = 1;
    int32_t ClistShowAvatars = 1;
    int32_t ClistOpenByDoubleClick = 1;
    int32_t HistoryShowStatusChanges = 0;
    int32_t HistoryTextSize = 2;
    int32_t HistorySeparatorMinutes = 30;
    int32_t HistoryGroupMessages = 1;
    int32_t HistorySetFocusOnEditor = 1;
    int32_t EnableTransparency = 0;
    int32_t ScrollbarAlways = 0;
    int32_t ScrollbarWidth = 4;
    int32_t ScrollbarOffset = 0;
    int32_t TransparencyValue = 220;
    std::u16string NotifSound = u"zulincoming.wav";
    int32_t NotifVCount = 2;
    int32_t NotifVDuration = 100;

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

// The one settings record of the process.
COptions& Options();

}  // namespace zul
