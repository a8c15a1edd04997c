// The local demo server with the real client, as ./run.sh starts them: the demo profile is
// written by the server's own tool mode, the client signs on by itself, and what the demo
// world does ends up in the profile.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "e2e/child_process.h"
#include "e2e/profile_file.h"
#include "storage/database.h"
#include "support/test_env.h"

namespace zul::test {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

// The port from the server's "listening on 127.0.0.1:<port>" line; 0 until it is printed.
int ListeningPort(const std::string& output) {
    const std::string marker = "listening on 127.0.0.1:";
    const size_t at = output.find(marker);
    return at == std::string::npos ? 0 : std::atoi(output.c_str() + at + marker.size());
}

TEST(DemoServer, TheClientSignsOnToItAndReceivesItsWorld) {
    IsolatedFolders folders;
    const std::string dir = folders.DataDir();
    ChildProcess server({ZUL_DEMO_SERVER_BINARY, "--port", "0", "--seed", "1"}, {},
                        dir + "demo-server.txt");
    ASSERT_TRUE(server.Started());
    int port = 0;
    ASSERT_TRUE(WaitUntil([&] { return (port = ListeningPort(server.Output())) != 0; }, 20s))
        << server.Output();

    ChildProcess writer(
        {ZUL_DEMO_SERVER_BINARY, "--create-profile", dir, "--port", std::to_string(port)}, {},
        dir + "create-profile.txt");
    ASSERT_TRUE(ExitedCleanly(writer.WaitForExit(20s))) << writer.Output();

    // One message waits in the outbox for Alice, whose row the server list then takes over.
    ProfileSetup outbox;
    outbox.writeAccount = false;
    outbox.account.id = 1;
    outbox.contacts = {{9001, 0, 0, u"100101", u"Alice"}};
    outbox.outbox = {{9001, 1, u"Hello, demo!"}};
    ASSERT_TRUE(WriteProfile(dir + "zul.profile", outbox));

    ChildProcess client = ChildProcess::Client(dir);
    ASSERT_TRUE(client.Started());
    const ProfileReader profile(dir + "zul.profile");
    auto has = [&](const std::string& sql, int64_t value, std::chrono::seconds wait = 60s) {
        return WaitUntil([&] { return !client.Running() || profile.Int(sql) == value; }, wait) &&
               profile.Int(sql) == value;
    };
    if (!WaitUntil(
            [&] {
                return !client.Running() || server.Output().find("signed on") != std::string::npos;
            },
            60s) &&
        !client.Running() && client.Output().find("not built yet") != std::string::npos) {
        GTEST_SKIP() << "this build of zul has no window to run";
    }

    EXPECT_TRUE(has("SELECT COUNT(*) FROM Contacts WHERE AccID=1 AND OnServer=1", 10));
    EXPECT_TRUE(has("SELECT COUNT(*) FROM Groups WHERE AccID=1", 3));
    EXPECT_TRUE(has(
        "SELECT COUNT(*) FROM Accounts WHERE ID=1 AND LastStatus=0 AND OwnerNick='Demo User'", 1));
    EXPECT_EQ(profile.Text("SELECT Nickname FROM Contacts WHERE Login='100101'"), "Alice Moreau");
    // The offline message, unread.
    EXPECT_TRUE(
        has("SELECT COUNT(*) FROM History h JOIN Contacts c ON c.LocalID=h.ContactID "
            "WHERE c.Login='100102' AND h.Direction=0 AND h.Unread=1 "
            "AND h.Message LIKE 'Call me%'",
            1));
    // The message round trip: sent, acknowledged, echoed.
    EXPECT_TRUE(has("SELECT Delivered FROM History WHERE ContactID=9001 AND Number=1", 1));
    EXPECT_TRUE(
        has("SELECT COUNT(*) FROM History WHERE ContactID=9001 AND Direction=0 "
            "AND Message='You said: \"Hello, demo!\"'",
            1));
    // A picture, fetched from the avatar server.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return profile.Text(
                       "SELECT hex(substr(Avatar,1,8)) FROM Contacts WHERE Login='100101'") ==
                   "89504E470D0A1A0A";
        },
        60s));
    // The authorisation request, from someone who is not in the list yet.
    EXPECT_TRUE(
        has("SELECT COUNT(*) FROM History h JOIN Contacts c ON c.LocalID=h.ContactID "
            "WHERE c.Login='100999' AND h.Message LIKE 'Asks for your authorisation.%'",
            1));

    EXPECT_TRUE(ExitedCleanly(client.Stop(30s))) << client.Output();
    EXPECT_TRUE(ExitedCleanly(server.Stop(20s))) << server.Output();
    EXPECT_NE(server.Output().find("demo server stopped"), std::string::npos) << server.Output();
    if (HasFailure())
        std::cerr << "--- server ---\n" << server.Output() << "--- client ---\n" << client.Output();
}

// ./run.sh writes the demo profile at every start: a second run points the account at the new
// port and signs it on again, and keeps what the profile gathered.
TEST(DemoServer, RewritingTheDemoProfileKeepsItsHistory) {
    IsolatedFolders folders;
    const std::string dir = folders.DataDir();
    auto create = [&](const std::string& port) {
        ChildProcess writer({ZUL_DEMO_SERVER_BINARY, "--create-profile", dir, "--port", port}, {},
                            dir + "create-profile.txt");
        return ExitedCleanly(writer.WaitForExit(20s));
    };
    ASSERT_TRUE(create("51901"));
    const ProfileReader profile(dir + "zul.profile");
    EXPECT_EQ(profile.Text("SELECT Port FROM Accounts WHERE ID=1"), "51901");
    EXPECT_EQ(profile.Int("SELECT LastStatus FROM Accounts WHERE ID=1"), 0);
    EXPECT_EQ(profile.Int("SELECT Value FROM Options WHERE ID=3"), 1);  // restore last statuses

    // The user went offline and chatted in the first run.
    ProfileSetup chat;
    chat.writeAccount = false;
    chat.account.id = 1;
    chat.contacts = {{9001, 0, 0, u"100101", u"Alice"}};
    chat.outbox = {{9001, 1, u"kept"}};
    ASSERT_TRUE(WriteProfile(dir + "zul.profile", chat));
    {
        std::lock_guard lock(Database().Mutex());
        ASSERT_TRUE(Database().OpenAt(dir + "zul.profile"));
        CppSQLite3Command offline =
            Database().Prepare(u"UPDATE Accounts SET LastStatus=-1, BytesIn=777 WHERE ID=1");
        Database().Execute(offline);
        Database().Close();
    }

    ASSERT_TRUE(create("51902"));
    EXPECT_EQ(profile.Text("SELECT Port FROM Accounts WHERE ID=1"), "51902");
    EXPECT_EQ(profile.Int("SELECT LastStatus FROM Accounts WHERE ID=1"), 0);
    EXPECT_EQ(profile.Int("SELECT BytesIn FROM Accounts WHERE ID=1"), 777);
    EXPECT_EQ(profile.Int("SELECT COUNT(*) FROM Accounts"), 1);
    EXPECT_EQ(profile.Text("SELECT Message FROM History WHERE ContactID=9001"), "kept");
}

}  // namespace
}  // namespace zul::test
