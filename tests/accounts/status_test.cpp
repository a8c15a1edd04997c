#include "storage/status.h"

#include <gtest/gtest.h>

namespace zul {
namespace {

TEST(StatusWire, IncomingWordsFollowTheBitPriority) {
    EXPECT_EQ(StatusFromWire(0x0000), kStatusAvailable);
    EXPECT_EQ(StatusFromWire(0x0111), kStatusInvisible);  // invisible beats occupied and away
    EXPECT_EQ(StatusFromWire(0x0013), kStatusDnd);
    EXPECT_EQ(StatusFromWire(0x0005), kStatusNotAvailable);
    EXPECT_EQ(StatusFromWire(0x0011), kStatusOccupied);
    EXPECT_EQ(StatusFromWire(0x0001), kStatusAway);
    EXPECT_EQ(StatusFromWire(0x0020), kStatusFreeForChat);
    EXPECT_EQ(StatusFromWire(0x0021), kStatusAway);
    // Only the exact extended values pass unchanged; any other bits fall to the bit rules.
    for (uint16_t word : {0x2001, 0x3000, 0x4000, 0x5000, 0x6000}) {
        EXPECT_EQ(StatusFromWire(word), word);
    }
    EXPECT_EQ(StatusFromWire(0x2011), kStatusOccupied);
    EXPECT_EQ(StatusFromWire(0x7000), kStatusAvailable);
}

TEST(StatusWire, OutgoingWordsForOscarTypesOnly) {
    const std::pair<int32_t, int32_t> expected[] = {
        {kStatusAway, 0x0001},      {kStatusDnd, 0x0013},         {kStatusNotAvailable, 0x0005},
        {kStatusOccupied, 0x0011},  {kStatusFreeForChat, 0x0020}, {kStatusInvisible, 0x0100},
        {kStatusAvailable, 0x0000}, {kStatusOffline, 0x0000},     {kStatusEating, 0x0000},
        {kStatusAtHome, 0x0000},    {kStatusAtWork, 0x0000},
    };
    for (auto [status, word] : expected) {
        EXPECT_EQ(StatusToWire(11, status), word) << status;
        EXPECT_EQ(StatusToWire(12, status), word) << status;
    }
    EXPECT_EQ(StatusToWire(2, kStatusAway), -1);
    EXPECT_EQ(StatusToWire(1, kStatusAway), -1);  // callers pass the effective type
}

TEST(StatusNames, ComeFromTheStringTableAndInvisibleDependsOnTheType) {
    EXPECT_EQ(StatusName(11, kStatusInvisible), u"Invisible");
    EXPECT_EQ(StatusName(12, kStatusInvisible), u"Invisible for all");
    EXPECT_EQ(StatusName(12, kStatusAway), u"Away");
    EXPECT_EQ(StatusName(11, kStatusOffline), u"Offline");
    EXPECT_EQ(StatusName(11, kStatusDnd), u"DND");
    EXPECT_EQ(StatusName(11, kStatusAtWork), u"At work");
    EXPECT_EQ(StatusName(11, 12345), u"Available");

    EXPECT_EQ(AccountTypeName(11), u"ICQ");
    EXPECT_EQ(AccountTypeName(2), u"XMPP");
    EXPECT_EQ(AccountTypeName(1), u"");
    EXPECT_EQ(AccountTitle(12, u"me"), u"AIM me");
}

TEST(StatusIcons, MoodWinsOverStatusAndTypeChoosesTheSet) {
    EXPECT_EQ(StatusIcon(11, kStatusNotAvailable, 17), 235);
    EXPECT_EQ(StatusIcon(12, kStatusNotAvailable, 23), 217);
    EXPECT_EQ(StatusIcon(11, kStatusNotAvailable, kMoodNone), 180);
    EXPECT_EQ(StatusIcon(12, kStatusNotAvailable, kMoodNone), 185);
    EXPECT_EQ(StatusIcon(11, kStatusOffline, 24), 176);  // not a mood: the status decides
    EXPECT_EQ(StatusIcon(12, kStatusInvisible, -1), 186);
    EXPECT_EQ(StatusIcon(11, 777, -1), 175);
    EXPECT_EQ(StatusIcon(12, 777, -1), 183);
    EXPECT_EQ(StatusIcon(2, kStatusAvailable, -1), 0);
}

TEST(Moods, WireNamesMatchWholeTextsWithoutLeadingZeros) {
    EXPECT_EQ(MoodFromWireName(u"icqmood5"), 5);
    EXPECT_EQ(MoodFromWireName(u"icqmood05"), kMoodNone);
    EXPECT_EQ(MoodFromWireName(u"icqmood0"), 0);
    EXPECT_EQ(MoodFromWireName(u"icqmood23"), 23);
    EXPECT_EQ(MoodFromWireName(u"icqmood24"), kMoodNone);
    EXPECT_EQ(MoodFromWireName(u"icqmood2x"), kMoodNone);
    EXPECT_EQ(MoodFromWireName(u"ICQMOOD7"), 7);  // the program's comparison ignores case
    EXPECT_EQ(MoodFromWireName(u""), kMoodNone);

    EXPECT_EQ(MoodName(0), u"Shopping");
    EXPECT_EQ(MoodName(23), u"Angry");
    EXPECT_EQ(MoodName(kMoodNone), u"");
    EXPECT_EQ(MoodName(24), u"unknown mood");
    EXPECT_EQ(MoodName(-2), u"unknown mood");
}

TEST(AccountType, UnresolvedTypeFollowsTheLogin) {
    EXPECT_EQ(EffectiveAccountType(1, u"123456"), 11);
    EXPECT_EQ(EffectiveAccountType(1, u"12345a"), 12);
    EXPECT_EQ(EffectiveAccountType(1, u"\u0661\u0662"), 12);  // only ASCII digits count
    EXPECT_EQ(EffectiveAccountType(12, u"123"), 12);
    EXPECT_EQ(EffectiveAccountType(2, u"x"), 2);
}

TEST(StatusMenu, CommandsStatusesAndEntries) {
    EXPECT_EQ(StatusForCommand(kCmdStatusNotAvailable), kStatusNotAvailable);
    EXPECT_EQ(StatusForCommand(kCmdStatusDnd), kStatusDnd);
    EXPECT_EQ(StatusForCommand(kCmdStatusOffline), kStatusOffline);
    EXPECT_FALSE(StatusForCommand(kCmdAccountEnabled).has_value());

    EXPECT_EQ(RadioCommandForStatus(kStatusOccupied), 32777);
    EXPECT_EQ(RadioCommandForStatus(kStatusOffline), 32781);
    EXPECT_EQ(RadioCommandForStatus(kStatusEating), 0);

    // Every status can be chosen: the two available ones, the four away ones, invisible and
    // offline, each group after a separator.
    auto entries = StatusMenuEntries(true);
    std::vector<int> commands;
    for (const auto& entry : entries) commands.push_back(entry.command);
    EXPECT_EQ(commands, (std::vector<int>{32774, 32779, 32775, 32776, 32777, 32778, 32780, 32781}));
    EXPECT_EQ(entries[3].name, u"Not available");
    EXPECT_FALSE(entries[1].separatorBefore);
    EXPECT_TRUE(entries[2].separatorBefore);
    EXPECT_FALSE(entries[5].separatorBefore);
    EXPECT_TRUE(entries[6].separatorBefore);
    EXPECT_TRUE(entries[7].separatorBefore);
    for (const auto& entry : StatusMenuEntries(false)) EXPECT_FALSE(entry.separatorBefore);
}

}  // namespace
}  // namespace zul
