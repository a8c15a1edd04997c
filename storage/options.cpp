#include "storage/options.h"

#include "platform/log.h"
#include "storage/database.h"

namespace zul {
namespace {

void LogFailure(std::u16string_view prefix, const CppSQLite3Exception& e) {
    std::u16string line(prefix);
    line += e.ErrorMessage();
    WriteLog(kDbLog, line);
}

// Loaded opacity stays within 0..255.
int32_t ClampTransparency(int32_t value) {
    if (value >= 255) return 255;
    if (value <= 0) return 0;
    return value;
}

}  // namespace

COptions& Options() {
    static COptions options;
    return options;
}

bool COptions::dbLoad() {
    try {
        CppSQLite3Command command = Database().Prepare(u"SELECT * FROM Options");
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        for (; !rows.IsEnd(); rows.Next()) {
            const int32_t id = rows.IntColumn(u"ID", 0);
            if (id == kNotifSound) {
                NotifSound = rows.TextColumn(u"Value", u"");
                continue;
            }
            // A NULL value reads as 0, as __readIntSetting reads it: what is in memory is then
            // what the next save compares with.
            const int32_t value = rows.IntColumn(u"Value", 0);
            switch (id) {
                case kVersion:
                    Version = value;
                    break;
                case kLanguageID:
                    LanguageID = static_cast<uint16_t>(value);
                    break;
                case kReconnectOnError:
                    ReconnectOnError = value;
                    break;
                case kRestoreLastStatusesOnStart:
                    RestoreLastStatusesOnStart = value;
                    break;
                case kUseProxy:
                    UseProxy = value;
                    break;
                case kDeletedBytesIn:
                    DeletedBytesIn = value;
                    break;
                case kDeletedBytesOut:
                    DeletedBytesOut = value;
                    break;
                case kAccountsShowDisabled:
                    AccountsShowDisabled = value;
                    break;
                case kAccountsShowAvatars:
                    AccountsShowAvatars = value;
                    break;
                case kClistTextSize:
                    ClistTextSize = value;
                    break;
                case kClistViewType:
                    ClistViewType = value;
                    break;
                case kClistSortType:
                    ClistSortType = static_cast<uint8_t>(value);
                    break;
                case kClistEventsOnTop:
                    ClistEventsOnTop = value;
                    break;
                case kClistSeparateOffline:
                    ClistSeparateOffline = value;
                    break;
                case kClistShowGroups:
                    ClistShowGroups = value;
                    break;
                case kClistShowEmptyGroups:
                    ClistShowEmptyGroups = value;
                    break;
                case kClistShowOffline:
                    ClistShowOffline = value;
                    break;
                case kClistShowAvatars:
                    ClistShowAvatars = value;
                    break;
                case kClistOpenByDoubleClick:
                    ClistOpenByDoubleClick = value;
                    break;
                case kHistoryShowStatusChanges:
                    HistoryShowStatusChanges = value;
                    break;
                case kHistoryTextSize:
                    HistoryTextSize = value;
                    break;
                case kHistorySeparatorMinutes:
                    HistorySeparatorMinutes = value;
                    break;
                case kHistoryGroupMessages:
                    HistoryGroupMessages = value;
                    break;
                case kHistorySetFocusOnEditor:
                    HistorySetFocusOnEditor = value;
                    break;
                case kEnableTransparency:
                    EnableTransparency = value;
                    break;
                case kScrollbarAlways:
                    ScrollbarAlways = value;
                    break;
                case kScrollbarWidth:
                    ScrollbarWidth = value;
                    break;
                case kScrollbarOffset:
                    ScrollbarOffset = value;
                    break;
                case kTransparencyValue:
                    TransparencyValue = ClampTransparency(value);
                    break;
                case kNotifVCount:
                    NotifVCount = value;
                    break;
                case kNotifVDuration:
                    NotifVDuration = 200;
                    break;  // the stored value is not read
                default:
                    break;  // no setting of this program: left alone
            }
        }
        rows.Finalize();
        command.Finalize();
        return true;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"COptions::dbLoad(): ", e);
        return false;
    }
}

bool COptions::__readIntSetting(int32_t id, int32_t& value) {
    try {
        CppSQLite3Command command = Database().Prepare(u"SELECT Value FROM Options WHERE ID=?");
        command.BindInt(1, id);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        const bool found = !rows.IsEnd();
        if (found) value = rows.IntColumn(u"Value", 0);
        rows.Finalize();
        command.Finalize();
        return found;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"COptions::__readIntSetting(): ", e);
        return false;
    }
}

bool COptions::__readStrSetting(int32_t id, std::u16string& text) {
    try {
        CppSQLite3Command command = Database().Prepare(u"SELECT Value FROM Options WHERE ID=?");
        command.BindInt(1, id);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        const bool found = !rows.IsEnd();
        if (found) text = rows.TextColumn(u"Value", u"");
        rows.Finalize();
        command.Finalize();
        return found;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"COptions::__readStrSetting(): ", e);
        return false;
    }
}

bool COptions::__writeIntSetting(int32_t id, int32_t value, const std::u16string& description) {
    int32_t stored = 0;
    if (__readIntSetting(id, stored) && stored == value) return true;
    try {
        CppSQLite3Command command =
            Database().Prepare(u"REPLACE INTO Options (ID,Value,Description) VALUES (?,?,?)");
        command.BindInt(1, id);
        command.BindInt(2, value);
        command.BindText(3, description);
        Database().Execute(command);
        return true;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"COptions::__writeIntSetting(): ", e);
        return false;
    }
}

bool COptions::__writeStrSetting(int32_t id, const std::u16string& text,
                                 const std::u16string& description) {
    std::u16string stored;
    if (__readStrSetting(id, stored) && stored == text) return true;
    try {
        CppSQLite3Command command =
            Database().Prepare(u"REPLACE INTO Options (ID,Value,Description) VALUES (?,?,?)");
        command.BindInt(1, id);
        command.BindText(2, text);
        command.BindText(3, description);
        Database().Execute(command);
        return true;
    } catch (const CppSQLite3Exception& e) {
        LogFailure(u"COptions::__writeStrSetting(): ", e);
        return false;
    }
}

bool COptions::SaveAll() {
    // One transaction for all rows: the first save of a new profile writes 32 rows, and every
    // commit waits for the storage medium. Each write still fails on its own.
    CTransaction transaction;
    bool ok = true;
    auto writeInt = [&](Id id, int32_t value, const char16_t* name) {
        ok = __writeIntSetting(id, value, name) && ok;
    };
    writeInt(kVersion, Version, u"Version");
    writeInt(kLanguageID, LanguageID, u"LanguageID");
    writeInt(kReconnectOnError, ReconnectOnError, u"ReconnectOnError");
    writeInt(kRestoreLastStatusesOnStart, RestoreLastStatusesOnStart,
             u"RestoreLastStatusesOnStart");
    writeInt(kUseProxy, UseProxy, u"UseProxy");
    writeInt(kDeletedBytesIn, DeletedBytesIn, u"DeletedBytesIn");
    writeInt(kDeletedBytesOut, DeletedBytesOut, u"DeletedBytesOut");
    writeInt(kAccountsShowDisabled, AccountsShowDisabled, u"AccountsShowDisabled");
    writeInt(kAccountsShowAvatars, AccountsShowAvatars, u"AccountsShowAvatars");
    writeInt(kClistTextSize, ClistTextSize, u"ClistTextSize");
    writeInt(kClistViewType, ClistViewType, u"ClistViewType");
    writeInt(kClistSortType, ClistSortType, u"ClistSortType");
    writeInt(kClistEventsOnTop, ClistEventsOnTop, u"ClistEventsOnTop");
    writeInt(kClistSeparateOffline, ClistSeparateOffline, u"ClistSeparateOffline");
    writeInt(kClistShowGroups, ClistShowGroups, u"ClistShowGroups");
    writeInt(kClistShowEmptyGroups, ClistShowEmptyGroups, u"ClistShowEmptyGroups");
    writeInt(kClistShowOffline, ClistShowOffline, u"ClistShowOffline");
    writeInt(kClistShowAvatars, ClistShowAvatars, u"ClistShowAvatars");
    writeInt(kClistOpenByDoubleClick, ClistOpenByDoubleClick, u"ClistOpenByDoubleClick");
    writeInt(kHistoryShowStatusChanges, HistoryShowStatusChanges, u"HistoryShowStatusChanges");
    writeInt(kHistoryTextSize, HistoryTextSize, u"HistoryTextSize");
    writeInt(kHistorySeparatorMinutes, HistorySeparatorMinutes, u"HistorySeparatorMinutes");
    writeInt(kHistoryGroupMessages, HistoryGroupMessages, u"HistoryGroupMessages");
    writeInt(kHistorySetFocusOnEditor, HistorySetFocusOnEditor, u"HistorySetFocusOnEditor");
    writeInt(kEnableTransparency, EnableTransparency, u"EnableTransparency");
    writeInt(kTransparencyValue, TransparencyValue, u"TransparencyValue");
    writeInt(kScrollbarAlways, ScrollbarAlways, u"ScrollbarAlways");
    writeInt(kScrollbarOffset, ScrollbarOffset, u"ScrollbarOffset");
    writeInt(kScrollbarWidth, ScrollbarWidth, u"ScrollbarWidth");
    ok = __writeStrSetting(kNotifSound, NotifSound, u"NotifSound") && ok;
    writeInt(kNotifVCount, NotifVCount, u"NotifVCount");
    writeInt(kNotifVDuration, NotifVDuration, u"NotifVDuration");
    return transaction.Commit() && ok;
}

}  // namespace zul
