// Helpers shared by the service family tests: SNAC bodies as the server sends them, frames
// for handing a SNAC straight to a family handler, and reads of profile rows.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/transport/packet.h"
#include "storage/database.h"
#include "support/oscar_server.h"

namespace zul::test {

// A received frame holding one SNAC, as the receive loop hands it to a family handler.
inline COscarPacket SnacPacket(uint16_t family, uint16_t subtype, const Bytes& payload,
                               uint32_t requestId = 0, uint16_t flags = 0) {
    COscarPacket frame = COscarPacket::Snac(family, subtype);
    frame.data[10] = static_cast<uint8_t>(flags >> 8);
    frame.data[11] = static_cast<uint8_t>(flags);
    frame.data[12] = static_cast<uint8_t>(requestId >> 24);
    frame.data[13] = static_cast<uint8_t>(requestId >> 16);
    frame.data[14] = static_cast<uint8_t>(requestId >> 8);
    frame.data[15] = static_cast<uint8_t>(requestId);
    frame.AppendBytes(payload.data(), payload.size());
    return frame;
}

// The start of SNAC(0x04,0x07): cookie, channel, sender, warning level and the sender's
// information block (TLV 0x0006 with `statusWord` unless it is negative).
inline ByteWriter MessageHead(uint16_t channel, std::string_view login, int32_t statusWord = -1) {
    ByteWriter w;
    w.U32(0x11223344).U32(0x55667788).U16(channel);
    w.U8(static_cast<uint8_t>(login.size())).Raw(login).U16(0);
    if (statusWord < 0) {
        w.U16(1).TlvU16(0x0001, 0x0050);
    } else {
        w.U16(2).TlvU16(0x0001, 0x0050).TlvU32(0x0006, static_cast<uint16_t>(statusWord));
    }
    return w;
}

// TLV 0x0002 of a channel 1 message: the features fragment and the text fragment.
inline Bytes TextFragments(uint16_t charset, const Bytes& text) {
    ByteWriter w;
    w.U8(0x05).U8(0x01).U16(1).U8(0x01);
    w.U8(0x01).U8(0x01).U16(static_cast<uint16_t>(text.size() + 4)).U16(charset).U16(0);
    w.Raw(text);
    return w.bytes;
}

inline Bytes Channel1Message(std::string_view login, uint16_t charset, const Bytes& text) {
    return MessageHead(1, login).Tlv(0x0002, TextFragments(charset, text)).bytes;
}

// TLV 0x0005 of a channel 2 message carrying `text` in the plain-message extension, with
// `trailer` (colours, capability text) after it.
inline Bytes RendezvousBlock(const Bytes& text, std::string_view trailer, uint8_t messageType = 1) {
    ByteWriter ext;
    ext.U16LE(27).U16LE(9);
    for (int i = 0; i < 16; ++i) ext.U8(0);  // plain-message plugin
    while (ext.bytes.size() < 45) ext.U8(0);
    ext.U8(messageType).U8(0).U16LE(0).U16LE(1);
    ext.U16LE(static_cast<uint16_t>(text.size())).Raw(text);
    ext.U32(0).U32(0x00FFFFFF).U32LE(static_cast<uint32_t>(trailer.size())).Raw(trailer);

    ByteWriter block;
    block.U16(0).U32(1).U32(2);
    const uint8_t capability[] = {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1,
                                  0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
    block.Raw(capability);
    block.TlvU16(0x000A, 1).Tlv(0x000F, Bytes{}).Tlv(0x2711, ext.bytes);
    return block.bytes;
}

// Rows of the profile, read under the database lock.
inline int32_t RowInt(std::u16string_view sql, std::u16string_view text = {}) {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command command = Database().Prepare(sql);
    if (!text.empty()) command.BindText(1, text);
    return Database().ExecuteScalar(command);
}

inline std::u16string RowText(std::u16string_view sql) {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command command = Database().Prepare(sql);
    CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
    std::u16string text = rows.IsEnd() ? u"<no row>" : rows.TextColumn(0);
    rows.Finalize();
    return text;
}

inline Bytes Utf8(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
        tzset();
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// The last message stored for a login of the test account, or "<no row>".
inline std::u16string LastMessageFrom(std::u16string_view login) {
    std::u16string sql =
        u"SELECT H.Message FROM History H, Contacts C WHERE C.LocalID=H.ContactID AND C.Login='";
    sql += login;
    sql += u"' ORDER BY H.Number DESC LIMIT 1";
    return RowText(sql);
}

}  // namespace zul::test
