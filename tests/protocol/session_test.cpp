// The session engine over loopback: the sign-on sequence, the send path, the receive loop's
// idle work and the error policy.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/error.h"
#include "platform/tick.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ReceivedFrame;
using test::SessionHarness;

// A clock the tests move by hand: the real tick plus an offset, and sleeps that are recorded
// instead of slept (for the rate test) or shortened.
std::atomic<uint32_t> g_tickOffset{0};
std::atomic<uint32_t> g_slept{0};
uint32_t OffsetTick() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms) + g_tickOffset.load();
}
void RecordSleep(uint32_t ms) {
    g_slept += ms;
}

struct ClockGuard {
    ClockGuard() { g_tickOffset = 0; }
    ~ClockGuard() {
        SetTickSource(nullptr);
        SetSleepFunction(nullptr);
    }
};

std::vector<std::pair<uint16_t, uint16_t>> SnacsOf(const std::vector<ReceivedFrame>& frames) {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const auto& f : frames) {
        if (f.channel == 0x02) out.emplace_back(f.family(), f.subtype());
    }
    return out;
}

TEST(Session, SignOnSendsTheHandshakeInOrder) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(test::ScriptedServer::IsSnac(0x04, 0x10), 1));
    auto frames = h.ServiceServer().Frames(0);
    auto snacs = SnacsOf(frames);
    const std::vector<std::pair<uint16_t, uint16_t>> expected = {
        {0x01, 0x06}, {0x01, 0x08}, {0x02, 0x02}, {0x03, 0x02}, {0x04, 0x04}, {0x04, 0x02},
        {0x09, 0x02}, {0x13, 0x02}, {0x13, 0x04}, {0x13, 0x07}, {0x02, 0x04}, {0x01, 0x11},
        {0x13, 0x08}, {0x01, 0x1E}, {0x01, 0x02}, {0x15, 0x02},
    };
    ASSERT_GE(snacs.size(), expected.size());
    EXPECT_EQ(std::vector(snacs.begin(), snacs.begin() + expected.size()), expected);

    auto find = [&](uint16_t family, uint16_t subtype) {
        for (const auto& f : frames)
            if (f.IsSnac(family, subtype)) return f;
        return ReceivedFrame{};
    };
    // The acknowledgement names the three classes the server announced, by their ids.
    EXPECT_EQ(find(0x01, 0x08).snacData(), (Bytes{0, 1, 0, 2, 0, 3}));
    EXPECT_EQ(find(0x13, 0x02).snacData(), (Bytes{0x00, 0x0B, 0x00, 0x02, 0x0F, 0x00}));
    // Eleven client-ready entries of four words each.
    Bytes ready = find(0x01, 0x02).snacData();
    ASSERT_EQ(ready.size(), 88u);
    EXPECT_EQ(Bytes(ready.begin(), ready.begin() + 8),
              (Bytes{0x00, 0x22, 0x00, 0x01, 0x01, 0x10, 0x16, 0x4F}));
    // The offline-message request of an ICQ number is the meta request 0x3C; refused by this
    // server, it is followed by the AIM request, which carries a pending request id.
    EXPECT_EQ(test::MetaRequestType(find(0x15, 0x02)), 0x003C);
    ASSERT_TRUE(h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x10)));
    uint32_t offlineId =
        h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x10))->requestId();
    EXPECT_NE(offlineId & 0xFFFF, 0u);
    EXPECT_EQ(offlineId >> 16, 0u);
    // Sequence numbers run on across the connection without gaps.
    uint16_t seq = frames[0].sequence;
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].sequence, ++seq);
    EXPECT_EQ(h.Account().Status(), 0);
}

TEST(Session, UnrelatedFramesDuringSignOnAreKeptNotMisread) {
    test::HarnessOptions options;
    options.script = [](test::ScriptedServer&, test::ScriptedServer& service) {
        // A message of the day right after the family list, before the rate information.
        service.OnFrame(
            [](const ReceivedFrame& f) { return f.IsSnac(0x01, 0x06); },
            [](const ReceivedFrame&) {
                Bytes motd = {0x00, 0x04};
                return test::Reply({test::SnacFrame(0x01, 0x13, motd),
                                    test::SnacFrame(0x01, 0x07, test::StandardRateInfo())});
            },
            1);
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    // The rate information was read from its own reply, not from the message of the day.
    EXPECT_EQ(h.Account().Rates(Link::Service).Find(0x04, 0x06), std::optional<size_t>(1));
    EXPECT_EQ(h.Account().DeferredCount(), 0u);
}

TEST(Session, SequenceNumbersWrapAfter7FFFToZero) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    h.Account().SetSequence(Link::Service, 0x7FFE);
    for (int i = 0; i < 2; ++i) {
        COscarPacket idle = COscarPacket::Snac(0x01, 0x11);
        idle.AppendU32(0);
        h.Account().SendFrame(Link::Service, idle);
    }
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(test::ScriptedServer::IsSnac(0x01, 0x11), 3));
    std::vector<uint16_t> seqs;
    for (const auto& f : h.ServiceServer().Frames(0)) {
        if (f.IsSnac(0x01, 0x11)) seqs.push_back(f.sequence);
    }
    ASSERT_EQ(seqs.size(), 3u);
    EXPECT_EQ(seqs[1], 0x7FFF);
    EXPECT_EQ(seqs[2], 0x0000);
}

TEST(Session, RateClassDelaysASnacByTheLevelFormula) {
    ClockGuard clock;
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    SetTickSource(&OffsetTick);
    SetSleepFunction(&RecordSleep);
    RateClass cls;
    cls.windowSize = 80;
    cls.currentLevel = 5000;
    cls.clearLevel = 5200;
    cls.maxLevel = 6000;
    cls.lastSend = GetTick() - 1000;
    cls.members = {0x00040006};
    RateClass unrelated;
    unrelated.windowSize = 0;  // a window of 0 means no rate control
    unrelated.members = {0x00010011};
    h.Account().Rates(Link::Service).Assign({cls, unrelated});

    g_slept = 0;
    COscarPacket other = COscarPacket::Snac(0x01, 0x11);
    other.AppendU32(0);
    h.Account().SendFrame(Link::Service, other);
    EXPECT_EQ(g_slept.load(), 0u);

    // N = 5000 * 79 / 80 + 1000 / 80 = 4949, below the clear level: wait 920 ms.
    COscarPacket message = COscarPacket::Snac(0x04, 0x06);
    h.Account().SendFrame(Link::Service, message);
    EXPECT_EQ(g_slept.load(), 920u);
    auto stored = h.Account().Rates(Link::Service).At(0);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->currentLevel, 4949u);
}

TEST(Session, ALostConnectionEndsARateWaitAtOnce) {
    test::HarnessOptions options;
    options.reconnectOnError = false;
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    // The session's own last sign-on send (the offline request the AIM way, after the meta
    // request was refused) is out before the test holds the send lock.
    ASSERT_TRUE(h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x10)));
    // A class whose last send was long ago makes the next message wait the longest (30 s).
    RateClass cls;
    cls.windowSize = 80;
    cls.currentLevel = 5000;
    cls.clearLevel = 6000;
    cls.maxLevel = 7000;
    cls.lastSend = GetTick() - 40000;
    cls.members = {0x00040006};
    h.Account().Rates(Link::Service).Assign({cls});

    std::atomic<bool> done{false};
    std::thread sender([&] {
        COscarPacket message = COscarPacket::Snac(0x04, 0x06);
        try {
            h.Account().SendFrame(Link::Service, message);
        } catch (const CError&) {
            // the socket went while it waited
        }
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_FALSE(done.load()) << "the message did not wait";
    // The server goes: the session closes its sockets, and the waiting send gives up rather
    // than keep the send lock (and the session's shutdown) for the rest of its wait.
    h.ServiceServer().Close();
    const bool ended = SessionHarness::WaitUntil([&] { return done.load(); });
    sender.join();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return !h.Account().SessionRunning(); }));
}

TEST(Session, KeepAliveOnlyAfterThirtySecondsOfQuiet) {
    ClockGuard clock;
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    SetTickSource(&OffsetTick);
    auto keepAlives = [&] {
        return h.ServiceServer().CountFrames(test::ScriptedServer::IsChannel(0x05));
    };
    // Frames every half second keep the loop busy: no idle pass, no keep-alive.
    for (int i = 0; i < 6; ++i) {
        g_tickOffset += 10000;
        h.ServerSends(0x01, 0x0A, Bytes{0, 1, 0, 9});
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    EXPECT_EQ(keepAlives(), 0u);
    // Quiet: the next idle pass after 30 s sends one.
    g_tickOffset += 31000;
    EXPECT_TRUE(h.ServiceServer().WaitForFrameCount(test::ScriptedServer::IsChannel(0x05), 1,
                                                    std::chrono::seconds(5)));
}

struct DisconnectCase {
    std::optional<uint16_t> reason;
    std::u16string text;
};

TEST(Session, DisconnectFramesEndTheSessionWithTheirTextAndNoReconnect) {
    const DisconnectCase cases[] = {
        {1, u"You account being used on another computer."},
        {2, u"Unknown error (-12346)"},
        {std::nullopt, u"Unknown error (-12347)"},
    };
    for (const auto& c : cases) {
        SessionHarness h;
        ASSERT_TRUE(h.SignOn(0));
        h.ServiceServer().Send(test::Disconnect(c.reason));
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().StatusText() == c.text; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
        EXPECT_EQ(h.Account().Status(), -1);
    }
}

TEST(Session, ResetCountsDownAndReconnectsOnlyWhenAllowed) {
    {
        SessionHarness h;
        ASSERT_TRUE(h.SignOn(0));
        h.ServiceServer().Reset();
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return h.Account().StatusText() == u"Connection reset (10054). Waitng 3 s."; }));
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return h.Account().StatusText() == u"Connection reset (10054). Waitng 1 s."; }));
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 2);
    }
    {
        test::HarnessOptions options;
        options.reconnectOnError = false;
        SessionHarness h(options);
        ASSERT_TRUE(h.SignOn(0));
        h.ServiceServer().Reset();
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return h.Account().StatusText() == u"Connection reset (10054)"; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
        EXPECT_EQ(h.Account().Status(), -1);
    }
}

TEST(Session, LocalDisconnectShowsNothingAndFreesTheLocks) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    h.Account().Disconnect(true);
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_EQ(h.Account().StatusText(), u"Offline");
    EXPECT_FALSE(h.Account().SessionRunning());
    // The next sign-on works: nothing is left holding the send or sequence locks.
    ASSERT_TRUE(h.SignOn(0));
}

TEST(Session, InvisibleStatusAddsThePrivacyItemOnceThenUpdatesIt) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(60));
    h.Account().RequestStatus(0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
    std::vector<ReceivedFrame> items;
    for (const auto& f : h.ServiceServer().Frames(0)) {
        if (f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09)) items.push_back(f);
    }
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].subtype(), 0x08);
    EXPECT_EQ(items[0].snacData(),
              (Bytes{0, 0, 0, 0, 0x99, 0x99, 0, 4, 0, 5, 0x00, 0xCA, 0x00, 0x01, 3}));
    EXPECT_EQ(items[1].subtype(), 0x09);
    EXPECT_EQ(items[1].snacData(),
              (Bytes{0, 0, 0, 0, 0x99, 0x99, 0, 4, 0, 5, 0x00, 0xCA, 0x00, 0x01, 4}));
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// A rate information body with classes of `recordLength` bytes (30, or 35 with the last send
// time and a state byte) and one member list per class.
test::Bytes RateInfo(const std::vector<uint16_t>& ids, size_t recordLength) {
    test::ByteWriter w;
    w.U16(static_cast<uint16_t>(ids.size()));
    for (uint16_t id : ids) {
        w.U16(id).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(6000).U32(6000);
        if (recordLength == 35) w.U32(0x1234).U8(0);
    }
    for (uint16_t id : ids) w.U16(id).U16(1).U32(0x00040000u | id);
    return w.bytes;
}

TEST(RateClasses, ClassesAreKnownByTheirIdsWhateverTheRecordLength) {
    for (size_t length : {30u, 35u}) {
        SCOPED_TRACE(length);
        RateClassTable table;
        table.Assign(ParseRateInfo(RateInfo({1, 2, 3, 4, 5}, length)));
        EXPECT_EQ(table.Ids(), (std::vector<uint16_t>{1, 2, 3, 4, 5}));
        // Each class got its own members, and its levels were read at the right place.
        ASSERT_EQ(table.Find(0x04, 0x0003), std::optional<size_t>(2));
        EXPECT_EQ(table.At(2)->maxLevel, 6000u);
        EXPECT_EQ(table.At(4)->clearLevel, 2500u);
    }
    // One class with id 7: the table still has five positions, and only 7 is announced.
    RateClassTable single;
    single.Assign(ParseRateInfo(RateInfo({7}, 35)));
    EXPECT_EQ(single.Count(), 5u);
    EXPECT_EQ(single.Ids(), (std::vector<uint16_t>{7}));
    // A rate change names its class by id.
    test::ByteWriter change;
    change.U16(2).U16(7).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(4321);
    ApplyRateChange(single, change.bytes);
    EXPECT_EQ(single.At(0)->currentLevel, 4321u);
    change.bytes[3] = 1;  // class 1 was never announced: nothing changes
    ApplyRateChange(single, change.bytes);
    EXPECT_EQ(single.At(0)->currentLevel, 4321u);
}

TEST(RateClasses, TheAcknowledgementListsTheAnnouncedIds) {
    for (const std::vector<uint16_t>& ids :
         {std::vector<uint16_t>{1, 2, 3, 4, 5}, std::vector<uint16_t>{7}}) {
        test::HarnessOptions options;
        options.script = [ids](test::ScriptedServer&, test::ScriptedServer& service) {
            service.OnSnac(0x01, 0x06,
                           test::Reply({test::SnacFrame(0x01, 0x07, RateInfo(ids, 35))}));
        };
        SessionHarness h(options);
        ASSERT_TRUE(h.SignOn(0));
        auto ack = h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x01, 0x08));
        ASSERT_TRUE(ack);
        test::ByteWriter expected;
        for (uint16_t id : ids) expected.U16(id);
        EXPECT_EQ(ack->snacData(), expected.bytes);
    }
}

}  // namespace
}  // namespace zul
