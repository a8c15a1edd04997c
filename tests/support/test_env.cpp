#include "support/test_env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/log.h"
#include "platform/paths.h"

namespace zul::test {

TempFolder::TempFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zul-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

IsolatedFolders::IsolatedFolders() {
    OverrideProgramFolder(program_.Path());
    OverrideDataFolder(data_.Path());
    ResetLogRun();
}

IsolatedFolders::~IsolatedFolders() {
    OverrideProgramFolder("");
    OverrideDataFolder("");
    ResetLogRun();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

namespace {
size_t CountEntries(const char* folder) {
    size_t n = 0;
    if (DIR* dir = opendir(folder)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        closedir(dir);
    }
    return n;
}
}  // namespace

size_t OpenDescriptors() {
    const size_t n = CountEntries("/proc/self/fd");
    return n > 0 ? n - 1 : 0;  // less the one the listing itself holds
}

size_t ThreadCount() {
    return CountEntries("/proc/self/task");
}

size_t SettledThreadCount() {
    size_t n = ThreadCount();
    int steady = 0;
    for (int i = 0; i < 400 && steady < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const size_t now = ThreadCount();
        steady = now == n ? steady + 1 : 0;
        n = now;
    }
    return n;
}

UnansweredPort::UnansweredPort() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        return;
    }
    port_ = ntohs(a.sin_port);
    // Connects of our own fill the queue; the first one left unanswered shows it full (the
    // system drops a handshake for a full queue, and every later one).
    for (int i = 0; i < 8 && !holds_; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) return;
        fillers_.push_back(s);
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{s, POLLOUT, 0};
        holds_ = poll(&p, 1, 300) == 0;
    }
}

UnansweredPort::~UnansweredPort() {
    for (int s : fillers_) close(s);
    if (listener_ >= 0) close(listener_);
}

}  // namespace zul::test
