// Pellora: keeps chosen folders in two-way sync with copies on an external drive.
//
//   pellora [drive ...]
//
// Each drive named on the command line (any path on it) is synced once the application runs,
// as if its icon had been opened with the application. When Pellora already runs in this
// session, the drives go to that one and this one ends.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KTLAppDelegate.h"
#include "KTLDesktopSession.h"
#include "KTLSyncController.h"

namespace {

int sSignalFds[2] = {-1, -1};

void quitSignalHandler(int) {
    const char byte = 1;
    const int saved = errno;
    // Nothing else is safe in a handler; the event loop reads the byte.
    [[maybe_unused]] ssize_t n = write(sSignalFds[1], &byte, 1);
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP ask to quit, like the Quit command: refused while a drive is busy.
void routeQuitSignals(QObject* parent, KTLAppDelegate* delegate) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sSignalFds) != 0) return;
    auto* notifier = new QSocketNotifier(sSignalFds[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [delegate] {
        char buffer[16];
        while (read(sSignalFds[0], buffer, sizeof buffer) > 0) {
        }
        delegate->terminate();
    });
    struct sigaction action = {};
    action.sa_handler = quitSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

// Tests shorten the worker's idle poll and the count of idle polls before a continuous-sync
// pass: PELLORA_WORKER_TIMING="<poll milliseconds>,<idle count>". The defaults stay otherwise.
void applyWorkerTimingHook() {
    const char* value = getenv("PELLORA_WORKER_TIMING");
    int pollMs = 0, idleCount = 0;
    if (value && sscanf(value, "%d,%d", &pollMs, &idleCount) == 2 && pollMs > 0 && idleCount > 0)
        KTLSyncController::setWorkerTiming(std::chrono::milliseconds(pollMs), idleCount);
}

}  // namespace

int main(int argc, char** argv) {
    applyWorkerTimingHook();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellora"));
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    // Windows are matched to the desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.orvane.Pellora"));

    // Qt has taken its own options out of argv; what is left are drives, as bytes.
    std::vector<std::string> drives(argv + 1, argv + argc);
    // A second start hands its drives to the first and ends.
    if (std::optional<int> status = KTLDesktopSession::becomeTheOnlyInstance(drives))
        return *status;

    KTLAppDelegate delegate;
    routeQuitSignals(&app, &delegate);
    delegate.applicationWillFinishLaunching();
    QTimer::singleShot(0, &delegate, [&delegate, drives] {
        delegate.applicationDidFinishLaunching();
        if (!drives.empty()) delegate.openFiles(drives);
    });
    return app.exec();
}
