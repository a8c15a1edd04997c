// Chat rooms end to end against the scripted navigation and room servers: a join by name with
// its own connection, members and messages both ways, leaving; invitations both ways; the
// rejoin at sign-on; and hostile servers whose faults cost one room at most.
#include <gtest/gtest.h>

#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_links.h"
#include "storage/database.h"
#include "storage/options.h"
#include "support/chat_server.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ChatServer;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;
using Command = CAccount::RoomCommand;

Bytes Ucs2(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return out;
}

Bytes Ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

bool IsServiceRequest(const ReceivedFrame& f, uint16_t family) {
    const Bytes body = f.snacData();
    return f.IsSnac(0x01, 0x04) && body.size() >= 2 && body[0] == 0 && body[1] == family;
}

struct Row {
    int kind;
    std::u16string who, text;
    bool operator==(const Row&) const = default;
};

class ChatRoomTest : public ::testing::Test {
  protected:
    ChatRoomTest() { chat_.ServeRedirectsOn(h_.ServiceServer()); }

    CRoomList& Rooms() { return h_.Account().Rooms(); }
    RoomPtr WaitForState(const std::u16string& name, RoomState state) {
        RoomPtr found;
        SessionHarness::WaitUntil([&] {
            found = Rooms().Find(4, name);
            return found && found->State() == state;
        });
        return found && found->State() == state ? found : nullptr;
    }
    RoomPtr Join(const std::u16string& name) {
        h_.Account().RequestRoom(Command::Join(name));
        return WaitForState(name, RoomState::kIn);
    }
    void ToRoom(const std::string& cookie, uint16_t subtype, const Bytes& body) {
        chat_.Server().Send(test::SnacFrame(0x0E, subtype, body), *chat_.RoomConnection(cookie));
    }
    static std::vector<Row> History(const RoomPtr& room) {
        std::vector<Row> rows;
        for (const RoomEvent& e : room->Recent()) rows.push_back({e.kind, e.who, e.text});
        return rows;
    }
    static int StoredRows(const RoomPtr& room) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command =
            Database().Prepare(u"SELECT COUNT(*) FROM RoomHistory WHERE RoomID=?");
        command.BindInt64(1, room->Id());
        return Database().ExecuteScalar(command);
    }

    ChatServer chat_;
    SessionHarness h_;
};

TEST_F(ChatRoomTest, AJoinByNameOpensTheRoomsConnectionAndCarriesMembersAndMessages) {
    chat_.SetMembers({"12345", "Bob"});
    ASSERT_TRUE(h_.SignOn(0));
    RoomPtr room = Join(u"Lounge");
    ASSERT_TRUE(room);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return room->MemberCount() == 2; }));
    EXPECT_EQ(room->Members(), (std::vector<std::u16string>{u"12345", u"Bob"}));

    // The navigation: its service, then the room created or found by name on exchange 4.
    ScriptedServer& service = h_.ServiceServer();
    auto navRequest = service.WaitForFrame([](const auto& f) { return IsServiceRequest(f, 0x0D); });
    ASSERT_TRUE(navRequest);
    EXPECT_EQ(navRequest->snacData(), (Bytes{0x00, 0x0D}));
    auto create = chat_.Server().WaitForFrame(ScriptedServer::IsSnac(0x0D, 0x08));
    ASSERT_TRUE(create);
    ByteWriter expected;
    expected.U16(4).U8(6).Raw("create").U16(0xFFFF).U8(1).U16(3);
    expected.Tlv(0xD3, "Lounge").Tlv(0xD6, "us-ascii").Tlv(0xD7, "en");
    EXPECT_EQ(create->snacData(), expected.bytes);
    // The room's service, asked with the room's reference.
    auto roomRequest =
        service.WaitForFrame([](const auto& f) { return IsServiceRequest(f, 0x0E); });
    ASSERT_TRUE(roomRequest);
    EXPECT_EQ(
        roomRequest->snacData(),
        test::Concat(
            {{0x00, 0x0E}, ByteWriter().Tlv(0x0001, test::RoomRefWire(4, "4-0-Lounge", 0)).bytes}));
    // The room's own sign-on: cookie, versions, its own rate classes, ready.
    const int connection = *chat_.RoomConnection("4-0-Lounge");
    const std::vector<ReceivedFrame> signOn = chat_.Server().Frames(connection);
    ASSERT_GE(signOn.size(), 5u);
    EXPECT_EQ(signOn[0].channel, 0x01);
    EXPECT_EQ(signOn[0].sequence, 1);
    EXPECT_EQ(signOn[1].snacData(), (Bytes{0, 1, 0, 4, 0, 0x0E, 0, 1}));
    EXPECT_TRUE(signOn[2].IsSnac(0x01, 0x06));
    EXPECT_EQ(signOn[3].snacData(), (Bytes{0, 1, 0, 2, 0, 3, 0, 4, 0, 5}));
    EXPECT_EQ(signOn[4].snacData(),
              (Bytes{0, 1, 0, 4, 0, 0x10, 0x16, 0x4F, 0, 0x0E, 0, 1, 0, 0x10, 0x16, 0x4F}));

    // Members come and go; a message arrives as UCS-2 HTML and is stored as plain text.
    ToRoom("4-0-Lounge", 0x03, test::MemberList({"Carol"}));
    ToRoom("4-0-Lounge", 0x04, test::MemberList({"Bob"}));
    ToRoom("4-0-Lounge", 0x06,
           test::RoomMessageWire("Carol", "unicode-2-0",
                                 Ucs2(u"<HTML><BODY>Gr\u00FC\u00DFe &amp; hi</BODY></HTML>")));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return room->Recent().size() == 3; }));
    EXPECT_EQ(room->Members(), (std::vector<std::u16string>{u"12345", u"Carol"}));

    // Our line goes out on the room's connection, ASCII as such, the rest as UCS-2.
    h_.Account().RequestRoom(Command::Say(room->Id(), u"hi \u03A9"));
    auto said = chat_.Server().WaitForFrame(ScriptedServer::IsSnac(0x0E, 0x05));
    ASSERT_TRUE(said);
    ByteWriter info;
    info.Tlv(0x0002, "unicode-2-0").Tlv(0x0003, "en").Tlv(0x0001, Ucs2(u"hi \u03A9"));
    const Bytes body = said->snacData();
    EXPECT_EQ(said->connection, connection);
    EXPECT_EQ(Bytes(body.begin() + 8, body.end()),
              ByteWriter().U16(3).Tlv(0x0001, "").Tlv(0x0005, info.bytes).bytes);

    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return StoredRows(room) == 4; }));
    EXPECT_EQ(History(room), (std::vector<Row>{{RoomEvent::kJoined, u"Carol", u""},
                                               {RoomEvent::kLeft, u"Bob", u""},
                                               {RoomEvent::kIncoming, u"Carol", u"Grüße & hi"},
                                               {RoomEvent::kOutgoing, u"12345", u"hi \u03A9"}}));

    // Leaving says goodbye on the room's connection and closes it; the session stays.
    h_.Account().RequestRoom(Command::Leave(room->Id()));
    ASSERT_TRUE(chat_.Server().WaitForClientClose(connection));
    EXPECT_EQ(chat_.Server().Frames(connection).back().channel, 0x04);
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return !room->Kept(); }));
    EXPECT_EQ(room->State(), RoomState::kOut);
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST_F(ChatRoomTest, InvitationsGoOutAndComeInAsChatRendezvous) {
    ASSERT_TRUE(h_.SignOn(0));
    RoomPtr lounge = Join(u"Lounge");
    ASSERT_TRUE(lounge);
    h_.Account().RequestRoom(Command::Invite(lounge->Id(), u"Bob", u"come"));
    auto sent = h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x06));
    ASSERT_TRUE(sent);
    const Bytes body = sent->snacData();
    ASSERT_GT(body.size(), 14u);
    EXPECT_EQ(Bytes(body.begin() + 8, body.begin() + 14), (Bytes{0, 2, 3, 'B', 'o', 'b'}));
    const std::vector<test::WireTlv> tlvs = test::ParseTlvs(std::span(body).subspan(14));
    const test::WireTlv* rdv = test::FindTlv(tlvs, 0x0005);
    ASSERT_TRUE(rdv);
    ASSERT_GT(rdv->value.size(), 26u);
    EXPECT_EQ(Bytes(rdv->value.begin() + 10, rdv->value.begin() + 26),
              (Bytes{0x74, 0x8F, 0x24, 0x20, 0x62, 0x87, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53,
                     0x54, 0x00, 0x00}));
    const std::vector<test::WireTlv> inner = test::ParseTlvs(std::span(rdv->value).subspan(26));
    const test::WireTlv* ref = test::FindTlv(inner, 0x2711);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->value, test::RoomRefWire(4, "4-0-Lounge", 0));

    // Invitations from a contact and from a stranger; one is declined, one accepted.
    h_.Contacts().AddNewContact(&h_.Account(), ContactFields{.login = u"Ann", .nickname = u"Ann"},
                                true, false);
    h_.ServerSends(0x04, 0x07,
                   test::InvitationWire("Ann", test::RoomRefWire(4, "4-0-Attic", 0), "hi"));
    h_.ServerSends(0x04, 0x07,
                   test::InvitationWire("Zed", test::RoomRefWire(4, "4-0-Den", 0), "yo"));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return Rooms().Invitations().size() == 2; }));
    const std::vector<RoomInvitation> invitations = Rooms().Invitations();
    EXPECT_EQ(invitations[0].from, u"Ann");
    EXPECT_FALSE(invitations[0].stranger);
    EXPECT_EQ(invitations[1].from, u"Zed");
    EXPECT_TRUE(invitations[1].stranger);
    EXPECT_EQ(invitations[1].roomName, u"Den");
    EXPECT_EQ(invitations[1].text, u"yo");

    h_.Account().RequestRoom(Command::Answer(invitations[0].id, false));
    ASSERT_TRUE(h_.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x04, 0x06), 2));
    const Bytes decline = h_.ServiceServer().Frames().back().snacData();
    EXPECT_EQ(Bytes(decline.begin(), decline.begin() + 8),
              (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0x11, 0x22, 0x33, 0x44}));

    h_.Account().RequestRoom(Command::Answer(invitations[1].id, true));
    RoomPtr den = WaitForState(u"Den", RoomState::kIn);
    ASSERT_TRUE(den);
    // The navigation is asked about the invitation's room before the room's service.
    auto info = chat_.Server().WaitForFrame(ScriptedServer::IsSnac(0x0D, 0x04));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->snacData(), test::Concat({test::RoomRefWire(4, "4-0-Den", 0), {0x01}}));
    EXPECT_TRUE(chat_.RoomConnection("4-0-Den"));
    EXPECT_TRUE(Rooms().Invitations().empty());
    EXPECT_FALSE(Rooms().Find(4, u"Attic"));
}

// Servers that send what no room should: each costs one room or one frame, is said plainly,
// stores nothing wrong, and the session and the other rooms go on.
TEST_F(ChatRoomTest, HostileRoomAnswersCostOneRoomAtMost) {
    chat_.SetMembers({"12345"});
    ASSERT_TRUE(h_.SignOn(0));
    RoomPtr lounge = Join(u"Lounge");
    ASSERT_TRUE(lounge);

    // A room name of 64 KB in the answer to a create.
    chat_.SetAnsweredName(std::string(65400, 'x'));
    h_.Account().RequestRoom(Command::Join(u"Big"));
    RoomPtr big = WaitForState(u"Big", RoomState::kFailed);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->Problem(), ResString(1105));
    EXPECT_EQ(History(big), (std::vector<Row>{{RoomEvent::kNotice, u"", ResString(1105)}}));
    chat_.SetAnsweredName(std::nullopt);

    // A member list of 10,000 in frames as large as they come: all members kept, the history
    // names a few and counts the rest.
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) names.push_back("m" + std::to_string(10000 + i));
    for (size_t at = 0; at < names.size(); at += 3500) {
        const size_t end = std::min(names.size(), at + 3500);
        ToRoom("4-0-Lounge", 0x03,
               test::MemberList(std::vector<std::string>(names.begin() + at, names.begin() + end)));
    }
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return lounge->MemberCount() == 10001; }));
    EXPECT_LE(StoredRows(lounge), 3 * 21);
    EXPECT_EQ(History(lounge).back().text, FormatInt(ResString(1106), 10000 - 2 * 3500 - 20));

    // A member list cut short and a message without a sender are dropped whole.
    Bytes cut = test::MemberList({"Eve"});
    cut.pop_back();
    ToRoom("4-0-Lounge", 0x03, cut);
    ToRoom("4-0-Lounge", 0x06, ByteWriter().U32(1).U32(2).U16(3).Tlv(0x0005, "x").bytes);
    ToRoom("4-0-Lounge", 0x06, test::RoomMessageWire("m10001", "us-ascii", Ascii("still here")));
    ASSERT_TRUE(
        SessionHarness::WaitUntil([&] { return History(lounge).back().text == u"still here"; }));
    EXPECT_EQ(lounge->MemberCount(), 10001u);

    // An invitation whose room reference claims more bytes than it has.
    h_.ServerSends(
        0x04, 0x07,
        test::InvitationWire("Mallory", ByteWriter().U16(4).U8(200).Raw("4-0").bytes, "trust me"));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return Rooms().Invitations().size() == 1; }));
    const RoomInvitation bad = Rooms().Invitations()[0];
    EXPECT_EQ(bad.from, u"Mallory");
    EXPECT_TRUE(bad.stranger);
    EXPECT_EQ(bad.problem, ResString(1108));
    const size_t requests =
        h_.ServiceServer().CountFrames([](const auto& f) { return IsServiceRequest(f, 0x0E); });
    h_.Account().RequestRoom(Command::Answer(bad.id, true));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return Rooms().Invitations().empty(); }));

    // The room's connection drops: that room fails, the session and the next join go on.
    chat_.Server().Close(*chat_.RoomConnection("4-0-Lounge"));
    ASSERT_TRUE(WaitForState(u"Lounge", RoomState::kFailed));
    EXPECT_EQ(lounge->Problem(), ResString(1104));
    EXPECT_TRUE(Join(u"Den"));
    EXPECT_EQ(
        h_.ServiceServer().CountFrames([](const auto& f) { return IsServiceRequest(f, 0x0E); }),
        requests + 1);
    EXPECT_EQ(h_.Account().Status(), 0);
    EXPECT_EQ(Rooms().All().size(), 3u);  // Lounge, Big, Den: nothing named by the server
}

class ChatRejoinTest : public ChatRoomTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChatRejoinTest, KeptRoomsAreJoinedAtSignOnWhenTheOptionSaysSo) {
    const int32_t before = Options().RejoinRooms;
    Options().RejoinRooms = GetParam() ? 1 : 0;
    // Offline, a join only keeps the room.
    h_.Account().RequestRoom(Command::Join(u"Lounge"));
    ASSERT_TRUE(Rooms().Find(4, u"Lounge"));
    ASSERT_TRUE(h_.SignOn(0));
    if (GetParam()) {
        EXPECT_TRUE(WaitForState(u"Lounge", RoomState::kIn));
    } else {
        EXPECT_FALSE(SessionHarness::WaitUntil(
            [&] {
                return h_.ServiceServer().CountFrames(
                           [](const auto& f) { return IsServiceRequest(f, 0x0D); }) > 0;
            },
            std::chrono::milliseconds(1500)));
        EXPECT_EQ(Rooms().Find(4, u"Lounge")->State(), RoomState::kOut);
    }
    Options().RejoinRooms = before;
}

INSTANTIATE_TEST_SUITE_P(Option, ChatRejoinTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

}  // namespace
}  // namespace zul
