#include "platform/power.h"

#include <atomic>
#include <mutex>

namespace zul {
namespace {
std::mutex g_mutex;
int g_depth = 0;
KeepRunningHook g_hook = nullptr;
std::atomic<bool> g_powerOn{true};
}  // namespace

void KeepRunningOn() {
    std::lock_guard lock(g_mutex);
    if (g_depth++ == 0 && g_hook) g_hook(true);
}

void KeepRunningOff() {
    std::lock_guard lock(g_mutex);
    if (g_depth > 0 && --g_depth == 0 && g_hook) g_hook(false);
}

int KeepRunningDepth() {
    std::lock_guard lock(g_mutex);
    return g_depth;
}

void SetKeepRunningHook(KeepRunningHook hook) {
    std::lock_guard lock(g_mutex);
    g_hook = hook;
}

bool DevicePowerOn() {
    return g_powerOn.load();
}
void SetDevicePowerOn(bool on) {
    g_powerOn.store(on);
}

}  // namespace zul
