// The avatar service end to end: a picture hash from presence or the own-picture note, the
// service request, the redirect, the sign-on on the scripted avatar server, the download and
// the stored picture; and the failures that close only the avatar connection.
#include "protocol/transport/avatar.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "support/avatar_server.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"
#include "support/test_env.h"

namespace zul {
namespace {

using test::AvatarServer;
using test::Bytes;
using test::ByteWriter;
using test::Concat;
using test::Item;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionDataTlv;
using test::SessionHarness;
using test::UserBlock;

const Bytes kCookie = {0xA7, 0xA7, 0x01, 0x02, 0x03, 0x04, 0x05};

Bytes PictureOf(uint8_t seed, size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// A port on which nothing listens.
std::string ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return std::to_string(ntohs(a.sin_port));
}

class AvatarTest : public ::testing::Test {
  protected:
    ContactPtr Add(const std::u16string& login) {
        return h_.Contacts().AddNewContact(
            &h_.Account(), ContactFields{.login = login, .nickname = login}, true, false);
    }
    // The service server answers every avatar service request with a redirect to `address`.
    void RedirectTo(const std::string& address, bool leadingBlock) {
        h_.ServiceServer().OnFrame(
            ScriptedServer::IsSnac(0x01, 0x04), [address, leadingBlock](const ReceivedFrame& f) {
                return test::Reply(
                    {test::SnacFrame(0x01, 0x05, test::RedirectBody(address, kCookie, leadingBlock),
                                     f.requestId(), leadingBlock ? 0x8000 : 0)});
            });
    }
    void AnnouncePicture(const std::string& login, const Bytes& picture) {
        const Bytes info = test::PictureInfo(picture);
        h_.ServerSends(
            0x03, 0x0B,
            UserBlock(login,
                      {SessionDataTlv({Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()))})}));
    }
    static Bytes StoredAvatar(const std::u16string& login) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command =
            Database().Prepare(u"SELECT Avatar FROM Contacts WHERE Login=?");
        command.BindText(1, login);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        Bytes out = rows.IsEnd() ? Bytes{} : rows.BlobBytes(0);
        rows.Finalize();
        command.Finalize();
        return out;
    }
    static bool WaitFor(const std::function<bool()>& condition) {
        return SessionHarness::WaitUntil(condition, std::chrono::seconds(20));
    }

    // Plays the avatar role on the harness's login server; declared first so that it outlives
    // that server, whose rules refer to it.
    std::unique_ptr<AvatarServer> loginAvatar_;
    SessionHarness h_;
    AvatarServer avatar_;
};

class AvatarDownloadTest : public AvatarTest, public ::testing::WithParamInterface<bool> {};

// The redirect works whether or not the reply carries the leading block.
TEST_P(AvatarDownloadTest, APictureHashLeadsToOneDownloadAndTheStoredPicture) {
    const Bytes picture = PictureOf(3, 900);
    ContactPtr ada = Add(u"67890");
    avatar_.SetPicture("67890", picture);
    RedirectTo(avatar_.HostPort(), GetParam());
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", picture);
    AnnouncePicture("67890", picture);
    ASSERT_TRUE(WaitFor([&] { return ada->HasPicture(); }));
    EXPECT_EQ(ada->Picture(), picture);
    const Bytes stored = StoredAvatar(u"67890");
    const auto digest = test::Md5Of(stored);
    const Bytes announced = test::PictureInfo(picture);
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), announced.begin() + 4));

    // The request of the service: family 0x0010.
    auto request = h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x01, 0x04));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->snacData(), (Bytes{0x00, 0x10}));

    // The avatar sign-on: cookie, versions, rate acknowledgement, client ready.
    ScriptedServer& server = avatar_.Server();
    std::vector<ReceivedFrame> frames = server.Frames(0);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].channel, 0x01);
    EXPECT_EQ(frames[0].sequence, 1);
    EXPECT_EQ(frames[0].data, Concat({{0, 0, 0, 1}, ByteWriter().Tlv(0x0006, kCookie).bytes}));
    auto versions = server.WaitForFrame(ScriptedServer::IsSnac(0x01, 0x17));
    ASSERT_TRUE(versions);
    EXPECT_EQ(versions->snacData(), (Bytes{0, 1, 0, 4, 0, 0x10, 0, 1}));
    auto ack = server.WaitForFrame(ScriptedServer::IsSnac(0x01, 0x08));
    ASSERT_TRUE(ack);
    // The five classes the avatar server announced, by their ids.
    EXPECT_EQ(ack->snacData(), (Bytes{0, 1, 0, 2, 0, 3, 0, 4, 0, 5}));
    auto ready = server.WaitForFrame(ScriptedServer::IsSnac(0x01, 0x02));
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->snacData(),
              (Bytes{0, 1, 0, 4, 0, 0x10, 0x16, 0x4F, 0, 0x10, 0, 1, 0, 0x10, 0x16, 0x4F}));

    // One download for the two notices, carrying the announced information.
    ASSERT_EQ(avatar_.Requests().size(), 1u);
    EXPECT_EQ(avatar_.Requests()[0].first, "67890");
    EXPECT_EQ(avatar_.Requests()[0].second, announced);
    EXPECT_TRUE(h_.Account().AvatarActive());
    // The service request and the download request are both answered and gone.
    EXPECT_FALSE(h_.Account().Pending().Find(static_cast<uint16_t>(request->requestId())));
    auto download = server.WaitForFrame(ScriptedServer::IsSnac(0x10, 0x06));
    ASSERT_TRUE(download);
    EXPECT_FALSE(h_.Account().Pending().Find(static_cast<uint16_t>(download->requestId())));
}

INSTANTIATE_TEST_SUITE_P(RedirectForms, AvatarDownloadTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "LeadingBlock" : "Plain"; });

TEST_F(AvatarTest, InconsistentRepliesStoreNothingAndWrongDigestsAnEmptyPicture) {
    const Bytes old = PictureOf(1, 50);
    const Bytes picture = PictureOf(9, 300);
    ContactPtr ada = Add(u"67890");
    ContactPtr bob = Add(u"55555");
    ContactPtr cy = Add(u"44444");
    ContactPtr dee = Add(u"33333");
    for (const ContactPtr& c : {ada, bob, cy}) c->SetPicture(old.data(), old.size(), true);
    avatar_.SetPicture("67890", picture, AvatarServer::Fault::DifferentBlocks);
    avatar_.SetPicture("55555", picture, AvatarServer::Fault::WrongDigest);
    avatar_.SetPicture("44444", picture, AvatarServer::Fault::Truncated);
    avatar_.SetPicture("33333", picture);
    RedirectTo(avatar_.HostPort(), false);
    ASSERT_TRUE(h_.SignOn(0));

    for (const char* login : {"67890", "55555", "44444"}) AnnouncePicture(login, picture);
    ASSERT_TRUE(WaitFor([&] { return !bob->HasPicture(); }));
    // The last download comes after the faulty ones.
    AnnouncePicture("33333", picture);
    ASSERT_TRUE(WaitFor([&] { return dee->HasPicture(); }));

    EXPECT_EQ(ada->Picture(), old);
    EXPECT_EQ(StoredAvatar(u"67890"), old);
    EXPECT_TRUE(StoredAvatar(u"55555").empty());
    EXPECT_EQ(cy->Picture(), old);
    EXPECT_EQ(dee->Picture(), picture);
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST_F(AvatarTest, TheOwnPictureIsStoredForTheContactOfThatNameAndForTheAccount) {
    const Bytes picture = PictureOf(5, 400);
    ContactPtr self = Add(u"12345");
    avatar_.SetPicture("12345", picture);
    RedirectTo(avatar_.HostPort(), true);
    ASSERT_TRUE(h_.SignOn(0));

    h_.ServerSends(0x01, 0x21, test::PictureInfo(picture));
    ASSERT_TRUE(WaitFor([&] { return h_.Account().HasOwnerAvatar() && self->HasPicture(); }));
    EXPECT_EQ(h_.Account().OwnerAvatar(), picture);
    EXPECT_EQ(self->Picture(), picture);
    EXPECT_EQ(StoredAvatar(u"12345"), picture);
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command command = Database().Prepare(u"SELECT OwnerAvatar FROM Accounts WHERE ID=77");
    CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
    ASSERT_FALSE(rows.IsEnd());
    EXPECT_EQ(rows.BlobBytes(0), picture);
    rows.Finalize();
    command.Finalize();
}

TEST_F(AvatarTest, AnOwnPictureNoteMatchingTheStoredPictureQueuesNothing) {
    const Bytes picture = PictureOf(5, 400);
    h_.Account().SetOwnerAvatar(picture.data(), picture.size(), false);
    ContactPtr ada = Add(u"67890");
    ASSERT_TRUE(h_.SignOn(0));

    h_.ServerSends(0x01, 0x21, test::PictureInfo(picture));
    h_.ServerSends(0x03, 0x0B, UserBlock("67890", {test::StatusTlv(0x0001)}));
    ASSERT_TRUE(WaitFor([&] { return ada->Status() == 10; }));
    EXPECT_EQ(h_.Account().Avatars().Count(), 0u);

    // A blank marker drops the own picture.
    const Bytes blank = {0x00, 0x01, 0x01, 0x10, 0xB4, 0x32, 0x5C, 0x25, 0x34, 0x3D,
                         0x41, 0x13, 0x72, 0x90, 0x9D, 0xC0, 0x00, 0x00, 0x00, 0x00};
    h_.ServerSends(0x01, 0x21, blank);
    ASSERT_TRUE(WaitFor([&] { return !h_.Account().HasOwnerAvatar(); }));
    EXPECT_EQ(h_.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x01, 0x04)), 0u);
}

TEST_F(AvatarTest, ARedirectWithoutPortUsesTheAccountsPort) {
    // The account's port is the login server's; let it play the avatar server too.
    loginAvatar_ = std::make_unique<AvatarServer>(&h_.LoginServer());
    AvatarServer& onLogin = *loginAvatar_;
    const Bytes picture = PictureOf(7, 64);
    ContactPtr ada = Add(u"67890");
    onLogin.SetPicture("67890", picture);
    RedirectTo("127.0.0.1", false);
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", picture);
    ASSERT_TRUE(WaitFor([&] { return ada->HasPicture(); }));
    EXPECT_EQ(onLogin.Requests().size(), 1u);
}

TEST_F(AvatarTest, AvatarFailuresLeaveTheSessionOnline) {
    ContactPtr ada = Add(u"67890");
    RedirectTo("127.0.0.1:" + ClosedPort(), false);
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", PictureOf(1, 10));
    // The refused connection is dropped and the service is asked for again.
    ASSERT_TRUE(h_.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x01, 0x04), 2,
                                                     std::chrono::seconds(20)));
    EXPECT_FALSE(h_.Account().AvatarActive());
    EXPECT_EQ(h_.Account().Status(), 0);
    EXPECT_EQ(h_.Account().Avatars().Count(), 1u);

    // The session still handles its own traffic.
    h_.ServerSends(0x03, 0x0B, UserBlock("67890", {test::StatusTlv(0x0001)}));
    ASSERT_TRUE(WaitFor([&] { return ada->Status() == 10; }));
}

TEST_F(AvatarTest, AnAvatarServerThatHangsUpLeavesTheSessionOnline) {
    ContactPtr ada = Add(u"67890");
    // The avatar server takes the cookie and closes the connection at once.
    ScriptedServer rude;
    rude.OnChannel(0x01, [] {
        test::Reply r;
        r.close = true;
        return r;
    }());
    RedirectTo(rude.HostPort(), false);
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", PictureOf(1, 10));
    ASSERT_TRUE(rude.WaitForConnections(2, std::chrono::seconds(30)));
    EXPECT_EQ(h_.Account().Status(), 0);
    h_.ServerSends(0x03, 0x0B, UserBlock("67890", {test::StatusTlv(0x0001)}));
    ASSERT_TRUE(WaitFor([&] { return ada->Status() == 10; }));
}

TEST_F(AvatarTest, APictureServerThatNeverAnswersTheConnectHoldsUpNothing) {
    test::UnansweredPort unanswered;
    ASSERT_TRUE(unanswered.Holds()) << "no connect could be left unanswered";
    ContactPtr ada = Add(u"67890");
    RedirectTo("127.0.0.1:" + std::to_string(unanswered.Port()), false);
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", PictureOf(1, 10));
    ASSERT_TRUE(WaitFor([&] { return h_.Account().AvatarConnecting(); }));
    // While the connect waits (20 s before it gives up), the service link's frames are
    // handled and a message the user sends goes out.
    h_.ServerSends(0x03, 0x0B, UserBlock("67890", {test::StatusTlv(0x0001)}));
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return ada->Status() == 10; }, std::chrono::seconds(5)));
    ada->History().AddOutgoingMessage(u"still here");
    EXPECT_TRUE(h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x06),
                                                std::chrono::seconds(5)));
    EXPECT_TRUE(h_.Account().AvatarConnecting());
    EXPECT_FALSE(h_.Account().AvatarActive());

    // A sign-off does not wait for the connect either.
    const auto start = std::chrono::steady_clock::now();
    h_.Account().Disconnect(false);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !h_.Account().SessionRunning(); },
                                          std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(AvatarTest, OversizedRedirectsAreRefused) {
    ContactPtr ada = Add(u"67890");
    const std::string port = std::to_string(avatar_.Port());
    // A port text of 40 characters would still name the avatar server's port; a cookie of
    // 1100 bytes does not fit the client's cookie buffer.
    const std::string longPort = std::string(40 - port.size(), '0') + port;
    const Bytes longCookie(1100, 0x5A);
    auto replies = std::make_shared<std::atomic<int>>(0);
    h_.ServiceServer().OnFrame(ScriptedServer::IsSnac(0x01, 0x04), [=](const ReceivedFrame& f) {
        const bool odd = (*replies)++ % 2 == 0;
        const Bytes body = odd ? test::RedirectBody("127.0.0.1:" + longPort, kCookie, false)
                               : test::RedirectBody("127.0.0.1:" + port, longCookie, false);
        return test::Reply({test::SnacFrame(0x01, 0x05, body, f.requestId())});
    });
    ASSERT_TRUE(h_.SignOn(0));

    AnnouncePicture("67890", PictureOf(1, 10));
    ASSERT_TRUE(h_.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x01, 0x04), 3,
                                                     std::chrono::seconds(20)));
    EXPECT_EQ(avatar_.Server().ConnectionCount(), 0);
    EXPECT_FALSE(h_.Account().AvatarActive());
    EXPECT_EQ(h_.Account().Status(), 0);
}

// Bytes the account takes for a PNG picture: the signature, then filler.
Bytes PngOf(uint8_t seed, size_t size) {
    Bytes b = PictureOf(seed, size);
    const Bytes signature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::copy(signature.begin(), signature.end(), b.begin());
    return b;
}

// The picture information of SNAC(0x01,0x21) with the given flags.
Bytes OwnPictureNote(const Bytes& picture, uint8_t flags) {
    Bytes info = test::PictureInfo(picture);
    info[2] = flags;
    return info;
}

// The picture item of a list edit frame: its item id and the value of TLV 0x00D5.
std::pair<uint16_t, Bytes> PictureItemOf(const ReceivedFrame& frame) {
    const Bytes d = frame.snacData();
    // name length 1, "1", group 0, item id, type 0x0014, TLV block length, TLV 0x00D5.
    EXPECT_GE(d.size(), 15u);
    if (d.size() < 15) return {};
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 5), (Bytes{0, 1, '1', 0, 0}));
    EXPECT_EQ(d[7] << 8 | d[8], 0x0014);
    EXPECT_EQ(d[11] << 8 | d[12], 0x00D5);
    return {static_cast<uint16_t>(d[5] << 8 | d[6]), Bytes(d.begin() + 15, d.end())};
}

class OwnPictureTest : public AvatarTest {
  protected:
    void SetUp() override {
        RedirectTo(avatar_.HostPort(), false);
        avatar_.Server().OnFrame(
            ScriptedServer::IsSnac(0x10, 0x02), [this](const ReceivedFrame& f) {
                return test::Reply(
                    {test::SnacFrame(0x10, 0x03, Bytes{uploadResult_.load()}, f.requestId())});
            });
        ASSERT_TRUE(h_.SignOn(0));
    }
    // The edit that announces a picture (the n-th of that subtype), acknowledged.
    std::pair<uint16_t, Bytes> Announced(uint16_t subtype, size_t n = 1) {
        const auto isPictureEdit = [subtype](const ReceivedFrame& f) {
            const Bytes d = f.snacData();
            return f.IsSnac(0x13, subtype) && d.size() > 8 && d[7] == 0x00 && d[8] == 0x14;
        };
        ScriptedServer& service = h_.ServiceServer();
        EXPECT_TRUE(service.WaitForFrameCount(isPictureEdit, n));
        const std::vector<ReceivedFrame> frames = service.Frames();
        for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
            if (!isPictureEdit(*it)) continue;
            // Inside the edit bracket.
            const auto before = it + 1;
            EXPECT_TRUE(before != frames.rend() && before->IsSnac(0x13, 0x11));
            h_.ServerSends(0x13, 0x0E, {0, 0}, it->requestId());
            return PictureItemOf(*it);
        }
        return {};
    }
    // Waits until the session has handled what the server sent before.
    void Settle() {
        static int status = 0;
        status = status == 0x0001 ? 0x0000 : 0x0001;
        h_.ServerSends(0x03, 0x0B, UserBlock("67890", {test::StatusTlv(status)}));
        ASSERT_TRUE(WaitFor([&] { return probe_->Status() == (status == 0x0001 ? 10 : 0); }));
    }
    std::atomic<uint8_t> uploadResult_{0};
    ContactPtr probe_ = Add(u"67890");
};

TEST_F(OwnPictureTest, AChosenPictureIsAnnouncedUploadedWhenAskedAndRemovedAgain) {
    const Bytes picture = PngOf(4, 900);
    ASSERT_EQ(h_.Account().ChangeOwnPicture(picture), CAccount::PictureProblem::kNone);
    const auto [itemId, info] = Announced(0x08);
    const auto digest = test::Md5Of(picture);
    EXPECT_EQ(info, Concat({{0x01, 0x10}, Bytes(digest.begin(), digest.end())}));

    // The server lacks it: the picture goes up on the avatar connection.
    h_.ServerSends(0x01, 0x21, OwnPictureNote(picture, 0x41));
    auto upload = avatar_.Server().WaitForFrame(ScriptedServer::IsSnac(0x10, 0x02));
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->snacData(), Concat({{0x00, 0x01, static_cast<uint8_t>(picture.size() >> 8),
                                           static_cast<uint8_t>(picture.size())},
                                          picture}));
    h_.ServerSends(0x01, 0x21, OwnPictureNote(picture, 0x01));
    Settle();
    EXPECT_EQ(h_.Account().OwnerAvatar(), picture);
    EXPECT_TRUE(avatar_.Requests().empty());  // nothing downloaded of one's own

    // Removed: the same item now carries the no-picture marker.
    h_.Account().ChangeOwnPicture({});
    const auto [sameId, cleared] = Announced(0x09);
    EXPECT_EQ(sameId, itemId);
    EXPECT_EQ(cleared, (Bytes{0x00, 0x05, 0x02, 0x01, 0xD2, 0x04, 0x72}));
    EXPECT_FALSE(h_.Account().HasOwnerAvatar());
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST_F(OwnPictureTest, WhatTheServerSaysOfOtherPicturesNeverReplacesOrUploadsTheChosenOne) {
    const Bytes picture = PngOf(6, 500);
    const Bytes older = PngOf(7, 300);
    const Bytes stranger = PngOf(8, 200);
    // Neither a file that is no picture nor one too large is taken.
    EXPECT_EQ(h_.Account().ChangeOwnPicture(Bytes(100, 'x')),
              CAccount::PictureProblem::kNotAnImage);
    EXPECT_EQ(h_.Account().ChangeOwnPicture(PngOf(1, CAccount::kMaxOwnPictureBytes + 1)),
              CAccount::PictureProblem::kTooLarge);
    EXPECT_FALSE(h_.Account().HasOwnerAvatar());

    ASSERT_EQ(h_.Account().ChangeOwnPicture(picture), CAccount::PictureProblem::kNone);
    Announced(0x08);
    const std::vector<Bytes> notes = {
        OwnPictureNote(older, 0x01),     // what the server had before: not downloaded
        OwnPictureNote(stranger, 0x41),  // a picture it lacks that is not ours: not uploaded
        Bytes{0x00, 0x01, 0x01, 0x10, 0xAA, 0xBB},  // cut short
    };
    for (const Bytes& note : notes) h_.ServerSends(0x01, 0x21, note);
    Settle();
    EXPECT_FALSE(h_.Account().PictureUploadOwed());
    // Then the server asks for ours, and refuses it as too big.
    uploadResult_ = 0x04;
    h_.ServerSends(0x01, 0x21, OwnPictureNote(picture, 0x41));
    ASSERT_TRUE(avatar_.Server().WaitForFrame(ScriptedServer::IsSnac(0x10, 0x02)));
    ASSERT_TRUE(
        WaitFor([&] { return h_.Account().StatusText().find(u"(4)") != std::u16string::npos; }));
    EXPECT_EQ(avatar_.Server().CountFrames(ScriptedServer::IsSnac(0x10, 0x02)), 1u);
    EXPECT_TRUE(avatar_.Requests().empty());
    EXPECT_EQ(h_.Account().OwnerAvatar(), picture);
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST(PictureInfo, BlankMarkersAndDigests) {
    const Bytes data = {'a', 'b', 'c'};
    const Bytes info = test::PictureInfo(data);
    EXPECT_TRUE(MD5Matches(info.data() + 4, 16, data));
    EXPECT_FALSE(MD5Matches(info.data() + 4, 16, Bytes{'a', 'b'}));
    EXPECT_TRUE(MD5Matches(info.data() + 4, 4, data));
    EXPECT_TRUE(IsBlankPicture(Bytes{0x00, 0x01, 0x00, 0x05, 0x02, 0x01, 0xD2, 0x04, 0x72}));
    EXPECT_FALSE(IsBlankPicture(Bytes{0x00, 0x01, 0x00, 0x05, 0x02, 0x01, 0xD2, 0x04}));
    EXPECT_FALSE(IsBlankPicture(info));
}

}  // namespace
}  // namespace zul
