// Short details through the ICQ meta service: the request bytes, and the replies that fill a
// contact's nickname and e-mail or the owner's nickname.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/meta_family.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

struct Details {
    std::string nickname, firstName, lastName, email;
};

// SNAC(0x15,0x03) body: TLV 0x0001 with the little-endian meta reply.
Bytes ShortDetailsReply(uint16_t sequence, const Details& d, uint8_t result = 0x0A,
                        uint16_t replyType = 0x0104) {
    ByteWriter data;
    data.U16LE(0).U32LE(12345).U16LE(0x07DA).U16LE(sequence).U16LE(replyType).U8(result);
    for (const std::string* text : {&d.nickname, &d.firstName, &d.lastName, &d.email}) {
        data.U16LE(static_cast<uint16_t>(text->size())).Raw(*text);
    }
    data.U8(0);
    return ByteWriter().Tlv(0x0001, data.bytes).bytes;
}

// The sequence (pending request id) of a short-details request the server received.
uint16_t SequenceOf(const ReceivedFrame& frame) {
    const Bytes data = frame.snacData();
    return static_cast<uint16_t>(data[4 + 8] | data[4 + 9] << 8);
}

class MetaTest : public ::testing::Test {
  protected:
    // Signs on and waits for the last step of the sign-on, the owner's own details request.
    bool SignOn() {
        return h_.SignOn(0) &&
               h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x15, 0x02)).has_value();
    }
    ContactPtr Add(const std::u16string& login) {
        return h_.Contacts().AddNewContact(
            &h_.Account(), ContactFields{.login = login, .nickname = login}, true, false);
    }
    // Asks for a login's details and returns the sequence of the request the server got.
    uint16_t Ask(const std::u16string& login, bool own) {
        const size_t before = h_.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x15, 0x02));
        EXPECT_TRUE(h_.Account().RequestShortDetails(login, own));
        EXPECT_TRUE(
            h_.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x15, 0x02), before + 1));
        std::vector<ReceivedFrame> frames = h_.ServiceServer().Frames();
        for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
            if (it->IsSnac(0x15, 0x02)) return SequenceOf(*it);
        }
        return 0;
    }
    static std::u16string StoredText(std::u16string_view sql) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(sql);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        std::u16string out = rows.IsEnd() ? u"" : rows.TextColumn(0);
        rows.Finalize();
        command.Finalize();
        return out;
    }
    static bool WaitFor(const std::function<bool()>& condition) {
        return SessionHarness::WaitUntil(condition, std::chrono::seconds(5));
    }

    SessionHarness h_;
};

TEST(ShortDetailsRequest, DataIsLittleEndian) {
    EXPECT_EQ(ShortDetailsRequestData(12345, 0x1234, 67890),
              (Bytes{0x0E, 0x00, 0x39, 0x30, 0x00, 0x00, 0xD0, 0x07, 0x34, 0x12, 0xBA, 0x04, 0x32,
                     0x09, 0x01, 0x00}));
}

TEST_F(MetaTest, OnlyNumbersAreAskedAbout) {
    ASSERT_TRUE(SignOn());
    // The sign-on asked for the owner's own number.
    ASSERT_TRUE(h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x15, 0x02)));
    const size_t before = h_.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x15, 0x02));
    const size_t pending = h_.Account().Pending().Count();
    EXPECT_FALSE(h_.Account().RequestShortDetails(u"6789O", false));
    EXPECT_FALSE(h_.Account().RequestShortDetails(u"", false));
    EXPECT_EQ(h_.Account().Pending().Count(), pending);

    const uint16_t id = Ask(u"67890", false);
    EXPECT_EQ(h_.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x15, 0x02)), before + 1);
    auto frame = h_.ServiceServer().Frames().back();
    ASSERT_TRUE(frame.IsSnac(0x15, 0x02));
    EXPECT_EQ(frame.requestId(), 0x0002u);
    const Bytes tlv = ByteWriter().Tlv(0x0001, ShortDetailsRequestData(12345, id, 67890)).bytes;
    EXPECT_EQ(frame.snacData(), tlv);
    auto request = h_.Account().Pending().Find(id);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->text, u"67890");
    EXPECT_EQ(request->kind, 0u);
}

TEST_F(MetaTest, AnEmptyNicknameIsMadeFromLastAndFirstName) {
    ContactPtr ada = Add(u"67890");
    ContactPtr bob = Add(u"55555");
    ASSERT_TRUE(SignOn());

    const uint16_t adaId = Ask(u"67890", false);
    const uint16_t bobId = Ask(u"55555", false);
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(adaId, {"", "Ann", "Lee", "lee@example.org"}));
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(bobId, {"", "Ann", "", ""}));
    ASSERT_TRUE(
        WaitFor([&] { return ada->Nickname() == u"Lee Ann" && bob->Nickname() == u" Ann"; }));
    EXPECT_EQ(ada->Email(), u"lee@example.org");
    EXPECT_EQ(StoredText(u"SELECT Nickname FROM Contacts WHERE Login='67890'"), u"Lee Ann");
    EXPECT_EQ(StoredText(u"SELECT Email FROM Contacts WHERE Login='67890'"), u"lee@example.org");
    EXPECT_EQ(h_.Account().Pending().Find(adaId), std::nullopt);
}

TEST_F(MetaTest, APendingRequestLastsUntilTheLastPacketOfItsReply) {
    ContactPtr ada = Add(u"67890");
    ASSERT_TRUE(SignOn());
    const uint16_t id = Ask(u"67890", false);

    // More packets follow (flags bit 0): the request is kept and still matched.
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(id, {"Ada", "", "", "a@x"}), 0, 0x0001);
    ASSERT_TRUE(WaitFor([&] { return ada->Nickname() == u"Ada"; }));
    EXPECT_TRUE(h_.Account().Pending().Find(id));
    // A failed result changes nothing, but as the last packet it ends the request.
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(id, {"Eve", "", "", ""}, 0x32), 0, 0x0000);
    ASSERT_TRUE(WaitFor([&] { return !h_.Account().Pending().Find(id); }));
    EXPECT_EQ(ada->Nickname(), u"Ada");
    const uint16_t next = Ask(u"67890", false);
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(next, {"Zed", "", "", "a@x"}));
    ASSERT_TRUE(WaitFor([&] { return ada->Nickname() == u"Zed"; }));
}

TEST_F(MetaTest, TheOwnerNicknameIsSavedOnlyWhenItChanged) {
    ASSERT_TRUE(SignOn());
    auto signOnRequest = h_.ServiceServer().WaitForFrame(
        [](const test::ReceivedFrame& f) { return test::MetaRequestType(f) == 0x07D0; });
    ASSERT_TRUE(signOnRequest);
    const uint16_t id = SequenceOf(*signOnRequest);
    ASSERT_TRUE(h_.Account().Pending().Find(id));
    EXPECT_EQ(h_.Account().Pending().Find(id)->kind, 1u);

    h_.ServerSends(0x15, 0x03, ShortDetailsReply(id, {"Boss", "", "", ""}));
    ASSERT_TRUE(WaitFor([&] { return h_.Account().OwnerNick() == u"Boss"; }));
    EXPECT_EQ(StoredText(u"SELECT OwnerNick FROM Accounts WHERE ID=77"), u"Boss");

    // The same nickname again does not save the account.
    {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command =
            Database().Prepare(u"UPDATE Accounts SET OwnerNick='Elsewhere' WHERE ID=77");
        Database().Execute(command);
    }
    const uint16_t again = Ask(u"12345", true);
    h_.ServerSends(0x15, 0x03, ShortDetailsReply(again, {"Boss", "", "", ""}));
    ASSERT_TRUE(WaitFor([&] { return !h_.Account().Pending().Find(again); }));
    EXPECT_EQ(StoredText(u"SELECT OwnerNick FROM Accounts WHERE ID=77"), u"Elsewhere");
}

TEST_F(MetaTest, RepliesThatClaimMoreThanTheyHoldStoreNothing) {
    ContactPtr ada = Add(u"67890");
    ASSERT_TRUE(SignOn());
    const uint16_t id = Ask(u"67890", false);

    Bytes reply = ShortDetailsReply(id, {"Ada", "", "", "ada@example.org"});
    // Cut the e-mail short inside the TLV and fix the TLV length to match.
    reply.resize(reply.size() - 6);
    reply[3] = static_cast<uint8_t>(reply.size() - 4);
    h_.ServerSends(0x15, 0x03, reply);
    ASSERT_TRUE(WaitFor([&] { return !h_.Account().Pending().Find(id); }));
    EXPECT_EQ(ada->Nickname(), u"67890");
    EXPECT_EQ(ada->Email(), u"");
    EXPECT_EQ(h_.Account().Status(), 0);
}

}  // namespace
}  // namespace zul
