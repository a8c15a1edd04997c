#include "support/chat_server.h"

#include <thread>

#include "support/avatar_server.h"
#include "support/presence_notice.h"

namespace zul::test {

namespace {

const Bytes kChatCapability = {0x74, 0x8F, 0x24, 0x20, 0x62, 0x87, 0x11, 0xD1,
                               0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};

uint16_t Be16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace

Bytes RoomRefWire(uint16_t exchange, std::string_view cookie, uint16_t instance) {
    ByteWriter w;
    w.U16(exchange).U8(static_cast<uint8_t>(cookie.size())).Raw(cookie).U16(instance);
    return w.bytes;
}

Bytes RoomInfoWire(uint16_t exchange, std::string_view cookie, std::string_view name) {
    ByteWriter w;
    w.Raw(RoomRefWire(exchange, cookie, 0)).U8(2).U16(1).Tlv(0x00D3, name);
    return w.bytes;
}

Bytes MemberList(const std::vector<std::string>& names) {
    ByteWriter w;
    for (const std::string& name : names) w.Raw(UserBlock(name, {ClassTlv(0x0010)}));
    return w.bytes;
}

Bytes RoomMessageWire(std::string_view sender, std::string_view charset, const Bytes& text) {
    ByteWriter info;
    info.Tlv(0x0002, charset).Tlv(0x0003, "en").Tlv(0x0001, text);
    ByteWriter w;
    w.U32(0x01020304).U32(0x05060708).U16(0x0003);
    w.Tlv(0x0003, UserBlock(sender, {ClassTlv(0x0010)})).Tlv(0x0001, "").Tlv(0x0005, info.bytes);
    return w.bytes;
}

Bytes InvitationWire(std::string_view from, const Bytes& roomBlock, std::string_view text,
                     uint16_t kind) {
    ByteWriter rdv;
    rdv.U16(kind).U32(0xAABBCCDD).U32(0x11223344).Raw(kChatCapability);
    rdv.TlvU16(0x000A, 1).Tlv(0x000C, text).Tlv(0x000D, "us-ascii").Tlv(0x2711, roomBlock);
    ByteWriter w;
    w.U32(0xAABBCCDD).U32(0x11223344).U16(0x0002).Raw(UserBlock(from, {ClassTlv(0x0010)}));
    w.Tlv(0x0005, rdv.bytes);
    return w.bytes;
}

ChatServer::ChatServer() : server_(true) {
    const auto isCookie = [](const ReceivedFrame& f) {
        return f.channel == 0x01 && f.data.size() > 4 &&
               FindTlv(ParseTlvs(std::span(f.data).subspan(4)), 0x0006) != nullptr;
    };
    server_.OnFrame(isCookie, [this](const ReceivedFrame& f) { return SignOn(f); });
    server_.OnFrame(ScriptedServer::IsSnac(0x01, 0x17), [](const ReceivedFrame& f) {
        return Reply({SnacFrame(0x01, 0x18, f.snacData())});
    });
    server_.OnSnac(0x01, 0x06, {{SnacFrame(0x01, 0x07, AvatarRateInfo())}});
    server_.OnFrame(ScriptedServer::IsSnac(0x01, 0x02),
                    [this](const ReceivedFrame& f) { return ClientReady(f); });
    ByteWriter rights;
    rights.U16(0x0002).U16(1).U8(10).Tlv(0x0003, ByteWriter().U16(4).U16(0).bytes);
    server_.OnFrame(ScriptedServer::IsSnac(0x0D, 0x02), [rights](const ReceivedFrame& f) {
        return Reply({SnacFrame(0x0D, 0x09, rights.bytes, f.requestId())});
    });
    server_.OnFrame(ScriptedServer::IsSnac(0x0D, 0x08),
                    [this](const ReceivedFrame& f) { return Create(f); });
    // A room asked for by its reference: exchange, cookie, instance, detail level.
    server_.OnFrame(ScriptedServer::IsSnac(0x0D, 0x04), [](const ReceivedFrame& f) {
        const Bytes body = f.snacData();
        if (body.size() < 3 || body.size() < 3u + body[2] + 3u) return Reply();
        const std::string cookie(body.begin() + 3, body.begin() + 3 + body[2]);
        const size_t dash = cookie.find('-', cookie.find('-') + 1);
        const std::string name = dash == std::string::npos ? cookie : cookie.substr(dash + 1);
        ByteWriter reply;
        reply.Tlv(0x0004, RoomInfoWire(Be16(body, 0), cookie, name));
        return Reply({SnacFrame(0x0D, 0x09, reply.bytes, f.requestId())});
    });
}

void ChatServer::ServeRedirectsOn(ScriptedServer& service) {
    const std::string address = server_.HostPort();
    const auto isFamily = [](uint16_t family) {
        return [family](const ReceivedFrame& f) {
            const Bytes body = f.snacData();
            return f.IsSnac(0x01, 0x04) && body.size() >= 2 && Be16(body, 0) == family;
        };
    };
    service.OnFrame(isFamily(0x000D), [address](const ReceivedFrame& f) {
        const std::string cookie = "nav";
        return Reply({SnacFrame(
            0x01, 0x05, RedirectBody(address, Bytes(cookie.begin(), cookie.end()), false, 0x000D),
            f.requestId())});
    });
    service.OnFrame(isFamily(0x000E), [address](const ReceivedFrame& f) {
        const Bytes body = f.snacData();
        const std::vector<WireTlv> tlvs = ParseTlvs(std::span(body).subspan(2));
        const WireTlv* ref = FindTlv(tlvs, 0x0001);
        if (!ref || ref->value.size() < 3 || ref->value.size() < 3u + ref->value[2]) {
            ByteWriter error;
            error.U16(0x0004);
            return Reply({SnacFrame(0x01, 0x01, error.bytes, f.requestId())});
        }
        const std::string cookie =
            "room:" + std::string(ref->value.begin() + 3, ref->value.begin() + 3 + ref->value[2]);
        return Reply({SnacFrame(
            0x01, 0x05, RedirectBody(address, Bytes(cookie.begin(), cookie.end()), false, 0x000E),
            f.requestId())});
    });
}

void ChatServer::SetMembers(std::vector<std::string> members) {
    std::lock_guard lock(mutex_);
    members_ = std::move(members);
}

void ChatServer::SetAnsweredName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    answeredName_ = std::move(name);
}

std::optional<int> ChatServer::RoomConnection(const std::string& cookie) const {
    std::lock_guard lock(mutex_);
    std::optional<int> found;
    for (const auto& [connection, room] : rooms_) {
        if (room == cookie) found = connection;
    }
    return found;
}

bool ChatServer::WaitForRoom(const std::string& cookie, Timeout timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (RoomConnection(cookie)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

Reply ChatServer::SignOn(const ReceivedFrame& frame) {
    const std::vector<WireTlv> tlvs = ParseTlvs(std::span(frame.data).subspan(4));
    const WireTlv* cookie = FindTlv(tlvs, 0x0006);
    const std::string text = Text(cookie->value);
    ByteWriter families;
    families.U16(0x0001);
    {
        std::lock_guard lock(mutex_);
        if (text == "nav") {
            rooms_[frame.connection] = "";
            families.U16(0x000D);
        } else if (text.rfind("room:", 0) == 0) {
            rooms_[frame.connection] = text.substr(5);
            families.U16(0x000E);
        } else {
            Reply refused;
            refused.close = true;
            return refused;
        }
    }
    return Reply({SnacFrame(0x01, 0x03, families.bytes)});
}

Reply ChatServer::ClientReady(const ReceivedFrame& frame) {
    std::string cookie;
    std::vector<std::string> members;
    {
        std::lock_guard lock(mutex_);
        auto at = rooms_.find(frame.connection);
        if (at == rooms_.end() || at->second.empty()) return {};
        cookie = at->second;
        members = members_;
    }
    const size_t dash = cookie.find('-', cookie.find('-') + 1);
    const std::string name = dash == std::string::npos ? cookie : cookie.substr(dash + 1);
    return Reply({SnacFrame(0x0E, 0x02, RoomInfoWire(4, cookie, name)),
                  SnacFrame(0x0E, 0x03, MemberList(members))});
}

Reply ChatServer::Create(const ReceivedFrame& frame) {
    // exchange, cookie "create", instance, detail, TLV count, TLVs (0xD3: the name)
    const Bytes body = frame.snacData();
    if (body.size() < 3 || body.size() < 3u + body[2] + 5u) return {};
    const uint16_t exchange = Be16(body, 0);
    const size_t tlvsAt = 3u + body[2] + 5u;
    const std::vector<WireTlv> tlvs = ParseTlvs(std::span(body).subspan(tlvsAt));
    const WireTlv* name = FindTlv(tlvs, 0x00D3);
    if (!name) return {};
    std::string answered = Text(name->value);
    {
        std::lock_guard lock(mutex_);
        if (answeredName_) answered = *answeredName_;
    }
    const std::string cookie = std::to_string(exchange) + "-0-" + Text(name->value);
    ByteWriter reply;
    const Bytes info = RoomInfoWire(exchange, cookie, answered);
    reply.Tlv(0x0004, info);
    return Reply({SnacFrame(0x0D, 0x09, reply.bytes, frame.requestId())});
}

}  // namespace zul::test
