// The registry stand-in: key paths and value names without regard to case, numbers only, and
// anything missing or malformed reads as missing.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace zul {
namespace {

constexpr char16_t kKey[] = u"\\ControlPanel\\Notifications\\ShellOverrides";

TEST(Registry, FindsValuesOfTheirOwnKeyOnly) {
    const std::string text =
        "; the device's notification profile\n"
        "[\\ControlPanel\\Other]\n"
        "Mode=7\n"
        "[\\controlpanel\\notifications\\shelloverrides]\r\n"
        "  mode = 2  \r\n"
        "Mask=0x1F\n"
        "Big=4294967295\n";
    EXPECT_EQ(FindRegistryDword(text, kKey, u"Mode"), 2u);
    EXPECT_EQ(FindRegistryDword(text, u"ControlPanel\\Notifications\\ShellOverrides\\", u"MODE"),
              2u);
    EXPECT_EQ(FindRegistryDword(text, kKey, u"Mask"), 0x1Fu);
    EXPECT_EQ(FindRegistryDword(text, kKey, u"Big"), 4294967295u);
    EXPECT_EQ(FindRegistryDword(text, u"\\ControlPanel\\Other", u"Mode"), 7u);
    EXPECT_FALSE(FindRegistryDword(text, kKey, u"Missing"));
    EXPECT_FALSE(FindRegistryDword(text, u"\\Nowhere", u"Mode"));
}

TEST(Registry, MalformedValuesReadAsMissing) {
    for (const char* value :
         {"Mode=", "Mode=two", "Mode=2x", "Mode=-2", "Mode=4294967296", "Mode=0x", "Mode"}) {
        const std::string text =
            std::string("[\\ControlPanel\\Notifications\\ShellOverrides]\n") + value + "\n";
        EXPECT_FALSE(FindRegistryDword(text, kKey, u"Mode")) << value;
    }
    // A broken section header ends the key it follows.
    EXPECT_FALSE(
        FindRegistryDword("[\\ControlPanel\\Notifications\\ShellOverrides]\n[broken\n"
                          "Mode=2\n",
                          kKey, u"Mode"));
    EXPECT_FALSE(FindRegistryDword(std::string("\0\0\xff[", 4), kKey, u"Mode"));
}

TEST(Registry, ReadsTheFileInTheDataFolder) {
    test::IsolatedFolders folders;
    EXPECT_FALSE(ReadRegistryDword(kKey, u"Mode")) << "no file";
    test::WriteFileBytes(RegistryFilePath(),
                         "[\\ControlPanel\\Notifications\\ShellOverrides]\nMode=2\n");
    EXPECT_EQ(RegistryFilePath(), folders.DataDir() + "registry.ini");
    EXPECT_EQ(ReadRegistryDword(kKey, u"Mode"), 2u);
}

}  // namespace
}  // namespace zul
