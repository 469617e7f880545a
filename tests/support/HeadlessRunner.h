#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

// The build folder's headless runner: named by CTest, or found beside the test's own folder.
inline std::string headlessRunnerBinary() {
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

// How one run of the runner ended, with everything it wrote to either stream.
struct HeadlessRun {
    bool started = false;
    bool timedOut = false;  // killed by us
    int exitStatus = -1;    // when it exited by itself
    int signal = 0;         // when a signal ended it
    double seconds = 0;
    std::string output;

    bool exitedWith(int status) const { return !timedOut && signal == 0 && exitStatus == status; }
    bool says(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// Runs the runner on `mountPoint` with `options` (for instance {"--conflict", "1"}) to its end;
// one still running after `timeout` seconds is killed as hung.
inline HeadlessRun runHeadless(const std::string& mountPoint,
                               const std::vector<std::string>& options = {}, double timeout = 60) {
    HeadlessRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return run;
    const std::string binary = headlessRunnerBinary();
    std::vector<std::string> args = {binary, mountPoint};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    pid_t pid;
    const int err = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        run.output = "cannot start " + binary;
        return run;
    }
    run.started = true;
    for (;;) {
        if (!run.timedOut && elapsed() > timeout) {
            kill(pid, SIGKILL);
            run.timedOut = true;
            run.output += "\n(timed out)\n";
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            run.output.append(buf, size_t(n));
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = elapsed();
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}
