// A program of the project run as a child process by the end-to-end tests: the real client
// (`zul` on the offscreen platform with a data folder of its own) or the demo server. Its
// standard output and error go to a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zul::test {

class ChildProcess {
  public:
    // Runs argv[0] with the test's environment plus `environment` ("NAME=value" entries
    // replace inherited ones of the same name).
    ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& environment,
                 std::string outputPath);
    // The client on the profile in `dataDir` (ending with '/').
    static ChildProcess Client(const std::string& dataDir);

    // A child still running is killed.
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // True while the process runs; once it ended its wait status is kept.
    bool Running();
    // Waits for the end; the wait status, or nothing when the time ran out.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // Sends `signal` (SIGTERM by default), then waits as WaitForExit does.
    std::optional<int> Stop(std::chrono::milliseconds timeout, int signal = 15);
    // What the child wrote so far.
    std::string Output() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outputPath_;
};

// "exit code 0", "killed by signal 15", ...
std::string DescribeWaitStatus(int status);
// True when the status is a normal exit with code 0.
bool ExitedCleanly(const std::optional<int>& status);

}  // namespace zul::test
