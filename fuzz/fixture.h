// What the fuzz targets share: an invariant check that aborts, socket pairs whose far end is
// drained or fed by a thread of its own, and one OSCAR session on a real profile in a
// temporary folder whose two connections lead into such drains.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace zul {
class COscar;
class COscarPacket;
class CContacts;
}  // namespace zul

namespace zul::fuzz {

using Bytes = std::vector<uint8_t>;

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const char* file, int line);
#define ZUL_FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::zul::fuzz::Fail(#condition, __FILE__, __LINE__))

// Hands out connected socket pairs and reads and drops whatever arrives at their far ends,
// until the near end is closed. Sends on a near end therefore never block for long.
class Drain {
  public:
    Drain();
    ~Drain();
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;

    // A new near end; the caller owns it and closes it when done.
    SocketHandle NewEnd();

  private:
    void Run();

    std::mutex mutex_;
    std::vector<int> farEnds_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A byte stream from a server: a thread writes `bytes` into the far end of a socket pair,
// then shuts its writing side down (the near end reads the end of the stream), and drops
// whatever the near end sends, until the near end is closed.
class Feeder {
  public:
    explicit Feeder(Bytes bytes);
    // Joins the thread; close the near end first.
    ~Feeder();
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    // The near end, to be owned (and closed) by the caller.
    SocketHandle TakeNearEnd();

  private:
    void Run();

    Bytes bytes_;
    int near_ = -1;
    int far_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Splits an input into records of [tag byte][16-bit length][bytes]; the last record takes
// what is left when its length runs past the end.
struct Record {
    uint8_t tag = 0;
    Bytes bytes;
};
std::vector<Record> SplitRecords(const uint8_t* data, size_t size, size_t maxRecords);

// The complete bytes of a frame on a channel.
Bytes Frame(uint8_t channel, uint16_t sequence, const Bytes& payload);
// A received frame built in place from its data (everything after the 6-byte header); data
// beyond the frame's capacity is cut off.
void FillFrame(COscarPacket& frame, uint8_t channel, const uint8_t* data, size_t size);

// The session every protocol target works on. Logins of the contacts already in the store.
inline constexpr char16_t kOwnLogin[] = u"12345";
inline constexpr const char16_t* kContactLogins[] = {u"67890", u"55555", u"12345"};

class Fixture {
  public:
    // The shared fixture, made on first use and made anew once it has grown too much.
    static Fixture& Get();
    // Ends the shared fixture and restores everything it changed.
    static void Discard();

    Fixture();
    ~Fixture();
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    COscar& Session() { return *session_; }
    CContacts& Contacts() { return *contacts_; }
    Drain& Sinks() { return *drain_; }

    // Before each input: the session's tables empty, online, its thread marked running, both
    // connections open into the drain, and the avatar connection marked as asked.
    void BeginInput(bool avatarActive);
    // After each input: notes how much the fixture has grown.
    void EndInput();
    // Frames kept during a sign-on receive are dispatched (as the receive loop would) and the
    // queue is left empty.
    void FlushDeferred();

  private:
    bool Worn() const;
    void AddBaseContacts();

    std::string programFolder_, dataFolder_;
    std::unique_ptr<Drain> drain_;
    std::unique_ptr<CContacts> contacts_;
    std::unique_ptr<COscar> session_;
    size_t inputs_ = 0;
};

}  // namespace zul::fuzz
