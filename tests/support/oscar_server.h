// A scripted OSCAR server for tests: a real TCP listener on 127.0.0.1 (ephemeral port) that plays
// the login, service or avatar server. It records every frame the client sends, answers from
// rules ("when this frame arrives, send these"), and lets the test send frames or raw bytes,
// close or reset a connection at any moment.
//
// The server parses and builds frames with its own few lines of code, not with the program's
// codec, so that a fault in the codec shows up as a mismatch here.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zul::test {

using Bytes = std::vector<uint8_t>;
using Timeout = std::chrono::milliseconds;
inline constexpr Timeout kDefaultWait{5000};

// Problems of the server itself (cannot listen, no such connection) go to this reporter; tests
// make them test failures, the demo server prints them. Default: standard error.
void SetServerProblemReporter(std::function<void(const std::string&)> reporter);
void ReportServerProblem(const std::string& text);

// Builds big-endian wire bytes.
class ByteWriter {
  public:
    ByteWriter& U8(uint8_t v);
    ByteWriter& U16(uint16_t v);
    ByteWriter& U32(uint32_t v);
    ByteWriter& U16LE(uint16_t v);
    ByteWriter& U32LE(uint32_t v);
    ByteWriter& Raw(std::span<const uint8_t> bytes);
    ByteWriter& Raw(std::string_view bytes);
    ByteWriter& Tlv(uint16_t type, std::span<const uint8_t> value);
    ByteWriter& Tlv(uint16_t type, std::string_view value);
    ByteWriter& TlvU16(uint16_t type, uint16_t value);  // value big-endian
    ByteWriter& TlvU32(uint16_t type, uint32_t value);  // value big-endian

    Bytes bytes;
};

// One TLV item as the server reads it.
struct WireTlv {
    uint16_t type = 0;
    Bytes value;
};
// Items of a block; stops at an item that runs past the block.
std::vector<WireTlv> ParseTlvs(std::span<const uint8_t> block);
const WireTlv* FindTlv(const std::vector<WireTlv>& tlvs, uint16_t type);

// A frame the server received from the client.
struct ReceivedFrame {
    int connection = 0;  // in accept order, from 0
    uint8_t channel = 0;
    uint16_t sequence = 0;
    Bytes data;  // everything after the 6-byte header

    bool IsSnac(uint16_t family, uint16_t subtype) const;
    // SNAC header fields; 0 unless this is a channel-2 frame with a whole SNAC header.
    uint16_t family() const;
    uint16_t subtype() const;
    uint16_t flags() const;
    uint32_t requestId() const;
    Bytes snacData() const;  // after the SNAC header
};

// A frame the server sends; without a sequence it takes the connection's next number.
struct OutFrame {
    uint8_t channel = 0x02;
    Bytes data;
    std::optional<uint16_t> sequence;
};

// The complete bytes of a frame: 2A, channel, sequence, length, data.
Bytes EncodeFrame(uint8_t channel, uint16_t sequence, std::span<const uint8_t> data);

// Frames the servers send.
OutFrame Greeting();  // channel 1: 00 00 00 01
OutFrame SnacFrame(uint16_t family, uint16_t subtype, std::span<const uint8_t> payload = {},
                   uint32_t requestId = 0, uint16_t flags = 0);
// Login reply (channel 4): TLV 0x0005 "host:port" and TLV 0x0006 cookie.
OutFrame LoginReply(std::string_view hostPort, std::span<const uint8_t> cookie);
// Login refusal (channel 4): TLV 0x0008 with the error code.
OutFrame LoginError(uint16_t code);
// Disconnect frame (channel 4), with TLV 0x0009 when a reason is given.
OutFrame Disconnect(std::optional<uint16_t> reason);

// What a rule does when it fires: send frames, then raw bytes, then optionally close.
struct Reply {
    Reply() = default;
    Reply(std::vector<OutFrame> f) : frames(std::move(f)) {}  // NOLINT: implicit on purpose
    std::vector<OutFrame> frames;
    Bytes raw;
    bool close = false;
};

class ScriptedServer {
  public:
    using Match = std::function<bool(const ReceivedFrame&)>;
    using Responder = std::function<Reply(const ReceivedFrame&)>;

    // Starts listening on `port` (0: an ephemeral one). With `sendGreeting` every new
    // connection first gets Greeting().
    explicit ScriptedServer(bool sendGreeting = true, uint16_t port = 0);
    // False when the server could not listen.
    bool Listening() const { return port_ != 0; }
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t Port() const { return port_; }
    std::string Host() const { return "127.0.0.1"; }
    std::string HostPort() const { return Host() + ":" + std::to_string(port_); }

    // Rules are tried in the order they were added; the first that matches fires (`times`
    // limits how often it may, -1 without limit). Matchers run under the server's lock and
    // must not call the server; responders may.
    void OnFrame(Match match, Responder respond, int times = -1);
    void OnChannel(uint8_t channel, Reply reply, int times = -1);
    void OnSnac(uint16_t family, uint16_t subtype, Reply reply, int times = -1);
    void StopAnswering();  // rules no longer fire; frames are still recorded
    // A server that runs for hours (the demo) keeps no record of what the client sent: with
    // recording off, frames and raw bytes are not kept and the observing calls see none.
    void SetRecording(bool on);

    static Match IsChannel(uint8_t channel);
    static Match IsSnac(uint16_t family, uint16_t subtype);

    // Acting on a connection (-1: the latest one). Sends to a closed connection are dropped.
    void Send(const OutFrame& frame, int connection = -1);
    void SendRaw(std::span<const uint8_t> bytes, int connection = -1);
    void Close(int connection = -1);  // orderly close: the client reads end of stream
    void Reset(int connection = -1);  // abortive close: the client sees a reset

    // Observing.
    int ConnectionCount() const;
    bool WaitForConnections(int n, Timeout timeout = kDefaultWait) const;
    std::vector<ReceivedFrame> Frames() const;  // all connections, in arrival order
    std::vector<ReceivedFrame> Frames(int connection) const;
    Bytes ReceivedBytes(int connection) const;  // the raw stream the client sent
    size_t CountFrames(const Match& match) const;
    bool WaitForFrames(size_t n, Timeout timeout = kDefaultWait) const;
    bool WaitForFrameCount(const Match& match, size_t n, Timeout timeout = kDefaultWait) const;
    std::optional<ReceivedFrame> WaitForFrame(const Match& match,
                                              Timeout timeout = kDefaultWait) const;
    // True once the client closed (or reset) its side of the connection.
    bool WaitForClientClose(int connection = -1, Timeout timeout = kDefaultWait) const;
    // The most connections the client held open at once, as counted at every accept (one the
    // client has shut down counts as closed even before the server has read to its end).
    int MostOpenAtOnce() const;
    // Connections whose byte stream did not start a frame with 0x2A where one was due.
    int ProtocolErrors() const;

  private:
    struct Connection;
    struct Rule {
        Match match;
        Responder respond;
        int times;
    };

    void AcceptLoop();
    void ReadLoop(Connection& c);
    void HandleFrame(Connection& c, ReceivedFrame frame);
    void SendBytes(Connection& c, const OutFrame* frame, std::span<const uint8_t> raw);
    void CloseConnection(Connection& c, bool reset);
    Connection* Find(int connection) const;  // null (and a test failure) when there is none

    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool sendGreeting_;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;  // everything below
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<ReceivedFrame> frames_;
    std::vector<Rule> rules_;
    bool answering_ = true;
    bool recording_ = true;
    int protocolErrors_ = 0;
    int mostOpen_ = 0;
};

}  // namespace zul::test
