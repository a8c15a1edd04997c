// startup: a profile with 5 accounts, 20,000 contacts and 1,000,000 history rows; the time
// from the start of the client process to its first painted main window. `startup_first` is
// the first start on the profile as it was written (the client counts every history once, for
// the list sorted by activity); `startup` is the next start, on the profile as that client
// left it, as every start after the first finds it.
//
// The driver starts a child process of this program that runs the client as the program's own
// entry does (the application object, ClientApp's start-up, the message loop) and reports
// through a pipe once the main window's first paint is done. The time runs from just before
// the child is forked to that report.
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/bench_profile.h"
#include "support/figures.h"
#include "support/test_env.h"
#include "ui/drivers.h"
#include "ui/framework/main_window.h"
#include "ui/shell/app.h"

namespace zul::bench {
namespace {

constexpr const char* kPipeVariable = "ZUL_BENCH_REPORT_FD";

WorldSpec StartupWorld() {
    WorldSpec shape;
    shape.accounts = 5;
    shape.contactsPerAccount = 4000;
    shape.groupsPerAccount = 20;
    shape.historyPerContact = 50;      // 1,000,000 rows
    shape.historyCountsSaved = false;  // as an older client wrote it
    return shape;
}

// The generated profile is kept between runs (writing a million rows takes a while); each run
// starts from a fresh copy of it.
std::string CachedProfile() {
    const std::string folder = std::filesystem::temp_directory_path().string() + "/zul-startup-v3/";
    const std::string path = folder + "zul.profile";
    if (std::filesystem::exists(path)) return path;
    std::filesystem::create_directories(folder);
    const std::string partial = folder + "partial.profile";
    std::filesystem::remove(partial);
    WriteProfile(partial, StartupWorld(), {});
    std::filesystem::rename(partial, path);
    return path;
}

// Reports once the first paint of the window is over (the zero timer runs after it).
class FirstPaint : public QObject {
  public:
    explicit FirstPaint(int fd) : fd_(fd) {}

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, [this] {
                const char done = 1;
                if (write(fd_, &done, 1) != 1) std::_Exit(3);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

  private:
    int fd_;
    bool seen_ = false;
};

}  // namespace

int RunStartupChild(int argc, char** argv) {
    const char* fdText = std::getenv(kPipeVariable);
    if (!fdText) return 2;
    const int fd = std::atoi(fdText);
    // As AppMain: the application object, the client's start-up and its loop.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zul"));
    int code = 1;
    {
        ClientApp app;
        app.SetInstanceKey("zul-bench-startup-" + std::to_string(getpid()));
        if (app.StartUp()) {
            FirstPaint watcher(fd);
            app.Window()->installEventFilter(&watcher);
            code = app.RunLoop();
            app.Window()->removeEventFilter(&watcher);
        } else {
            std::fprintf(stderr, "startup: %s\n", app.FailureReason().c_str());
        }
        app.ShutDown();
    }
    return code;
}

namespace {

// Starts the client on the profile in `folder` and waits for its first paint; the seconds, or
// a negative number when it never painted.
double TimeOneStart(const std::string& folder) {
    int report[2];
    if (pipe(report) != 0) throw std::runtime_error("pipe failed");
    setenv("ZUL_DATA_DIR", folder.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv(kPipeVariable, std::to_string(report[1]).c_str(), 1);

    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        close(report[0]);
        execl(self.c_str(), self.c_str(), "startup_child", static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    close(report[1]);
    char done = 0;
    const bool painted = read(report[0], &done, 1) == 1;
    const double seconds = SecondsBetween(start, Clock::now());
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!painted || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "startup: the client never painted or failed (exit status %d)\n",
                     status);
        return -1;
    }
    return seconds;
}

}  // namespace

int RunStartup(int argc, char** argv) {
    (void)argc;
    (void)argv;
    const std::string cached = CachedProfile();
    test::TempFolder data;
    std::filesystem::copy_file(cached, data.File("zul.profile"));
    const double first = TimeOneStart(data.Path());
    // The first client left the counts of the histories in the profile, as it does at exit.
    const double next = first < 0 ? -1 : TimeOneStart(data.Path());
    PrintFigure({"startup_first", first, "s", "", first >= 0, {}});
    PrintFigure({"startup", next, "s", "<= 0.3 s", next >= 0 && next <= 0.3, {}});
    return first >= 0 && next >= 0 ? 0 : 1;
}

}  // namespace zul::bench
