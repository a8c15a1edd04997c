// zul_ui_load <driver>: runs one driver of the user interface pages offscreen and prints its
// figure lines; "--list" names the drivers.
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/drivers.h"

namespace {

struct Driver {
    const char* name;
    int (*run)(int, char**);
};

constexpr Driver kDrivers[] = {
    {"clist_rebuild", zul::bench::RunClistRebuild},
    {"chat_open", zul::bench::RunChatOpen},
    {"startup", zul::bench::RunStartup},
    {"idle_window", zul::bench::RunIdleWindow},
    {"window_stall", zul::bench::RunWindowStall},
};

// Drivers run by name only (soak.sh), never by ./bench.sh.
constexpr Driver kLongDrivers[] = {
    {"chat_soak", zul::bench::RunChatSoak},
};

const Driver* Find(const char* name) {
    for (const Driver& d : kDrivers)
        if (std::strcmp(name, d.name) == 0) return &d;
    for (const Driver& d : kLongDrivers)
        if (std::strcmp(name, d.name) == 0) return &d;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Driver& d : kDrivers) std::printf("%s\n", d.name);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "startup_child") == 0) {
        return zul::bench::RunStartupChild(1, argv);
    }
    if (const Driver* d = argc == 2 ? Find(argv[1]) : nullptr; d != nullptr) {
        try {
            return d->run(1, argv);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", d->name, e.what());
            return 2;
        }
    }
    std::fprintf(stderr, "usage: zul_ui_load --list | <driver>\n");
    return 1;
}
