#include "ui/shell/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

namespace zul {
namespace {

// The handler only writes a byte; the application reads it on its own thread.
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_received = 0;

void OnTerminationSignal(int number) {
    if (g_received) {
        // Asked again while the first request is handled: stop now.
        signal(number, SIG_DFL);
        raise(number);
        return;
    }
    g_received = 1;
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] ssize_t written = write(g_pipe[1], &byte, 1);
    errno = saved;
}

// Runs in the constructor of the application object, on its thread.
void WatchTerminationPipe() {
    if (g_pipe[0] < 0) return;
    QCoreApplication* application = QCoreApplication::instance();
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, application);
    QObject::connect(notifier, &QSocketNotifier::activated, application, [notifier] {
        char bytes[8];
        while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
        }
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(WatchTerminationPipe)

void QuitOnTerminationSignals() {
    if (g_pipe[0] >= 0) return;
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaction(number, &action, nullptr);
}

}  // namespace zul
