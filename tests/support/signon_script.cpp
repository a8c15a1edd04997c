#include "support/signon_script.h"

namespace zul::test {

Bytes StandardRateInfo() {
    ByteWriter w;
    w.U16(3);
    for (uint16_t id = 1; id <= 3; ++id) {
        w.U16(id).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(6000).U32(6000);
    }
    w.U16(1).U16(1).U32(0x00010006);
    w.U16(2).U16(1).U32(0x00040006);
    w.U16(3).U16(0);
    return w.bytes;
}

Bytes ServerListBody(const std::vector<ListItem>& items) {
    ByteWriter w;
    w.U8(0).U16(static_cast<uint16_t>(items.size()));
    for (const auto& item : items) {
        w.U16(static_cast<uint16_t>(item.name.size())).Raw(item.name);
        w.U16(item.groupId).U16(item.itemId).U16(item.type);
        w.U16(static_cast<uint16_t>(item.tlvs.size())).Raw(item.tlvs);
    }
    w.U32(0);
    return w.bytes;
}

Bytes StandardCookie() {
    return {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
}

namespace {
// A channel-1 frame whose TLVs (after the 4-byte version) hold `type`.
bool ChannelOneWith(const ReceivedFrame& f, uint16_t type) {
    return f.channel == 0x01 && f.data.size() > 4 &&
           FindTlv(ParseTlvs(std::span(f.data).subspan(4)), type) != nullptr;
}
}  // namespace

bool IsLoginRequest(const ReceivedFrame& frame) {
    return ChannelOneWith(frame, 0x0001);
}

bool IsCookieFrame(const ReceivedFrame& frame) {
    return ChannelOneWith(frame, 0x0006);
}

uint16_t MetaRequestType(const ReceivedFrame& frame) {
    if (!frame.IsSnac(0x15, 0x02)) return 0;
    const Bytes data = frame.snacData();
    // TLV 0x0001: byte count, own number, request type (low byte first).
    if (data.size() < 4 + 8) return 0;
    return static_cast<uint16_t>(data[4 + 6] | data[4 + 7] << 8);
}

void AddLoginRules(ScriptedServer& login, const std::string& serviceAddress,
                   std::function<void(const ReceivedFrame&)> observe) {
    login.OnFrame(IsLoginRequest, [serviceAddress, observe](const ReceivedFrame& frame) {
        if (observe) observe(frame);
        return Reply({LoginReply(serviceAddress, StandardCookie())});
    });
    // The MD5 login: the key, then the service address and cookie as SNAC(0x17,0x03).
    login.OnSnac(0x17, 0x06, Reply({SnacFrame(0x17, 0x07, Bytes{0x00, 0x04, 'k', 'e', 'y', '1'})}));
    login.OnFrame(
        [](const ReceivedFrame& f) { return f.IsSnac(0x17, 0x02); },
        [serviceAddress, observe](const ReceivedFrame& frame) {
            if (observe) observe(frame);
            ByteWriter w;
            w.Tlv(0x0001, "login").Tlv(0x0005, serviceAddress).Tlv(0x0006, StandardCookie());
            return Reply({SnacFrame(0x17, 0x03, w.bytes, frame.requestId())});
        });
}

void AddServiceRules(ScriptedServer& s, const SignOnScript& script) {
    s.OnFrame(IsCookieFrame, [](const ReceivedFrame&) {
        ByteWriter families;
        for (uint16_t f : {0x0001, 0x0002, 0x0003, 0x0004, 0x0009, 0x0013, 0x0015}) families.U16(f);
        return Reply({SnacFrame(0x01, 0x03, families.bytes)});
    });
    s.OnSnac(0x01, 0x06, Reply({SnacFrame(0x01, 0x07, StandardRateInfo())}));
    s.OnSnac(0x02, 0x02, Reply({SnacFrame(0x02, 0x03)}));
    s.OnSnac(0x03, 0x02, Reply({SnacFrame(0x03, 0x03)}));
    s.OnSnac(0x04, 0x04, Reply({SnacFrame(0x04, 0x05)}));
    s.OnSnac(0x09, 0x02, Reply({SnacFrame(0x09, 0x03)}));
    s.OnSnac(0x13, 0x02, Reply({SnacFrame(0x13, 0x03)}));
    // Like a real server: the end of offline messages, and acknowledgements of list edits.
    if (script.endOfflineMessages) {
        s.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x04, 0x10); },
                  [](const ReceivedFrame& f) {
                      return Reply({SnacFrame(0x04, 0x17, {}, f.requestId())});
                  });
    }
    // The meta offline messages are not kept here: the error reply sends the client to the
    // AIM request above.
    s.OnFrame([](const ReceivedFrame& f) { return MetaRequestType(f) == 0x003C; },
              [](const ReceivedFrame& f) {
                  return Reply({SnacFrame(0x15, 0x01, Bytes{0x00, 0x02}, f.requestId())});
              });
    s.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09); },
              [](const ReceivedFrame& f) {
                  const uint8_t ok[] = {0x00, 0x00};
                  return Reply({SnacFrame(0x13, 0x0E, ok, f.requestId())});
              });
    if (script.serverList.empty()) {
        s.OnSnac(0x13, 0x04, Reply({SnacFrame(0x13, 0x0F)}));
    } else {
        s.OnSnac(0x13, 0x04, Reply({SnacFrame(0x13, 0x06, script.serverList)}));
    }
}

}  // namespace zul::test
