#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// A dbus-daemon of the test process's own, named in DBUS_SESSION_BUS_ADDRESS, so that scripting
// tests never reach the user's session bus and parallel tests never meet. Start it before the
// application object and the first bus connection.
class PrivateBus {
  public:
    PrivateBus() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        _pid = fork();
        if (_pid == 0) {
            // Gone with the test even when the test crashes.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out[1], STDOUT_FILENO);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd wait = {out[0], POLLIN, 0};
        char c;
        while (_pid > 0 && poll(&wait, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(out[0]);
        if (line.empty()) return;
        _address = line;
        setenv("DBUS_SESSION_BUS_ADDRESS", _address.c_str(), 1);
    }
    ~PrivateBus() {
        if (_pid <= 0) return;
        kill(_pid, SIGTERM);
        waitpid(_pid, nullptr, 0);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return !_address.empty(); }
    const std::string& address() const { return _address; }

  private:
    pid_t _pid = -1;
    std::string _address;
};
