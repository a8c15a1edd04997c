#include "protocol/transport/connection.h"

#include <netinet/in.h>

#include <cctype>
#include <memory>

#include "accounts/account.h"
#include "platform/connection_manager.h"
#include "platform/error.h"
#include "platform/log.h"
#include "platform/power.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tls.h"

namespace zul {
namespace {

std::mutex g_requestMutex;
// The connection manager's connection once established; null before.
std::shared_ptr<IConnectionManager> g_established;

std::shared_ptr<IConnectionManager> Established() {
    std::lock_guard lock(g_requestMutex);
    return g_established;
}

}  // namespace

bool CConnection::IsUsableStatus(uint32_t status) {
    switch (status) {
        case 0x10:
        case 0x11:
        case 0x25:
        case 0x26:
        case 0x40:
        case 0x41:
        case 0x42:
            return true;
        default:
            return false;
    }
}

void CConnection::EstablishConnection() {
    {
        std::lock_guard lock(g_requestMutex);
        auto manager = GetConnectionManager();
        if (manager->HasInternetDestination() && manager->Establish()) g_established = manager;
    }
    CheckConnection();
}

void CConnection::CheckConnection() {
    auto manager = Established();
    uint32_t status = 0;
    if (!manager || !manager->QueryStatus(status)) {
        WriteLog(kGeneralLog, u"Connection not initialized");
        throw CError(u"CConnection::CheckConnection", sockerr::kNetDown);
    }
    if (IsUsableStatus(status)) return;
    WriteLogFormat(kGeneralLog, u"DISCONNECTED %d", status);
    throw CError(u"CConnection::CheckConnection", sockerr::kNetDown);
}

void CConnection::Reset() {
    std::lock_guard lock(g_requestMutex);
    g_established.reset();
}

void InitWinsock() {}

void PrepareAddress(SocketAddress& address, const std::string& host, const std::string& port) {
    address = SocketAddress{};
    address.family = AF_INET;
    address.portNetworkOrder = htons(static_cast<uint16_t>(WideToInt(Widen(port))));
    std::string dotted = host;
    if (!host.empty() && std::isalpha(static_cast<unsigned char>(host[0]))) {
        if (!ResolveHostIPv4(host, dotted)) {
            int code = LastSocketError();
            WriteLogFormat(kGeneralLog, u"PrepareAddress: Невозможно определить IP сервера (%d)",
                           code);
            throw CError(u"PrepareAddress", code);
        }
    }
    address.addressNetworkOrder = InetAddr(dotted);
}

void CreateSocket(SocketHandle& handle) {
    if (handle == kInvalidSocket) handle = SocketCreateTcp();
}

void ConnectToAddr(SocketHandle socket, const SocketAddress& address) {
    if (!SocketConnect(socket, address)) {
        int code = LastSocketError();
        WriteLogFormat(kGeneralLog, u"ConnectToAddress: %d", code);
        throw CError(u"ConnectToAddr", code);
    }
}

void CloseSocket(SocketHandle& handle) {
    if (handle == kInvalidSocket) return;
    SocketShutdown(handle);
    SocketRelease(handle);
    handle = kInvalidSocket;
}

bool WaitReadable(SocketHandle socket, int seconds) {
    return SocketWaitReadable(socket, seconds) != 0;
}

bool IsFatalSocketError(int code) {
    switch (code) {
        case 10013:
        case 10014:
        case 10035:
        case 10038:
        case 10047:
        case 10051:
        case 10055:
        case 10064:
        case 10093:
        case tlserr::kUntrusted:
        case tlserr::kCertificateChanged:
            return true;
        default:
            return false;
    }
}

void Connect(CAccount* account, SocketHandle& handle, const std::string& host,
             const std::string& port, bool showProgress) {
    Connect(account, handle, host, port, showProgress, CreateSocket);
}

void Connect(CAccount* account, SocketHandle& handle, const std::string& host,
             const std::string& port, bool showProgress,
             const std::function<void(SocketHandle&)>& create) {
    SocketAddress address;
    {
        KeepRunningScope keepRunning;
        if (showProgress && account) {
            account->SetProgressText(ResString(1000) + u" " + FromUtf8(host) + u":" +
                                     FromUtf8(port));
        }
        InitWinsock();
        PrepareAddress(address, host, port);
        create(handle);
    }
    // Only this thread stores into the handle, so it reads it without a lock.
    ConnectToAddr(handle, address);
    if (account && account->UseTls()) StartTls(*account, handle);
}

std::optional<TlsTrust> LinkTrust(const CAccount& account) {
    if (!account.UseTls()) return std::nullopt;
    TlsTrust trust;
    trust.host = ToUtf8(account.Server());
    trust.trustedSha256 = account.TrustedCertificate();
    return trust;
}

void StartTls(CAccount& account, SocketHandle socket) {
    TlsCertificate seen;
    if (TlsStart(socket, LinkTrust(account).value_or(TlsTrust{}), &seen)) return;
    const int code = LastSocketError();
    WriteLogFormat(kGeneralLog, u"StartTls: %d", code);
    if (code == tlserr::kUntrusted || code == tlserr::kCertificateChanged) {
        account.AskAboutCertificate(seen, code == tlserr::kCertificateChanged);
    }
    throw CError(u"StartTls", code);
}

}  // namespace zul
