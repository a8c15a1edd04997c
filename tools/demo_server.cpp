// zul-demo-server: a local OSCAR server to try the client with. It listens on loopback only,
// accepts any login and password, and plays a small world of contacts (see demo_world.h).
// With --create-profile it writes a demo profile for the client and exits.
//
//   zul-demo-server [--port N] [--seed N]
//   zul-demo-server --create-profile DIR [--port N]
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/text.h"
#include "support/oscar_server.h"
#include "tools/demo_profile.h"
#include "tools/demo_world.h"

namespace {

constexpr uint16_t kDefaultPort = 51900;

const char kUsage[] =
    "Usage: zul-demo-server [--port N] [--seed N]\n"
    "       zul-demo-server --create-profile DIR [--port N]\n"
    "\n"
    "Plays a small OSCAR service on 127.0.0.1 for trying the client: the login server on\n"
    "port N (default 51900, 0 for any free port), the service and avatar servers on free\n"
    "ports. Any login and password are accepted. Stops on Ctrl+C or SIGTERM.\n"
    "\n"
    "  --create-profile DIR  write DIR/zul.profile with one demo account pointed at this\n"
    "                        server (kept and updated when it exists), then exit\n"
    "  --seed N              seed of the contacts' comings and goings\n";

bool ParseNumber(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long port = kDefaultPort;
    unsigned long seed = static_cast<unsigned long>(std::time(nullptr));
    std::string profileFolder;
    bool createProfile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--port" && hasValue && ParseNumber(argv[i + 1], 65535, port)) {
            ++i;
        } else if (arg == "--seed" && hasValue && ParseNumber(argv[i + 1], 0xFFFFFFFFul, seed)) {
            ++i;
        } else if (arg == "--create-profile" && hasValue) {
            createProfile = true;
            profileFolder = argv[++i];
        } else {
            std::fprintf(stderr, "zul-demo-server: unexpected argument \"%s\"\n\n%s", argv[i],
                         kUsage);
            return 2;
        }
    }

    if (createProfile) {
        std::string error;
        if (!zul::demo::WriteDemoProfile(profileFolder, static_cast<uint16_t>(port), error)) {
            std::fprintf(stderr, "zul-demo-server: %s\n", error.c_str());
            return 1;
        }
        std::printf("demo profile ready in %s (account %s at 127.0.0.1:%lu)\n",
                    profileFolder.c_str(), zul::ToUtf8(zul::demo::kDemoLogin).c_str(), port);
        return 0;
    }

    // The signals are taken by the main thread only: every server thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    zul::test::SetServerProblemReporter(
        [](const std::string& text) { zul::demo::Say("server problem: " + text); });
    int stopSignal = 0;
    {
        zul::demo::DemoWorld world(static_cast<uint16_t>(port), static_cast<uint32_t>(seed));
        if (!world.Listening()) {
            std::fprintf(stderr, "zul-demo-server: cannot listen on 127.0.0.1:%lu\n", port);
            return 1;
        }
        zul::demo::Say("demo server listening on 127.0.0.1:" + std::to_string(world.LoginPort()) +
                       " (seed " + std::to_string(seed) + "); any login and password will do");
        for (const auto& person : world.People()) {
            zul::demo::Say("  contact " + person.login + " " + person.nickname);
        }
        while (stopSignal == 0) {
            const auto wait = world.RunDue();
            timespec timeout{static_cast<time_t>(wait.count() / 1000),
                             static_cast<long>(wait.count() % 1000) * 1000000L};
            siginfo_t info;
            const int got = sigtimedwait(&stopSignals, &info, &timeout);
            if (got == SIGINT || got == SIGTERM) stopSignal = got;
        }
        zul::demo::Say(std::string("stopping on ") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM"));
    }
    zul::demo::Say("demo server stopped");
    return 0;
}
