// The traffic counters of a session are written once per burst and once per sign-on, and the
// stored row still holds exactly what the account counted.
#include <gtest/gtest.h>

#include "protocol/service_wire.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::SessionHarness;

// The stored counters equal the account's, read while no burst is open.
bool CountersStored(COscar& account) {
    std::lock_guard lock(Database().Mutex());
    return test::RowInt(u"SELECT BytesIn FROM Accounts WHERE ID=77") ==
               static_cast<int32_t>(account.BytesIn()) &&
           test::RowInt(u"SELECT BytesOut FROM Accounts WHERE ID=77") ==
               static_cast<int32_t>(account.BytesOut());
}

TEST(BurstCounters, TheRowHoldsTheCountedBytesAfterSignOnAndAfterABurst) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return CountersStored(h.Account()); }));
    EXPECT_GT(h.Account().BytesIn(), 0u);

    // A burst of typing notices, sent as one stream so that they arrive together.
    test::Bytes stream;
    for (int i = 0; i < 200; ++i) {
        test::ByteWriter body;
        body.U32(0).U32(0).U16(1).U8(5).Raw("20001").U16(2);
        test::OutFrame frame = test::SnacFrame(0x04, 0x14, body.bytes);
        test::Bytes one = test::EncodeFrame(0x02, static_cast<uint16_t>(100 + i), frame.data);
        stream.insert(stream.end(), one.begin(), one.end());
    }
    const uint32_t before = h.Account().BytesIn();
    h.ServiceServer().SendRaw(stream);
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return h.Account().BytesIn() == before + stream.size(); }));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return CountersStored(h.Account()); }));
}

// The sign-on's own row (the status it reached) waits for the session's first burst to share
// its commit; a line that stays quiet has it written all the same.
TEST(BurstCounters, TheStatusOfASignOnReachesTheRowWithoutABurst) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(kStatusAway));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] {
        std::lock_guard lock(Database().Mutex());
        return test::RowInt(u"SELECT LastStatus FROM Accounts WHERE ID=77") == kStatusAway;
    }));
}

}  // namespace
}  // namespace zul
