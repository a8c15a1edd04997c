// idle_window: the whole client, window included, idle. Three accounts of 1,000 contacts sign
// on at start (their last status was online) to scripted servers in a child process; once
// they are online and settled, the CPU time the client process uses in 60 s with no traffic,
// and how often the window thread woke meanwhile ($ZUL_BENCH_IDLE_SECONDS shortens the wait;
// the targets scale with it). Nothing of the bench itself runs on the window thread while it
// is measured.
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "accounts/accounts.h"
#include "support/figures.h"
#include "support/server_process.h"
#include "support/test_env.h"
#include "ui/drivers.h"
#include "ui/shell/app.h"

namespace zul::bench {
namespace {

bool AllOnline(ClientApp& app) {
    CAccounts* accounts = app.Accounts();
    if (accounts == nullptr) return false;
    const std::vector<CAccount*> list = accounts->Snapshot();
    for (const CAccount* account : list) {
        if (account->Status() != 0) return false;
    }
    return !list.empty();
}

// The calling thread's voluntary context switches so far: each is a wait that ended.
long ThreadWakeups() {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return 0;
}

}  // namespace

int RunIdleWindow(int argc, char** argv) {
    WorldSpec shape;
    shape.accounts = 3;
    shape.contactsPerAccount = 1000;
    shape.groupsPerAccount = 20;
    shape.lastStatus = 0;
    ServiceScript script;
    script.presenceNotices = 300;
    ServerProcess servers(shape, script);  // before any thread of this process

    test::IsolatedFolders folders;
    WriteProfile(folders.DataDir() + "zul.profile", shape, servers.LoginPorts());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = IdleSeconds();
    bool online = false;
    double used = 0;
    long wakeups = 0;
    {
        ClientApp app;
        app.SetInstanceKey("zul-bench-idle-" + std::to_string(getpid()));
        if (!app.StartUp()) throw std::runtime_error("start-up failed: " + app.FailureReason());
        double before = 0;
        long wakeupsBefore = 0;
        QTimer poll;
        int waited = 0;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (!online) {
                if (AllOnline(app)) {
                    online = true;
                    poll.stop();
                    // Settled: the presence notices are in and the first idle passes done.
                    QTimer::singleShot(3000, [&] {
                        before = ProcessCpuSeconds();
                        wakeupsBefore = ThreadWakeups();
                        QTimer::singleShot(seconds * 1000, [&] {
                            used = ProcessCpuSeconds() - before;
                            // The wait that this timer ended is not counted.
                            wakeups = ThreadWakeups() - wakeupsBefore - 1;
                            QCoreApplication::exit(0);
                        });
                    });
                } else if (++waited > 600) {
                    QCoreApplication::exit(1);
                }
            }
        });
        poll.start(100);
        app.RunLoop();
        poll.stop();
        app.ShutDown();
    }
    const double limit = 0.06 * seconds / 60.0;
    char target[64];
    std::snprintf(target, sizeof target, "<= %.2g s in %d s", limit, seconds);
    PrintFigure({"idle_window", used, "s CPU", target, online && used <= limit, {}});
    const long wakeupLimit = seconds;
    std::snprintf(target, sizeof target, "<= %ld in %d s", wakeupLimit, seconds);
    PrintFigure({"idle_window_wakeups",
                 static_cast<double>(wakeups),
                 "window-thread wake-ups",
                 target,
                 online && wakeups <= wakeupLimit,
                 {}});
    return online ? 0 : 1;
}

}  // namespace zul::bench
