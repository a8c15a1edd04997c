// What the user asks the server about a contact and the list edits that answer later: the
// details (ICQ directory entry, profile and away message) and a move to another group, each
// with its refusal and with a server that never answers.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/meta_family.h"
#include "protocol/services/server_list_item.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

// A meta reply of the full details: the little-endian header, the reply type, the result and
// the reply's own bytes.
Bytes MetaReply(uint16_t sequence, uint16_t replyType, uint8_t result, const Bytes& body) {
    ByteWriter data;
    data.U16LE(0).U32LE(12345).U16LE(0x07DA).U16LE(sequence).U16LE(replyType).U8(result);
    data.Raw(body);
    return ByteWriter().Tlv(0x0001, data.bytes).bytes;
}

ByteWriter& MetaText(ByteWriter& w, std::string_view text) {
    return w.U16LE(static_cast<uint16_t>(text.size() + 1)).Raw(text).U8(0);
}

// The little-endian sequence and subtype of a meta request the server received.
uint16_t MetaSequence(const ReceivedFrame& f) {
    const Bytes d = f.snacData();
    return static_cast<uint16_t>(d[4 + 8] | d[4 + 9] << 8);
}
uint16_t MetaSubtype(const ReceivedFrame& f) {
    const Bytes d = f.snacData();
    return static_cast<uint16_t>(d[4 + 10] | d[4 + 11] << 8);
}

bool IsFullDetailsRequest(const ReceivedFrame& f) {
    return f.IsSnac(0x15, 0x02) && f.snacData().size() >= 16 && MetaSubtype(f) == 0x04B2;
}

// SNAC(0x02,0x06): a user info block with one TLV, then the location TLVs.
Bytes UserInfoReply(std::string_view name, const Bytes& locationTlvs) {
    ByteWriter w;
    w.U8(static_cast<uint8_t>(name.size())).Raw(name).U16(0).U16(1);
    w.Tlv(0x0001, Bytes{0x00, 0x50});
    w.Raw(locationTlvs);
    return w.bytes;
}

Bytes Utf16Be(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

class DetailsTest : public ::testing::Test {
  protected:
    bool SignOn() {
        contact_ = h_.Contacts().AddNewContact(
            &h_.Account(), ContactFields{.login = u"67890", .nickname = u"Ada"}, true, false);
        return h_.SignOn(kStatusAvailable) &&
               h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x15, 0x02)).has_value();
    }
    // Asks for the details and returns the two requests the server got.
    std::pair<ReceivedFrame, ReceivedFrame> Ask() {
        ScriptedServer& server = h_.ServiceServer();
        const auto isLocation = ScriptedServer::IsSnac(0x02, 0x15);
        const size_t metas = server.CountFrames(IsFullDetailsRequest);
        const size_t locations = server.CountFrames(isLocation);
        h_.Account().RequestContactDetails(u"67890");
        EXPECT_TRUE(h_.Account().DetailsOf(u"67890").Loading());
        EXPECT_TRUE(server.WaitForFrameCount(IsFullDetailsRequest, metas + 1));
        EXPECT_TRUE(server.WaitForFrameCount(isLocation, locations + 1));
        std::pair<ReceivedFrame, ReceivedFrame> last;
        for (const ReceivedFrame& f : server.Frames()) {
            if (IsFullDetailsRequest(f)) last.first = f;
            if (isLocation(f)) last.second = f;
        }
        return last;
    }
    bool WaitForDetails() {
        return SessionHarness::WaitUntil(
            [&] { return !h_.Account().DetailsOf(u"67890").Loading(); });
    }

    // This server never answers an edit of the list.
    static test::HarnessOptions Options() {
        test::HarnessOptions options;
        options.script = [](ScriptedServer&, ScriptedServer& service) {
            service.OnFrame(ScriptedServer::IsSnac(0x13, 0x09),
                            [](const ReceivedFrame&) { return test::Reply(); });
        };
        return options;
    }

    SessionHarness h_{Options()};
    ContactPtr contact_;
};

TEST_F(DetailsTest, TheDirectoryEntryProfileAndAwayMessageMakeTheDetails) {
    ASSERT_TRUE(SignOn());
    const auto [meta, location] = Ask();
    // The meta request names the number asked about; the location request wants the profile
    // and the away message of the login.
    EXPECT_EQ(meta.snacData(),
              ByteWriter()
                  .Tlv(0x0001, UserMetaRequestData(12345, MetaSequence(meta), 0x04B2, 67890))
                  .bytes);
    EXPECT_EQ(location.snacData(), (Bytes{0, 0, 0, 3, 5, '6', '7', '8', '9', '0'}));
    EXPECT_EQ(meta.requestId(), MetaSequence(meta));

    const uint16_t seq = MetaSequence(meta);
    ByteWriter basic;
    for (std::string_view text :
         {"Ada", "Ada", "Lovelace", "ada@example.org", "London", "", "", "", "", "", ""}) {
        MetaText(basic, text);
    }
    basic.U16LE(44).U8(0).U8(1).U8(0).U8(0).U8(0);
    // This server writes an 8-bit age and a 16-bit gender (2: male).
    ByteWriter more;
    more.U8(36).U16LE(2);
    MetaText(more, "http://ada.example.org").U16LE(1815).U8(12).U8(10).U8(0).U8(0).U8(0);
    ByteWriter notes;
    MetaText(notes, "Analyst \xE2\x80\x94 engines");
    // Each part arrives as its own last packet: the request lasts until affiliations.
    h_.ServerSends(0x15, 0x03, MetaReply(seq, 0x00C8, 0x0A, basic.bytes), meta.requestId());
    h_.ServerSends(0x15, 0x03, MetaReply(seq, 0x00DC, 0x0A, more.bytes), meta.requestId());
    h_.ServerSends(0x15, 0x03, MetaReply(seq, 0x00E6, 0x0A, notes.bytes), meta.requestId());
    h_.ServerSends(0x15, 0x03, MetaReply(seq, 0x00FA, 0x0A, Bytes{0, 0}), meta.requestId());
    ByteWriter info;
    info.Tlv(0x0001, std::string_view("text/aolrtf; charset=\"unicode-2-0\""))
        .Tlv(0x0002, Utf16Be(u"<HTML><BODY>Hello &amp; <B>welcome</B><BR>Line two</BODY></HTML>"))
        .Tlv(0x0003, std::string_view("text/aolrtf; charset=\"us-ascii\""))
        .Tlv(0x0004, std::string_view("Out for lunch"));
    h_.ServerSends(0x02, 0x06, UserInfoReply("67890", info.bytes), location.requestId());

    ASSERT_TRUE(WaitForDetails());
    const ContactDetails d = h_.Account().DetailsOf(u"67890");
    EXPECT_TRUE(d.answered);
    EXPECT_TRUE(d.error.empty());
    EXPECT_EQ(d.firstName, u"Ada");
    EXPECT_EQ(d.lastName, u"Lovelace");
    EXPECT_EQ(d.email, u"ada@example.org");
    EXPECT_EQ(d.city, u"London");
    EXPECT_EQ(d.countryCode, 44);
    EXPECT_EQ(d.age, 36);
    EXPECT_EQ(d.gender, 2);
    EXPECT_EQ(d.homepage, u"http://ada.example.org");
    EXPECT_EQ(d.about, u"Analyst \u2014 engines");
    EXPECT_EQ(d.profile, u"Hello & welcome\nLine two");
    EXPECT_EQ(d.awayMessage, u"Out for lunch");
    EXPECT_FALSE(h_.Account().Pending().HasKind(kPendingFullDetails));
    EXPECT_FALSE(h_.Account().Pending().HasKind(kPendingLocationInfo));
}

TEST_F(DetailsTest, RefusalsAndCutRepliesEndTheRequestWithAReason) {
    ASSERT_TRUE(SignOn());
    auto [meta, location] = Ask();
    // A basic-info reply whose text claims more than it holds fills nothing.
    ByteWriter cut;
    cut.U16LE(200).Raw("Ad");
    h_.ServerSends(0x15, 0x03, MetaReply(MetaSequence(meta), 0x00C8, 0x0A, cut.bytes));
    h_.ServerSends(0x15, 0x03, MetaReply(MetaSequence(meta), 0x00DC, 0x32, {}));
    h_.ServerSends(0x02, 0x01, Bytes{0x00, 0x04}, location.requestId());
    ASSERT_TRUE(WaitForDetails());
    ContactDetails d = h_.Account().DetailsOf(u"67890");
    EXPECT_FALSE(d.answered);
    EXPECT_TRUE(d.nickname.empty());
    EXPECT_NE(d.error.find(u"(4)"), std::u16string::npos) << ToUtf8(d.error);

    // Asked again: the profile alone is an answer, and a refused directory entry costs
    // nothing else.
    std::tie(meta, location) = Ask();
    h_.ServerSends(0x15, 0x03, MetaReply(MetaSequence(meta), 0x00C8, 0x14, {}));
    h_.ServerSends(0x02, 0x06,
                   UserInfoReply("67890", ByteWriter().Tlv(0x0002, std::string_view("Hi")).bytes),
                   location.requestId());
    ASSERT_TRUE(WaitForDetails());
    d = h_.Account().DetailsOf(u"67890");
    EXPECT_TRUE(d.answered);
    EXPECT_TRUE(d.error.empty());
    EXPECT_EQ(d.profile, u"Hi");
}

TEST_F(DetailsTest, OfflineTheAnswerIsAtOnceAReason) {
    h_.Account().RequestContactDetails(u"67890");
    const ContactDetails d = h_.Account().DetailsOf(u"67890");
    EXPECT_FALSE(d.Loading());
    EXPECT_NE(d.error.find(u"Sign on"), std::u16string::npos);
}

TEST_F(DetailsTest, AServerThatNeverAnswersCostsATimeOutAndATextNotAWedgedList) {
    ASSERT_TRUE(SignOn());
    h_.Account().SetRequestTimeout(300);
    Ask();
    ASSERT_TRUE(WaitForDetails());
    EXPECT_NE(h_.Account().DetailsOf(u"67890").error.find(u"did not answer"), std::u16string::npos);

    // A rename the server never acknowledges: the old nickname stays and the row is free.
    contact_->SetOnServer(true);
    contact_->SetSrvID(0x0101);
    contact_->RequestRename(u"Countess");
    ASSERT_TRUE(h_.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x13, 0x09)));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return !contact_->BlockedIcon() &&
               h_.Account().StatusText().find(u"did not answer") != std::u16string::npos;
    }));
    EXPECT_EQ(contact_->Nickname(), u"Ada");
    EXPECT_FALSE(h_.Account().Pending().HasKind(kPendingBuddyRename));
}

// A list item of an edit the server received.
struct EditItem {
    std::string name;
    uint16_t groupId = 0, itemId = 0, type = 0;
    std::vector<uint16_t> members;  // a group's TLV 0x00C8
    bool nickname = false;
};
EditItem ReadEditItem(const ReceivedFrame& f) {
    EditItem item;
    const Bytes data = f.snacData();
    ByteReader r(data);
    const ByteSpan name = r.ReadBytes(r.ReadU16());
    item.name.assign(name.begin(), name.end());
    item.groupId = r.ReadU16();
    item.itemId = r.ReadU16();
    item.type = r.ReadU16();
    TlvList tlvs;
    tlvs.Parse(r.ReadBytes(r.ReadU16()));
    if (const Tlv* members = tlvs.Find(0x00C8)) {
        for (size_t i = 0; i + 1 < members->value.size(); i += 2)
            item.members.push_back(
                static_cast<uint16_t>(members->value[i] << 8 | members->value[i + 1]));
    }
    item.nickname = tlvs.Has(0x0131);
    return item;
}

// Bob (0x0101) and Eve (0x0102) in "Friends" (1), and "Work" (2) when asked for; the server
// takes every edit of the list except those `refused` picks.
test::HarnessOptions BobAndEve(bool withWork, bool (*refused)(const ReceivedFrame&)) {
    test::HarnessOptions options;
    ByteWriter bobTlvs, eveTlvs;
    bobTlvs.Tlv(0x0131, "Bob");
    eveTlvs.Tlv(0x0131, "Eve");
    std::vector<test::ListItem> items = {{"Friends", 1, 0, 1, {}},
                                         {"333", 1, 0x0101, 0, bobTlvs.bytes},
                                         {"334", 1, 0x0102, 0, eveTlvs.bytes}};
    if (withWork) items.insert(items.begin() + 1, {"Work", 2, 0, 1, {}});
    options.serverList = test::ServerListBody(items);
    options.script = [refused](ScriptedServer&, ScriptedServer& service) {
        service.OnFrame(
            [](const ReceivedFrame& f) {
                return f.family() == 0x13 &&
                       (f.subtype() == 0x08 || f.subtype() == 0x09 || f.subtype() == 0x0A);
            },
            [refused](const ReceivedFrame& f) {
                return test::Reply({test::SnacFrame(
                    0x13, 0x0E, Bytes{0x00, static_cast<uint8_t>(refused(f) ? 0x0A : 0x00)},
                    f.requestId())});
            });
    };
    return options;
}

TEST(MoveContact, TheNewItemComesFirstAndTheOldGoesOnlyWhenTheServerAgrees) {
    // Every edit is taken, except a buddy item for the group "Family".
    SessionHarness h(BobAndEve(true, [](const ReceivedFrame& f) {
        const EditItem item = ReadEditItem(f);
        return item.type == 0 && f.subtype() == 0x08 && item.groupId == 3;
    }));
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ContactPtr bob = h.Contacts().FindContact(&h.Account(), u"333");
    ASSERT_TRUE(bob);
    const size_t before = h.ServiceServer().Frames().size();

    bob->RequestMove(u"work");  // a group's name in any case
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return bob->GroupID() == 2; }));
    EXPECT_EQ(bob->GroupName(), u"Work");
    EXPECT_NE(bob->SrvID(), 0x0101);
    EXPECT_EQ(test::RowInt(u"SELECT GroupID FROM Contacts WHERE Login='333'"), 2);
    // Both transactions, to their ends.
    std::vector<ReceivedFrame> edits;
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        edits.clear();
        const std::vector<ReceivedFrame> frames = h.ServiceServer().Frames();
        for (size_t i = before; i < frames.size(); ++i) {
            if (frames[i].family() == 0x13 && frames[i].subtype() >= 0x08 &&
                frames[i].subtype() <= 0x12)
                edits.push_back(frames[i]);
        }
        return edits.size() >= 8;
    }));
    // start; Work with Bob's new item; Bob under Work with his nickname; end; then start; Bob's
    // old item removed; Friends without it; end.
    ASSERT_EQ(edits.size(), 8u);
    const uint16_t kinds[] = {0x11, 0x09, 0x08, 0x12, 0x11, 0x0A, 0x09, 0x12};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(edits[i].subtype(), kinds[i]) << i;
    EditItem work = ReadEditItem(edits[1]);
    EXPECT_EQ(work.name, "Work");
    EXPECT_EQ(work.members, std::vector<uint16_t>{bob->SrvID()});
    EditItem added = ReadEditItem(edits[2]);
    EXPECT_EQ(added.name, "333");
    EXPECT_EQ(added.groupId, 2);
    EXPECT_EQ(added.itemId, bob->SrvID());
    EXPECT_TRUE(added.nickname);
    EditItem removed = ReadEditItem(edits[5]);
    EXPECT_EQ(removed.groupId, 1);
    EXPECT_EQ(removed.itemId, 0x0101);
    EditItem friends = ReadEditItem(edits[6]);
    EXPECT_EQ(friends.name, "Friends");
    EXPECT_EQ(friends.members, std::vector<uint16_t>{0x0102});

    // A new group the server refuses to fill: the contact stays where it was.
    ContactPtr eve = h.Contacts().FindContact(&h.Account(), u"334");
    eve->RequestMove(u"Family");
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().StatusText().find(u"refused to move") != std::u16string::npos; }));
    EXPECT_EQ(eve->GroupID(), 1);
    EXPECT_EQ(eve->SrvID(), 0x0102);
    EXPECT_FALSE(eve->BlockedIcon());
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x13, 0x0A)), 1u);
}

TEST(PlainTextOfHtml, TagsGoBreaksStayEntitiesAreDecoded) {
    EXPECT_EQ(PlainTextOfHtml(u"plain text, 3 < 4"), u"plain text, 3 < 4");
    EXPECT_EQ(PlainTextOfHtml(u"<html><body><font color=\"#ff0000\">hi</font><br/>there"
                              u"</body></html>"),
              u"hi\nthere");
    EXPECT_EQ(PlainTextOfHtml(u"a&lt;b&gt;&amp;&quot;&#65;&#x263A;&bogus;&"),
              u"a<b>&\"A\u263A&bogus;&");
    EXPECT_EQ(PlainTextOfHtml(u"<p>one</p><p>two</p>\r\n"), u"one\ntwo");
    EXPECT_EQ(PlainTextOfHtml(u"&#x1F600;&#xD800;&#99999999;"), u"\U0001F600&#xD800;&#99999999;");
    EXPECT_EQ(PlainTextOfHtml(u"unclosed <b"), u"unclosed <b");
    EXPECT_TRUE(LooksLikeHtml(u"<HTML><BODY>x"));
    EXPECT_TRUE(LooksLikeHtml(u"  <font size=2>x</font>"));
    // Markup anywhere in the text counts, opening or closing; a bare '<' does not.
    for (std::u16string_view html : {u"a <b>bold</b> claim", u"see <a href=\"x\">this</a>",
                                     u"line<br/>next", u"text</FONT>"}) {
        EXPECT_TRUE(LooksLikeHtml(html)) << ToUtf8(std::u16string(html));
    }
    for (std::u16string_view text : {u"<3 you", u"a < b", u"x <bogus> y", u"<", u"</3"}) {
        EXPECT_FALSE(LooksLikeHtml(text)) << ToUtf8(std::u16string(text));
    }
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// The TLV 0x001D of a status frame: its status note, or nothing when the frame has none.
std::optional<std::string> NoteIn(const ReceivedFrame& f) {
    const Bytes data = f.snacData();
    TlvList tlvs;
    tlvs.Parse(data);
    const Tlv* bart = tlvs.Find(0x001D);
    if (bart == nullptr) return std::nullopt;
    ByteReader r(bart->Bytes());
    if (r.ReadU16() != 0x0002 || r.ReadU8() != 0x04) return std::nullopt;
    r.ReadU8();
    const ByteSpan text = r.ReadBytes(r.ReadU16());
    if (!r.ok() || r.ReadU16() != 0 || !r.ok()) return std::nullopt;
    return std::string(text.begin(), text.end());
}

// The away message of a location frame.
std::string AwayIn(const ReceivedFrame& f) {
    const Bytes data = f.snacData();
    TlvList tlvs;
    tlvs.Parse(data);
    const Tlv* away = tlvs.Find(0x0004);
    return away == nullptr ? "<none>" : away->AsString();
}

TEST(StatusNote, SentWithTheStatusReplacedWhenChangedAndAgainAtEverySignOn) {
    SessionHarness h;
    h.Account().ChangeStatusNote(u"At the caf\u00E9");
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ScriptedServer& server = h.ServiceServer();
    const auto isStatus = ScriptedServer::IsSnac(0x01, 0x1E);
    // Location frames with an away message (the capabilities go the same way).
    const auto isAway = [](const ReceivedFrame& f) {
        return f.IsSnac(0x02, 0x04) && AwayIn(f) != "<none>";
    };
    // The sign-on's status carries the note; available, the away message is empty.
    auto status = server.WaitForFrame(isStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(NoteIn(*status), "At the caf\xC3\xA9");
    auto away = server.WaitForFrame(isAway);
    ASSERT_TRUE(away);
    EXPECT_EQ(AwayIn(*away), "");
    EXPECT_EQ(test::RowText(u"SELECT StatusNote FROM AccountTexts WHERE AccID=77"),
              u"At the caf\u00E9");

    // Away: the note is the away message too.
    size_t awayCount = server.CountFrames(isAway);
    h.Account().RequestStatus(kStatusAway);
    ASSERT_TRUE(server.WaitForFrameCount(isAway, awayCount + 1));
    std::optional<ReceivedFrame> lastAway;
    for (const ReceivedFrame& f : server.Frames())
        if (isAway(f)) lastAway = f;
    EXPECT_EQ(AwayIn(*lastAway), "At the caf\xC3\xA9");

    // Cleared on the running session: an empty note replaces the server's, and the away
    // message falls back to the status's name.
    const size_t statusCount = server.CountFrames(isStatus);
    awayCount = server.CountFrames(isAway);
    h.Account().ChangeStatusNote(u"");
    ASSERT_TRUE(server.WaitForFrameCount(isStatus, statusCount + 1));
    ASSERT_TRUE(server.WaitForFrameCount(isAway, awayCount + 1));
    std::vector<ReceivedFrame> frames = server.Frames();
    std::optional<ReceivedFrame> lastStatus;
    for (const ReceivedFrame& f : frames) {
        if (isStatus(f)) lastStatus = f;
        if (isAway(f)) lastAway = f;
    }
    EXPECT_EQ(NoteIn(*lastStatus), "");
    EXPECT_EQ(AwayIn(*lastAway), "Away");

    // With no note given and none on the server, the status goes alone.
    awayCount = server.CountFrames(isAway);
    const size_t before = server.CountFrames(isStatus);
    h.Account().RequestStatus(kStatusAvailable);
    ASSERT_TRUE(server.WaitForFrameCount(isStatus, before + 1));
    frames = server.Frames();
    for (const ReceivedFrame& f : frames)
        if (isStatus(f)) lastStatus = f;
    EXPECT_EQ(NoteIn(*lastStatus), std::nullopt);
    EXPECT_EQ(server.CountFrames(isAway), awayCount);
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// A found-user reply: the record with its size, and for the last one the server's count of
// users it did not send.
Bytes FoundReply(uint16_t sequence, bool last, uint32_t number, std::string_view nickname,
                 uint32_t left = 0, uint8_t result = 0x0A) {
    ByteWriter record;
    record.U32LE(number);
    for (std::string_view text : {nickname, std::string_view("First"), std::string_view("Last"),
                                  std::string_view("x@example.org")})
        MetaText(record, text);
    record.U8(0).U16LE(1).U8(2).U16LE(30);
    ByteWriter body;
    if (result == 0x0A) {
        body.U16LE(static_cast<uint16_t>(record.bytes.size())).Raw(record.bytes);
        if (last) body.U32LE(left);
    }
    return MetaReply(sequence, last ? 0x01AE : 0x01A4, result, body.bytes);
}

class SearchTest : public ::testing::Test {
  protected:
    // Starts a search and returns the meta request the server got.
    ReceivedFrame Ask(DirectorySearch::By by, const std::u16string& text) {
        ScriptedServer& server = h_.ServiceServer();
        const auto isSearch = [](const ReceivedFrame& f) {
            return f.IsSnac(0x15, 0x02) && f.snacData().size() >= 16 &&
                   (MetaSubtype(f) == 0x051F || MetaSubtype(f) == 0x0515 ||
                    MetaSubtype(f) == 0x0529);
        };
        const size_t before = server.CountFrames(isSearch);
        h_.Account().RequestSearch(by, text);
        EXPECT_TRUE(server.WaitForFrameCount(isSearch, before + 1));
        ReceivedFrame last;
        for (const ReceivedFrame& f : server.Frames())
            if (isSearch(f)) last = f;
        return last;
    }
    bool WaitForEnd() {
        return SessionHarness::WaitUntil([&] { return !h_.Account().Search().searching; });
    }

    SessionHarness h_;
};

TEST_F(SearchTest, ByNumberNicknameAndEmailWithTheRepliesCollectedToTheLast) {
    ASSERT_TRUE(h_.SignOn(kStatusAvailable));
    ReceivedFrame byNumber = Ask(DirectorySearch::kNumber, u"4294967295");
    const uint16_t seq = MetaSequence(byNumber);
    EXPECT_EQ(byNumber.snacData(),
              ByteWriter()
                  .Tlv(0x0001, MetaRequestData(12345, seq, 0x051F, {0xFF, 0xFF, 0xFF, 0xFF}))
                  .bytes);
    h_.ServerSends(0x15, 0x03, FoundReply(seq, true, 4294967295u, "Max"));
    ASSERT_TRUE(WaitForEnd());
    DirectorySearch found = h_.Account().Search();
    ASSERT_EQ(found.users.size(), 1u);
    EXPECT_EQ(found.users[0].login, u"4294967295");
    EXPECT_EQ(found.users[0].nickname, u"Max");
    EXPECT_EQ(found.users[0].email, u"x@example.org");
    EXPECT_TRUE(found.users[0].authRequired);
    EXPECT_TRUE(found.users[0].online);
    EXPECT_EQ(found.users[0].gender, 2);
    EXPECT_EQ(found.users[0].age, 30);
    EXPECT_TRUE(found.error.empty());

    // By nickname: first and last name empty, then the nickname; two replies, the server
    // holding back 5,000 more.
    ReceivedFrame byNick = Ask(DirectorySearch::kNickname, u"Zo\u00EB");
    EXPECT_EQ(byNick.snacData(),
              ByteWriter()
                  .Tlv(0x0001, MetaRequestData(12345, MetaSequence(byNick), 0x0515,
                                               {1, 0, 0, 1, 0, 0, 5, 0, 'Z', 'o', 0xC3, 0xAB, 0}))
                  .bytes);
    h_.ServerSends(0x15, 0x03, FoundReply(MetaSequence(byNick), false, 50001, "Zoe"));
    h_.ServerSends(0x15, 0x03, FoundReply(MetaSequence(byNick), true, 50002, "Zo\xC3\xAB", 5000));
    ASSERT_TRUE(WaitForEnd());
    found = h_.Account().Search();
    ASSERT_EQ(found.users.size(), 2u);
    EXPECT_EQ(found.users[1].nickname, u"Zo\u00EB");
    EXPECT_EQ(found.more, 5000u);

    // By e-mail, and nobody found.
    ReceivedFrame byEmail = Ask(DirectorySearch::kEmail, u"no@one");
    EXPECT_EQ(MetaSubtype(byEmail), 0x0529);
    h_.ServerSends(0x15, 0x03, FoundReply(MetaSequence(byEmail), true, 0, "", 0, 0x32));
    ASSERT_TRUE(WaitForEnd());
    found = h_.Account().Search();
    EXPECT_TRUE(found.users.empty());
    EXPECT_EQ(found.error, u"Nobody was found.");
}

TEST_F(SearchTest, TenThousandResultsKeepAHundredAndCountTheRestAndLateRepliesAreDropped) {
    ASSERT_TRUE(h_.SignOn(kStatusAvailable));
    const uint16_t old = MetaSequence(Ask(DirectorySearch::kNickname, u"a"));
    const uint16_t seq = MetaSequence(Ask(DirectorySearch::kNickname, u"ann"));
    // A reply to the search before, arriving late, is not one of these results.
    h_.ServerSends(0x15, 0x03, FoundReply(old, true, 777777, "Old"));
    for (uint32_t i = 0; i < 10000; ++i) {
        h_.ServerSends(0x15, 0x03, FoundReply(seq, i == 9999, 100000 + i, "Ann"));
    }
    ASSERT_TRUE(WaitForEnd());
    const DirectorySearch found = h_.Account().Search();
    ASSERT_EQ(found.users.size(), DirectorySearch::kMaxShown);
    EXPECT_EQ(found.more, 9900u);
    EXPECT_EQ(found.users.front().login, u"100000");
}

TEST(Search, OfflineOrOnAnAimAccountItEndsAtOnceWithAReason) {
    SessionHarness icq;
    icq.Account().RequestSearch(DirectorySearch::kNumber, u"12345");
    EXPECT_FALSE(icq.Account().Search().searching);
    EXPECT_NE(icq.Account().Search().error.find(u"Sign on"), std::u16string::npos);

    test::HarnessOptions options;
    options.login = u"zulalice";
    options.accountType = acctype::kAim;
    SessionHarness aim(options);
    ASSERT_TRUE(aim.SignOn(kStatusAvailable));
    aim.Account().RequestSearch(DirectorySearch::kNickname, u"bob");
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !aim.Account().Search().searching; }));
    EXPECT_NE(aim.Account().Search().error.find(u"AIM name"), std::u16string::npos);
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

std::u16string GroupName(SessionHarness& h, uint16_t id) {
    std::lock_guard lock(h.Contacts().Mutex());
    const CGroup* group = h.Contacts().FindGroup(77, id);
    return group != nullptr ? group->Name() : u"<none>";
}

TEST(GroupChanges, RenamedAddedAndRemovedAfterItsContactsLeftOnlyAsTheServerAgrees) {
    // Every edit is taken, except a group named "Nope".
    SessionHarness h(
        BobAndEve(false, [](const ReceivedFrame& f) { return ReadEditItem(f).name == "Nope"; }));
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    ScriptedServer& server = h.ServiceServer();
    auto lastEdit = [&](uint16_t subtype) {
        std::optional<EditItem> item;
        for (const ReceivedFrame& f : server.Frames())
            if (f.IsSnac(0x13, subtype) && ReadEditItem(f).type == 1) item = ReadEditItem(f);
        return item;
    };

    // Renamed: the group item keeps its id and members under the new name.
    h.Account().RequestGroupChange({CAccount::GroupChange::kRename, 1, u"Pals"});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return GroupName(h, 1) == u"Pals"; }));
    std::optional<EditItem> renamed = lastEdit(0x09);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->name, "Pals");
    EXPECT_EQ(renamed->members, (std::vector<uint16_t>{0x0101, 0x0102}));
    EXPECT_EQ(h.Contacts().FindContact(&h.Account(), u"333")->GroupName(), u"Pals");
    EXPECT_EQ(test::RowText(u"SELECT Name FROM Groups WHERE AccID=77 AND ID=1"), u"Pals");

    // A refusal keeps the name and says why.
    h.Account().RequestGroupChange({CAccount::GroupChange::kRename, 1, u"Nope"});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] {
        return h.Account().StatusText().find(u"refused the change of the group") !=
               std::u16string::npos;
    }));
    EXPECT_EQ(GroupName(h, 1), u"Pals");

    // Added: a new id, no members.
    h.Account().RequestGroupChange({CAccount::GroupChange::kAdd, 0, u"Work"});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return GroupName(h, 2) == u"Work"; }));
    EXPECT_TRUE(lastEdit(0x08)->members.empty());

    // Removed while it holds Bob and Eve: the removal waits for their moves, then goes.
    for (const char16_t* login : {u"333", u"334"})
        h.Contacts().FindContact(&h.Account(), login)->RequestMove(u"Work");
    h.Account().RequestGroupChange({CAccount::GroupChange::kDelete, 1, {}});
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return GroupName(h, 1) == u"<none>"; }));
    std::optional<EditItem> removed = lastEdit(0x0A);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->groupId, 1);
    EXPECT_EQ(h.Contacts().FindContact(&h.Account(), u"333")->GroupID(), 2);
    EXPECT_EQ(h.Contacts().FindContact(&h.Account(), u"334")->GroupID(), 2);
    ASSERT_TRUE(SessionHarness::WaitUntil(
        [&] { return test::RowInt(u"SELECT COUNT(*) FROM Groups WHERE AccID=77 AND ID=1") == 0; }));
}

}  // namespace
}  // namespace zul
