// A connection of a signed-on session made beside its receive loop: the name lookup, the TCP
// connect and the TLS handshake run on a thread of their own, so that a server that takes its
// time (or never answers) holds up no incoming frame. The loop watches Handle() with its
// sockets and takes the outcome once it is readable. Dropping the attempt cancels it: every
// wait of its thread ends at once, the thread closes whatever it made and ends by itself, and
// nobody waits for it (a name lookup that hangs is left to finish alone).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/socket.h"
#include "platform/tls.h"

namespace zul {

class LinkConnect {
  public:
    struct Outcome {
        SocketHandle socket = kInvalidSocket;  // connected (TLS up when asked); the taker's
        int error = 0;                         // the socket-layer code when it failed
        // A certificate nobody vouches for (or not the one the user trusted): the user decides.
        TlsCertificate question;
        bool changed = false;
    };

    // Starts at once; `tls` asks for the handshake with that trust.
    LinkConnect(std::string host, std::string port, std::optional<TlsTrust> tls);
    ~LinkConnect();
    LinkConnect(const LinkConnect&) = delete;
    LinkConnect& operator=(const LinkConnect&) = delete;

    // Readable once the attempt has ended (-1 when no descriptor could be made: then Finished
    // is to be asked now and then).
    int Handle() const;
    bool Finished() const;
    // Once finished: what came of it (the socket goes to the caller). Later calls give an
    // outcome without a socket.
    Outcome Take();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace zul
