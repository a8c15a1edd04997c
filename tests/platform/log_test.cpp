#include "platform/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "platform/error.h"
#include "platform/paths.h"
#include "support/test_env.h"

namespace zul {
namespace {

// Decodes a UTF-16LE file body (after the BOM) into ASCII for the time-stamp checks.
std::string Narrow(const std::string& bytes, size_t from) {
    std::string out;
    for (size_t i = from; i + 1 < bytes.size(); i += 2) out.push_back(bytes[i]);
    return out;
}

TEST(Log, DbLogIsUtf16WithBomSeparatorPerRunAndOneLinePerWrite) {
    test::IsolatedFolders folders;
    const std::string path = folders.ProgramDir() + "db.log";

    WriteLog(kDbLog, u"CContact::dbSave(): SQLITE_BUSY[5]: locked");
    std::string bytes = test::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::string text = Narrow(bytes, 2);
    std::regex firstRun(
        R"(^\d\d:\d\d:\d\d -{40}\n\d\d:\d\d:\d\d CContact::dbSave\(\): SQLITE_BUSY\[5\]: locked\n$)");
    EXPECT_TRUE(std::regex_match(text, firstRun)) << text;
    // Every character is two bytes, high byte zero for ASCII, and no carriage return.
    EXPECT_EQ(bytes.size() % 2, 0u);
    EXPECT_EQ(text.find('\r'), std::string::npos);

    WriteLog(kDbLog, u"");
    text = Narrow(test::ReadFileBytes(path), 2);
    EXPECT_TRUE(
        std::regex_match(text, std::regex(R"(^(\d\d:\d\d:\d\d [^\n]*\n){2}\d\d:\d\d:\d\d \n$)")))
        << text;

    // A new run starts with a separator again; the BOM is not repeated.
    ResetLogRun();
    WriteLogFormat(kDbLog, u"DISCONNECTED %d", 32);
    bytes = test::ReadFileBytes(path);
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos);
    text = Narrow(bytes, 2);
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(\n\d\d:\d\d:\d\d -{40}\n\d\d:\d\d:\d\d DISCONNECTED 32\n$)")))
        << text;
}

TEST(Log, GeneralLogAndErrorReportsWriteNothing) {
    test::IsolatedFolders folders;
    WriteLog(kGeneralLog, u"HandleIncoming_MainThread: Incoming from unknown channel 5");
    CError e(u"COscarPacket::Receive(head)", -99995);
    EXPECT_EQ(e.Code(), -99995);
    EXPECT_FALSE(FileExists(folders.ProgramDir() + "zul.log"));
    EXPECT_FALSE(FileExists(folders.ProgramDir() + "db.log"));
}

TEST(Log, FallsBackToDataFolderWhenProgramFolderIsReadOnly) {
    test::IsolatedFolders folders;
    if (geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
    chmod(folders.ProgramDir().c_str(), 0500);
    WriteLog(kDbLog, u"x");
    chmod(folders.ProgramDir().c_str(), 0700);
    EXPECT_TRUE(FileExists(folders.DataDir() + "db.log"));
}

}  // namespace
}  // namespace zul
