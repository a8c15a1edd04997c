#include "support/wire_builders.h"

#include <ctime>

#include "protocol/service_wire.h"
#include "support/presence_notice.h"
#include "support/signon_script.h"

namespace zul::bench {
namespace {

using test::ByteWriter;

// Room for list items in one reply: the frame buffer less the headers, the version byte,
// the item count and the time.
constexpr size_t kListRoom = 30720 - 6 - 10 - 1 - 2 - 4 - 64;

size_t ItemSize(const test::ListItem& item) {
    return 10 + item.name.size() + item.tlvs.size();
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

std::vector<OutFrame> ServerListFrames(const WorldSpec& shape, int a) {
    std::vector<test::ListItem> all;
    for (int g = 0; g < shape.groupsPerAccount; ++g) {
        all.push_back({GroupName(g), GroupId(a, g), 0, 0x0001, {}});
    }
    for (int i = 0; i < shape.contactsPerAccount; ++i) {
        test::ListItem item{
            ContactLogin(a, i), ContactGroupId(shape, a, i), ContactSrvId(i), 0x0000, {}};
        item.tlvs = ByteWriter().Tlv(0x0131, ContactNickname(a, i)).bytes;
        all.push_back(std::move(item));
    }
    std::vector<std::vector<test::ListItem>> replies(1);
    size_t used = 0;
    for (auto& item : all) {
        if (used + ItemSize(item) > kListRoom) {
            replies.emplace_back();
            used = 0;
        }
        used += ItemSize(item);
        replies.back().push_back(std::move(item));
    }
    std::vector<OutFrame> frames;
    for (size_t r = 0; r < replies.size(); ++r) {
        const uint16_t flags = r + 1 < replies.size() ? 0x0001 : 0x0000;
        frames.push_back(test::SnacFrame(0x13, 0x06, test::ServerListBody(replies[r]), 0, flags));
    }
    return frames;
}

std::vector<OutFrame> PresenceNotices(const WorldSpec& shape, int a, int first, int count) {
    static const uint16_t kStatusWords[] = {0x0000, 0x0001, 0x0010, 0x0002, 0x0004, 0x0000};
    const auto textTime = static_cast<uint32_t>(std::time(nullptr));
    std::vector<OutFrame> frames;
    frames.reserve(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        const int i = first + k;
        std::vector<Bytes> items;
        if (shape.pictureBytes > 0) {
            const std::array<uint8_t, 16> digest = PictureDigest(ContactPicture(shape, a, i));
            items.push_back(test::Item(0x0001, 0x01, digest));
        }
        items.push_back(test::StatusTextItem("on the road again, back at " +
                                             std::to_string(8 + i % 12) + " o'clock"));
        items.push_back(test::TextTimeItem(textTime + static_cast<uint32_t>(k)));
        items.push_back(test::MoodItem("icqmood" + std::to_string(i % 20)));
        Bytes block = test::UserBlock(ContactLogin(a, i),
                                      {test::ClassTlv(0x0050), test::StatusTlv(kStatusWords[i % 6]),
                                       test::SessionDataTlv(items)});
        frames.push_back(test::SnacFrame(0x03, 0x0B, block));
    }
    return frames;
}

std::vector<OutFrame> OfflineMessages(const WorldSpec& shape, int a, int count, int senders,
                                      uint32_t requestId) {
    std::vector<OutFrame> frames;
    const auto sentAt = static_cast<uint32_t>(std::time(nullptr)) - 86400;
    for (int k = 0; k < count; ++k) {
        const int i = k % senders;
        const Bytes text = Text("offline " + std::to_string(k) +
                                ": are you there? call me when you read this, please");
        Bytes body = test::MessageHead(1, ContactLogin(a, i))
                         .Tlv(0x0002, test::TextFragments(0x0000, text))
                         .TlvU32(0x0016, sentAt + static_cast<uint32_t>(k))
                         .bytes;
        frames.push_back(test::SnacFrame(0x04, 0x07, body, requestId));
    }
    frames.push_back(test::SnacFrame(0x04, 0x17, {}, requestId));
    (void)shape;
    return frames;
}

std::vector<OutFrame> LiveMessages(const WorldSpec& shape, int a, int count, int senders) {
    std::vector<OutFrame> frames;
    frames.reserve(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        const int i = k % senders;
        const Bytes text =
            Text("m" + std::to_string(k) + " how are you doing today? I have news about the trip");
        frames.push_back(
            test::SnacFrame(0x04, 0x07, test::Channel1Message(ContactLogin(a, i), 0x0000, text)));
    }
    (void)shape;
    return frames;
}

Bytes EncodeFrames(const std::vector<OutFrame>& frames, uint16_t firstSequence) {
    Bytes out;
    uint16_t sequence = firstSequence;
    for (const OutFrame& f : frames) {
        Bytes one = test::EncodeFrame(f.channel, sequence++, f.data);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

int MessageIndex(std::u16string_view text) {
    if (text.size() < 2 || text[0] != u'm') return -1;
    int value = 0;
    size_t i = 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = value * 10 + (text[i] - u'0');
    return i > 1 ? value : -1;
}

}  // namespace zul::bench
