#include "tools/interop/arguments.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace zul::interop {
namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::optional<Credentials> ParseCredentials(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
    return Credentials{text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace

std::optional<Arguments> ParseArguments(int argc, const char* const* argv, std::string& error) {
    Arguments arguments;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--md5") {
            arguments.md5 = true;
        } else if (arg == "--tls") {
            arguments.tls = true;
        } else if (arg == "--restart" && i + 1 < argc) {
            arguments.restart = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return std::nullopt;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3) {
        error = "expected HOST:PORT LOGIN_A:PASSWORD_A LOGIN_B:PASSWORD_B";
        return std::nullopt;
    }
    const size_t colon = positional[0].rfind(':');
    if (colon == std::string::npos || colon == 0 || !AllDigits(positional[0].substr(colon + 1))) {
        error = "the server must be HOST:PORT, not " + positional[0];
        return std::nullopt;
    }
    arguments.host = positional[0].substr(0, colon);
    arguments.port = positional[0].substr(colon + 1);
    const std::optional<Credentials> a = ParseCredentials(positional[1]);
    const std::optional<Credentials> b = ParseCredentials(positional[2]);
    if (!a || !b) {
        error = "each account must be LOGIN:PASSWORD";
        return std::nullopt;
    }
    arguments.a = *a;
    arguments.b = *b;
    return arguments;
}

}  // namespace zul::interop
