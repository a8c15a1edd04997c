#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace zul {
namespace {

TEST(Text, CodePageConversionsRoundTripAndRefuseWhatCannotBeRepresented) {
    EXPECT_EQ(WideToMultiByte(u"Привет", 1251), std::string("\xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(MultiByteToWide("\xCF\xF0\xE8\xE2\xE5\xF2", 1251), u"Привет");
    EXPECT_EQ(WideToMultiByte(u"caf\u00E9", 1252), std::string("caf\xE9"));
    EXPECT_FALSE(WideToMultiByte(u"Привет", 1252).has_value());
    EXPECT_EQ(ToUtf8(u"\u00E9\u4E2D"), "\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(FromUtf8("\xC3\xA9\xE4\xB8\xAD"), u"\u00E9\u4E2D");
    // Broken input never throws and never loses the rest of the text.
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFDb");
}

TEST(Text, DefaultCodePageFollowsLocaleLanguageAndOverride) {
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(DefaultAnsiCodePage(), 1251);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(DefaultAnsiCodePage(), 1252);
    setenv("ZUL_ANSI_CODEPAGE", "1250", 1);
    EXPECT_EQ(DefaultAnsiCodePage(), 1250);
    unsetenv("ZUL_ANSI_CODEPAGE");
    unsetenv("LC_ALL");
}

TEST(Text, CaseInsensitiveComparisonCoversNonLatinLetters) {
    EXPECT_TRUE(EqualNoCase(u"Friends", u"fRIENDS"));
    EXPECT_TRUE(EqualNoCase(u"ДРУЗЬЯ", u"друзья"));
    EXPECT_LT(CompareNoCase(u"alice", u"Bob"), 0);
    EXPECT_LT(CompareNoCase(u"ab", u"abc"), 0);
    EXPECT_FALSE(EqualNoCase(u"a", u"b"));
}

TEST(Text, WideToIntReadsLeadingDigitsOnly) {
    EXPECT_EQ(WideToInt(u"42abc"), 42);
    EXPECT_EQ(WideToInt(u"  -17"), -17);
    EXPECT_EQ(WideToInt(u"abc"), 0);
    EXPECT_EQ(WideToInt(u"99999999999"), 2147483647);
}

TEST(Text, FormatIntFillsOnePlaceholderAndNothingElse) {
    EXPECT_EQ(FormatInt(u"Network is down (%d)", 10061), u"Network is down (10061)");
    EXPECT_EQ(FormatInt(u"%02d:", 7), u"07:");
    EXPECT_EQ(FormatInt(u"Unhandled family (%X,", 0x1A), u"Unhandled family (1A,");
    EXPECT_EQ(FormatInt(u"%d %d %s 100%%", 5), u"5 %d %s 100%");
}

}  // namespace
}  // namespace zul
