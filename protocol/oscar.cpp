#include "protocol/oscar.h"

#include "accounts/accounts.h"
#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/services/chat_links.h"
#include "protocol/services/families.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"
#include "storage/options.h"

namespace zul {

COscar::COscar(const CAccountData& data, CContacts& contacts, std::string profileFolder)
    : CAccount(data, contacts, std::move(profileFolder)),
      chat_(std::make_unique<ChatLinks>(*this)) {
    // An account that was online when it was last saved connects again in that status.
    if (Options().RestoreLastStatusesOnStart && Enabled() && LastStatus() != -1) {
        RequestStatus(LastStatus());
    }
}

COscar::~COscar() {
    StopSessionForDestruction();
}

void COscar::ResetSession() {
    DropDeferred();
    pending_.Clear();
    avatarQueue_.Clear();
    awayQueries_.Clear();
    serviceRates_.Clear();
    avatarRates_.Clear();
    noteOnServer_.store(false);
    avatarReady_.store(false);
    pictureItemId_.store(0);
    pictureUploadOwed_.store(false);
    announcedPicture_.reset();
}

void COscar::SayGoodbye(Link link) {
    // Never waits: a frame another thread has half sent, or a full send buffer, leaves the
    // close to speak alone.
    std::unique_lock send(sendMutex_, std::try_to_lock);
    if (!send.owns_lock()) return;
    std::lock_guard lock(socketMutex_);
    const SocketHandle socket = Socket(link);
    if (socket == kInvalidSocket) return;
    const uint16_t sequence = NextSequence(link);
    const uint8_t frame[6] = {0x2A,
                              channel::kDisconnect,
                              static_cast<uint8_t>(sequence >> 8),
                              static_cast<uint8_t>(sequence),
                              0x00,
                              0x00};
    SocketSendNow(socket, frame, sizeof frame);
}

void COscar::ShutdownConnections() {
    // The server hears the client leave (a sign-off frame) before the connection goes.
    if (!ShutMark(Link::Service).exchange(true)) SayGoodbye(Link::Service);
    if (!ShutMark(Link::Avatar).exchange(true)) SayGoodbye(Link::Avatar);
    std::lock_guard lock(socketMutex_);
    SocketShutdown(serviceSocket_);
    SocketShutdown(avatarSocket_);
}

void COscar::CloseConnections() {
    // A frame another thread is sending fails at once on a socket shut down; the descriptors
    // are given back under the send lock, so that no send reaches their numbers once they
    // are reused.
    ShutdownConnections();
    {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(socketMutex_);
        CloseSocket(serviceSocket_);
        CloseSocket(avatarSocket_);
        SetAvatarActive(false);
    }
    SetAvatarConnect(nullptr);
    // The rooms' links belong to the session thread. Their rooms are marked out with none of
    // the session's locks held: that takes the profile's lock, which comes first.
    chat_->CloseAll();
}

void COscar::DropAvatarConnection() {
    // Closing takes the send lock, which a status change on another thread may hold across
    // a rate wait: never inside a burst.
    AfterBurst([this] {
        SetAvatarConnect(nullptr);
        CloseLink(Link::Avatar);
        // What was queued for that connection never reaches the next one before its sign-on.
        ClearQueue(Link::Avatar);
        RequeuePictureRequests(*this);
        avatarRates_.Clear();
        SetAvatarSharesRates(false);
        SetAvatarActive(false);
        SetAvatarReady(false);
    });
}

void COscar::ConnectLink(Link link, const std::string& host, const std::string& port,
                         bool showProgress) {
    Connect(this, SocketSlot(link), host, port, showProgress, [this, link](SocketHandle& handle) {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(socketMutex_);
        CreateSocket(handle);
        ShutMark(link).store(false);
        In(link).Reset();
    });
}

void COscar::StartAvatarConnect(const std::string& host, const std::string& port,
                                std::string cookie) {
    avatarCookie_ = std::move(cookie);
    SetAvatarConnect(std::make_unique<LinkConnect>(host, port, LinkTrust(*this)));
}

void COscar::FinishAvatarConnect() {
    if (!avatarConnect_ || !avatarConnect_->Finished()) return;
    LinkConnect::Outcome outcome = avatarConnect_->Take();
    SetAvatarConnect(nullptr);
    if (outcome.socket == kInvalidSocket) {
        WriteLogFormat(kGeneralLog, u"Avatar connection failed (%d)", outcome.error);
        if (!outcome.question.Empty()) AskAboutCertificate(outcome.question, outcome.changed);
        DropAvatarConnection();
        return;
    }
    {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(socketMutex_);
        if (avatarSocket_ != kInvalidSocket) CloseSocket(avatarSocket_);
        avatarSocket_ = outcome.socket;
        ShutMark(Link::Avatar).store(false);
        avatarIn_.Reset();
    }
    SetAvatarActive(true);
    COscarPacket signOn = COscarPacket::CookieSignOn(std::string_view(avatarCookie_));
    avatarCookie_.clear();
    try {
        if (SessionRunning() && Status() != -1) SendFrame(Link::Avatar, signOn);
    } catch (const CError& e) {
        WriteLogFormat(kGeneralLog, u"SendAvat():CError %d catched", e.Code());
        DropAvatarConnection();
    }
}

void COscar::CloseLink(Link link) {
    if (!ShutMark(link).exchange(true)) SayGoodbye(link);
    {
        std::lock_guard lock(socketMutex_);
        SocketShutdown(Socket(link));
    }
    std::lock_guard send(sendMutex_);
    std::lock_guard lock(socketMutex_);
    CloseSocket(SocketSlot(link));
}

void COscar::AdoptSocket(Link link, SocketHandle socket) {
    std::lock_guard send(sendMutex_);
    std::lock_guard lock(socketMutex_);
    SocketHandle& slot = SocketSlot(link);
    if (slot != kInvalidSocket && slot != socket) CloseSocket(slot);
    slot = socket;
    In(link).Reset();
}

namespace {

// Takes the lock if no other thread holds it and gives it back at once.
template <typename Lock>
bool IsFree(Lock& lock) {
    if (!lock.try_lock()) return false;
    lock.unlock();
    return true;
}

}  // namespace

std::string COscar::HeldSessionLocks() {
    const std::pair<const char*, bool> locks[] = {
        {"command", IsFree(commandMutex_)},
        {"send", IsFree(sendMutex_)},
        {"sequence", IsFree(sequenceMutex_)},
        {"service rates", IsFree(serviceRates_.Mutex())},
        {"avatar rates", IsFree(avatarRates_.Mutex())},
        {"pending", IsFree(pending_.Mutex())},
        {"avatar queue", IsFree(avatarQueue_.Mutex())},
        {"socket", IsFree(socketMutex_)},
    };
    std::string held;
    for (const auto& [name, free] : locks) {
        if (free) continue;
        if (!held.empty()) held += ", ";
        held += name;
    }
    return held;
}

bool COscar::SendStatus(int32_t status) {
    return SendOwnStatus(*this, status);
}

bool COscar::SendMessageEvent(CHistoryEvent* event) {
    // A queue half full (a server that allows little) keeps the rest of the outbox for later:
    // a message is marked sent only once it is in line to go.
    if (QueuedFrames(Link::Service) >= kMaxQueuedFrames / 2) return false;
    return SendMessage(*this, event);
}

int COscar::ContactAction(CContact* contact) {
    return RemoveBuddyFromServer(*this, contact) ? 1 : 0;
}

bool COscar::RenameOnServer(CContact* contact, const std::u16string& nickname) {
    return RenameBuddyOnServer(*this, contact, nickname);
}

bool COscar::SendTypingNotice(CContact* contact, int state) {
    return zul::SendTypingNotice(*this, contact, state);
}

bool COscar::TakeAwayAnswer(const std::u16string& login) {
    // Bounded: a flood of strangers is answered up to this many, then no more this period.
    constexpr size_t kMostAnswered = 1000;
    if (answeredWhileAway_.size() >= kMostAnswered) return false;
    return answeredWhileAway_.insert(LoginKey(login)).second;
}

bool COscar::WarnContact(CContact* contact, bool anonymous) {
    try {
        return SendWarning(*this, contact, anonymous);
    } catch (const CError&) {
        return false;
    }
}

void COscar::SendProfile() {
    try {
        SendProfileText(*this);
    } catch (const CError&) {
        // The next sign-on sends it.
    }
}

bool COscar::SendOwnPicture() {
    try {
        SendOwnPictureItem(*this);
        return true;
    } catch (const CError&) {
        return false;  // tried again on the next pass
    }
}

bool COscar::AnswerAuthorisation(CContact* contact, bool grant) {
    return zul::AnswerAuthorisation(*this, contact, grant);
}

bool COscar::AskAuthorisation(CContact* contact, const std::u16string& reason) {
    return zul::AskAuthorisation(*this, contact, reason);
}

bool COscar::MoveOnServer(CContact* contact, const std::u16string& group) {
    return MoveBuddyOnServer(*this, contact, group);
}

bool COscar::ChangeGroupOnServer(GroupChange& change) {
    return zul::ChangeGroupOnServer(*this, change);
}

bool COscar::AddOnServer(const ContactToAdd& contact) {
    return AddBuddyOnServer(*this, contact);
}

bool COscar::RequestShortDetails(const std::u16string& login, bool ownDetails) {
    return RequestUserDetails(*this, login, ownDetails);
}

bool COscar::SendSearch(DirectorySearch::By by, const std::u16string& text) {
    return SearchDirectory(*this, by, text);
}

int COscar::SendDetailsRequests(const std::u16string& login) {
    // An ICQ number has a directory entry; every user may have a profile and away message.
    const int parts = RequestFullDetails(*this, login) ? 1 : 0;
    RequestLocationInfo(*this, login);
    return parts + 1;
}

void COscar::ExpireRequests() {
    const std::vector<PendingRequest> expired = pending_.TakeExpired(
        {kPendingBuddyRemoval, kPendingBuddyRename, kPendingBuddyAdd, kPendingBuddyAddAuth,
         kPendingBuddyMove, kPendingFullDetails, kPendingLocationInfo, kPendingAwayMessage,
         kPendingSearch, kPendingGroupAdd, kPendingGroupRename, kPendingGroupDelete,
         kPendingMessage, kPendingPictureItem},
        GetTick(), requestTimeoutMs_.load());
    for (const PendingRequest& request : expired) {
        // A message the server neither acknowledged nor refused is left to the undelivered rule;
        // an away message that never came leaves the status as it is.
        if (request.kind == kPendingMessage || request.kind == kPendingAwayMessage) continue;
        if (request.kind == kPendingFullDetails || request.kind == kPendingLocationInfo) {
            FinishDetailsPart(*this, request.text, false, ResString(kStrNoAnswer));
        } else if (request.kind == kPendingSearch) {
            UpdateSearch([](DirectorySearch& s) {
                if (!s.searching) return;
                s.searching = false;
                if (s.users.empty()) s.error = ResString(kStrNoAnswer);
            });
        } else {
            GiveUpListEdit(*this, request);
        }
    }
}

void RegisterOscarAccounts() {
    SetAccountFactory([](const CAccountData& data, CContacts& contacts,
                         const std::string& folder) -> std::unique_ptr<CAccount> {
        return std::make_unique<COscar>(data, contacts, folder);
    });
}

}  // namespace zul
