// The rooms of an account in the profile: names told apart as the servers do, the kept mark
// and the history across a reload, a forgotten room's history gone with it, and a profile
// made before rooms existed opening with everything it held.
#include "storage/rooms.h"

#include <gtest/gtest.h>

#include "storage/profile_fixture.h"

namespace zul {
namespace {

class RoomsTest : public test::ProfileTest {};

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST_F(RoomsTest, NamesAreFoundAsTheServersSpellThemAndBadNamesAreRefused) {
    CRoomList rooms(77);
    RoomPtr lounge = rooms.Open(4, u"Night Lounge");
    ASSERT_TRUE(lounge);
    struct Case {
        uint16_t exchange;
        std::u16string name;
        bool same;
    };
    const Case cases[] = {{4, u"nightlounge", true},
                          {4, u"NIGHT LOUNGE", true},
                          {5, u"Night Lounge", false},
                          {4, u"Night Lounge 2", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        EXPECT_EQ(rooms.Find(c.exchange, c.name) == lounge, c.same);
        EXPECT_EQ(rooms.Open(c.exchange, c.name) == lounge, c.same);
    }
    EXPECT_FALSE(rooms.Open(4, u"   "));
    EXPECT_FALSE(rooms.Open(4, std::u16string(CRoomList::kMaxNameLength + 1, u'x')));
    EXPECT_EQ(rooms.All().size(), 3u);
}

TEST_F(RoomsTest, KeptMarksAndHistoryOutliveTheListAndForgettingDropsTheHistory) {
    int64_t loungeId = 0;
    {
        CRoomList rooms(77);
        RoomPtr lounge = rooms.Open(4, u"Lounge");
        RoomPtr den = rooms.Open(4, u"Den");
        loungeId = lounge->Id();
        den->SetKept(false);
        ASSERT_TRUE(lounge->AddEvent({0, 0, RoomEvent::kJoined, u"Bob", u""}));
        ASSERT_TRUE(lounge->AddEvent({0, 0, RoomEvent::kIncoming, u"Bob", u"hi all"}));
        ASSERT_TRUE(lounge->AddEvent({0, 0, RoomEvent::kOutgoing, u"me", u"hello"}));
        // Another account's room of the same name is another room.
        CRoomList other(78);
        EXPECT_NE(other.Open(4, u"Lounge")->Id(), loungeId);
    }
    CRoomList again(77);
    ASSERT_TRUE(again.Load());
    RoomPtr lounge = again.Find(loungeId);
    ASSERT_TRUE(lounge);
    EXPECT_TRUE(lounge->Kept());
    EXPECT_FALSE(again.Find(4, u"Den")->Kept());
    const std::vector<RoomEvent> events = lounge->Recent();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, RoomEvent::kJoined);
    EXPECT_EQ(events[1].text, u"hi all");
    EXPECT_EQ(events[2].who, u"me");
    EXPECT_LT(events[1].number, events[2].number);
    // What arrives after the first read joins the window in order.
    lounge->AddEvent({0, 0, RoomEvent::kLeft, u"Bob", u""});
    EXPECT_EQ(lounge->Recent().back().kind, RoomEvent::kLeft);

    ASSERT_TRUE(again.Forget(loungeId));
    EXPECT_FALSE(again.Find(loungeId));
    EXPECT_EQ(
        Scalar(u"SELECT COUNT(*) FROM RoomHistory WHERE RoomID=" + Wide(std::to_string(loungeId))),
        0);
    // Removing the account removes its rooms.
    Exec(u"INSERT INTO Accounts (ID, Type, Login) VALUES (77, 1, 'a')");
    Exec(u"DELETE FROM Accounts WHERE ID=77");
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Rooms WHERE AccID=77"), 0);
}

TEST_F(RoomsTest, AProfileMadeBeforeRoomsOpensWithItsRowsAndGainsTheTables) {
    Exec(u"INSERT INTO Accounts (ID, Type, Login) VALUES (5, 1, 'old')");
    Exec(u"DROP TABLE RoomHistory");
    Exec(u"DROP TABLE Rooms");
    Database().Close();
    ASSERT_TRUE(Database().Open());
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM Accounts WHERE Login='old'"), 1);
    CRoomList rooms(5);
    RoomPtr room = rooms.Open(4, u"New");
    ASSERT_TRUE(room);
    EXPECT_TRUE(room->AddEvent({0, 0, RoomEvent::kNotice, u"", u"first"}));
}

TEST(RoomMembers, JoinsAndLeavesReportOnlyRealChangesAndStopAtTheLimit) {
    CRoom room(1, 1, 4, u"x", true);
    EXPECT_EQ(room.AddMembers({u"Bob", u"bob", u"B o b", u"Ann", u""}),
              (std::vector<std::u16string>{u"Bob", u"Ann"}));
    EXPECT_EQ(room.RemoveMembers({u"BOB", u"Zed"}), (std::vector<std::u16string>{u"Bob"}));
    EXPECT_EQ(room.Members(), (std::vector<std::u16string>{u"Ann"}));
    std::vector<std::u16string> many;
    for (size_t i = 0; i < CRoom::kMaxMembers + 5; ++i) {
        many.push_back(u"m" + Wide(std::to_string(i)));
    }
    room.AddMembers(many);
    EXPECT_EQ(room.MemberCount(), CRoom::kMaxMembers);
}

}  // namespace
}  // namespace zul
