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
    std::lock_guard lock(socketMutex_);
    SocketShutdown(serviceSocket_);
    SocketShutdown(avatarSocket_);
}

void COscar::CloseConnections() {
    std::lock_guard lock(socketMutex_);
    CloseSocket(serviceSocket_);
    CloseSocket(avatarSocket_);
    SetAvatarActive(false);
}

void COscar::DropAvatarConnection() {
    {
        std::lock_guard lock(socketMutex_);
        CloseSocket(avatarSocket_);
    }
    avatarRates_.Clear();
    SetAvatarActive(false);
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
