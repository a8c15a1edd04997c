#include "tools/demo_world.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>
#include <utility>

#include "platform/text.h"
#include "storage/status.h"
#include "support/presence_notice.h"
#include "support/signon_script.h"
#include "tools/demo_pictures.h"

namespace zul::demo {

using test::ByteWriter;
using test::OutFrame;
using test::ReceivedFrame;
using test::Reply;
using test::ScriptedServer;
using test::SnacFrame;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kIcq = 11;
constexpr uint16_t kUserClass = 0x0050;
constexpr int kPictureSize = 64;

struct Mood {
    const char* text;
    int32_t mood;
};
// What people say about themselves while they wander.
constexpr Mood kMoods[] = {
    {"Coffee first", 9},         {"Walking the dog", -1}, {"Watching the match", 7},
    {"On a call", 14},           {"Cooking dinner", 6},   {"Reading on the balcony", -1},
    {"Gaming tonight", 15},      {"So sleepy", 18},       {"Deep in a spreadsheet", 21},
    {"Music on, world off", 10}, {"Out shopping", 0},     {"Thinking about lunch", 5},
};
constexpr int32_t kOnlineStatuses[] = {kStatusAvailable,    kStatusAvailable, kStatusAway,
                                       kStatusNotAvailable, kStatusDnd,       kStatusOccupied,
                                       kStatusFreeForChat};

std::string Utf8OfUcs2(const test::Bytes& ucs2) {
    std::u16string text;
    for (size_t i = 0; i + 1 < ucs2.size(); i += 2) {
        text.push_back(static_cast<char16_t>(ucs2[i] << 8 | ucs2[i + 1]));
    }
    return ToUtf8(text);
}

test::Bytes Ucs2OfUtf8(const std::string& utf8) {
    test::Bytes out;
    for (char16_t c : FromUtf8(utf8)) {
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

std::string StatusWord(int32_t status) {
    return status == kStatusOffline ? std::string("offline") : ToUtf8(StatusName(kIcq, status));
}

uint16_t Be16(const test::Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// A channel-1 message as the service server delivers it: cookie, channel, sender, warning
// level, the sender's class and status, then TLV 0x0002 with the text in UCS-2 and, for an
// offline message, TLV 0x0016 with the time it was sent.
test::Bytes MessageBody(const std::string& login, int32_t status, const test::Bytes& ucs2,
                        std::optional<uint32_t> sentAt) {
    ByteWriter fragments;
    fragments.U8(0x05).U8(0x01).U16(1).U8(0x01);
    fragments.U8(0x01).U8(0x01).U16(static_cast<uint16_t>(ucs2.size() + 4)).U16(0x0002).U16(0);
    fragments.Raw(ucs2);
    ByteWriter w;
    static std::atomic<uint32_t> cookie{1};
    w.U32(cookie++).U32(0x44454D4F).U16(1);
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0);
    const int32_t wire = StatusToWire(kIcq, status < 0 ? kStatusAvailable : status);
    w.U16(2).TlvU16(0x0001, kUserClass).TlvU32(0x0006, static_cast<uint16_t>(wire));
    w.Tlv(0x0002, fragments.bytes);
    if (sentAt) w.TlvU32(0x0016, *sentAt);
    return w.bytes;
}

OutFrame TypingNotice(const std::string& login, uint16_t type) {
    ByteWriter w;
    w.U32(0).U32(0).U16(1).U8(static_cast<uint8_t>(login.size())).Raw(login).U16(type);
    return SnacFrame(0x04, 0x14, w.bytes);
}

std::vector<DemoPerson> MakePeople() {
    struct Seed {
        const char* login;
        const char* nickname;
        uint16_t group;
        int32_t status;
        const char* text;
        int32_t mood;
        int hue;
        uint32_t hair;
        bool glasses;
    };
    static const Seed kSeeds[] = {
        {"100101", "Alice Moreau", 1, kStatusAvailable, "Back from the lake", 9, 200, 0x8B5A2B,
         false},
        {"100102", "Bruno", 1, kStatusAway, "Listening to old records", 10, 30, 0x222222, true},
        {"100103", "Chloé Lindqvist", 1, kStatusFreeForChat, "Ask me about the trip", 13, 320,
         0xE8C170, false},
        {"100104", "Dmitri", 1, kStatusDnd, "Не беспокоить", -1, 120, 0x5A3A1A, false},
        {"100201", "Eva Schulz", 2, kStatusOccupied, "In meetings until four", 8, 260, 0xA0522D,
         true},
        {"100202", "Farid", 2, kStatusAvailable, "Reviewing the release", 21, 90, 0x101010, false},
        {"100203", "Greta", 2, kStatusOffline, "", -1, 170, 0xD2691E, false},
        {"100204", "Hugo", 2, kStatusOffline, "", -1, 0, 0x777777, true},
        {"100301", "Mum", 3, kStatusNotAvailable, "Planting tomatoes", -1, 45, 0xC0C0C0, true},
        {"100302", "Leo", 3, kStatusOffline, "Exams next week", 16, 280, 0x3B2F2F, false},
    };
    std::vector<DemoPerson> people;
    uint16_t item = 0x1001;
    for (const Seed& s : kSeeds) {
        DemoPerson p;
        p.login = s.login;
        p.nickname = s.nickname;
        p.groupId = s.group;
        p.itemId = item++;
        p.status = s.status;
        p.statusText = s.text;
        p.mood = s.mood;
        p.awaitingAuth = p.login == "100204";
        p.picture = DrawPortrait(kPictureSize, s.hue, s.hair, s.glasses);
        people.push_back(std::move(p));
    }
    return people;
}

// The one who asks to be added, and the person whose message waits offline.
const char kStrangerLogin[] = "100999";
const char kStrangerName[] = "Iris Novak";
const char kOfflineSender[] = "100102";
const char kOfflineText[] = "Call me when you're back, I have news about the concert!";
const char kOwnNickname[] = "Demo User";

// SNAC(0x15,0x03): the meta data in TLV 0x0001, after its byte count.
OutFrame MetaFrame(const ReceivedFrame& f, const ByteWriter& data) {
    ByteWriter chunk;
    chunk.U16LE(static_cast<uint16_t>(data.bytes.size())).Raw(data.bytes);
    return SnacFrame(0x15, 0x03, ByteWriter().Tlv(0x0001, chunk.bytes).bytes, f.requestId());
}

// A meta reply (0x07DA) of a type, with its result byte and body.
OutFrame MetaReplyFrame(const ReceivedFrame& f, uint32_t own, uint16_t sequence, uint16_t type,
                        uint8_t result, const ByteWriter& body) {
    ByteWriter data;
    data.U32LE(own).U16LE(0x07DA).U16LE(sequence).U16LE(type).U8(result).Raw(body.bytes);
    return MetaFrame(f, data);
}

}  // namespace

void Say(const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::printf("%02d:%02d:%02d %s\n", local.tm_hour, local.tm_min, local.tm_sec, text.c_str());
    std::fflush(stdout);
}

DemoWorld::DemoWorld(uint16_t loginPort, uint32_t seed)
    : people_(MakePeople()), random_(seed), textTime_(static_cast<uint32_t>(std::time(nullptr))) {
    login_ = std::make_unique<ScriptedServer>(true, loginPort);
    service_ = std::make_unique<ScriptedServer>(true);
    avatars_ = std::make_unique<test::AvatarServer>();
    if (!Listening()) return;
    // The demo may run for hours: nothing the client sends is kept.
    login_->SetRecording(false);
    service_->SetRecording(false);
    avatars_->Server().SetRecording(false);
    for (const DemoPerson& p : people_) avatars_->SetPicture(p.login, p.picture);

    test::AddLoginRules(*login_, service_->HostPort(), [](const ReceivedFrame& f) {
        const auto tlvs = test::ParseTlvs(std::span(f.data).subspan(4));
        const test::WireTlv* login = test::FindTlv(tlvs, 0x0001);
        Say("sign-on request for " + std::string(login->value.begin(), login->value.end()) +
            " (any password is accepted)");
    });
    AddServiceRules();
}

DemoWorld::~DemoWorld() {
    // The servers stop their threads before the people they talk about go.
    avatars_.reset();
    service_.reset();
    login_.reset();
}

bool DemoWorld::Listening() const {
    return login_->Listening() && service_->Listening() && avatars_->Port() != 0;
}

uint16_t DemoWorld::LoginPort() const {
    return login_->Port();
}

std::vector<DemoPerson> DemoWorld::People() const {
    std::lock_guard lock(mutex_);
    return people_;
}

void DemoWorld::AddServiceRules() {
    ScriptedServer& s = *service_;
    // The demo's own answers come first; the standard sign-on rules follow.
    s.OnFrame(ScriptedServer::IsSnac(0x01, 0x02),
              [this](const ReceivedFrame& f) { return OnSignedOn(f); });
    s.OnFrame(ScriptedServer::IsSnac(0x01, 0x04), [this](const ReceivedFrame& f) {
        const uint8_t cookie[] = {0xA7, 0xA7, 0x00, 0x01};
        return Reply({SnacFrame(0x01, 0x05, test::RedirectBody(avatars_->HostPort(), cookie, true),
                                f.requestId(), 0x8000)});
    });
    s.OnFrame(ScriptedServer::IsSnac(0x01, 0x1E), [this](const ReceivedFrame& f) {
        OnOwnStatus(f);
        return Reply();
    });
    s.OnFrame(ScriptedServer::IsSnac(0x04, 0x06),
              [this](const ReceivedFrame& f) { return OnMessage(f); });
    s.OnFrame(ScriptedServer::IsSnac(0x04, 0x10),
              [this](const ReceivedFrame& f) { return OnOfflineRequest(f); });
    s.OnFrame(ScriptedServer::IsSnac(0x15, 0x02),
              [this](const ReceivedFrame& f) { return OnDetailsRequest(f); });
    s.OnFrame(ScriptedServer::IsSnac(0x02, 0x15),
              [this](const ReceivedFrame& f) { return OnLocationRequest(f); });
    // Removals from the list are taken (additions and changes are, by the standard rules).
    s.OnFrame(ScriptedServer::IsSnac(0x13, 0x0A), [](const ReceivedFrame& f) {
        return Reply({SnacFrame(0x13, 0x0E, test::Bytes{0x00, 0x00}, f.requestId())});
    });
    test::AddServiceRules(s, {ServerList(), false});
}

test::Bytes DemoWorld::ServerList() const {
    std::vector<test::ListItem> items;
    const char* groups[] = {"Friends", "Work", "Family"};
    for (uint16_t g = 1; g <= 3; ++g) items.push_back({groups[g - 1], g, 0, 0x0001, {}});
    for (const DemoPerson& p : people_) {
        ByteWriter tlvs;
        tlvs.Tlv(0x0131, p.nickname);
        if (p.awaitingAuth) tlvs.Tlv(0x0066, std::string_view());
        items.push_back({p.login, p.groupId, p.itemId, 0x0000, tlvs.bytes});
    }
    // The permit/deny settings item, so that the client updates it rather than adding one.
    items.push_back(
        {"", 0, 0x0101, 0x0004, ByteWriter().Tlv(0x00CA, std::string_view("\x04", 1)).bytes});
    return test::ServerListBody(items);
}

void DemoWorld::Schedule(std::chrono::milliseconds delay, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    timeline_.push({std::chrono::steady_clock::now() + delay, order_++, std::move(action)});
}

std::chrono::milliseconds DemoWorld::RunDue() {
    for (;;) {
        std::function<void()> action;
        {
            std::lock_guard lock(mutex_);
            if (timeline_.empty() || timeline_.top().due > std::chrono::steady_clock::now()) break;
            action = timeline_.top().action;
            timeline_.pop();
        }
        action();
    }

    const auto requests = avatars_->Requests();
    std::lock_guard lock(mutex_);
    for (; avatarRequestsSeen_ < requests.size(); ++avatarRequestsSeen_) {
        const std::string& login = requests[avatarRequestsSeen_].first;
        const DemoPerson* p = Find(login);
        Say("avatar server: picture of " + (p ? p->nickname : login) + " sent");
    }
    if (session_ >= 0 && service_->WaitForClientClose(session_, 0ms)) {
        Say("the client left (service connection " + std::to_string(session_) + " closed)");
        session_ = -1;
    }
    if (timeline_.empty()) return 500ms;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        timeline_.top().due - std::chrono::steady_clock::now());
    return std::clamp(wait, 0ms, 500ms);
}

const DemoPerson* DemoWorld::Find(const std::string& login) const {
    for (const DemoPerson& p : people_) {
        if (p.login == login) return &p;
    }
    return nullptr;
}

std::string DemoWorld::NameOf(const std::string& login) const {
    std::lock_guard lock(mutex_);
    const DemoPerson* p = Find(login);
    if (p) return p->nickname;
    return login == kStrangerLogin ? std::string(kStrangerName) : login;
}

void DemoWorld::SendToSession(const OutFrame& frame) {
    int session;
    {
        std::lock_guard lock(mutex_);
        session = session_;
    }
    if (session >= 0) service_->Send(frame, session);
}

test::Bytes DemoWorld::PresenceOf(const DemoPerson& p) {
    std::vector<test::Bytes> items;
    items.push_back(test::PictureInfo(p.picture));
    items.push_back(test::StatusTextItem(p.statusText));
    items.push_back(test::TextTimeItem(++textTime_));
    if (p.mood >= 0) items.push_back(test::MoodItem("icqmood" + std::to_string(p.mood)));
    const int32_t wire = StatusToWire(kIcq, p.status);
    return test::UserBlock(
        p.login, {test::ClassTlv(kUserClass), test::StatusTlv(static_cast<uint16_t>(wire)),
                  test::SessionDataTlv(items)});
}

Reply DemoWorld::OnSignedOn(const ReceivedFrame& f) {
    Reply reply;
    bool startWandering = false, scheduleAuthorisation = false;
    int online = 0;
    {
        std::lock_guard lock(mutex_);
        session_ = f.connection;
        for (const DemoPerson& p : people_) {
            if (p.status == kStatusOffline) continue;
            reply.frames.push_back(SnacFrame(0x03, 0x0B, PresenceOf(p)));
            ++online;
        }
        startWandering = !std::exchange(wandering_, true);
        scheduleAuthorisation = !std::exchange(authorisationScheduled_, true);
    }
    Say("client signed on (service connection " + std::to_string(f.connection) + "); " +
        std::to_string(online) + " contacts are online");
    if (startWandering) Schedule(5s, [this] { Wander(); });
    if (scheduleAuthorisation) Schedule(12s, [this] { SendAuthorisationRequest(); });
    return reply;
}

void DemoWorld::OnOwnStatus(const ReceivedFrame& f) {
    const auto tlvs = test::ParseTlvs(f.snacData());
    const test::WireTlv* status = test::FindTlv(tlvs, 0x0006);
    if (!status || status->value.size() < 4) return;
    Say("the client's own status is now " + StatusWord(StatusFromWire(Be16(status->value, 2))));
}

Reply DemoWorld::OnMessage(const ReceivedFrame& f) {
    // Cookie, channel, recipient, then the TLVs; the text is fragment 0x0101 of TLV 0x0002.
    const test::Bytes body = f.snacData();
    if (body.size() < 11 || body.size() < 11u + body[10]) return {};
    const test::Bytes head(body.begin(), body.begin() + 11 + body[10]);
    const std::string login(body.begin() + 11, body.begin() + 11 + body[10]);
    test::Bytes text;
    const auto tlvs = test::ParseTlvs(std::span(body).subspan(head.size()));
    if (const test::WireTlv* message = test::FindTlv(tlvs, 0x0002)) {
        const test::Bytes& m = message->value;
        for (size_t at = 0; m.size() - at >= 4;) {
            const size_t length = Be16(m, at + 2);
            if (m.size() - at - 4 < length) break;
            if (m[at] == 0x01 && m[at + 1] == 0x01 && length >= 4) {
                text.assign(m.begin() + at + 8, m.begin() + at + 4 + length);
            }
            at += 4 + length;
        }
    }
    Say("message to " + NameOf(login) + ": " + Utf8OfUcs2(text) + " (acknowledged)");
    const int connection = f.connection;
    Schedule(700ms, [this, connection, login] {
        service_->Send(TypingNotice(login, 0x0002), connection);
    });
    Schedule(2200ms, [this, connection, login, text] { Echo(connection, login, text); });
    // The server's acknowledgement: the client's cookie, channel and recipient.
    return Reply({SnacFrame(0x04, 0x0C, head, f.requestId())});
}

void DemoWorld::Echo(int connection, const std::string& login, const test::Bytes& ucs2) {
    int32_t status = kStatusAvailable;
    {
        std::lock_guard lock(mutex_);
        if (const DemoPerson* p = Find(login)) status = p->status;
    }
    const test::Bytes reply = Ucs2OfUtf8("You said: \"" + Utf8OfUcs2(ucs2) + "\"");
    service_->Send(TypingNotice(login, 0x0000), connection);
    service_->Send(SnacFrame(0x04, 0x07, MessageBody(login, status, reply, std::nullopt)),
                   connection);
    Say(NameOf(login) + " answers: " + Utf8OfUcs2(reply));
}

Reply DemoWorld::OnOfflineRequest(const ReceivedFrame& f) {
    Reply reply;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = !std::exchange(offlineMessageSent_, true);
    }
    if (first) {
        const uint32_t threeHoursAgo = static_cast<uint32_t>(std::time(nullptr)) - 3 * 3600;
        reply.frames.push_back(SnacFrame(
            0x04, 0x07,
            MessageBody(kOfflineSender, kStatusOffline, Ucs2OfUtf8(kOfflineText), threeHoursAgo),
            f.requestId()));
        Say("delivering an offline message from " + NameOf(kOfflineSender));
    }
    reply.frames.push_back(SnacFrame(0x04, 0x17, {}, f.requestId()));
    return reply;
}

// ICQ offline messages: the meta request 0x3C is answered by one 0x41 per message (sender,
// UTC date and time, type, flags, text) and the end marker 0x42; 0x3E deletes them.
Reply DemoWorld::OnMetaOfflineRequest(const ReceivedFrame& f, uint32_t own, uint16_t sequence,
                                      uint16_t type) {
    if (type == 0x003E) {
        Say("offline messages deleted on the client's request");
        return {};
    }
    auto meta = [&](const ByteWriter& data) { return MetaFrame(f, data); };
    Reply reply;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = !std::exchange(offlineMessageSent_, true);
    }
    if (first) {
        const time_t sent = std::time(nullptr) - 3 * 3600;
        tm utc{};
        gmtime_r(&sent, &utc);
        const std::string text = kOfflineText;
        ByteWriter data;
        data.U32LE(own).U16LE(0x0041).U16LE(sequence);
        data.U32LE(static_cast<uint32_t>(std::stoul(kOfflineSender)));
        data.U16LE(static_cast<uint16_t>(utc.tm_year + 1900)).U8(utc.tm_mon + 1).U8(utc.tm_mday);
        data.U8(utc.tm_hour).U8(utc.tm_min).U8(0x01).U8(0x00);
        data.U16LE(static_cast<uint16_t>(text.size() + 1)).Raw(text).U8(0);
        reply.frames.push_back(meta(data));
        Say("delivering an offline message from " + NameOf(kOfflineSender));
    }
    ByteWriter end;
    end.U32LE(own).U16LE(0x0042).U16LE(sequence).U8(0);
    reply.frames.push_back(meta(end));
    return reply;
}

Reply DemoWorld::OnDetailsRequest(const ReceivedFrame& f) {
    // TLV 0x0001, little-endian: size, own number, request type, sequence, then for 0x07D0
    // the subtype 0x04BA and the number asked.
    const auto tlvs = test::ParseTlvs(f.snacData());
    const test::WireTlv* request = test::FindTlv(tlvs, 0x0001);
    if (!request || request->value.size() < 10) return {};
    {
        const test::Bytes& r = request->value;
        const uint16_t type = static_cast<uint16_t>(r[6] | r[7] << 8);
        if (type == 0x003C || type == 0x003E) {
            const uint32_t own = static_cast<uint32_t>(r[2] | r[3] << 8 | r[4] << 16 | r[5] << 24);
            return OnMetaOfflineRequest(f, own, static_cast<uint16_t>(r[8] | r[9] << 8), type);
        }
    }
    if (request->value.size() < 16) return {};
    const test::Bytes& r = request->value;
    auto le16 = [&](size_t at) { return static_cast<uint16_t>(r[at] | r[at + 1] << 8); };
    auto le32 = [&](size_t at) { return static_cast<uint32_t>(le16(at) | le16(at + 2) << 16); };
    const uint32_t own = le32(2), asked = le32(12);
    const uint16_t sequence = le16(8);
    if (le16(10) == 0x04B2) return OnFullDetailsRequest(f, own, sequence, asked);
    if (le16(10) == 0x051F || le16(10) == 0x0515 || le16(10) == 0x0529)
        return OnSearchRequest(f, own, sequence, le16(10), r);

    std::string nickname, first, last, email;
    if (asked == own) {
        nickname = kOwnNickname, first = "Demo", last = "User", email = "demo@localhost";
    } else if (std::to_string(asked) == kStrangerLogin) {
        nickname = kStrangerName, first = "Iris", last = "Novak", email = "iris@localhost";
    }
    ByteWriter data;
    data.U32LE(own).U16LE(0x07DA).U16LE(sequence).U16LE(0x0104).U8(0x0A);
    for (const std::string* text : {&nickname, &first, &last, &email}) {
        data.U16LE(static_cast<uint16_t>(text->size())).Raw(*text);
    }
    data.U8(0);
    Say("details of " + std::to_string(asked) + " asked for" +
        (nickname.empty() ? std::string(" (unknown)") : ": " + nickname));
    return Reply({MetaFrame(f, data)});
}

Reply DemoWorld::OnFullDetailsRequest(const ReceivedFrame& f, uint32_t own, uint16_t sequence,
                                      uint32_t asked) {
    static const char* const kCities[] = {"Lyon", "Oslo", "Porto", "Kraków", "Ghent"};
    static const uint16_t kCountries[] = {33, 47, 351, 48, 32};
    DemoPerson person;
    size_t index = 0;
    {
        std::lock_guard lock(mutex_);
        const DemoPerson* p = Find(std::to_string(asked));
        if (p == nullptr) {
            // Nobody by that number: the directory says so in one reply.
            return Reply({MetaReplyFrame(f, own, sequence, 0x00C8, 0x14, ByteWriter())});
        }
        person = *p;
        index = static_cast<size_t>(p - people_.data());
    }
    auto reply = [&](uint16_t type, const ByteWriter& body) {
        return MetaReplyFrame(f, own, sequence, type, 0x0A, body);
    };
    auto text = [](ByteWriter& w, const std::string& t) {
        w.U16LE(static_cast<uint16_t>(t.size() + 1)).Raw(t).U8(0);
    };
    const std::string& name = person.nickname;
    const size_t blank = name.find(' ');
    const std::string first = name.substr(0, blank);
    const std::string last = blank == std::string::npos ? "" : name.substr(blank + 1);
    ByteWriter basic;
    for (const std::string& t : {name, first, last, person.login + "@demo.localhost",
                                 std::string(kCities[index % 5]), std::string(), std::string(),
                                 std::string(), std::string(), std::string(), std::string()}) {
        text(basic, t);
    }
    basic.U16LE(kCountries[index % 5]).U8(0).U8(0).U8(1).U8(0).U8(0);
    ByteWriter more;
    more.U16LE(static_cast<uint16_t>(24 + index * 3)).U8(index % 2 == 0 ? 1 : 2);
    text(more, "https://demo.localhost/" + person.login);
    more.U16LE(0).U8(0).U8(0).U8(0).U8(0).U8(0);
    ByteWriter notes;
    text(notes, "A person of the demo world. " + person.statusText);
    Say("full details of " + name + " asked for");
    return Reply({reply(0x00C8, basic), reply(0x00DC, more), reply(0x00E6, notes),
                  reply(0x00FA, ByteWriter().U8(0))});
}

Reply DemoWorld::OnSearchRequest(const ReceivedFrame& f, uint32_t own, uint16_t sequence,
                                 uint16_t subtype, const test::Bytes& r) {
    // The texts of the request: after the 12-byte header, counted and zero-terminated.
    std::vector<std::string> texts;
    for (size_t at = 12; at + 2 <= r.size();) {
        const size_t length = static_cast<size_t>(r[at] | r[at + 1] << 8);
        if (at + 2 + length > r.size()) break;
        std::string text(r.begin() + static_cast<std::ptrdiff_t>(at + 2),
                         r.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        while (!text.empty() && text.back() == 0) text.pop_back();
        texts.push_back(text);
        at += 2 + length;
    }
    std::string wanted;
    if (subtype == 0x051F && r.size() >= 16)
        wanted = std::to_string(static_cast<uint32_t>(r[12] | r[13] << 8 | r[14] << 16) |
                                static_cast<uint32_t>(r[15]) << 24);
    if (subtype == 0x0515 && texts.size() == 3) wanted = texts[2];
    if (subtype == 0x0529 && !texts.empty()) wanted = texts[0];
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::vector<DemoPerson> found;
    {
        std::lock_guard lock(mutex_);
        for (const DemoPerson& p : people_) {
            const std::string haystack = subtype == 0x051F   ? p.login
                                         : subtype == 0x0529 ? p.login + "@demo.localhost"
                                                             : lower(p.nickname);
            if (!wanted.empty() &&
                haystack.find(subtype == 0x0515 ? lower(wanted) : wanted) != std::string::npos)
                found.push_back(p);
        }
    }
    Say("directory search for '" + wanted + "': " + std::to_string(found.size()) + " found");
    auto meta = [&](uint16_t type, uint8_t result, const ByteWriter& body) {
        return MetaReplyFrame(f, own, sequence, type, result, body);
    };
    Reply reply;
    if (found.empty()) {
        reply.frames.push_back(meta(0x01AE, 0x32, ByteWriter()));
        return reply;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        const DemoPerson& p = found[i];
        ByteWriter record;
        record.U32LE(static_cast<uint32_t>(std::stoul(p.login)));
        for (const std::string& t :
             {p.nickname, std::string(), std::string(), p.login + "@demo.localhost"})
            record.U16LE(static_cast<uint16_t>(t.size() + 1)).Raw(t).U8(0);
        record.U8(1).U16LE(p.status == kStatusOffline ? 0 : 1).U8(0).U16LE(0);
        const bool last = i + 1 == found.size();
        ByteWriter body;
        body.U16LE(static_cast<uint16_t>(record.bytes.size())).Raw(record.bytes);
        if (last) body.U32LE(0);
        reply.frames.push_back(meta(last ? 0x01AE : 0x01A4, 0x0A, body));
    }
    return reply;
}

Reply DemoWorld::OnLocationRequest(const ReceivedFrame& f) {
    const test::Bytes data = f.snacData();
    if (data.size() < 5 || data.size() < 5u + data[4]) return {};
    const std::string login(data.begin() + 5, data.begin() + 5 + data[4]);
    DemoPerson person;
    {
        std::lock_guard lock(mutex_);
        const DemoPerson* p = Find(login);
        if (p == nullptr || p->status == kStatusOffline) {
            return Reply({SnacFrame(0x02, 0x01, test::Bytes{0x00, 0x04}, f.requestId())});
        }
        person = *p;
    }
    ByteWriter w;
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0).U16(0);
    w.Tlv(0x0001, std::string_view("text/aolrtf; charset=\"utf-8\""));
    w.Tlv(0x0002, "<HTML><BODY>Hello, I am <B>" + person.nickname +
                      "</B>.<BR>Write me any time.</BODY></HTML>");
    if (person.status != kStatusAvailable && person.status != kStatusFreeForChat) {
        w.Tlv(0x0003, std::string_view("text/aolrtf; charset=\"utf-8\""));
        w.Tlv(0x0004, person.statusText);
    }
    return Reply({SnacFrame(0x02, 0x06, w.bytes, f.requestId())});
}

void DemoWorld::SendAuthorisationRequest() {
    const std::string reason = "Hi! We met at the conference. May I add you to my list?";
    ByteWriter w;
    w.U32(0).U32(0).U8(sizeof kStrangerLogin - 1).Raw(kStrangerLogin);
    w.U16(static_cast<uint16_t>(reason.size())).Raw(reason);
    SendToSession(SnacFrame(0x13, 0x19, w.bytes));
    Say(std::string(kStrangerName) + " (" + kStrangerLogin + ") asks for authorisation");
}

void DemoWorld::Wander() {
    std::string line;
    OutFrame notice;
    std::chrono::milliseconds next;
    {
        std::lock_guard lock(mutex_);
        std::vector<DemoPerson*> candidates;
        int online = 0;
        for (DemoPerson& p : people_) {
            if (p.awaitingAuth) continue;  // stays invisible until authorised
            candidates.push_back(&p);
            online += p.status != kStatusOffline;
        }
        DemoPerson& p = *candidates[random_() % candidates.size()];
        const int roll = static_cast<int>(random_() % 100);
        if (p.status == kStatusOffline) {
            p.status = kOnlineStatuses[random_() % std::size(kOnlineStatuses)];
            line = p.nickname + " comes online (" + StatusWord(p.status) + ")";
        } else if (roll < 20 && online > 4) {
            p.status = kStatusOffline;
            line = p.nickname + " goes offline";
        } else if (roll < 60) {
            p.status = kOnlineStatuses[random_() % std::size(kOnlineStatuses)];
            line = p.nickname + " is now " + StatusWord(p.status);
        } else {
            const Mood& m = kMoods[random_() % std::size(kMoods)];
            p.statusText = m.text, p.mood = m.mood;
            line = p.nickname + " says \"" + p.statusText + "\"" +
                   (p.mood >= 0 ? " (mood: " + ToUtf8(MoodName(p.mood)) + ")" : std::string());
        }
        notice = p.status == kStatusOffline ? SnacFrame(0x03, 0x0C, test::UserBlock(p.login, {}))
                                            : SnacFrame(0x03, 0x0B, PresenceOf(p));
        next = std::chrono::milliseconds(4000 + random_() % 5000);
    }
    Say(line);
    SendToSession(notice);
    Schedule(next, [this] { Wander(); });
}

}  // namespace zul::demo
