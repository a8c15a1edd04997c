// The engine room of a session: the send path every frame takes, the receive loop with its
// idle work, the disconnect channel and the error policy that decides between stopping and
// connecting again.
#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/login.h"
#include "protocol/transport/packet.h"
#include "storage/database.h"
#include "storage/error.h"
#include "storage/log.h"
#include "storage/options.h"

namespace zul {
namespace {

constexpr uint32_t kKeepAliveMs = 30000;
// While data keeps coming, the idle tasks still run once this long has passed since they last
// ran.
constexpr uint32_t kBusyIdleMs = 1000;
// Bounds of one burst of waiting frames handled in a single transaction.
// The time bound keeps a received row at most about this long (plus the commit) from being
// durable, and other threads' wait for the profile as short.
constexpr int kMaxBurstFrames = 500;
constexpr uint32_t kMaxBurstMs = 40;
// A rate wait computed from the server's numbers never holds the session longer than this.
constexpr int64_t kMaxRateWaitMs = 30000;
// Frames a sign-on keeps for the receive loop while it waits for its replies.
constexpr size_t kMaxDeferredFrames = 256;

bool IsFatalSessionCode(int32_t code) {
    switch (code) {
        case 1: case 4: case 5: case 7: case 8: case 9: case 34:
        case -99999: case -99991: case -99990: case -99986: case -99985:
        case -12347: case -12346: case -12345:
            return true;
        default:
            return false;
    }
}

// Sleeps in short slices so that a disconnect (or a shut-down mark) does not wait for the
// whole time.
void SleepUnlessStopped(const CAccount& account, int64_t ms,
                        const std::atomic<bool>* shut = nullptr) {
    while (ms > 0 && !account.StopRequested() && !(shut != nullptr && shut->load())) {
        int64_t slice = std::min<int64_t>(ms, 50);
        SleepMs(static_cast<uint32_t>(slice));
        ms -= slice;
    }
}

}  // namespace

uint16_t COscar::NextSequence(Link link) {
    std::lock_guard lock(sequenceMutex_);
    uint16_t& counter = link == Link::Service ? serviceSequence_ : avatarSequence_;
    uint32_t next = (static_cast<uint32_t>(counter) + 1) % 0x10000;
    if (next > 0x7FFF) next = 0;
    counter = static_cast<uint16_t>(next);
    return counter;
}

uint16_t COscar::LastSequence(Link link) const {
    std::lock_guard lock(const_cast<std::mutex&>(sequenceMutex_));
    return link == Link::Service ? serviceSequence_ : avatarSequence_;
}

void COscar::SetSequence(Link link, uint16_t value) {
    std::lock_guard lock(sequenceMutex_);
    (link == Link::Service ? serviceSequence_ : avatarSequence_) = value;
}

void COscar::ApplyRateControl(Link link, uint16_t family, uint16_t subtype) {
    RateClassTable& rates = Rates(link);
    auto position = rates.Find(family, subtype);
    if (!position) return;
    auto cls = rates.At(*position);
    if (!cls || cls->windowSize == 0) return;

    const uint32_t w = cls->windowSize;
    const uint32_t l = cls->currentLevel;
    const uint32_t now = GetTick();
    int64_t level = static_cast<int32_t>((l * (w - 1)) / w + (now - cls->lastSend) / w);
    if (level < 0) level = 0;
    if (level >= cls->maxLevel) level = cls->maxLevel;
    if (level < cls->clearLevel) {
        // Two 32-bit quantities from the server multiplied: the product needs more than 64
        // signed bits at the extremes.
        const __int128 wait =
            static_cast<__int128>(level - static_cast<int64_t>(l)) * static_cast<__int128>(w) + l;
        if (wait > 0) {
            const __int128 capped = std::min<__int128>(wait, kMaxRateWaitMs);
            SleepUnlessStopped(*this, static_cast<int64_t>(capped), &ShutMark(link));
        }
    }
    rates.Store(*position, static_cast<uint32_t>(level), GetTick());
}

void COscar::SendFrame(Link link, COscarPacket& frame) {
    CConnection::CheckConnection();
    uint32_t sent = 0;
    std::exception_ptr failure;
    {
        std::lock_guard lock(sendMutex_);
        if (frame.channel() == channel::kSnac) {
            ApplyRateControl(link, frame.family(), frame.subtype());
        }
        const uint16_t sequence = NextSequence(link);
        try {
            frame.Send(Socket(link), sequence, &sent);
        } catch (const CError&) {
            failure = std::current_exception();
        }
    }
    // The counter is saved outside the send lock: the database lock is never awaited while
    // the send lock is held (a burst holds the database lock and may send).
    if (sent) AddBytesOut(sent);
    if (failure) std::rethrow_exception(failure);
}

void COscar::ReceiveFrame(Link link, COscarPacket& frame) {
    CConnection::CheckConnection();
    uint32_t received = 0;
    try {
        frame.Receive(Socket(link), &received);
    } catch (const CError&) {
        if (received) AddBytesIn(received);
        throw;
    }
    AddBytesIn(received);
}

bool DispatchServiceFamily(COscar& session, uint16_t family, COscarPacket& frame) {
    switch (family) {
        case 0x01: HandleServiceFamily(session, frame); return true;
        case 0x02: HandleLocationFamily(session, frame); return true;
        case 0x03: HandleBuddyFamily(session, frame); return true;
        case 0x04: HandleMessageFamily(session, frame); return true;
        case 0x09: HandlePrivacyFamily(session, frame); return true;
        case 0x13: HandleListFamily(session, frame); return true;
        case 0x15: HandleMetaFamily(session, frame); return true;
        default: return false;
    }
}

void COscar::DispatchSnac(COscarPacket& frame) {
    if (DispatchServiceFamily(*this, frame.family(), frame)) return;
    std::u16string line = FormatInt(u"Unhandled family (%X,", frame.family());
    line += FormatInt(u"%X)", frame.subtype());
    WriteLog(kGeneralLog, line);
}

void COscar::DispatchFrame(COscarPacket& frame) {
    switch (frame.channel()) {
        case channel::kSignOn: break;
        case channel::kSnac: DispatchSnac(frame); break;
        case channel::kDisconnect: HandleIncomingFromDisconnectChannel(frame);
        default:
            WriteLogFormat(kGeneralLog,
                           u"HandleIncoming_MainThread: Incoming from unknown channel %d",
                           frame.channel());
            break;
    }
}

void COscar::ReceiveReply(COscarPacket& reply, uint16_t family,
                          std::initializer_list<uint16_t> subtypes) {
    for (;;) {
        ReceiveFrame(Link::Service, reply);
        if (reply.channel() == channel::kDisconnect) HandleIncomingFromDisconnectChannel(reply);
        if (reply.channel() == channel::kSnac && reply.family() == family &&
            std::find(subtypes.begin(), subtypes.end(), reply.subtype()) != subtypes.end()) {
            return;
        }
        std::lock_guard lock(deferredMutex_);
        // Each kept frame takes a whole frame buffer: a server flooding the sign-on with
        // frames nobody asked for must not grow the client without bound.
        if (deferred_.size() >= kMaxDeferredFrames) {
            throw CError(u"COscar::ReceiveReply", errcode::kFrameTooLarge);
        }
        auto kept = std::make_unique<COscarPacket>();
        std::memcpy(kept->data, reply.data, static_cast<size_t>(reply.size));
        kept->size = reply.size;
        deferred_.push_back(std::move(kept));
    }
}

size_t COscar::DeferredCount() const {
    std::lock_guard lock(deferredMutex_);
    return deferred_.size();
}

void COscar::DispatchDeferred() {
    for (;;) {
        std::unique_ptr<COscarPacket> frame;
        {
            std::lock_guard lock(deferredMutex_);
            if (deferred_.empty()) return;
            frame = std::move(deferred_.front());
            deferred_.pop_front();
        }
        DispatchFrame(*frame);
    }
}

void COscar::HandleIncoming_MainThread() {
    uint32_t keepAlive = GetTick();
    uint32_t idleTasks = GetTick();
    DispatchDeferred();
    while (Status() != -1 && !StopRequested()) {
        CConnection::CheckConnection();
        if (WaitReadable(serviceSocket_, 1)) {
            HandleBurst();
            // A server that never falls quiet for a whole second (a large list's presence, a
            // busy chat) would otherwise hold back the user's messages for as long as it
            // talks. The idle tasks run between bursts once a second; the keep-alive and the
            // avatar connection still wait for a quiet second.
            if (GetTick() - idleTasks >= kBusyIdleMs && Status() != -1 && !StopRequested()) {
                RunIdleTasks();
                idleTasks = GetTick();
            }
            continue;
        }

        // One second without data: the idle pass.
        RunIdleTasks();
        idleTasks = GetTick();
        if (GetTick() - keepAlive > kKeepAliveMs) {
            COscarPacket ping = COscarPacket::Bare(channel::kKeepAlive);
            SendFrame(Link::Service, ping);
            keepAlive = GetTick();
        }
        if (AvatarActive()) {
            if (WaitReadable(avatarSocket_, 1)) {
                COscarPacket frame;
                try {
                    ReceiveFrame(Link::Avatar, frame);
                } catch (const CError& e) {
                    WriteLogFormat(kGeneralLog, u"ReceiveAvat():CError %d catched", e.Code());
                    DropAvatarConnection();
                    continue;
                }
                HandleIncoming_Avatar(*this, frame);
            } else {
                SendQueuedAvatarRequests(*this);
            }
        } else if (!avatarQueue_.Empty() && SessionRunning() && Status() != -1) {
            RequestAvatarService(*this);
        }
    }
}

void COscar::HandleBurst() {
    // Frames that are already waiting form one burst (a presence storm, offline messages):
    // their rows and counters are written in one transaction, committed before the loop waits
    // again. A burst is kept short so that other threads wait for the profile only briefly.
    CTransaction transaction;
    const uint32_t start = GetTick();
    int handled = 0;
    try {
        // The traffic counters of the burst's frames are written once, with its rows (the
        // batch closes before the commit, also when a frame raises).
        CounterBatch counters(*this);
        do {
            COscarPacket frame;
            ReceiveFrame(Link::Service, frame);
            DispatchFrame(frame);
            ++handled;
        } while (handled < kMaxBurstFrames && GetTick() - start < kMaxBurstMs &&
                 Status() != -1 && !StopRequested() && SocketWaitReadable(serviceSocket_, 0) > 0);
    } catch (...) {
        // What was handled before the error is kept.
        transaction.Commit();
        throw;
    }
    transaction.Commit();
}

void COscar::HandleIncomingFromDisconnectChannel(const COscarPacket& frame) {
    TlvList tlvs;
    tlvs.Parse(frame.frameData());
    const Tlv* reason = tlvs.Find(0x0009);
    int32_t code = errcode::kDisconnectNoReason;
    if (reason) code = reason->AsU16() == 1 ? errcode::kSignedOnElsewhere : errcode::kDisconnectOther;
    throw CError(u"COscar::HandleIncomingFromDisconnectChannel", code);
}

bool COscar::HandleSessionError(int32_t code) {
    ShowSessionError(std::u16string());
    if (code == 10004 || code == 10038 || code == 10053) return true;

    const std::u16string text = FormatInt(LoginErrorText(EffectiveType(), code), code);
    if (IsFatalSocketError(code) || IsFatalSessionCode(code) || !Options().ReconnectOnError) {
        SetStatusText(text);
        return true;
    }
    for (int s = 3; s >= 1; --s) {
        SetStatusText(text + FormatInt(ResString(1004), s));
        SleepUnlessStopped(*this, 1000);
        if (StopRequested()) return true;
    }
    return false;
}

int COscar::RunSession(int* stop) {
    try {
        HandleIncoming_MainThread();
        CloseConnections();
        return 1;
    } catch (const CError& e) {
        CloseConnections();
        if (SessionRunning() && !StopRequested()) {
            WriteLog(kGeneralLog, u"MainThreadBody(): CError catched");
            if (stop) *stop = HandleSessionError(e.Code()) ? 1 : 0;
        } else if (stop) {
            *stop = 1;
        }
        return 0;
    }
}

}  // namespace zul
