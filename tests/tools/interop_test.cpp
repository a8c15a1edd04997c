// The interop driver's command line and its wire tap: frames cut from byte streams however
// the socket calls split them, the facts read from them, and a trace that never holds a
// password proof.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "tools/interop/arguments.h"
#include "tools/interop/wire_tap.h"

namespace zul::interop {
namespace {

using Bytes = std::vector<uint8_t>;

std::optional<Arguments> Parse(std::initializer_list<const char*> args, std::string& error) {
    std::vector<const char*> argv = {"zul-interop"};
    argv.insert(argv.end(), args);
    return ParseArguments(static_cast<int>(argv.size()), argv.data(), error);
}

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

Bytes Frame(uint8_t channel, const Bytes& data) {
    Bytes frame = {0x2A, channel, 0x00, 0x01};
    Put16(frame, static_cast<uint16_t>(data.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

Bytes Snac(uint16_t family, uint16_t subtype, const Bytes& body, uint16_t flags = 0) {
    Bytes data;
    Put16(data, family);
    Put16(data, subtype);
    Put16(data, flags);
    data.insert(data.end(), {0x00, 0x00, 0x00, 0x07});
    data.insert(data.end(), body.begin(), body.end());
    return Frame(2, data);
}

// A presence notice whose session data holds one item of type 1 with the given bytes.
Bytes Presence(const std::string& who, const Bytes& item) {
    Bytes body = {static_cast<uint8_t>(who.size())};
    body.insert(body.end(), who.begin(), who.end());
    body.insert(body.end(), {0x00, 0x00, 0x00, 0x01, 0x00, 0x1D});
    Put16(body, static_cast<uint16_t>(item.size() + 4));
    body.insert(body.end(), {0x00, 0x01, 0x01, static_cast<uint8_t>(item.size())});
    body.insert(body.end(), item.begin(), item.end());
    return Snac(0x03, 0x0B, body);
}

void Feed(WireTap& tap, int socket, bool incoming, const Bytes& bytes) {
    tap.Feed(socket, incoming, bytes.data(), bytes.size());
}

TEST(InteropArguments, ReadsServerAndAccountsAndRefusesWhatDoesNotFit) {
    std::string error;
    auto args =
        Parse({"--tls", "localhost:5190", "ZulAlice:pa:ss", "--md5", "100002:secret1"}, error);
    ASSERT_TRUE(args) << error;
    EXPECT_EQ(args->host, "localhost");
    EXPECT_EQ(args->port, "5190");
    EXPECT_EQ(args->a.login, "ZulAlice");
    EXPECT_EQ(args->a.password, "pa:ss");  // a password may hold colons
    EXPECT_EQ(args->b.login, "100002");
    EXPECT_TRUE(args->md5);
    EXPECT_TRUE(args->tls);
    args = Parse({"::1:5190", "a:b", "c:d"}, error);
    ASSERT_TRUE(args);
    EXPECT_EQ(args->host, "::1");
    EXPECT_FALSE(args->md5);
    EXPECT_FALSE(args->tls);

    for (auto bad : {std::initializer_list<const char*>{"host", "a:b", "c:d"},
                     {"host:51x0", "a:b", "c:d"},
                     {"host:5190", "a:b"},
                     {"host:5190", "a:b", "nopassword"},
                     {"host:5190", "a:b", "c:"},
                     {"host:5190", "a:b", "c:d", "--verbose"}}) {
        error.clear();
        EXPECT_FALSE(Parse(bad, error));
        EXPECT_FALSE(error.empty());
    }
    // The error never repeats a password.
    Parse({"host:5190", "a:hunter2", "c"}, error);
    EXPECT_EQ(error.find("hunter2"), std::string::npos);
}

TEST(InteropWireTap, CutsFramesHoweverTheBytesArriveAndReadsTheirFacts) {
    WireTap tap;
    tap.Attach(7, 1, "service");
    Bytes stream = Snac(0x04, 0x01, {0x00, 0x04});
    const Bytes flagged = Snac(0x13, 0x01, {0x00, 0x02, 0xAA, 0xBB, 0x00, 0x0E}, 0x8000);
    stream.insert(stream.end(), flagged.begin(), flagged.end());
    const Bytes refused = Frame(4, {0x00, 0x08, 0x00, 0x02, 0x00, 0x05});
    stream.insert(stream.end(), refused.begin(), refused.end());
    for (uint8_t byte : stream) Feed(tap, 7, true, {byte});  // one byte per receive
    // An outgoing message and an incoming one, both in a single chunk.
    Bytes both = Snac(0x04, 0x06, {1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 3, 'b', 'o', 'b'});
    const Bytes in = Snac(0x04, 0x07, {1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 3, 'e', 'v', 'e'});
    Feed(tap, 7, false, both);
    Feed(tap, 7, true, in);
    Feed(tap, 8, true, in);  // a socket of no account

    const std::vector<FrameRecord> records = tap.Since(0, 1);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].error, 0x0004);
    EXPECT_EQ(records[1].error, 0x000E);  // read after the leading block
    EXPECT_EQ(records[2].error, 0x0005);
    EXPECT_EQ(records[3].who, "bob");
    EXPECT_EQ(records[4].who, "eve");
    EXPECT_EQ(records[4].requestId, 7u);
    EXPECT_EQ(Summarize(records),
              "<04/01(err 0x0004) <13/01(err 0x000e) <ch4(err 0x0005) >04/06 <04/07");
    EXPECT_EQ(Summarize(records, Families({0x04})), "<04/01(err 0x0004) >04/06 <04/07");
    EXPECT_EQ(Summarize(records, Families({0x10})), "none");
    EXPECT_TRUE(tap.Since(0, 2).empty());
    EXPECT_EQ(tap.Since(tap.Mark() - 1, 1).size(), 1u);
}

TEST(InteropWireTap, AReconnectedSocketStartsWithoutTheOldPartialFrame) {
    WireTap tap;
    tap.SetOwnerLookup([](int socket, std::string& link) {
        link = "avatar";
        return socket == 9 ? 2 : 0;
    });
    tap.Connected(9);
    const Bytes cut = Snac(0x01, 0x07, Bytes(10, 0x00));
    Feed(tap, 9, true, Bytes(cut.begin(), cut.begin() + 10));  // the connection dropped here
    tap.Connected(9);
    const Bytes frame = Snac(0x10, 0x07, {});
    Feed(tap, 9, true, frame);
    // Bytes that do not start a frame: the stream is given up rather than misread.
    Feed(tap, 9, true, {0x00, 0x01});
    Feed(tap, 9, true, frame);
    const std::vector<FrameRecord> records = tap.Since(0, 2);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].link, "avatar");
    EXPECT_EQ(records[0].family, 0x10);
}

TEST(InteropWireTap, NoticesIconHashesButNotTheNoPictureMarker) {
    WireTap tap;
    tap.Attach(3, 1, "service");
    const Bytes hash = {0xE8, 0x00, 0x9F, 0xC7, 0xFA, 0xF0, 0xA6, 0x39,
                        0x8F, 0xE9, 0x3E, 0x91, 0x32, 0x2C, 0xE4, 0x33};
    const Bytes blank = {0xB4, 0x32, 0x5C, 0x25, 0x34, 0x3D, 0x41, 0x13,
                         0x72, 0x90, 0x9D, 0xC0, 0x00, 0x00, 0x00, 0x00};
    Feed(tap, 3, true, Presence("ZulBob", hash));
    Feed(tap, 3, true, Presence("100001", blank));
    EXPECT_TRUE(tap.IconAnnounced("zul bob"));
    EXPECT_FALSE(tap.IconAnnounced("100001"));
    EXPECT_EQ(tap.Since(0, 1)[1].who, "100001");
    EXPECT_EQ(FoldScreenName("Zul Alice"), "zulalice");
}

TEST(InteropWireTap, TraceLeavesOutTheBytesOfSignOnFrames) {
    test::TempFolder folder;
    {
        WireTap tap;
        tap.SetTraceFile(1, folder.File("wire-a.log"));
        tap.Attach(4, 1, "service");
        Feed(tap, 4, false, Frame(1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0xC0, 0xDE}));
        Feed(tap, 4, false, Snac(0x17, 0x02, {0x00, 0x25, 0x00, 0x02, 0xC0, 0xDE}));
        Feed(tap, 4, true, Snac(0x01, 0x05, {0x00, 0x06, 0x00, 0x02, 0xC0, 0xDE}));
        Feed(tap, 4, true, Frame(4, {0x00, 0x06, 0x00, 0x02, 0xC0, 0xDE}));
        Feed(tap, 4, true, Snac(0x04, 0x0C, {0xFE, 0xED}));
    }
    const std::string trace = test::ReadFileBytes(folder.File("wire-a.log"));
    EXPECT_EQ(trace.find("c0de"), std::string::npos) << trace;
    EXPECT_NE(trace.find("> service ch1 len=10 (bytes not traced)"), std::string::npos);
    EXPECT_NE(trace.find("< service 04/0c flags=0000 id=00000007 len=12 0004000c0000000000"
                         "07feed"),
              std::string::npos)
        << trace;
}

}  // namespace
}  // namespace zul::interop
