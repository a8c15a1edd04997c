#include "protocol/services/chat_links.h"

#include <algorithm>
#include <cstring>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_wire.h"
#include "protocol/services/families.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/link_connect.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/options.h"

namespace zul {
namespace {

constexpr int kStrNotInRoom = 1100;
constexpr int kStrNoRooms = 1101;
constexpr int kStrRoomRefused = 1102;
constexpr int kStrCannotConnect = 1103;
constexpr int kStrRoomLost = 1104;
constexpr int kStrRoomAnswerBad = 1105;
constexpr int kStrMoreJoined = 1106;
constexpr int kStrMoreLeft = 1107;
constexpr int kStrBadInvitation = 1108;
constexpr int kStrTooManyRooms = 1109;
constexpr int kStrNoAnswer = 1110;
constexpr int kStrInvited = 1111;
constexpr int kStrDeclined = 1112;

constexpr uint16_t kToolId = 0x0010;
constexpr uint16_t kToolVersion = 0x164F;
// Members who came or went that one frame adds to the history one by one; the rest are
// counted in one line.
constexpr size_t kNamedMemberEvents = 20;
constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxPortLength = 31;
constexpr size_t kMaxCookieLength = 1024;

std::vector<uint8_t> IdBytes(int64_t id) {
    std::vector<uint8_t> out(8);
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(static_cast<uint64_t>(id) >> (56 - 8 * i));
    return out;
}

int64_t IdOf(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 8) return 0;
    uint64_t id = 0;
    for (uint8_t b : bytes) id = id << 8 | b;
    return static_cast<int64_t>(id);
}

std::array<uint8_t, 8> RandomCookie() {
    std::array<uint8_t, 8> cookie{};
    const uint32_t a = Random32();
    const uint32_t b = Random32();
    for (int i = 0; i < 4; ++i) {
        cookie[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
        cookie[4 + i] = static_cast<uint8_t>(b >> (24 - 8 * i));
    }
    return cookie;
}

bool Active(RoomState state) {
    return state == RoomState::kIn || state == RoomState::kJoining;
}

void Notice(const RoomPtr& room, std::u16string text) {
    RoomEvent event;
    event.kind = RoomEvent::kNotice;
    event.text = std::move(text);
    room->AddEvent(std::move(event));
}

}  // namespace

struct ChatLinks::Link {
    enum class Role { kNav, kRoom } role = Role::kRoom;
    int64_t room = 0;
    SocketHandle socket = kInvalidSocket;
    FrameBuffer in;
    uint16_t sequence = 0;
    RateClassTable rates;
    std::deque<std::vector<uint8_t>> out;
    uint32_t since = GetTick();
    bool ready = false;   // signed on: the client-ready frame went out
    bool listed = false;  // the room's first member list has come
    bool dead = false;
    std::u16string problem;
    // The connect under way beside the receive loop, and the cookie the link signs on with.
    std::unique_ptr<LinkConnect> connecting;
    std::string cookie;

    uint16_t Family() const { return role == Role::kNav ? kNavFamily : kRoomFamily; }
};

ChatLinks::ChatLinks(COscar& session) : session_(session) {}

ChatLinks::~ChatLinks() {
    for (auto& link : links_) {
        if (link->socket != kInvalidSocket) CloseSocket(link->socket);
    }
}

ChatLinks::Link* ChatLinks::NavLink() {
    for (auto& link : links_) {
        if (link->role == Link::Role::kNav && !link->dead) return link.get();
    }
    return nullptr;
}

ChatLinks::Link* ChatLinks::RoomLink(int64_t room) {
    for (auto& link : links_) {
        if (link->role == Link::Role::kRoom && link->room == room && !link->dead) return link.get();
    }
    return nullptr;
}

RoomPtr ChatLinks::RoomOf(const std::vector<uint8_t>& idBytes) {
    return session_.Rooms().Find(IdOf(idBytes));
}

size_t ChatLinks::ActiveRooms() const {
    size_t n = 0;
    for (const RoomPtr& room : session_.Rooms().All()) n += Active(room->State()) ? 1 : 0;
    return n;
}

// --- the receive loop --------------------------------------------------------------------------

size_t ChatLinks::WatchSockets(SocketHandle* out, size_t capacity) {
    watched_.clear();
    for (auto& link : links_) {
        if (watched_.size() >= capacity) break;
        if (link->dead) continue;
        const SocketHandle watch = link->connecting ? link->connecting->Handle() : link->socket;
        if (watch == kInvalidSocket) continue;
        out[watched_.size()] = watch;
        watched_.push_back(link.get());
    }
    return watched_.size();
}

void ChatLinks::Fill(int ready, int firstBit) {
    for (size_t i = 0; i < watched_.size(); ++i) {
        if ((ready & (1 << (firstBit + static_cast<int>(i)))) == 0) continue;
        Link& link = *watched_[i];
        if (link.connecting) {
            FinishConnect(link);
            continue;
        }
        uint32_t received = 0;
        link.in.Fill(link.socket, &received);
        if (received) session_.AddBytesIn(received);
    }
}

bool ChatLinks::FramesWaiting() const {
    return std::any_of(links_.begin(), links_.end(), [](const auto& link) {
        return !link->dead && link->socket != kInvalidSocket &&
               (link->in.HasFrame() || link->in.Failed());
    });
}

int ChatLinks::HandleFrames(int budget) {
    int handled = 0;
    COscarPacket frame;
    for (size_t i = 0; i < links_.size() && handled < budget; ++i) {
        Link& link = *links_[i];
        while (!link.dead && link.socket != kInvalidSocket && handled < budget) {
            try {
                if (!link.in.Next(frame)) break;
            } catch (const CError& e) {
                WriteLogFormat(kGeneralLog, u"Chat link lost (%d)", e.Code());
                Drop(link, ResString(kStrRoomLost));
                break;
            }
            ++handled;
            try {
                HandleLinkFrame(link, frame);
            } catch (const CError& e) {
                WriteLogFormat(kGeneralLog, u"Chat link frame failed (%d)", e.Code());
                Drop(link, ResString(kStrRoomLost));
            }
        }
    }
    Sweep();
    return handled;
}

int64_t ChatLinks::Drain() {
    int64_t next = -1;
    COscarPacket frame;
    for (auto& owned : links_) {
        Link& link = *owned;
        while (!link.dead && link.socket != kInvalidSocket && !link.out.empty()) {
            const std::vector<uint8_t>& bytes = link.out.front();
            std::memcpy(frame.data, bytes.data(), bytes.size());
            frame.size = static_cast<int32_t>(bytes.size());
            if (frame.channel() == channel::kSnac) {
                const int64_t wait =
                    COscar::RateWaitIn(link.rates, frame.family(), frame.subtype());
                if (wait > 0) {
                    next = next < 0 ? wait : std::min(next, wait);
                    break;
                }
                COscar::RecordRateSendIn(link.rates, frame.family(), frame.subtype());
            }
            link.out.pop_front();
            try {
                SendSignOnStep(link, frame);
            } catch (const CError& e) {
                WriteLogFormat(kGeneralLog, u"Chat link send failed (%d)", e.Code());
                Drop(link, ResString(kStrRoomLost));
            }
        }
    }
    Sweep();
    return next;
}

void ChatLinks::SendSignOnStep(Link& link, const COscarPacket& frame) {
    COscarPacket copy;
    std::memcpy(copy.data, frame.data, static_cast<size_t>(frame.size));
    copy.size = frame.size;
    link.sequence = static_cast<uint16_t>((link.sequence + 1) & 0x7FFF);
    uint32_t sent = 0;
    copy.Send(link.socket, link.sequence, &sent);
    if (sent) session_.AddBytesOut(sent);
}

void ChatLinks::Queue(Link& link, const COscarPacket& frame) {
    if (link.out.size() >= COscar::kMaxQueuedFrames) {
        WriteLog(kGeneralLog, u"Chat link queue full: frame dropped");
        return;
    }
    link.out.emplace_back(frame.data, frame.data + frame.size);
    session_.SessionWake().Signal();
}

void ChatLinks::Drop(Link& link, std::u16string problem) {
    if (link.dead) return;
    link.dead = true;
    link.problem = std::move(problem);
}

void ChatLinks::Sweep() {
    for (auto it = links_.begin(); it != links_.end();) {
        Link& link = **it;
        if (!link.dead) {
            ++it;
            continue;
        }
        if (link.socket != kInvalidSocket) CloseSocket(link.socket);
        if (link.role == Link::Role::kNav) {
            navAsked_ = false;
            std::vector<int64_t> waiting;
            waiting.swap(waitingForNav_);
            for (int64_t id : waiting) {
                if (RoomPtr room = session_.Rooms().Find(id)) Fail(room, link.problem);
            }
        } else if (RoomPtr room = session_.Rooms().Find(link.room); room && Active(room->State())) {
            room->SetState(RoomState::kFailed, link.problem);
            Notice(room, link.problem);
        }
        it = links_.erase(it);
    }
    watched_.clear();
}

void ChatLinks::CloseAll() {
    for (auto& link : links_) {
        if (link->socket == kInvalidSocket) continue;
        if (link->ready) {
            try {
                SendSignOnStep(*link, COscarPacket::Bare(channel::kDisconnect));
            } catch (const CError&) {
                // The room's server hears of it by the closed connection.
            }
        }
        CloseSocket(link->socket);
    }
    links_.clear();
    watched_.clear();
    waitingForNav_.clear();
    byReference_.clear();
    navAsked_ = false;
    rejoined_ = false;
    for (const RoomPtr& room : session_.Rooms().All()) {
        if (Active(room->State())) room->SetState(RoomState::kOut);
    }
}

void ChatLinks::Idle() {
    // A connect whose end could not wake the loop is looked at here.
    for (size_t i = 0; i < links_.size(); ++i) {
        if (links_[i]->connecting && !links_[i]->dead) FinishConnect(*links_[i]);
    }
    for (CAccount::RoomCommand& command : session_.TakeRoomCommands()) RunCommand(command);
    if (!rejoined_) {
        rejoined_ = true;
        if (Options().RejoinRooms) {
            for (const RoomPtr& room : session_.Rooms().All()) {
                if (room->Kept() && !Active(room->State())) Join(room);
            }
        }
    }
    for (const PendingRequest& request : session_.Pending().TakeExpired(
             {kPendingNavService, kPendingRoomService, kPendingCreateRoom, kPendingRoomInfo},
             GetTick(), kAnswerTimeoutMs)) {
        if (request.kind == kPendingNavService) {
            navAsked_ = false;
            std::vector<int64_t> waiting;
            waiting.swap(waitingForNav_);
            for (int64_t id : waiting) {
                if (RoomPtr room = session_.Rooms().Find(id)) Fail(room, ResString(kStrNoAnswer));
            }
        } else if (RoomPtr room = RoomOf(request.data)) {
            Fail(room, ResString(kStrNoAnswer));
        }
    }
    const uint32_t now = GetTick();
    const uint32_t limit = static_cast<uint32_t>(SocketIoTimeoutMs());
    for (auto& link : links_) {
        if (link->socket == kInvalidSocket ? now - link->since > kAnswerTimeoutMs
                                           : link->in.Stalled(now, limit)) {
            Drop(*link, ResString(kStrRoomLost));
        }
    }
    Sweep();
}

// --- connecting ---------------------------------------------------------------------------------

void ChatLinks::Open(std::unique_ptr<Link> owned, const std::string& address,
                     const std::string& cookie) {
    const size_t colon = address.find(':');
    std::string host = address.substr(0, colon);
    std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
    host = host.substr(0, host.find('\0'));
    port = port.substr(0, port.find('\0'));
    if (port.empty()) port = ToUtf8(session_.Port());
    Link* link = owned.get();
    links_.push_back(std::move(owned));
    if (host.empty() || host.size() > kMaxHostLength || port.size() > kMaxPortLength ||
        cookie.empty() || cookie.size() > kMaxCookieLength) {
        WriteLog(kGeneralLog, u"Chat redirect with an unusable address or cookie, refused");
        Drop(*link, ResString(kStrRoomAnswerBad));
        return;
    }
    // The connect happens beside the receive loop, which signs the link on once it is up.
    link->cookie = cookie;
    link->connecting = std::make_unique<LinkConnect>(host, port, LinkTrust(session_));
}

void ChatLinks::FinishConnect(Link& link) {
    if (!link.connecting || !link.connecting->Finished()) return;
    LinkConnect::Outcome outcome = link.connecting->Take();
    link.connecting.reset();
    if (outcome.socket == kInvalidSocket) {
        WriteLogFormat(kGeneralLog, u"Chat link connect failed (%d)", outcome.error);
        if (!outcome.question.Empty())
            session_.AskAboutCertificate(outcome.question, outcome.changed);
        Drop(link, FormatInt(ResString(kStrCannotConnect), outcome.error));
        Sweep();
        return;
    }
    link.socket = outcome.socket;
    link.in.Reset();
    COscarPacket signOn = COscarPacket::CookieSignOn(std::string_view(link.cookie));
    link.cookie.clear();
    Queue(link, signOn);
}

bool ChatLinks::HandleRedirect(const COscarPacket& frame, uint32_t pendingKind,
                               const std::vector<uint8_t>& pendingData) {
    if (pendingKind != kPendingNavService && pendingKind != kPendingRoomService) return false;
    TlvList tlvs;
    tlvs.Parse(frame.snacData());
    const Tlv* family = tlvs.Find(0x000D);
    const Tlv* address = tlvs.Find(0x0005);
    const Tlv* cookie = tlvs.Find(0x0006);
    const uint16_t expected = pendingKind == kPendingNavService ? kNavFamily : kRoomFamily;
    const bool usable = address && cookie && (!family || family->AsU16() == expected);
    auto link = std::make_unique<Link>();
    if (pendingKind == kPendingNavService) {
        navAsked_ = false;
        if (NavLink()) return true;
        link->role = Link::Role::kNav;
    } else {
        RoomPtr room = RoomOf(pendingData);
        if (!room || room->State() != RoomState::kJoining || RoomLink(room->Id())) return true;
        link->room = room->Id();
    }
    if (!usable) WriteLog(kGeneralLog, u"Chat redirect without address or cookie");
    Open(std::move(link), usable ? address->AsString() : std::string(),
         usable ? cookie->AsString() : std::string());
    return true;
}

bool ChatLinks::HandleServiceError(const COscarPacket& frame) {
    const uint32_t requestId = frame.requestId();
    if (requestId == 0 || requestId > 0xFFFF) return false;
    const std::optional<PendingRequest> pending =
        session_.Pending().Find(static_cast<uint16_t>(requestId));
    if (!pending || (pending->kind != kPendingNavService && pending->kind != kPendingRoomService)) {
        return false;
    }
    session_.Pending().Remove(pending->id);
    if (pending->kind == kPendingNavService) {
        navAsked_ = false;
        std::vector<int64_t> waiting;
        waiting.swap(waitingForNav_);
        for (int64_t id : waiting) {
            if (RoomPtr room = session_.Rooms().Find(id)) Fail(room, ResString(kStrNoRooms));
        }
    } else if (RoomPtr room = RoomOf(pending->data)) {
        Fail(room, ResString(kStrRoomRefused));
    }
    return true;
}

// --- the links' frames ---------------------------------------------------------------------------

void ChatLinks::HandleLinkFrame(Link& link, COscarPacket& frame) {
    if (frame.channel() == channel::kDisconnect) {
        Drop(link, ResString(kStrRoomLost));
        return;
    }
    if (frame.channel() != channel::kSnac) return;
    if (frame.family() == link.Family()) {
        if (link.role == Link::Role::kNav) {
            HandleNavFrame(link, frame);
        } else {
            HandleRoomFrame(link, frame);
        }
        return;
    }
    if (frame.family() != 0x0001) return;
    switch (frame.subtype()) {
        case 0x03: {
            COscarPacket versions = COscarPacket::Snac(0x01, 0x17);
            versions.AppendWordPair(0x0001, 0x0004);
            versions.AppendWordPair(link.Family(), 0x0001);
            Queue(link, versions);
            break;
        }
        case 0x18:
            Queue(link, COscarPacket::Snac(0x01, 0x06));
            break;
        case 0x07: {
            AssignRateClasses(link.rates, frame.snacData());
            COscarPacket ack = COscarPacket::Snac(0x01, 0x08);
            for (uint16_t id : link.rates.Ids()) ack.AppendU16(id);
            Queue(link, ack);
            COscarPacket ready = COscarPacket::Snac(0x01, 0x02);
            ready.AppendWordPair(0x0001, 0x0004);
            ready.AppendWordPair(kToolId, kToolVersion);
            ready.AppendWordPair(link.Family(), 0x0001);
            ready.AppendWordPair(kToolId, kToolVersion);
            Queue(link, ready);
            LinkReady(link);
            break;
        }
        case 0x0A:
            ApplyRateChange(link.rates, frame.snacData());
            break;
        case 0x01:
            WriteLog(kGeneralLog, u"Chat link: the server reported an error");
            break;
        default:
            break;
    }
}

void ChatLinks::LinkReady(Link& link) {
    if (link.ready) return;
    link.ready = true;
    if (link.role == Link::Role::kNav) {
        Queue(link, COscarPacket::Snac(kNavFamily, 0x02));
        std::vector<int64_t> waiting;
        waiting.swap(waitingForNav_);
        for (int64_t id : waiting) {
            RoomPtr room = session_.Rooms().Find(id);
            if (!room || room->State() != RoomState::kJoining) continue;
            if (std::erase(byReference_, id) > 0) {
                SendRoomInfoRequest(room);
            } else {
                SendCreate(room);
            }
        }
        return;
    }
    if (RoomPtr room = session_.Rooms().Find(link.room)) room->SetState(RoomState::kIn);
}

void ChatLinks::HandleNavFrame(Link& link, COscarPacket& frame) {
    (void)link;
    const uint32_t requestId = frame.requestId();
    std::optional<PendingRequest> pending;
    if (requestId != 0 && requestId <= 0xFFFF) {
        pending = session_.Pending().Find(static_cast<uint16_t>(requestId));
    }
    const bool create = pending && pending->kind == kPendingCreateRoom;
    const bool info = pending && pending->kind == kPendingRoomInfo;
    if (create || info) session_.Pending().Remove(pending->id);
    RoomPtr room = create || info ? RoomOf(pending->data) : nullptr;
    switch (frame.subtype()) {
        case 0x09: {
            const NavInfo nav = ParseNavInfo(frame.snacData());
            if (!room) {
                if (nav.maxRooms) WriteLogFormat(kGeneralLog, u"Rooms at once: %d", *nav.maxRooms);
                break;
            }
            if (!room || room->State() != RoomState::kJoining) break;
            if (!nav.room) {
                WriteLog(kGeneralLog, u"SNAC(0x0D,0x09): no readable room in the answer");
                Fail(room, ResString(kStrRoomAnswerBad));
                break;
            }
            room->SetRef(nav.room->ref);
            AskForRoom(room);
            break;
        }
        case 0x01:
            // A navigation that does not know the invitation's room may still let us in.
            if (info && room && room->State() == RoomState::kJoining) {
                AskForRoom(room);
            } else if (room) {
                Fail(room, ResString(kStrRoomRefused));
            }
            break;
        default:
            break;
    }
}

void ChatLinks::HandleRoomFrame(Link& link, COscarPacket& frame) {
    RoomPtr room = session_.Rooms().Find(link.room);
    if (!room) {
        Drop(link, std::u16string());
        return;
    }
    switch (frame.subtype()) {
        case 0x02:
            if (!ParseRoomInfo(frame.snacData())) {
                WriteLog(kGeneralLog, u"SNAC(0x0E,0x02): unreadable room information, ignored");
            }
            break;
        case 0x03:
        case 0x04: {
            std::optional<std::vector<std::u16string>> names = ParseRoomUsers(frame.snacData());
            if (!names) {
                WriteLog(kGeneralLog, u"SNAC(0x0E,0x03/4): unreadable member list, ignored");
                break;
            }
            MembersChanged(link, room, frame.subtype() == 0x03, *names);
            break;
        }
        case 0x06: {
            std::optional<RoomMessage> message = ParseRoomMessage(frame.snacData());
            if (!message) {
                WriteLog(kGeneralLog, u"SNAC(0x0E,0x06): unreadable room message, not stored");
                break;
            }
            // Our own words come back only from a server that reflects them; they are stored.
            if (message->text.empty() || SameLogin(message->sender, session_.Login())) break;
            RoomEvent event;
            event.kind = RoomEvent::kIncoming;
            event.who = std::move(message->sender);
            event.text = std::move(message->text);
            room->AddEvent(std::move(event));
            break;
        }
        default:
            break;
    }
}

void ChatLinks::MembersChanged(Link& link, const RoomPtr& room, bool joined,
                               const std::vector<std::u16string>& names) {
    const std::vector<std::u16string> changed =
        joined ? room->AddMembers(names) : room->RemoveMembers(names);
    // The first list tells who is there already: nobody came.
    if (joined && !link.listed) {
        link.listed = true;
        return;
    }
    size_t named = 0;
    size_t more = 0;
    for (const std::u16string& name : changed) {
        if (SameLogin(name, session_.Login())) continue;
        if (named == kNamedMemberEvents) {
            ++more;
            continue;
        }
        ++named;
        RoomEvent event;
        event.kind = joined ? RoomEvent::kJoined : RoomEvent::kLeft;
        event.who = name;
        room->AddEvent(std::move(event));
    }
    if (more > 0) Notice(room, FormatInt(ResString(joined ? kStrMoreJoined : kStrMoreLeft), more));
}

// --- what the user asks
// ---------------------------------------------------------------------------

void ChatLinks::RunCommand(CAccount::RoomCommand& command) {
    using Command = CAccount::RoomCommand;
    switch (command.kind) {
        case Command::kJoin:
            if (RoomPtr room = session_.Rooms().Open(command.exchange, command.name)) {
                Join(room);
            } else {
                WriteLog(kGeneralLog, u"Join room: the name is empty or too long");
            }
            break;
        case Command::kLeave:
            if (RoomPtr room = session_.Rooms().Find(command.room)) Leave(room);
            break;
        case Command::kSay:
            if (RoomPtr room = session_.Rooms().Find(command.room)) Say(room, command.text);
            break;
        case Command::kInvite:
            if (RoomPtr room = session_.Rooms().Find(command.room)) {
                Invite(room, command.name, command.text);
            }
            break;
        case Command::kAccept:
            Accept(command.invitation);
            break;
        case Command::kDecline:
            Decline(command.invitation);
            break;
    }
}

void ChatLinks::Fail(const RoomPtr& room, std::u16string problem) {
    std::erase(waitingForNav_, room->Id());
    std::erase(byReference_, room->Id());
    if (Link* link = RoomLink(room->Id())) Drop(*link, problem);
    if (room->State() == RoomState::kOut && problem.empty()) return;
    room->SetState(RoomState::kFailed, problem);
    Notice(room, std::move(problem));
}

void ChatLinks::Join(const RoomPtr& room) {
    if (Active(room->State())) return;
    if (ActiveRooms() >= kMaxRooms) {
        Fail(room, ResString(kStrTooManyRooms));
        return;
    }
    if (!room->Kept()) room->SetKept(true);
    room->SetState(RoomState::kJoining);
    WaitForNavigation(room, false);
}

void ChatLinks::WaitForNavigation(const RoomPtr& room, bool byReference) {
    if (Link* nav = NavLink(); nav && nav->ready) {
        if (byReference) {
            SendRoomInfoRequest(room);
        } else {
            SendCreate(room);
        }
        return;
    }
    waitingForNav_.push_back(room->Id());
    if (byReference) byReference_.push_back(room->Id());
    AskForNavigation();
}

void ChatLinks::AskForNavigation() {
    if (navAsked_ || NavLink()) return;
    navAsked_ = true;
    const uint16_t id = session_.Pending().Add(kPendingNavService);
    COscarPacket request = COscarPacket::Snac(0x01, 0x04, id);
    request.AppendU16(kNavFamily);
    if (session_.UseTls()) request.AppendTlv(kTlvAskForTls, std::string_view());
    session_.SendFrame(zul::Link::Service, request);
}

void ChatLinks::SendCreate(const RoomPtr& room) {
    Link* nav = NavLink();
    if (!nav) return;
    const uint16_t id =
        session_.Pending().Add(kPendingCreateRoom, room->Name(), IdBytes(room->Id()));
    COscarPacket request = COscarPacket::Snac(kNavFamily, 0x08, id);
    AppendCreateRoom(request, room->Exchange(), room->Name());
    Queue(*nav, request);
}

void ChatLinks::SendRoomInfoRequest(const RoomPtr& room) {
    Link* nav = NavLink();
    const std::optional<RoomRef> ref = room->Ref();
    if (!nav || !ref) return;
    const uint16_t id = session_.Pending().Add(kPendingRoomInfo, room->Name(), IdBytes(room->Id()));
    COscarPacket request = COscarPacket::Snac(kNavFamily, 0x04, id);
    AppendRoomRef(request, *ref);
    request.AppendU8(0x01);  // detail level
    Queue(*nav, request);
}

void ChatLinks::AskForRoom(const RoomPtr& room) {
    const std::optional<RoomRef> ref = room->Ref();
    if (!ref) return;
    const uint16_t id =
        session_.Pending().Add(kPendingRoomService, room->Name(), IdBytes(room->Id()));
    COscarPacket request = COscarPacket::Snac(0x01, 0x04, id);
    request.AppendU16(kRoomFamily);
    request.AppendTlv(0x0001, RoomRefBytes(*ref));
    if (session_.UseTls()) request.AppendTlv(kTlvAskForTls, std::string_view());
    session_.SendFrame(zul::Link::Service, request);
}

void ChatLinks::Leave(const RoomPtr& room) {
    std::erase(waitingForNav_, room->Id());
    std::erase(byReference_, room->Id());
    room->SetKept(false);
    room->SetState(RoomState::kOut);
    for (auto it = links_.begin(); it != links_.end(); ++it) {
        Link& link = **it;
        if (link.role != Link::Role::kRoom || link.room != room->Id()) continue;
        if (link.socket != kInvalidSocket) {
            try {
                if (link.ready) SendSignOnStep(link, COscarPacket::Bare(channel::kDisconnect));
            } catch (const CError&) {
                // Gone already: closing is all that is left.
            }
            CloseSocket(link.socket);
        }
        links_.erase(it);
        watched_.clear();
        break;
    }
}

void ChatLinks::Say(const RoomPtr& room, const std::u16string& text) {
    Link* link = RoomLink(room->Id());
    if (!link || !link->ready || room->State() != RoomState::kIn) {
        Notice(room, ResString(kStrNotInRoom));
        return;
    }
    COscarPacket frame = COscarPacket::Snac(kRoomFamily, 0x05);
    const std::array<uint8_t, 8> cookie = RandomCookie();
    uint64_t value = 0;
    for (uint8_t b : cookie) value = value << 8 | b;
    AppendRoomMessage(frame, value, text);
    Queue(*link, frame);
    RoomEvent event;
    event.kind = RoomEvent::kOutgoing;
    event.who = session_.Login();
    event.text = text;
    room->AddEvent(std::move(event));
}

void ChatLinks::Invite(const RoomPtr& room, const std::u16string& login,
                       const std::u16string& text) {
    const std::optional<RoomRef> ref = room->Ref();
    if (room->State() != RoomState::kIn || !ref || !IsUsableLogin(login)) {
        Notice(room, ResString(kStrNotInRoom));
        return;
    }
    COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
    AppendRoomInvitation(frame, RandomCookie(), ToUtf8(login), *ref, text);
    session_.SendFrame(zul::Link::Service, frame);
    std::u16string line = ResString(kStrInvited);
    if (const size_t at = line.find(u"%s"); at != std::u16string::npos) line.replace(at, 2, login);
    Notice(room, std::move(line));
}

void ChatLinks::Accept(uint32_t id) {
    std::optional<RoomInvitation> invitation = session_.Rooms().TakeInvitation(id);
    if (!invitation || !invitation->problem.empty()) return;
    RoomPtr room =
        session_.Rooms().Open(invitation->ref.exchange, RoomNameOfCookie(invitation->ref.cookie));
    if (!room) {
        WriteLog(kGeneralLog, u"Invitation: the room's name cannot be kept");
        return;
    }
    if (Active(room->State())) return;
    if (ActiveRooms() >= kMaxRooms) {
        Fail(room, ResString(kStrTooManyRooms));
        return;
    }
    room->SetRef(invitation->ref);
    if (!room->Kept()) room->SetKept(true);
    room->SetState(RoomState::kJoining);
    // Servers let a room in once its navigation has been asked about it, as other clients do.
    WaitForNavigation(room, true);
}

void ChatLinks::Decline(uint32_t id) {
    std::optional<RoomInvitation> invitation = session_.Rooms().TakeInvitation(id);
    if (!invitation || !invitation->problem.empty() || invitation->cookie.size() != 8) return;
    std::array<uint8_t, 8> cookie{};
    std::copy(invitation->cookie.begin(), invitation->cookie.end(), cookie.begin());
    COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
    AppendInvitationDecline(frame, cookie, ToUtf8(invitation->from));
    session_.SendFrame(zul::Link::Service, frame);
    WriteLog(kGeneralLog, ResString(kStrDeclined) + u": " + invitation->from);
}

bool ChatLinks::HandleInvitation(const COscarPacket& frame) {
    RoomInvitationWire wire;
    const InvitationParse parsed = ParseRoomInvitation(frame.snacData(), wire);
    if (parsed == InvitationParse::kNotAnInvitation) return false;
    if (!IsUsableLogin(wire.from)) {
        WriteLog(kGeneralLog, u"Room invitation from an unusable sender, dropped");
        return true;
    }
    if (parsed == InvitationParse::kOk && wire.kind != 0) {
        WriteLog(kGeneralLog, u"Room invitation answered by " + wire.from);
        return true;
    }
    RoomInvitation invitation;
    invitation.from = wire.from;
    invitation.stranger = !session_.Contacts().FindContact(&session_, wire.from);
    if (parsed == InvitationParse::kMalformed) {
        WriteLog(kGeneralLog, u"Room invitation with a damaged room reference from " + wire.from);
        invitation.problem = ResString(kStrBadInvitation);
    } else {
        invitation.roomName = RoomNameOfCookie(wire.ref.cookie);
        invitation.ref = std::move(wire.ref);
        invitation.text = std::move(wire.text);
        invitation.cookie.assign(wire.cookie.begin(), wire.cookie.end());
    }
    session_.Rooms().AddInvitation(std::move(invitation));
    return true;
}

}  // namespace zul
