#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

// Presswatch keeps the notification application running: it polls the process table and
// launches the application whenever it is missing, inside the session of the window manager.
namespace presswatch {

// Receives a priority (LOG_INFO, LOG_ERR) and the finished message text.
using Logger = std::function<void(int priority, const std::string& message)>;

// Everything the watcher reads or waits on. The defaults are what the installed daemon runs
// with; tests point the names, folders and pauses at their own processes and clocks.
struct Config {
    std::string procFolder = "/proc";
    std::string windowManagerName = "Window Manager";
    std::string notificationAppName = "Chimewell";
    std::string startupCheckName = "Chimewell.app";
    std::string appFolder = "/Library/Driver Support/Chimewell.app";
    std::string executable = "/Library/Driver Support/Chimewell.app/Contents/MacOS/Chimewell";
    unsigned shortPause = 3;                      // seconds, after passes 1 to 9
    unsigned longPause = 10;                      // seconds, after every later pass
    std::function<void(unsigned seconds)> pause;  // empty: really sleep
    Logger log;                                   // empty: messages are dropped
    std::uint64_t maxPasses = 0;                  // 0: watch for ever
    // Called with the window manager's process id whenever it changes; empty: take over its
    // session environment with adoptSessionEnvironment.
    std::function<void(pid_t)> adoptEnvironment;
};

// Id of the first process (lowest id) whose short command name equals `name`; -1 when there is
// none or the process table can't be read.
pid_t GetPID(const Config& config, const std::string& name);

// 1 when exactly `instances` processes are named `name`, 0 otherwise, -1 when the process table
// can't be read.
int IsAppRunning(const Config& config, const std::string& name, int instances);

// Starts the notification executable on `appFolder` and waits until it ends; 1 when it exited
// with status 0, otherwise 0.
int LaunchNotificationApp(const Config& config, const std::string& appFolder);

// The start-up check: true when the daemon must end at once with status 0.
bool startupCheckEnds(const Config& config);

// Copies the display and session-bus variables of process `pid` into our own environment, so
// that programs we launch reach the user's display.
void adoptSessionEnvironment(const std::string& procFolder, pid_t pid);

// The polling loop; returns only after config.maxPasses passes, when that is set.
void watch(const Config& config);

}  // namespace presswatch
