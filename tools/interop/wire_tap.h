// The interop driver's view of the wire: every byte the client's sockets send and receive is
// fed here, cut into frames per connection and direction, written to a trace file per account
// and kept as short records, so that a failed step can say which SNACs went out and what the
// server answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zul::interop {

// One frame as the driver remembers it. Frames outside channel 2 have family and subtype 0.
struct FrameRecord {
    int account = 0;   // 1 or 2
    std::string link;  // "service" or "avatar"
    bool incoming = false;
    uint8_t channel = 0;
    uint16_t family = 0, subtype = 0, flags = 0;
    uint32_t requestId = 0;
    // The error code of an error SNAC (subtype 0x01) or of a sign-on reply (TLV 0x08).
    int error = -1;
    // The screen name a presence notice, an incoming message or an acknowledgement is about.
    std::string who;
    // A presence notice that carries a buddy-icon hash.
    bool iconHash = false;
};

// Cuts byte streams into frames. Each connection (a socket of an account) has two streams.
class WireTap {
  public:
    // The tap of the process, fed by the socket hooks of the driver.
    static WireTap& Instance();

    // Which account a freshly connected socket belongs to (0: none), and the name of its link.
    using OwnerLookup = std::function<int(int socket, std::string& link)>;
    void SetOwnerLookup(OwnerLookup lookup);
    // Trace file of an account ("" for none); frames of channel 1 and family 0x17 carry
    // password proofs and are traced without their bytes.
    void SetTraceFile(int account, const std::string& path);

    // A socket was connected: its streams start afresh.
    void Connected(int socket);
    // Bytes moved on a socket; bytes of sockets no account owns are ignored.
    void Feed(int socket, bool incoming, const uint8_t* bytes, size_t count);
    // The same, for a socket already known to belong to `account` (tests).
    void Attach(int socket, int account, const std::string& link);

    // Records so far; a step takes a mark at its start and looks only at what followed.
    size_t Mark() const;
    std::vector<FrameRecord> Since(size_t mark, int account) const;
    // Whether a presence notice about `who` (a folded screen name) carried an icon hash.
    bool IconAnnounced(const std::string& who) const;

    ~WireTap();

  private:
    struct Connection {
        int account = 0;
        std::string link;
        std::vector<uint8_t> in, out;
    };
    void Consume(Connection& connection, bool incoming);
    void Record(const Connection& connection, bool incoming, const uint8_t* frame, size_t size);
    void Trace(const FrameRecord& record, const uint8_t* data, size_t size, bool secret);

    mutable std::mutex mutex_;
    OwnerLookup owner_;
    std::map<int, Connection> connections_;
    std::vector<FrameRecord> records_;
    std::set<std::string> icons_;
    std::map<int, FILE*> traces_;
};

// "Zul Alice" and "zulalice" are the same screen name: case and spaces do not count.
std::string FoldScreenName(const std::string& name);
// The records the filter takes (all without one), one short token each: ">04/06" sent,
// "<04/01(err 0x0004)" received, "<ch4(err 0x0005)" a sign-on reply; keep-alives are left out.
// "none" when nothing is left.
using RecordFilter = std::function<bool(const FrameRecord&)>;
std::string Summarize(const std::vector<FrameRecord>& records, const RecordFilter& filter = {});
// A filter taking whole families.
RecordFilter Families(std::vector<uint16_t> families);

}  // namespace zul::interop
