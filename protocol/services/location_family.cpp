// Location (family 0x02): the capability announcement at sign-on, the profile and away message
// of a user whose details the user reads, and the away message of a contact that turned away.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {
namespace {

constexpr uint8_t kCapabilities[7][16] = {
    {0x09, 0x46, 0x00, 0x00, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00,
     0x00},
    {0x09, 0x46, 0x13, 0x4E, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00,
     0x00},
    {0x56, 0x3F, 0xC8, 0x09, 0x0B, 0x6F, 0x41, 0xBD, 0x9F, 0x79, 0x42, 0x26, 0x09, 0xDF, 0xA2,
     0xF3},
    {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00,
     0x00},
    {0x09, 0x46, 0x13, 0x4C, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00,
     0x00},
    {0x09, 0x46, 0x13, 0x4D, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00,
     0x00},
    // "ZUL_", eight zero bytes and the client's build number 0x000007DA.
    {'Z', 'U', 'L', '_', 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x07, 0xDA},
};

constexpr int kStrNotSignedOn = 1040;
// Profile and away message, each well beyond what servers let a user set.
constexpr size_t kMaxInfoText = 16384;

// A text of the location service in the character set its MIME type names: UTF-16 for
// "unicode-2-0", Latin-1 for "iso-8859-1", otherwise UTF-8 (which ASCII is).
std::u16string InfoText(const Tlv* mime, const Tlv* text) {
    if (text == nullptr) return {};
    ByteSpan bytes = text->Bytes();
    if (bytes.size() > kMaxInfoText) bytes = bytes.first(kMaxInfoText);
    std::string type = mime != nullptr ? mime->AsString() : std::string();
    std::transform(type.begin(), type.end(), type.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    if (type.find("unicode-2-0") != std::string::npos) return Utf16BeToWide(bytes);
    if (type.find("iso-8859-1") != std::string::npos) {
        std::u16string latin;
        for (uint8_t b : bytes) {
            if (b == 0) break;
            latin.push_back(static_cast<char16_t>(b));
        }
        return latin;
    }
    return Utf8ToWide(bytes);
}

// Away-message queries go out at most three a second.
constexpr uint32_t kAwayQueryGapMs = 333;
constexpr size_t kAwayQueriesAtOnce = 3;
constexpr size_t kMaxStatusText = 250;  // what a status note may hold

// An away message as the contact's status text: one line, its blanks run together, no longer
// than a status note.
std::u16string AwayStatusText(std::u16string_view plain) {
    std::u16string line;
    for (char16_t c : plain) {
        const bool blank = c < 0x20 || c == u' ' || c == 0x7F || c == 0xA0;
        if (blank) {
            if (!line.empty() && line.back() != u' ') line.push_back(u' ');
            continue;
        }
        if (line.size() == kMaxStatusText) break;
        line.push_back(c);
    }
    // Never half a character: a lone leading surrogate at the cut goes.
    if (!line.empty() && line.back() >= 0xD800 && line.back() <= 0xDBFF) line.pop_back();
    while (!line.empty() && line.back() == u' ') line.pop_back();
    return line;
}

// The away message of a contact that is still away becomes its status text. A reply without
// one (the contact came back meanwhile, or the server keeps none) changes nothing.
void ShowAwayMessage(COscar& session, const std::u16string& login, const TlvList& tlvs) {
    const Tlv* message = tlvs.Find(0x0004);
    if (message == nullptr) return;
    const std::u16string text =
        AwayStatusText(PlainTextOfHtml(InfoText(tlvs.Find(0x0003), message)));
    if (text.empty()) return;
    const ContactPtr contact = session.Contacts().FindContact(&session, login);
    if (!contact || contact->Status() != kStatusAway) return;
    session.Apply(event::Presence{.login = contact->Login(),
                                  .status = kStatusAway,
                                  .textChanged = true,
                                  .text = text,
                                  .mood = contact->Mood(),
                                  .quiet = true});
}

// SNAC(0x02,0x06): the user's info block, then the profile (TLVs 1, 2) and the away message
// (TLVs 3, 4) that were asked for.
void HandleUserInfoReply(COscar& session, const COscarPacket& frame) {
    const uint16_t id = static_cast<uint16_t>(frame.requestId());
    const std::optional<PendingRequest> request = session.Pending().Find(id);
    if (!request ||
        (request->kind != kPendingLocationInfo && request->kind != kPendingAwayMessage)) {
        return;
    }
    session.Pending().Remove(id);
    const bool details = request->kind == kPendingLocationInfo;
    ByteReader reader(frame.snacData());
    const ByteSpan name = reader.ReadBytes(reader.ReadU8());
    reader.ReadU16();  // warning level
    const uint16_t count = reader.ReadU16();
    for (uint16_t i = 0; i < count && reader.ok(); ++i) {
        reader.ReadU16();
        reader.Skip(reader.ReadU16());
    }
    if (!reader.ok()) {
        if (details)
            FinishDetailsPart(session, request->text, false,
                              FormatInt(ResString(kStrNotSignedOn), 0));
        return;
    }
    if (const ContactPtr contact = session.Contacts().FindContact(&session, request->text))
        TakeFormattedName(session, *contact, CountedUtf8ToWide(name.data(), name.size()));
    TlvList tlvs;
    tlvs.Parse(reader.Rest());
    if (!details) {
        ShowAwayMessage(session, request->text, tlvs);
        return;
    }
    const std::u16string profile = PlainTextOfHtml(InfoText(tlvs.Find(0x0001), tlvs.Find(0x0002)));
    const std::u16string away = PlainTextOfHtml(InfoText(tlvs.Find(0x0003), tlvs.Find(0x0004)));
    session.UpdateDetails(request->text, [&](ContactDetails& d) {
        d.profile = profile;
        d.awayMessage = away;
    });
    FinishDetailsPart(session, request->text, true, {});
}

// SNAC(0x02,0x15) for a login: what `flags` asks for (1 the profile, 2 the away message).
void SendLocationQuery(COscar& session, uint32_t kind, const std::u16string& login,
                       uint32_t flags) {
    const std::string name = ToUtf8(login).substr(0, 0xFF);
    const uint16_t id = session.Pending().Add(kind, login);
    COscarPacket frame = COscarPacket::Snac(0x02, 0x15, id);
    frame.AppendU32(flags);
    frame.AppendU8(static_cast<uint8_t>(name.size()));
    frame.AppendBytes(name);
    try {
        session.SendFrame(Link::Service, frame);
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
}

}  // namespace

void RequestLocationInfo(COscar& session, const std::u16string& login) {
    SendLocationQuery(session, kPendingLocationInfo, login, 0x00000003);
}

void SendAwayQueries(COscar& session) {
    const std::vector<std::u16string> due =
        session.AwayQueries().TakeDue(GetTick(), kAwayQueryGapMs, kAwayQueriesAtOnce);
    for (const std::u16string& login : due) {
        // Back (or gone) since it turned away: nothing to ask.
        const ContactPtr contact = session.Contacts().FindContact(&session, login);
        if (!contact || contact->Status() != kStatusAway) continue;
        SendLocationQuery(session, kPendingAwayMessage, login, 0x00000002);
    }
}

void FinishDetailsPart(COscar& session, const std::u16string& login, bool answered,
                       const std::u16string& error) {
    session.UpdateDetails(login, [&](ContactDetails& d) {
        if (d.waiting > 0) --d.waiting;
        if (answered) {
            d.answered = true;
            d.error.clear();
        } else if (!d.answered) {
            d.error = error;
        }
    });
}

std::string_view InfoTextMimeType(std::string_view utf8) {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? "text/aolrtf; charset=\"us-ascii\"" : "text/aolrtf; charset=\"utf-8\"";
}

// The user's plain profile text as the HTML other clients show: markup characters escaped,
// line breaks kept.
std::string ProfileHtml(const std::u16string& text) {
    std::u16string html;
    for (char16_t c : text) {
        switch (c) {
            case u'<':
                html += u"&lt;";
                break;
            case u'>':
                html += u"&gt;";
                break;
            case u'&':
                html += u"&amp;";
                break;
            case u'"':
                html += u"&quot;";
                break;
            case u'\r':
                break;
            case u'\n':
                html += u"<br>";
                break;
            default:
                html += c;
        }
    }
    return ToUtf8(html);
}

namespace {

// TLVs 1 and 2 of SNAC(0x02,0x04): the profile's MIME type and its text. An empty text
// clears the profile the server has.
void AppendProfile(COscarPacket& frame, const std::u16string& profile) {
    const std::string html = ProfileHtml(profile);
    frame.AppendTlv(0x0001, InfoTextMimeType(html));
    frame.AppendTlv(0x0002, html);
}

}  // namespace

void SendCapabilities(COscar& session) {
    COscarPacket frame = COscarPacket::Snac(0x02, 0x04);
    const std::u16string profile = session.Profile();
    if (!profile.empty()) AppendProfile(frame, profile);
    frame.AppendTlv(0x0005, sizeof(kCapabilities), kCapabilities);
    session.SendFrame(Link::Service, frame);
}

void SendProfileText(COscar& session) {
    COscarPacket frame = COscarPacket::Snac(0x02, 0x04);
    AppendProfile(frame, session.Profile());
    session.SendFrame(Link::Service, frame);
}

void HandleLocationFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01: {
            // An error: for a details request, most often "not signed on". An away message
            // that cannot be had leaves the status as it is.
            const uint16_t id = static_cast<uint16_t>(frame.requestId());
            const std::optional<PendingRequest> request = session.Pending().Find(id);
            if (!request) break;
            if (request->kind == kPendingAwayMessage) session.Pending().Remove(id);
            if (request->kind != kPendingLocationInfo) break;
            session.Pending().Remove(id);
            ByteReader error(frame.snacData());
            FinishDetailsPart(session, request->text, false,
                              FormatInt(ResString(kStrNotSignedOn), error.ReadU16()));
            break;
        }
        case 0x06:
            HandleUserInfoReply(session, frame);
            break;
        default:
            WriteLog(kGeneralLog, FormatInt(u"Unhandled SNAC(0x02,0x%X)", frame.subtype()));
            break;
    }
}

}  // namespace zul
