#include "support/server_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>

namespace zul::bench {
namespace {

bool WriteAll(int fd, const void* p, size_t n) {
    auto* bytes = static_cast<const uint8_t*>(p);
    while (n > 0) {
        ssize_t w = write(fd, bytes, n);
        if (w <= 0) return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, void* p, size_t n) {
    auto* bytes = static_cast<uint8_t*>(p);
    while (n > 0) {
        ssize_t r = read(fd, bytes, n);
        if (r <= 0) return false;
        bytes += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

ServerProcess::ServerProcess(const WorldSpec& shape, const ServiceScript& script, ChildWork work) {
    int ports[2], control[2];
    if (pipe(ports) != 0 || pipe(control) != 0) throw std::runtime_error("pipe failed");
    child_ = fork();
    if (child_ < 0) throw std::runtime_error("fork failed");
    if (child_ == 0) {
        close(ports[0]);
        close(control[1]);
        std::vector<std::unique_ptr<AccountServers>> servers;
        for (int a = 0; a < shape.accounts; ++a) {
            servers.push_back(std::make_unique<AccountServers>(shape, a, script));
            const uint16_t port = servers.back()->Login().Port();
            WriteAll(ports[1], &port, sizeof port);
        }
        close(ports[1]);
        // A byte on the control pipe starts the work; its end ends the child.
        std::atomic<bool> stopping{false};
        std::thread worker;
        char byte;
        while (read(control[0], &byte, 1) > 0) {
            if (work && !worker.joinable()) {
                worker = std::thread([&] { work(servers, stopping); });
            }
        }
        stopping.store(true);
        if (worker.joinable()) worker.join();
        // The servers' threads are left to the end of the process.
        _exit(0);
    }
    close(ports[1]);
    close(control[0]);
    control_ = control[1];
    for (int a = 0; a < shape.accounts; ++a) {
        uint16_t port = 0;
        if (!ReadAll(ports[0], &port, sizeof port)) throw std::runtime_error("no server port");
        ports_.push_back(port);
    }
    close(ports[0]);
}

void ServerProcess::StartWork() {
    const char go = 1;
    if (control_ >= 0) WriteAll(control_, &go, 1);
}

ServerProcess::~ServerProcess() {
    if (control_ >= 0) close(control_);
    if (child_ > 0) {
        int status = 0;
        waitpid(child_, &status, 0);
    }
}

}  // namespace zul::bench
