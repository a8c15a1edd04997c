// The session thread takes commands: a Disconnect returns at once whatever the session waits
// for, and the session thread then ends the session promptly; status changes and disconnects
// in quick succession never run two sessions side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/service_wire.h"
#include "protocol/transport/packet.h"
#include "storage/status.h"
#include "support/session_harness.h"
#include "support/signon_script.h"
#include "support/test_env.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ScriptedServer;
using test::SessionHarness;

// A rate class holding the sign-on's first rights request back for the longest wait.
test::Bytes StarvedRateInfo() {
    test::ByteWriter w;
    w.U16(1).U16(1).U32(80).U32(5000).U32(4000).U32(3000).U32(2000).U32(0).U32(6000);
    w.U16(1).U16(1).U32(0x00020002);
    return w.bytes;
}

TEST(SessionStop, DisconnectReturnsAtOnceWhateverTheSessionWaitsFor) {
    test::UnansweredPort unanswered;
    ASSERT_TRUE(unanswered.Holds()) << "no connect could be left unanswered";
    const uint16_t closedPort = ScriptedServer().Port();
    const struct {
        const char* waitsFor;
        uint16_t port;  // 0: the login server's
        bool starvedRates, silentLogin;
        std::function<bool(SessionHarness&)> waiting;
    } cases[] = {
        {"a connect nobody answers", unanswered.Port(), false, false,
         [&](SessionHarness& h) {
             return h.Account().StatusText().find(
                        u":" + Widen(std::to_string(unanswered.Port()))) != std::u16string::npos;
         }},
        {"the login server's answer", 0, false, true,
         [](SessionHarness& h) { return h.LoginServer().CountFrames(test::IsLoginRequest) > 0; }},
        {"a rate window", 0, true, false,
         [](SessionHarness& h) {
             return h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x01, 0x08)) > 0;
         }},
        {"the countdown before connecting again", closedPort, false, false,
         [](SessionHarness& h) {
             return h.Account().StatusText().find(u"Waitng") != std::u16string::npos;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waitsFor);
        test::HarnessOptions options;
        if (c.starvedRates) {
            options.script = [](ScriptedServer&, ScriptedServer& service) {
                service.OnSnac(0x01, 0x06, {{test::SnacFrame(0x01, 0x07, StarvedRateInfo())}});
            };
        }
        SessionHarness h(options);
        COscar& a = h.Account();
        if (c.port != 0) a.SetPort(Widen(std::to_string(c.port)));
        if (c.silentLogin) h.LoginServer().StopAnswering();
        a.RequestStatus(kStatusAvailable);
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return c.waiting(h); }))
            << ToUtf8(a.StatusText());

        const Clock::time_point asked = Clock::now();
        a.Disconnect(true);
        const Clock::duration returned = Clock::now() - asked;
        // What the window shows right after.
        EXPECT_EQ(a.Status(), kStatusOffline);
        EXPECT_EQ(a.StatusText(), u"Offline");
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return a.SessionIdle(); }, 5s));
        const Clock::duration ended = Clock::now() - asked;
        const auto ms = [](Clock::duration d) {
            return std::chrono::duration<double, std::milli>(d).count();
        };
        std::printf(
            "waiting for %s: Disconnect returned in %.2f ms, the session ended within "
            "%.1f ms (looked at every 10 ms)\n",
            c.waitsFor, ms(returned), ms(ended));
        // Bounds for slow machines; the numbers printed are what counts.
        EXPECT_LT(returned, 500ms);
        EXPECT_LT(ended, 2s);
        EXPECT_FALSE(a.SessionRunning());
        EXPECT_EQ(a.StatusText(), u"Offline");
        EXPECT_EQ(a.Socket(Link::Service), kInvalidSocket);
        EXPECT_EQ(test::RowInt(u"SELECT LastStatus FROM Accounts WHERE ID=77"), kStatusOffline);
    }
}

TEST(SessionStop, ASignOffFirstSendsWhatWasQueuedThenSaysGoodbye) {
    SessionHarness h;
    COscar& a = h.Account();
    // The edit's last frame joins the queue just before the user signs off: the session meets
    // both in one pass and must not leave the server with half an edit.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(h.SignOn(kStatusAvailable));
        const int connection = h.ServiceServer().ConnectionCount() - 1;
        COscarPacket end = COscarPacket::Snac(0x13, 0x12);
        a.SendFrame(Link::Service, end);
        a.Disconnect(false);
        ASSERT_TRUE(SessionHarness::WaitUntil([&] {
            for (const auto& f : h.ServiceServer().Frames(connection))
                if (f.channel == 0x04) return true;
            return false;
        }));
        const auto frames = h.ServiceServer().Frames(connection);
        const auto edit = std::find_if(frames.begin(), frames.end(),
                                       [](const auto& f) { return f.IsSnac(0x13, 0x12); });
        const auto goodbye = std::find_if(frames.begin(), frames.end(),
                                          [](const auto& f) { return f.channel == 0x04; });
        EXPECT_TRUE(edit != frames.end() && edit < goodbye);
    }
}

TEST(SessionStop, StatusChangesAndQuickDisconnectsRunOneSessionAtATime) {
    SessionHarness h;
    COscar& a = h.Account();
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    // A change while signed on reaches the server.
    const auto isStatus = ScriptedServer::IsSnac(0x01, 0x1E);
    const size_t before = h.ServiceServer().CountFrames(isStatus);
    a.RequestStatus(kStatusAway);
    EXPECT_TRUE(h.ServiceServer().WaitForFrameCount(isStatus, before + 1));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return a.Status() == kStatusAway; }));

    for (int i = 0; i < 2; ++i) {
        a.Disconnect(false);
        a.RequestStatus(kStatusAvailable);
    }
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return a.Status() == kStatusAvailable && h.ServiceServer().ConnectionCount() >= 2 &&
               a.DeferredCount() == 0;
    }));
    EXPECT_LE(h.LoginServer().MostOpenAtOnce(), 1);
    EXPECT_LE(h.ServiceServer().MostOpenAtOnce(), 1);
}

}  // namespace
}  // namespace zul
