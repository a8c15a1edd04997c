// Presence notices from the scripted service server to a signed-on session: statuses, status
// texts, moods, the quiet start and picture hashes, as the contacts in the profile show them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>

#include "platform/power.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/status.h"
#include "support/avatar_server.h"
#include "support/presence_notice.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ClassTlv;
using test::Concat;
using test::Item;
using test::MoodItem;
using test::SessionDataTlv;
using test::SessionHarness;
using test::StatusTextItem;
using test::StatusTlv;
using test::TextTimeItem;
using test::UserBlock;

// A tick that runs with the real clock plus an offset the test moves forward.
std::atomic<uint32_t> g_tickOffset{0};
uint32_t OffsetTick() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms) + g_tickOffset.load();
}

// Installs the offset tick for the lifetime of the object (declared before the session, so
// the session is gone before the real tick returns).
struct InjectedClock {
    InjectedClock() {
        g_tickOffset = 0;
        SetTickSource(&OffsetTick);
    }
    ~InjectedClock() {
        SetTickSource(nullptr);
        SetDevicePowerOn(true);
    }
    void Advance(uint32_t ms) { g_tickOffset += ms; }
};

class PresenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ada_ = Add(u"67890");
        bob_ = Add(u"55555");
        ASSERT_TRUE(ada_ && bob_);
        ASSERT_TRUE(h_.SignOn(0));
    }

    ContactPtr Add(const std::u16string& login) {
        return h_.Contacts().AddNewContact(
            &h_.Account(), ContactFields{.login = login, .nickname = login}, true, false);
    }
    void Online(const std::vector<Bytes>& blocks) { h_.ServerSends(0x03, 0x0B, Concat(blocks)); }
    void Offline(const std::vector<Bytes>& blocks) { h_.ServerSends(0x03, 0x0C, Concat(blocks)); }
    // The harness's own limit: a thread-sanitizer build on a loaded machine needed more than
    // five seconds for one notice.
    static bool WaitFor(const std::function<bool()>& condition) {
        return SessionHarness::WaitUntil(condition);
    }
    // Sends a notice that sets a third contact's status and waits for it: everything sent
    // before has been handled.
    void Sync() {
        static uint16_t word = 0x0001;
        word = word == 0x0001 ? 0x0004 : 0x0001;  // away, not available
        if (!sync_) sync_ = Add(u"11111");
        const int32_t expected = word == 0x0001 ? 10 : 30;
        Online({UserBlock("11111", {StatusTlv(word)})});
        ASSERT_TRUE(WaitFor([&] { return sync_->Status() == expected; }));
    }
    // The picture hashes announced so far have been compared (the session does it once the
    // line is quiet).
    void ChecksDone() {
        ASSERT_TRUE(WaitFor([&] { return h_.Account().PictureChecksWaiting() == 0; }));
    }
    static std::vector<int32_t> StatusEvents(const CContact& contact) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(
            u"SELECT Status FROM History WHERE ContactID=? AND EventType=1 ORDER BY Number");
        command.BindInt(1, contact.LocalID());
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        std::vector<int32_t> out;
        for (; !rows.IsEnd(); rows.Next()) out.push_back(rows.IntColumn(0));
        rows.Finalize();
        command.Finalize();
        return out;
    }

    InjectedClock clock_;
    SessionHarness h_;
    ContactPtr ada_, bob_, sync_;
};

TEST_F(PresenceTest, EveryBlockOfANoticeIsOneUpdateInOrder) {
    Online({UserBlock("67890", {StatusTlv(0x0001)}), UserBlock("67890", {StatusTlv(0x0010)}),
            UserBlock("55555", {StatusTlv(0x0002)})});
    ASSERT_TRUE(WaitFor([&] { return bob_->Status() == 20; }));
    EXPECT_EQ(ada_->Status(), 40);
    // Both of Ada's changes were applied in order; the second came within seconds of the
    // first, so its row took the first one's place.
    EXPECT_EQ(StatusEvents(*ada_), (std::vector<int32_t>{40}));
}

TEST_F(PresenceTest, AFlappingContactWritesOneRowPerSettledStatus) {
    // Fifty changes in a burst, as a server replaying presence sends them: one row, the last
    // status; the history is not flooded.
    for (int i = 0; i < 50; ++i) {
        Online({UserBlock("67890", {StatusTlv(i % 2 == 0 ? 0x0001 : 0x0010)})});
    }
    // Ada passes through 40 twenty-five times: Bob's notice after hers says all of them
    // were handled.
    Online({UserBlock("55555", {StatusTlv(0x0002)})});
    ASSERT_TRUE(WaitFor([&] { return bob_->Status() == 20; }));
    EXPECT_EQ(ada_->Status(), 40);
    ASSERT_TRUE(WaitFor([&] { return StatusEvents(*ada_).size() == 1; }));
    EXPECT_EQ(StatusEvents(*ada_), (std::vector<int32_t>{40}));
    // A change seconds later is a new row, and a message between two changes keeps both.
    clock_.Advance(6000);
    Online({UserBlock("67890", {StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return StatusEvents(*ada_).size() == 2; }));
    ada_->AddMessage(evdir::kIncoming, u"back", 0, kStatusAvailable, kMoodNone);
    Online({UserBlock("67890", {StatusTlv(0x0001)})});
    EXPECT_TRUE(WaitFor([&] {
        return StatusEvents(*ada_) == std::vector<int32_t>{40, 0, 10};
    })) << StatusEvents(*ada_).size()
        << " status rows";
}

TEST_F(PresenceTest, StatusComesFromTheNoticeKindTheStatusWordOrTheUserClass) {
    Online({UserBlock("67890", {StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 0; }));

    // A departure that still carries a status is offline.
    Offline({UserBlock("67890", {StatusTlv(0x0001), ClassTlv(0x0010)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == -1; }));

    // Without a status word the away bit of the user class decides.
    Online({UserBlock("67890", {ClassTlv(0x0030)}), UserBlock("55555", {ClassTlv(0x0010)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 10 && bob_->Status() == 0; }));

    // Servers send AIM users a status word of "available" and mark away by the class bit
    // alone; an ICQ status word other than available stays as it is. The idle time (minutes)
    // is kept and cleared by a notice without it.
    const Bytes idle = test::ByteWriter().TlvU16(0x0004, 12).bytes;
    Online({UserBlock("67890", {ClassTlv(0x0030), StatusTlv(0x0000), idle}),
            UserBlock("55555", {ClassTlv(0x0030), StatusTlv(0x0010)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 10 && bob_->Status() == 40; }));
    const auto idleFor = static_cast<int64_t>(std::time(nullptr)) - ada_->IdleSince();
    EXPECT_TRUE(idleFor >= 720 && idleFor < 780) << idleFor;
    EXPECT_EQ(bob_->IdleSince(), 0u);
    EXPECT_EQ(StatusWithIdle(acctype::kIcq, 10, 1000, 1000 + 720), u"Away, idle 12 min");
    EXPECT_EQ(StatusWithIdle(acctype::kIcq, 10, 1000, 1000 + 3 * 3600), u"Away, idle 3 h");
    Online({UserBlock("67890", {ClassTlv(0x0010), StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 0 && ada_->IdleSince() == 0; }));

    // A block without TLVs is an arrival in status online.
    Online({UserBlock("67890", {})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 0; }));
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST_F(PresenceTest, ShortStatusWordsWideUserClassesAndTextEncodingsAsServersSendThem) {
    // A status TLV of two bytes is the status word alone (some servers send it so).
    Online({UserBlock("67890", {test::ByteWriter().TlvU16(0x0006, 0x0001).bytes})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 10; }));
    // A user class of four bytes keeps its away bit.
    Online({UserBlock("55555", {test::ByteWriter().TlvU32(0x0001, 0x00000030).bytes})});
    ASSERT_TRUE(WaitFor([&] { return bob_->Status() == 10; }));

    // A text item that ends right after its text is UTF-8; the encoding word names UCS-2.
    test::ByteWriter bare;
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F";
    bare.U16(static_cast<uint16_t>(utf8.size())).Raw(utf8);
    Online({UserBlock("67890",
                      {SessionDataTlv({test::Item(0x0002, 0x04, bare.bytes), TextTimeItem(20)})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->StatusText() == u"Grüß"; }));
    test::ByteWriter ucs2;
    ucs2.U16(4).U16(0x041F).U16(0x0440).U16(2);  // "Пр", UCS-2
    Online({UserBlock("55555",
                      {SessionDataTlv({test::Item(0x0002, 0x04, ucs2.bytes), TextTimeItem(21)})})});
    ASSERT_TRUE(WaitFor([&] { return bob_->StatusText() == u"Пр"; }));
}

TEST_F(PresenceTest, StatusTextChangesOnlyWhenItsTimeIsNewer) {
    Online({UserBlock("67890", {SessionDataTlv({StatusTextItem("Busy"), TextTimeItem(7)})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->StatusText() == u"Busy"; }));

    // Time 5 after 7 in the same session marks nothing, even for another contact.
    Online({UserBlock("55555", {SessionDataTlv({StatusTextItem("Later"), TextTimeItem(5)})})});
    // Without a time item a text "?" leaves the stored text.
    Online({UserBlock("67890", {StatusTlv(0x0001), SessionDataTlv({StatusTextItem("?")})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 10 && bob_->Status() == 0; }));
    EXPECT_EQ(bob_->StatusText(), u"");
    EXPECT_EQ(ada_->StatusText(), u"Busy");

    // With a newer time, "?" is an empty text.
    Online({UserBlock("67890", {SessionDataTlv({StatusTextItem("?"), TextTimeItem(9)})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->StatusText().empty(); }));

    // A code page other than UTF-8 is named by the encoding word.
    Online({UserBlock("55555", {SessionDataTlv({StatusTextItem("\xCF\xF0\xE8\xE2\xE5\xF2", 1251),
                                                TextTimeItem(10)})})});
    ASSERT_TRUE(WaitFor([&] { return bob_->StatusText() == u"Привет"; }));
}

TEST_F(PresenceTest, MoodNamesGiveTheirIndex) {
    Online({UserBlock("67890", {SessionDataTlv({MoodItem("icqmood23")})}),
            UserBlock("55555", {SessionDataTlv({MoodItem("icqmood7")})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Mood() == 23 && bob_->Mood() == 7; }));
    Online({UserBlock("55555", {SessionDataTlv({MoodItem("icqmood24")})})});
    ASSERT_TRUE(WaitFor([&] { return bob_->Mood() == -1; }));
}

TEST_F(PresenceTest, ArrivalsAreQuietForTwoMinutesAfterSignOnAndWhileTheDeviceSleeps) {
    Online({UserBlock("67890", {StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 0; }));
    EXPECT_FALSE(ada_->JustCameOnline());

    clock_.Advance(120001);
    Offline({UserBlock("67890", {})});
    Online({UserBlock("67890", {StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return ada_->JustCameOnline(); }));

    SetDevicePowerOn(false);
    Online({UserBlock("55555", {StatusTlv(0x0000)})});
    ASSERT_TRUE(WaitFor([&] { return bob_->Status() == 0; }));
    EXPECT_FALSE(bob_->JustCameOnline());
}

TEST_F(PresenceTest, PictureHashesQueueOneDownloadPerNameUnlessTheStoredPictureMatches) {
    const Bytes picture = {0x89, 'P', 'N', 'G', 1, 2, 3};
    const Bytes info = test::PictureInfo(picture);
    Online({UserBlock(
        "67890", {SessionDataTlv({Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()))})})});
    Online({UserBlock(
        "67890", {SessionDataTlv({Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()))})})});
    // Bob already has the announced picture.
    bob_->SetPicture(picture.data(), picture.size(), true);
    Online({UserBlock(
        "55555", {SessionDataTlv({Item(0x000C, 0x01, Bytes(info.begin() + 4, info.end()))})})});
    Sync();
    ChecksDone();
    EXPECT_EQ(h_.Account().Avatars().Count(), 1u);

    // The service server is asked for the avatar service on the next idle passes.
    EXPECT_TRUE(h_.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x01, 0x04)));
}

TEST_F(PresenceTest, APictureStoredSinceTheLastCheckIsComparedAfresh) {
    const Bytes first = {0x89, 'P', 'N', 'G', 1};
    const Bytes second = {0x89, 'P', 'N', 'G', 2};
    const Bytes info = test::PictureInfo(first);
    const auto announce = [&] {
        Online({UserBlock(
            "55555", {SessionDataTlv({Item(0x0001, 0x01, Bytes(info.begin() + 4, info.end()))})})});
        Sync();
        ChecksDone();
    };
    bob_->SetPicture(first.data(), first.size(), true);
    announce();
    EXPECT_EQ(h_.Account().Avatars().Count(), 0u);
    // Another picture came meanwhile: the announced one is not it any more.
    bob_->SetPicture(second.data(), second.size(), true);
    announce();
    EXPECT_EQ(h_.Account().Avatars().Count(), 1u);
}

TEST_F(PresenceTest, BlankMarkersAndTheResetItemClearTheStoredPicture) {
    const Bytes picture = {1, 2, 3, 4};
    ada_->SetPicture(picture.data(), picture.size(), true);
    bob_->SetPicture(picture.data(), picture.size(), true);
    const Bytes blank = {0x96, 0xED, 0x68, 0xCC, 0x1A, 0xFB, 0x07, 0x8A,
                         0x6D, 0x7B, 0x8D, 0xF8, 0x00, 0x00, 0x00, 0x00};
    Online({UserBlock("67890", {SessionDataTlv({Item(0x000C, 0x01, blank)})}),
            UserBlock("55555", {SessionDataTlv({Item(0x0008, 0x00, {})})})});
    ASSERT_TRUE(WaitFor([&] { return !ada_->HasPicture() && !bob_->HasPicture(); }));
    EXPECT_EQ(h_.Account().Avatars().Count(), 0u);
    // The short marker a contact's removal of its picture brings on some servers.
    ada_->SetPicture(picture.data(), picture.size(), true);
    Online({UserBlock(
        "67890", {SessionDataTlv({Item(0x0001, 0x00, Bytes{0x02, 0x01, 0xD2, 0x04, 0x72})})})});
    ASSERT_TRUE(WaitFor([&] { return !ada_->HasPicture(); }));
    EXPECT_EQ(h_.Account().Avatars().Count(), 0u);
}

TEST_F(PresenceTest, DamagedNoticesStayInsideTheFrame) {
    // An item that claims more bytes than its TLV holds is not used; the block still counts.
    const Bytes longItem = Concat({ByteWriter().U16(0x0002).U8(0x04).U8(200).bytes,
                                   ByteWriter().U16(3).Raw("abc").U16(0).bytes});
    // A status text whose length runs past its item.
    const Bytes longText = Item(0x0002, 0x04, ByteWriter().U16(90).Raw("abc").U16(0).bytes);
    Online({UserBlock("67890", {StatusTlv(0x0001), ByteWriter().Tlv(0x001D, longItem).bytes}),
            UserBlock("55555", {StatusTlv(0x0004), SessionDataTlv({longText, TextTimeItem(3)})})});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 10 && bob_->Status() == 30; }));
    EXPECT_EQ(ada_->StatusText(), u"");
    EXPECT_EQ(bob_->StatusText(), u"");

    // A block cut short ends the notice; the complete block before it is applied.
    Bytes cut = UserBlock("55555", {StatusTlv(0x0010)});
    cut.resize(cut.size() - 3);
    Online({UserBlock("67890", {StatusTlv(0x0002)}), cut});
    ASSERT_TRUE(WaitFor([&] { return ada_->Status() == 20; }));
    Sync();
    EXPECT_EQ(bob_->Status(), 30);
    EXPECT_EQ(h_.Account().Status(), 0);
}

TEST_F(PresenceTest, AStormOfNoticesIsAppliedAndStored) {
    std::vector<ContactPtr> many;
    for (int i = 0; i < 300; ++i) many.push_back(Add(u"9" + Widen(std::to_string(1000 + i))));
    // Several notices of many blocks each, as at sign-on.
    for (int first = 0; first < 300; first += 100) {
        std::vector<Bytes> blocks;
        for (int i = first; i < first + 100; ++i) {
            blocks.push_back(UserBlock("9" + std::to_string(1000 + i), {StatusTlv(0x0001)}));
        }
        Online(blocks);
    }
    ASSERT_TRUE(WaitFor([&] { return many.back()->Status() == 10; }));
    for (const ContactPtr& c : many) EXPECT_EQ(c->Status(), 10);
    EXPECT_EQ(StatusEvents(*many.front()), (std::vector<int32_t>{10}));
}

}  // namespace
}  // namespace zul
