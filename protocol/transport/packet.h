// The OSCAR wire codec: the in-place frame buffer COscarPacket, bounds-checked readers, TLV
// lists, the wire text conversions, and the transfer of one whole frame over a socket.
//
// Frame layout (big-endian): 2A, channel, sequence (16), data length (16), data. On channel 2
// the data starts with the SNAC header: family (16), subtype (16), flags (16), request id (32).
//
// Everything that reads bytes from the network goes through ByteReader or TlvList, which never
// read past the block they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace zul {

using ByteSpan = std::span<const uint8_t>;

// Channels of a frame.
namespace channel {
constexpr uint8_t kSignOn = 0x01;
constexpr uint8_t kSnac = 0x02;
constexpr uint8_t kDisconnect = 0x04;
constexpr uint8_t kKeepAlive = 0x05;
}  // namespace channel

// Unchecked big-endian reads at a pointer; the caller has made sure the bytes exist.
// Parsers of received data use ByteReader instead.
inline uint8_t ReadU8(const uint8_t* p) {
    return p[0];
}
inline uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Sequential reader over a span. A read that would run past the end returns 0 (or an empty
// span), moves to the end and clears ok(); every later read fails the same way, so a parser
// may read a whole record and check ok() once.
class ByteReader {
  public:
    ByteReader() = default;
    explicit ByteReader(ByteSpan bytes) : bytes_(bytes) {}

    uint8_t ReadU8();
    uint16_t ReadU16();
    uint32_t ReadU32();
    uint16_t ReadU16LE();
    uint32_t ReadU32LE();
    ByteSpan ReadBytes(size_t n);
    std::string ReadString(size_t n);  // n bytes as a byte string
    void Skip(size_t n);

    size_t Position() const { return pos_; }
    size_t Remaining() const { return bytes_.size() - pos_; }
    ByteSpan Rest() const { return bytes_.subspan(pos_); }
    bool ok() const { return ok_; }

  private:
    bool Take(size_t n);  // true when n bytes are left; otherwise fails the reader

    ByteSpan bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// One type-length-value item, its value copied out of the frame.
struct Tlv {
    uint16_t type = 0;
    uint16_t length = 0;
    std::vector<uint8_t> value;  // `length` bytes; empty when length is 0

    ByteSpan Bytes() const { return value; }
    // The first 1, 2 or 4 value bytes, big-endian; 0 when the value is shorter than that.
    uint8_t AsU8() const;
    uint16_t AsU16() const;
    uint32_t AsU32() const;
    // The value bytes as a byte string (embedded zero bytes are kept).
    std::string AsString() const;
};

// TLV items in wire order; duplicates are kept and Find returns the first.
//
// Parsing trusts no length: an item whose header or value would run past the end of the block
// ends the parse, keeping the complete items read before it. Both parse functions empty the
// list first (also for an empty block) and return the number of bytes the complete items
// consumed, so a caller can go on reading after the list.
class TlvList {
  public:
    // Items filling `block`.
    size_t Parse(ByteSpan block);
    // Items filling the first `byteLength` bytes of `block` (at most the whole block).
    size_t Parse(ByteSpan block, int32_t byteLength);
    // At most `count` items from the start of `block`.
    size_t ParseCount(ByteSpan block, size_t count);

    const Tlv* Find(uint16_t type) const;
    bool Has(uint16_t type) const { return Find(type) != nullptr; }

    void Clear() { items_.clear(); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const Tlv& operator[](size_t i) const { return items_[i]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    // Reads items until `maxItems` are read or the block ends; returns bytes consumed.
    size_t ParseItems(ByteSpan block, size_t maxItems);

    std::vector<Tlv> items_;
};

// TLV of a login request or a service request (0x01,0x04) that asks the server for the
// address of its encrypted service; the answer's TLV 0x0005 is then that address.
constexpr uint16_t kTlvAskForTls = 0x008C;

// One FLAP frame, built or received in place in a fixed buffer that holds the largest frame
// the header's 16-bit length can announce (servers send a whole contact list in one SNAC).
// Appends beyond the capacity are dropped silently; the frame is then cut off at kCapacity
// bytes.
class COscarPacket {
  public:
    static constexpr int32_t kCapacity = 6 + 0xFFFF;
    static constexpr int32_t kHeaderSize = 6;
    static constexpr int32_t kSnacHeaderEnd = 16;

    // An empty receive buffer.
    COscarPacket() = default;
    // A frame on `channel` with only its header (sequence and length are written by Send).
    static COscarPacket Bare(uint8_t ch) { return COscarPacket(ch); }
    // A SNAC frame with flags 0 and request id `id` (the subtype unless given).
    static COscarPacket Snac(uint16_t family, uint16_t subtype) {
        return COscarPacket(family, subtype, subtype);
    }
    static COscarPacket Snac(uint16_t family, uint16_t subtype, uint16_t id) {
        return COscarPacket(family, subtype, id);
    }
    // The sign-on of a connection a redirect leads to: version 1 and the redirect's cookie.
    static COscarPacket CookieSignOn(ByteSpan cookie) {
        COscarPacket frame(channel::kSignOn);
        frame.AppendU32(0x00000001);
        frame.AppendTlv(0x0006, cookie);
        return frame;
    }
    static COscarPacket CookieSignOn(std::string_view cookie) {
        return CookieSignOn(
            ByteSpan(reinterpret_cast<const uint8_t*>(cookie.data()), cookie.size()));
    }

    void AppendU8(uint8_t v);
    void AppendU16(uint16_t v);
    void AppendU32(uint32_t v);
    void AppendWordPair(uint16_t a, uint16_t b);
    void AppendU16LE(uint16_t v);
    void AppendU32LE(uint32_t v);
    void AppendBytes(const void* p, size_t n);
    void AppendBytes(ByteSpan bytes) { AppendBytes(bytes.data(), bytes.size()); }
    void AppendBytes(std::string_view bytes) { AppendBytes(bytes.data(), bytes.size()); }
    // type, length, value; a value longer than 0xFFFF bytes is cut to 0xFFFF so that the
    // length field always matches the bytes written.
    void AppendTlv(uint16_t type, size_t n, const void* p);
    void AppendTlv(uint16_t type, ByteSpan value) { AppendTlv(type, value.size(), value.data()); }
    void AppendTlv(uint16_t type, std::string_view value) {
        AppendTlv(type, value.size(), value.data());
    }
    void AppendTlvU8(uint16_t type, uint8_t v);
    void AppendTlvU16(uint16_t type, uint16_t v);
    // A length byte and the name in `codePage` (0: the default ANSI code page). A name that
    // does not convert to one byte per character, or is longer than 255 characters, is
    // written as 07 "ErrUID2".
    void AppendScreenName(std::u16string_view name, int codePage = 0);

    // Header fields; 0 when the frame is too short to hold them.
    uint8_t channel() const { return size >= 2 ? data[1] : 0; }
    uint16_t sequence() const { return size >= 4 ? ReadU16(data + 2) : 0; }
    bool hasSnacHeader() const { return size >= kSnacHeaderEnd; }
    uint16_t family() const { return hasSnacHeader() ? ReadU16(data + 6) : 0; }
    uint16_t subtype() const { return hasSnacHeader() ? ReadU16(data + 8) : 0; }
    uint16_t flags() const { return hasSnacHeader() ? ReadU16(data + 10) : 0; }
    uint32_t requestId() const { return hasSnacHeader() ? ReadU32(data + 12) : 0; }
    // The SNAC's body: the bytes after the SNAC header, without the leading block (a 16-bit
    // length and that many bytes) that a SNAC with flags bit 0x8000 carries before it. A
    // block that claims more than the frame holds leaves the body empty.
    ByteSpan snacData() const;
    // Every byte after the SNAC header (offset 16 to size), and after the frame header.
    ByteSpan rawSnacData() const { return Tail(kSnacHeaderEnd); }
    ByteSpan frameData() const { return Tail(kHeaderSize); }
    // The whole frame as built or received.
    ByteSpan bytes() const { return ByteSpan(data, static_cast<size_t>(size > 0 ? size : 0)); }

    // Writes `sequence` and the data length into the header and sends the whole frame,
    // adding the bytes sent to *counter. Raises CError "COscarPacket::Send(body)".
    void Send(SocketHandle socket, uint16_t sequence, uint32_t* counter = nullptr);
    // Receives one whole frame into this buffer, adding the bytes read to *counter. Raises
    // CError "COscarPacket::Receive(head)" / "(body)": -99995 for a frame longer than the
    // buffer, -99992 / -99993 when the peer closes in the header / body, else the socket error.
    void Receive(SocketHandle socket, uint32_t* counter = nullptr);

    uint8_t data[kCapacity];
    int32_t size = 0;

  private:
    explicit COscarPacket(uint8_t ch);
    COscarPacket(uint16_t family, uint16_t subtype, uint16_t id);

    ByteSpan Tail(int32_t offset) const {
        if (size <= offset) return {};
        return ByteSpan(data + offset, static_cast<size_t>(size - offset));
    }
};

// Wire text. All of them stop at the end of the bytes given and never read beyond; a text ends
// at its first zero character, as the wire's texts are zero-terminated where they carry one.

// UTF-8 to wide text, up to the first zero byte or the end; characters above U+FFFF become
// surrogate pairs. A byte that starts no character, a sequence broken by another byte, an
// overlong form or a surrogate reads as U+FFFD (a broken sequence costs only its own bytes).
// A sequence cut short by the end or a zero byte ends the text.
std::u16string Utf8ToWide(ByteSpan bytes);
std::u16string Utf8ToWide(std::string_view bytes);
// Whether the bytes hold at least one character beyond ASCII and are UTF-8 throughout: no
// stray or missing continuation byte, no overlong form, no surrogate, nothing cut short.
bool IsWellFormedUtf8(ByteSpan bytes);
// Big-endian 16-bit characters; an odd last byte is dropped.
std::u16string Utf16BeToWide(ByteSpan bytes);
std::u16string Utf16BeToWide(const uint8_t* bytes, size_t n);
// Bytes in a code page (0: the default ANSI code page); absent bytes give an empty text.
std::u16string BytesToWide(const uint8_t* bytes, size_t n, int codePage);
std::u16string BytesToWide(ByteSpan bytes, int codePage);
// n bytes of UTF-8 decoded as Utf8ToWide; absent bytes give an empty text.
std::u16string CountedUtf8ToWide(const uint8_t* bytes, size_t n);

}  // namespace zul
