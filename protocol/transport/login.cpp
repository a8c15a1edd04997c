// Signing on: the login server leg (password proof, cookie and service address) and the start
// of the service server leg (cookie), then the service handshake.
#include "protocol/transport/login.h"

#include <openssl/evp.h>

#include <array>
#include <initializer_list>
#include <optional>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tls.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"

namespace zul {
namespace {

constexpr size_t kHostMax = 255;
// The login's multiple-sessions flags (one byte): 1 lets the account stay signed on in other
// places as well, where the server offers that, rather than sign them off (the two would
// otherwise take turns throwing each other off).
constexpr uint16_t kTlvMultipleSessions = 0x004A;
constexpr size_t kPortMax = 31;
constexpr size_t kLoginMax = 127;
// ICQ numbers carry at most eight password bytes; AIM names sixteen.
constexpr size_t kIcqPasswordMax = 8;
constexpr size_t kAimPasswordMax = 16;

// The channel-1 password scrambling key, assembled at run time from separate bytes.
std::array<uint8_t, 16> ScramblingKey() {
    const uint8_t k0 = 0xF3, k1 = 0x26, k2 = 0x81, k3 = 0xC4;
    const uint8_t k4 = 0x39, k5 = 0x86, k6 = 0xDB, k7 = 0x92;
    const uint8_t k8 = 0x71, k9 = 0xA3, kA = 0xB9, kB = 0xE6;
    const uint8_t kC = 0x53, kD = 0x7A, kE = 0x95, kF = 0x7C;
    return {k0, k1, k2, k3, k4, k5, k6, k7, k8, k9, kA, kB, kC, kD, kE, kF};
}

// What the client tells the login server about itself: an ICQ client for ICQ numbers, an
// AIM client for AIM names (servers route features by it).
struct ClientIdentity {
    std::string_view name;
    uint16_t id, major, minor, lesser, build;
    uint32_t distribution;
};
constexpr ClientIdentity kIcqIdentity = {"ICQ Client", 0x010A, 6, 5, 0, 1005, 0x00007537};
constexpr ClientIdentity kAimIdentity = {"AIM Client", 0x0109, 5, 9, 0, 3702, 0x00000104};

void AppendIdentity(COscarPacket& frame, uint8_t accountType) {
    const ClientIdentity& me = accountType == acctype::kAim ? kAimIdentity : kIcqIdentity;
    frame.AppendTlv(0x0003, me.name);
    frame.AppendTlvU16(0x0016, me.id);
    frame.AppendTlvU16(0x0017, me.major);
    frame.AppendTlvU16(0x0018, me.minor);
    frame.AppendTlvU16(0x0019, me.lesser);
    frame.AppendTlvU16(0x001A, me.build);
    const uint8_t distribution[4] = {
        static_cast<uint8_t>(me.distribution >> 24), static_cast<uint8_t>(me.distribution >> 16),
        static_cast<uint8_t>(me.distribution >> 8), static_cast<uint8_t>(me.distribution)};
    frame.AppendTlv(0x0014, 4, distribution);
    frame.AppendTlv(0x000F, std::string_view("en"));
    frame.AppendTlv(0x000E, std::string_view("en"));
}

// The TLVs of a login reply (channel 4, or SNAC(0x17,0x03)) give the service address and
// cookie, or the error code.
void ReadLoginReply(const TlvList& tlvs, COscar::ServiceTicket& ticket);

// Splits "host:port" at the first colon; without one the port is empty.
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    auto colon = text.find(':');
    host = text.substr(0, colon);
    port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    // Service addresses longer than the buffers of a sign-on are refused rather than cut.
    if (host.size() > kHostMax || port.size() > kPortMax) {
        throw CError(u"COscar::LoginUnsecured", errcode::kIncompleteLoginReply);
    }
}

std::string Bytes(const std::u16string& text, size_t max) {
    std::string bytes = WideToMultiByte(text).value_or(ToUtf8(text));
    if (bytes.size() > max) bytes.resize(max);
    return bytes;
}

void ReadLoginReply(const TlvList& tlvs, COscar::ServiceTicket& ticket) {
    if (const Tlv* error = tlvs.Find(0x0008)) {
        throw CError(u"COscar::LoginUnsecured", error->AsU16());
    }
    const Tlv* address = tlvs.Find(0x0005);
    const Tlv* cookieTlv = tlvs.Find(0x0006);
    if (!address || !cookieTlv) {
        throw CError(u"COscar::LoginUnsecured", errcode::kIncompleteLoginReply);
    }
    SplitHostPort(address->AsString(), ticket.host, ticket.port);
    ticket.cookie = cookieTlv->value;
}

}  // namespace

std::optional<std::string> LoginPasswordBytes(uint8_t accountType, const std::u16string& password) {
    // Sent in the legacy code page, as servers compare it; a character it cannot hold is
    // never sent half-converted.
    std::optional<std::string> bytes = WideToMultiByte(password);
    if (!bytes) return std::nullopt;
    const size_t max = accountType == acctype::kAim ? kAimPasswordMax : kIcqPasswordMax;
    if (bytes->size() > max) bytes->resize(max);
    return bytes;
}

std::array<uint8_t, 16> StrongPasswordHash(std::string_view key, std::string_view password) {
    std::array<uint8_t, 16> inner{};
    std::array<uint8_t, 16> outer{};
    unsigned int length = 0;
    EVP_Digest(password.data(), password.size(), inner.data(), &length, EVP_md5(), nullptr);
    static constexpr std::string_view kBrand = "AOL Instant Messenger (SM)";
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return outer;
    if (EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1) {
        EVP_DigestUpdate(context, key.data(), key.size());
        EVP_DigestUpdate(context, inner.data(), inner.size());
        EVP_DigestUpdate(context, kBrand.data(), kBrand.size());
        EVP_DigestFinal_ex(context, outer.data(), &length);
    }
    EVP_MD_CTX_free(context);
    return outer;
}

namespace {

// Server and socket codes with the text that explains them; the first row that names the code
// wins.
struct CodeText {
    std::initializer_list<int32_t> codes;
    int textId;
};
const CodeText kLoginErrorTexts[] = {
    {{1, 4, 5, 6, 7}, 1010},  // name or password wrong
    {{2, 13, 16, 20, 21, 26}, 1011},
    {{22, 23}, 1012},
    {{24, 29}, 1013},  // rate limited
    {{27}, 1014},
    {{28}, 1015},
    {{17, 34}, 1049},  // suspended
    {{25}, 1050},
    {{errcode::kDisconnectNoReason, errcode::kDisconnectOther}, 1051},
    {{30}, 1016},
    {{12}, 1017},
    {{errcode::kPasswordNotEncodable}, 1018},
    {{errcode::kPasswordNeeded}, 1036},
    {{errcode::kListTooLarge}, 1021},
    {{errcode::kSignedOnElsewhere}, 1097},
    {{sockerr::kNetDown, sockerr::kConnRefused}, 10050},
    {{sockerr::kConnReset}, 10054},
    {{sockerr::kTimedOut}, 10060},
    {{sockerr::kAddrNotAvail, sockerr::kHostDown, sockerr::kHostUnreach, sockerr::kHostNotFound},
     11001},
    {{tlserr::kHandshakeFailed}, 1028},
    {{tlserr::kUntrusted}, 1029},
    {{tlserr::kCertificateChanged}, 1030},
    {{tlserr::kStreamBroken}, 1031},
};

}  // namespace

std::u16string LoginErrorText(uint8_t accountType, int32_t code) {
    if (accountType != acctype::kIcq && accountType != acctype::kAim) {
        return u"unknown account type";
    }
    for (const CodeText& row : kLoginErrorTexts) {
        for (int32_t c : row.codes)
            if (c == code) return ResString(row.textId);
    }
    const bool refusedStep =
        code <= errcode::kSignOnStepRefused && code > errcode::kSignOnStepRefused - 0x10000;
    return ResString(refusedStep ? 1019 : 1099);
}

void COscar::FillSessionFields() {
    host_ = Bytes(Server(), kHostMax);
    port_ = Bytes(Port(), kPortMax);
    // An AIM name goes the way servers compare names, in lower case without spaces: some
    // match only the stored form. An ICQ number goes as it is.
    std::u16string login = Login();
    if (EffectiveType() == acctype::kAim) {
        std::erase(login, u' ');
        for (char16_t& c : login)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    loginBytes_ = Bytes(login, kLoginMax);
    std::optional<std::string> password = LoginPasswordBytes(EffectiveType(), Password());
    passwordUsable_ = password.has_value();
    password_ = password.value_or(std::string());
}

CAccount::SessionStep COscar::ConnectAndLogIn() {
    WriteLog(kGeneralLog, u"BEGIN CONNECTING");
    // The keyring is asked before anything is connected: it may take a moment to answer.
    if (!PreparePassword()) return EndAfterError(errcode::kPasswordNeeded);
    FillSessionFields();
    DropDeferred();
    SetOlderPictureQuery(false);
    pending_.Clear();
    avatarQueue_.Clear();
    pictureChecks_.clear();
    pictureChecksWaiting_.store(0);
    awayQueries_.Clear();
    accountSaveOwed_ = false;
    serviceRates_.Clear();
    avatarRates_.Clear();
    SetAvatarSharesRates(false);
    ResetSequence(Link::Service);
    SetAvatarActive(false);
    try {
        SetProgressWaitingForNetwork();
        CConnection::EstablishConnection();
        ConnectLink(Link::Service, host_, port_, true);
        WriteLog(kGeneralLog, u"FINISHED CONNECTING");
        WriteLog(kGeneralLog, u"BEGIN AUTH");
        SetProgressLoggingIn();
        {
            // The sign-on's frames are counted as they come; the counter rows are written
            // once at its end (or when it fails).
            CounterBatch counters(*this);
            LoginUnsecured();
        }
        WriteLog(kGeneralLog, u"FINISHED AUTH");
        return SessionStep::kSignedOn;
    } catch (const CError& e) {
        return EndAfterError(e.Code());
    }
}

COscar::ServiceTicket COscar::LoginRoasted() {
    // Password scrambled with the key, as long as the password.
    std::vector<uint8_t> scrambled(password_.size());
    const auto key = ScramblingKey();
    for (size_t i = 0; i < password_.size(); ++i) {
        scrambled[i] = static_cast<uint8_t>(password_[i]) ^ key[i % key.size()];
    }
    COscarPacket request = COscarPacket::Bare(channel::kSignOn);
    request.AppendU32(0x00000001);
    request.AppendTlv(0x0001, loginBytes_);
    request.AppendTlv(0x0002, ByteSpan(scrambled));
    AppendIdentity(request, EffectiveType());
    request.AppendTlvU8(kTlvMultipleSessions, 0x01);
    if (UseTls()) request.AppendTlv(kTlvAskForTls, std::string_view());
    SendFrame(Link::Service, request);

    COscarPacket reply;
    ReceiveFrame(Link::Service, reply);
    if (reply.channel() == channel::kSnac) throw CError(u"COscar::LoginUnsecured", 2);
    TlvList tlvs;
    tlvs.Parse(reply.frameData());
    ServiceTicket ticket;
    ReadLoginReply(tlvs, ticket);
    return ticket;
}

// The login family's replies; any other frame on the login connection is skipped.
void COscar::ReceiveLoginSnac(COscarPacket& reply) {
    for (int skipped = 0;; ++skipped) {
        ReceiveFrame(Link::Service, reply);
        if (reply.channel() == channel::kDisconnect) HandleIncomingFromDisconnectChannel(reply);
        if (reply.channel() == channel::kSnac && reply.family() == 0x17) return;
        if (skipped > 16) throw CError(u"COscar::LoginSecure", errcode::kIncompleteLoginReply);
    }
}

COscar::ServiceTicket COscar::LoginSecure() {
    COscarPacket hello = COscarPacket::Bare(channel::kSignOn);
    hello.AppendU32(0x00000001);
    SendFrame(Link::Service, hello);

    COscarPacket keyRequest = COscarPacket::Snac(0x17, 0x06);
    keyRequest.AppendTlv(0x0001, loginBytes_);
    keyRequest.AppendTlv(0x004B, std::string_view());
    keyRequest.AppendTlv(0x005A, std::string_view());
    SendFrame(Link::Service, keyRequest);

    COscarPacket reply;
    ReceiveLoginSnac(reply);
    ServiceTicket ticket;
    if (reply.subtype() == 0x03) {
        // A refusal before the key: an unknown name, a suspended account.
        TlvList tlvs;
        tlvs.Parse(reply.snacData());
        ReadLoginReply(tlvs, ticket);
        throw CError(u"COscar::LoginSecure", errcode::kIncompleteLoginReply);
    }
    if (reply.subtype() != 0x07)
        throw CError(u"COscar::LoginSecure", errcode::kIncompleteLoginReply);
    ByteReader reader(reply.snacData());
    const uint16_t keyLength = reader.ReadU16();
    const std::string key = reader.ReadString(keyLength);
    if (!reader.ok()) throw CError(u"COscar::LoginSecure", errcode::kIncompleteLoginReply);

    const std::array<uint8_t, 16> hash = StrongPasswordHash(key, password_);
    COscarPacket login = COscarPacket::Snac(0x17, 0x02);
    login.AppendTlv(0x0001, loginBytes_);
    login.AppendTlv(0x0025, 16, hash.data());
    login.AppendTlv(0x004C, std::string_view());  // the hash is the strong form
    AppendIdentity(login, EffectiveType());
    login.AppendTlvU8(kTlvMultipleSessions, 0x01);
    if (UseTls()) login.AppendTlv(kTlvAskForTls, std::string_view());
    SendFrame(Link::Service, login);

    ReceiveLoginSnac(reply);
    if (reply.subtype() != 0x03)
        throw CError(u"COscar::LoginSecure", errcode::kIncompleteLoginReply);
    TlvList tlvs;
    tlvs.Parse(reply.snacData());
    ReadLoginReply(tlvs, ticket);
    return ticket;
}

void COscar::LoginUnsecured() {
    if (!passwordUsable_) throw CError(u"COscar::LoginUnsecured", errcode::kPasswordNotEncodable);
    COscarPacket greeting;
    ReceiveFrame(Link::Service, greeting);

    const ServiceTicket service = SecureLogin() ? LoginSecure() : LoginRoasted();

    // Leave the login server (closing says goodbye).
    if (serviceSocket_ != kInvalidSocket) CloseLink(Link::Service);

    // Second leg: the service server.
    SetProgressLoadingSettings();
    ConnectLink(Link::Service, service.host, service.port, false);
    COscarPacket serviceGreeting;
    ReceiveFrame(Link::Service, serviceGreeting);
    COscarPacket signOn = COscarPacket::CookieSignOn(ByteSpan(service.cookie));
    SendFrame(Link::Service, signOn);
    COscarPacket families;
    ReceiveReply(families, 0x01, {0x03});
    SignOnServices(*this);
}

}  // namespace zul
