#include "protocol/transport/packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace zul {
namespace {

using Bytes = std::vector<uint8_t>;

// A connected loopback TCP pair: `client` is the program's socket, `peer` a plain descriptor
// the test writes to and reads from.
class LoopbackPair {
  public:
    LoopbackPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        client = SocketCreateTcp();
        SocketAddress address{AF_INET, a.sin_port, a.sin_addr.s_addr};
        EXPECT_TRUE(SocketConnect(client, address));
        peer = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~LoopbackPair() {
        SocketRelease(client);
        ClosePeer();
    }
    void PeerSend(const Bytes& bytes) {
        ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    Bytes PeerReceive(size_t n) {
        Bytes out(n);
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(peer, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
    void ClosePeer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }

    SocketHandle client = kInvalidSocket;
    int peer = -1;
};

Bytes Header(uint8_t channel, uint16_t sequence, uint16_t length) {
    return {0x2A,
            channel,
            static_cast<uint8_t>(sequence >> 8),
            static_cast<uint8_t>(sequence),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

Bytes DataOf(const COscarPacket& p) {
    return Bytes(p.frameData().begin(), p.frameData().end());
}

int32_t ReceiveErrorCode(SocketHandle s, uint32_t* counter = nullptr) {
    COscarPacket p;
    try {
        p.Receive(s, counter);
    } catch (const CError& e) {
        return e.Code();
    }
    return 1;  // no error
}

// ---------------------------------------------------------------------------------------------
// Building frames

TEST(PacketBuild, SnacFrameWithSixteenBitTlvGoesOutInNetworkOrder) {
    LoopbackPair pair;
    COscarPacket p = COscarPacket::Snac(0x13, 0x02);
    p.AppendTlvU16(0x000B, 0x000F);
    uint32_t counter = 100;
    p.Send(pair.client, 1, &counter);
    EXPECT_EQ(counter, 122u);
    Bytes expected = {0x2A, 0x02, 0x00, 0x01, 0x00, 0x10, 0x00, 0x13, 0x00, 0x02, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x0B, 0x00, 0x02, 0x00, 0x0F};
    EXPECT_EQ(pair.PeerReceive(22), expected);
}

TEST(PacketBuild, BareKeepAliveIsSixBytesWithZeroLength) {
    LoopbackPair pair;
    COscarPacket p = COscarPacket::Bare(channel::kKeepAlive);
    p.Send(pair.client, 0x7FFF);
    EXPECT_EQ(pair.PeerReceive(6), Header(0x05, 0x7FFF, 0));
    // Nothing else was sent: the next bytes on the wire belong to the next frame.
    COscarPacket next = COscarPacket::Bare(channel::kSignOn);
    next.Send(pair.client, 1);
    EXPECT_EQ(pair.PeerReceive(6), Header(0x01, 1, 0));
}

TEST(PacketBuild, SnacHeaderCarriesOwnRequestIdAndReadsBack) {
    COscarPacket p = COscarPacket::Snac(0x04, 0x06, 0xBEEF);
    EXPECT_EQ(p.size, 16);
    EXPECT_EQ(p.channel(), channel::kSnac);
    EXPECT_EQ(p.family(), 0x04);
    EXPECT_EQ(p.subtype(), 0x06);
    EXPECT_EQ(p.flags(), 0);
    EXPECT_EQ(p.requestId(), 0x0000BEEFu);
    EXPECT_TRUE(p.snacData().empty());
    EXPECT_EQ(p.frameData().size(), 10u);
}

TEST(PacketBuild, WritersUseTheirByteOrder) {
    COscarPacket p = COscarPacket::Bare(channel::kSignOn);
    p.AppendU32(0x01020304);
    p.AppendU16LE(0x0506);
    p.AppendU32LE(0x0708090A);
    p.AppendWordPair(0x0B0C, 0x0D0E);
    p.AppendTlvU8(0x0001, 0x7F);
    p.AppendTlv(0x0003, std::string_view("ab"));
    p.AppendTlv(0x0004, 0, nullptr);
    Bytes expected = {0x01, 0x02, 0x03, 0x04, 0x06, 0x05, 0x0A, 0x09, 0x08, 0x07,
                      0x0B, 0x0C, 0x0D, 0x0E, 0x00, 0x01, 0x00, 0x01, 0x7F, 0x00,
                      0x03, 0x00, 0x02, 'a',  'b',  0x00, 0x04, 0x00, 0x00};
    EXPECT_EQ(DataOf(p), expected);
}

TEST(PacketBuild, ScreenNamesAreCountedOrReplacedByErrUid2) {
    COscarPacket ok = COscarPacket::Bare(channel::kSnac);
    ok.AppendScreenName(u"12345", 1252);
    EXPECT_EQ(DataOf(ok), (Bytes{5, '1', '2', '3', '4', '5'}));

    const Bytes errUid2 = {7, 'E', 'r', 'r', 'U', 'I', 'D', '2'};
    COscarPacket cyrillic = COscarPacket::Bare(channel::kSnac);
    cyrillic.AppendScreenName(u"Иван", 1252);  // no such letters in 1252
    EXPECT_EQ(DataOf(cyrillic), errUid2);

    COscarPacket multiByte = COscarPacket::Bare(channel::kSnac);
    multiByte.AppendScreenName(u"caf\u00E9", kCodePageUtf8);  // 4 characters, 5 bytes
    EXPECT_EQ(DataOf(multiByte), errUid2);

    // A length byte cannot count 256 characters; the name must not desynchronise the SNAC.
    COscarPacket tooLong = COscarPacket::Bare(channel::kSnac);
    tooLong.AppendScreenName(std::u16string(256, u'a'), 1252);
    EXPECT_EQ(DataOf(tooLong), errUid2);
}

TEST(PacketBuild, AppendsStopSilentlyAtCapacity) {
    COscarPacket p = COscarPacket::Snac(0x04, 0x06);
    Bytes big(70000, 0xAB);
    p.AppendBytes(big.data(), big.size());
    EXPECT_EQ(p.size, COscarPacket::kCapacity);
    p.AppendU32(1);
    p.AppendTlv(1, big.size(), big.data());
    p.AppendScreenName(u"name", 1252);
    EXPECT_EQ(p.size, COscarPacket::kCapacity);

    // A writer that straddles the end keeps the bytes that fit.
    COscarPacket q = COscarPacket::Bare(channel::kSnac);
    q.AppendBytes(big.data(), COscarPacket::kCapacity - 6 - 1);
    q.AppendU32(0x11223344);
    EXPECT_EQ(q.size, COscarPacket::kCapacity);
    EXPECT_EQ(q.data[COscarPacket::kCapacity - 1], 0x11);
}

// ---------------------------------------------------------------------------------------------
// Receiving frames

TEST(PacketReceive, TheLargestFrameAHeaderCanAnnounceIsAccepted) {
    LoopbackPair pair;
    Bytes frame = Header(0x02, 9, 0xFFFF);
    frame.resize(6 + 0xFFFF, 0x5A);
    std::thread writer([&] { pair.PeerSend(frame); });
    COscarPacket p;
    uint32_t counter = 0;
    p.Receive(pair.client, &counter);
    writer.join();
    EXPECT_EQ(p.size, COscarPacket::kCapacity);
    EXPECT_EQ(counter, 65541u);
    EXPECT_EQ(p.sequence(), 9);
    EXPECT_EQ(p.frameData().size(), 65535u);
    EXPECT_EQ(p.data[COscarPacket::kCapacity - 1], 0x5A);
}

TEST(PacketReceive, HeaderArrivingInPiecesIsAssembledInOrder) {
    LoopbackPair pair;
    std::thread writer([&] {
        pair.PeerSend({0x2A, 0x04});
        SleepMs(100);
        pair.PeerSend({0x12, 0x34, 0x00, 0x03});
        SleepMs(50);
        pair.PeerSend({0x00, 0x09});
        SleepMs(50);
        pair.PeerSend({0x01});
    });
    COscarPacket p;
    uint32_t counter = 0;
    p.Receive(pair.client, &counter);
    writer.join();
    EXPECT_EQ(counter, 9u);
    EXPECT_EQ(p.channel(), channel::kDisconnect);
    EXPECT_EQ(p.sequence(), 0x1234);
    EXPECT_EQ(DataOf(p), (Bytes{0x00, 0x09, 0x01}));
}

TEST(PacketReceive, ClosedConnectionsAndFailedSocketsRaise) {
    {
        LoopbackPair pair;  // closed before anything arrived
        pair.ClosePeer();
        EXPECT_EQ(ReceiveErrorCode(pair.client), errcode::kClosedInHeader);
    }
    {
        LoopbackPair pair;  // closed inside the header
        pair.PeerSend({0x2A, 0x02, 0x00});
        pair.ClosePeer();
        uint32_t counter = 0;
        EXPECT_EQ(ReceiveErrorCode(pair.client, &counter), errcode::kClosedInHeader);
        EXPECT_EQ(counter, 3u);
    }
    {
        LoopbackPair pair;  // closed inside the body
        Bytes partial = Header(0x02, 1, 10);
        partial.insert(partial.end(), {1, 2, 3});
        pair.PeerSend(partial);
        pair.ClosePeer();
        EXPECT_EQ(ReceiveErrorCode(pair.client), errcode::kClosedInBody);
    }
    // A socket that is not open reports the socket layer's code, both ways.
    EXPECT_EQ(ReceiveErrorCode(kInvalidSocket), sockerr::kBadSocket);
    COscarPacket p = COscarPacket::Bare(channel::kKeepAlive);
    try {
        p.Send(kInvalidSocket, 1);
        ADD_FAILURE() << "Send on no socket succeeded";
    } catch (const CError& e) {
        EXPECT_EQ(e.Code(), sockerr::kBadSocket);
    }
}

TEST(PacketReceive, ShortFramesHaveNoSnacHeader) {
    LoopbackPair pair;
    pair.PeerSend({0x2A, 0x02, 0x00, 0x01, 0x00, 0x04, 0x00, 0x13, 0x00, 0x06});
    COscarPacket p;
    p.Receive(pair.client);
    EXPECT_EQ(p.size, 10);
    EXPECT_FALSE(p.hasSnacHeader());
    EXPECT_EQ(p.family(), 0);
    EXPECT_EQ(p.requestId(), 0u);
    EXPECT_TRUE(p.snacData().empty());
    EXPECT_EQ(p.frameData().size(), 4u);
}

// ---------------------------------------------------------------------------------------------
// Readers and TLV lists

TEST(ByteReader, FailsInsteadOfReadingPastTheEnd) {
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader r(bytes);
    EXPECT_EQ(r.ReadU16(), 0x0102);
    EXPECT_EQ(r.ReadU16LE(), 0x0403);
    EXPECT_EQ(r.ReadU8(), 0x05);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.Remaining(), 2u);
    EXPECT_EQ(r.ReadU32(), 0u);  // only two bytes left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_EQ(r.ReadU8(), 0);  // stays failed
    EXPECT_TRUE(r.ReadBytes(1).empty());

    ByteReader s(bytes);
    s.Skip(3);
    EXPECT_EQ(s.ReadU32LE(), 0x07060504u);
    EXPECT_TRUE(s.ok());
    s.Skip(1);
    EXPECT_FALSE(s.ok());
}

TEST(TlvList, ParsesEmptyValuesAndReturnsFirstOfDuplicates) {
    const Bytes block = {0x00, 0x05, 0x00, 0x00,                  // type 5, no value
                         0x00, 0x06, 0x00, 0x03, 'a',  'b', 'c',  // type 6, "abc"
                         0x00, 0x06, 0x00, 0x02, 0x12, 0x34};     // type 6 again
    TlvList list;
    EXPECT_EQ(list.Parse(ByteSpan(block).first(11)), 11u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].type, 5);
    EXPECT_EQ(list[0].length, 0);
    EXPECT_TRUE(list[0].value.empty());
    EXPECT_EQ(list[1].AsString(), "abc");

    EXPECT_EQ(list.Parse(block), block.size());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.Find(6)->AsString(), "abc");
    EXPECT_EQ(list.Find(7), nullptr);
    // Values shorter than the accessor's width read as 0.
    EXPECT_EQ(list[2].AsU16(), 0x1234);
    EXPECT_EQ(list[2].AsU32(), 0u);
    EXPECT_EQ(list[0].AsU8(), 0);
}

TEST(TlvList, ItemRunningPastTheBlockIsNotRead) {
    // Exact-size heap copy so that a read beyond it is caught by the address sanitizer.
    const Bytes wire = {0x00, 0x01, 0x00, 0x01, 0x09,         // complete
                        0x00, 0x02, 0x00, 0x08, 0x01, 0x02};  // claims 8, has 2
    auto heap = std::make_unique<uint8_t[]>(wire.size());
    std::copy(wire.begin(), wire.end(), heap.get());
    TlvList list;
    EXPECT_EQ(list.Parse(ByteSpan(heap.get(), wire.size())), 5u);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].AsU8(), 9);

    // A header cut in half ends the list too.
    EXPECT_EQ(list.Parse(ByteSpan(heap.get(), 7)), 5u);
    EXPECT_EQ(list.size(), 1u);

    // The declared byte length never extends the block.
    EXPECT_EQ(list.Parse(ByteSpan(heap.get(), 5), 30000), 5u);
    EXPECT_EQ(list.size(), 1u);
}

TEST(TlvList, CountedParseStopsAfterCountAndReportsBytesUsed) {
    const Bytes block = {0x00, 0x01, 0x00, 0x01, 0xAA, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xEE};
    TlvList list;
    EXPECT_EQ(list.ParseCount(block, 2), 9u);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.ParseCount(block, 1), 5u);
    EXPECT_EQ(list.size(), 1u);
    // A count larger than what is there yields what is there.
    EXPECT_EQ(list.ParseCount(ByteSpan(block).first(9), 50), 9u);
    EXPECT_EQ(list.size(), 2u);
    // Parsing nothing leaves no stale items behind.
    EXPECT_EQ(list.Parse(ByteSpan(), 0), 0u);
    EXPECT_TRUE(list.empty());
}

// ---------------------------------------------------------------------------------------------
// Wire text

// Decodes from an exact-size heap copy, so a read past the end would be reported.
std::u16string DecodeExact(const Bytes& bytes) {
    auto heap = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), heap.get());
    return CountedUtf8ToWide(heap.get(), bytes.size());
}

TEST(WireText, Utf8DecodesEverySequenceLengthAndReplacesWhatIsBroken) {
    EXPECT_EQ(Utf8ToWide(std::string_view("A\xC3\xA9\xE4\xB8\xAD")), u"A\u00E9\u4E2D");
    EXPECT_EQ(Utf8ToWide(std::string_view("ab\0cd", 5)), u"ab");
    // Above U+FFFF: a surrogate pair, and the text goes on after it.
    EXPECT_EQ(Utf8ToWide(std::string_view("\xF0\x9F\x98\x80!")), u"\U0001F600!");
    // A broken sequence costs its own bytes only; the next character survives.
    EXPECT_EQ(Utf8ToWide(std::string_view("\xF0\x9F\x98"
                                          "A")),
              u"\xFFFD"
              "A");
    EXPECT_EQ(Utf8ToWide(std::string_view("\x80x\xFFy")), u"\xFFFDx\xFFFDy");
    // Overlong forms and encoded surrogates are no characters.
    EXPECT_EQ(Utf8ToWide(std::string_view("\xE0\x80\xAF\xED\xA0\x80")), u"\xFFFD\xFFFD");
    EXPECT_EQ(CountedUtf8ToWide(nullptr, 5), u"");
}

TEST(WireText, Utf8CutShortNeverReadsPastTheEnd) {
    EXPECT_EQ(DecodeExact({'x', 0xC3}), u"x");
    EXPECT_EQ(DecodeExact({'x', 0xE4, 0xB8}), u"x");
    EXPECT_EQ(DecodeExact({0xE4}), u"");
    EXPECT_EQ(DecodeExact({'x', 0xE4, 0x00, 'y'}), u"x");
    EXPECT_EQ(DecodeExact({'x', 0xF0, 0x9F, 0x98}), u"x");
    EXPECT_EQ(DecodeExact({}), u"");
}

TEST(WireText, Utf16AndCodePageTexts) {
    const Bytes be = {0x04, 0x1F, 0x00, 0x41, 0x00};
    EXPECT_EQ(Utf16BeToWide(be), u"\u041FA");
    EXPECT_EQ(Utf16BeToWide(nullptr, 4), u"");
    const Bytes cp1251 = {0xCF, 0xF0, 0xE8};
    EXPECT_EQ(BytesToWide(cp1251, 1251), u"При");
    EXPECT_EQ(BytesToWide(nullptr, 3, 1251), u"");
}

}  // namespace
}  // namespace zul
