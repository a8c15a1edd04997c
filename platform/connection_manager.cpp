#include "platform/connection_manager.h"

#include <mutex>

namespace zul {
namespace {
std::mutex g_mutex;
std::shared_ptr<IConnectionManager> g_manager;
}  // namespace

std::shared_ptr<IConnectionManager> GetConnectionManager() {
    std::lock_guard lock(g_mutex);
    if (!g_manager) g_manager = std::make_shared<AlwaysUsableConnectionManager>();
    return g_manager;
}

void SetConnectionManager(std::shared_ptr<IConnectionManager> manager) {
    std::lock_guard lock(g_mutex);
    g_manager = std::move(manager);
}

}  // namespace zul
