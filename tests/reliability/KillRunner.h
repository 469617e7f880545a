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

extern char** environ;

namespace kill_campaign {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The build folder's runner: named by CTest, or found beside this test's own folder.
inline std::string runnerBinary() {
    if (const char* dir = getenv("PELLORA_TEST_BINARY_DIR"); dir && *dir)
        return std::string(dir) + "/bench/pellora-headless";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    std::string build(self, size_t(n));
    for (int up = 0; up < 2 && build.rfind('/') != std::string::npos; ++up)
        build.erase(build.rfind('/'));
    return build + "/bench/pellora-headless";
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
    RunnerRun run;
    // A runner that dies before it reads its line must not take the test with it.
    signal(SIGPIPE, SIG_IGN);
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    if (!options.marker.empty() && pipe2(in, O_CLOEXEC) != 0) return run;
    const std::string binary = runnerBinary();
    std::vector<std::string> args = {binary, mountPoint};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (in[0] >= 0)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    Clock::time_point start = Clock::now();
    pid_t pid;
    const int err = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (in[0] >= 0) close(in[0]);
    if (err != 0) {
        close(out[0]);
        if (in[1] >= 0) close(in[1]);
        run.output = "cannot start " + binary;
        return run;
    }
    bool going = options.marker.empty();
    const double killAfter = options.killAfter;
    constexpr double kTimeout = 120;
    for (;;) {
        const double elapsed = secondsSince(start);
        const bool due = going && killAfter >= 0 && elapsed >= killAfter;
        if (!run.killed && (due || elapsed > kTimeout)) {
            kill(pid, SIGKILL);
            run.killed = true;
            run.killedAfter = elapsed;
            if (elapsed > kTimeout) run.output += "\n(timed out)\n";
        }
        double wait = 0.05;
        if (going && !run.killed && killAfter >= 0) wait = std::min(wait, killAfter - elapsed);
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, std::max(0, int(wait * 1000))) > 0) {
            char buf[4096];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            run.output.append(buf, size_t(n));
            if (!going && run.output.find(options.marker) != std::string::npos) {
                if (options.atMarker) options.atMarker();
                going = true;
                start = Clock::now();
                const ssize_t sent = write(in[1], "\n", 1);
                (void)sent;  // a runner that died already shows in its status
            }
        }
    }
    if (!run.killed) run.endedAfter = secondsSince(start);
    close(out[0]);
    if (in[1] >= 0) close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exited = WIFEXITED(status);
    if (run.exited) run.exitStatus = WEXITSTATUS(status);
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
