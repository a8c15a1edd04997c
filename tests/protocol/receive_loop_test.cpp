// The receive loop against servers that are slow or unkind: a frame that arrives in pieces
// holds neither the profile nor the other connection, frames kept during one sign-on never
// reach the next, and a channel-1 message is found wherever its text item sits.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "platform/socket.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/frame_buffer.h"
#include "protocol/transport/packet.h"
#include "service_wire.h"
#include "storage/database.h"
#include "support/session_harness.h"
#include "support/signon_script.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::Reply;
using test::ScriptedServer;
using test::SessionHarness;

using test::LastMessageFrom;

// How long another writer waits for the profile's lock.
std::chrono::milliseconds TimeToLockProfile() {
    const auto start = std::chrono::steady_clock::now();
    {
        CTransaction transaction;
        transaction.Commit();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST(ReceiveLoop, AFrameHeldHalfSentLeavesTheProfileFreeAndArrivesWhole) {
    SessionHarness h;
    ASSERT_TRUE(h.SignOn(0));
    const Bytes body = test::Channel1Message("424242", 0, Bytes{'s', 'l', 'o', 'w'});
    const Bytes whole = test::EncodeFrame(0x02, 0x1234, [&] {
        ByteWriter snac;
        snac.U16(0x04).U16(0x07).U16(0).U32(0).Raw(body);
        return snac.bytes;
    }());
    // The header and part of the body now, the rest after three seconds.
    h.ServiceServer().SendRaw(std::span(whole).first(20));
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 5; ++i) {
        EXPECT_LT(TimeToLockProfile(), 200ms) << "the profile is locked across a network wait";
        std::this_thread::sleep_for(500ms);
    }
    // The session's own locks are free too: nothing waits for the rest under them.
    EXPECT_EQ(h.Account().HeldSessionLocks(), "");
    h.ServiceServer().SendRaw(std::span(whole).subspan(20));
    EXPECT_TRUE(SessionHarness::WaitUntil([] { return LastMessageFrom(u"424242") == u"slow"; }));
    EXPECT_EQ(h.Account().Status(), 0);
}

TEST(ReceiveLoop, FramesKeptByAFailedSignOnAreNotReplayedIntoTheNext) {
    test::HarnessOptions options;
    options.script = [](ScriptedServer&, ScriptedServer& service) {
        // The first attempt: 300 notices nobody asked for before the rate information, more
        // than a sign-on keeps; the attempt fails and the next one is a normal sign-on.
        service.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x01, 0x06); },
                        [](const ReceivedFrame&) {
                            std::vector<test::OutFrame> frames;
                            for (int i = 0; i < 300; ++i) {
                                frames.push_back(test::SnacFrame(0x01, 0x13, Bytes{0x00, 0x04}));
                            }
                            frames.push_back(test::SnacFrame(0x01, 0x07, test::StandardRateInfo()));
                            return Reply(frames);
                        },
                        1);
    };
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0, 20s));
    EXPECT_EQ(h.ServiceServer().ConnectionCount(), 2);
    EXPECT_EQ(h.Account().DeferredCount(), 0u);
}

TEST(ReceiveLoop, AnAccountWhoseContactsDidNotLoadDoesNotSignOn) {
    SessionHarness h;
    // The groups cannot be read: signing on would rebuild the list with new ids and orphan
    // the history, so the account says why and stays offline.
    {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command drop = Database().Prepare(u"DROP TABLE Groups");
        Database().Execute(drop);
    }
    h.Account().SetLoaded(false);
    h.Account().RequestStatus(0);
    EXPECT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText().find(u"could not be read") != std::u16string::npos &&
               !h.Account().SessionRunning();
    }));
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_EQ(h.LoginServer().ConnectionCount(), 0);
}

TEST(FrameBuffer, HandsOutWholeFramesAndReportsACloseOnlyAfterThem) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    FrameBuffer in;
    const Bytes one = test::EncodeFrame(0x02, 1, Bytes{0, 1, 0, 2, 0, 0, 0, 0, 0, 0});
    const Bytes two = test::EncodeFrame(0x04, 2, Bytes{0, 9, 0, 2, 0, 1});
    Bytes both = one;
    both.insert(both.end(), two.begin(), two.end());

    // Nothing waiting: no bytes, no frame, no failure.
    EXPECT_EQ(in.Fill(pair[0]), 0u);
    COscarPacket frame;
    EXPECT_FALSE(in.Next(frame));

    // A frame and a half, then the rest and the peer's close: both frames come out whole and
    // in order before the close is reported.
    ASSERT_EQ(write(pair[1], both.data(), one.size() + 3), static_cast<ssize_t>(one.size() + 3));
    in.Fill(pair[0]);
    ASSERT_TRUE(in.Next(frame));
    EXPECT_EQ(Bytes(frame.data, frame.data + frame.size), one);
    EXPECT_FALSE(in.Next(frame));
    ASSERT_EQ(write(pair[1], both.data() + one.size() + 3, two.size() - 3),
              static_cast<ssize_t>(two.size() - 3));
    close(pair[1]);
    in.Fill(pair[0]);
    in.Fill(pair[0]);  // the loop looks again when the socket reads as closed
    ASSERT_TRUE(in.Next(frame));
    EXPECT_EQ(frame.channel(), 0x04);
    EXPECT_EQ(Bytes(frame.data, frame.data + frame.size), two);
    try {
        in.Next(frame);
        ADD_FAILURE() << "the close was not reported";
    } catch (const CError& e) {
        EXPECT_EQ(e.Code(), errcode::kClosedInHeader);
    }
    close(pair[0]);
}

TEST(FrameBuffer, ACloseInsideABodyIsAnError) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    FrameBuffer in;
    const Bytes partial = {0x2A, 0x02, 0x00, 0x01, 0x00, 0x10, 0x00};
    ASSERT_EQ(write(pair[1], partial.data(), partial.size()), 7);
    close(pair[1]);
    in.Fill(pair[0]);
    in.Fill(pair[0]);
    COscarPacket frame;
    try {
        in.Next(frame);
        ADD_FAILURE() << "the cut body was not reported";
    } catch (const CError& e) {
        EXPECT_EQ(e.Code(), errcode::kClosedInBody);
    }
    close(pair[0]);
}

TEST(ReceiveLoop, AChannel1MessageIsFoundBehindOtherItems) {
    SessionHarness h;
    // TLV 0x000B (empty) and 0x0003 before the text item, as some servers send them.
    const Bytes body = test::MessageHead(1, "515151")
                           .Tlv(0x000B, Bytes{})
                           .Tlv(0x0003, Bytes{})
                           .Tlv(0x0002, test::TextFragments(0, Bytes{'h', 'i'}))
                           .bytes;
    COscarPacket frame = test::SnacPacket(0x04, 0x07, body);
    HandleMessageFamily(h.Account(), frame);
    EXPECT_EQ(LastMessageFrom(u"515151"), u"hi");
}

}  // namespace
}  // namespace zul
