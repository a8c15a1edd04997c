// ICQ meta (family 0x15): the short details (nickname, names, e-mail) of an ICQ number. Asked
// for the owner's own number at sign-on, which fills the owner nickname, and for contacts
// without a usable nickname, which fills their nickname and e-mail.
#include "protocol/services/meta_family.h"

#include <algorithm>
#include <string>

#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/log.h"

namespace zul {
namespace {

constexpr uint16_t kMetaRequest = 0x07D0;
constexpr uint16_t kMetaReply = 0x07DA;
constexpr uint16_t kShortDetails = 0x04BA;
constexpr uint16_t kShortDetailsReply = 0x0104;
constexpr uint8_t kResultSuccess = 0x0A;
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

    if (dataType == kMetaReply) {
        const uint16_t replyType = reader.ReadU16LE();
        const uint8_t result = reader.ReadU8();
        const bool known = std::find(std::begin(kKnownReplies), std::end(kKnownReplies),
                                     replyType) != std::end(kKnownReplies);
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
    auto u16 = [](std::vector<uint8_t>& out, uint16_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto u32 = [&](std::vector<uint8_t>& out, uint32_t v) {
        u16(out, static_cast<uint16_t>(v));
        u16(out, static_cast<uint16_t>(v >> 16));
    };
    std::vector<uint8_t> data;
    u16(data, 0x000E);
    u32(data, ownNumber);
    u16(data, kMetaRequest);
    u16(data, sequence);
    u16(data, kShortDetails);
    u32(data, number);
    return data;
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

void HandleMetaFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01:
            WriteLog(kGeneralLog, u"SNAC(0x15,0x01) ICQ_META_ERROR");
            break;
        case 0x03:
            HandleMetaReply(session, frame);
            break;
        default:
            WriteLog(kGeneralLog, FormatInt(u"Unhandled SNAC(0x15,0x%X)", frame.subtype()));
            break;
    }
}

}  // namespace zul
