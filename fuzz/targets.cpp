// The protocol fuzz targets: frame transfer, TLV lists, wire text, every family handler of a
// signed-on session, the avatar connection, the list download, the channel 2 extension, the
// meta reply, and a whole stream of frames through the receive loop.
#include "fuzz/targets.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fixture.h"
#include "fuzz/profile_target.h"
#if ZUL_FUZZ_LANGUAGE
#include "fuzz/language_target.h"
#endif
#include "platform/error.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"

namespace zul::fuzz {
namespace {

constexpr size_t kFrameMax = COscarPacket::kCapacity;
constexpr size_t kStreamMax = 100000;
// Frames one stream input may hold; more only make the run slower.
constexpr size_t kMaxStreamRecords = 256;

// ---------------------------------------------------------------------------------------------
// COscarPacket::Receive over a byte stream.

void PacketReceive(const uint8_t* data, size_t size) {
    Feeder feeder(Bytes(data, data + size));
    SocketHandle socket = feeder.TakeNearEnd();
    size_t offset = 0;
    auto frame = std::make_unique<COscarPacket>();
    for (;;) {
        uint32_t counter = 0;
        const size_t left = size - offset;
        const size_t announced = left >= 6 ? (data[offset + 4] << 8 | data[offset + 5]) + 6u : 0;
        try {
            frame->Receive(socket, &counter);
        } catch (const CError& e) {
            switch (e.Code()) {
                case -99995:  // too large
                    ZUL_FUZZ_CHECK(left >= 6 && announced > COscarPacket::kCapacity);
                    ZUL_FUZZ_CHECK(counter == 6);
                    break;
                case -99992:  // closed in the header
                    ZUL_FUZZ_CHECK(left < 6 && counter == left);
                    break;
                case -99993:  // closed in the body
                    ZUL_FUZZ_CHECK(left >= 6 && left < announced && counter == left);
                    break;
                default:
                    Fail("unexpected receive error", __FILE__, __LINE__);
            }
            break;
        }
        ZUL_FUZZ_CHECK(frame->size >= COscarPacket::kHeaderSize);
        ZUL_FUZZ_CHECK(frame->size <= COscarPacket::kCapacity);
        ZUL_FUZZ_CHECK(static_cast<size_t>(frame->size) == announced);
        ZUL_FUZZ_CHECK(counter == static_cast<uint32_t>(frame->size));
        ZUL_FUZZ_CHECK(std::memcmp(frame->data, data + offset, announced) == 0);
        // The accessors stay within the frame whatever it holds.
        (void)frame->family();
        (void)frame->requestId();
        ZUL_FUZZ_CHECK(frame->rawSnacData().size() + 16 == announced || announced < 16);
        ZUL_FUZZ_CHECK(frame->snacData().size() <= frame->rawSnacData().size());
        offset += announced;
    }
    CloseSocket(socket);
}

// ---------------------------------------------------------------------------------------------
// TlvList::Parse / ParseCount, and ByteReader.

void CheckItems(const TlvList& list, ByteSpan block, size_t consumed) {
    size_t pos = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const Tlv& item = list[i];
        ZUL_FUZZ_CHECK(pos + 4 + item.length <= block.size());
        ZUL_FUZZ_CHECK(item.type == ReadU16(block.data() + pos));
        ZUL_FUZZ_CHECK(item.length == ReadU16(block.data() + pos + 2));
        ZUL_FUZZ_CHECK(item.value.size() == item.length);
        ZUL_FUZZ_CHECK(std::equal(item.value.begin(), item.value.end(), block.data() + pos + 4));
        ZUL_FUZZ_CHECK(item.AsString().size() == item.length);
        if (item.length >= 4) ZUL_FUZZ_CHECK(item.AsU32() == ReadU32(item.value.data()));
        (void)item.AsU8();
        (void)item.AsU16();
        const Tlv* first = list.Find(item.type);
        ZUL_FUZZ_CHECK(first != nullptr && first <= &item && first->type == item.type);
        pos += 4 + item.length;
    }
    ZUL_FUZZ_CHECK(pos == consumed);
}

// The parse stopped where it had to: at the end, or at an item that does not fit.
void CheckStop(ByteSpan block, size_t consumed) {
    const size_t left = block.size() - consumed;
    if (left == 0) return;
    ZUL_FUZZ_CHECK(left < 4 || ReadU16(block.data() + consumed + 2) > left - 4);
}

void TlvParse(const uint8_t* data, size_t size) {
    if (size < 3) return;
    const uint8_t mode = data[0];
    const uint16_t number = static_cast<uint16_t>(data[1] << 8 | data[2]);
    const ByteSpan block(data + 3, size - 3);
    TlvList list;
    switch (mode % 3) {
        case 0: {
            const size_t consumed = list.Parse(block);
            CheckItems(list, block, consumed);
            CheckStop(block, consumed);
            break;
        }
        case 1: {
            const int32_t byteLength = static_cast<int16_t>(number);
            const size_t consumed = list.Parse(block, byteLength);
            const ByteSpan seen = byteLength <= 0
                                      ? ByteSpan()
                                      : block.first(std::min<size_t>(block.size(), byteLength));
            CheckItems(list, seen, consumed);
            CheckStop(seen, consumed);
            break;
        }
        default: {
            const size_t consumed = list.ParseCount(block, number);
            ZUL_FUZZ_CHECK(list.size() <= number);
            CheckItems(list, block, consumed);
            if (list.size() < number) CheckStop(block, consumed);
            break;
        }
    }

    // ByteReader: the block's own bytes say what to read next; every read stays inside.
    ByteReader reader(block);
    size_t steps = 0;
    while (reader.ok() && reader.Remaining() > 0 && steps++ < 64) {
        const size_t before = reader.Position();
        switch (reader.ReadU8() % 7) {
            case 0:
                reader.ReadU16();
                break;
            case 1:
                reader.ReadU32();
                break;
            case 2:
                reader.ReadU16LE();
                break;
            case 3:
                reader.ReadU32LE();
                break;
            case 4:
                ZUL_FUZZ_CHECK(reader.ReadBytes(reader.ReadU8()).size() <= block.size());
                break;
            case 5:
                reader.ReadString(reader.ReadU16());
                break;
            default:
                reader.Skip(reader.ReadU8());
                break;
        }
        ZUL_FUZZ_CHECK(reader.Position() <= block.size() && reader.Position() > before);
    }
}

// ---------------------------------------------------------------------------------------------
// Wire text.

void WireText(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const int codePage = data[0] << 8 | data[1];
    const ByteSpan bytes(data + 2, size - 2);
    ZUL_FUZZ_CHECK(Utf8ToWide(bytes).size() <= bytes.size());
    ZUL_FUZZ_CHECK(Utf16BeToWide(bytes).size() <= bytes.size() / 2);
    ZUL_FUZZ_CHECK(CountedUtf8ToWide(bytes.data(), bytes.size()).size() <= bytes.size());
    (void)BytesToWide(bytes, codePage);
    (void)BytesToWide(bytes, 0);
    (void)BytesToWide(nullptr, bytes.size(), codePage);
    // The way back, as screen names are written.
    const std::u16string wide = Utf16BeToWide(bytes);
    COscarPacket frame = COscarPacket::Snac(0x10, 0x06);
    frame.AppendScreenName(wide, codePage);
    ZUL_FUZZ_CHECK(frame.size <= 16 + 256);
    ZUL_FUZZ_CHECK(frame.size == 16 + 1 + frame.data[16]);
}

// ---------------------------------------------------------------------------------------------
// Family handlers on a signed-on session.

// What the first byte of a handler input asks of the session before the SNAC arrives: a
// pending request that the SNAC answers (and of which kind and for whom), and whether the
// avatar connection is up.
struct Control {
    bool addPending = false;
    uint32_t kind = 0;
    std::u16string text;
    bool avatarActive = false;
};

Control ReadControl(uint8_t c) {
    static const uint32_t kKinds[] = {0, 0x0010, kPendingBuddyRemoval, 1};
    Control control;
    control.addPending = c & 0x01;
    control.kind = kKinds[(c >> 1) & 3];
    const int who = (c >> 3) & 3;
    control.text = who < 3 ? kContactLogins[who] : u"99999";
    control.avatarActive = c & 0x20;
    return control;
}

void PatchRequestId(COscarPacket& frame, uint16_t id) {
    if (frame.size < COscarPacket::kSnacHeaderEnd) return;
    frame.data[12] = frame.data[13] = 0;
    frame.data[14] = static_cast<uint8_t>(id >> 8);
    frame.data[15] = static_cast<uint8_t>(id);
}

// The meta reply carries the request's id again as its sequence, inside TLV 0x0001.
void PatchMetaSequence(COscarPacket& frame, uint16_t id) {
    size_t pos = COscarPacket::kSnacHeaderEnd;
    const size_t end = static_cast<size_t>(frame.size);
    while (pos + 4 <= end) {
        const uint16_t type = ReadU16(frame.data + pos);
        const uint16_t length = ReadU16(frame.data + pos + 2);
        if (pos + 4 + length > end) return;
        if (type == 0x0001) {
            if (length >= 10) {
                frame.data[pos + 4 + 8] = static_cast<uint8_t>(id);
                frame.data[pos + 4 + 9] = static_cast<uint8_t>(id >> 8);
            }
            return;
        }
        pos += 4 + length;
    }
}

// True when a redirect would make the session look a host name up: the fuzzer must not send
// queries to name servers. Both readings of the reply (with and without a leading block) count.
bool RedirectNamesHost(const COscarPacket& frame) {
    const ByteSpan data = frame.snacData();
    for (int withBlock = 0; withBlock < 2; ++withBlock) {
        ByteReader reader(data);
        if (withBlock) reader.Skip(reader.ReadU16());
        if (!reader.ok()) continue;
        TlvList tlvs;
        tlvs.Parse(reader.Rest());
        for (const Tlv& tlv : tlvs) {
            if (tlv.type == 0x0005 && !tlv.value.empty() &&
                !std::isdigit(static_cast<unsigned char>(tlv.value[0])) && tlv.value[0] != ':') {
                return true;
            }
        }
    }
    return false;
}

// The session's own family table; anything else goes to the avatar connection's handler.
void Dispatch(COscar& session, uint16_t family, COscarPacket& frame) {
    if (!DispatchServiceFamily(session, family, frame)) HandleIncoming_Avatar(session, frame);
}

// Runs one SNAC through a handler. `frame` already holds it; `control` what comes first.
void RunHandler(uint16_t family, const Control& control, COscarPacket& frame) {
    Fixture& fixture = Fixture::Get();
    COscar& session = fixture.Session();
    Control c = control;
    if (family == 0x01 && frame.subtype() == 0x05 && c.kind == 0x0010 && RedirectNamesHost(frame)) {
        c.kind = 0x0011;
    }
    fixture.BeginInput(c.avatarActive);
    if (c.addPending) {
        const uint16_t id = session.Pending().Add(c.kind, c.text);
        PatchRequestId(frame, id);
        if (family == 0x15) PatchMetaSequence(frame, id);
    }
    try {
        Dispatch(session, family, frame);
    } catch (const CError&) {
        // Transport failures end a session; they are no fault of the parser.
    }
    fixture.EndInput();
}

// Input: control byte, then the SNAC without its family (subtype, flags, request id, data).
template <uint16_t kFamily>
void FamilyHandler(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const Control control = ReadControl(data[0]);
    Bytes snac = {static_cast<uint8_t>(kFamily >> 8), static_cast<uint8_t>(kFamily)};
    snac.insert(snac.end(), data + 1, data + size);
    auto frame = std::make_unique<COscarPacket>();
    FillFrame(*frame, channel::kSnac, snac.data(), snac.size());
    RunHandler(kFamily, control, *frame);
}

// Input: control byte, channel, then the whole SNAC (the avatar connection sees any family).
void AvatarFrame(const uint8_t* data, size_t size) {
    if (size < 2) return;
    Control control = ReadControl(data[0]);
    control.avatarActive = true;
    auto frame = std::make_unique<COscarPacket>();
    FillFrame(*frame, data[1], data + 2, size - 2);
    RunHandler(0x10, control, *frame);
}

// Input: control byte, then the data of TLV 0x0001 of a meta reply (chunk size, owner's
// number, data type, sequence, reply subtype, result, texts).
void MetaReply(const uint8_t* data, size_t size) {
    if (size < 1) return;
    Control control = ReadControl(data[0]);
    control.addPending = true;
    const size_t n = std::min<size_t>(size - 1, 0xFFFF);
    Bytes snac = {
        0x00, 0x15, 0x00, 0x03, 0x00, static_cast<uint8_t>(data[0] >> 7), 0,
        0,    0,    0,    0x00, 0x01, static_cast<uint8_t>(n >> 8),       static_cast<uint8_t>(n)};
    snac.insert(snac.end(), data + 1, data + 1 + n);
    auto frame = std::make_unique<COscarPacket>();
    FillFrame(*frame, channel::kSnac, snac.data(), snac.size());
    RunHandler(0x15, control, *frame);
}

// Input: the value of TLV 0x0005 of a channel 2 message (kind, cookie, capability, TLVs with
// the extension 0x2711). Parsed alone, then as part of a message from a known contact.
void Channel2Extension(const uint8_t* data, size_t size) {
    const ByteSpan block(data, std::min<size_t>(size, 0xFFFF));
    (void)ParseRendezvousText(block);

    Bytes snac = {0x00,
                  0x04,
                  0x00,
                  0x07,
                  0x00,
                  0x00,
                  0x00,
                  0x00,
                  0x00,
                  0x00,  // header
                  1,
                  2,
                  3,
                  4,
                  5,
                  6,
                  7,
                  8,  // cookie
                  0x00,
                  0x02,  // channel
                  5,
                  '6',
                  '7',
                  '8',
                  '9',
                  '0',  // sender
                  0x00,
                  0x00,
                  0x00,
                  0x00,  // warning level, no user TLVs
                  0x00,
                  0x05,
                  static_cast<uint8_t>(block.size() >> 8),
                  static_cast<uint8_t>(block.size())};
    snac.insert(snac.end(), block.begin(), block.end());
    auto frame = std::make_unique<COscarPacket>();
    FillFrame(*frame, channel::kSnac, snac.data(), snac.size());
    RunHandler(0x04, Control(), *frame);
}

// ---------------------------------------------------------------------------------------------
// Streams of frames through the session's own receive paths.

// A record becomes a frame. The low three bits of its tag choose the family of a SNAC whose
// subtype, flags, request id and data are the record's bytes; 7 sends the bytes as the data of
// a frame on the channel in the next three bits; tag 0xFF sends the bytes raw (a broken
// stream).
Bytes StreamFromRecords(const std::vector<Record>& records) {
    static const uint16_t kFamilies[] = {0x01, 0x02, 0x03, 0x04, 0x09, 0x13, 0x15};
    Bytes stream;
    uint16_t sequence = 1;
    for (const Record& r : records) {
        Bytes frame;
        if (r.tag == 0xFF) {
            frame = r.bytes;
        } else if ((r.tag & 7) == 7) {
            frame = Frame(static_cast<uint8_t>((r.tag >> 3) & 7), sequence++, r.bytes);
        } else {
            const uint16_t family = kFamilies[r.tag & 7];
            Bytes snac = {static_cast<uint8_t>(family >> 8), static_cast<uint8_t>(family)};
            snac.insert(snac.end(), r.bytes.begin(), r.bytes.end());
            frame = Frame(channel::kSnac, sequence++, snac);
        }
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

// Feeds the records (see StreamFromRecords) to the session's service connection and runs
// `read` on it until it ends; a CError ends it as a broken connection would. With `flush`,
// frames kept meanwhile are dispatched afterwards.
template <class Read>
void FeedServiceStream(const uint8_t* data, size_t size, bool flush, Read read) {
    Fixture& fixture = Fixture::Get();
    COscar& session = fixture.Session();
    fixture.BeginInput(false);
    Feeder feeder(StreamFromRecords(SplitRecords(data, size, kMaxStreamRecords)));
    session.AdoptSocket(Link::Service, feeder.TakeNearEnd());
    try {
        read(session);
    } catch (const CError&) {
    }
    if (flush) fixture.FlushDeferred();
    session.AdoptSocket(Link::Service, kInvalidSocket);
    fixture.EndInput();
}

// Input: records, received by the list download of the sign-on (ReceiveServerList); frames it
// does not wait for are kept and dispatched afterwards.
void ServerListDownload(const uint8_t* data, size_t size) {
    FeedServiceStream(data, size, true, [](COscar& session) { ReceiveServerList(session); });
}

// Input: records, received by the receive loop of a signed-on session until the stream ends.
void SessionStream(const uint8_t* data, size_t size) {
    FeedServiceStream(data, size, false,
                      [](COscar& session) { session.HandleIncoming_MainThread(); });
}

}  // namespace

const std::vector<Target>& AllTargets() {
    static const std::vector<Target> targets = {
        {"packet_receive", &PacketReceive, kStreamMax, false},
        {"tlv_list", &TlvParse, 4096, false},
        {"wire_text", &WireText, 4096, false},
        {"family_01", &FamilyHandler<0x01>, kFrameMax, true},
        {"family_02", &FamilyHandler<0x02>, kFrameMax, true},
        {"family_03", &FamilyHandler<0x03>, kFrameMax, true},
        {"family_04", &FamilyHandler<0x04>, kFrameMax, true},
        {"family_09", &FamilyHandler<0x09>, kFrameMax, true},
        {"family_13", &FamilyHandler<0x13>, kFrameMax, true},
        {"family_15", &FamilyHandler<0x15>, kFrameMax, true},
        {"avatar", &AvatarFrame, kFrameMax, true},
        {"server_list", &ServerListDownload, kStreamMax, true},
        {"channel2_extension", &Channel2Extension, kFrameMax, true},
        {"meta_reply", &MetaReply, kFrameMax, true},
        {"session_stream", &SessionStream, kStreamMax, true},
        {"profile", &ProfileRows, 65536, true},
#if ZUL_FUZZ_LANGUAGE
        {"language_module", &LanguageModuleFile, 65536, false},
#endif
    };
    return targets;
}

const Target* FindTarget(std::string_view name) {
    for (const Target& t : AllTargets()) {
        if (t.name == name) return &t;
    }
    return nullptr;
}

void DiscardFixture() {
    Fixture::Discard();
}

}  // namespace zul::fuzz
