// Signing on against scripted login and service servers over loopback.
#include "protocol/transport/login.h"

#include <gtest/gtest.h>

#include "platform/resources.h"
#include "platform/text.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ReceivedFrame;
using test::SessionHarness;

bool IsLoginRequest(const ReceivedFrame& f) {
    return f.channel == 0x01 && f.data.size() > 4 &&
           test::FindTlv(test::ParseTlvs(std::span(f.data).subspan(4)), 0x0001);
}

TEST(Login, RequestFrameCarriesTheIdentificationInOrderAndAScrambledPassword) {
    test::HarnessOptions options;
    options.password = u"abcd";
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));

    auto frames = h.LoginServer().Frames(0);
    ASSERT_GE(frames.size(), 2u);
    const ReceivedFrame& login = frames[0];
    EXPECT_EQ(login.channel, 0x01);
    EXPECT_EQ(login.sequence, 1);  // the first frame of the connection
    // 00 00 00 01, then the items in their fixed order.
    const Bytes expected = {
        0x00,       0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x05,       '1',        '2',
        '3',        '4',  '5',  0x00, 0x02, 0x00, 0x04, 'a' ^ 0xF3, 'b' ^ 0x26, 'c' ^ 0x81,
        'd' ^ 0xC4, 0x00, 0x03, 0x00, 0x0A, 'I',  'C',  'Q',        ' ',        'C',
        'l',        'i',  'e',  'n',  't',  0x00, 0x16, 0x00,       0x02,       0x01,
        0x0A,       0x00, 0x17, 0x00, 0x02, 0x00, 0x06, 0x00,       0x18,       0x00,
        0x02,       0x00, 0x05, 0x00, 0x19, 0x00, 0x02, 0x00,       0x00,       0x00,
        0x1A,       0x00, 0x02, 0x03, 0xED, 0x00, 0x14, 0x00,       0x04,       0x00,
        0x00,       0x75, 0x37, 0x00, 0x0F, 0x00, 0x02, 'e',        'n',        0x00,
        0x0E,       0x00, 0x02, 'e',  'n',  0x00, 0x4A, 0x00,       0x01,       0x01,
    };
    EXPECT_EQ(login.data, expected);
    // The client says goodbye on channel 4 before leaving the login server.
    EXPECT_EQ(frames[1].channel, 0x04);
    EXPECT_TRUE(frames[1].data.empty());

    // Second leg: the cookie frame, numbered on from the first leg.
    auto service = h.ServiceServer().Frames(0);
    ASSERT_FALSE(service.empty());
    EXPECT_EQ(service[0].channel, 0x01);
    EXPECT_EQ(service[0].sequence, 3);
    const Bytes cookieFrame = {0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00,
                               0x06, 0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
    EXPECT_EQ(service[0].data, cookieFrame);
}

TEST(Login, PasswordIsCutToEightScrambledBytes) {
    test::HarnessOptions options;
    options.password = u"0123456789";
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(0));
    auto login = h.LoginServer().Frames(0).at(0);
    auto tlvs = test::ParseTlvs(std::span(login.data).subspan(4));
    const auto* password = test::FindTlv(tlvs, 0x0002);
    ASSERT_NE(password, nullptr);
    const uint8_t key[8] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92};
    ASSERT_EQ(password->value.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(password->value[i], ('0' + i) ^ key[i]);
}

TEST(Login, RefusalsNoRetryCanMendShowTheirTextAndAreNotRetried) {
    const std::pair<uint16_t, std::u16string> refusals[] = {
        {5, u"Your ICQ number (AIM login) or password was rejected (5)"},
        {0x11, u"The server has suspended this account (17)"},
        {0x19, u"The account is warned too heavily to sign on; try again later (25)"},
    };
    for (const auto& [code, text] : refusals) {
        SessionHarness h;
        h.LoginServer().StopAnswering();
        h.Account().RequestStatus(0);
        ASSERT_TRUE(h.LoginServer().WaitForFrameCount(IsLoginRequest, 1));
        h.LoginServer().Send(test::LoginError(code));
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().StatusText() == text; }))
            << ToUtf8(h.Account().StatusText());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
        EXPECT_EQ(h.Account().Status(), -1);
        EXPECT_FALSE(h.Account().SessionRunning());
    }
}

TEST(Login, SocketErrorsShowTheirTexts) {
    {
        test::HarnessOptions options;
        options.reconnectOnError = false;
        SessionHarness h(options);
        uint16_t closedPort;
        {
            test::ScriptedServer gone;
            closedPort = gone.Port();
        }
        h.Account().SetPort(Widen(std::to_string(closedPort)));
        h.Account().RequestStatus(0);
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return h.Account().StatusText() == u"Network is down (10061)"; }));
    }
    {
        test::HarnessOptions options;
        options.reconnectOnError = false;
        SessionHarness h(options);
        h.Account().SetServer(u"no-such-host.invalid");
        h.Account().RequestStatus(0);
        EXPECT_TRUE(SessionHarness::WaitUntil([&] {
            return h.Account().StatusText() ==
                   u"Server host not found, down or unreachable (11001)";
        }));
    }
}

TEST(Login, ErrorTextsByCode) {
    auto text = [](int32_t code) { return FormatInt(LoginErrorText(acctype::kIcq, code), code); };
    EXPECT_EQ(text(1), u"Your ICQ number (AIM login) or password was rejected (1)");
    EXPECT_EQ(text(26), u"The server is temporarily unavailable (26)");
    EXPECT_EQ(text(23), u"Server has too many connections from your IP (23)");
    EXPECT_EQ(text(29), u"Rate limited, please try again in a few minutes (29)");
    EXPECT_EQ(text(27), u"The server did not accept this client version (27)");
    EXPECT_EQ(text(28), u"This client version is getting old. Try to look for a new one (28)");
    EXPECT_EQ(text(30), u"You were rejected by the server for an unknown reason (30)");
    EXPECT_EQ(text(12), u"Secure (MD5) login is not supported on this account (12)");
    EXPECT_EQ(text(-99990), u"You account being used on another computer.");
    EXPECT_EQ(text(10061), u"Network is down (10061)");
    EXPECT_EQ(text(10054), u"Connection reset (10054)");
    EXPECT_EQ(text(10060), u"Connection timed out (10060)");
    EXPECT_EQ(text(10065), u"Server host not found, down or unreachable (10065)");
    EXPECT_EQ(text(99), u"Unknown error (99)");
    EXPECT_EQ(LoginErrorText(acctype::kXmpp, 5), u"unknown account type");
}

}  // namespace
}  // namespace zul
