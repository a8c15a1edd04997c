#include "support/avatar_server.h"

#include <openssl/evp.h>

namespace zul::test {

std::array<uint8_t, 16> Md5Of(std::span<const uint8_t> bytes) {
    std::array<uint8_t, 16> digest{};
    unsigned int length = 0;
    static const uint8_t kNothing = 0;
    EVP_Digest(bytes.empty() ? &kNothing : bytes.data(), bytes.size(), digest.data(), &length,
               EVP_md5(), nullptr);
    return digest;
}

Bytes PictureInfo(std::span<const uint8_t> picture, uint16_t type) {
    ByteWriter w;
    w.U16(type).U8(0x01).U8(0x10).Raw(Md5Of(picture));
    return w.bytes;
}

Bytes RedirectBody(std::string_view address, std::span<const uint8_t> cookie, bool leadingBlock,
                   uint16_t family) {
    ByteWriter w;
    if (leadingBlock) w.U16(6).U16(0x0001).U32(0x00000005);
    w.TlvU16(0x000D, family).Tlv(0x0005, address).Tlv(0x0006, cookie);
    return w.bytes;
}

Bytes AvatarRateInfo() {
    ByteWriter w;
    w.U16(5);
    for (uint16_t id = 1; id <= 5; ++id) {
        // id, window, clear, alert, limit, disconnect, current, maximum
        w.U16(id).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(6000).U32(6000);
    }
    for (uint16_t id = 1; id <= 5; ++id) {
        if (id == 2) {
            w.U16(id).U16(2).U32(0x00100006).U32(0x00010006);
        } else {
            w.U16(id).U16(0);
        }
    }
    return w.bytes;
}

AvatarServer::AvatarServer(ScriptedServer* playOn)
    : own_(playOn ? nullptr : std::make_unique<ScriptedServer>(true)),
      server_(playOn ? playOn : own_.get()) {
    // The avatar sign-on: the cookie frame carries TLV 0x0006.
    const auto isCookie = [](const ReceivedFrame& f) {
        return f.channel == 0x01 && f.data.size() > 4 &&
               FindTlv(ParseTlvs(std::span(f.data).subspan(4)), 0x0006) != nullptr;
    };
    ByteWriter families;
    families.U16(0x0001).U16(0x0010);
    const Reply hostOnline({SnacFrame(0x01, 0x03, families.bytes)});
    server_->OnFrame(isCookie, [hostOnline](const ReceivedFrame&) { return hostOnline; });
    ByteWriter versions;
    versions.U16(0x0001).U16(0x0004).U16(0x0010).U16(0x0001);
    server_->OnSnac(0x01, 0x17, {{SnacFrame(0x01, 0x18, versions.bytes)}});
    server_->OnSnac(0x01, 0x06, {{SnacFrame(0x01, 0x07, AvatarRateInfo())}});
    server_->OnFrame(ScriptedServer::IsSnac(0x10, 0x06),
                     [this](const ReceivedFrame& frame) { return AnswerDownload(frame); });
}

void AvatarServer::SetPicture(const std::string& name, Bytes picture, Fault fault) {
    std::lock_guard lock(mutex_);
    pictures_[name] = {std::move(picture), fault};
}

std::vector<std::pair<std::string, Bytes>> AvatarServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

Reply AvatarServer::AnswerDownload(const ReceivedFrame& frame) {
    // Request: name length, name, 0x01, 20 bytes of picture information.
    const Bytes body = frame.snacData();
    if (body.empty() || body.size() < 1u + body[0] + 1u + 20u) return {};
    const std::string name(body.begin() + 1, body.begin() + 1 + body[0]);
    const Bytes requested(body.begin() + 2 + body[0], body.begin() + 22 + body[0]);

    Bytes picture;
    Fault fault = Fault::None;
    {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(name, requested);
        auto it = pictures_.find(name);
        if (it == pictures_.end()) return {};
        picture = it->second.first;
        fault = it->second.second;
    }

    const Bytes info1 = PictureInfo(picture);
    Bytes info2 = info1;
    if (fault == Fault::DifferentBlocks) info2.back() ^= 0xFF;
    Bytes sent = picture;
    if (fault == Fault::WrongDigest && !sent.empty()) sent[0] ^= 0xFF;

    ByteWriter w;
    w.U8(static_cast<uint8_t>(name.size())).Raw(name).Raw(info1).U8(0x01).Raw(info2);
    if (fault == Fault::Truncated) {
        w.U16(static_cast<uint16_t>(sent.size() + 100)).Raw(sent);
    } else {
        w.U16(static_cast<uint16_t>(sent.size())).Raw(sent);
    }
    return {{SnacFrame(0x10, 0x07, w.bytes, frame.requestId())}};
}

}  // namespace zul::test
