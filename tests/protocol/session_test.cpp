// The session engine over loopback: the sign-on sequence, the send path, the receive loop's
// idle work and the error policy.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"
#include "service_wire.h"
#include "storage/database.h"
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
    g_tickOffset += ms;
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
    EXPECT_EQ(find(0x13, 0x02).snacData(), (Bytes{0x00, 0x0B, 0x00, 0x02, 0x00, 0x0F}));
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

TEST(Session, RateClassesPaceSendsByTheLevelFormula) {
    ClockGuard clock;
    SessionHarness h;
    SetTickSource(&OffsetTick);
    auto classOf = [](uint32_t current, uint32_t quietMs) {
        RateClass cls;
        cls.windowSize = 80;
        cls.currentLevel = current;
        cls.clearLevel = 5200;
        cls.maxLevel = 6000;
        cls.lastSend = GetTick() - quietMs;
        cls.members = {0x00040006};
        RateClass unrelated;
        unrelated.windowSize = 0;  // a window of 0 means no rate control
        unrelated.members = {0x00010011};
        return std::vector<RateClass>{cls, unrelated};
    };
    // A send as the queue makes it: it waits until it is due, then counts.
    auto send = [&](uint16_t family, uint16_t subtype) {
        const int64_t wait = h.Account().RateWaitMs(Link::Service, family, subtype);
        g_tickOffset += static_cast<uint32_t>(wait);
        h.Account().RecordRateSend(Link::Service, family, subtype);
        return wait;
    };

    h.Account().Rates(Link::Service).Assign(classOf(5000, 1000));
    EXPECT_EQ(send(0x01, 0x11), 0);
    // Sent now the level would be (79 * 5000 + 1000) / 80 = 4950, below the clear level: the
    // send waits until (79 * 5000 + t) / 80 reaches 5200, at t = 21,000 ms, 20 s from now.
    EXPECT_NEAR(send(0x04, 0x06), 20000, 50);
    auto stored = h.Account().Rates(Link::Service).At(0);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->currentLevel, 5200u);

    // After an hour of quiet the level starts from the class's maximum, not from an hour:
    // 6000, 5925, ... 5219 after twelve sends at once; the thirteenth waits.
    h.Account().Rates(Link::Service).Assign(classOf(5000, 3600000));
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(send(0x04, 0x06), 0) << "send " << i;
    EXPECT_GT(send(0x04, 0x06), 0);
}

// What a burst of frames makes the client send goes out after the burst's commit: a send that
// waits for its rate class never holds the profile, which the window may need meanwhile.
TEST(Session, ASendABurstCausesWaitsForItsRateOutsideTheProfileLock) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    // The client's versions (0x01,0x17), its answer to a family list, wait about 3 s:
    // (79 * 2494 + t) / 80 reaches the clear level 2500 at t = 3,000 ms.
    RateClass cls;
    cls.windowSize = 80;
    cls.currentLevel = 2494;
    cls.clearLevel = 2500;
    cls.maxLevel = 6000;
    cls.lastSend = GetTick();
    cls.members = {0x00010017};
    h.Account().Rates(Link::Service).Assign({cls});
    const size_t before = h.ServiceServer().CountFrames(test::ScriptedServer::IsSnac(0x01, 0x17));
    h.ServerSends(0x01, 0x03, Bytes{0x00, 0x01});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The answer is waiting for its rate...
    EXPECT_EQ(h.ServiceServer().CountFrames(test::ScriptedServer::IsSnac(0x01, 0x17)), before);
    // ...and the profile is free meanwhile.
    bool profileFree = false;
    for (int i = 0; i < 50 && !profileFree; ++i) {
        if (Database().Mutex().try_lock()) {
            Database().Mutex().unlock();
            profileFree = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(profileFree);
    EXPECT_TRUE(
        h.ServiceServer().WaitForFrameCount(test::ScriptedServer::IsSnac(0x01, 0x17), before + 1));
}

// A send that must wait for its rate window waits in the queue, not on a thread: the caller
// goes on at once, incoming frames are handled meanwhile, the frame goes out when due, and a
// lost connection ends the session at once with frames still queued.
TEST(Session, IncomingFramesAreHandledWhileASendWaitsForItsRateWindow) {
    test::HarnessOptions options;
    options.reconnectOnError = false;
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    ASSERT_TRUE(h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x10)));
    // (79 * 5000 + t) / 80 reaches 5020 at t = 6,600 ms: with 5 s gone, 1.6 s from now.
    RateClass cls;
    cls.windowSize = 80;
    cls.currentLevel = 5000;
    cls.clearLevel = 5020;
    cls.maxLevel = 7000;
    cls.lastSend = GetTick() - 5000;
    cls.members = {0x00040006};
    h.Account().Rates(Link::Service).Assign({cls});
    const auto isMessage = test::ScriptedServer::IsSnac(0x04, 0x06);
    const size_t before = h.ServiceServer().CountFrames(isMessage);

    const uint32_t start = GetTick();
    COscarPacket message = COscarPacket::Snac(0x04, 0x06);
    std::thread([&] { h.Account().SendFrame(Link::Service, message); }).join();
    EXPECT_LT(GetTick() - start, 500u) << "the caller waited for the rate window";
    EXPECT_EQ(h.Account().QueuedFrames(Link::Service), 1u);
    h.ServerSends(0x04, 0x07, test::Channel1Message("777", 0, test::Utf8("meanwhile")));
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [] { return test::LastMessageFrom(u"777") == u"meanwhile"; }, std::chrono::seconds(1)));
    EXPECT_EQ(h.ServiceServer().CountFrames(isMessage), before) << "sent before it was due";
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(isMessage, before + 1));
    EXPECT_GE(GetTick() - start, 1400u);

    // Queued again, the server goes: the session ends without waiting for the window.
    cls.lastSend = GetTick();
    cls.currentLevel = 5000;
    cls.clearLevel = 6000;
    h.Account().Rates(Link::Service).Assign({cls});
    for (int i = 0; i < 3; ++i) h.Account().SendFrame(Link::Service, message);
    h.ServiceServer().Close();
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return !h.Account().SessionRunning(); },
                                          std::chrono::seconds(3)));
    EXPECT_EQ(h.Account().QueuedFrames(Link::Service), 0u);
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

TEST(Session, ASignOffFromTheServerStopsOnlyWhenSignedOnElsewhere) {
    const struct {
        Bytes tlvs;  // of the channel-4 frame
        std::u16string text;
        bool reconnects;
    } cases[] = {
        {{0x00, 0x09, 0x00, 0x02, 0x00, 0x01},
         u"You account being used on another computer.",
         false},
        {{0x00, 0x09, 0x00, 0x01, 0x01}, u"You account being used on another computer.", false},
        // Any other reason, or none (a server going down for a restart): back soon.
        {{0x00, 0x09, 0x00, 0x02, 0x00, 0x02}, u"The server closed the connection (-12346)", true},
        {{}, u"The server closed the connection (-12347)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.text));
        SessionHarness h;
        ASSERT_TRUE(h.SignOn(0));
        h.ServiceServer().Send(test::OutFrame{0x04, c.tlvs, std::nullopt});
        const std::u16string shown = c.reconnects ? c.text + u". Waitng 3 s." : c.text;
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().StatusText() == shown; }));
        if (c.reconnects) {
            EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
            EXPECT_EQ(h.LoginServer().ConnectionCount(), 2);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
            EXPECT_EQ(h.Account().Status(), -1);
        }
    }
}

// A server that keeps one session per account signs the older place off without a reason.
// Coming back signs the other place off, which comes back in turn: the second such sign-off
// soon after a reconnection ends the turns here, saying why, until the user signs on again.
TEST(Session, PlacesTakingTurnsStopAfterOneRoundAndSignOnHereClearsIt) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    h.ServiceServer().Send(test::OutFrame{0x04, {}, std::nullopt});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.LoginServer().ConnectionCount() == 2; }));
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().Status() == 0 && h.Account().DeferredCount() == 0; }));
    EXPECT_FALSE(h.Account().SignedOnElsewhere());

    h.ServiceServer().Send(test::OutFrame{0x04, {}, std::nullopt});
    EXPECT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText() == u"You account being used on another computer.";
    }));
    EXPECT_TRUE(h.Account().SignedOnElsewhere());
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(h.LoginServer().ConnectionCount(), 2);
    EXPECT_EQ(h.Account().Status(), -1);

    h.Account().RequestStatus(0);
    EXPECT_FALSE(h.Account().SignedOnElsewhere());
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
    EXPECT_EQ(h.LoginServer().ConnectionCount(), 3);
}

TEST(Session, ReconnectsBackOffFromThreeSecondsToFiveMinutesWithJitter) {
    SessionHarness h;
    const std::pair<int64_t, int64_t> expected[] = {
        {3000, 3600},    {6000, 7200},     {12000, 14400},   {24000, 28800},  {48000, 57600},
        {96000, 115200}, {192000, 230400}, {300000, 360000}, {300000, 360000}};
    for (const auto& [low, high] : expected) {
        const int64_t delay = h.Account().NextReconnectDelayMs();
        EXPECT_TRUE(delay >= low && delay <= high) << delay << " not in " << low << ".." << high;
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
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().SessionIdle(); }));
    EXPECT_FALSE(h.Account().SessionRunning());
    EXPECT_EQ(h.Account().StatusText(), u"Offline");
    // The next sign-on works: nothing is left holding the send or sequence locks.
    ASSERT_TRUE(h.SignOn(0));
}

TEST(Session, InvisibleStatusAddsThePrivacyItemOnceThenUpdatesIt) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(60));
    h.Account().RequestStatus(0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
    // The account shows the status once its frames are queued; they reach the server after.
    const auto isItem = [](const ReceivedFrame& f) {
        return f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09);
    };
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(isItem, 2));
    std::vector<ReceivedFrame> items;
    for (const auto& f : h.ServiceServer().Frames(0)) {
        if (isItem(f)) items.push_back(f);
    }
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].subtype(), 0x08);
    EXPECT_EQ(items[0].snacData(),
              (Bytes{0, 0, 0, 0, 0x99, 0x99, 0, 4, 0, 5, 0x00, 0xCA, 0x00, 0x01, 3}));
    EXPECT_EQ(items[1].subtype(), 0x09);
    EXPECT_EQ(items[1].snacData(),
              (Bytes{0, 0, 0, 0, 0x99, 0x99, 0, 4, 0, 5, 0x00, 0xCA, 0x00, 0x01, 4}));
}

// The server's permit/deny item (mode 5, "the contact list", and a TLV of another client's)
// is kept: a sign-on leaves it alone, invisibility writes mode 3 with the other TLV, coming
// back writes mode 5 again, and the user's choice is written once and remembered.
TEST(Session, ThePrivacyItemKeepsTheServersModeAndTlvsAndChangesOnlyWhatTheUserChanges) {
    test::HarnessOptions options;
    test::ByteWriter item;
    item.Tlv(0x00CA, Bytes{0x05}).TlvU32(0x00CB, 0xFFFFFFFF);
    options.serverList = test::ServerListBody({{"", 0, 0x0042, 4, item.bytes}});
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    auto items = [&] {
        std::vector<Bytes> written;
        for (const auto& f : h.ServiceServer().Frames(0)) {
            if (f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09)) written.push_back(f.snacData());
        }
        return written;
    };
    auto itemWith = [](uint8_t mode) {
        return Bytes{0,    0, 0,    0,    0x00, 0x42, 0,    4,    0,    13,   0x00, 0xCA,
                     0x00, 1, mode, 0x00, 0xCB, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
    };
    EXPECT_TRUE(items().empty());

    h.Account().RequestStatus(60);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 60; }));
    h.Account().RequestStatus(0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().Status() == 0; }));
    h.Account().ChangePrivacyMode(2);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return items().size() == 3; }));
    EXPECT_EQ(items(), (std::vector<Bytes>{itemWith(3), itemWith(5), itemWith(2)}));
    EXPECT_EQ(test::RowInt(u"SELECT Mode FROM AccountPrivacy WHERE AccID=77"), 2);
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
    // A rate change (here a warning) names its class by id and brings all its levels.
    test::ByteWriter change;
    change.U16(2).U16(7).U32(40).U32(2600).U32(2000).U32(1500).U32(800).U32(4321).U32(7000);
    ApplyRateChange(single, change.bytes);
    EXPECT_EQ(single.At(0)->currentLevel, 4321u);
    EXPECT_EQ(std::tie(single.At(0)->windowSize, single.At(0)->clearLevel, single.At(0)->maxLevel),
              std::make_tuple(40u, 2600u, 7000u));
    change.bytes[3] = 1;  // class 1 was never announced: nothing changes
    ApplyRateChange(single, change.bytes);
    EXPECT_EQ(single.At(0)->currentLevel, 4321u);
}

// A server with one rate state per account announces the same classes on the picture link:
// its sends then count against the service link's classes; other classes stay apart.
TEST(RateClasses, ThePictureLinkSharesTheServiceClassesWhenTheServerAnnouncesTheSame) {
    SessionHarness h;
    COscar& session = h.Account();
    AssignRateClasses(session.Rates(Link::Service), RateInfo({1, 2, 3, 4, 5}, 30));
    AssignAvatarRateClasses(session, RateInfo({1, 2, 3, 4, 5}, 30));
    EXPECT_EQ(&session.Rates(Link::Avatar), &session.Rates(Link::Service));
    AssignAvatarRateClasses(session, RateInfo({1, 2}, 30));
    EXPECT_NE(&session.Rates(Link::Avatar), &session.Rates(Link::Service));
    EXPECT_EQ(session.Rates(Link::Avatar).Ids(), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(session.Rates(Link::Service).Ids(), (std::vector<uint16_t>{1, 2, 3, 4, 5}));
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
