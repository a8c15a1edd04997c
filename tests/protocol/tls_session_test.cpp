// A whole session over TLS, with the scripted servers behind terminators: sign-on, messages
// both ways and a picture on the avatar connection; a certificate nobody vouches for stops the
// account with a question for the user (and works once trusted); a changed certificate is
// refused; a handshake that stalls times out and counts down, and a disconnect ends it at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/text.h"
#include "platform/tls.h"
#include "protocol/oscar.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "support/avatar_server.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"
#include "support/tls_terminator.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using test::AvatarServer;
using test::Bytes;
using test::HarnessOptions;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;
using test::TestCertificate;
using test::TlsTerminator;

bool AnyFrame(const ReceivedFrame&) {
    return true;
}

HarnessOptions OverTls(const TestCertificate& certificate, std::string trusted) {
    HarnessOptions options;
    options.tlsCertificate = &certificate;
    options.trustedSha256 = std::move(trusted);
    return options;
}

TEST(TlsSession, SignOnMessagesAndPicturesTravelEncrypted) {
    TestCertificate certificate;
    SessionHarness h(OverTls(certificate, certificate.Sha256()));
    AvatarServer avatar;
    TlsTerminator avatarTls(certificate, avatar.Port());
    const Bytes cookie = {1, 2, 3, 4};
    h.ServiceServer().OnFrame(ScriptedServer::IsSnac(0x01, 0x04), [&](const ReceivedFrame& f) {
        return test::Reply({test::SnacFrame(
            0x01, 0x05, test::RedirectBody(avatarTls.HostPort(), cookie, false), f.requestId())});
    });
    ContactPtr ann = h.Contacts().AddNewContact(
        &h.Account(), ContactFields{.login = u"555", .nickname = u"Ann"}, true, false);
    ASSERT_TRUE(ann);
    EventPtr outgoing = ann->History().AddOutgoingMessage(u"over tls");

    ASSERT_TRUE(h.SignOn(0));
    // The login and the service connection both came through the terminators.
    EXPECT_EQ(h.LoginTls()->Handshakes(), 1);
    EXPECT_EQ(h.ServiceTls()->Handshakes(), 1);
    auto sent = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x06));
    ASSERT_TRUE(sent);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return outgoing->Sent() == 1; }));

    h.ServerSends(0x04, 0x07, test::Channel1Message("555", 0x0000, test::Utf8("hello back")));
    EXPECT_TRUE(SessionHarness::WaitUntil([] {
        return test::RowInt(u"SELECT COUNT(*) FROM History WHERE Direction=0 AND Message=?",
                            u"hello back") == 1;
    }));

    Bytes picture(700);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 13);
    avatar.SetPicture("555", picture);
    const Bytes info = test::PictureInfo(picture);
    h.ServerSends(
        0x03, 0x0B,
        test::UserBlock("555", {test::SessionDataTlv({test::Item(
                                   0x0001, 0x01, Bytes(info.begin() + 4, info.end()))})}));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return ann->HasPicture(); }, 20s));
    EXPECT_EQ(ann->Picture(), picture);
    EXPECT_EQ(avatarTls.Handshakes(), 1);
    // The login and the picture service's request asked for the encrypted addresses.
    auto asksForTls = [](const ReceivedFrame& f, size_t skip) {
        const auto tlvs = test::ParseTlvs(std::span(f.data).subspan(skip));
        return std::any_of(tlvs.begin(), tlvs.end(),
                           [](const auto& t) { return t.type == 0x008C; });
    };
    EXPECT_TRUE(asksForTls(h.LoginServer().Frames(0).at(0), 4));
    auto request = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x01, 0x04));
    ASSERT_TRUE(request);
    EXPECT_TRUE(asksForTls(*request, 10 + 2));
}

TEST(TlsSession, AnUnknownCertificateStopsWithAQuestionUntilTheUserTrustsIt) {
    TestCertificate certificate;
    SessionHarness h(OverTls(certificate, ""));
    h.Account().RequestStatus(0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().HasCertificateQuestion(); }));
    EXPECT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText() ==
               u"The server's certificate is not trusted; look at it and decide (12102)";
    }));
    // No countdown, no second attempt, and not a byte of the sign-on reached the server.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(h.LoginTls()->Accepted(), 1);
    EXPECT_EQ(h.LoginServer().CountFrames(AnyFrame), 0u);
    EXPECT_EQ(h.Account().Status(), -1);

    const CAccount::CertificateQuestion question = h.Account().TakeCertificateQuestion();
    EXPECT_FALSE(question.changed);
    EXPECT_EQ(question.certificate.sha256, certificate.Sha256());
    EXPECT_EQ(question.certificate.subject, "CN=zul test server");
    EXPECT_FALSE(h.Account().HasCertificateQuestion());

    h.Account().TrustCertificate(question.certificate.sha256);
    EXPECT_TRUE(h.SignOn(0));
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM AccountSecurity WHERE AccID=77 AND Tls=1 AND "
                           u"TrustedCertificate=?",
                           Widen(certificate.Sha256())),
              1);
}

TEST(TlsSession, AChangedCertificateIsRefusedWithAWarning) {
    TestCertificate trusted;
    TestCertificate presented;
    SessionHarness h(OverTls(presented, trusted.Sha256()));
    h.Account().RequestStatus(0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().HasCertificateQuestion(); }));
    const CAccount::CertificateQuestion question = h.Account().TakeCertificateQuestion();
    EXPECT_TRUE(question.changed);
    EXPECT_EQ(question.certificate.sha256, presented.Sha256());
    EXPECT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText() ==
               u"Warning: the server's certificate has changed since you trusted it (12103)";
    }));
    EXPECT_EQ(h.LoginServer().CountFrames(AnyFrame), 0u);
    // The trusted fingerprint stays until the user decides otherwise.
    EXPECT_EQ(h.Account().TrustedCertificate(), trusted.Sha256());
}

TEST(TlsSession, AStalledHandshakeTimesOutAndCountsDownAndADisconnectEndsIt) {
    TestCertificate certificate;
    SessionHarness h(OverTls(certificate, certificate.Sha256()));
    TlsTerminator silent(certificate, h.LoginServer().Port(), TlsTerminator::Mode::Silent);
    h.Account().SetPort(Widen(std::to_string(silent.Port())));
    SetSocketIoTimeout(500);
    h.Account().RequestStatus(0);
    EXPECT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().StatusText() == u"Connection timed out (10060). Waitng 3 s."; }));
    // The countdown ends in a new attempt, this time with the default time-out of a minute:
    // the user's disconnect ends that handshake at once.
    SetSocketIoTimeout(60000);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return silent.Accepted() >= 2; }, 10s));
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    h.Account().Disconnect(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return h.Account().SessionIdle(); }, 1500ms));
    EXPECT_FALSE(h.Account().SessionRunning());
}

// Every file the run left beside the profile, as bytes.
std::string FilesBeside(const SessionHarness& h) {
    std::string all;
    for (const std::string& folder : {h.Folders().ProgramDir(), h.Folders().DataDir()}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file()) continue;
            // The profile (and its journal) hold the password by design, unless it is kept in
            // the keyring.
            if (entry.path().filename().string().rfind(kProfileFileName, 0) == 0) continue;
            all += test::ReadFileBytes(entry.path().string());
        }
    }
    return all;
}

TEST(TlsSession, NoLogHoldsThePasswordOrTheCookieWhateverTheLoginMethod) {
    TestCertificate certificate;
    const std::u16string password = u"Pw-7319-unique";
    const std::string utf8 = "Pw-7319-unique";
    std::string utf16;
    for (char16_t c : password) utf16 += {static_cast<char>(c), '\0'};
    const std::string cookie = {'\xC0', '\x0C', '\x1E', '\x01', '\x02', '\x03'};
    for (int method = 0; method < 3; ++method) {
        SCOPED_TRACE(method == 0 ? "roasted" : method == 1 ? "md5" : "md5 over tls");
        HarnessOptions options =
            method == 2 ? OverTls(certificate, certificate.Sha256()) : HarnessOptions{};
        options.password = password;
        SessionHarness h(options);
        h.Account().SetSecureLogin(method > 0 ? 1 : 0);
        ASSERT_TRUE(h.SignOn(0));
        h.Account().Disconnect(true);
        const std::string logs = FilesBeside(h);
        EXPECT_EQ(logs.find(utf8), std::string::npos);
        EXPECT_EQ(logs.find(utf16), std::string::npos);
        EXPECT_EQ(logs.find(cookie), std::string::npos);
    }
}

}  // namespace
}  // namespace zul
