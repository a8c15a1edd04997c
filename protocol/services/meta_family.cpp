// ICQ meta (family 0x15): the short details (nickname, names, e-mail) of an ICQ number, asked
// for the owner's own number at sign-on, which fills the owner nickname, and for contacts
// without a usable nickname, which fills their nickname and e-mail; the full directory entry
// of a contact whose details the user reads; and the offline messages.
#include "protocol/services/meta_family.h"

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>

#include "platform/local_time.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {
namespace {

constexpr uint16_t kMetaRequest = 0x07D0;
constexpr uint16_t kOfflineRequest = 0x003C;
constexpr uint16_t kOfflineMessage = 0x0041;
constexpr uint16_t kOfflineEnd = 0x0042;
constexpr uint16_t kOfflineDelete = 0x003E;
constexpr uint8_t kPlainMessage = 0x01;
constexpr uint16_t kMetaReply = 0x07DA;
constexpr uint16_t kShortDetails = 0x04BA;
constexpr uint16_t kShortDetailsReply = 0x0104;
constexpr uint16_t kFullDetails = 0x04B2;
constexpr uint16_t kBasicInfoReply = 0x00C8;
constexpr uint16_t kMoreInfoReply = 0x00DC;
constexpr uint16_t kNotesReply = 0x00E6;
constexpr uint16_t kAffiliationsReply = 0x00FA;  // the last reply of the full details
constexpr uint8_t kResultSuccess = 0x0A;
constexpr int kStrNoDetails = 1039;
constexpr uint16_t kSearchByDetails = 0x0515;
constexpr uint16_t kSearchByNumber = 0x051F;
constexpr uint16_t kSearchByEmail = 0x0529;
constexpr uint16_t kUserFoundReply = 0x01A4;
constexpr uint16_t kLastUserFoundReply = 0x01AE;
constexpr uint8_t kResultNotFound = 0x32;
constexpr int kStrNobodyFound = 1045;
constexpr int kStrSearchFailed = 1046;
// Reply subtypes of a successful meta answer; only the short details are used.
constexpr uint16_t kKnownReplies[] = {0x00C8, 0x00D2, 0x00DC, 0x00E6, 0x00EB,
                                      0x00F0, 0x00FA, 0x0104, 0x010E};

bool IsDecimalNumber(std::u16string_view login) {
    return !login.empty() && std::all_of(login.begin(), login.end(),
                                         [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

struct ShortDetails {
    std::u16string nickname, firstName, lastName, email;
};

// Four texts, each a 16-bit byte count (low byte first) and its bytes in the default code
// page. False when a text claims more bytes than the reply holds.
bool ReadShortDetails(ByteReader& reader, ShortDetails& out) {
    std::u16string* texts[] = {&out.nickname, &out.firstName, &out.lastName, &out.email};
    for (std::u16string* text : texts) {
        const uint16_t length = reader.ReadU16LE();
        const ByteSpan bytes = reader.ReadBytes(length);
        if (!reader.ok()) return false;
        *text = BytesToWide(bytes, 0);
    }
    reader.ReadU8();  // not used
    return true;
}

// A directory text: a 16-bit byte count (low byte first) and its bytes, zero-terminated.
// UTF-8 where the bytes are valid UTF-8 with something beyond ASCII, the legacy code page
// elsewhere. Nothing when the count runs past the reply.
std::optional<std::u16string> ReadMetaText(ByteReader& reader) {
    const uint16_t length = reader.ReadU16LE();
    ByteSpan bytes = reader.ReadBytes(length);
    if (!reader.ok()) return std::nullopt;
    const auto zero = std::find(bytes.begin(), bytes.end(), 0);
    bytes = bytes.first(static_cast<size_t>(zero - bytes.begin()));
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b >= 0x80; })) {
        const std::u16string wide = FromUtf8(raw);
        if (ToUtf8(wide) == raw) return wide;
    }
    return BytesToWide(bytes, 0);
}

// Reads texts in order into the fields given (nullptr skips one); false when one is cut.
bool ReadMetaTexts(ByteReader& reader, std::initializer_list<std::u16string*> fields) {
    for (std::u16string* field : fields) {
        std::optional<std::u16string> text = ReadMetaText(reader);
        if (!text) return false;
        if (field != nullptr) *field = std::move(*text);
    }
    return true;
}

// 0x00C8: nickname, first and last name, e-mail, city, state, phone, fax, street, mobile,
// postcode, then the country.
void ReadBasicInfo(ByteReader& reader, ContactDetails& d) {
    if (!ReadMetaTexts(reader, {&d.nickname, &d.firstName, &d.lastName, &d.email, &d.city,
                                &d.region, nullptr, nullptr, nullptr, nullptr, nullptr})) {
        return;
    }
    const uint16_t country = reader.ReadU16LE();
    if (reader.ok()) d.countryCode = country;
}

// 0x00DC: age (16 bits), gender (8 bits), home page, birth date, languages. Some servers put
// an 8-bit age before a 16-bit gender; an "age" above any person's is read that way.
void ReadMoreInfo(ByteReader& reader, ContactDetails& d) {
    const uint8_t first = reader.ReadU8(), second = reader.ReadU8(), third = reader.ReadU8();
    if (!reader.ok()) return;
    int age = first | second << 8, gender = third;
    if (age > 150) {
        age = first;
        gender = second;
    }
    d.age = age;
    d.gender = gender == 1 || gender == 2 ? gender : 0;
    std::u16string homepage;
    if (ReadMetaTexts(reader, {&homepage})) d.homepage = std::move(homepage);
}

// One reply of the full details; the last (or a failure) ends the request.
void StoreFullDetails(COscar& session, const PendingRequest& request, uint16_t replyType,
                      uint8_t result, ByteReader& reader, uint16_t sequence) {
    if (result != kResultSuccess) {
        session.Pending().Remove(sequence);
        FinishDetailsPart(session, request.text, false,
                          FormatInt(ResString(kStrNoDetails), result));
        return;
    }
    session.UpdateDetails(request.text, [&](ContactDetails& d) {
        if (replyType == kBasicInfoReply) ReadBasicInfo(reader, d);
        if (replyType == kMoreInfoReply) ReadMoreInfo(reader, d);
        if (replyType == kNotesReply) ReadMetaTexts(reader, {&d.about});
    });
    if (replyType == kAffiliationsReply) {
        session.Pending().Remove(sequence);
        FinishDetailsPart(session, request.text, true, {});
    }
}

// 0x01A4 / 0x01AE: one found user, as a counted record (number, nickname, first and last name,
// e-mail, authorisation, online, gender, age); the last reply then tells how many more the
// server found and did not send. A failure ends the search with its reason.
void StoreFoundUser(COscar& session, uint16_t replyType, uint8_t result, ByteReader& reader,
                    uint16_t sequence) {
    const bool last = replyType == kLastUserFoundReply;
    if (replyType != kUserFoundReply && !last) return;
    if (last) session.Pending().Remove(sequence);
    if (result != kResultSuccess) {
        session.UpdateSearch([&](DirectorySearch& s) {
            s.searching = false;
            if (s.users.empty() && s.more == 0)
                s.error = result == kResultNotFound
                              ? ResString(kStrNobodyFound)
                              : FormatInt(ResString(kStrSearchFailed), result);
        });
        return;
    }
    const uint16_t size = reader.ReadU16LE();
    ByteReader record(reader.ReadBytes(size));
    std::optional<FoundUser> user;
    if (reader.ok()) {
        FoundUser found;
        const uint32_t number = record.ReadU32LE();
        if (ReadMetaTexts(record,
                          {&found.nickname, &found.firstName, &found.lastName, &found.email})) {
            found.authRequired = record.ReadU8() == 0;
            found.online = record.ReadU16LE() == 1;
            found.gender = record.ReadU8();
            found.age = record.ReadU16LE();
            if (found.gender != 1 && found.gender != 2) found.gender = 0;
            if (found.age > 150) found.age = 0;
            found.login = Widen(std::to_string(number));
            if (record.ok() && number != 0) user = std::move(found);
        }
    }
    const uint32_t left = last ? reader.ReadU32LE() : 0;
    const bool leftRead = last && reader.ok();
    session.UpdateSearch([&](DirectorySearch& s) {
        if (user) {
            if (s.users.size() < DirectorySearch::kMaxShown)
                s.users.push_back(std::move(*user));
            else
                ++s.more;
        }
        if (leftRead) s.more += left;
        if (last) {
            s.searching = false;
            if (s.users.empty() && s.more == 0) s.error = ResString(kStrNobodyFound);
        }
    });
}

// An empty nickname is made of the last name and, after a blank, the first name.
std::u16string ComposeNickname(const ShortDetails& details) {
    std::u16string nickname = details.nickname;
    if (nickname.empty()) {
        if (!details.lastName.empty()) nickname = details.lastName;
        if (!details.firstName.empty()) nickname += u" " + details.firstName;
    }
    return nickname;
}

void StoreShortDetails(COscar& session, const PendingRequest& request, ByteReader& reader) {
    const bool owner = request.text == session.Login() && request.kind != 0;
    ContactPtr contact;
    if (!owner) {
        contact = session.Contacts().FindContact(&session, request.text);
        if (!contact) return;
    }

    ShortDetails details;
    if (!ReadShortDetails(reader, details)) return;
    const std::u16string nickname = ComposeNickname(details);

    if (owner) {
        // An empty nickname leaves the stored one, as it does for contacts.
        if (!nickname.empty() && nickname != session.OwnerNick()) {
            session.SetOwnerNick(nickname);
            session.dbSave();
            session.MarkRepaint();
        }
        return;
    }

    bool changed = false;
    if (!nickname.empty() && nickname != contact->Nickname()) {
        contact->SetNickname(nickname);
        changed = true;
    }
    if (details.email != contact->Email()) {
        contact->SetEmail(details.email);
        changed = true;
    }
    if (changed) {
        contact->dbSave();
        session.Contacts().Rebuild();
    }
}

// The data of TLV 0x0001 of a meta request without parameters (all integers low byte first):
// byte count, own number, request type, sequence.
std::vector<uint8_t> BareMetaRequest(uint32_t ownNumber, uint16_t type, uint16_t sequence) {
    std::vector<uint8_t> data;
    auto u16 = [&](uint16_t v) {
        data.push_back(static_cast<uint8_t>(v));
        data.push_back(static_cast<uint8_t>(v >> 8));
    };
    u16(0x0008);
    u16(static_cast<uint16_t>(ownNumber));
    u16(static_cast<uint16_t>(ownNumber >> 16));
    u16(type);
    u16(sequence);
    return data;
}

// A text of an offline message. It is zero-terminated, so zero bytes inside it mean UCS-2
// (servers of today relay the sender's UCS-2 text as it came); otherwise UTF-8 where the
// bytes are valid UTF-8 with something beyond ASCII, the legacy code page elsewhere.
std::u16string OfflineText(ByteSpan bytes) {
    if (!bytes.empty() && bytes.back() == 0) bytes = bytes.first(bytes.size() - 1);
    if (std::find(bytes.begin(), bytes.end(), 0) != bytes.end()) {
        // A UCS-2 text whose last character has a zero low byte lost it to the terminator.
        std::vector<uint8_t> even(bytes.begin(), bytes.end());
        if (even.size() % 2 != 0) even.push_back(0);
        return Utf16BeToWide(ByteSpan(even));
    }
    while (!bytes.empty() && bytes.back() == 0) bytes = bytes.first(bytes.size() - 1);
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b < 0x80; });
    if (!ascii) {
        const std::u16string wide = FromUtf8(raw);
        if (ToUtf8(wide) == raw) return wide;
    }
    return BytesToWide(bytes, 0);
}

// 0x0041: sender's number, the time it was sent (UTC: year, month, day, hour, minute), type,
// flags and the text.
void StoreOfflineMessage(COscar& session, ByteReader& reader) {
    const uint32_t sender = reader.ReadU32LE();
    tm sent{};
    sent.tm_year = reader.ReadU16LE() - 1900;
    sent.tm_mon = reader.ReadU8() - 1;
    sent.tm_mday = reader.ReadU8();
    sent.tm_hour = reader.ReadU8();
    sent.tm_min = reader.ReadU8();
    const uint8_t type = reader.ReadU8();
    reader.ReadU8();  // flags
    const uint16_t length = reader.ReadU16LE();
    const ByteSpan text = reader.ReadBytes(length);
    if (!reader.ok() || sender == 0) {
        WriteLog(kGeneralLog, u"SNAC(0x15,0x03): offline message cut short, not stored");
        return;
    }
    if (type != kPlainMessage) {
        WriteLogFormat(kGeneralLog, u"SNAC(0x15,0x03): offline message of type %d skipped", type);
        return;
    }
    const std::u16string body = OfflineText(text);
    if (body.empty()) return;
    const time_t utc = timegm(&sent);
    const uint64_t time =
        utc > 0 && utc < 0xFFFFFFFFll ? UtcSecondsToLocalFileTime(static_cast<uint32_t>(utc)) : 0;
    session.Apply(event::Message{.login = Widen(std::to_string(sender)),
                                 .status = kStatusOffline,
                                 .text = body,
                                 .time = time});
}

void SendMetaRequest(COscar& session, uint16_t type, uint16_t sequence) {
    const uint32_t ownNumber = static_cast<uint32_t>(WideToInt(session.Login()));
    COscarPacket request = COscarPacket::Snac(0x15, 0x02, sequence);
    request.AppendTlv(0x0001, BareMetaRequest(ownNumber, type, sequence));
    session.SendFrame(Link::Service, request);
}

void HandleMetaReply(COscar& session, const COscarPacket& frame) {
    TlvList tlvs;
    tlvs.Parse(frame.snacData());
    const Tlv* data = tlvs.Find(0x0001);
    if (!data) return;

    ByteReader reader(data->Bytes());
    reader.ReadU16LE();  // chunk size
    reader.ReadU32LE();  // owner's number
    const uint16_t dataType = reader.ReadU16LE();
    const uint16_t sequence = reader.ReadU16LE();
    if (!reader.ok()) return;
    const std::optional<PendingRequest> request = session.Pending().Find(sequence);

    if (dataType == kOfflineMessage) {
        StoreOfflineMessage(session, reader);
        return;
    }
    if (dataType == kOfflineEnd) {
        // Every message is stored (in this burst's transaction): the server may forget them.
        session.Pending().Remove(sequence);
        SendMetaRequest(session, kOfflineDelete, session.Pending().Add(0));
        return;
    }
    if (dataType == kMetaReply) {
        const uint16_t replyType = reader.ReadU16LE();
        const uint8_t result = reader.ReadU8();
        const bool known = std::find(std::begin(kKnownReplies), std::end(kKnownReplies),
                                     replyType) != std::end(kKnownReplies);
        if (reader.ok() && request && request->kind == kPendingSearch) {
            StoreFoundUser(session, replyType, result, reader, sequence);
            return;  // the search lasts until its last reply
        }
        if (reader.ok() && request && request->kind == kPendingFullDetails) {
            StoreFullDetails(session, *request, replyType, result, reader, sequence);
            return;  // the request lasts until its last reply, whatever the frame flags say
        }
        if (reader.ok() && result == kResultSuccess && known && replyType == kShortDetailsReply &&
            request) {
            StoreShortDetails(session, *request, reader);
        }
    }
    // Bit 0 of the flags announces more packets of the same reply.
    if (!(frame.flags() & 0x0001)) session.Pending().Remove(sequence);
}

}  // namespace

std::vector<uint8_t> ShortDetailsRequestData(uint32_t ownNumber, uint16_t sequence,
                                             uint32_t number) {
    return UserMetaRequestData(ownNumber, sequence, kShortDetails, number);
}

std::vector<uint8_t> UserMetaRequestData(uint32_t ownNumber, uint16_t sequence, uint16_t subtype,
                                         uint32_t number) {
    const std::vector<uint8_t> payload = {
        static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
        static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    return MetaRequestData(ownNumber, sequence, subtype, payload);
}

std::vector<uint8_t> MetaRequestData(uint32_t ownNumber, uint16_t sequence, uint16_t subtype,
                                     const std::vector<uint8_t>& payload) {
    auto u16 = [](std::vector<uint8_t>& out, uint16_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto u32 = [&](std::vector<uint8_t>& out, uint32_t v) {
        u16(out, static_cast<uint16_t>(v));
        u16(out, static_cast<uint16_t>(v >> 16));
    };
    std::vector<uint8_t> data;
    u16(data, static_cast<uint16_t>(10 + payload.size()));
    u32(data, ownNumber);
    u16(data, kMetaRequest);
    u16(data, sequence);
    u16(data, subtype);
    data.insert(data.end(), payload.begin(), payload.end());
    return data;
}

namespace {

// A meta request whose answer a pending request of `kind` (with `text`) waits for; the pending
// request goes again when the frame could not be sent.
void SendPendingMetaRequest(COscar& session, uint32_t kind, const std::u16string& text,
                            uint16_t subtype, const std::vector<uint8_t>& payload) {
    const uint32_t ownNumber = static_cast<uint32_t>(WideToInt(session.Login()));
    const uint16_t id = session.Pending().Add(kind, text);
    COscarPacket request = COscarPacket::Snac(0x15, 0x02, id);
    request.AppendTlv(0x0001, MetaRequestData(ownNumber, id, subtype, payload));
    try {
        session.SendFrame(Link::Service, request);
    } catch (...) {
        session.Pending().Remove(id);
        throw;
    }
}

}  // namespace

bool SearchDirectory(COscar& session, DirectorySearch::By by, const std::u16string& text) {
    if (!IsDecimalNumber(session.Login())) return false;  // the directory is ICQ's
    std::vector<uint8_t> payload;
    auto lnts = [&](const std::u16string& value) {
        std::string bytes = ToUtf8(value);
        if (bytes.size() > 255) bytes.resize(255);
        payload.push_back(static_cast<uint8_t>(bytes.size() + 1));
        payload.push_back(0);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
        payload.push_back(0);
    };
    uint16_t subtype = kSearchByNumber;
    if (by == DirectorySearch::kNumber) {
        if (!IsDecimalNumber(text) || text.size() > 10) return false;
        const uint64_t number = static_cast<uint64_t>(std::stoull(ToUtf8(text)));
        if (number == 0 || number > 0xFFFFFFFFull) return false;
        for (int shift = 0; shift < 32; shift += 8)
            payload.push_back(static_cast<uint8_t>(number >> shift));
    } else if (by == DirectorySearch::kEmail) {
        subtype = kSearchByEmail;
        lnts(text);
    } else {
        subtype = kSearchByDetails;
        lnts(u"");
        lnts(u"");
        lnts(text);
    }
    // Late replies of an earlier search find no request and are dropped.
    session.Pending().TakeExpired({kPendingSearch}, 0, 0);
    SendPendingMetaRequest(session, kPendingSearch, text, subtype, payload);
    return true;
}

bool RequestFullDetails(COscar& session, const std::u16string& login) {
    if (!IsDecimalNumber(login)) return false;
    const auto number = static_cast<uint32_t>(WideToInt(login));
    SendPendingMetaRequest(
        session, kPendingFullDetails, login, kFullDetails,
        {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
         static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)});
    return true;
}

bool RequestUserDetails(COscar& session, const std::u16string& login, bool ownDetails) {
    if (!IsDecimalNumber(login)) return false;
    const uint32_t ownNumber = static_cast<uint32_t>(WideToInt(session.Login()));
    const uint32_t number = static_cast<uint32_t>(WideToInt(login));
    const uint16_t id = session.Pending().Add(ownDetails ? 1 : 0, login);

    COscarPacket request = COscarPacket::Snac(0x15, 0x02);
    request.AppendTlv(0x0001, ShortDetailsRequestData(ownNumber, id, number));
    session.SendFrame(Link::Service, request);
    return true;
}

void RequestOfflineMessagesIcq(COscar& session) {
    const uint16_t id = session.Pending().Add(kPendingOfflineIcq);
    SendMetaRequest(session, kOfflineRequest, id);
}

void HandleMetaFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01: {
            WriteLog(kGeneralLog, u"SNAC(0x15,0x01) ICQ_META_ERROR");
            // A server without the meta offline messages may still keep them the AIM way.
            const uint16_t id = static_cast<uint16_t>(frame.requestId() & 0xFFFF);
            const std::optional<PendingRequest> pending = session.Pending().Find(id);
            if (id != 0 && pending) {
                session.Pending().Remove(id);
                if (pending->kind == kPendingOfflineIcq) RequestOfflineMessagesAim(session);
                if (pending->kind == kPendingSearch) {
                    ByteReader error(frame.snacData());
                    const uint16_t code = error.ReadU16();
                    session.UpdateSearch([&](DirectorySearch& s) {
                        s.searching = false;
                        s.error = FormatInt(ResString(kStrSearchFailed), code);
                    });
                }
                if (pending->kind == kPendingFullDetails) {
                    ByteReader error(frame.snacData());
                    FinishDetailsPart(session, pending->text, false,
                                      FormatInt(ResString(kStrNoDetails), error.ReadU16()));
                }
            }
            break;
        }
        case 0x03:
            HandleMetaReply(session, frame);
            break;
        default:
            WriteLog(kGeneralLog, FormatInt(u"Unhandled SNAC(0x15,0x%X)", frame.subtype()));
            break;
    }
}

}  // namespace zul
