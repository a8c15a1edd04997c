#include "tools/interop/wire_tap.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "protocol/transport/avatar.h"
#include "protocol/transport/packet.h"

namespace zul::interop {
namespace {

constexpr size_t kFrameHeader = 6;
constexpr size_t kSnacHeader = 10;
constexpr size_t kTracedBytes = 512;

std::string Hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string Clock() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms));
    return text;
}

// A presence notice: the first user block's screen name, and whether its session data
// (TLV 0x1D) holds a buddy-icon hash that is not one of the "no picture" markers.
void ReadPresence(ByteSpan body, FrameRecord& record) {
    ByteReader reader(body);
    record.who = reader.ReadString(reader.ReadU8());
    reader.ReadU16();  // warning level
    const uint16_t count = reader.ReadU16();
    if (!reader.ok()) return;
    TlvList tlvs;
    tlvs.ParseCount(reader.Rest(), count);
    const Tlv* session = tlvs.Find(0x001D);
    if (session == nullptr) return;
    ByteReader items(session->Bytes());
    while (items.Remaining() >= 4) {
        const size_t start = items.Position();
        const uint16_t type = items.ReadU16();
        items.ReadU8();
        const uint8_t length = items.ReadU8();
        items.Skip(length);
        if (!items.ok()) return;
        const ByteSpan item = session->Bytes().subspan(start, 4 + length);
        if (type == 0x0001 && length == kPictureHashSize && !IsBlankPicture(item)) {
            record.iconHash = true;
        }
    }
}

}  // namespace

std::string FoldScreenName(const std::string& name) {
    std::string folded;
    for (char c : name) {
        if (c != ' ') folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

WireTap& WireTap::Instance() {
    static WireTap tap;
    return tap;
}

WireTap::~WireTap() {
    for (auto& [account, file] : traces_) std::fclose(file);
}

void WireTap::SetOwnerLookup(OwnerLookup lookup) {
    std::lock_guard lock(mutex_);
    owner_ = std::move(lookup);
}

void WireTap::SetTraceFile(int account, const std::string& path) {
    std::lock_guard lock(mutex_);
    if (FILE* file = std::fopen(path.c_str(), "a")) traces_[account] = file;
}

void WireTap::Connected(int socket) {
    std::lock_guard lock(mutex_);
    connections_.erase(socket);
    std::string link;
    const int account = owner_ ? owner_(socket, link) : 0;
    if (account != 0) connections_[socket] = Connection{account, link, {}, {}};
}

void WireTap::Attach(int socket, int account, const std::string& link) {
    std::lock_guard lock(mutex_);
    connections_[socket] = Connection{account, link, {}, {}};
}

void WireTap::Feed(int socket, bool incoming, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(mutex_);
    auto found = connections_.find(socket);
    if (found == connections_.end()) return;
    std::vector<uint8_t>& stream = incoming ? found->second.in : found->second.out;
    stream.insert(stream.end(), bytes, bytes + count);
    Consume(found->second, incoming);
}

void WireTap::Consume(Connection& connection, bool incoming) {
    std::vector<uint8_t>& stream = incoming ? connection.in : connection.out;
    size_t offset = 0;
    while (stream.size() - offset >= kFrameHeader) {
        const uint8_t* frame = stream.data() + offset;
        if (frame[0] != 0x2A) {  // lost the frame boundary: what is buffered is given up
            offset = stream.size();
            break;
        }
        const size_t size = kFrameHeader + ReadU16(frame + 4);
        if (stream.size() - offset < size) break;
        Record(connection, incoming, frame, size);
        offset += size;
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(offset));
}

void WireTap::Record(const Connection& connection, bool incoming, const uint8_t* frame,
                     size_t size) {
    FrameRecord record;
    record.account = connection.account;
    record.link = connection.link;
    record.incoming = incoming;
    record.channel = frame[1];
    const uint8_t* data = frame + kFrameHeader;
    const size_t dataSize = size - kFrameHeader;
    bool secret = record.channel == 1;

    if (record.channel == 2 && dataSize >= kSnacHeader) {
        record.family = ReadU16(data);
        record.subtype = ReadU16(data + 2);
        record.flags = ReadU16(data + 4);
        record.requestId = ReadU32(data + 6);
        ByteReader body(ByteSpan(data + kSnacHeader, dataSize - kSnacHeader));
        if (record.flags & 0x8000) body.Skip(body.ReadU16());  // a leading block
        const uint16_t f = record.family, s = record.subtype;
        if (s == 0x01) {
            const uint16_t code = body.ReadU16();
            if (body.ok()) record.error = code;
        } else if (f == 0x03 && (s == 0x0B || s == 0x0C)) {
            ReadPresence(body.Rest(), record);
            if (record.iconHash) icons_.insert(FoldScreenName(record.who));
        } else if (f == 0x04 && (s == 0x06 || s == 0x07 || s == 0x0C)) {
            body.Skip(10);  // cookie and channel
            record.who = body.ReadString(body.ReadU8());
        }
        secret = f == 0x17 || (f == 0x01 && s == 0x05);
    } else if (record.channel == 4) {
        TlvList tlvs;
        tlvs.Parse(ByteSpan(data, dataSize));
        if (const Tlv* error = tlvs.Find(0x0008)) record.error = error->AsU16();
        if (const Tlv* reason = tlvs.Find(0x0009)) record.error = reason->AsU16();
        secret = tlvs.Has(0x0006);  // the login reply's cookie
    }
    records_.push_back(record);
    Trace(record, data, dataSize, secret);
}

void WireTap::Trace(const FrameRecord& record, const uint8_t* data, size_t size, bool secret) {
    auto file = traces_.find(record.account);
    if (file == traces_.end()) return;
    char head[96];
    if (record.channel == 2) {
        std::snprintf(head, sizeof head, "%s %02x/%02x flags=%04x id=%08x", record.link.c_str(),
                      record.family, record.subtype, record.flags, record.requestId);
    } else {
        std::snprintf(head, sizeof head, "%s ch%d", record.link.c_str(), record.channel);
    }
    std::string line = Clock();
    line += record.incoming ? " < " : " > ";
    line += head;
    line += " len=";
    line += std::to_string(size);
    if (secret) {
        line += " (bytes not traced)";
    } else if (size > 0) {
        line += ' ';
        line += Hex(data, std::min(size, kTracedBytes));
        if (size > kTracedBytes) line += "...";
    }
    std::fprintf(file->second, "%s\n", line.c_str());
    std::fflush(file->second);
}

size_t WireTap::Mark() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

std::vector<FrameRecord> WireTap::Since(size_t mark, int account) const {
    std::lock_guard lock(mutex_);
    std::vector<FrameRecord> found;
    for (size_t i = mark; i < records_.size(); ++i) {
        if (records_[i].account == account) found.push_back(records_[i]);
    }
    return found;
}

bool WireTap::IconAnnounced(const std::string& who) const {
    std::lock_guard lock(mutex_);
    return icons_.count(FoldScreenName(who)) > 0;
}

RecordFilter Families(std::vector<uint16_t> families) {
    return [families = std::move(families)](const FrameRecord& r) {
        return r.channel == 2 &&
               std::find(families.begin(), families.end(), r.family) != families.end();
    };
}

std::string Summarize(const std::vector<FrameRecord>& records, const RecordFilter& filter) {
    std::string text;
    for (const FrameRecord& r : records) {
        if (r.channel == 5) continue;  // keep-alives say nothing
        if (filter && !filter(r)) continue;
        char token[48];
        if (r.channel == 2) {
            std::snprintf(token, sizeof token, "%c%02x/%02x", r.incoming ? '<' : '>', r.family,
                          r.subtype);
        } else {
            std::snprintf(token, sizeof token, "%cch%d", r.incoming ? '<' : '>', r.channel);
        }
        if (!text.empty()) text += ' ';
        text += token;
        if (r.error >= 0) {
            std::snprintf(token, sizeof token, "(err 0x%04x)", r.error);
            text += token;
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace zul::interop
