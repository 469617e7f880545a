#pragma once

// The build's programs as processes of their own: started with their output gathered as it
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

// A program of the build folder: named by CTest, or found beside this test's own folder.
inline std::string buildProgram(const std::string& relative) {
    if (const char* dir = getenv("PELLORA_TEST_BINARY_DIR"); dir && *dir)
        return std::string(dir) + "/" + relative;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string build(self, size_t(n > 0 ? n : 0));
    for (int up = 0; up < 2 && build.rfind('/') != std::string::npos; ++up)
        build.erase(build.rfind('/'));
    return build + "/" + relative;
}
inline std::string headlessRunnerBinary() {
    return buildProgram("bench/pellora-headless");
}

class RunnerProcess {
  public:
    using Clock = std::chrono::steady_clock;
    RunnerProcess() = default;
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;
    ~RunnerProcess() {
        kill9();
        reap(true);
        for (int fd : {_fd, _input})
            if (fd >= 0) close(fd);
    }

    // The headless runner on `mountPoint` with `options` (by default the newer copy wins and
    // items missing on the computer are copied).
    bool start(const std::string& mountPoint,
               const std::vector<std::string>& options = {"--conflict", "1", "--missing", "1"},
               bool withInput = false) {
        std::vector<std::string> args = {headlessRunnerBinary(), mountPoint};
        args.insert(args.end(), options.begin(), options.end());
        return spawn(args, withInput);
    }

    // Any program, standard output and error together; its standard input is a pipe for
    // sendLine() when `withInput` is set, else empty.
    bool spawn(const std::vector<std::string>& args, bool withInput = false) {
        int out[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (withInput && pipe2(in, O_CLOEXEC) != 0)) return false;
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        if (withInput)
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const int err = posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (withInput) close(in[0]);
        _fd = out[0];
        _input = in[1];
        _start = Clock::now();
        if (err == 0) return true;
        _pid = -1;
        _output = "cannot start " + args[0] + "\n";
        return false;
    }

    // Gathers output until `seen(output)` holds (true), or the output ends or `seconds` pass.
    bool watch(const std::function<bool(const std::string&)>& seen, double seconds) {
        const auto end = Clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
        while (!seen(_output)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
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
    void terminate() {
        if (_pid > 0) kill(_pid, SIGTERM);
    }
    // One line to the program's input; one that died already shows in its status.
    void sendLine() {
        ::signal(SIGPIPE, SIG_IGN);
        if (_input >= 0 && write(_input, "\n", 1) < 0) return;
    }

    // Waits for the end, killing the program after `seconds`. The exit status; -1 when a
    // signal ended it (the deadline's: timedOut()).
    int finish(double seconds) {
        const auto end = Clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
        while (!reap(false)) {
            if (Clock::now() > end) {
                _timedOut = true;
                kill9();
                reap(true);
                break;
            }
            if (!readSome(50) && _fd < 0) usleep(10000);
        }
        while (readSome(100)) {
        }
        return _status;
    }
    bool running() { return !reap(false); }
    // Takes what output there is without waiting, so that a chatty program never blocks.
    void drain() {
        while (readSome(0)) {
        }
    }

    const std::string& output() const { return _output; }
    bool outputEnded() const { return _fd < 0; }
    int signal() const { return _signal; }  // 0 when it exited
    bool timedOut() const { return _timedOut; }
    void restartClock() { _start = Clock::now(); }
    double secondsRunning() const {
        return std::chrono::duration<double>(Clock::now() - _start).count();
    }

  private:
    // False once the output has ended or the wait ran out.
    bool readSome(int ms) {
        struct pollfd p = {_fd, POLLIN, 0};
        if (_fd < 0 || poll(&p, 1, ms) <= 0) return false;
        char buf[8192];
        const ssize_t n = read(_fd, buf, sizeof buf);
        if (n > 0) return _output.append(buf, size_t(n)), true;
        close(_fd);
        _fd = -1;
        return false;
    }
    // True once the program has ended (waiting for that when `block`).
    bool reap(bool block) {
        int status = 0;
        if (_pid <= 0) return true;
        if (waitpid(_pid, &status, block ? 0 : WNOHANG) != _pid) return false;
        _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        _signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        _pid = -1;
        return true;
    }

    pid_t _pid = -1;
    int _fd = -1, _input = -1, _status = -1, _signal = 0;
    bool _timedOut = false;
    std::string _output;
    Clock::time_point _start;
};

// How one run of the headless runner ended, with everything it wrote.
struct HeadlessRun {
    bool started = false;
    bool timedOut = false;  // killed at the deadline
    bool killed = false;    // by the run's own kill, before it ended
    int exitStatus = -1;    // when it exited by itself
    int signal = 0;         // when a signal ended it
    double seconds = 0;     // until it ended or was killed
    std::string output;

    bool exited() const { return exitStatus >= 0; }
    bool exitedWith(int status) const { return !timedOut && signal == 0 && exitStatus == status; }
    bool says(const std::string& text) const { return output.find(text) != std::string::npos; }
};

struct HeadlessOptions {
    HeadlessOptions(std::vector<std::string> arguments = {"--conflict", "1", "--missing", "1"})
        : arguments(std::move(arguments)) {}
    std::vector<std::string> arguments;  // after the mount point
    double killAfter = -1;               // seconds (after the marker, if any); negative: never
    double timeout = 120;                // then it is killed as hung
    // When set, once this text shows in the output `atMarker` runs, a line goes to the
    // runner's input and the clock starts again.
    std::string marker;
    std::function<void()> atMarker;
};

// Runs the headless runner on `mountPoint` to its end, or to the kill `o` asks for.
inline HeadlessRun runHeadless(const std::string& mountPoint, const HeadlessOptions& o = {}) {
    HeadlessRun run;
    RunnerProcess runner;
    run.started = runner.start(mountPoint, o.arguments, !o.marker.empty());
    if (run.started && !o.marker.empty() && runner.watchFor(o.marker, o.timeout)) {
        if (o.atMarker) o.atMarker();
        runner.restartClock();
        runner.sendLine();
    }
    if (run.started && o.killAfter >= 0) {
        runner.watch([](const std::string&) { return false; }, o.killAfter);
        run.killed = !runner.outputEnded();
        runner.kill9();
    }
    run.seconds = runner.secondsRunning();
    run.exitStatus = runner.finish(o.timeout);
    if (!run.killed) run.seconds = runner.secondsRunning();
    run.timedOut = runner.timedOut();
    run.signal = runner.signal();
    run.output = runner.output() + (run.timedOut ? "\n(timed out)\n" : "");
    return run;
}
