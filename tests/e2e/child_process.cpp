#include "e2e/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "support/test_env.h"

extern char** environ;

namespace zul::test {
namespace {

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           const std::vector<std::string>& environment, std::string outputPath)
    : outputPath_(std::move(outputPath)) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string& own : environment) replaced = replaced || NameOf(own) == NameOf(*e);
        if (!replaced) env.emplace_back(*e);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp, args;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess ChildProcess::Client(const std::string& dataDir) {
    // The single-instance socket and the runtime folder live in the test's folder too, so that
    // clients of tests running side by side do not meet.
    return ChildProcess({ZUL_CLIENT_BINARY},
                        {"ZUL_DATA_DIR=" + dataDir, "QT_QPA_PLATFORM=offscreen",
                         "TMPDIR=" + dataDir, "XDG_RUNTIME_DIR=" + dataDir},
                        dataDir + "client-output.txt");
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      outputPath_(std::move(other.outputPath_)) {}

ChildProcess::~ChildProcess() {
    if (Running()) {
        kill(pid_, SIGKILL);
        WaitForExit(std::chrono::seconds(10));
    }
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return !status_;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Running() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

std::optional<int> ChildProcess::Stop(std::chrono::milliseconds timeout, int signal) {
    if (Running()) kill(pid_, signal);
    return WaitForExit(timeout);
}

std::string ChildProcess::Output() const {
    return ReadFileBytes(outputPath_);
}

std::string DescribeWaitStatus(int status) {
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

bool ExitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace zul::test
