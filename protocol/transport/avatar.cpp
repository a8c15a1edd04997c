// The avatar connection: asking the service server for the avatar service, following its
// redirect with a second connection, signing on there, requesting the queued pictures and
// storing each one that arrives after checking its MD5 hash.
//
// Errors on the avatar connection never reach the session: they are logged, the avatar
// connection is dropped, and names still queued bring a new service request on a later idle
// pass.
#include "protocol/transport/avatar.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_links.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"

namespace zul {
namespace {

constexpr uint16_t kAvatarFamily = 0x0010;
// Pending-request kinds of the two picture queries.
constexpr uint32_t kPictureQuery = 0x1006;
constexpr uint32_t kOlderPictureQuery = 0x1004;
constexpr uint16_t kToolId = 0x0010;
constexpr uint16_t kToolVersion = 0x164F;

constexpr uint32_t kPictureUpload = 0x1002;
constexpr uint16_t kBuddyIconType = 0x0001;
constexpr int kStrPictureRefused = 1192;

// Sizes of the server address and cookie this client accepts from a redirect.
constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxPortLength = 31;
constexpr size_t kMaxCookieLength = 1024;

struct BlankMarker {
    std::array<uint8_t, 16> bytes;
    size_t compared;
};

constexpr BlankMarker kBlankMarkers[] = {
    {{0x00, 0x01, 0x00, 0x05, 0x02, 0x01, 0xD2, 0x04, 0x72}, 9},
    {{0x00, 0x0C, 0x01, 0x10, 0x96, 0xED, 0x68, 0xCC, 0x1A, 0xFB, 0x07, 0x8A, 0x6D, 0x7B, 0x8D,
      0xF8},
     16},
    {{0x00, 0x01, 0x01, 0x10, 0xB4, 0x32, 0x5C, 0x25, 0x34, 0x3D, 0x41, 0x13, 0x72, 0x90, 0x9D,
      0xC0},
     16},
    {{0x00, 0x01, 0x01, 0x10, 0x2D, 0xE9, 0xBA, 0x14, 0x32, 0x2A, 0x41, 0xB9, 0xC7, 0x1F, 0x77,
      0x75},
     16},
};

std::u16string FormatPair(std::u16string_view prefix, uint16_t a, uint16_t b) {
    std::u16string line(prefix);
    line += FormatInt(u"%X,", a);
    line += FormatInt(u"%X)", b);
    return line;
}

// Sends on the avatar connection only while it is up and the session is online.
bool AvatarSendAllowed(COscar& session) {
    return session.AvatarActive() && session.SessionRunning() && session.Status() != -1;
}

// One send on the avatar connection; a failure closes only that connection. False when the
// frame was not sent.
bool SendAvat(COscar& session, COscarPacket& frame) {
    if (!AvatarSendAllowed(session)) return false;
    try {
        session.SendFrame(Link::Avatar, frame);
        return true;
    } catch (const CError& e) {
        WriteLogFormat(kGeneralLog, u"SendAvat():CError %d catched", e.Code());
        session.DropAvatarConnection();
        return false;
    }
}

// The reply's own TLVs (snacData has left out a leading block).
TlvList RedirectTlvs(const COscarPacket& frame) {
    TlvList tlvs;
    tlvs.Parse(frame.snacData());
    return tlvs;
}

void ConnectAvatarServer(COscar& session, const TlvList& tlvs) {
    const std::string address = tlvs.Find(0x0005)->AsString();
    const std::string cookie = tlvs.Find(0x0006)->AsString();

    const size_t colon = address.find(':');
    std::string host = address.substr(0, colon);
    std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
    // The address ends at its first zero byte, as the wire's texts do.
    host = host.substr(0, host.find('\0'));
    port = port.substr(0, port.find('\0'));
    if (host.size() > kMaxHostLength || port.size() > kMaxPortLength ||
        cookie.size() > kMaxCookieLength) {
        WriteLog(kGeneralLog,
                 u"HandleRedirectService(): avatar server address or cookie too long, refused");
        return;
    }
    if (port.empty()) port = ToUtf8(session.Port());

    // The picture link's own classes until its rate reply says otherwise.
    session.SetAvatarSharesRates(false);
    session.SetAvatarReady(false);
    session.Rates(Link::Avatar).Clear();
    session.ResetSequence(Link::Avatar);
    WriteLog(kGeneralLog, u"ПРИЦЕПЛЯЕМСЯ к АВАТАРНОМУ СЕРВЕРУ");
    // The connect happens beside the receive loop, which signs the link on when it is up.
    session.StartAvatarConnect(host, port, cookie);
}

// SNAC(0x10,0x02): the user's own picture (type, length, bytes), once the server has asked
// for it and the avatar connection is ready.
void SendOwnPictureUpload(COscar& session) {
    if (!session.PictureUploadOwed() || !session.AvatarReady()) return;
    const std::vector<uint8_t> picture = session.OwnerAvatar();
    session.SetPictureUploadOwed(false);
    if (picture.empty() || picture.size() > 0xFFFF) return;
    const uint16_t id = session.Pending().Add(kPictureUpload);
    COscarPacket upload = COscarPacket::Snac(kAvatarFamily, 0x02, id);
    upload.AppendU16(kBuddyIconType);
    upload.AppendU16(static_cast<uint16_t>(picture.size()));
    upload.AppendBytes(ByteSpan(picture));
    if (SendAvat(session, upload)) {
        WriteLogFormat(kGeneralLog, u"AVTSNAC(0x10,0x02): own picture sent, %d bytes",
                       static_cast<int>(picture.size()));
    } else {
        session.Pending().Remove(id);
        session.SetPictureUploadOwed(true);  // the next avatar connection takes it
    }
}

void HandleAvatarServiceFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01:
            WriteLog(kGeneralLog, u"AVATSNAC(0x01,0x01) ICQ_ERROR");
            break;
        case 0x0A:
            ApplyRateChange(session.Rates(Link::Avatar), frame.snacData());
            break;
        case 0x03: {
            COscarPacket versions = COscarPacket::Snac(0x01, 0x17);
            versions.AppendWordPair(0x0001, 0x0004);
            versions.AppendWordPair(kAvatarFamily, 0x0001);
            SendAvat(session, versions);
            break;
        }
        case 0x18: {
            COscarPacket rates = COscarPacket::Snac(0x01, 0x06);
            SendAvat(session, rates);
            break;
        }
        case 0x07: {
            AssignAvatarRateClasses(session, frame.snacData());
            if (!AvatarSendAllowed(session)) break;
            try {
                SendRateAcknowledge(session, Link::Avatar);
            } catch (const CError& e) {
                WriteLogFormat(kGeneralLog, u"SendAvat():CError %d catched", e.Code());
                session.DropAvatarConnection();
                break;
            }
            COscarPacket ready = COscarPacket::Snac(0x01, 0x02);
            ready.AppendWordPair(0x0001, 0x0004);
            ready.AppendWordPair(kToolId, kToolVersion);
            ready.AppendWordPair(kAvatarFamily, 0x0001);
            ready.AppendWordPair(kToolId, kToolVersion);
            if (SendAvat(session, ready)) {
                WriteLog(kGeneralLog, u"LOGGED IN TO AVATAR SERVER");
                session.SetAvatarReady(true);
                SendOwnPictureUpload(session);
            }
            break;
        }
        default:
            WriteLogFormat(kGeneralLog, u"Unhandled AVATSNAC(0x01,0x%X)", frame.subtype());
            break;
    }
}

// Stores a picture that arrived for `name` after checking it against the hash of `info`.
void StorePicture(COscar& session, const std::u16string& name, ByteSpan info, ByteSpan picture) {
    const bool own = SameLogin(name, session.Login());
    if (!own && !session.Contacts().FindContact(&session, name)) return;
    if (!MD5Matches(info.data() + 4, kPictureHashSize, picture)) {
        WriteLog(kGeneralLog, u"BAD AVATAR, CHECK FAILED (" + name + u")");
        picture = {};
    }
    const uint8_t* bytes = picture.empty() ? nullptr : picture.data();
    session.Contacts().SetPictureByLogin(&session, name, bytes, picture.size());
    if (own) session.SetOwnerAvatar(bytes, picture.size(), true);
}

// SNAC(0x10,0x07): screen name, picture information, one byte, the information again, the
// picture's length and bytes. Every read stays inside the frame; a reply that claims more
// than it holds stores nothing.
void HandlePictureReply(COscar& session, const COscarPacket& frame) {
    session.Pending().Remove(static_cast<uint16_t>(frame.requestId() & 0xFFFF));

    ByteReader reader(frame.snacData());
    const uint8_t nameLength = reader.ReadU8();
    const ByteSpan nameBytes = reader.ReadBytes(nameLength);
    if (!reader.ok()) return;
    const std::u16string name = CountedUtf8ToWide(nameBytes.data(), nameBytes.size());

    const ByteSpan info1 = reader.ReadBytes(kPictureInfoSize);
    reader.Skip(1);
    const ByteSpan info2 = reader.ReadBytes(kPictureInfoSize);
    if (!reader.ok() || info1[3] != kPictureHashSize || info2[3] != kPictureHashSize) return;
    if (!std::equal(info1.begin(), info1.end(), info2.begin())) {
        WriteLog(kGeneralLog, u"BAD AVATAR, HASH1 != HASH2 (" + name + u")");
        return;
    }

    const uint16_t pictureLength = reader.ReadU16();
    ByteSpan picture = reader.ReadBytes(pictureLength);
    if (!reader.ok()) {
        WriteLog(kGeneralLog, u"BAD AVATAR, TRUNCATED (" + name + u")");
        return;
    }
    StorePicture(session, name, info1, picture);
}

// SNAC(0x10,0x05), the reply to the older query: screen name, the picture information once,
// the picture's length and bytes.
void HandleOlderPictureReply(COscar& session, const COscarPacket& frame) {
    session.Pending().Remove(static_cast<uint16_t>(frame.requestId() & 0xFFFF));
    ByteReader reader(frame.snacData());
    const ByteSpan nameBytes = reader.ReadBytes(reader.ReadU8());
    const ByteSpan info = reader.ReadBytes(kPictureInfoSize);
    if (!reader.ok() || info[3] != kPictureHashSize) return;
    const std::u16string name = CountedUtf8ToWide(nameBytes.data(), nameBytes.size());
    const ByteSpan picture = reader.ReadBytes(reader.ReadU16());
    if (!reader.ok()) {
        WriteLog(kGeneralLog, u"BAD AVATAR, TRUNCATED (" + name + u")");
        return;
    }
    StorePicture(session, name, info, picture);
}

// The body both picture queries share: name, command 1, picture information.
void AppendPictureQuery(COscarPacket& request, const std::u16string& name, ByteSpan info) {
    request.AppendScreenName(name);
    request.AppendU8(0x01);
    request.AppendBytes(info);
}

// An error answering a picture query: servers that know only the older query (0x10,0x04)
// refuse the newer one; the picture is asked again that way, and so are the later ones.
void HandlePictureError(COscar& session, const COscarPacket& frame) {
    const uint16_t id = static_cast<uint16_t>(frame.requestId() & 0xFFFF);
    const std::optional<PendingRequest> pending = session.Pending().Find(id);
    session.Pending().Remove(id);
    if (!pending || pending->data.empty() || pending->kind != kPictureQuery) return;
    WriteLog(kGeneralLog, u"AVTSNAC(0x10,0x01): picture asked again with the older query");
    session.SetOlderPictureQuery(true);
    const uint16_t again = session.Pending().Add(kOlderPictureQuery, pending->text, pending->data);
    COscarPacket request = COscarPacket::Snac(kAvatarFamily, 0x04, again);
    AppendPictureQuery(request, pending->text, pending->data);
    if (!SendAvat(session, request)) session.Pending().Remove(again);
}

// SNAC(0x10,0x03): the result of an upload (0: stored), then the picture information.
void HandleUploadReply(COscar& session, const COscarPacket& frame) {
    session.Pending().Remove(static_cast<uint16_t>(frame.requestId() & 0xFFFF));
    ByteReader reader(frame.snacData());
    const uint8_t result = reader.ReadU8();
    if (reader.ok() && result == 0) {
        WriteLog(kGeneralLog, u"AVTSNAC(0x10,0x03): own picture stored");
        return;
    }
    WriteLogFormat(kGeneralLog, u"AVTSNAC(0x10,0x03): own picture refused (%d)", result);
    session.AnnouncedPicture().reset();
    session.SetStatusText(FormatInt(ResString(kStrPictureRefused), result));
}

void HandleAvatarFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x01:
            HandlePictureError(session, frame);
            break;
        case 0x03:
            HandleUploadReply(session, frame);
            break;
        case 0x05:
            HandleOlderPictureReply(session, frame);
            break;
        case 0x07:
            HandlePictureReply(session, frame);
            break;
        default:
            WriteLogFormat(kGeneralLog, u"Unhandled AVATSNAC(0x10,0x%X)", frame.subtype());
            break;
    }
}

// The MD5 digest of `data`; nothing when the digest is unavailable.
std::optional<std::array<uint8_t, 16>> Md5(std::span<const uint8_t> data) {
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const uint8_t kNothing = 0;
    const void* input = data.empty() ? &kNothing : data.data();
    std::array<uint8_t, 16> digest{};
    if (EVP_Digest(input, data.size(), full, &length, EVP_md5(), nullptr) != 1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    std::memcpy(digest.data(), full, digest.size());
    return digest;
}

}  // namespace

std::array<uint8_t, 16> MD5Of(std::span<const uint8_t> data) {
    return Md5(data).value_or(std::array<uint8_t, 16>{});
}

bool MD5Matches(const uint8_t* hash, size_t n, std::span<const uint8_t> data) {
    if (hash == nullptr) return false;
    const std::optional<std::array<uint8_t, 16>> digest = Md5(data);
    return digest && std::memcmp(digest->data(), hash, std::min<size_t>(n, digest->size())) == 0;
}

bool IsBlankPicture(std::span<const uint8_t> info) {
    for (const BlankMarker& marker : kBlankMarkers) {
        if (info.size() >= marker.compared &&
            std::equal(marker.bytes.begin(), marker.bytes.begin() + marker.compared,
                       info.begin())) {
            return true;
        }
    }
    return false;
}

void RequestAvatarService(COscar& session) {
    const uint16_t id = session.Pending().Add(kAvatarFamily);
    COscarPacket request = COscarPacket::Snac(0x01, 0x04, id);
    request.AppendU16(kAvatarFamily);
    // An encrypted account asks for the service's encrypted address.
    if (session.UseTls()) request.AppendTlv(kTlvAskForTls, std::string_view());
    session.SendFrame(Link::Service, request);
}

void HandleRedirectService(COscar& session, COscarPacket& frame) {
    const uint16_t id = static_cast<uint16_t>(frame.requestId() & 0xFFFF);
    const std::optional<PendingRequest> pending = session.Pending().Find(id);
    if (!pending) return;
    if (session.Chat().HandleRedirect(frame, pending->kind, pending->data)) {
        session.Pending().Remove(id);
        return;
    }

    if (session.AvatarActive() || session.AvatarConnecting()) {
        WriteLog(kGeneralLog, u"ПРИШЛО ЛИШНЕЕ ПРИГЛАШЕНИЕ К ПОДКЛЮЧЕНИЮ К АВАТАРНОМУ СЕРВЕРУ");
    } else {
        try {
            const TlvList tlvs = RedirectTlvs(frame);
            const Tlv* family = tlvs.Find(0x000D);
            if (family && family->AsU16() == pending->kind && pending->kind == kAvatarFamily &&
                tlvs.Has(0x0005) && tlvs.Has(0x0006)) {
                // After the burst's commit (a cancelled connect closes nothing in it).
                session.AfterBurst([&session, tlvs] {
                    if (session.AvatarActive() || session.AvatarConnecting()) return;
                    try {
                        ConnectAvatarServer(session, tlvs);
                    } catch (const CError& e) {
                        WriteLogFormat(kGeneralLog, u"HandleRedirectService():CError %d catched",
                                       e.Code());
                        session.DropAvatarConnection();
                    }
                });
            }
        } catch (const CError& e) {
            WriteLogFormat(kGeneralLog, u"HandleRedirectService():CError %d catched", e.Code());
            session.DropAvatarConnection();
        }
    }
    session.Pending().Remove(id);
}

// SNAC(0x01,0x21): the picture the server has for the user: type, flags, hash length, hash.
void HandleOwnPictureInfo(COscar& session, COscarPacket& frame) {
    const ByteSpan data = frame.snacData();
    ByteReader reader(data);
    const uint16_t type = reader.ReadU16();
    const uint8_t flags = reader.ReadU8();
    const uint8_t length = reader.ReadU8();
    const ByteSpan hash = reader.ReadBytes(length);
    if (!reader.ok()) return;
    // A picture chosen here and not yet announced wins over whatever the server has.
    if (session.OwnPictureChangePending()) return;
    std::optional<std::array<uint8_t, 16>>& announced = session.AnnouncedPicture();
    const bool isAnnounced = announced && length == kPictureHashSize &&
                             std::equal(hash.begin(), hash.end(), announced->begin());
    // Until the server speaks of the picture this session announced, what it says is older.
    if (announced && !isAnnounced) return;
    if ((flags & kPictureUnknownToServer) != 0) {
        // The server lacks the picture it was told of: ours goes up; another's cannot.
        if (isAnnounced) session.SetPictureUploadOwed(true);
        return;
    }
    announced.reset();

    if (type == 0x0008 || IsBlankPicture(data.first(4 + length))) {
        session.SetOwnerAvatar(nullptr, 0, true);
        return;
    }
    if ((type != 0x0001 && type != 0x000C) || length != kPictureHashSize) return;
    if (session.HasOwnerAvatar()) {
        const std::vector<uint8_t> picture = session.OwnerAvatar();
        if (MD5Matches(hash.data(), kPictureHashSize, picture)) return;
    }
    const ByteSpan info = data.first(kPictureInfoSize);
    session.Avatars().Place(session.Login(), info.data(), info.size());
}

void HandleIncoming_Avatar(COscar& session, COscarPacket& frame) {
    if (frame.channel() != channel::kSnac) {
        WriteLogFormat(kGeneralLog, u"HandleIncoming_Avatar: Incoming from unknown channel %d",
                       frame.channel());
        return;
    }
    try {
        switch (frame.family()) {
            case 0x01:
                HandleAvatarServiceFamily(session, frame);
                break;
            case kAvatarFamily:
                HandleAvatarFamily(session, frame);
                break;
            default:
                WriteLog(kGeneralLog,
                         FormatPair(u"Unhandled avt family (", frame.family(), frame.subtype()));
                break;
        }
    } catch (const CError& e) {
        // Storing a picture can fail too (out of memory); only the avatar connection pays.
        WriteLogFormat(kGeneralLog, u"ReceiveAvat():CError %d catched", e.Code());
        session.DropAvatarConnection();
    }
}

void RequeuePictureRequests(COscar& session) {
    for (const PendingRequest& request : session.Pending().TakeExpired(
             {kPictureQuery, kOlderPictureQuery, kPictureUpload}, GetTick(), 0)) {
        if (request.kind == kPictureUpload) {
            session.SetPictureUploadOwed(true);
        } else if (!request.data.empty()) {
            session.Avatars().Place(request.text, request.data.data(), request.data.size());
        }
    }
}

void SendQueuedAvatarRequests(COscar& session) {
    if (!AvatarSendAllowed(session)) return;
    SendOwnPictureUpload(session);
    std::vector<AvatarQueueEntry> entries = session.Avatars().TakeAll();
    for (size_t i = 0; i < entries.size(); ++i) {
        const AvatarQueueEntry& entry = entries[i];
        if (entry.info.empty()) continue;
        const bool older = session.OlderPictureQuery();
        const uint16_t id = session.Pending().Add(older ? kOlderPictureQuery : kPictureQuery,
                                                  entry.name, entry.info);
        COscarPacket request = COscarPacket::Snac(kAvatarFamily, older ? 0x04 : 0x06, id);
        AppendPictureQuery(request, entry.name, entry.info);
        if (!SendAvat(session, request)) {
            // The connection is gone: keep this name and the ones after it for the next one.
            session.Pending().Remove(id);
            for (size_t j = i; j < entries.size(); ++j) {
                const AvatarQueueEntry& left = entries[j];
                if (!left.info.empty()) {
                    session.Avatars().Place(left.name, left.info.data(), left.info.size());
                }
            }
            return;
        }
    }
}

}  // namespace zul
