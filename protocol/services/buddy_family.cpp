// Presence (family 0x03): contacts coming online, changing status and going offline. Each
// user-information block of a notice becomes one presence update of the account; the session
// data (TLV 0x001D) brings the status text, the mood and the picture hash.
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>
#include <string>

#include "platform/log.h"
#include "platform/power.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/avatar.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/status.h"

namespace zul {
namespace {

// Presence notices in the first two minutes after sign-on are the server's report of who is
// already online, not news: they do not mark contacts as just come online.
constexpr uint32_t kQuietAfterSignOnMs = 120000;
constexpr uint16_t kUserClassAway = 0x0020;
constexpr uint8_t kItemFlagHasText = 0x04;

struct PresenceBlock {
    std::u16string login;
    uint32_t userClass = 0;
    int32_t status = kStatusAvailable;
    bool statusSeen = false;
    std::u16string statusText;
    bool textChanged = false;
    int32_t mood = kMoodNone;
    uint16_t idleMinutes = 0;
};

void ClearPicture(COscar& session, const std::u16string& login) {
    session.Contacts().SetPictureByLogin(&session, login, nullptr, 0);
}

// Picture checks kept at most; past it a check is made at once.
constexpr size_t kMaxPictureChecks = 20000;

// A hash that differs from the stored picture's (or no stored picture) queues a download.
void CheckPicture(COscar& session, const std::u16string& login, ByteSpan item) {
    ContactPtr contact = session.Contacts().FindContact(&session, login);
    if (!contact) return;
    const std::optional<CContact::PictureDigest> digest = contact->PictureDigestBy(MD5Of);
    if (digest && std::memcmp(digest->data(), item.data() + 4, kPictureHashSize) == 0) return;
    session.Avatars().Place(login, item.data(), item.size());
}

// A picture hash item (header and 16-byte hash): a blank marker clears the stored picture;
// any other hash is checked later (RunPictureChecks).
void OnPictureHash(COscar& session, const std::u16string& login, ByteSpan item) {
    if (IsBlankPicture(item)) {
        ClearPicture(session, login);
        return;
    }
    if (session.PictureChecksWaiting() >= kMaxPictureChecks) {
        CheckPicture(session, login, item);
        return;
    }
    session.QueuePictureCheck({login, std::vector<uint8_t>(item.begin(), item.end())});
}

// Item 0x0002: a 16-bit length, the text, then its encoding word: 0 or 65001 UTF-8, 2 or
// 1201 UCS-2 (big-endian), 1200 UTF-16 low byte first, else a code page. An item that ends
// right after the text is UTF-8.
void ReadStatusText(ByteSpan data, std::u16string& text) {
    ByteReader reader(data);
    const uint16_t length = reader.ReadU16();
    const ByteSpan bytes = reader.ReadBytes(length);
    if (!reader.ok()) return;  // claims more than the item holds: the text stays
    const uint16_t encoding = reader.Remaining() >= 2 ? reader.ReadU16() : 0;
    switch (encoding) {
        case 0:
        case 65001:
            text = CountedUtf8ToWide(bytes.data(), bytes.size());
            break;
        case 2:
        case 1201:
            text = Utf16BeToWide(bytes);
            break;
        case 1200: {
            std::vector<uint8_t> swapped(bytes.begin(), bytes.end());
            for (size_t i = 0; i + 1 < swapped.size(); i += 2)
                std::swap(swapped[i], swapped[i + 1]);
            text = Utf16BeToWide(ByteSpan(swapped));
            break;
        }
        default:
            text = BytesToWide(bytes, encoding);
            break;
    }
    if (text == u"?" || text == u" ") text.clear();
}

void ParseSessionData(COscar& session, const Tlv& tlv, const std::u16string& login,
                      bool& textChanged, std::u16string& statusText, int32_t& mood) {
    ByteReader reader(tlv.Bytes());
    while (reader.Remaining() > 0) {
        const size_t start = reader.Position();
        const uint16_t type = reader.ReadU16();
        const uint8_t flags = reader.ReadU8();
        const uint8_t length = reader.ReadU8();
        const ByteSpan data = reader.ReadBytes(length);
        if (!reader.ok()) return;  // an item running past the TLV is not used
        const ByteSpan item = tlv.Bytes().subspan(start, 4 + length);

        switch (type) {
            case 0x0001:
            case 0x000C:
                // A full hash, or the shorter marker some servers send for "no picture".
                if (length == kPictureHashSize || IsBlankPicture(item))
                    OnPictureHash(session, login, item);
                break;
            case 0x0002:
                if (length >= 2 && (flags & kItemFlagHasText)) {
                    ReadStatusText(data, statusText);
                } else if (length == 0) {
                    statusText.clear();
                }
                break;
            case 0x0008:
                ClearPicture(session, login);
                break;
            case 0x000D:
                if (length == 0) {
                    textChanged = true;
                    session.SetHighestStatusTextTime(0);
                } else {
                    ByteReader timeReader(data);
                    const uint32_t time = timeReader.ReadU32();
                    if (timeReader.ok() && time > session.HighestStatusTextTime()) {
                        session.SetHighestStatusTextTime(time);
                        textChanged = true;
                    }
                }
                break;
            case 0x000E:
                // A mood's name is ASCII: bytes beyond it never match whatever they decode to.
                mood = MoodFromWireName(Widen(
                    std::string_view(reinterpret_cast<const char*>(data.data()), data.size())));
                break;
            default:
                WriteLog(kGeneralLog, u"ParseSessionData " + login +
                                          FormatInt(u": Unhandled item (0x%X)", type));
                break;
        }
    }
}

void ApplyTlv(COscar& session, const Tlv& tlv, PresenceBlock& block, bool knownContact) {
    switch (tlv.type) {
        case 0x0001:
            // Two bytes from most servers, four from some (the same bits, widened).
            block.userClass = tlv.length >= 4 ? tlv.AsU32() : tlv.AsU16();
            break;
        case 0x0004:
            block.idleMinutes = tlv.AsU16();
            break;
        case 0x0003:
        case 0x0005:
        case 0x000A:
        case 0x000F:
            break;  // times and addresses: not used
        case 0x0006:
            // Four bytes (flags, status) from most servers; two (the status alone) from some.
            block.status = StatusFromWire(
                tlv.length >= 4 ? static_cast<uint16_t>(tlv.AsU32() & 0xFFFF) : tlv.AsU16());
            block.statusSeen = true;
            break;
        case 0x0008:
        case 0x000C:
        case 0x0014:
        case 0x0027:
        case 0x0029:
        case 0x002F:
        case 0x0030:
        case 0x0037:
        case 0x000D:  // capabilities
        case 0x0019:  // short capabilities
            break;
        case 0x001D:
            if (knownContact) {
                ParseSessionData(session, tlv, block.login, block.textChanged, block.statusText,
                                 block.mood);
            }
            break;
        default:
            WriteLog(kGeneralLog, u"ParseOnlineInfo " + block.login +
                                      FormatInt(u": Unhandled TLV(0x%X)", tlv.type));
            break;
    }
}

bool PresenceIsQuiet(const COscar& session) {
    return GetTick() - session.OnlineSince() < kQuietAfterSignOnMs || !DevicePowerOn();
}

// Every user block of the notice, each handed to the account as one presence update. A block
// cut short by the end of the frame ends the notice without an update of its own.
void ParseOnlineInfo(COscar& session, COscarPacket& frame, bool departed) {
    ByteReader reader(frame.snacData());
    while (reader.Remaining() > 0) {
        const uint8_t loginLength = reader.ReadU8();
        if (loginLength == 0) return;
        const ByteSpan loginBytes = reader.ReadBytes(loginLength);
        reader.ReadU16();  // warning level
        const uint16_t tlvCount = reader.ReadU16();
        if (!reader.ok()) return;

        TlvList tlvs;
        reader.Skip(tlvs.ParseCount(reader.Rest(), tlvCount));
        if (tlvs.size() < tlvCount) return;

        PresenceBlock block;
        block.login = CountedUtf8ToWide(loginBytes.data(), loginBytes.size());
        const ContactPtr contact = session.Contacts().FindContact(&session, block.login);
        for (const Tlv& tlv : tlvs) ApplyTlv(session, tlv, block, contact != nullptr);

        int32_t status;
        if (departed) {
            status = kStatusOffline;
        } else if (block.statusSeen) {
            // AIM servers send a status word of "available" and mark away by the class bit.
            status = block.status == kStatusAvailable && (block.userClass & kUserClassAway)
                         ? kStatusAway
                         : block.status;
        } else {
            status = (block.userClass & kUserClassAway) ? kStatusAway : kStatusAvailable;
        }
        // Nothing is kept of a login that is no contact.
        if (!contact) continue;
        const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
        TakeFormattedName(session, *contact, block.login);
        const int32_t before = contact->Status();
        session.Apply(event::Presence{.login = contact->Login(),
                                      .status = status,
                                      .textChanged = block.textChanged,
                                      .text = block.statusText,
                                      .mood = block.mood,
                                      .quiet = PresenceIsQuiet(session),
                                      .idleSince = departed || block.idleMinutes == 0
                                                       ? 0
                                                       : now - uint32_t{block.idleMinutes} * 60});
        // An AIM name's status text while away is its away message, asked for when it turns
        // away (also when it already is at sign-on).
        if (contact->ProtocolKind() == acctype::kAim && status == kStatusAway &&
            before != kStatusAway)
            session.AwayQueries().Add(contact->Login());
    }
}

}  // namespace

void TakeFormattedName(COscar& session, CContact& contact, const std::u16string& name) {
    if (!contact.SetFormattedName(name)) return;
    contact.SaveFormattedName();
    // The list is sorted by the names it shows.
    session.Contacts().Rebuild();
}

bool RunPictureChecks(COscar& session, size_t count) {
    for (size_t done = 0; done < count; ++done) {
        const COscar::PictureCheck* check = session.NextPictureCheck();
        if (!check) return true;
        try {
            CheckPicture(session, check->login, check->item);
        } catch (const std::exception&) {
            // A check that cannot be made is not made again.
        }
        session.PictureCheckDone();
    }
    return session.PictureChecksWaiting() == 0;
}

void HandleBuddyFamily(COscar& session, COscarPacket& frame) {
    const uint16_t subtype = frame.subtype();
    if (subtype != 0x0B && subtype != 0x0C) return;
    // The notices at sign-on come in storms; whatever one notice writes goes in one
    // transaction.
    CTransaction transaction;
    ParseOnlineInfo(session, frame, subtype == 0x0C);
    transaction.Commit();
}

}  // namespace zul
