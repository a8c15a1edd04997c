#include "protocol/oscar.h"

#include "accounts/accounts.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"
#include "protocol/transport/connection.h"
#include "storage/options.h"

namespace zul {

COscar::COscar(const CAccountData& data, CContacts& contacts, std::string profileFolder)
    : CAccount(data, contacts, std::move(profileFolder)) {
    // An account that was online when it was last saved connects again in that status.
    if (Options().RestoreLastStatusesOnStart && Enabled() && LastStatus() != -1) {
        RequestStatus(LastStatus());
    }
}

COscar::~COscar() { StopSessionForDestruction(); }

void COscar::ResetSession() {
    pending_.Clear();
    avatarQueue_.Clear();
    serviceRates_.Clear();
    avatarRates_.Clear();
}

void COscar::ShutdownConnections() {
    ShutMark(Link::Service).store(true);
    ShutMark(Link::Avatar).store(true);
    std::lock_guard lock(socketMutex_);
    SocketShutdown(serviceSocket_);
    SocketShutdown(avatarSocket_);
}

void COscar::CloseConnections() {
    // A frame another thread is sending fails at once on a socket shut down; the descriptors
    // are given back under the send lock, so that no send reaches their numbers once they
    // are reused.
    ShutdownConnections();
    std::lock_guard send(sendMutex_);
    std::lock_guard lock(socketMutex_);
    CloseSocket(serviceSocket_);
    CloseSocket(avatarSocket_);
    SetAvatarActive(false);
}

void COscar::DropAvatarConnection() {
    CloseLink(Link::Avatar);
    avatarRates_.Clear();
    SetAvatarActive(false);
}

void COscar::ConnectLink(Link link, const std::string& host, const std::string& port,
                         bool showProgress) {
    Connect(this, Socket(link), host, port, showProgress, [this, link](SocketHandle& handle) {
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(socketMutex_);
        CreateSocket(handle);
        ShutMark(link).store(false);
    });
}

void COscar::CloseLink(Link link) {
    ShutMark(link).store(true);
    {
        std::lock_guard lock(socketMutex_);
        SocketShutdown(Socket(link));
    }
    std::lock_guard send(sendMutex_);
    std::lock_guard lock(socketMutex_);
    CloseSocket(Socket(link));
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

bool COscar::SessionLocksFree() {
    return IsFree(threadsMutex_) && IsFree(sendMutex_) && IsFree(sequenceMutex_) &&
           IsFree(serviceRates_.Mutex()) && IsFree(avatarRates_.Mutex()) &&
           IsFree(pending_.Mutex()) && IsFree(avatarQueue_.Mutex()) && IsFree(socketMutex_);
}

bool COscar::SendStatus(int32_t status) { return SendOwnStatus(*this, status); }

bool COscar::SendMessageEvent(CHistoryEvent* event) { return SendMessage(*this, event); }

int COscar::ContactAction(CContact* contact) {
    return RemoveBuddyFromServer(*this, contact) ? 1 : 0;
}

bool COscar::RequestShortDetails(const std::u16string& login, bool ownDetails) {
    return RequestUserDetails(*this, login, ownDetails);
}

void RegisterOscarAccounts() {
    SetAccountFactory([](const CAccountData& data, CContacts& contacts,
                         const std::string& folder) -> std::unique_ptr<CAccount> {
        return std::make_unique<COscar>(data, contacts, folder);
    });
}

}  // namespace zul
