#include "support/oscar_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zul::test {

namespace {
std::function<void(const std::string&)> g_problemReporter;
}  // namespace

void SetServerProblemReporter(std::function<void(const std::string&)> reporter) {
    g_problemReporter = std::move(reporter);
}

void ReportServerProblem(const std::string& text) {
    if (g_problemReporter) {
        g_problemReporter(text);
    } else {
        std::fprintf(stderr, "scripted server: %s\n", text.c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// Byte building and reading

ByteWriter& ByteWriter::U8(uint8_t v) {
    bytes.push_back(v);
    return *this;
}

ByteWriter& ByteWriter::U16(uint16_t v) {
    return U8(static_cast<uint8_t>(v >> 8)).U8(v & 0xFF);
}
ByteWriter& ByteWriter::U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v >> 16)).U16(v);
}
ByteWriter& ByteWriter::U16LE(uint16_t v) {
    return U8(v & 0xFF).U8(static_cast<uint8_t>(v >> 8));
}
ByteWriter& ByteWriter::U32LE(uint32_t v) {
    return U16LE(static_cast<uint16_t>(v)).U16LE(static_cast<uint16_t>(v >> 16));
}

ByteWriter& ByteWriter::Raw(std::span<const uint8_t> b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
}

ByteWriter& ByteWriter::Raw(std::string_view b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
}

ByteWriter& ByteWriter::Tlv(uint16_t type, std::span<const uint8_t> value) {
    return U16(type).U16(static_cast<uint16_t>(value.size())).Raw(value);
}

ByteWriter& ByteWriter::Tlv(uint16_t type, std::string_view value) {
    return U16(type).U16(static_cast<uint16_t>(value.size())).Raw(value);
}

ByteWriter& ByteWriter::TlvU16(uint16_t type, uint16_t value) {
    return U16(type).U16(2).U16(value);
}
ByteWriter& ByteWriter::TlvU32(uint16_t type, uint32_t value) {
    return U16(type).U16(4).U32(value);
}

namespace {
// The connection whose reader runs on this thread (rules' replies run there).
thread_local const void* t_readingConnection = nullptr;

uint16_t Be16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
}  // namespace

std::vector<WireTlv> ParseTlvs(std::span<const uint8_t> block) {
    std::vector<WireTlv> out;
    size_t at = 0;
    while (block.size() - at >= 4) {
        uint16_t type = Be16(block, at);
        size_t length = Be16(block, at + 2);
        if (block.size() - at - 4 < length) break;
        out.push_back({type, Bytes(block.begin() + at + 4, block.begin() + at + 4 + length)});
        at += 4 + length;
    }
    return out;
}

const WireTlv* FindTlv(const std::vector<WireTlv>& tlvs, uint16_t type) {
    for (const WireTlv& t : tlvs) {
        if (t.type == type) return &t;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Frames

bool ReceivedFrame::IsSnac(uint16_t f, uint16_t s) const {
    return channel == 0x02 && data.size() >= 10 && family() == f && subtype() == s;
}

uint16_t ReceivedFrame::family() const {
    return channel == 0x02 && data.size() >= 10 ? Be16(data, 0) : 0;
}
uint16_t ReceivedFrame::subtype() const {
    return channel == 0x02 && data.size() >= 10 ? Be16(data, 2) : 0;
}
uint16_t ReceivedFrame::flags() const {
    return channel == 0x02 && data.size() >= 10 ? Be16(data, 4) : 0;
}
uint32_t ReceivedFrame::requestId() const {
    if (channel != 0x02 || data.size() < 10) return 0;
    return static_cast<uint32_t>(Be16(data, 6)) << 16 | Be16(data, 8);
}
Bytes ReceivedFrame::snacData() const {
    if (channel != 0x02 || data.size() < 10) return {};
    return Bytes(data.begin() + 10, data.end());
}

Bytes EncodeFrame(uint8_t channel, uint16_t sequence, std::span<const uint8_t> data) {
    ByteWriter w;
    w.U8(0x2A).U8(channel).U16(sequence).U16(static_cast<uint16_t>(data.size())).Raw(data);
    return w.bytes;
}

OutFrame Greeting() {
    return {0x01, {0x00, 0x00, 0x00, 0x01}, std::nullopt};
}

OutFrame SnacFrame(uint16_t family, uint16_t subtype, std::span<const uint8_t> payload,
                   uint32_t requestId, uint16_t flags) {
    ByteWriter w;
    w.U16(family).U16(subtype).U16(flags).U32(requestId).Raw(payload);
    return {0x02, w.bytes, std::nullopt};
}

OutFrame LoginReply(std::string_view hostPort, std::span<const uint8_t> cookie) {
    ByteWriter w;
    w.Tlv(0x0005, hostPort).Tlv(0x0006, cookie);
    return {0x04, w.bytes, std::nullopt};
}

OutFrame LoginError(uint16_t code) {
    ByteWriter w;
    w.TlvU16(0x0008, code);
    return {0x04, w.bytes, std::nullopt};
}

OutFrame Disconnect(std::optional<uint16_t> reason) {
    ByteWriter w;
    if (reason) w.TlvU16(0x0009, *reason);
    return {0x04, w.bytes, std::nullopt};
}

// ---------------------------------------------------------------------------------------------
// The server

struct ScriptedServer::Connection {
    int index = 0;
    std::thread reader;

    std::mutex sendMutex;  // guards fd and nextSequence
    int fd = -1;
    uint16_t nextSequence = 1;
    std::atomic<bool> closedByUs{false};
    std::atomic<bool> resetRequested{false};

    // Under the server's mutex.
    Bytes received;
    bool clientClosed = false;
    bool finished = false;
};

ScriptedServer::ScriptedServer(bool sendGreeting, uint16_t port) : sendGreeting_(sendGreeting) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (port != 0 && listenFd_ >= 0) {
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listenFd_, 16) != 0) {
        ReportServerProblem("cannot listen: errno " + std::to_string(errno));
        return;
    }
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listenFd_ >= 0) close(listenFd_);

    std::vector<Connection*> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) all.push_back(c.get());
    }
    for (Connection* c : all) {
        std::lock_guard lock(c->sendMutex);
        if (c->fd >= 0) {
            c->closedByUs = true;
            shutdown(c->fd, SHUT_RDWR);  // wakes the reader
        }
    }
    for (Connection* c : all) {
        if (c->reader.joinable()) c->reader.join();
        if (c->fd >= 0) close(c->fd);
    }
}

void ScriptedServer::AcceptLoop() {
    while (!stopping_) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (stopping_) {
            close(fd);
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto owned = std::make_unique<Connection>();
        Connection* c = owned.get();
        c->fd = fd;
        std::vector<Connection*> others;
        {
            std::lock_guard lock(mutex_);
            c->index = static_cast<int>(connections_.size());
            for (const auto& other : connections_) others.push_back(other.get());
        }
        // Connections the client still holds: its shutdown shows on the descriptor at once,
        // whatever the reader has not read yet.
        int open = 1;
        for (Connection* other : others) {
            std::lock_guard send(other->sendMutex);
            if (other->fd < 0 || other->closedByUs) continue;
            pollfd p{other->fd, POLLRDHUP, 0};
            if (poll(&p, 1, 0) == 0) ++open;
        }
        {
            std::lock_guard lock(mutex_);
            mostOpen_ = std::max(mostOpen_, open);
        }
        // The greeting goes out before the test can see the connection or anything is read.
        if (sendGreeting_) {
            OutFrame greeting = Greeting();
            SendBytes(*c, &greeting, {});
        }
        // Published before its reader starts: a frame the test sees recorded always has its
        // connection to answer on.
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(std::move(owned));
            changed_.notify_all();
        }
        c->reader = std::thread([this, c] { ReadLoop(*c); });
    }
}

void ScriptedServer::ReadLoop(Connection& c) {
    t_readingConnection = &c;
    Bytes pending;
    std::vector<uint8_t> buffer(65536);
    bool broken = false;
    while (!broken) {
        ssize_t n = recv(c.fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex_);
            if (recording_) c.received.insert(c.received.end(), buffer.begin(), buffer.begin() + n);
        }
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
        // Cut every complete frame off the front of the stream.
        size_t at = 0;
        while (pending.size() - at >= 6) {
            if (pending[at] != 0x2A) {
                broken = true;
                break;
            }
            size_t length = Be16(pending, at + 4);
            if (pending.size() - at - 6 < length) break;
            ReceivedFrame frame;
            frame.connection = c.index;
            frame.channel = pending[at + 1];
            frame.sequence = Be16(pending, at + 2);
            frame.data.assign(pending.begin() + at + 6, pending.begin() + at + 6 + length);
            at += 6 + length;
            HandleFrame(c, std::move(frame));
        }
        pending.erase(pending.begin(), pending.begin() + at);
    }
    if (broken) {
        {
            std::lock_guard lock(mutex_);
            ++protocolErrors_;
        }
        CloseConnection(c, false);
    }
    if (c.resetRequested) {
        std::lock_guard lock(c.sendMutex);
        close(c.fd);  // with linger 0: the client gets a reset
        c.fd = -1;
    }
    std::lock_guard lock(mutex_);
    c.finished = true;
    c.clientClosed = !c.closedByUs;
    changed_.notify_all();
}

void ScriptedServer::HandleFrame(Connection& c, ReceivedFrame frame) {
    Responder respond;
    {
        std::lock_guard lock(mutex_);
        if (recording_) frames_.push_back(frame);
        changed_.notify_all();
        if (answering_) {
            for (Rule& rule : rules_) {
                if (rule.times == 0 || !rule.match(frame)) continue;
                if (rule.times > 0) --rule.times;
                respond = rule.respond;
                break;
            }
        }
    }
    if (!respond) return;
    Reply reply = respond(frame);
    for (const OutFrame& out : reply.frames) SendBytes(c, &out, {});
    if (!reply.raw.empty()) SendBytes(c, nullptr, reply.raw);
    if (reply.close) CloseConnection(c, false);
}

void ScriptedServer::SendBytes(Connection& c, const OutFrame* frame, std::span<const uint8_t> raw) {
    std::lock_guard lock(c.sendMutex);
    if (c.fd < 0 || c.closedByUs) return;
    Bytes encoded;
    if (frame) {
        uint16_t sequence = frame->sequence ? *frame->sequence : c.nextSequence++;
        encoded = EncodeFrame(frame->channel, sequence, frame->data);
        raw = encoded;
    }
    size_t sent = 0;
    while (sent < raw.size()) {
        ssize_t n = send(c.fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the client went away; the test sees it elsewhere
        sent += static_cast<size_t>(n);
    }
}

void ScriptedServer::CloseConnection(Connection& c, bool reset) {
    {
        std::lock_guard lock(c.sendMutex);
        if (c.fd < 0 || c.closedByUs) return;
        c.closedByUs = true;
        if (reset) {
            // The reader closes the descriptor; with linger 0 the close sends a reset.
            linger l{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            c.resetRequested = true;
            shutdown(c.fd, SHUT_RD);
        } else {
            shutdown(c.fd, SHUT_RDWR);
        }
    }
    if (reset && t_readingConnection != &c) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kDefaultWait, [&] { return c.finished; });
    }
}

ScriptedServer::Connection* ScriptedServer::Find(int connection) const {
    std::lock_guard lock(mutex_);
    if (connection < 0) connection = static_cast<int>(connections_.size()) - 1;
    if (connection < 0 || connection >= static_cast<int>(connections_.size())) {
        ReportServerProblem("no connection " + std::to_string(connection));
        return nullptr;
    }
    return connections_[connection].get();
}

void ScriptedServer::OnFrame(Match match, Responder respond, int times) {
    std::lock_guard lock(mutex_);
    rules_.push_back({std::move(match), std::move(respond), times});
}

void ScriptedServer::OnChannel(uint8_t channel, Reply reply, int times) {
    OnFrame(
        IsChannel(channel), [reply](const ReceivedFrame&) { return reply; }, times);
}

void ScriptedServer::OnSnac(uint16_t family, uint16_t subtype, Reply reply, int times) {
    OnFrame(
        IsSnac(family, subtype), [reply](const ReceivedFrame&) { return reply; }, times);
}

void ScriptedServer::StopAnswering() {
    std::lock_guard lock(mutex_);
    answering_ = false;
}

void ScriptedServer::SetRecording(bool on) {
    std::lock_guard lock(mutex_);
    recording_ = on;
}

ScriptedServer::Match ScriptedServer::IsChannel(uint8_t channel) {
    return [channel](const ReceivedFrame& f) { return f.channel == channel; };
}

ScriptedServer::Match ScriptedServer::IsSnac(uint16_t family, uint16_t subtype) {
    return [family, subtype](const ReceivedFrame& f) { return f.IsSnac(family, subtype); };
}

void ScriptedServer::Send(const OutFrame& frame, int connection) {
    if (Connection* c = Find(connection)) SendBytes(*c, &frame, {});
}

void ScriptedServer::SendRaw(std::span<const uint8_t> bytes, int connection) {
    if (Connection* c = Find(connection)) SendBytes(*c, nullptr, bytes);
}

void ScriptedServer::Close(int connection) {
    if (Connection* c = Find(connection)) CloseConnection(*c, false);
}

void ScriptedServer::Reset(int connection) {
    if (Connection* c = Find(connection)) CloseConnection(*c, true);
}

int ScriptedServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
}

bool ScriptedServer::WaitForConnections(int n, Timeout timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return static_cast<int>(connections_.size()) >= n; });
}

std::vector<ReceivedFrame> ScriptedServer::Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<ReceivedFrame> ScriptedServer::Frames(int connection) const {
    std::lock_guard lock(mutex_);
    std::vector<ReceivedFrame> out;
    for (const ReceivedFrame& f : frames_) {
        if (f.connection == connection) out.push_back(f);
    }
    return out;
}

Bytes ScriptedServer::ReceivedBytes(int connection) const {
    std::lock_guard lock(mutex_);
    if (connection < 0 || connection >= static_cast<int>(connections_.size())) return {};
    return connections_[connection]->received;
}

size_t ScriptedServer::CountFrames(const Match& match) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const ReceivedFrame& f : frames_) n += match(f) ? 1 : 0;
    return n;
}

bool ScriptedServer::WaitForFrames(size_t n, Timeout timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
}

bool ScriptedServer::WaitForFrameCount(const Match& match, size_t n, Timeout timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t count = 0;
        for (const ReceivedFrame& f : frames_) count += match(f) ? 1 : 0;
        return count >= n;
    });
}

std::optional<ReceivedFrame> ScriptedServer::WaitForFrame(const Match& match,
                                                          Timeout timeout) const {
    std::unique_lock lock(mutex_);
    std::optional<ReceivedFrame> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const ReceivedFrame& f : frames_) {
            if (match(f)) {
                found = f;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool ScriptedServer::WaitForClientClose(int connection, Timeout timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        int i = connection < 0 ? static_cast<int>(connections_.size()) - 1 : connection;
        return i >= 0 && i < static_cast<int>(connections_.size()) && connections_[i]->clientClosed;
    });
}

int ScriptedServer::MostOpenAtOnce() const {
    std::lock_guard lock(mutex_);
    return mostOpen_;
}

int ScriptedServer::ProtocolErrors() const {
    std::lock_guard lock(mutex_);
    return protocolErrors_;
}

}  // namespace zul::test
