// Bounds that keep a hostile server or file from growing the client without end or steering
// its formatting.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "protocol/transport/session_tables.h"

namespace zul {
namespace {

// A server that never answers (the avatar service is asked again on every idle pass) cannot
// exhaust the 16-bit request ids: the oldest requests are given up, and adding stays quick.
TEST(HostileInput, UnansweredRequestsAreBounded) {
    PendingRequests pending;
    const uint16_t first = pending.Add(0x0010);
    uint16_t last = 0;
    for (size_t i = 0; i < PendingRequests::kMaxCount + 100; ++i)
        last = pending.Add(0x0010, u"67890");
    EXPECT_EQ(pending.Count(), PendingRequests::kMaxCount);
    ASSERT_TRUE(pending.Find(last).has_value());
    EXPECT_EQ(pending.Find(last)->text, u"67890");
    // The first one went long ago (its id may have been drawn again for a newer request).
    const auto found = pending.Find(first);
    EXPECT_TRUE(!found || found->text == u"67890");
}

// Texts of the string table can come from a language module file: only the one integer
// placeholder is filled, everything else stays text.
TEST(HostileInput, FormatsFillOnlyTheirIntegerPlaceholder) {
    EXPECT_EQ(FormatInt(u"%s %n %p %d %d %x", 5), u"%s %n %p 5 %d %x");
    // The width is bounded: a longer one is no placeholder at all.
    EXPECT_EQ(FormatInt(u"%0639d", 7).size(), 639u);
    EXPECT_EQ(FormatInt(u"%999999999d", 7), u"%999999999d");
    EXPECT_EQ(FormatInt(u"100%", 1), u"100%");
}

}  // namespace
}  // namespace zul
