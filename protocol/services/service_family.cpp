// Generic service (family 0x01): the sign-on sequence that brings a new service connection
// into use, rate classes, the family's messages on a running session, and the own status.
#include <algorithm>
#include <vector>

#include "platform/error.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_links.h"
#include "protocol/services/families.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {
namespace {

constexpr uint16_t kToolId = 0x0110;
constexpr uint16_t kToolVersion = 0x164F;
// A rate table always has at least this many positions.
constexpr size_t kMinRateClasses = 5;

// The families and versions the client announces, in announcement order.
constexpr uint16_t kFamilyVersions[][2] = {
    {0x0022, 1}, {0x0001, 4}, {0x0013, 4}, {0x0002, 1}, {0x0003, 1}, {0x0015, 1},
    {0x0004, 1}, {0x0006, 1}, {0x0009, 1}, {0x000A, 1}, {0x000B, 1},
};

// An optional step of the sign-on: the request, then its reply or its error reply, dropped.
void AskOptional(COscar& session, uint16_t family, uint16_t request, uint16_t replySubtype) {
    COscarPacket frame = COscarPacket::Snac(family, request);
    session.SendFrame(Link::Service, frame);
    COscarPacket reply;
    session.ReceiveReply(reply, family, {replySubtype}, frame.requestId());
}

void SendEmptySnac(COscar& session, Link link, uint16_t family, uint16_t subtype) {
    COscarPacket frame = COscarPacket::Snac(family, subtype);
    session.SendFrame(link, frame);
}

}  // namespace

// Reads SNAC(0x01,0x07) into a table. Servers describe a class in 30 bytes (id, window and
// six levels) or in 35 (plus the last send time and a state byte); the length is told apart
// by where the member lists begin, each of which starts with a class id already seen.
// Positions up to the minimum of five are empty classes with zero levels and no id.
namespace {

// The 30 bytes of a rate class as the rate reply and the rate notices carry it: id, window,
// clear, alert, limit and disconnect levels, current and maximum level.
RateClass ReadRateClassRecord(ByteReader& r) {
    RateClass c;
    c.id = r.ReadU16();
    c.windowSize = r.ReadU32();
    c.clearLevel = r.ReadU32();
    c.alertLevel = r.ReadU32();
    c.limitLevel = r.ReadU32();
    r.ReadU32();  // disconnect level
    c.currentLevel = r.ReadU32();
    c.maxLevel = r.ReadU32();
    return c;
}

}  // namespace

std::vector<RateClass> ParseRateInfo(ByteSpan body) {
    ByteReader head(body);
    const uint16_t count = head.ReadU16();
    // True when, with records of `length` bytes, the member lists that follow name only
    // classes described before them and end exactly at the end of the body.
    auto membersFit = [&](size_t length) {
        size_t at = 2 + static_cast<size_t>(count) * length;
        if (!head.ok() || at > body.size()) return false;
        std::vector<uint16_t> ids;
        for (uint16_t i = 0; i < count; ++i) ids.push_back(ReadU16(body.data() + 2 + i * length));
        for (uint16_t i = 0; i < count; ++i) {
            if (at + 4 > body.size()) return false;
            if (std::find(ids.begin(), ids.end(), ReadU16(body.data() + at)) == ids.end()) {
                return false;
            }
            at += 4 + 4 * static_cast<size_t>(ReadU16(body.data() + at + 2));
        }
        return at == body.size();
    };
    size_t recordLength = 30;
    if (!membersFit(30) && (membersFit(35) || body.size() == 2 + static_cast<size_t>(count) * 35)) {
        recordLength = 35;
    }
    ByteReader r(body);
    r.ReadU16();
    std::vector<RateClass> classes;
    for (uint16_t i = 0; i < count && r.ok(); ++i) {
        RateClass c = ReadRateClassRecord(r);
        r.Skip(recordLength - 30);  // last send time and state
        if (!r.ok()) break;
        classes.push_back(std::move(c));
    }
    // Member lists name their class by id, in any order.
    for (size_t i = 0; i < classes.size() && r.ok(); ++i) {
        const uint16_t id = r.ReadU16();
        const uint16_t members = r.ReadU16();
        RateClass* target = nullptr;
        for (RateClass& c : classes) {
            if (c.id == id) target = &c;
        }
        for (uint16_t m = 0; m < members && r.ok(); ++m) {
            const uint32_t member = r.ReadU32();
            if (r.ok() && target) target->members.push_back(member);
        }
    }
    if (classes.size() < kMinRateClasses) classes.resize(kMinRateClasses);
    return classes;
}

void SendRateAcknowledge(COscar& session, Link link) {
    // The ids the server announced, in its order.
    COscarPacket ack = COscarPacket::Snac(0x01, 0x08);
    for (uint16_t id : session.Rates(link).Ids()) ack.AppendU16(id);
    session.SendFrame(link, ack);
}

void AssignRateClasses(RateClassTable& table, ByteSpan body) {
    std::vector<RateClass> classes = ParseRateInfo(body);
    // The server's current levels are as of now.
    const uint32_t now = GetTick();
    for (RateClass& c : classes) c.lastSend = now;
    table.Assign(std::move(classes));
}

void AssignAvatarRateClasses(COscar& session, ByteSpan body) {
    std::vector<RateClass> classes = ParseRateInfo(body);
    RateClassTable& service = session.Rates(Link::Service);
    bool same = service.Count() == classes.size();
    for (size_t i = 0; same && i < classes.size(); ++i) {
        const std::optional<RateClass> known = service.At(i);
        same = known && known->id == classes[i].id && known->windowSize == classes[i].windowSize &&
               known->clearLevel == classes[i].clearLevel && known->maxLevel == classes[i].maxLevel;
    }
    session.SetAvatarSharesRates(same);
    if (!same) {
        AssignRateClasses(session.Rates(Link::Avatar), body);
        return;
    }
    // One state for both links: the picture link's reply brings its current levels.
    const uint32_t now = GetTick();
    for (size_t i = 0; i < classes.size(); ++i) service.ApplyServerLevels(i, classes[i], now);
}

void ApplyRateChange(RateClassTable& table, ByteSpan body) {
    // A change of a class's parameters, a warning, a limit or the clear after one: each
    // carries the class as the server sees it now. The next sends of the class are paced
    // from the server's current level, so a warned class slows down rather than be limited.
    ByteReader r(body);
    r.ReadU16();  // message code: 1 changed, 2 warning, 3 limited, 4 cleared
    const RateClass update = ReadRateClassRecord(r);
    if (!r.ok()) return;
    if (auto position = table.FindId(update.id)) {
        table.ApplyServerLevels(*position, update, GetTick());
    }
}

void SendIdle(COscar& session, uint32_t seconds) {
    COscarPacket frame = COscarPacket::Snac(0x01, 0x11);
    frame.AppendU32(seconds);
    session.SendFrame(Link::Service, frame);
}

bool IsAwayStatus(int32_t status) {
    return status != kStatusAvailable && status != kStatusFreeForChat &&
           status != kStatusInvisible && status != kStatusOffline;
}

std::u16string AwayText(int32_t status, const std::u16string& note) {
    if (!IsAwayStatus(status)) return std::u16string();
    return note.empty() ? StatusName(acctype::kAim, status) : note;
}

// The away message (location service): the user's note, or the status's name without one;
// empty while not away, which means back.
void SendAwayMessage(COscar& session, int32_t status, const std::u16string& note) {
    const std::string text = ToUtf8(AwayText(status, note));
    COscarPacket frame = COscarPacket::Snac(0x02, 0x04);
    frame.AppendTlv(0x0003, InfoTextMimeType(text));
    frame.AppendTlv(0x0004, text);
    session.SendFrame(Link::Service, frame);
}

// TLV 0x001D of the status frame with the status note item (type 2, flags 4): its UTF-8
// text with a 16-bit length, and an empty encoding.
void AppendStatusNote(COscarPacket& frame, const std::u16string& note) {
    std::string text = ToUtf8(note);
    if (text.size() > 250) text.resize(250);
    std::vector<uint8_t> item = {0x00, 0x02,
                                 0x04, static_cast<uint8_t>(text.size() + 4),
                                 0x00, static_cast<uint8_t>(text.size())};
    item.insert(item.end(), text.begin(), text.end());
    item.push_back(0x00);
    item.push_back(0x00);
    frame.AppendTlv(0x001D, item.size(), item.data());
}

// The privacy mode a status asks for: invisible shows the account to the visible list only;
// otherwise the user's choice holds, else the server's setting, else everybody but the
// invisible list (so that the invisible list works).
uint8_t PrivacyModeFor(COscar& session, bool invisible) {
    constexpr uint8_t kVisibleListOnly = 3, kAllButInvisibleList = 4;
    const uint8_t server = session.PrivacyMode();
    if (invisible) {
        // The mode to come back to is remembered before invisibility replaces it (the
        // account's row is saved with the new status).
        if (session.PrivacyChoice() == 0) {
            session.SetPrivacyChoice(server != 0 ? server : kAllButInvisibleList);
        }
        return kVisibleListOnly;
    }
    if (session.PrivacyChoice() != 0) return session.PrivacyChoice();
    return server != 0 ? server : kAllButInvisibleList;
}

// Writes the permit/deny item when its mode must change (or the server has none): the mode
// and the item's other TLVs as the server had them.
void SendPrivacyItem(COscar& session, uint8_t mode) {
    uint16_t itemId = session.PermitDenyItemId();
    if (itemId != 0 && session.PrivacyMode() == mode) return;
    uint16_t subtype = 0x09;
    if (itemId == 0) {
        itemId = 0x9999;
        subtype = 0x08;
        session.SetPermitDenyItemId(itemId);
    }
    const std::vector<uint8_t> others = session.PrivacyItemTlvs();
    const uint16_t requestId = session.Pending().Add(0);
    COscarPacket privacy = COscarPacket::Snac(0x13, subtype, requestId);
    privacy.AppendU16(0x0000);  // no name
    privacy.AppendU16(0x0000);  // group
    privacy.AppendU16(itemId);
    privacy.AppendU16(0x0004);  // permit/deny settings
    privacy.AppendU16(static_cast<uint16_t>(5 + others.size()));
    privacy.AppendTlvU8(kPrivacyModeTlv, mode);
    privacy.AppendBytes(ByteSpan(others));
    session.SendFrame(Link::Service, privacy);
    session.SetPrivacyMode(mode);
}

void SendOwnStatusFrames(COscar& session, int32_t status) {
    const uint16_t wire = StatusToWire(session.EffectiveType(), status);
    SendPrivacyItem(session, PrivacyModeFor(session, wire == 0x0100));

    const std::u16string note = session.StatusNote();
    const bool aim = session.EffectiveType() == acctype::kAim;
    // A note the server has is replaced, also by none.
    const bool withNote = !note.empty() || session.NoteOnServer();
    // Marked before the frames go: a status change on another thread meanwhile must not send
    // the note's replacement a second time.
    session.SetNoteOnServer(!note.empty());
    // A new status or away message: every contact may be answered once again while away.
    session.StartAwayPeriod();
    COscarPacket statusFrame = COscarPacket::Snac(0x01, 0x1E);
    statusFrame.AppendU16(0x0006);
    statusFrame.AppendU16(4);
    statusFrame.AppendU16(0x0100);
    statusFrame.AppendU16(wire);
    if (!aim && withNote) AppendStatusNote(statusFrame, note);
    session.SendFrame(Link::Service, statusFrame);

    // AIM has no status word: away is an away message set through the location service
    // (the server then marks the user class away); an empty one means back. ICQ's note goes
    // there too, for the servers that keep no status note.
    if (aim || withNote) SendAwayMessage(session, status, note);
}

bool SendOwnStatus(COscar& session, int32_t status) {
    try {
        SendOwnStatusFrames(session, status);
        return true;
    } catch (const CError&) {
        return false;
    }
}

void SignOnServices(COscar& session) {
    // Rate classes; a server that refuses them leaves the client without rate control.
    COscarPacket rateRequest = COscarPacket::Snac(0x01, 0x06);
    session.SendFrame(Link::Service, rateRequest);
    COscarPacket rates;
    if (session.ReceiveReply(rates, 0x01, {0x07}, rateRequest.requestId())) {
        AssignRateClasses(session.Rates(Link::Service), rates.snacData());
        SendRateAcknowledge(session, Link::Service);
    }

    // Rights of each family: optional, an error reply ends the step.
    AskOptional(session, 0x02, 0x02, 0x03);
    AskOptional(session, 0x03, 0x02, 0x03);
    SetMessageParameters(session);
    AskOptional(session, 0x09, 0x02, 0x03);
    COscarPacket listRights = COscarPacket::Snac(0x13, 0x02);
    listRights.AppendTlvU16(0x000B, 0x000F);
    session.SendFrame(Link::Service, listRights);
    COscarPacket listRightsReply;
    session.ReceiveReply(listRightsReply, 0x13, {0x03}, listRights.requestId());

    // The server-side list.
    SendEmptySnac(session, Link::Service, 0x13, 0x04);
    ReceiveServerList(session);
    SendEmptySnac(session, Link::Service, 0x13, 0x07);

    SendCapabilities(session);
    SendIdle(session, 0);

    // A sign-on that cannot set the status ends with the send's error, like any other step.
    const int32_t requested = session.RequestedStatus();
    SendOwnStatusFrames(session, requested);
    session.SetStatus(requested);

    COscarPacket ready = COscarPacket::Snac(0x01, 0x02);
    for (const auto& fv : kFamilyVersions) {
        ready.AppendWordPair(fv[0], fv[1]);
        ready.AppendWordPair(kToolId, kToolVersion);
    }
    session.SendFrame(Link::Service, ready);

    session.MarkRepaint();
    // The own user info (0x01,0x0F) gives the login as the server formats it.
    if (session.EffectiveType() == acctype::kAim) SendEmptySnac(session, Link::Service, 0x01, 0x0E);
    if (session.EffectiveType() == acctype::kIcq) {
        RequestOfflineMessagesIcq(session);
    } else {
        RequestOfflineMessagesAim(session);
    }
    session.RequestShortDetails(session.Login(), true);

    // The account's row (the status, the sign-on's traffic counters) and the groups' clean-up
    // are written with the session's first burst: the presence that follows the ready frame is
    // stored in the same commit rather than waiting for one of its own.
    session.OweAccountSave();
}

constexpr int kStrWarnedBy = 1184;

// SNAC(0x01,0x10): the account was warned; its new level, then the warner's user info unless
// the warning was anonymous. A named warning is told in the warner's chat.
void HandleWarned(COscar& session, const COscarPacket& frame) {
    ByteReader r(frame.snacData());
    const int level = r.ReadU16();
    session.SetWarningLevel(level);
    if (r.Remaining() == 0) return;
    const std::u16string warner = FromUtf8(r.ReadString(r.ReadU8()));
    if (warner.empty()) return;
    session.Apply(event::Message{.login = warner,
                                 .status = kStatusOffline,
                                 .text = FormatInt(ResString(kStrWarnedBy), level / 10)});
}

void TakeOwnFormattedName(COscar& session, const std::u16string& name) {
    const std::u16string login = session.Login();
    if (!IsUsableLogin(name) || !SameLogin(name, login)) return;
    bool changed = false;
    // A nickname of the user's own stays; one that is only the login takes the formatting.
    if (const std::u16string nick = session.OwnerNick(); nick != name && SameLogin(nick, login)) {
        session.SetOwnerNick(name);
        changed = true;
    }
    // So does the account's title while it is the one made of the login ("AIM zulalice").
    const int type = session.EffectiveType();
    const std::u16string title = session.Description();
    const std::u16string prefix = AccountTitle(type, u"");
    if (title.starts_with(prefix) &&
        SameLogin(std::u16string_view(title).substr(prefix.size()), login) &&
        title != AccountTitle(type, name)) {
        session.SetDescription(AccountTitle(type, name));
        changed = true;
    }
    if (changed) {
        session.dbSave();
        session.MarkRepaint();
    }
}

namespace {

// SNAC(0x01,0x0F): the user's own info block, its name first.
void HandleOwnInfo(COscar& session, const COscarPacket& frame) {
    ByteReader r(frame.snacData());
    const ByteSpan name = r.ReadBytes(r.ReadU8());
    if (!r.ok()) return;
    TakeOwnFormattedName(session, CountedUtf8ToWide(name.data(), name.size()));
}

}  // namespace

void HandleServiceFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01:
            session.Chat().HandleServiceError(frame);
            break;
        case 0x03: {
            COscarPacket versions = COscarPacket::Snac(0x01, 0x17);
            for (const auto& fv : kFamilyVersions) versions.AppendWordPair(fv[0], fv[1]);
            session.SendFrame(Link::Service, versions);
            break;
        }
        case 0x05:
            HandleRedirectService(session, frame);
            break;
        case 0x0A:
            ApplyRateChange(session.Rates(Link::Service), frame.snacData());
            break;
        case 0x0F:
            HandleOwnInfo(session, frame);
            break;
        case 0x10:
            HandleWarned(session, frame);
            break;
        case 0x18:
            SendEmptySnac(session, Link::Service, 0x01, 0x06);
            break;
        case 0x21:
            HandleOwnPictureInfo(session, frame);
            break;
        default:
            break;
    }
}

}  // namespace zul
