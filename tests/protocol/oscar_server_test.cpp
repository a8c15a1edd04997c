// The scripted server against the program's codec: both sides must agree on every byte.
#include "support/oscar_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include "platform/error.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "protocol/transport/packet.h"

namespace zul {
namespace {

using test::Bytes;
using test::ByteWriter;
using test::ReceivedFrame;
using test::ScriptedServer;

// The program's side of a connection to a scripted server.
class Client {
  public:
    explicit Client(const ScriptedServer& server) : socket_(SocketCreateTcp()) {
        SocketAddress a{AF_INET, htons(server.Port()), InetAddr(server.Host())};
        EXPECT_TRUE(SocketConnect(socket_, a));
    }
    ~Client() { SocketRelease(socket_); }

    COscarPacket Receive() {
        COscarPacket p;
        p.Receive(socket_);
        return p;
    }
    int32_t ReceiveError() {
        try {
            Receive();
        } catch (const CError& e) {
            return e.Code();
        }
        return 1;
    }
    void Send(COscarPacket& p) { p.Send(socket_, ++sequence_); }
    void SendRaw(const Bytes& b) { SocketSend(socket_, b.data(), b.size()); }
    void Shutdown() { SocketShutdown(socket_); }

  private:
    SocketHandle socket_;
    uint16_t sequence_ = 0;
};

TEST(ScriptedServer, PlaysTheLoginServer) {
    ScriptedServer server;
    const Bytes cookie = {0xC0, 0x01, 0x1E};
    server.OnChannel(channel::kSignOn, {{test::LoginReply("10.0.0.7:5190", cookie)}});

    Client client(server);
    COscarPacket greeting = client.Receive();
    EXPECT_EQ(greeting.channel(), channel::kSignOn);
    EXPECT_EQ(Bytes(greeting.frameData().begin(), greeting.frameData().end()), (Bytes{0, 0, 0, 1}));

    COscarPacket login = COscarPacket::Bare(channel::kSignOn);
    login.AppendU32(1);
    login.AppendTlv(0x0001, std::string_view("12345"));
    login.AppendTlvU16(0x0016, 0x010A);
    client.Send(login);

    COscarPacket reply = client.Receive();
    EXPECT_EQ(reply.channel(), channel::kDisconnect);
    TlvList tlvs;
    tlvs.Parse(reply.frameData());
    ASSERT_NE(tlvs.Find(0x0005), nullptr);
    EXPECT_EQ(tlvs.Find(0x0005)->AsString(), "10.0.0.7:5190");
    EXPECT_EQ(tlvs.Find(0x0006)->value, cookie);

    // The server read the request with its own parser.
    std::vector<ReceivedFrame> frames = server.Frames(0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 1);
    EXPECT_EQ(Bytes(frames[0].data.begin(), frames[0].data.begin() + 4), (Bytes{0, 0, 0, 1}));
    auto requestTlvs = test::ParseTlvs(std::span(frames[0].data).subspan(4));
    ASSERT_EQ(requestTlvs.size(), 2u);
    EXPECT_EQ(requestTlvs[0].value, (Bytes{'1', '2', '3', '4', '5'}));
    EXPECT_EQ(requestTlvs[1].value, (Bytes{0x01, 0x0A}));
    EXPECT_EQ(server.ProtocolErrors(), 0);

    // Without recording (the demo runs for hours) the rules still answer and nothing is kept.
    server.SetRecording(false);
    Client second(server);
    second.Receive();
    second.Send(login);
    EXPECT_EQ(second.Receive().channel(), channel::kDisconnect);
    EXPECT_EQ(server.Frames().size(), 1u);
    EXPECT_TRUE(server.ReceivedBytes(1).empty());
}

TEST(ScriptedServer, RulesAnswerSnacsEchoRequestIdsAndCanBeLimited) {
    ScriptedServer server(false);
    server.OnFrame(ScriptedServer::IsSnac(0x01, 0x06), [](const ReceivedFrame& f) {
        return test::Reply({test::SnacFrame(0x01, 0x07, Bytes{0xAB}, f.requestId())});
    });
    server.OnSnac(0x13, 0x05, {{test::SnacFrame(0x13, 0x06)}}, 1);

    Client client(server);
    COscarPacket rates = COscarPacket::Snac(0x01, 0x06, 0x1234);
    client.Send(rates);
    COscarPacket answer = client.Receive();
    EXPECT_EQ(answer.family(), 0x01);
    EXPECT_EQ(answer.subtype(), 0x07);
    EXPECT_EQ(answer.requestId(), 0x1234u);
    EXPECT_EQ(Bytes(answer.snacData().begin(), answer.snacData().end()), Bytes{0xAB});

    // The second 13/05 finds its rule used up; the keep-alive after it is still recorded.
    for (int i = 0; i < 2; ++i) {
        COscarPacket list = COscarPacket::Snac(0x13, 0x05);
        client.Send(list);
    }
    COscarPacket ping = COscarPacket::Bare(channel::kKeepAlive);
    client.Send(ping);
    ASSERT_TRUE(server.WaitForFrames(4));
    EXPECT_EQ(server.CountFrames(ScriptedServer::IsSnac(0x13, 0x05)), 2u);
    EXPECT_EQ(client.Receive().subtype(), 0x06);
    server.StopAnswering();
    COscarPacket again = COscarPacket::Snac(0x01, 0x06);
    client.Send(again);
    ASSERT_TRUE(server.WaitForFrames(5));
    server.Send(test::SnacFrame(0x03, 0x0B));
    EXPECT_EQ(client.Receive().subtype(), 0x0B);  // nothing came in between
}

TEST(ScriptedServer, AssemblesFramesFromAnySplitAndFlagsGarbage) {
    ScriptedServer server(false);
    Client client(server);
    Bytes stream = test::EncodeFrame(0x02, 7, test::SnacFrame(0x04, 0x06, Bytes{1, 2, 3}).data);
    Bytes second = test::EncodeFrame(0x05, 8, {});
    stream.insert(stream.end(), second.begin(), second.end());
    for (uint8_t b : stream) {
        client.SendRaw({b});
        SleepMs(2);
    }
    ASSERT_TRUE(server.WaitForFrames(2));
    std::vector<ReceivedFrame> frames = server.Frames();
    EXPECT_TRUE(frames[0].IsSnac(0x04, 0x06));
    EXPECT_EQ(frames[0].sequence, 7);
    EXPECT_EQ(frames[0].snacData(), (Bytes{1, 2, 3}));
    EXPECT_EQ(frames[1].channel, 0x05);
    EXPECT_EQ(server.ReceivedBytes(0), stream);

    client.SendRaw({0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
    EXPECT_EQ(client.ReceiveError(), errcode::kClosedInHeader);  // the server hung up
    EXPECT_EQ(server.ProtocolErrors(), 1);
}

TEST(ScriptedServer, ClosesAndResetsMidFrame) {
    ScriptedServer server(false);
    {
        Client client(server);
        ASSERT_TRUE(server.WaitForConnections(1));
        Bytes frame = test::EncodeFrame(0x02, 1, Bytes(20, 0x11));
        server.SendRaw(std::span(frame).first(10));
        server.Close();
        EXPECT_EQ(client.ReceiveError(), errcode::kClosedInBody);
    }
    {
        Client client(server);
        ASSERT_TRUE(server.WaitForConnections(2));
        server.SendRaw(Bytes{0x2A, 0x02});
        server.Reset();
        EXPECT_EQ(client.ReceiveError(), sockerr::kConnReset);
    }
    {
        Client client(server);
        ASSERT_TRUE(server.WaitForConnections(3));
        client.Shutdown();
        EXPECT_TRUE(server.WaitForClientClose(2));
    }
    EXPECT_EQ(server.Frames().size(), 0u);
}

}  // namespace
}  // namespace zul
