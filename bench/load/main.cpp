// zul_load <driver>: runs one end-to-end load driver against the scripted servers on loopback
// and prints its figure lines. The profile lives in a temporary folder under $TMPDIR.
#include <cstdio>
#include <cstring>
#include <exception>

#include "load/drivers.h"
#include "platform/log.h"

namespace {

struct Driver {
    const char* name;
    int (*run)();
};

constexpr Driver kDrivers[] = {
    {"signon_storm", zul::bench::RunSignOnStorm},
    {"signon_storm_fresh", zul::bench::RunSignOnStormFresh},
    {"signon_list", zul::bench::RunSignOnList},
    {"message_stream", zul::bench::RunMessageStream},
    {"outbox", zul::bench::RunOutbox},
    {"idle", zul::bench::RunIdle},
    {"resident", zul::bench::RunResident},
    {"soak", zul::bench::RunSoak},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        for (const Driver& d : kDrivers) {
            if (std::strcmp(argv[1], d.name) != 0) continue;
            try {
                return d.run();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", d.name, e.what());
                return 2;
            }
        }
    }
    std::fprintf(stderr, "usage: zul_load <driver>; drivers:");
    for (const Driver& d : kDrivers) std::fprintf(stderr, " %s", d.name);
    std::fprintf(stderr, "\n");
    return 1;
}
