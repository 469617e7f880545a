#pragma once

// Starts the headless runner and SIGKILLs it at a chosen moment, for the kill campaign.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Runner.h"

extern char** environ;

namespace kill_campaign {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a command without a shell, its output thrown away; true when it exits 0.
inline bool runCommand(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct RunnerRun {
    bool exited = false;  // on its own, not by our signal
    int exitStatus = -1;
    bool killed = false;
    double killedAfter = -1;
    double endedAfter = -1;  // seconds until the output closed, when it was not killed
    std::string output;
};

struct RunnerOptions {
    std::vector<std::string> arguments;  // after the mount point
    double killAfter = -1;               // seconds; negative: never
    // When set, the runner is started with a pipe on its standard input; once this text shows
    // in its output, `atMarker` runs, a line goes to the runner and the clock starts then.
    std::string marker;
    std::function<void()> atMarker;
};

// Starts the runner on `mountPoint` and, when `killAfter` is not negative, SIGKILLs it that
// many seconds after the start (or after the marker).
inline RunnerRun runRunner(const std::string& mountPoint, const RunnerOptions& options) {
    constexpr double kTimeout = 120;
    RunnerRun run;
    RunnerProcess runner;
    if (runner.start(mountPoint, options.arguments, !options.marker.empty())) {
        if (!options.marker.empty() && runner.watchFor(options.marker, kTimeout)) {
            if (options.atMarker) options.atMarker();
            runner.restartClock();
            runner.sendLine();
        }
        if (options.killAfter >= 0 && !runner.outputEnded()) {
            runner.watch([](const std::string&) { return false; }, options.killAfter);
            if (!runner.outputEnded()) {
                runner.kill9();
                run.killed = true;
                run.killedAfter = runner.secondsRunning();
            }
        }
    }
    run.exitStatus = runner.finish(kTimeout);
    if (!run.killed) run.endedAfter = runner.secondsRunning();
    run.exited = run.exitStatus >= 0;
    run.output = runner.output();
    if (runner.timedOut()) {
        run.killed = true;
        run.killedAfter = runner.secondsRunning();
        run.output += "\n(timed out)\n";
    }
    return run;
}

inline RunnerRun runRunner(const std::string& mountPoint, std::vector<std::string> arguments,
                           double killAfter = -1) {
    RunnerOptions options;
    options.arguments = std::move(arguments);
    options.killAfter = killAfter;
    return runRunner(mountPoint, options);
}

// The number of kills the whole campaign makes (PELLORA_KILLS, default 50, at least 4), so that
// the slow sanitizer builds can make fewer; `kind` of four gets its share.
inline int killShare(int kind) {
    const char* setting = getenv("PELLORA_KILLS");
    const int total = setting ? std::max(4, atoi(setting)) : 50;
    return total / 4 + (kind < total % 4 ? 1 : 0);
}

}  // namespace kill_campaign
