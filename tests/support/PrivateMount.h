#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

// Runs `body` in a child process that has a mount namespace of its own, so that it may mount
// and unmount freely without anyone else seeing it; everything it mounted goes away with it.
// The text `body` returns comes back to the caller (with a note when the child died). None when
// this machine does not let us make such a namespace (not root, or in a container that forbids
// it): the caller skips.
inline std::optional<std::string> runInPrivateMountNamespace(
    const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        const std::string out = body();
        for (size_t done = 0; done < out.size();) {
            const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) _exit(1);
            done += size_t(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; pid > 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid ||
        (WIFEXITED(status) && WEXITSTATUS(status) == 77))
        return std::nullopt;
    // A child that died must fail the caller's checks, not skip them.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed with status " + std::to_string(status) + ": " + out;
    return out;
}

// Whether the child's mount is available.
inline bool canMountPrivately() {
    if (geteuid() != 0) return false;
    auto probe = runInPrivateMountNamespace([] { return std::string("ok"); });
    return probe && *probe == "ok";
}
