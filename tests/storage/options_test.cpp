#include "storage/options.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "profile_fixture.h"

namespace zul {
namespace {

// Every setting in the order SaveAll writes it, with its key name and default.
const std::vector<std::pair<int, std::string>> kKeys = {
    {0, "Version"},
    {1, "LanguageID"},
    {2, "ReconnectOnError"},
    {3, "RestoreLastStatusesOnStart"},
    {5, "UseProxy"},
    {7, "DeletedBytesIn"},
    {8, "DeletedBytesOut"},
    {50, "AccountsShowDisabled"},
    {51, "AccountsShowAvatars"},
    {100, "ClistTextSize"},
    {101, "ClistViewType"},
    {102, "ClistSortType"},
    {103, "ClistEventsOnTop"},
    {104, "ClistSeparateOffline"},
    {106, "ClistShowGroups"},
    {107, "ClistShowEmptyGroups"},
    {108, "ClistShowOffline"},
    {109, "ClistShowAvatars"},
    {110, "ClistOpenByDoubleClick"},
    {111, "ClistRoomsExpanded"},
    {200, "HistoryShowStatusChanges"},
    {201, "HistoryTextSize"},
    {202, "HistorySeparatorMinutes"},
    {203, "HistoryGroupMessages"},
    {204, "HistorySetFocusOnEditor"},
    {500, "EnableTransparency"},
    {504, "TransparencyValue"},
    {505, "ColourScheme"},
    {501, "ScrollbarAlways"},
    {503, "ScrollbarOffset"},
    {502, "ScrollbarWidth"},
    {520, "RejoinRooms"},
    {602, "NotifSound"},
    {603, "NotifVCount"},
    {604, "NotifVDuration"},
    {605, "NotifSoundOn"},
    {530, "NotifSoundInChat"},
    {700, "WindowWidth"},
    {701, "WindowHeight"},
    {702, "WindowX"},
    {703, "WindowY"},
};

// Records the identifier of every REPLACE the profile connection runs.
class OptionsTest : public test::ProfileTest {
  protected:
    void SetUp() override {
        ProfileTest::SetUp();
        Options().ResetToDefaults();
        sqlite3_trace_v2(Database().Connection().Handle(), SQLITE_TRACE_STMT, &OptionsTest::Trace,
                         &replaced_);
    }
    void TearDown() override {
        sqlite3_trace_v2(Database().Connection().Handle(), 0, nullptr, nullptr);
        Options().ResetToDefaults();
        ProfileTest::TearDown();
    }

    static int Trace(unsigned, void* context, void* statement, void*) {
        char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(statement));
        std::string text = sql ? sql : "";
        sqlite3_free(sql);
        const std::string head = "REPLACE INTO Options (ID,Value,Description) VALUES (";
        if (text.rfind(head, 0) == 0)
            static_cast<std::vector<int>*>(context)->push_back(std::stoi(text.substr(head.size())));
        return 0;
    }

    // Stores a value under an identifier, bypassing COptions.
    static void Store(int id, const std::u16string& value) {
        Exec(u"REPLACE INTO Options VALUES (" + Widen(std::to_string(id)) + u", " + value +
             u", 'x')");
    }

    std::vector<int> replaced_;
};

TEST_F(OptionsTest, NewProfileLoadsDefaultsAndFirstSaveWritesAllKeysInOrder) {
    Options().Version = 77;  // a setting without a row keeps what it holds
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().Version, 77);
    Options().ResetToDefaults();
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().NotifVDuration, 100);
    EXPECT_EQ(Options().TransparencyValue, 220);
    EXPECT_EQ(Options().NotifSound, u"zulincoming.wav");

    ASSERT_TRUE(Options().SaveAll());
    std::vector<int> order;
    for (const auto& key : kKeys) order.push_back(key.first);
    EXPECT_EQ(replaced_, order);

    CppSQLite3Command query =
        Database().Prepare(u"SELECT ID, Value, Description FROM Options ORDER BY ID");
    CppSQLite3ResultSet rows = Database().ExecuteQuery(query);
    std::vector<std::pair<int, std::string>> stored;
    for (; !rows.IsEnd(); rows.Next()) {
        stored.emplace_back(rows.IntColumn(0), ToUtf8(rows.TextColumn(2)));
        if (rows.IntColumn(0) == COptions::kNotifSound)
            EXPECT_EQ(rows.TextColumn(1), u"zulincoming.wav");
        if (rows.IntColumn(0) == COptions::kHistorySeparatorMinutes)
            EXPECT_EQ(rows.IntColumn(1), 30);
    }
    rows.Finalize();
    query.Finalize();
    auto sorted = kKeys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(stored, sorted);
}

TEST_F(OptionsTest, UnchangedSettingsAreNotWrittenAgain) {
    ASSERT_TRUE(Options().SaveAll());
    replaced_.clear();
    const int before = sqlite3_total_changes(Database().Connection().Handle());
    ASSERT_TRUE(Options().SaveAll());
    EXPECT_TRUE(replaced_.empty());
    EXPECT_EQ(sqlite3_total_changes(Database().Connection().Handle()), before);

    Options().ClistViewType = 3;
    Options().NotifSound = u"other.wav";
    ASSERT_TRUE(Options().SaveAll());
    EXPECT_EQ(replaced_, (std::vector<int>{COptions::kClistViewType, COptions::kNotifSound}));

    Options().ResetToDefaults();
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().ClistViewType, 3);
    EXPECT_EQ(Options().NotifSound, u"other.wav");
}

TEST_F(OptionsTest, LoadingNarrowsAndClampsStoredValues) {
    Store(COptions::kTransparencyValue, u"300");
    Store(COptions::kClistSortType, u"258");
    Store(COptions::kLanguageID, u"74565");  // 0x12345
    Store(COptions::kNotifVDuration, u"500");
    Store(COptions::kNotifSound, u"NULL");
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().TransparencyValue, 255);
    EXPECT_EQ(Options().ClistSortType, 2);
    EXPECT_EQ(Options().LanguageID, 0x2345);
    EXPECT_EQ(Options().NotifVDuration, 200);
    EXPECT_EQ(Options().NotifSound, u"");

    Store(COptions::kTransparencyValue, u"-5");
    ASSERT_TRUE(Options().dbLoad());
    EXPECT_EQ(Options().TransparencyValue, 0);
}

TEST_F(OptionsTest, RowsOfNoSettingSurviveLoadsAndSaves) {
    Exec(u"INSERT INTO Options VALUES (4, 9, 'Foreign')");
    ASSERT_TRUE(Options().dbLoad());
    Options().UseProxy = 1;
    ASSERT_TRUE(Options().SaveAll());
    ASSERT_TRUE(Options().SaveAll());
    EXPECT_EQ(Scalar(u"SELECT Value FROM Options WHERE ID=4 AND Description='Foreign'"), 9);
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM Options"), 42);  // every setting, and the foreign row
}

TEST_F(OptionsTest, ReadHelpersReportMissingRows) {
    int32_t value = -1;
    EXPECT_FALSE(Options().__readIntSetting(COptions::kUseProxy, value));
    EXPECT_EQ(value, -1);
    ASSERT_TRUE(Options().__writeIntSetting(COptions::kUseProxy, 1, u"UseProxy"));
    EXPECT_TRUE(Options().__readIntSetting(COptions::kUseProxy, value));
    EXPECT_EQ(value, 1);
    std::u16string text = u"unchanged";
    EXPECT_FALSE(Options().__readStrSetting(COptions::kNotifSound, text));
    EXPECT_EQ(text, u"unchanged");
}

TEST(OptionsFailures, AreLoggedWithTheOperationsPrefix) {
    test::IsolatedFolders folders;  // no profile open
    COptions options;
    EXPECT_FALSE(options.dbLoad());
    int32_t value = 0;
    EXPECT_FALSE(options.__readIntSetting(1, value));
    EXPECT_FALSE(options.__writeStrSetting(602, u"x", u"NotifSound"));
    EXPECT_FALSE(options.SaveAll());

    std::string bytes = test::ReadFileBytes(folders.ProgramDir() + "db.log"), text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
    for (const char* line :
         {"COptions::dbLoad(): CPPSQLITE_ERROR[1000]: Database not open",
          "COptions::__readIntSetting(): CPPSQLITE_ERROR[1000]: Database not open",
          "COptions::__readStrSetting(): CPPSQLITE_ERROR[1000]: Database not open",
          "COptions::__writeStrSetting(): CPPSQLITE_ERROR[1000]: Database not open",
          "COptions::__writeIntSetting(): CPPSQLITE_ERROR[1000]: Database not open"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace zul
