#pragma once

// One run of the headless runner to its end, with everything it wrote.

#include <string>
#include <vector>

#include "Runner.h"

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
    RunnerProcess runner;
    run.started = runner.start(mountPoint, options);
    run.exitStatus = runner.finish(timeout);
    run.timedOut = runner.timedOut();
    run.signal = runner.signal();
    run.seconds = runner.secondsRunning();
    run.output = runner.output();
    if (run.timedOut) run.output += "\n(timed out)\n";
    return run;
}
