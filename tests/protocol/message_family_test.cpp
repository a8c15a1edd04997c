// The message family against a real profile: outgoing messages through a signed-on session
// on loopback, incoming messages, acknowledgements and typing notices handed to the handler
// as the receive loop does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "platform/local_time.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "service_wire.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/status.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using test::LastMessageFrom;
using test::ScopedEnv;

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;
using test::SessionHarness;

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

Bytes AckBody(uint32_t number, std::string_view login) {
    ByteWriter w;
    w.U32(number).U32(number).U16(1).U8(static_cast<uint8_t>(login.size())).Raw(login);
    return w.bytes;
}

int32_t CountMessagesFrom(std::u16string_view login) {
    return test::RowInt(
        u"SELECT COUNT(*) FROM History H, Contacts C WHERE C.LocalID=H.ContactID AND C.Login=?",
        login);
}

void Deliver(COscar& session, uint16_t subtype, const Bytes& body, uint32_t requestId = 0) {
    COscarPacket frame = test::SnacPacket(0x04, subtype, body, requestId);
    HandleMessageFamily(session, frame);
}

class FixedHistoryClock {
  public:
    explicit FixedHistoryClock(uint64_t now) : now_(now) {
        SetHistoryClock([this] { return now_.load(); });
    }
    ~FixedHistoryClock() { SetHistoryClock({}); }
    void Set(uint64_t now) { now_ = now; }

  private:
    std::atomic<uint64_t> now_;
};

TEST(MessageFamily, SendsTheOutboxAsUcs2FragmentsAndMarksSentThenDeliveredOnce) {
    SessionHarness h;
    FixedHistoryClock clock(1000);
    ContactPtr contact = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"555", .nickname = u"Ann"}, true, false);
    ASSERT_TRUE(contact);
    // Written while offline; the outbox goes out after the sign-on.
    EventPtr event = contact->History().AddOutgoingMessage(u"abc");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->EventTime(), 1000u);
    clock.Set(2000);
    ASSERT_TRUE(h.SignOn(kStatusAway));
    auto sent = h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x06));
    ASSERT_TRUE(sent);

    ByteWriter expected;
    expected.U32(event->Number()).U32(event->Number()).U16(1).U8(3).Raw("555");
    expected.U16(0x0002).U16(20);  // 3 characters: L = 6, TLV length L + 14
    expected.U8(0x05).U8(0x01).U16(2).U8(0x01).U8(0x06);
    expected.U8(0x01).U8(0x01).U16(10).U16(0x0002).U16(0x0000);
    expected.U16('a').U16('b').U16('c');
    // Acknowledge, and keep for an offline recipient: both TLVs empty (a status word in
    // 0x0006 is read by servers as a flag).
    expected.U16(0x0003).U16(0);
    expected.U16(0x0006).U16(0);
    EXPECT_EQ(sent->snacData(), expected.bytes);

    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return event->Sent() == 1; }));
    EXPECT_EQ(event->EventTime(), 2000u);
    EXPECT_TRUE(SessionHarness::WaitUntil([] {
        return test::RowInt(u"SELECT Sent FROM History WHERE EventType=2 AND Number=1") == 1;
    }));
    EXPECT_EQ(test::RowInt(u"SELECT Delivered FROM History WHERE EventType=2 AND Number=1"), 0);

    // Two acknowledgements of the same cookie: delivered once; an unknown number changes
    // nothing.
    h.ServerSends(0x04, 0x0C, AckBody(event->Number() + 7, "555"));
    h.ServerSends(0x04, 0x0C, AckBody(event->Number(), "555"));
    h.ServerSends(0x04, 0x0C, AckBody(event->Number(), "555"));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return event->Delivered() == 1; }));
    EXPECT_TRUE(SessionHarness::WaitUntil([] {
        return test::RowInt(u"SELECT Delivered FROM History WHERE EventType=2 AND Number=1") == 1;
    }));
    EXPECT_EQ(h.ServiceServer().CountFrames(test::ScriptedServer::IsSnac(0x04, 0x06)), 1u);
    EXPECT_EQ(event->ErrorCode(), 0);
}

TEST(MessageFamily, NothingIsSentWhileOfflineAndAnEarlyAckChangesNothing) {
    SessionHarness h;
    ContactPtr contact = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"555", .nickname = u"Ann"}, true, false);
    ASSERT_TRUE(contact);
    EventPtr event = contact->History().AddOutgoingMessage(u"hello");
    ASSERT_TRUE(event);

    EXPECT_FALSE(SendMessage(h.Account(), event.get()));
    h.Account().FlushOutbox();
    EXPECT_EQ(event->Sent(), 0);
    EXPECT_EQ(test::RowInt(u"SELECT Sent FROM History WHERE EventType=2 AND Number=1"), 0);
    EXPECT_EQ(h.ServiceServer().ConnectionCount(), 0);

    // The server acknowledges before the event was marked sent: nothing changes.
    Deliver(h.Account(), 0x0C, AckBody(event->Number(), "555"));
    EXPECT_EQ(event->Delivered(), 0);
    EXPECT_EQ(test::RowInt(u"SELECT Delivered FROM History WHERE EventType=2 AND Number=1"), 0);
}

// A refusal names the request it answers: each message goes out with an id of its own, and
// the refused one fails at once with the server's code while the others keep waiting.
TEST(MessageFamily, ARefusedMessageFailsAtOnceWithTheServersCode) {
    SessionHarness h;
    ContactPtr contact = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"555", .nickname = u"Ann"}, true, false);
    ASSERT_TRUE(contact);
    ASSERT_TRUE(h.SignOn());
    const struct {
        const char16_t* text;
        uint16_t code;
    } cases[] = {{u"offline", 0x0004}, {u"blocked", 0x0010}, {u"too fast", 0x0002}};
    std::vector<EventPtr> events;
    for (const auto& c : cases) events.push_back(contact->History().AddOutgoingMessage(c.text));
    EventPtr kept = contact->History().AddOutgoingMessage(u"kept");
    h.Account().FlushOutbox();
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x04, 0x06), 4));
    std::vector<uint32_t> ids;
    for (const ReceivedFrame& f : h.ServiceServer().Frames())
        if (f.IsSnac(0x04, 0x06)) ids.push_back(f.requestId());
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), 4u);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return kept->Sent() == 1; }));

    // A refusal of an id no message has, and an error without a code: nothing fails.
    h.ServerSends(0x04, 0x01, {0x00, 0x04}, 0x7FFF);
    h.ServerSends(0x04, 0x01, {}, ids[3]);
    for (size_t k = 0; k < std::size(cases); ++k) {
        h.ServerSends(
            0x04, 0x01,
            {0x00, static_cast<uint8_t>(cases[k].code), 0x00, 0x08, 0x00, 0x02, 0x00, 0x01},
            ids[k]);
    }
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        const int32_t expected = kErrorRefusedBase + cases[k].code;
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return events[k]->ErrorCode() == expected; }));
        EXPECT_TRUE(SessionHarness::WaitUntil([&] {
            return test::RowInt(u"SELECT ErrorCode FROM History WHERE EventType=2 AND Number=" +
                                std::u16string(1, u'1' + k)) == expected;
        }));
        EXPECT_EQ(events[k]->Delivered(), 0);
    }
    // The ack of the one left still delivers it; a refusal after that changes nothing.
    h.ServerSends(0x04, 0x0C, AckBody(kept->Number(), "555"), ids[3]);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return kept->Delivered() == 1; }));
    h.ServerSends(0x04, 0x01, {0x00, 0x04}, ids[3]);
    h.ServerSends(0x04, 0x01, {0x00, 0x10}, ids[0]);
    // Frames are handled in order: once a later message is delivered, those were handled.
    EventPtr last = contact->History().AddOutgoingMessage(u"last");
    h.Account().FlushOutbox();
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x04, 0x06), 5));
    h.ServerSends(0x04, 0x0C, AckBody(last->Number(), "555"));
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return last->Delivered() == 1; }));
    EXPECT_EQ(kept->ErrorCode(), 0);
    EXPECT_EQ(events[0]->ErrorCode(), kErrorRefusedBase + 4);
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x06)), 5u);
}

// A message still waiting in the queue for its rate window when the connection goes was never
// sent: it goes back to the outbox, unsent, for the next sign-on.
TEST(MessageFamily, AMessageLeftInTheQueueWhenTheSessionEndsIsUnsentAgain) {
    test::HarnessOptions options;
    options.reconnectOnError = false;
    SessionHarness h(options);
    ContactPtr contact = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"555", .nickname = u"Ann"}, true, false);
    ASSERT_TRUE(contact);
    ASSERT_TRUE(h.SignOn());
    RateClass cls;
    cls.windowSize = 80;
    cls.currentLevel = 5000;
    cls.clearLevel = 6000;
    cls.maxLevel = 7000;
    cls.lastSend = GetTick();
    cls.members = {0x00040006};
    h.Account().Rates(Link::Service).Assign({cls});
    EventPtr event = contact->History().AddOutgoingMessage(u"stuck");
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return event->Sent() == 1; }));
    EXPECT_EQ(h.Account().QueuedFrames(Link::Service), 1u);
    h.ServiceServer().Close();
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return !h.Account().SessionRunning(); }));
    EXPECT_EQ(event->Sent(), 0);
    EXPECT_EQ(test::RowInt(u"SELECT Sent FROM History WHERE EventType=2 AND Number=1"), 0);
    EXPECT_EQ(h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x06)), 0u);
}

TEST(MessageFamily, Channel1TextIsReadInTheAnsiCodePageOrAsUcs2) {
    ScopedEnv codePage("ZUL_ANSI_CODEPAGE", "1251");
    SessionHarness h;
    // 0xC0 is CYRILLIC CAPITAL LETTER A in code page 1251.
    Deliver(h.Account(), 0x07, test::Channel1Message("701", 0x0000, Bytes{'x', 0xC0}));
    EXPECT_EQ(LastMessageFrom(u"701"), u"x\u0410");
    Deliver(h.Account(), 0x07, test::Channel1Message("702", 0x0002, Bytes{0x00, 'x', 0x04, 0x10}));
    EXPECT_EQ(LastMessageFrom(u"702"), u"x\u0410");

    // An unknown sender becomes a contact outside the server list, needing its details.
    ContactPtr sender = h.Contacts().FindContact(&h.Account(), u"701");
    ASSERT_TRUE(sender);
    EXPECT_FALSE(sender->OnServer());
    EXPECT_TRUE(sender->NeedsDetails());
}

TEST(MessageFamily, Channel2IsUtf8OnlyWithItsCapabilityText) {
    ScopedEnv codePage("ZUL_ANSI_CODEPAGE", "1251");
    SessionHarness h;
    const Bytes text = {0xD0, 0x90, 0x00};  // U+0410 in UTF-8, zero-terminated
    auto send = [&](std::string_view login, std::string_view trailer) {
        Bytes body =
            test::MessageHead(2, login).Tlv(0x0005, test::RendezvousBlock(text, trailer)).bytes;
        Deliver(h.Account(), 0x07, body);
    };
    send("801", "{0946134E-4C7F-11D1-8222-444553540000}");
    send("802", "{97B12751-243C-4334-AD22-D6ABF73F1492}");
    send("803", "");
    EXPECT_EQ(LastMessageFrom(u"801"), u"\u0410");
    EXPECT_EQ(LastMessageFrom(u"802"), u"\u0410");
    EXPECT_EQ(LastMessageFrom(u"803"), u"\u0420\u0452");  // the same bytes read as 1251

    // A status-message request (type 0xE8) carries no text and stores nothing.
    Bytes request =
        test::MessageHead(2, "804").Tlv(0x0005, test::RendezvousBlock(text, "", 0xE8)).bytes;
    Deliver(h.Account(), 0x07, request);
    EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), u"804"));
}

// Messages of older ICQ clients (channel 4): the number, type, flags and text of TLV 0x0005,
// low byte first, the text in the sender's code page.
Bytes LegacyBody(std::string_view login, uint8_t type, uint8_t flags, const Bytes& text) {
    ByteWriter body;
    body.U32LE(static_cast<uint32_t>(std::stoul(std::string(login)))).U8(type).U8(flags);
    body.U16LE(static_cast<uint16_t>(text.size() + 1)).Raw(text).U8(0);
    return test::MessageHead(4, login, 0x0001).Tlv(0x0005, body.bytes).bytes;
}

TEST(MessageFamily, Channel4TextsAreStoredReadablyAndTheSystemSenderIsDropped) {
    ScopedEnv codePage("ZUL_ANSI_CODEPAGE", "1251");
    SessionHarness h;
    auto join = [](std::initializer_list<std::string_view> parts) {
        Bytes out;
        bool first = true;
        for (std::string_view p : parts) {
            if (!std::exchange(first, false)) out.push_back(0xFE);
            out.insert(out.end(), p.begin(), p.end());
        }
        return out;
    };
    const struct {
        const char* login;
        uint8_t type, flags;
        Bytes text;
        std::u16string stored;  // empty: nothing stored
    } cases[] = {
        {"901", 0x01, 0x00, Bytes{'x', 0xC0}, u"x\u0410"},  // code page 1251
        {"902", 0x01, 0x00, test::Utf8("Gr\xC3\xBC\xC3\x9F"), u"Gr\u00FC\u00DF"},
        {"903", 0x01, 0x03, test::Utf8("out"), u"[Auto-response] out"},
        {"904", 0x04, 0x00, join({"site", "http://x.example"}), u"site\nhttp://x.example"},
        {"905", 0x13, 0x00, join({"2", "111", "Ann", "222", "", ""}), u"Ann (111)\n222"},
        {"906", 0x08, 0x00, Bytes{}, u"Authorisation granted."},
        {"907", 0x0C, 0x00, Bytes{}, u"Added you to their contact list."},
        {"908", 0xE8, 0x00, Bytes{}, u""},  // a request for the away message
    };
    for (const auto& c : cases) {
        Deliver(h.Account(), 0x07, LegacyBody(c.login, c.type, c.flags, c.text));
        const std::u16string login = FromUtf8(c.login);
        if (c.stored.empty()) {
            EXPECT_EQ(CountMessagesFrom(login), 0) << c.login;
        } else {
            EXPECT_EQ(LastMessageFrom(login), c.stored) << c.login;
        }
    }
    // The sender's status from TLV 0x0006 is applied to the new contact.
    ContactPtr sender = h.Contacts().FindContact(&h.Account(), u"901");
    ASSERT_TRUE(sender);
    EXPECT_EQ(sender->Status(), StatusFromWire(0x0001));
    // A text longer than its TLV drops that SNAC alone.
    ByteWriter cut;
    cut.U32LE(909).U8(0x01).U8(0x00).U16LE(10).Raw("cut").U8(0);
    Deliver(h.Account(), 0x07, test::MessageHead(4, "909").Tlv(0x0005, cut.bytes).bytes);
    EXPECT_EQ(CountMessagesFrom(u"909"), 0);

    Deliver(h.Account(), 0x07, test::Channel1Message("1004", 0, test::Utf8("system")));
    Deliver(h.Account(), 0x07, test::MessageHead(4, "1004").bytes);
    EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), u"1004"));
    EXPECT_EQ(CountMessagesFrom(u"1004"), 0);
}

TEST(MessageFamily, ASenderWhoseLoginIsNoLoginBecomesNoContact) {
    SessionHarness h;
    // A control character, a NUL first, or nothing at all: none of them is a login.
    for (const std::string login : {std::string("ab\x01"
                                                "c"),
                                    std::string("\0abc", 4)}) {
        Deliver(h.Account(), 0x07, test::Channel1Message(login, 0, test::Utf8("hello")));
    }
    EXPECT_EQ(h.Contacts().CountContacts(&h.Account(), nullptr), 0);
    EXPECT_EQ(test::RowInt(u"SELECT COUNT(*) FROM Contacts"), 0);
    // A proper login still is.
    Deliver(h.Account(), 0x07, test::Channel1Message("4711", 0, test::Utf8("hello")));
    EXPECT_EQ(LastMessageFrom(u"4711"), u"hello");
}

TEST(MessageFamily, OurTypingGoesToOnlineContactsAtMostOnceEveryTwoSeconds) {
    SessionHarness h;
    ContactPtr ann = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"55501", .nickname = u"Ann"}, true, false);
    ContactPtr bob = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"55502", .nickname = u"Bob"}, true, false);
    ASSERT_TRUE(ann && bob);
    ASSERT_TRUE(h.SignOn(0));
    ann->SetStatus(kStatusAvailable, u"", kMoodNone, false, false);
    auto notices = [&] {
        return h.ServiceServer().CountFrames(ScriptedServer::IsSnac(0x04, 0x14));
    };

    ann->SetOwnTyping(2);
    bob->SetOwnTyping(2);  // offline: never told
    auto begun = h.ServiceServer().WaitForFrame(ScriptedServer::IsSnac(0x04, 0x14));
    ASSERT_TRUE(begun);
    ByteWriter expected;
    expected.U32(0).U32(0).U16(1).U8(5).Raw("55501").U16(2);
    EXPECT_EQ(begun->snacData(), expected.bytes);

    // Ended right away: it waits for the two seconds to pass, then goes once.
    ann->SetOwnTyping(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(notices(), 1u);
    ASSERT_TRUE(h.ServiceServer().WaitForFrameCount(ScriptedServer::IsSnac(0x04, 0x14), 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(notices(), 2u) << "one notice per change, and none for the offline contact";
    for (const ReceivedFrame& f : h.ServiceServer().Frames()) {
        if (f.IsSnac(0x04, 0x14)) EXPECT_EQ(f.snacData()[15], '1') << "only Ann is told";
    }
}

TEST(MessageFamily, AMalformedMessageDropsOnlyThatSnac) {
    SessionHarness h;
    // A text fragment that claims more bytes than its TLV holds.
    ByteWriter badFragments;
    badFragments.U8(0x01).U8(0x01).U16(40).U16(0).U16(0).Raw("short");
    Deliver(h.Account(), 0x07, test::MessageHead(1, "601").Tlv(0x0002, badFragments.bytes).bytes);
    // A sender block announcing more TLVs than the SNAC holds.
    ByteWriter badInfo;
    badInfo.U32(1).U32(2).U16(1).U8(3).Raw("602").U16(0).U16(5).TlvU16(0x0001, 0);
    Deliver(h.Account(), 0x07, badInfo.bytes);
    // A channel 2 extension whose text runs past the TLV.
    Bytes block = test::RendezvousBlock(test::Utf8("hi"), "");
    block[block.size() - 12 - 2 - 2] = 0x40;  // text length low byte, far beyond the end
    Deliver(h.Account(), 0x07, test::MessageHead(2, "603").Tlv(0x0005, block).bytes);
    // Cut-off SNACs.
    Deliver(h.Account(), 0x07, Bytes{0x00, 0x01});
    Deliver(h.Account(), 0x0C, Bytes{0x00, 0x01, 0x02});
    Deliver(h.Account(), 0x14, Bytes{0x00, 0x01, 0x02});

    for (auto login : {u"601", u"602", u"603"}) {
        EXPECT_FALSE(h.Contacts().FindContact(&h.Account(), login)) << "login";
    }
    Deliver(h.Account(), 0x07, test::Channel1Message("604", 0, test::Utf8("fine")));
    EXPECT_EQ(LastMessageFrom(u"604"), u"fine");
}

TEST(MessageFamily, TypingNoticesSetAndClearTheMark) {
    SessionHarness h;
    ContactPtr contact = h.Contacts().AddNewLocalContact(
        &h.Account(), ContactFields{.login = u"321", .nickname = u"Sue"}, true, false);
    ASSERT_TRUE(contact);
    auto notice = [&](uint16_t type) {
        ByteWriter w;
        w.U32(0).U32(0).U16(1).U8(3).Raw("321").U16(type);
        Deliver(h.Account(), 0x14, w.bytes);
    };
    notice(0x0002);
    EXPECT_TRUE(contact->Typing());
    notice(0x000F);
    EXPECT_TRUE(contact->Typing());
    notice(0x0000);
    EXPECT_FALSE(contact->Typing());
    notice(0x0002);
    notice(0x0001);
    EXPECT_FALSE(contact->Typing());
}

TEST(MessageFamily, AServersTimeStampIsKeptWheneverItIsPlausible) {
    ScopedEnv zone("TZ", "XST-3");  // three hours east of UTC
    FixedHistoryClock clock(123456789);
    test::HarnessOptions options;
    options.endOfflineMessages = false;
    SessionHarness h(options);
    ASSERT_TRUE(h.SignOn(kStatusAvailable));
    auto request = h.ServiceServer().WaitForFrame(test::ScriptedServer::IsSnac(0x04, 0x10));
    ASSERT_TRUE(request);
    const uint32_t id = request->requestId();

    auto send = [&](std::string_view login, std::optional<uint32_t> sentAt, uint32_t requestId) {
        ByteWriter w = test::MessageHead(1, login);
        w.Tlv(0x0002, test::TextFragments(0, test::Utf8("late")));
        if (sentAt) w.TlvU32(0x0016, *sentAt);
        h.ServerSends(0x04, 0x07, w.bytes, requestId);
    };
    constexpr uint32_t kSeptember2020 = 1600000000;
    const uint32_t future = static_cast<uint32_t>(std::time(nullptr)) + 3 * 86400;
    send("501", kSeptember2020, id);
    send("502", std::nullopt, id);
    // The end of the offline messages; servers also stamp messages they relay later, under
    // request ids of their own.
    h.ServerSends(0x04, 0x17, {}, id);
    send("503", kSeptember2020, 0x4242);
    send("504", 0, 0);
    send("505", future, 0);
    ASSERT_TRUE(SessionHarness::WaitUntil([&] { return CountMessagesFrom(u"505") == 1; }));
    EXPECT_FALSE(h.Account().Pending().Find(static_cast<uint16_t>(id)));

    auto lastTime = [&](std::u16string_view login) {
        ContactPtr c = h.Contacts().FindContact(&h.Account(), login);
        std::lock_guard lock(c->History().Mutex());
        return c->History().Events().back()->EventTime();
    };
    // 13 September 2020 12:26:40 UTC is 15:26:40 local time here.
    const uint64_t stamped =
        kUnixEpochFileTime + (uint64_t{kSeptember2020} + 3ull * 3600) * 10000000;
    EXPECT_EQ(lastTime(u"501"), stamped);
    EXPECT_EQ(lastTime(u"503"), stamped);
    // No time stamp, or one before the networks or days ahead: received now.
    for (std::u16string_view login : {u"502", u"504", u"505"}) {
        EXPECT_EQ(lastTime(login), 123456789u) << ToUtf8(std::u16string(login));
    }
}

TEST(MessageParse, OfflineTimeZeroIsTheUnixEpochInUtc) {
    ScopedEnv zone("TZ", "UTC0");
    EXPECT_EQ(UtcSecondsToLocalFileTime(0), kUnixEpochFileTime);
    EXPECT_EQ(UtcSecondsToLocalFileTime(86400), kUnixEpochFileTime + 86400ull * 10000000);
}

TEST(MessageParse, FragmentsWithoutTextOrWithAShortTextFragmentGiveNoText) {
    ByteWriter onlyFeatures;
    onlyFeatures.U8(0x05).U8(0x01).U16(1).U8(0x01);
    EXPECT_EQ(ParseMessageFragments(onlyFeatures.bytes), std::u16string());
    ByteWriter shortText;
    shortText.U8(0x01).U8(0x01).U16(4).U16(2).U16(0);
    EXPECT_EQ(ParseMessageFragments(shortText.bytes), std::u16string());
    ByteWriter cutHeader;
    cutHeader.U8(0x01).U8(0x01).U8(0);
    EXPECT_FALSE(ParseMessageFragments(cutHeader.bytes));
}

TEST(MessageParse, CutOrCorruptedSnacsNeverReadPastTheirBytes) {
    ByteWriter offline = test::MessageHead(1, "501", 0x0001);
    offline.Tlv(0x0002, test::TextFragments(2, Bytes{0, 'h', 0, 'i'})).TlvU32(0x0016, 7);
    const Bytes samples[] = {
        offline.bytes,
        test::MessageHead(2, "502")
            .Tlv(0x0005, test::RendezvousBlock(test::Utf8("yo"), "{x}"))
            .bytes,
        test::MessageHead(4, "503").bytes,
    };
    std::mt19937 random(1234);
    for (const Bytes& sample : samples) {
        ASSERT_TRUE(ParseIncomingMessage(sample));
        for (size_t cut = 0; cut < sample.size(); ++cut) {
            Bytes part(sample.begin(), sample.begin() + cut);  // exactly `cut` bytes on the heap
            ParseIncomingMessage(part);
            ParseMessageAck(part);
            ParseTypingNotice(part);
        }
        for (int round = 0; round < 2000; ++round) {
            Bytes corrupted = sample;
            for (int flips = 0; flips < 3; ++flips) {
                corrupted[random() % corrupted.size()] = static_cast<uint8_t>(random());
            }
            ParseIncomingMessage(corrupted);
        }
    }
}

TEST(MessageParse, ALongTextIsCutToFitOneFrame) {
    COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
    std::u16string text(40000, u'x');
    AppendTextMessage(frame, 1, "555", text);
    ASSERT_LE(frame.size, COscarPacket::kCapacity);
    // The frame ends with TLV 0x0006 intact, and TLV 0x0002's length matches its content.
    ByteSpan data = frame.snacData();
    ByteReader reader(data.subspan(8 + 2 + 1 + 3));
    EXPECT_EQ(reader.ReadU16(), 0x0002);
    const uint16_t length = reader.ReadU16();
    reader.Skip(length);
    EXPECT_EQ(reader.ReadU16(), 0x0003);
    EXPECT_EQ(reader.ReadU16(), 0);
    EXPECT_EQ(reader.ReadU16(), 0x0006);
    EXPECT_EQ(reader.ReadU16(), 0);
    EXPECT_TRUE(reader.ok());
    EXPECT_EQ(reader.Remaining(), 0u);
}

}  // namespace
}  // namespace zul
