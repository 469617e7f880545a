#include "Presswatch.h"

#include <syslog.h>
#include <unistd.h>

#include <csignal>

// Presswatch takes no arguments and reports only to the system log.
int main() {
    // With children ignored by whoever started us, every wait would fail and each launch would
    // read as killed; the default disposition lets us collect our child's status.
    signal(SIGCHLD, SIG_DFL);

    setsid();  // fails when we already lead a process group; that is fine
    if (chdir("/") != 0) {
        // Nothing depends on the working directory; keep going.
    }

    presswatch::Config config;
    config.log = [](int priority, const std::string& message) {
        syslog(priority, "%s", message.c_str());
    };
    if (presswatch::startupCheckEnds(config)) return 0;

    if (daemon(0, 0) != 0) {
        // Could not fork into the background: watch from the foreground instead.
    }
    openlog("Presswatch: ", LOG_PID, LOG_DAEMON);
    syslog(LOG_INFO, "main: Presswatch was launched.");
    presswatch::watch(config);
    return 0;
}
