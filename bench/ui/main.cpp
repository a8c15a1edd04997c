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
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Driver& d : kDrivers) std::printf("%s\n", d.name);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "startup_child") == 0) {
        return zul::bench::RunStartupChild(1, argv);
    }
    if (argc == 2) {
        for (const Driver& d : kDrivers) {
            if (std::strcmp(argv[1], d.name) != 0) continue;
            try {
                return d.run(1, argv);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", d.name, e.what());
                return 2;
            }
        }
    }
    std::fprintf(stderr, "usage: zul_ui_load --list | <driver>\n");
    return 1;
}
