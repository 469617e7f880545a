#pragma once

// The headless runner as a process of its own: started on a drive, its output gathered as it
// comes, watched for a moment to act on, killed, and never waited for beyond a deadline.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

// The build folder's runner: named by CTest, or found beside this test's own folder.
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

class RunnerProcess {
  public:
    RunnerProcess() = default;
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;
    ~RunnerProcess() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            reap();
        }
        if (_fd >= 0) close(_fd);
        if (_input >= 0) close(_input);
    }

    // Starts the runner on `mountPoint` with `options` (by default: the newer copy wins and
    // items missing on the computer are copied), standard output and error together. Its
    // standard input is a pipe for sendLine() when `withInput` is set, else empty.
    bool start(const std::string& mountPoint,
               const std::vector<std::string>& options = {"--conflict", "1", "--missing", "1"},
               bool withInput = false) {
        int fds[2], in[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        if (withInput && pipe2(in, O_CLOEXEC) != 0) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
        std::vector<std::string> args = {headlessRunnerBinary(), mountPoint};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        if (in[0] >= 0)
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const int err =
            posix_spawn(&_pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (in[0] >= 0) close(in[0]);
        _fd = fds[0];
        _input = in[1];
        _start = std::chrono::steady_clock::now();
        if (err != 0) {
            _pid = -1;
            _output = "cannot start " + args[0] + "\n";
            return false;
        }
        return true;
    }

    // Gathers output until `seen(output)` holds (true), or the runner's output ends or
    // `seconds` pass (false).
    bool watch(const std::function<bool(const std::string&)>& seen, double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
        while (!seen(_output)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(int(left.count()))) return seen(_output);
        }
        return true;
    }
    bool watchFor(const std::string& text, double seconds) {
        return watch([&](const std::string& out) { return out.find(text) != std::string::npos; },
                     seconds);
    }

    void kill9() {
        if (_pid > 0) kill(_pid, SIGKILL);
    }

    // One line to the runner's input; a runner that died already shows in its status.
    void sendLine() {
        if (_input < 0) return;
        ::signal(SIGPIPE, SIG_IGN);
        const ssize_t sent = write(_input, "\n", 1);
        (void)sent;
    }

    // Waits for the end, killing the runner after `seconds`. The exit status; -1 when it was
    // killed, by us or by the deadline (then timedOut()).
    int finish(double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
        while (!exited()) {
            if (std::chrono::steady_clock::now() > end) {
                _timedOut = true;
                kill(_pid, SIGKILL);
                break;
            }
            if (!readSome(50) && _fd < 0) usleep(10000);
        }
        while (readSome(100)) {
        }
        return reap();
    }

    const std::string& output() const { return _output; }
    bool outputEnded() const { return _fd < 0; }
    // The signal that ended the runner, 0 when it exited.
    int signal() const { return _signal; }
    bool timedOut() const { return _timedOut; }
    // secondsRunning() counts from now on.
    void restartClock() { _start = std::chrono::steady_clock::now(); }
    double secondsRunning() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    }

  private:
    // False once the output has ended or the wait ran out.
    bool readSome(int ms) {
        if (_fd < 0) return false;
        struct pollfd p = {_fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char buf[8192];
        const ssize_t n = read(_fd, buf, sizeof buf);
        if (n <= 0) {
            close(_fd);
            _fd = -1;
            return false;
        }
        _output.append(buf, size_t(n));
        return true;
    }
    bool exited() {
        if (_pid <= 0) return true;
        int status = 0;
        if (waitpid(_pid, &status, WNOHANG) != _pid) return false;
        _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        _signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        _pid = -1;
        return true;
    }
    int reap() {
        if (_pid > 0) {
            int status = 0;
            waitpid(_pid, &status, 0);
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            _signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            _pid = -1;
        }
        return _status;
    }

    pid_t _pid = -1;
    int _fd = -1;
    int _input = -1;
    int _status = -1;
    int _signal = 0;
    bool _timedOut = false;
    std::string _output;
    std::chrono::steady_clock::time_point _start;
};
