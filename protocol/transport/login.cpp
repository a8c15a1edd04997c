// Signing on: the login server leg (password proof, cookie and service address) and the start
// of the service server leg (cookie), then the service handshake.
#include "protocol/transport/login.h"

#include <array>

#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"
#include "storage/error.h"
#include "storage/log.h"

namespace zul {
namespace {

constexpr size_t kHostMax = 255;
constexpr size_t kPortMax = 31;
constexpr size_t kLoginMax = 127;
constexpr size_t kPasswordMax = 8;

// The channel-1 password scrambling key, assembled at run time from separate bytes.
std::array<uint8_t, 8> ScramblingKey() {
    const uint8_t k0 = 0xF3, k1 = 0x26, k2 = 0x81, k3 = 0xC4;
    const uint8_t k4 = 0x39, k5 = 0x86, k6 = 0xDB, k7 = 0x92;
    return {k0, k1, k2, k3, k4, k5, k6, k7};
}

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

}  // namespace

std::u16string LoginErrorText(uint8_t accountType, int32_t code) {
    if (accountType != acctype::kIcq && accountType != acctype::kAim) {
        return u"unknown account type";
    }
    int id;
    switch (code) {
        case 1: case 4: case 5: case 6: case 7: id = 1010; break;
        case 2: case 13: case 16: case 20: case 21: case 26: id = 1011; break;
        case 22: case 23: id = 1012; break;
        case 24: case 29: id = 1013; break;
        case 27: id = 1014; break;
        case 28: id = 1015; break;
        case 30: id = 1016; break;
        case 12: id = 1017; break;
        case errcode::kSignedOnElsewhere: id = 1097; break;
        case 10050: case 10061: id = 10050; break;
        case 10054: id = 10054; break;
        case 10060: id = 10060; break;
        case 10049: case 10064: case 10065: case 11001: id = 11001; break;
        default: id = 1099; break;
    }
    return ResString(id);
}

void COscar::FillSessionFields() {
    host_ = Bytes(Server(), kHostMax);
    port_ = Bytes(Port(), kPortMax);
    loginBytes_ = Bytes(Login(), kLoginMax);
    password_ = Bytes(Password(), kPasswordMax);
}

int COscar::ConnectAndLogIn(int* stop) {
    WriteLog(kGeneralLog, u"BEGIN CONNECTING");
    FillSessionFields();
    pending_.Clear();
    avatarQueue_.Clear();
    serviceRates_.Clear();
    avatarRates_.Clear();
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
        return 1;
    } catch (const CError& e) {
        CloseConnections();
        if (SessionRunning() && !StopRequested()) {
            WriteLog(kGeneralLog, u"MainThreadBody(): CError catched");
            if (stop) *stop = HandleSessionError(e.Code()) ? 1 : 0;
        } else if (stop) {
            *stop = 1;
        }
        return 0;
    }
}

void COscar::LoginUnsecured() {
    // Password, zero-padded to eight bytes and scrambled.
    std::array<uint8_t, kPasswordMax> scrambled{};
    const auto key = ScramblingKey();
    for (size_t i = 0; i < kPasswordMax; ++i) {
        uint8_t b = i < password_.size() ? static_cast<uint8_t>(password_[i]) : 0;
        scrambled[i] = b ^ key[i];
    }

    COscarPacket greeting;
    ReceiveFrame(Link::Service, greeting);

    COscarPacket request = COscarPacket::Bare(channel::kSignOn);
    request.AppendU32(0x00000001);
    request.AppendTlv(0x0001, loginBytes_);
    request.AppendTlv(0x0002, password_.size(), scrambled.data());
    request.AppendTlv(0x0003, std::string_view("ICQ Client"));
    request.AppendTlvU16(0x0016, 0x010A);
    request.AppendTlvU16(0x0017, 6);
    request.AppendTlvU16(0x0018, 5);
    request.AppendTlvU16(0x0019, 0);
    request.AppendTlvU16(0x001A, 1005);
    const uint8_t distribution[4] = {0x00, 0x00, 0x75, 0x37};
    request.AppendTlv(0x0014, 4, distribution);
    request.AppendTlv(0x000F, std::string_view("en"));
    request.AppendTlv(0x000E, std::string_view("en"));
    SendFrame(Link::Service, request);

    COscarPacket reply;
    ReceiveFrame(Link::Service, reply);
    if (reply.channel() == channel::kSnac) throw CError(u"COscar::LoginUnsecured", 2);

    TlvList tlvs;
    tlvs.Parse(reply.frameData());
    if (const Tlv* error = tlvs.Find(0x0008)) {
        throw CError(u"COscar::LoginUnsecured", error->AsU16());
    }
    const Tlv* address = tlvs.Find(0x0005);
    const Tlv* cookie = tlvs.Find(0x0006);
    if (!address || !cookie) {
        throw CError(u"COscar::LoginUnsecured", errcode::kIncompleteLoginReply);
    }
    std::string serviceHost, servicePort;
    SplitHostPort(address->AsString(), serviceHost, servicePort);
    const std::vector<uint8_t> cookieCopy = cookie->value;

    // Leave the login server.
    if (serviceSocket_ != kInvalidSocket) {
        COscarPacket bye = COscarPacket::Bare(channel::kDisconnect);
        SendFrame(Link::Service, bye);
        CloseLink(Link::Service);
    }

    // Second leg: the service server.
    SetProgressLoadingSettings();
    ConnectLink(Link::Service, serviceHost, servicePort, false);
    COscarPacket serviceGreeting;
    ReceiveFrame(Link::Service, serviceGreeting);
    COscarPacket signOn = COscarPacket::Bare(channel::kSignOn);
    signOn.AppendU32(0x00000001);
    signOn.AppendTlv(0x0006, ByteSpan(cookieCopy));
    SendFrame(Link::Service, signOn);
    COscarPacket families;
    ReceiveReply(families, 0x01, {0x03});
    SignOnServices(*this);
}

}  // namespace zul
