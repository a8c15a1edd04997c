#include "support/private_keyring.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/keyring.h"

extern char** environ;

namespace zul::test {
namespace {

// Starts a program with the given extra environment; its stdin and stdout are the pipes given
// (or inherited when -1). It dies with the test process, also when a test crashes.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
            int out) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> all(env);
    for (char** e = environ; *e; ++e) all.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : all) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: only calls that are safe after a fork of a threaded process.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
}

void Stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

PrivateKeyring::PrivateKeyring() {
    if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) {
        hadAddress_ = true;
        oldAddress_ = old;
    }
    // A session bus that activates nothing: a Secret Service runs only when a test starts it.
    const std::string config = home_.File("bus.conf");
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << home_.Path()
                          << "</listen><policy context=\"default\"><allow send_destination=\"*\" "
                             "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                             "</policy></busconfig>\n";
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    busPid_ = Spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"}, {},
                    -1, pipeFds[1]);
    close(pipeFds[1]);
    char buffer[512];
    std::string line;
    while (busPid_ > 0 && line.find('\n') == std::string::npos) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (line.find('\n') != std::string::npos) address_ = line.substr(0, line.find('\n'));
    if (!address_.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateKeyring::~PrivateKeyring() {
    Stop(keyringPid_);
    Stop(busPid_);
    if (hadAddress_) {
        setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

bool PrivateKeyring::StartService() {
    if (!BusUp()) return false;
    const std::string runtime = home_.File("run");
    mkdir(runtime.c_str(), 0700);
    int pipeFds[2];
    // Both ends close on exec: the daemon reads the password until end of file, which never
    // comes while it holds the write end itself.
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    // --unlock reads the password of the login keyring from stdin and creates that keyring,
    // which becomes the default one.
    keyringPid_ =
        Spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
              {"HOME=" + home_.Path(), "XDG_DATA_HOME=" + home_.File("data"),
               "XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + home_.File("config")},
              pipeFds[0], -1);
    close(pipeFds[0]);
    const char password[] = "keyring-test";
    const bool written = write(pipeFds[1], password, sizeof password - 1) > 0;
    close(pipeFds[1]);
    if (keyringPid_ <= 0 || !written) return false;
    // Up once it answers a lookup (nothing is stored yet).
    const keyring::Key probe{0, "probe", "probe"};
    for (int i = 0; i < 100; ++i) {
        std::u16string ignored;
        if (keyring::Lookup(probe, ignored) == keyring::Outcome::kNotFound) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool PrivateKeyring::LockDefault() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        return false;
    }
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    bool locked = false;
    if (collection) {
        GList* objects = g_list_append(nullptr, collection);
        locked = secret_service_lock_sync(service, objects, nullptr, nullptr, &error) > 0;
        g_list_free(objects);
        g_object_unref(collection);
    }
    g_clear_error(&error);
    g_object_unref(service);
    return locked;
}

}  // namespace zul::test
