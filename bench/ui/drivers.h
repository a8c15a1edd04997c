// The page drivers of zul_ui_load; each runs in a process of its own and prints its figures.
#pragma once

namespace zul::bench {

int RunClistRebuild(int argc, char** argv);
int RunChatOpen(int argc, char** argv);
int RunStartup(int argc, char** argv);
int RunIdleWindow(int argc, char** argv);
int RunWindowStall(int argc, char** argv);
// The long run of soak.sh (not among the drivers ./bench.sh runs).
int RunChatSoak(int argc, char** argv);
// The client process that RunStartup starts and times.
int RunStartupChild(int argc, char** argv);

}  // namespace zul::bench
