#include "protocol/transport/frame_buffer.h"

#include <cstring>

#include "platform/error.h"
#include "platform/tick.h"
#include "protocol/transport/packet.h"

namespace zul {
namespace {

// At most this much is taken in one call, so that a fast sender cannot grow the buffer
// without bound between two looks at it.
constexpr size_t kMaxFill = 256 * 1024;
constexpr size_t kChunk = 16 * 1024;

}  // namespace

size_t FrameBuffer::Fill(SocketHandle socket, uint32_t* counter) {
    // Handed-out bytes are dropped before more arrive, so the buffer holds one partial frame
    // plus what came since.
    if (start_ > 0) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    size_t taken = 0;
    while (failure_ == 0 && taken < kMaxFill) {
        const size_t old = bytes_.size();
        bytes_.resize(old + kChunk);
        const long n = SocketRecvNow(socket, bytes_.data() + old, kChunk);
        bytes_.resize(old + static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) {
            lastArrival_ = GetTick();
            taken += static_cast<size_t>(n);
            if (counter) *counter += static_cast<uint32_t>(n);
            if (static_cast<size_t>(n) < kChunk) break;
            continue;
        }
        const int code = LastSocketError();
        if (n < 0 && code == sockerr::kWouldBlock) break;
        // A failure or the peer's close: the whole frames before it are still handed out
        // (a disconnect frame says why the server closed).
        failure_ = n < 0 || code != 0 ? code : kClosed;
        if (failure_ == 0) failure_ = sockerr::kConnReset;
    }
    return taken;
}

bool FrameBuffer::HasFrame() const {
    const size_t available = Buffered();
    if (available < static_cast<size_t>(COscarPacket::kHeaderSize)) return false;
    const size_t total = ReadU16(bytes_.data() + start_ + 4) + COscarPacket::kHeaderSize;
    // A header announcing more than a frame can hold is waiting too: Next raises it.
    return available >= total || total > static_cast<size_t>(COscarPacket::kCapacity);
}

bool FrameBuffer::Stalled(uint32_t now, uint32_t limitMs) const {
    return Buffered() > 0 && failure_ == 0 && now - lastArrival_ >= limitMs;
}

bool FrameBuffer::Next(COscarPacket& frame) {
    const size_t available = Buffered();
    if (available < static_cast<size_t>(COscarPacket::kHeaderSize)) {
        RaiseFailure();
        return false;
    }
    const size_t total = ReadU16(bytes_.data() + start_ + 4) + COscarPacket::kHeaderSize;
    if (total > static_cast<size_t>(COscarPacket::kCapacity)) {
        Clear();
        throw CError(u"FrameBuffer::Next", errcode::kFrameTooLarge);
    }
    if (available < total) {
        RaiseFailure();
        return false;
    }
    std::memcpy(frame.data, bytes_.data() + start_, total);
    frame.size = static_cast<int32_t>(total);
    start_ += total;
    if (start_ == bytes_.size()) Clear();
    return true;
}

void FrameBuffer::RaiseFailure() const {
    if (failure_ == 0) return;
    if (failure_ != kClosed) throw CError(u"FrameBuffer::Next", failure_);
    const bool inBody = Buffered() >= static_cast<size_t>(COscarPacket::kHeaderSize);
    throw CError(u"FrameBuffer::Next", inBody ? errcode::kClosedInBody : errcode::kClosedInHeader);
}

void FrameBuffer::Clear() {
    bytes_.clear();
    start_ = 0;
}

void FrameBuffer::Reset() {
    Clear();
    failure_ = 0;
}

}  // namespace zul
