// The scripted servers of every account of a world, run in a child process so that the CPU
// time and the memory of the client process are the client's alone. Made before the client
// starts any thread (the process forks).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "support/bench_profile.h"
#include "support/load_world.h"

namespace zul::bench {

class ServerProcess {
  public:
    // Work the child does beside answering (a live message stream, say): it runs on a thread
    // of the child from StartWork() on, and returns once `stopping` turns true, which happens
    // when the parent ends the child.
    using ChildWork = std::function<void(std::vector<std::unique_ptr<AccountServers>>& servers,
                                         const std::atomic<bool>& stopping)>;

    ServerProcess(const WorldSpec& shape, const ServiceScript& script, ChildWork work = {});
    // Ends the child.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Login server port of each account.
    const std::vector<uint16_t>& LoginPorts() const { return ports_; }
    // Starts the child's work (once; without work it does nothing).
    void StartWork();

  private:
    pid_t child_ = -1;
    int control_ = -1;  // closing it tells the child to end
    std::vector<uint16_t> ports_;
};

}  // namespace zul::bench
