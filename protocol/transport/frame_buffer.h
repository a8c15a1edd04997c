// The receive side of one connection: bytes are taken from the socket as they arrive, without
// waiting, and whole frames are handed out of the buffer. A frame that arrives slowly, a byte
// at a time, never holds up its reader: the bytes wait here until the frame is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace zul {

class COscarPacket;

class FrameBuffer {
  public:
    // Reads what has arrived on the socket, never waiting, adding the bytes read to *counter.
    // Returns the number of bytes taken (0 when nothing was waiting). A failed receive or the
    // peer's close is kept and raised by Next once the whole frames before it are taken.
    size_t Fill(SocketHandle socket, uint32_t* counter = nullptr);
    // Moves the oldest whole frame into `frame`; false while none is complete. Raises CError
    // -99995 for a header announcing a frame longer than the frame buffer; after a failure
    // seen by Fill, the socket error, or for a close -99992 (no frame or only part of a
    // header buffered) or -99993 (a body cut short).
    bool Next(COscarPacket& frame);
    // The connection failed or closed (frames before it may still be waiting).
    bool Failed() const { return failure_ != 0; }
    // Whether a whole frame is waiting.
    bool HasFrame() const;
    size_t Buffered() const { return bytes_.size() - start_; }
    // Part of a frame has waited at least `limitMs` since the last bytes arrived.
    bool Stalled(uint32_t now, uint32_t limitMs) const;
    // Forgets everything buffered and any failure (a new connection starts empty).
    void Reset();

  private:
    static constexpr int kClosed = -1;
    void Clear();
    void RaiseFailure() const;

    std::vector<uint8_t> bytes_;
    size_t start_ = 0;          // first byte not yet handed out
    int failure_ = 0;           // socket error, kClosed for the peer's close, 0 while open
    uint32_t lastArrival_ = 0;  // tick of the last bytes taken
};

}  // namespace zul
