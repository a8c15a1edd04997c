#include "support/plain_baseline.h"

#include "platform/text.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/packet.h"

namespace zul::bench {

size_t ParseStream(const test::Bytes& stream) {
    size_t checksum = 0;
    ByteReader frames(stream);
    while (frames.Remaining() >= 6) {
        frames.Skip(4);
        const uint16_t length = frames.ReadU16();
        const ByteSpan frame = frames.ReadBytes(length);
        if (!frames.ok() || frame.size() < 10) break;
        const uint16_t family = ReadU16(frame.data());
        const uint16_t subtype = ReadU16(frame.data() + 2);
        const ByteSpan data = frame.subspan(10);
        if (family == 0x13 && subtype == 0x06) {
            auto items = ParseServerListReply(data);
            if (items) {
                for (const auto& item : *items)
                    checksum += ReadBuddyFields(item.tlvs).nickname.size();
            }
        } else if (family == 0x03 && subtype == 0x0B) {
            ByteReader reader(data);
            const ByteSpan login = reader.ReadBytes(reader.ReadU8());
            reader.ReadU16();
            const uint16_t count = reader.ReadU16();
            TlvList tlvs;
            reader.Skip(tlvs.ParseCount(reader.Rest(), count));
            checksum += CountedUtf8ToWide(login.data(), login.size()).size();
            if (const Tlv* session = tlvs.Find(0x001D)) {
                ByteReader items(session->Bytes());
                while (items.Remaining() > 0 && items.ok()) {
                    const uint16_t type = items.ReadU16();
                    items.ReadU8();
                    const ByteSpan value = items.ReadBytes(items.ReadU8());
                    if (type == 0x0002 && value.size() > 2) {
                        checksum += CountedUtf8ToWide(value.data() + 2, value.size() - 4).size();
                    }
                }
            }
        } else if (family == 0x04 && subtype == 0x07) {
            auto message = ParseIncomingMessage(data);
            if (message) checksum += message->text.size();
        }
    }
    return checksum;
}

}  // namespace zul::bench
