// The real client, started as a user starts it, against the scripted OSCAR servers: it signs on
// by itself in the status it last had, and everything is checked from outside, in the frames
// it sends and the rows it stores.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "e2e/client_fixture.h"
#include "platform/text.h"
#include "support/oscar_server.h"
#include "support/signon_script.h"
#include "support/test_env.h"

namespace zul::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRowWait = 20s;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

Bytes Ucs2(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

// Text of fragment 0x0101 in TLV 0x0002 of an outgoing message SNAC(0x04,0x06), decoded from
// UCS-2; the recipient goes to `login`.
std::u16string OutgoingText(const ReceivedFrame& frame, std::string& login, Bytes& head) {
    const Bytes body = frame.snacData();
    if (body.size() < 11 || body.size() < 11u + body[10]) return u"<cut>";
    head.assign(body.begin(), body.begin() + 11 + body[10]);
    login.assign(body.begin() + 11, body.begin() + 11 + body[10]);
    const auto tlvs = ParseTlvs(std::span(body).subspan(head.size()));
    const WireTlv* message = FindTlv(tlvs, 0x0002);
    if (!message) return u"<no TLV 0x0002>";
    const Bytes& m = message->value;
    for (size_t at = 0; m.size() - at >= 4;) {
        const size_t length = static_cast<size_t>(m[at + 2] << 8 | m[at + 3]);
        if (m.size() - at - 4 < length) break;
        if (m[at] == 0x01 && m[at + 1] == 0x01 && length >= 4 && m[at + 4] == 0x00 &&
            m[at + 5] == 0x02) {
            std::u16string text;
            for (size_t i = at + 8; i + 1 < at + 4 + length; i += 2) {
                text.push_back(static_cast<char16_t>(m[i] << 8 | m[i + 1]));
            }
            return text;
        }
        at += 4 + length;
    }
    return u"<no UCS-2 text fragment>";
}

// A live channel-1 message from `login` in UCS-2.
Bytes IncomingMessage(std::string_view login, std::u16string_view text) {
    const Bytes ucs2 = Ucs2(text);
    ByteWriter fragments;
    fragments.U8(0x05).U8(0x01).U16(1).U8(0x01);
    fragments.U8(0x01).U8(0x01).U16(static_cast<uint16_t>(ucs2.size() + 4)).U16(2).U16(0).Raw(ucs2);
    ByteWriter w;
    w.U32(0xABCD0001).U32(0x00000002).U16(1);
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0).U16(1).TlvU32(0x0006, 0x0000);
    w.Tlv(0x0002, fragments.bytes);
    return w.bytes;
}

ServerList TwoFriends() {
    ByteWriter ann, ben;
    ann.Tlv(0x0131, std::string_view("Ann"));
    ben.Tlv(0x0131, std::string_view("Ben"));
    return {{"Friends", 1, 0, 0x0001, {}},
            {"1001", 1, 0x0010, 0x0000, ann.bytes},
            {"1002", 1, 0x0011, 0x0000, ben.bytes}};
}

class ClientEndToEnd : public ClientFixture {
  protected:
    ClientEndToEnd() : ClientFixture(TwoFriends()) {}

    // Writes the profile and starts the client on it.
    void StartClient() {
        ASSERT_TRUE(WriteProfile(ProfilePath(), setup_));
        LaunchClient();
    }

    std::optional<int64_t> Int(const std::string& sql) const { return Reader().Int(sql); }
    ProfileReader Reader() const { return ProfileReader(ProfilePath()); }
    bool WaitForInt(const std::string& sql, int64_t value) const {
        return WaitUntil([&] { return Int(sql) == value; }, kRowWait);
    }
};

#define SIGN_ON_OR_SKIP(...)                                                    \
    do {                                                                        \
        const bool signedOn = WaitForSignOn(__VA_ARGS__);                       \
        if (skipped_) GTEST_SKIP() << "this build of zul has no window to run"; \
        ASSERT_TRUE(signedOn) << "no sign-on";                                  \
    } while (0)

TEST_F(ClientEndToEnd, SignsOnAtStartInItsLastStatusAndStoresTheServerList) {
    setup_.account.lastStatus = 10;  // away
    StartClient();
    SIGN_ON_OR_SKIP();

    // The login leg: version, login, password, client name; then the sign-off frame.
    const std::vector<ReceivedFrame> loginFrames = login_->Frames(0);
    ASSERT_GE(loginFrames.size(), 2u);
    const ReceivedFrame& request = loginFrames[0];
    ASSERT_EQ(request.channel, 0x01);
    ASSERT_GE(request.data.size(), 4u);
    EXPECT_EQ(Bytes(request.data.begin(), request.data.begin() + 4), (Bytes{0, 0, 0, 1}));
    const auto tlvs = ParseTlvs(std::span(request.data).subspan(4));
    ASSERT_NE(FindTlv(tlvs, 0x0001), nullptr);
    EXPECT_EQ(FindTlv(tlvs, 0x0001)->value, Bytes({'4', '2', '4', '2', '4', '2'}));
    ASSERT_NE(FindTlv(tlvs, 0x0003), nullptr);
    EXPECT_EQ(std::string(FindTlv(tlvs, 0x0003)->value.begin(), FindTlv(tlvs, 0x0003)->value.end()),
              "ICQ Client");
    EXPECT_EQ(loginFrames[1].channel, 0x04);

    // The service leg, in the order of the sign-on sequence (list edits may come between).
    const std::vector<std::pair<uint16_t, uint16_t>> expected = {
        {0x01, 0x06}, {0x01, 0x08}, {0x02, 0x02}, {0x03, 0x02}, {0x04, 0x04},
        {0x04, 0x02}, {0x09, 0x02}, {0x13, 0x02}, {0x13, 0x04}, {0x13, 0x07},
        {0x02, 0x04}, {0x01, 0x11}, {0x01, 0x1E}, {0x01, 0x02}, {0x04, 0x10}};
    size_t next = 0;
    for (const ReceivedFrame& f : service_->Frames(0)) {
        if (next < expected.size() && f.IsSnac(expected[next].first, expected[next].second)) ++next;
    }
    EXPECT_EQ(next, expected.size()) << "the sequence stopped before step " << next;
    // The restored status: flags 0x0100, away 0x0001.
    const auto status = service_->WaitForFrame(ScriptedServer::IsSnac(0x01, 0x1E));
    ASSERT_TRUE(status);
    const auto statusTlvs = ParseTlvs(status->snacData());
    ASSERT_NE(FindTlv(statusTlvs, 0x0006), nullptr);
    EXPECT_EQ(FindTlv(statusTlvs, 0x0006)->value, (Bytes{0x01, 0x00, 0x00, 0x01}));

    // The rows: both buddies on the server, in their group, with their nicknames.
    EXPECT_TRUE(WaitForInt("SELECT COUNT(*) FROM Contacts WHERE AccID=5 AND OnServer=1", 2));
    EXPECT_EQ(Reader().Text("SELECT Nickname FROM Contacts WHERE Login='1001'"), "Ann");
    EXPECT_EQ(Int("SELECT GroupID FROM Contacts WHERE Login='1002'"), 1);
    EXPECT_EQ(Reader().Text("SELECT Name FROM Groups WHERE AccID=5 AND ID=1"), "Friends");
    EXPECT_EQ(Int("SELECT LastStatus FROM Accounts WHERE ID=5"), 10);
    EXPECT_GT(Int("SELECT BytesIn FROM Accounts WHERE ID=5").value_or(0), 0);
    EXPECT_GT(Int("SELECT BytesOut FROM Accounts WHERE ID=5").value_or(0), 0);
}

TEST_F(ClientEndToEnd, StaysOfflineWhenItWasLastOffline) {
    setup_.account.lastStatus = -1;
    StartClient();
    // Long enough for a start-up on a slow machine to have connected if it were going to.
    std::this_thread::sleep_for(5s);
    if (!client_->Running() && client_->Output().find("not built yet") != std::string::npos) {
        GTEST_SKIP() << "this build of zul has no window to run";
    }
    EXPECT_TRUE(client_->Running());
    EXPECT_EQ(login_->ConnectionCount(), 0);
    EXPECT_EQ(Int("SELECT LastStatus FROM Accounts WHERE ID=5"), -1);
}

TEST_F(ClientEndToEnd, SendsAPendingMessageAndStoresItsRoundTrip) {
    setup_.groups = {{1, u"Friends"}};
    setup_.contacts = {{7001, 0x10, 1, u"1001", u"Ann"}};
    const std::u16string text = u"Grüße aus dem Postausgang";
    setup_.outbox = {{7001, 1, text}};
    StartClient();
    SIGN_ON_OR_SKIP();

    // Sent at the first idle pass, with the event number twice as its cookie.
    const auto sent = service_->WaitForFrame(ScriptedServer::IsSnac(0x04, 0x06), kRowWait);
    ASSERT_TRUE(sent) << "the pending message was not sent";
    std::string login;
    Bytes head;
    EXPECT_EQ(OutgoingText(*sent, login, head), text);
    EXPECT_EQ(login, "1001");
    ASSERT_GE(head.size(), 10u);
    EXPECT_EQ(Bytes(head.begin(), head.begin() + 10), (Bytes{0, 0, 0, 1, 0, 0, 0, 1, 0, 1}));
    const std::string event = "FROM History WHERE AccID=5 AND ContactID=7001 AND Number=1";
    EXPECT_TRUE(WaitForInt("SELECT Sent " + event, 1));
    EXPECT_EQ(Int("SELECT Delivered " + event), 0);

    // The server's acknowledgement marks it delivered.
    service_->Send(SnacFrame(0x04, 0x0C, head));
    EXPECT_TRUE(WaitForInt("SELECT Delivered " + event, 1));
    EXPECT_EQ(Int("SELECT ErrorCode " + event), 0);

    // A message from the contact is stored as the next event, unread.
    service_->Send(SnacFrame(0x04, 0x07, IncomingMessage("1001", u"Danke, Ann hier")));
    const std::string reply = "FROM History WHERE AccID=5 AND ContactID=7001 AND Number=2";
    EXPECT_TRUE(WaitForInt("SELECT COUNT(*) " + reply + " AND Direction=0 AND EventType=2", 1));
    EXPECT_EQ(Reader().Text("SELECT Message " + reply), "Danke, Ann hier");
    EXPECT_EQ(Int("SELECT Unread " + reply), 1);
}

TEST_F(ClientEndToEnd, ReconnectsAfterTheServerDropsTheConnection) {
    StartClient();
    SIGN_ON_OR_SKIP();
    EXPECT_TRUE(WaitForInt("SELECT LastStatus FROM Accounts WHERE ID=5", 0));

    service_->Reset();  // the client sees a connection reset
    // After its countdown the client logs in again from the start and signs on.
    EXPECT_TRUE(login_->WaitForConnections(2, kSignOnWait));
    SIGN_ON_OR_SKIP(2);
    EXPECT_EQ(service_->ConnectionCount(), 2);
    EXPECT_TRUE(WaitForInt("SELECT LastStatus FROM Accounts WHERE ID=5", 0));
    EXPECT_TRUE(client_->Running());
}

TEST_F(ClientEndToEnd, QuitsCleanlyOnSigtermAndKeepsItsLastStatus) {
    setup_.account.lastStatus = 20;  // do not disturb
    StartClient();
    SIGN_ON_OR_SKIP();
    EXPECT_TRUE(WaitForInt("SELECT LastStatus FROM Accounts WHERE ID=5", 20));

    const std::optional<int> status = client_->Stop(30s);
    ASSERT_TRUE(status) << "the client did not quit on SIGTERM";
    EXPECT_TRUE(ExitedCleanly(status)) << DescribeWaitStatus(*status);
    EXPECT_TRUE(service_->WaitForClientClose(0));
    // Closing the program is not going offline: the next start signs on in the same status.
    EXPECT_EQ(Int("SELECT LastStatus FROM Accounts WHERE ID=5"), 20);
    EXPECT_EQ(Reader().Text("PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(std::filesystem::exists(ProfilePath() + "-journal"));
}

// Sockets of this process's network namespace connecting (SYN sent) to a loopback port.
int ConnectingTo(uint16_t port) {
    std::istringstream table(ReadFileBytes("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);  // the header
    char remote[16];
    std::snprintf(remote, sizeof remote, ":%04X", port);
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        fields >> slot >> local >> peer >> state;
        if (peer.size() > 5 && peer.substr(peer.size() - 5) == remote && state == "02") ++count;
    }
    return count;
}

TEST_F(ClientEndToEnd, SigtermEndsTheClientPromptlyWhateverItsSessionWaitsFor) {
    UnansweredPort unanswered;
    ASSERT_TRUE(unanswered.Holds()) << "no connect could be left unanswered";
    uint16_t closedPort;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    const struct {
        const char* state;
        uint16_t port;
        std::function<bool()> reached;
    } cases[] = {
        {"signed on", login_->Port(),
         [&] { return service_->CountFrames(ScriptedServer::IsSnac(0x04, 0x10)) >= 1; }},
        // Our own connect that fills the queue is one of them.
        {"connecting to a host that never answers", unanswered.Port(),
         [&] { return ConnectingTo(unanswered.Port()) >= 2; }},
        // The failed attempt is saved as offline just before the countdown of 3 s starts.
        {"counting down to connect again", closedPort,
         [&] { return Int("SELECT LastStatus FROM Accounts WHERE ID=5") == -1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        setup_.account.port = c.port;
        setup_.account.lastStatus = 0;
        StartClient();
        const bool reached =
            WaitUntil([&] { return !client_->Running() || c.reached(); }, kSignOnWait);
        if (!client_->Running() && client_->Output().find("not built yet") != std::string::npos)
            GTEST_SKIP() << "this build of zul has no window to run";
        ASSERT_TRUE(reached && client_->Running()) << client_->Output();

        const auto asked = std::chrono::steady_clock::now();
        const std::optional<int> status = client_->Stop(30s);
        const auto took = std::chrono::steady_clock::now() - asked;
        ASSERT_TRUE(status) << "the client did not quit on SIGTERM";
        EXPECT_TRUE(ExitedCleanly(status)) << DescribeWaitStatus(*status);
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        std::cout << "SIGTERM while " << c.state << ": the client ended in " << ms
                  << " ms (sanitizer build)\n";
        // A bound for slow machines running the sanitizer build; the number printed counts.
        EXPECT_LT(took, 5s) << "SIGTERM took " << ms << " ms";
    }
}

TEST_F(ClientEndToEnd, AStormAndAHeldFrameNeverHoldTheWindowThreadAndSigtermEndsAtOnce) {
    // The window thread's longest stall, as the client's own monitor records it.
    const std::string stalls = folders_.DataDir() + "stalls.txt";
    setenv("ZUL_STALL_LOG", stalls.c_str(), 1);
    StartClient();
    unsetenv("ZUL_STALL_LOG");
    SIGN_ON_OR_SKIP();

    // 5,000 messages as fast as the server can write them, each raising the bubble's alert.
    const int connection = service_->ConnectionCount() - 1;
    for (int k = 0; k < 5000; ++k) {
        service_->Send(
            SnacFrame(0x04, 0x07, IncomingMessage("1001", u"storm " + Widen(std::to_string(k)))),
            connection);
    }
    // Then a frame held half-sent for three seconds.
    const Bytes held = EncodeFrame(0x02, 0x7000, [] {
        ByteWriter snac;
        snac.U16(0x04).U16(0x07).U16(0).U32(0).Raw(IncomingMessage("1002", u"held"));
        return snac.bytes;
    }());
    service_->SendRaw(std::span(held).first(12), connection);
    std::this_thread::sleep_for(3s);
    service_->SendRaw(std::span(held).subspan(12), connection);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Int("SELECT COUNT(*) FROM History WHERE AccID=5 AND Direction=0 AND "
                       "EventType=2") == 5001;
        },
        120s));

    // Quitting stops the alert at once instead of waiting for its pulses.
    const auto asked = std::chrono::steady_clock::now();
    const std::optional<int> status = client_->Stop(30s);
    const auto took = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(status) << "the client did not quit on SIGTERM";
    EXPECT_TRUE(ExitedCleanly(status)) << DescribeWaitStatus(*status);
    EXPECT_LT(took, 5s) << "SIGTERM took "
                        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                        << " ms";

    const std::string line = ReadFileBytes(stalls);
    std::cout << "stall monitor (sanitizer build): " << line;
    long long longest = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "window_stall longest_ms=%lld", &longest), 1) << line;
    // A held frame of three seconds must not show as a stall of the window thread.
    EXPECT_LT(longest, 2000) << line;
}

}  // namespace
}  // namespace zul::test
