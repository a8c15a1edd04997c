// The account's session thread: the commands posted to it, the loop that takes them, and the
// session it runs (connect, run, connect again as the error policy decides).
#include <poll.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "accounts/account.h"
#include "platform/keyring.h"
#include "platform/power.h"
#include "platform/resources.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {
namespace {

constexpr int kStrContactsNotLoaded = 1020;

// The account whose session thread the calling thread is, if any.
thread_local const CAccount* t_sessionOf = nullptr;

}  // namespace

bool CAccount::PostSessionCommand(SessionCommand command) {
    {
        std::lock_guard lock(commandMutex_);
        if (quitting_.load()) return false;
        if (!sessionThread_.joinable()) {
            try {
                sessionThread_ = std::thread([this] { SessionThreadBody(); });
            } catch (const std::system_error&) {
                // A thread that cannot be made leaves the account as it is.
                return false;
            }
        }
        if (command.kind == SessionCommand::kStop) stopsQueued_.fetch_add(1);
        if (command.kind == SessionCommand::kQuit) quitting_.store(true);
        commands_.push_back(command);
    }
    sessionWake_.Signal();
    return true;
}

bool CAccount::SessionIdle() const {
    std::lock_guard lock(commandMutex_);
    return commands_.empty() && !handling_;
}

void CAccount::RequestStatus(int32_t status) {
    SetRequestedStatus(status);
    if (status != kStatusOffline) SetSignedOnElsewhere(false);
    PostSessionCommand({SessionCommand::kStatus});
}

void CAccount::Disconnect(bool save) {
    if (!PostSessionCommand({SessionCommand::kStop, save})) {
        // No session thread could be made, so no session runs; an account that is ending
        // keeps its status.
        if (quitting_.load()) return;
        SetStatus(kStatusOffline);
        if (save) dbSave();
        return;
    }
    // Shown offline at once; the session thread ends the session and sets it again.
    SetStatus(kStatusOffline);
}

void CAccount::AskSessionToEnd() {
    PostSessionCommand({SessionCommand::kQuit});
}

void CAccount::StopSessionForDestruction() {
    std::thread thread;
    {
        std::lock_guard lock(commandMutex_);
        if (!quitting_.load() && sessionThread_.joinable()) {
            commands_.push_back({SessionCommand::kQuit});
        }
        quitting_.store(true);
        thread = std::move(sessionThread_);
    }
    sessionWake_.Signal();
    if (thread.joinable()) thread.join();
}

bool CAccount::WaitForStop(int64_t ms) {
    // Only the session thread watches its wake-up: another thread (a test's) must not take
    // the session thread's signals.
    const int wake = t_sessionOf == this ? sessionWake_.Handle() : -1;
    while (ms > 0 && !StopRequested()) {
        const auto slice = static_cast<uint32_t>(std::min<int64_t>(ms, 50));
        if (SleepMsWatching(slice, wake)) sessionWake_.Clear();
        ms -= slice;
    }
    return StopRequested();
}

bool CAccount::TakeStatusCommands() {
    std::lock_guard lock(commandMutex_);
    bool taken = false;
    while (!commands_.empty() && commands_.front().kind == SessionCommand::kStatus) {
        commands_.pop_front();
        taken = true;
    }
    return taken;
}

void CAccount::ApplyRequestedStatus() {
    if (!TakeStatusCommands()) return;
    const int32_t requested = RequestedStatus();
    if (Status() == kStatusOffline || requested == Status()) return;
    if (SendStatus(requested)) {
        SetStatus(requested);
        dbSave();
    }
}

void CAccount::SessionThreadBody() {
    t_sessionOf = this;
    // Every wait of the socket layer on this thread ends when a stop is asked for.
    const SocketWaitInterrupt interrupt(sessionWake_.Handle(), [this] {
        sessionWake_.Clear();
        return StopRequested();
    });
    for (;;) {
        SessionCommand command;
        bool taken = false;
        {
            std::lock_guard lock(commandMutex_);
            handling_ = !commands_.empty();
            if (handling_) {
                command = commands_.front();
                commands_.pop_front();
                if (command.kind == SessionCommand::kStop) stopsQueued_.fetch_sub(1);
                taken = true;
            }
        }
        if (!taken) {
            // Resting: a command signals the wake-up (kept until cleared, so none is missed).
            pollfd wake{};
            wake.fd = sessionWake_.Handle();
            wake.events = POLLIN;
            if (poll(&wake, wake.fd < 0 ? 0 : 1, wake.fd < 0 ? 50 : -1) > 0) sessionWake_.Clear();
            continue;
        }
        switch (command.kind) {
            case SessionCommand::kStatus:
                if (RequestedStatus() != kStatusOffline && !StopRequested()) RunSessionToEnd();
                break;
            case SessionCommand::kStop:
                FinishStop(command.save);
                break;
            case SessionCommand::kQuit:
                CloseConnections();
                {
                    std::lock_guard lock(commandMutex_);
                    commands_.clear();
                    handling_ = false;
                }
                t_sessionOf = nullptr;
                return;
        }
    }
}

void CAccount::RunSessionToEnd() {
    SetSessionRunning(true);
    // An account whose contacts did not load would sign on and rebuild its list from the
    // server with new ids, orphaning its history: it waits for a load that succeeds.
    if (!Loaded() && !LoadContacts()) {
        ShowSessionError(ResString(kStrContactsNotLoaded));
        SetSessionRunning(false);
        return;
    }
    while (!StopRequested()) {
        KeepRunningOn();
        SessionStep step = ConnectAndLogIn();
        KeepRunningOff();
        if (step == SessionStep::kSignedOn) step = RunSession();
        if (step == SessionStep::kEnd) break;
    }
    // Statuses asked for while it ran belonged to this session (the next sign-on takes the
    // requested one): an error that ended it is not followed by another attempt.
    TakeStatusCommands();
    SetSessionRunning(false);
}

void CAccount::FinishStop(bool save) {
    CloseConnections();
    ResetSession();
    SetStatus(kStatusOffline);
    if (save) dbSave();
    // A session of an account disabled meanwhile may have added contacts after the window
    // dropped them.
    if (!Enabled()) {
        std::lock_guard lock(enableMutex_);
        if (!Enabled()) {
            Contacts().RemoveAccount(ID());
            SetLoaded(false);
        }
    }
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

}  // namespace zul
