// A server list of thousands of items at sign-on, over loopback into a real profile: what it
// asks of the profile does not grow with its length (beyond a row written per new contact),
// and a Disconnect in the middle of its import ends the session promptly.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ScriptedServer;
using test::SessionHarness;

// The replies of a list of one group and `buddies` nicknamed buddies, 1,000 items a reply,
// "more follows" on all but the last.
std::vector<test::OutFrame> ListReplies(int buddies) {
    std::vector<std::vector<test::ListItem>> replies(1, {{"Friends", 1, 0, 1, {}}});
    for (int i = 0; i < buddies; ++i) {
        if (replies.back().size() == 1000) replies.emplace_back();
        test::ListItem item{std::to_string(1000000 + i), 1, static_cast<uint16_t>(1 + i), 0, {}};
        item.tlvs = test::ByteWriter().Tlv(0x0131, "Nick " + std::to_string(i)).bytes;
        replies.back().push_back(std::move(item));
    }
    std::vector<test::OutFrame> frames;
    for (size_t r = 0; r < replies.size(); ++r) {
        const uint16_t more = r + 1 < replies.size() ? 0x0001 : 0x0000;
        frames.push_back(test::SnacFrame(0x13, 0x06, test::ServerListBody(replies[r]), 0, more));
    }
    return frames;
}

test::HarnessOptions WithList(int buddies) {
    test::HarnessOptions options;
    options.script = [buddies](ScriptedServer&, ScriptedServer& service) {
        service.OnSnac(0x13, 0x04, test::Reply(ListReplies(buddies)));
    };
    return options;
}

// The statements the profile runs, by their first word (trigger programs aside).
struct Statements {
    std::atomic<int> reads{0}, writes{0}, transactions{0};

    static int Count(unsigned, void* context, void* statement, void*) {
        auto& self = *static_cast<Statements*>(context);
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        if (sql == nullptr || std::strncmp(sql, "--", 2) == 0) return 0;
        const auto starts = [sql](const char* word) {
            return strncasecmp(sql, word, std::strlen(word)) == 0;
        };
        if (starts("SELECT")) {
            ++self.reads;
        } else if (starts("BEGIN")) {
            ++self.transactions;
        } else if (!starts("COMMIT") && !starts("ROLLBACK") && !starts("PRAGMA")) {
            ++self.writes;
        }
        return 0;
    }
};

bool AllPendingLoaded(SessionHarness& h) {
    for (const ContactPtr& c : h.Contacts().ContactsOf(&h.Account()))
        if (!c->History().PendingLoaded() && !c->History().MessagesLoaded()) return false;
    return true;
}

TEST(LargeList, TheStatementsOfASignOnDoNotGrowWithTheList) {
    struct Run {
        int buddies;
        int reads = 0, writes = 0, transactions = 0;
    } runs[] = {{100}, {5000}};
    for (Run& run : runs) {
        SessionHarness h(WithList(run.buddies));
        Statements counted;
        sqlite3* connection = Database().Connection().Handle();
        sqlite3_trace_v2(connection, SQLITE_TRACE_STMT, &Statements::Count, &counted);
        // Signed on, every contact stored, and the outbox has looked at each of them.
        const bool done =
            h.SignOn(kStatusAvailable, 60s) && SessionHarness::WaitUntil([&] {
                return h.Contacts().CountContacts(&h.Account(), nullptr) == run.buddies &&
                       AllPendingLoaded(h);
            });
        ASSERT_TRUE(done) << run.buddies;
        run.reads = counted.reads;
        run.writes = counted.writes;
        run.transactions = counted.transactions;
        // The contact list's sort asks every contact for its counts on the window thread:
        // the new contacts know theirs.
        for (const ContactPtr& c : h.Contacts().ContactsOf(&h.Account()))
            EXPECT_EQ(c->History().MessageCount() + c->History().EventCount(), 0);
        sqlite3_trace_v2(connection, 0, nullptr, nullptr);
        EXPECT_EQ(counted.reads, run.reads) << "the counts were asked of the profile";
        std::printf("%d buddies: %d reads, %d writes, %d transactions\n", run.buddies, run.reads,
                    run.writes, run.transactions);
    }
    const Run& small = runs[0];
    const Run& large = runs[1];
    // The idle passes may run a few more times for the longer list.
    EXPECT_LE(large.reads, small.reads + 4);
    // A row for each new contact, the rest the same.
    EXPECT_LE(large.writes - large.buddies, small.writes - small.buddies + 4);
    // A transaction a reply, not one a contact.
    EXPECT_LE(large.transactions, small.transactions + 5 + 4);
}

TEST(LargeList, ADisconnectDuringTheImportEndsTheSessionPromptly) {
    constexpr int kBuddies = 60000;
    SessionHarness h(WithList(kBuddies));
    COscar& a = h.Account();
    a.RequestStatus(kStatusAvailable);
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Contacts().CountContacts(&a, nullptr) >= 3000; }, 60s));

    const Clock::time_point asked = Clock::now();
    a.Disconnect(true);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return a.SessionIdle(); }, 10s));
    const Clock::duration ended = Clock::now() - asked;
    const int imported = h.Contacts().CountContacts(&a, nullptr);
    std::printf("Disconnect with %d of %d buddies imported: the session ended within %.1f ms\n",
                imported, kBuddies, std::chrono::duration<double, std::milli>(ended).count());
    // A bound for slow machines; the number printed is what counts.
    EXPECT_LT(ended, 2s);
    EXPECT_FALSE(a.SessionRunning());
    EXPECT_EQ(a.Status(), kStatusOffline);
    // What was imported is in the profile.
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts WHERE AccID=77"), imported);
}

}  // namespace
}  // namespace zul
