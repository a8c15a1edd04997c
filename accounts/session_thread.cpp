// The account's session threads: starting them on a status request, stopping them on
// disconnect, and the thread body that connects, runs and reconnects.
#include <algorithm>
#include <utility>

#include "accounts/account.h"
#include "platform/keyring.h"
#include "platform/power.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace zul {
namespace {

constexpr int kStrContactsNotLoaded = 1020;

}  // namespace

void CAccount::StartSessionThread() {
    // Forget threads that have ended, so the list does not grow with every status change.
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([this, finished] {
            MainThreadBody(this);
            finished->store(true);
        });
        threads_.push_back(SessionThread{std::move(thread), finished});
    } catch (const std::system_error&) {
        // A thread that cannot be created leaves the status unchanged.
    }
}

void CAccount::JoinSessionThreads() {
    // A thread may create a new socket just after the connections were shut down; keep
    // shutting them down until every thread has ended.
    for (;;) {
        bool allFinished = std::all_of(threads_.begin(), threads_.end(),
                                       [](const SessionThread& t) { return t.finished->load(); });
        if (allFinished) break;
        ShutdownConnections();
        SleepMs(20);
    }
    for (auto& t : threads_) {
        if (t.thread.joinable()) t.thread.join();
    }
    threads_.clear();
}

void CAccount::RequestStatus(int32_t status) {
    if (status == Status()) return;
    std::lock_guard lock(threadsMutex_);
    SetRequestedStatus(status);
    StartSessionThread();
}

void CAccount::Disconnect(bool save) {
    std::lock_guard lock(threadsMutex_);
    KeepRunningScope keepRunning;
    stopRequested_.store(true);
    ResetSession();
    SetSessionRunning(false);
    // Wake every thread blocked on a socket; each ends through its error path, silently.
    ShutdownConnections();
    JoinSessionThreads();
    CloseConnections();
    stopRequested_.store(false);
    SetStatus(-1);
    if (save) dbSave();
}

void CAccount::StopSessionForDestruction() {
    std::lock_guard lock(threadsMutex_);
    stopRequested_.store(true);
    SetSessionRunning(false);
    ShutdownConnections();
    JoinSessionThreads();
    CloseConnections();
    stopRequested_.store(false);
}

void CAccount::ShowSessionError(const std::u16string& text) {
    SetStatus(-1);
    dbSave();
    busy_.store(false);
    SetStatusIconId(accicon::kError);
    if (!text.empty()) SetStatusText(text);
}

void CAccount::AskAboutCertificate(const TlsCertificate& certificate, bool changed) {
    {
        std::lock_guard lock(questionMutex_);
        question_ = CertificateQuestion{certificate, changed};
    }
    MarkRepaint();
}

bool CAccount::HasCertificateQuestion() const {
    std::lock_guard lock(questionMutex_);
    return !question_.certificate.Empty();
}

CAccount::CertificateQuestion CAccount::TakeCertificateQuestion() {
    std::lock_guard lock(questionMutex_);
    return std::exchange(question_, CertificateQuestion{});
}

void CAccount::TrustCertificate(const std::string& sha256) {
    SetTrustedCertificate(sha256);
    dbSave();
}

namespace {

// Why the user is asked for the password (string ids).
constexpr int kStrKeyringLocked = 1032;
constexpr int kStrKeyringUnavailable = 1033;
constexpr int kStrNotInKeyring = 1034;
constexpr int kStrNoPassword = 1035;

}  // namespace

bool CAccount::PreparePassword() {
    const keyring::Key key{EffectiveType(), ToUtf8(Login()), ToUtf8(Server())};
    if (!PasswordInKeyring()) {
        if (keyringClearPending_.exchange(false)) keyring::Clear(key);
        if (!Password().empty()) return true;
        passwordQuestion_ = kStrNoPassword;
        MarkRepaint();
        return false;
    }
    const std::u16string known = Password();
    if (!known.empty()) {
        // Typed by the user (or kept from an older profile): into the keyring with it. When
        // that fails the sign-on goes on; the profile holds no password, so the next start asks.
        if (!KeyringHoldsPassword() && keyring::Store(key, known) == keyring::Outcome::kDone) {
            SetKeyringHoldsPassword(true);
            dbSave();
        }
        return true;
    }
    std::u16string found;
    switch (keyring::Lookup(key, found)) {
        case keyring::Outcome::kDone:
            if (!found.empty()) {
                SetPassword(found);
                SetKeyringHoldsPassword(true);
                return true;
            }
            passwordQuestion_ = kStrNotInKeyring;
            break;
        case keyring::Outcome::kNotFound:
            passwordQuestion_ = kStrNotInKeyring;
            break;
        case keyring::Outcome::kLocked:
            passwordQuestion_ = kStrKeyringLocked;
            break;
        case keyring::Outcome::kUnavailable:
            passwordQuestion_ = kStrKeyringUnavailable;
            break;
    }
    MarkRepaint();
    return false;
}

int MainThreadBody(CAccount* account) {
    // A session already runs: only the status changes.
    bool expected = false;
    if (!account->SessionRunningCompareSet(expected)) {
        if (account->Status() == -1) return 0;
        int32_t requested = account->RequestedStatus();
        if (account->SendStatus(requested)) {
            account->SetStatus(requested);
            account->dbSave();
        }
        return 1;
    }
    // An account whose contacts did not load would sign on and rebuild its list from the
    // server with new ids, orphaning its history: it waits for a load that succeeds.
    if (!account->Loaded() && !account->LoadContacts()) {
        account->ShowSessionError(ResString(kStrContactsNotLoaded));
        account->SetSessionRunning(false);
        return 0;
    }
    while (!account->StopRequested()) {
        int stop = 0;
        KeepRunningOn();
        int ok = account->ConnectAndLogIn(&stop);
        KeepRunningOff();
        if (ok) {
            // The loop ends without an error only when the account went offline on purpose;
            // then the session ends instead of signing on again.
            if (account->RunSession(&stop) == 1) break;
        }
        if (stop) break;
    }
    account->SetSessionRunning(false);
    return 1;
}

}  // namespace zul
