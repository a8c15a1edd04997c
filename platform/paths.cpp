#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

namespace zul {
namespace {

std::mutex g_mutex;
std::string g_programOverride;
std::string g_dataOverride;

std::string WithSlash(std::string s) {
    if (s.empty() || s.back() != '/') s.push_back('/');
    return s;
}

}  // namespace

std::string ProgramFolder() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_programOverride.empty()) return g_programOverride;
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string DataFolder() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_dataOverride.empty()) return g_dataOverride;
    }
    if (const char* dir = std::getenv("ZUL_DATA_DIR"); dir && *dir) return WithSlash(dir);
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        base = "/tmp";
    }
    return WithSlash(base) + "zul/";
}

bool EnsureFolder(const std::string& folder) {
    if (folder.empty()) return false;
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        path = folder.substr(0, pos);
        if (path.empty()) continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void OverrideProgramFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_programOverride = folder.empty() ? folder : WithSlash(folder);
}

void OverrideDataFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_dataOverride = folder.empty() ? folder : WithSlash(folder);
}

}  // namespace zul
