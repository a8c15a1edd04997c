#include "protocol/transport/packet.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "platform/error.h"
#include "platform/text.h"

namespace zul {
namespace {

[[noreturn]] void ThrowNoMemory() {
    throw CError(u"Can not allocate memory", errcode::kNoMemory);
}

// A text of the wire ends at its first zero character, as it did as a C string.
std::u16string CutAtZero(std::u16string text) {
    size_t zero = text.find(u'\0');
    if (zero != std::u16string::npos) text.resize(zero);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ByteReader

bool ByteReader::Take(size_t n) {
    if (ok_ && n <= Remaining()) return true;
    ok_ = false;
    pos_ = bytes_.size();
    return false;
}

uint8_t ByteReader::ReadU8() {
    if (!Take(1)) return 0;
    return bytes_[pos_++];
}

uint16_t ByteReader::ReadU16() {
    if (!Take(2)) return 0;
    uint16_t v = zul::ReadU16(bytes_.data() + pos_);
    pos_ += 2;
    return v;
}

uint32_t ByteReader::ReadU32() {
    if (!Take(4)) return 0;
    uint32_t v = zul::ReadU32(bytes_.data() + pos_);
    pos_ += 4;
    return v;
}

uint16_t ByteReader::ReadU16LE() {
    if (!Take(2)) return 0;
    uint16_t v = static_cast<uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
}

uint32_t ByteReader::ReadU32LE() {
    if (!Take(4)) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes_[pos_ + i];
    pos_ += 4;
    return v;
}

ByteSpan ByteReader::ReadBytes(size_t n) {
    if (!Take(n)) return {};
    ByteSpan v = bytes_.subspan(pos_, n);
    pos_ += n;
    return v;
}

std::string ByteReader::ReadString(size_t n) {
    ByteSpan v = ReadBytes(n);
    return std::string(reinterpret_cast<const char*>(v.data()), v.size());
}

void ByteReader::Skip(size_t n) {
    if (Take(n)) pos_ += n;
}

// ---------------------------------------------------------------------------------------------
// Tlv, TlvList

uint8_t Tlv::AsU8() const {
    return value.size() >= 1 ? value[0] : 0;
}
uint16_t Tlv::AsU16() const {
    return value.size() >= 2 ? ReadU16(value.data()) : 0;
}
uint32_t Tlv::AsU32() const {
    return value.size() >= 4 ? ReadU32(value.data()) : 0;
}

std::string Tlv::AsString() const {
    try {
        return std::string(value.begin(), value.end());
    } catch (const std::bad_alloc&) {
        ThrowNoMemory();
    }
}

size_t TlvList::ParseItems(ByteSpan block, size_t maxItems) {
    items_.clear();
    ByteReader reader(block);
    size_t consumed = 0;
    try {
        while (items_.size() < maxItems && reader.Remaining() > 0) {
            Tlv item;
            item.type = reader.ReadU16();
            item.length = reader.ReadU16();
            ByteSpan value = reader.ReadBytes(item.length);
            if (!reader.ok()) break;  // header or value runs past the block
            item.value.assign(value.begin(), value.end());
            items_.push_back(std::move(item));
            consumed = reader.Position();
        }
    } catch (const std::bad_alloc&) {
        items_.clear();
        ThrowNoMemory();
    }
    return consumed;
}

size_t TlvList::Parse(ByteSpan block) {
    return ParseItems(block, SIZE_MAX);
}

size_t TlvList::Parse(ByteSpan block, int32_t byteLength) {
    if (byteLength <= 0) {
        items_.clear();
        return 0;
    }
    return ParseItems(block.first(std::min(block.size(), static_cast<size_t>(byteLength))),
                      SIZE_MAX);
}

size_t TlvList::ParseCount(ByteSpan block, size_t count) {
    return ParseItems(block, count);
}

const Tlv* TlvList::Find(uint16_t type) const {
    for (const Tlv& item : items_) {
        if (item.type == type) return &item;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// COscarPacket: construction and writers

COscarPacket::COscarPacket(uint8_t ch) {
    data[0] = 0x2A;
    data[1] = ch;
    data[2] = data[3] = data[4] = data[5] = 0;
    size = kHeaderSize;
}

COscarPacket::COscarPacket(uint16_t family, uint16_t subtype, uint16_t id)
    : COscarPacket(channel::kSnac) {
    AppendWordPair(family, subtype);
    AppendU16(0x0000);  // flags
    AppendWordPair(0x0000, id);
}

void COscarPacket::AppendU8(uint8_t v) {
    if (size >= 0 && size < kCapacity) data[size++] = v;
}

void COscarPacket::AppendU16(uint16_t v) {
    AppendU8(static_cast<uint8_t>(v >> 8));
    AppendU8(static_cast<uint8_t>(v));
}

void COscarPacket::AppendU32(uint32_t v) {
    AppendU16(static_cast<uint16_t>(v >> 16));
    AppendU16(static_cast<uint16_t>(v));
}

void COscarPacket::AppendWordPair(uint16_t a, uint16_t b) {
    AppendU16(a);
    AppendU16(b);
}

void COscarPacket::AppendU16LE(uint16_t v) {
    AppendU8(static_cast<uint8_t>(v));
    AppendU8(static_cast<uint8_t>(v >> 8));
}

void COscarPacket::AppendU32LE(uint32_t v) {
    AppendU16LE(static_cast<uint16_t>(v));
    AppendU16LE(static_cast<uint16_t>(v >> 16));
}

void COscarPacket::AppendBytes(const void* p, size_t n) {
    if (size < 0 || size >= kCapacity || n == 0 || p == nullptr) return;
    size_t room = static_cast<size_t>(kCapacity - size);
    size_t count = std::min(n, room);
    std::memcpy(data + size, p, count);
    size += static_cast<int32_t>(count);
}

void COscarPacket::AppendTlv(uint16_t type, size_t n, const void* p) {
    if (p == nullptr) n = 0;
    n = std::min<size_t>(n, 0xFFFF);
    AppendWordPair(type, static_cast<uint16_t>(n));
    AppendBytes(p, n);
}

void COscarPacket::AppendTlvU8(uint16_t type, uint8_t v) {
    AppendWordPair(type, 0x0001);
    AppendU8(v);
}

void COscarPacket::AppendTlvU16(uint16_t type, uint16_t v) {
    AppendWordPair(type, 0x0002);
    AppendU16(v);
}

void COscarPacket::AppendScreenName(std::u16string_view name, int codePage) {
    std::optional<std::string> bytes;
    try {
        if (name.size() <= 0xFF) bytes = WideToMultiByte(name, codePage);
    } catch (const std::bad_alloc&) {
        ThrowNoMemory();
    }
    if (!bytes || bytes->size() != name.size()) {
        AppendU8(7);
        AppendBytes(std::string_view("ErrUID2"));
        return;
    }
    AppendU8(static_cast<uint8_t>(bytes->size()));
    AppendBytes(*bytes);
}

ByteSpan COscarPacket::snacData() const {
    const ByteSpan raw = rawSnacData();
    if (!(flags() & 0x8000)) return raw;
    if (raw.size() < 2) return {};
    const size_t block = 2 + static_cast<size_t>(ReadU16(raw.data()));
    if (block > raw.size()) return {};
    return raw.subspan(block);
}

// ---------------------------------------------------------------------------------------------
// COscarPacket: transfer

void COscarPacket::Send(SocketHandle socket, uint16_t sequence, uint32_t* counter) {
    if (size < kHeaderSize) return;  // nothing built, nothing to send
    data[2] = static_cast<uint8_t>(sequence >> 8);
    data[3] = static_cast<uint8_t>(sequence);
    uint16_t length = static_cast<uint16_t>(size - kHeaderSize);
    data[4] = static_cast<uint8_t>(length >> 8);
    data[5] = static_cast<uint8_t>(length);

    int32_t offset = 0;
    while (offset < size) {
        long n = SocketSend(socket, data + offset, static_cast<size_t>(size - offset));
        if (n <= 0) throw CError(u"COscarPacket::Send(body)", LastSocketError());
        if (counter) *counter += static_cast<uint32_t>(n);
        offset += static_cast<int32_t>(n);
    }
}

void COscarPacket::Receive(SocketHandle socket, uint32_t* counter) {
    size = 0;
    // Reads until `size` reaches `until`; a failed or closed receive abandons the frame.
    auto fill = [&](int32_t until, std::u16string_view where, int32_t closedCode) {
        while (size < until) {
            long n = SocketRecv(socket, data + size, static_cast<size_t>(until - size));
            if (n <= 0) {
                int code = LastSocketError();
                size = 0;
                throw CError(where, code != 0 ? code : closedCode);
            }
            if (counter) *counter += static_cast<uint32_t>(n);
            size += static_cast<int32_t>(n);
        }
    };
    fill(kHeaderSize, u"COscarPacket::Receive(head)", errcode::kClosedInHeader);
    int32_t total = ReadU16(data + 4) + kHeaderSize;
    if (total > kCapacity) {
        size = 0;
        throw CError(u"COscarPacket::Receive(head)", errcode::kFrameTooLarge);
    }
    fill(total, u"COscarPacket::Receive(body)", errcode::kClosedInBody);
}

// ---------------------------------------------------------------------------------------------
// Wire text

bool IsWellFormedUtf8(ByteSpan bytes) {
    bool beyondAscii = false;
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        beyondAscii = true;
        size_t follow = 0;
        uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (i + follow >= bytes.size()) return false;  // cut short
        for (size_t k = 1; k <= follow; ++k) {
            const uint8_t b = bytes[i + k];
            const uint8_t lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
            if (b < lo || b > hi) return false;
        }
        i += follow + 1;
    }
    return beyondAscii;
}

std::u16string Utf8ToWide(ByteSpan bytes) {
    constexpr char16_t kReplacement = 0xFFFD;
    std::u16string out;
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n && bytes[i] != 0) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t follow;
        uint32_t code;
        if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            code = lead & 0x07;
        } else {  // a stray continuation byte or a lead no character has
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= follow && i + k < n; ++k) {
            const uint8_t b = bytes[i + k];
            if ((b & 0xC0) != 0x80) break;
            code = code << 6 | (b & 0x3F);
        }
        if (k <= follow) {
            // Cut short by the end or by a zero byte: the text ends. Broken by another byte:
            // one replacement, and that byte is read again as what it is.
            if (i + k >= n || bytes[i + k] == 0) break;
            out.push_back(kReplacement);
            i += k;
            continue;
        }
        i += follow + 1;
        const bool overlong = (follow == 2 && code < 0x800) || (follow == 3 && code < 0x10000);
        if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(kReplacement);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 | (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::u16string Utf8ToWide(std::string_view bytes) {
    return Utf8ToWide(ByteSpan(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::u16string Utf16BeToWide(ByteSpan bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<char16_t>(ReadU16(bytes.data() + i)));
    }
    return CutAtZero(std::move(out));
}

std::u16string Utf16BeToWide(const uint8_t* bytes, size_t n) {
    if (bytes == nullptr) return {};
    return Utf16BeToWide(ByteSpan(bytes, n));
}

std::u16string BytesToWide(const uint8_t* bytes, size_t n, int codePage) {
    if (bytes == nullptr || n == 0) return {};
    return CutAtZero(
        MultiByteToWide(std::string_view(reinterpret_cast<const char*>(bytes), n), codePage));
}

std::u16string BytesToWide(ByteSpan bytes, int codePage) {
    return BytesToWide(bytes.data(), bytes.size(), codePage);
}

std::u16string CountedUtf8ToWide(const uint8_t* bytes, size_t n) {
    if (bytes == nullptr) return {};
    return Utf8ToWide(ByteSpan(bytes, n));
}

}  // namespace zul
