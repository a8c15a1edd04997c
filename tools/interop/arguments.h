// The command line of zul-interop: HOST:PORT LOGIN_A:PASSWORD_A LOGIN_B:PASSWORD_B [--md5]
// [--tls] [--restart COMMAND].
#pragma once

#include <optional>
#include <string>

namespace zul::interop {

struct Credentials {
    std::string login, password;
};

struct Arguments {
    std::string host, port;
    Credentials a, b;
    bool md5 = false;  // the accounts sign on with the MD5 login
    bool tls = false;  // every connection with TLS; the first certificate seen is trusted
    // A shell command that stops the server and starts it again on the same address; given,
    // the run restarts the server once and checks that both accounts come back.
    std::string restart;
};

// Nothing, with `error` set, when the line does not fit. The host ends at the last colon (the
// port is all digits); a login ends at its first colon, so a password may hold colons.
std::optional<Arguments> ParseArguments(int argc, const char* const* argv, std::string& error);

}  // namespace zul::interop
