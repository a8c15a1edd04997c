#include "storage/options.h"

#include <algorithm>
#include <limits>

#include "platform/log.h"
#include "storage/database.h"
#include "storage/db_log.h"

namespace zul {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// clang-format off
const OptionRow kOptionTable[] = {
    {COptions::kVersion, u"Version", &COptions::Version, 0, kMin, kMax, false},
    {COptions::kLanguageID, u"LanguageID", &COptions::LanguageID, 0, kMin, kMax, true, 0xFFFF},
    {COptions::kReconnectOnError, u"ReconnectOnError", &COptions::ReconnectOnError, 1, kMin, kMax, true},
    {COptions::kRestoreLastStatusesOnStart, u"RestoreLastStatusesOnStart", &COptions::RestoreLastStatusesOnStart, 1, kMin, kMax, true},
    {COptions::kUseProxy, u"UseProxy", &COptions::UseProxy, 0, kMin, kMax, true},
    {COptions::kDeletedBytesIn, u"DeletedBytesIn", &COptions::DeletedBytesIn, 0, kMin, kMax, true},
    {COptions::kDeletedBytesOut, u"DeletedBytesOut", &COptions::DeletedBytesOut, 0, kMin, kMax, true},
    {COptions::kAccountsShowDisabled, u"AccountsShowDisabled", &COptions::AccountsShowDisabled, 0, kMin, kMax, false},
    {COptions::kAccountsShowAvatars, u"AccountsShowAvatars", &COptions::AccountsShowAvatars, 1, kMin, kMax, false},
    {COptions::kClistTextSize, u"ClistTextSize", &COptions::ClistTextSize, 2, kMin, kMax, true},
    {COptions::kClistViewType, u"ClistViewType", &COptions::ClistViewType, 0, kMin, kMax, false},
    {COptions::kClistSortType, u"ClistSortType", &COptions::ClistSortType, 1, kMin, kMax, false, 0xFF},
    {COptions::kClistEventsOnTop, u"ClistEventsOnTop", &COptions::ClistEventsOnTop, 1, kMin, kMax, false},
    {COptions::kClistSeparateOffline, u"ClistSeparateOffline", &COptions::ClistSeparateOffline, 1, kMin, kMax, false},
    {COptions::kClistShowGroups, u"ClistShowGroups", &COptions::ClistShowGroups, 1, kMin, kMax, false},
    {COptions::kClistShowEmptyGroups, u"ClistShowEmptyGroups", &COptions::ClistShowEmptyGroups, 0, kMin, kMax, false},
    {COptions::kClistShowOffline, u"ClistShowOffline", &COptions::ClistShowOffline, 1, kMin, kMax, false},
    {COptions::kClistShowAvatars, u"ClistShowAvatars", &COptions::ClistShowAvatars, 1, kMin, kMax, false},
    {COptions::kClistOpenByDoubleClick, u"ClistOpenByDoubleClick", &COptions::ClistOpenByDoubleClick, 1, kMin, kMax, true},
    {COptions::kClistRoomsExpanded, u"ClistRoomsExpanded", &COptions::ClistRoomsExpanded, 1, 0, 1, false},
    {COptions::kHistoryShowStatusChanges, u"HistoryShowStatusChanges", &COptions::HistoryShowStatusChanges, 0, kMin, kMax, false},
    {COptions::kHistoryTextSize, u"HistoryTextSize", &COptions::HistoryTextSize, 2, kMin, kMax, true},
    {COptions::kHistorySeparatorMinutes, u"HistorySeparatorMinutes", &COptions::HistorySeparatorMinutes, 30, kMin, kMax, false},
    {COptions::kHistoryGroupMessages, u"HistoryGroupMessages", &COptions::HistoryGroupMessages, 1, kMin, kMax, false},
    {COptions::kHistorySetFocusOnEditor, u"HistorySetFocusOnEditor", &COptions::HistorySetFocusOnEditor, 1, kMin, kMax, true},
    {COptions::kEnableTransparency, u"EnableTransparency", &COptions::EnableTransparency, 0, kMin, kMax, true},
    {COptions::kTransparencyValue, u"TransparencyValue", &COptions::TransparencyValue, 220, 0, 255, false},
    {COptions::kColourScheme, u"ColourScheme", &COptions::ColourScheme, 0, 0, 2, false},
    {COptions::kScrollbarAlways, u"ScrollbarAlways", &COptions::ScrollbarAlways, 0, kMin, kMax, false},
    {COptions::kScrollbarOffset, u"ScrollbarOffset", &COptions::ScrollbarOffset, 0, kMin, kMax, false},
    {COptions::kScrollbarWidth, u"ScrollbarWidth", &COptions::ScrollbarWidth, 4, kMin, kMax, false},
    {COptions::kRejoinRooms, u"RejoinRooms", &COptions::RejoinRooms, 1, 0, 1, true},
    {COptions::kNotifSound, u"NotifSound", nullptr, 0, kMin, kMax, false},
    {COptions::kNotifVCount, u"NotifVCount", &COptions::NotifVCount, 2, kMin, kMax, false},
    {COptions::kNotifVDuration, u"NotifVDuration", &COptions::NotifVDuration, 100, kMin, kMax, false},
    {COptions::kNotifSoundOn, u"NotifSoundOn", &COptions::NotifSoundOn, 1, kMin, kMax, true},
    {COptions::kNotifSoundInChat, u"NotifSoundInChat", &COptions::NotifSoundInChat, 0, 0, 1, true},
    {COptions::kWindowWidth, u"WindowWidth", &COptions::WindowWidth, 0, 0, 32767, false},
    {COptions::kWindowHeight, u"WindowHeight", &COptions::WindowHeight, 0, 0, 32767, false},
    {COptions::kWindowX, u"WindowX", &COptions::WindowX, 0, -32768, 32767, false},
    {COptions::kWindowY, u"WindowY", &COptions::WindowY, 0, -32768, 32767, false},
};
// clang-format on

// The vibration pulse length is fixed: a stored value is replaced by this one when loaded.
constexpr int32_t kLoadedVibrationMs = 200;

}  // namespace

std::span<const OptionRow> OptionTable() {
    return kOptionTable;
}

const OptionRow* FindOption(COptions::Id id) {
    for (const OptionRow& row : kOptionTable)
        if (row.id == id) return &row;
    return nullptr;
}

COptions::COptions() {
    for (const OptionRow& row : kOptionTable)
        if (row.number != nullptr) this->*row.number = row.defaultValue;
}

COptions& Options() {
    static COptions options;
    return options;
}

bool COptions::dbLoad() {
    return DbWork(u"COptions::dbLoad(): ", [&] {
        CppSQLite3Command command = Database().Prepare(u"SELECT * FROM Options");
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        for (; !rows.IsEnd(); rows.Next()) {
            const int32_t id = rows.IntColumn(u"ID", 0);
            const OptionRow* setting = FindOption(static_cast<Id>(id));
            if (setting == nullptr) continue;  // no setting of this program: left alone
            if (setting->number == nullptr) {
                NotifSound = rows.TextColumn(u"Value", u"");
                continue;
            }
            // A NULL value reads as 0, as __readIntSetting reads it: what is in memory is then
            // what the next save compares with.
            int32_t value = rows.IntColumn(u"Value", 0);
            if (setting->narrowTo != 0) value = static_cast<int32_t>(value & setting->narrowTo);
            value = std::clamp(value, setting->min, setting->max);
            if (id == kNotifVDuration) value = kLoadedVibrationMs;
            this->*setting->number = value;
        }
        return true;
    });
}

bool COptions::__readIntSetting(int32_t id, int32_t& value) {
    return DbWork(u"COptions::__readIntSetting(): ", [&] {
        CppSQLite3Command command = Database().Prepare(u"SELECT Value FROM Options WHERE ID=?");
        command.BindInt(1, id);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        const bool found = !rows.IsEnd();
        if (found) value = rows.IntColumn(u"Value", 0);
        return found;
    });
}

bool COptions::__readStrSetting(int32_t id, std::u16string& text) {
    return DbWork(u"COptions::__readStrSetting(): ", [&] {
        CppSQLite3Command command = Database().Prepare(u"SELECT Value FROM Options WHERE ID=?");
        command.BindInt(1, id);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        const bool found = !rows.IsEnd();
        if (found) text = rows.TextColumn(u"Value", u"");
        return found;
    });
}

bool COptions::__writeIntSetting(int32_t id, int32_t value, const std::u16string& description) {
    int32_t stored = 0;
    if (__readIntSetting(id, stored) && stored == value) return true;
    return DbWork(u"COptions::__writeIntSetting(): ", [&] {
        CppSQLite3Command command =
            Database().Prepare(u"REPLACE INTO Options (ID,Value,Description) VALUES (?,?,?)");
        command.BindInt(1, id);
        command.BindInt(2, value);
        command.BindText(3, description);
        Database().Execute(command);
        return true;
    });
}

bool COptions::__writeStrSetting(int32_t id, const std::u16string& text,
                                 const std::u16string& description) {
    std::u16string stored;
    if (__readStrSetting(id, stored) && stored == text) return true;
    return DbWork(u"COptions::__writeStrSetting(): ", [&] {
        CppSQLite3Command command =
            Database().Prepare(u"REPLACE INTO Options (ID,Value,Description) VALUES (?,?,?)");
        command.BindInt(1, id);
        command.BindText(2, text);
        command.BindText(3, description);
        Database().Execute(command);
        return true;
    });
}

bool COptions::SaveAll() {
    // One transaction for all rows: the first save of a new profile writes 36 rows, and every
    // commit waits for the storage medium. Each write still fails on its own.
    CTransaction transaction;
    bool ok = true;
    for (const OptionRow& row : kOptionTable) {
        const bool written = row.number != nullptr
                                 ? __writeIntSetting(row.id, this->*row.number, row.name)
                                 : __writeStrSetting(row.id, NotifSound, row.name);
        ok = written && ok;
    }
    return transaction.Commit() && ok;
}

}  // namespace zul
