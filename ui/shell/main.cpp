// Program entry: "--version" prints the application title; everything else starts the client.
#include <cstdio>
#include <cstring>

#include "platform/resources.h"
#include "platform/text.h"

#ifdef ZUL_HAVE_UI
#include "ui/shell/termination_signals.h"
int RunClient(int argc, char** argv);
#endif

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", zul::ToUtf8(zul::AppTitle()).c_str());
            return 0;
        }
    }
#ifdef ZUL_HAVE_UI
    zul::QuitOnTerminationSignals();
    return RunClient(argc, argv);
#else
    std::printf("%s: the window is not built yet\n", zul::ToUtf8(zul::AppTitle()).c_str());
    return 0;
#endif
}
