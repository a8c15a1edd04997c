#include "protocol/transport/link_connect.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/power.h"
#include "platform/wake_signal.h"
#include "protocol/transport/connection.h"

namespace zul {

struct LinkConnect::State {
    std::mutex mutex;  // a leaf: the four below
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    Outcome outcome;
    WakeSignal finished;
    WakeSignal cancel;
};

namespace {

LinkConnect::Outcome Attempt(const std::string& host, const std::string& port,
                             const std::optional<TlsTrust>& tls) {
    LinkConnect::Outcome out;
    SocketHandle socket = kInvalidSocket;
    try {
        SocketAddress address;
        PrepareAddress(address, host, port);
        CreateSocket(socket);
        ConnectToAddr(socket, address);
        if (tls && !TlsStart(socket, *tls, &out.question)) {
            const int code = LastSocketError();
            WriteLogFormat(kGeneralLog, u"StartTls: %d", code);
            if (code != tlserr::kUntrusted && code != tlserr::kCertificateChanged)
                out.question = TlsCertificate{};
            out.changed = code == tlserr::kCertificateChanged;
            throw CError(u"StartTls", code);
        }
        out.socket = socket;
    } catch (const CError& e) {
        out.error = e.Code() != 0 ? e.Code() : sockerr::kConnAborted;
        CloseSocket(socket);
    }
    return out;
}

}  // namespace

LinkConnect::LinkConnect(std::string host, std::string port, std::optional<TlsTrust> tls)
    : state_(std::make_shared<State>()) {
    try {
        std::thread([state = state_, host = std::move(host), port = std::move(port),
                     tls = std::move(tls)] {
            Outcome outcome;
            {
                // A cancel ends every wait of this thread (lookup, connect, handshake) at once.
                const SocketWaitInterrupt interrupt(state->cancel.Handle(), [] { return true; });
                KeepRunningScope keepRunning;
                outcome = Attempt(host, port, tls);
            }
            std::lock_guard lock(state->mutex);
            if (state->abandoned) {
                CloseSocket(outcome.socket);
            } else {
                state->outcome = std::move(outcome);
            }
            state->done = true;
            state->finished.Signal();
            state->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(state_->mutex);
        state_->outcome.error = sockerr::kNoBufs;
        state_->done = true;
        state_->finished.Signal();
    }
}

LinkConnect::~LinkConnect() {
    std::unique_lock lock(state_->mutex);
    state_->abandoned = true;
    if (state_->done) {
        CloseSocket(state_->outcome.socket);
        return;
    }
    // A cancel ends the thread's waits at once (a hanging name lookup is left to a thread of
    // its own), so it is over in moments: waiting for that keeps it from outliving the program
    // that ends now. A thread that takes longer is left to end alone.
    state_->cancel.Signal();
    state_->ended.wait_for(lock, std::chrono::milliseconds(200), [this] { return state_->done; });
}

int LinkConnect::Handle() const {
    return state_->finished.Handle();
}

bool LinkConnect::Finished() const {
    std::lock_guard lock(state_->mutex);
    return state_->done;
}

LinkConnect::Outcome LinkConnect::Take() {
    std::lock_guard lock(state_->mutex);
    if (!state_->done) {
        Outcome none;
        none.error = sockerr::kWouldBlock;
        return none;
    }
    state_->finished.Clear();
    return std::exchange(state_->outcome, Outcome{});
}

}  // namespace zul
