// The engine room of a session: the send path every frame takes, the receive loop with its
// idle work, the disconnect channel and the error policy that decides between stopping and
// connecting again.
#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_links.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/frame_buffer.h"
#include "protocol/transport/login.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"

namespace zul {
namespace {

constexpr uint32_t kKeepAliveMs = 30000;
// While data keeps coming, the idle tasks still run once this long has passed since they last
// ran.
constexpr uint32_t kBusyIdleMs = 1000;
// Bounds of one burst of waiting frames handled in a single transaction.
// The time bound keeps a received row at most about this long (plus the commit) from being
// durable, and other threads' wait for the profile as short. A burst takes the frames one read
// brought; the sign-on's first burst (the list's presence, the offline messages) also takes in
// what keeps arriving, up to the larger bound, so that the storm is stored in one commit.
constexpr int kMaxBurstFrames = 500;
constexpr int kMaxSignOnBurstFrames = 5000;
constexpr uint32_t kMaxBurstMs = 40;
// One slice of the picture checks (a few hundred microseconds: the first check of a picture
// reads all of it).
constexpr size_t kPictureChecksPerSlice = 64;
// A rate wait computed from the server's numbers never holds the session longer than this.
constexpr int64_t kMaxRateWaitMs = 30000;
// Frames a sign-on keeps for the receive loop while it waits for its replies.
constexpr size_t kMaxDeferredFrames = 256;
// The back-off between sign-on attempts, and how long a session must have run for the next
// failure to start again from the shortest wait.
constexpr int64_t kFirstReconnectDelayMs = 3000;
constexpr int64_t kLongestReconnectDelayMs = 300000;
constexpr uint32_t kStableSessionMs = 60000;
// A server that keeps one session per account may sign the older one off without a reason
// (as it does for a restart). The reconnection then signs the other place off in turn; when
// it is itself signed off so soon, the two places are taking turns.
constexpr uint32_t kTakingTurnsMs = 5 * 60000;

bool IsFatalSessionCode(int32_t code) {
    switch (code) {
        case 1:
        case 4:
        case 5:
        case 7:
        case 8:
        case 9:
        case 34:
        case -99999:
        case -99991:
        case 17:  // suspended
        case 25:  // warned too heavily
        case -99990:
        case -99986:
        case -99985:
        case -12345:
        case errcode::kPasswordNotEncodable:
        case errcode::kPasswordNeeded:
        case errcode::kListTooLarge:
            return true;
        default:
            return false;
    }
}

// Waits out a rate window: a stop ends the wait at once on the session thread (and within a
// short slice on another), and so does a shut-down mark of the link.
void SleepUnlessStopped(CAccount& account, int64_t ms, const std::atomic<bool>* shut) {
    while (ms > 0 && !account.StopRequested() && !(shut != nullptr && shut->load())) {
        const int64_t slice = std::min<int64_t>(ms, 50);
        account.WaitForStop(slice);
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

namespace {

// The class's level is a running average of the time between sends:
//     new = ((window - 1) * old + time since the last send) / window,
// never above the class's maximum (however long the quiet was). A send that would bring it
// below the clear level waits until it would not: the server starts limiting (and dropping
// what is limited) below its alert level and disconnects further down. Products of two
// 32-bit quantities from the server: 128 bits hold them at the extremes.
using Wide = __int128;

uint32_t LevelAfter(const RateClass& c, uint32_t elapsed) {
    const Wide w = c.windowSize;
    return static_cast<uint32_t>(
        std::min<Wide>(((w - 1) * Wide(c.currentLevel) + elapsed) / w, c.maxLevel));
}

}  // namespace

int64_t COscar::RateWaitMs(Link link, uint16_t family, uint16_t subtype) {
    return RateWaitIn(Rates(link), family, subtype);
}

void COscar::RecordRateSend(Link link, uint16_t family, uint16_t subtype) {
    RecordRateSendIn(Rates(link), family, subtype);
}

int64_t COscar::RateWaitIn(RateClassTable& rates, uint16_t family, uint16_t subtype) {
    const auto position = rates.Find(family, subtype);
    if (!position) return 0;
    const auto cls = rates.At(*position);
    if (!cls || cls->windowSize == 0) return 0;
    const uint32_t elapsed = GetTick() - cls->lastSend;
    if (LevelAfter(*cls, elapsed) >= cls->clearLevel) return 0;
    const Wide w = cls->windowSize;
    const Wide due = w * cls->clearLevel - (w - 1) * Wide(cls->currentLevel) - elapsed;
    return static_cast<int64_t>(std::clamp<Wide>(due, 1, kMaxRateWaitMs));
}

void COscar::RecordRateSendIn(RateClassTable& rates, uint16_t family, uint16_t subtype) {
    const auto position = rates.Find(family, subtype);
    if (!position) return;
    const auto cls = rates.At(*position);
    if (!cls || cls->windowSize == 0) return;
    const uint32_t elapsed = GetTick() - cls->lastSend;
    rates.Store(*position, LevelAfter(*cls, elapsed), cls->lastSend + elapsed);
}

void COscar::ApplyRateControl(Link link, uint16_t family, uint16_t subtype) {
    if (const int64_t wait = RateWaitMs(link, family, subtype); wait > 0)
        SleepUnlessStopped(*this, wait, &ShutMark(link));
    RecordRateSend(link, family, subtype);
}

namespace {

// The session whose burst the calling thread is handling, if any: its sends wait for the
// burst's commit.
thread_local COscar* t_burstOwner = nullptr;

}  // namespace

void COscar::AfterBurst(std::function<void()> action) {
    if (t_burstOwner == this) {
        afterBurst_.push_back(std::move(action));
        return;
    }
    action();
}

void COscar::RunAfterBurst() {
    std::vector<std::function<void()>> actions;
    actions.swap(afterBurst_);
    for (auto& action : actions) action();
}

void COscar::SendFrame(Link link, COscarPacket& frame) {
    // Bursts are handled inside the receive loop: what their handlers send is queued and goes
    // out after the commit, so that no rate wait or slow send holds the profile.
    if (queueing_.load()) {
        {
            std::lock_guard lock(outMutex_);
            auto& queue = out_[link == Link::Service ? 0 : 1];
            if (queue.size() >= kMaxQueuedFrames) {
                WriteLogFormat(kGeneralLog, u"Outgoing queue full: frame of channel %d dropped",
                               frame.channel());
                return;
            }
            queue.emplace_back(frame.data, frame.data + frame.size);
            // One wake-up for a queue that was empty; the loop takes what follows with it.
            if (queue.size() > 1 || t_burstOwner == this) return;
        }
        SessionWake().Signal();
        return;
    }
    CConnection::CheckConnection();
    {
        std::lock_guard lock(sendMutex_);
        if (frame.channel() == channel::kSnac) {
            ApplyRateControl(link, frame.family(), frame.subtype());
        }
    }
    SendNow(link, frame);
}

size_t COscar::QueuedFrames(Link link) const {
    std::lock_guard lock(outMutex_);
    return out_[link == Link::Service ? 0 : 1].size();
}

void COscar::ClearQueue(Link link) {
    std::lock_guard lock(outMutex_);
    out_[link == Link::Service ? 0 : 1].clear();
}

void COscar::ReturnQueuedMessages() {
    std::deque<std::vector<uint8_t>> left;
    {
        std::lock_guard lock(outMutex_);
        left.swap(out_[0]);
    }
    // The messages among them were marked sent when they joined the queue: unsent again.
    for (const std::vector<uint8_t>& bytes : left) {
        COscarPacket frame;
        std::memcpy(frame.data, bytes.data(), bytes.size());
        frame.size = static_cast<int32_t>(bytes.size());
        if (frame.channel() == channel::kSnac && frame.family() == 0x04 && frame.subtype() == 0x06)
            ReturnToOutbox(*this, frame.requestId());
    }
}

void COscar::WakeSession() {
    userWork_.store(true);
    SessionWake().Signal();
}

int64_t COscar::DrainOutgoing() {
    int64_t next = -1;
    for (Link link : {Link::Service, Link::Avatar}) {
        const int index = link == Link::Service ? 0 : 1;
        if (link == Link::Avatar && !AvatarActive() && Socket(Link::Avatar) == kInvalidSocket) {
            ClearQueue(link);
            continue;
        }
        for (;;) {
            COscarPacket frame;
            {
                std::lock_guard lock(outMutex_);
                if (out_[index].empty()) break;
                const std::vector<uint8_t>& bytes = out_[index].front();
                std::memcpy(frame.data, bytes.data(), bytes.size());
                frame.size = static_cast<int32_t>(bytes.size());
            }
            if (frame.channel() == channel::kSnac) {
                const int64_t wait = RateWaitMs(link, frame.family(), frame.subtype());
                if (wait > 0) {
                    next = next < 0 ? wait : std::min(next, wait);
                    break;
                }
                RecordRateSend(link, frame.family(), frame.subtype());
            }
            {
                std::lock_guard lock(outMutex_);
                if (!out_[index].empty()) out_[index].pop_front();
            }
            if (link == Link::Service) {
                SendNow(link, frame);
                continue;
            }
            try {
                SendNow(link, frame);
            } catch (const CError& e) {
                WriteLogFormat(kGeneralLog, u"SendAvat():CError %d catched", e.Code());
                ClearQueue(link);
                DropAvatarConnection();
                break;
            }
        }
    }
    // The rooms' links keep their own queues and classes.
    const int64_t rooms = chat_->Drain();
    if (rooms >= 0) next = next < 0 ? rooms : std::min(next, rooms);
    return next;
}

void COscar::SendNow(Link link, COscarPacket& frame) {
    CConnection::CheckConnection();
    uint32_t sent = 0;
    std::exception_ptr failure;
    {
        std::lock_guard lock(sendMutex_);
        const uint16_t sequence = NextSequence(link);
        try {
            frame.Send(Socket(link), sequence, &sent);
        } catch (const CError&) {
            failure = std::current_exception();
        }
    }
    // The counter is saved outside the send lock: the database lock is never awaited while
    // the send lock is held.
    if (sent) AddBytesOut(sent);
    if (failure) std::rethrow_exception(failure);
}

void COscar::ReceiveFrame(Link link, COscarPacket& frame) {
    CConnection::CheckConnection();
    FrameBuffer& in = In(link);
    for (;;) {
        if (in.Next(frame)) return;
        // A peer that sends nothing for the whole time-out (not even the rest of a frame)
        // ends the read.
        const int ms = SocketIoTimeoutMs();
        const int ready = SocketWaitReadable(Socket(link), ms / 1000, (ms % 1000) * 1000);
        if (ready == 0) throw CError(u"COscar::ReceiveFrame", sockerr::kTimedOut);
        if (ready < 0) throw CError(u"COscar::ReceiveFrame", LastSocketError());
        FillLink(link);
    }
}

size_t COscar::FillLink(Link link) {
    uint32_t received = 0;
    const size_t taken = In(link).Fill(Socket(link), &received);
    if (received) AddBytesIn(received);
    return taken;
}

bool DispatchServiceFamily(COscar& session, uint16_t family, COscarPacket& frame) {
    switch (family) {
        case 0x01:
            HandleServiceFamily(session, frame);
            return true;
        case 0x02:
            HandleLocationFamily(session, frame);
            return true;
        case 0x03:
            HandleBuddyFamily(session, frame);
            return true;
        case 0x04:
            HandleMessageFamily(session, frame);
            return true;
        case 0x09:
            HandlePrivacyFamily(session, frame);
            return true;
        case 0x13:
            HandleListFamily(session, frame);
            return true;
        case 0x15:
            HandleMetaFamily(session, frame);
            return true;
        default:
            return false;
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
        case channel::kSignOn:
            break;
        case channel::kSnac:
            DispatchSnac(frame);
            break;
        case channel::kDisconnect:
            HandleIncomingFromDisconnectChannel(frame);
        default:
            WriteLogFormat(kGeneralLog,
                           u"HandleIncoming_MainThread: Incoming from unknown channel %d",
                           frame.channel());
            break;
    }
}

bool COscar::ReceiveReply(COscarPacket& reply, uint16_t family,
                          std::initializer_list<uint16_t> subtypes, uint32_t requestId) {
    for (;;) {
        ReceiveFrame(Link::Service, reply);
        if (reply.channel() == channel::kDisconnect) HandleIncomingFromDisconnectChannel(reply);
        if (reply.channel() == channel::kSnac && reply.family() == family &&
            std::find(subtypes.begin(), subtypes.end(), reply.subtype()) != subtypes.end()) {
            return true;
        }
        // The family's error reply to the request answers it too: never wait for a reply
        // that will not come. Servers echo the request id; some send 0.
        if (requestId != 0 && reply.channel() == channel::kSnac && reply.family() == family &&
            reply.subtype() == 0x01 && (reply.requestId() == requestId || reply.requestId() == 0)) {
            ByteReader error(reply.snacData());
            const uint16_t code = error.ReadU16();
            WriteLogFormat(kGeneralLog, u"Sign-on request refused by the server, code %d", code);
            return false;
        }
        std::lock_guard lock(deferredMutex_);
        // A server flooding the sign-on with frames nobody asked for must not grow the
        // client without bound.
        if (deferred_.size() >= kMaxDeferredFrames) {
            throw CError(u"COscar::ReceiveReply", errcode::kFrameTooLarge);
        }
        deferred_.emplace_back(reply.data, reply.data + reply.size);
    }
}

size_t COscar::DeferredCount() const {
    std::lock_guard lock(deferredMutex_);
    return deferred_.size();
}

void COscar::DropDeferred() {
    std::lock_guard lock(deferredMutex_);
    deferred_.clear();
}

std::unique_ptr<COscarPacket> COscar::TakeDeferred() {
    std::lock_guard lock(deferredMutex_);
    if (deferred_.empty()) return nullptr;
    auto frame = std::make_unique<COscarPacket>();
    std::memcpy(frame->data, deferred_.front().data(), deferred_.front().size());
    frame->size = static_cast<int32_t>(deferred_.front().size());
    deferred_.pop_front();
    return frame;
}

bool COscar::FramesWaiting() const {
    return DeferredCount() > 0 || serviceIn_.HasFrame() || serviceIn_.Failed() ||
           (AvatarActive() && (avatarIn_.HasFrame() || avatarIn_.Failed())) ||
           chat_->FramesWaiting();
}

void COscar::HandleIncoming_MainThread() {
    uint32_t keepAlive = GetTick();
    uint32_t idleTasks = GetTick();
    // From here every send joins its link's queue; what is left when the loop ends is dropped
    // with the connections.
    struct QueueScope {
        explicit QueueScope(COscar& s) : session(s) { session.queueing_.store(true); }
        ~QueueScope() {
            session.queueing_.store(false);
            session.ReturnQueuedMessages();
            session.ClearQueue(Link::Avatar);
        }
        COscar& session;
    } queueScope(*this);
    // What waited while offline (requests, unsent messages in the profile) is looked at once.
    NoteAllWork();
    // The frames kept during sign-on are handled first, whatever the status.
    while (DeferredCount() > 0 && !StopRequested()) {
        HandleBurst();
        DrainOutgoing();
    }
    while (Status() != -1 && !StopRequested()) {
        CConnection::CheckConnection();
        // A status the user chose meanwhile joins the queue first.
        ApplyRequestedStatus();
        if (Status() == -1) break;
        // What the rate classes allow goes out; the rest waits for its time, while frames
        // keep arriving.
        const int64_t due = DrainOutgoing();
        // Both connections are watched at once and read without waiting: a frame that
        // arrives slowly on one never holds up the other, and nothing waits for the network
        // while the profile is locked.
        bool quiet = false;
        bool asked = false;
        if (!FramesWaiting()) {
            // The service, picture and wake-up descriptors, the picture link's connect under
            // way, then the rooms' links (or their connects).
            SocketHandle sockets[4 + ChatLinks::kMaxRooms] = {
                serviceSocket_, AvatarActive() ? avatarSocket_ : kInvalidSocket,
                SessionWake().Handle(), avatarConnect_ ? avatarConnect_->Handle() : kInvalidSocket};
            const size_t watched = 4 + chat_->WatchSockets(sockets + 4, std::size(sockets) - 4);
            // Picture checks are done while nothing arrives, a slice at a time: the next
            // frames are never held back for long.
            const bool checks = PictureChecksWaiting() > 0;
            int wait = checks ? 0 : 1000;
            if (due >= 0) wait = static_cast<int>(std::min<int64_t>(wait, due));
            int ready = SocketWaitAnyReadable(sockets, watched, wait);
            if (ready < 0) throw CError(u"COscar::HandleIncoming_MainThread", LastSocketError());
            const bool woken = (ready & 4) != 0;
            if (woken) {
                SessionWake().Clear();
                ready &= ~4;
            }
            if (ready & 8) {
                FinishAvatarConnect();
                ready &= ~8;
            }
            // The user asked for something (a message, an edit, details): the idle pass that
            // does it runs now.
            asked = userWork_.exchange(false);
            quiet = ready == 0 && !checks && !woken;
            if (ready == 0 && checks) RunPictureChecks(*this, kPictureChecksPerSlice);
            {
                // The bytes read are counted into the burst they bring (one commit).
                CounterBatch counters(*this);
                if (ready & 1) FillLink(Link::Service);
                if (ready & 2) FillLink(Link::Avatar);
                chat_->Fill(ready, 4);
            }
            // A frame begun and then left unfinished for the whole socket time-out ends its
            // connection, as a silent peer does.
            const uint32_t limit = static_cast<uint32_t>(SocketIoTimeoutMs());
            if (serviceIn_.Stalled(GetTick(), limit)) {
                throw CError(u"COscar::HandleIncoming_MainThread", sockerr::kTimedOut);
            }
            if (AvatarActive() && avatarIn_.Stalled(GetTick(), limit)) {
                WriteLog(kGeneralLog, u"ReceiveAvat(): frame cut short, avatar connection dropped");
                DropAvatarConnection();
            }
        }
        if (FramesWaiting()) HandleBurst();
        if (Status() == -1 || StopRequested()) break;

        // The idle pass, once a second also while data keeps coming: a server that never
        // falls quiet (a large list's presence, a busy chat) must not hold back the user's
        // messages or the pictures. The keep-alive is for a quiet connection only.
        if (!quiet && !asked && GetTick() - idleTasks < kBusyIdleMs) continue;
        SaveOwedAccount();
        RunIdleTasks();
        // Away messages of contacts that turned away, a few a second.
        SendAwayQueries(*this);
        chat_->Idle();
        // A server that never falls quiet still has the pictures checked.
        RunPictureChecks(*this, 8 * kPictureChecksPerSlice);
        idleTasks = GetTick();
        // Counters that waited for a commit to go with are written once the line falls quiet.
        if (quiet) SaveCounters();
        if (quiet && GetTick() - keepAlive > kKeepAliveMs) {
            COscarPacket ping = COscarPacket::Bare(channel::kKeepAlive);
            SendFrame(Link::Service, ping);
            keepAlive = GetTick();
        }
        FinishAvatarConnect();
        if (AvatarActive()) {
            SendQueuedAvatarRequests(*this);
        } else if (!avatarConnect_ && (!avatarQueue_.Empty() || PictureUploadOwed()) &&
                   SessionRunning() && Status() != -1) {
            RequestAvatarService(*this);
        }
    }
    // A sign-off the user asked for first sends what the rate classes let go now: the second
    // half of a list edit still queued would leave the server with half an edit. Not when the
    // program ends, which sends nothing more.
    if (StopRequested() && !Quitting()) {
        try {
            DrainOutgoing();
        } catch (const CError&) {
            // The connection is gone already.
        }
    }
}

void COscar::HandleBurst() {
    // The frames that have arrived whole form one burst (a presence storm, offline messages):
    // their rows and counters are written in one transaction. Nothing in it waits for the
    // network: the frames are already here, and what the handlers send (and any connection
    // they open) goes out after the commit. A burst is kept short so that other threads wait
    // for the profile only briefly.
    struct BurstScope {
        explicit BurstScope(COscar* session) { t_burstOwner = session; }
        ~BurstScope() { t_burstOwner = nullptr; }
    };
    std::exception_ptr failure;
    {
        CTransaction transaction;
        const uint32_t start = GetTick();
        int handled = 0;
        BurstScope scope(this);
        try {
            // The traffic counters of the burst's frames are written once, with its rows.
            CounterBatch counters(*this);
            // The burst that carries the sign-on's own row is the sign-on's storm.
            const bool storm = accountSaveOwed_;
            SaveOwedAccount();
            const int maxFrames = storm ? kMaxSignOnBurstFrames : kMaxBurstFrames;
            auto withinBounds = [&] {
                return handled < maxFrames && GetTick() - start < kMaxBurstMs && !StopRequested();
            };
            auto more = [&] { return withinBounds() && Status() != -1; };
            // Frames kept during sign-on come first, in arrival order.
            while (withinBounds()) {
                std::unique_ptr<COscarPacket> kept = TakeDeferred();
                if (!kept) break;
                DispatchFrame(*kept);
                ++handled;
            }
            // In the sign-on's storm, what arrives while the burst is handled joins it (the
            // storm comes faster than one read takes it in): one commit rather than one per
            // read. Later bursts keep to what was read, so that other threads (the window
            // among them) wait for the profile a few milliseconds at most.
            COscarPacket frame;
            while (more()) {
                if (!serviceIn_.Next(frame)) {
                    if (!storm || serviceIn_.Failed() || FillLink(Link::Service) == 0 ||
                        !serviceIn_.Next(frame)) {
                        break;
                    }
                }
                DispatchFrame(frame);
                ++handled;
            }
            if (AvatarActive()) {
                try {
                    while (more() && avatarIn_.Next(frame)) {
                        HandleIncoming_Avatar(*this, frame);
                        ++handled;
                    }
                } catch (const CError& e) {
                    WriteLogFormat(kGeneralLog, u"ReceiveAvat():CError %d catched", e.Code());
                    afterBurst_.push_back([this] { DropAvatarConnection(); });
                }
            }
            // A room's frames cost at most that room.
            if (more()) handled += chat_->HandleFrames(maxFrames - handled);
        } catch (...) {
            // What was handled before the error is kept; what it wanted to send is not.
            failure = std::current_exception();
            afterBurst_.clear();
        }
        transaction.Commit();
    }
    if (failure) std::rethrow_exception(failure);
    // What the burst sends is counted into the next commit, not one of its own.
    CounterBatch counters(*this);
    RunAfterBurst();
}

void COscar::SaveOwedAccount() {
    if (!accountSaveOwed_) return;
    accountSaveOwed_ = false;
    CTransaction transaction;
    dbSave();
    Contacts().dbCleanGroups(this);
    transaction.Commit();
}

void COscar::HandleIncomingFromDisconnectChannel(const COscarPacket& frame) {
    TlvList tlvs;
    tlvs.Parse(frame.frameData());
    // The reason is one byte from some servers, two from others. 1 is the same account signed
    // on elsewhere; no reason at all is a server going down (for a restart, as a rule).
    const Tlv* reason = tlvs.Find(0x0009);
    int32_t code = errcode::kDisconnectNoReason;
    if (reason) {
        const uint16_t value = reason->length == 1 ? reason->AsU8() : reason->AsU16();
        code = value == 1 ? errcode::kSignedOnElsewhere : errcode::kDisconnectOther;
    }
    throw CError(u"COscar::HandleIncomingFromDisconnectChannel", code);
}

CAccount::SessionStep COscar::EndAfterError(int32_t code) {
    CloseConnections();
    if (SessionRunning() && !StopRequested()) {
        WriteLog(kGeneralLog, u"MainThreadBody(): CError catched");
        if (HandleSessionError(code)) {
            afterBareSignOff_ = false;
            return SessionStep::kEnd;
        }
        return SessionStep::kReconnect;
    }
    reconnectAttempts_ = 0;
    afterBareSignOff_ = false;
    return SessionStep::kEnd;
}

int64_t COscar::NextReconnectDelayMs() {
    const int doublings = std::min(reconnectAttempts_++, 8);
    const int64_t base =
        std::min<int64_t>(kFirstReconnectDelayMs << doublings, kLongestReconnectDelayMs);
    return base + static_cast<int64_t>(Random32() % static_cast<uint32_t>(base / 5 + 1));
}

bool COscar::HandleSessionError(int32_t code) {
    ShowSessionError(std::u16string());
    SetSignedOnElsewhere(code == errcode::kSignedOnElsewhere);
    const auto stopping = [this] {
        reconnectAttempts_ = 0;
        return true;
    };
    // Our own disconnect: the socket was shut or closed under the reader.
    if (code == sockerr::kInterrupted || code == sockerr::kBadSocket ||
        code == sockerr::kConnAborted)
        return stopping();

    const std::u16string text = FormatInt(LoginErrorText(EffectiveType(), code), code);
    if (IsFatalSocketError(code) || IsFatalSessionCode(code) || !Options().ReconnectOnError) {
        SetStatusText(text);
        return stopping();
    }
    // The countdown shows whole seconds, the first of them held a little longer by the jitter.
    int64_t remaining = NextReconnectDelayMs();
    while (remaining > 0) {
        const int64_t shown = std::max<int64_t>(remaining / 1000, 1);
        SetStatusText(text + FormatInt(ResString(1004), shown));
        const int64_t slice = shown == 1 ? remaining : remaining - (shown - 1) * 1000;
        if (WaitForStop(slice)) return stopping();
        remaining -= slice;
    }
    return false;
}

CAccount::SessionStep COscar::RunSession() {
    sessionUpSince_ = GetTick();
    try {
        HandleIncoming_MainThread();
        SaveOwedAccount();
        CloseConnections();
        reconnectAttempts_ = 0;
        return SessionStep::kEnd;
    } catch (const CError& e) {
        SaveOwedAccount();
        const uint32_t lasted = GetTick() - sessionUpSince_;
        if (lasted >= kStableSessionMs) reconnectAttempts_ = 0;
        int32_t code = e.Code();
        if (code == errcode::kDisconnectNoReason) {
            if (afterBareSignOff_ && lasted < kTakingTurnsMs) code = errcode::kSignedOnElsewhere;
            afterBareSignOff_ = true;
        } else {
            afterBareSignOff_ = false;
        }
        return EndAfterError(code);
    }
}

}  // namespace zul
