#pragma once

#include "PrivateBus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KTLUserDefaults.h"
#include "PropertyList.h"
#include "TempDir.h"

extern char** environ;

// Where a test's home keeps the application's settings and log.
inline std::string xdg(const char* variable) {
    const char* value = getenv(variable);
    return value ? value : "";
}
inline std::string defaultsFile() {
    return xdg("XDG_CONFIG_HOME") + "/Orvane/Pellora.plist";
}
inline std::string logFile() {
    return xdg("XDG_STATE_HOME") + "/Pellora/Pellora.log";
}

// Writes the user's own settings, as if the user had set them before the start.
inline void writeDefaults(const QVariantMap& values) {
    mkdir(xdg("XDG_CONFIG_HOME").c_str(), 0755);
    mkdir((xdg("XDG_CONFIG_HOME") + "/Orvane").c_str(), 0755);
    ASSERT_TRUE(writeFile(defaultsFile(), writePropertyListXML(values)));
}

// Makes `drive` a prepared drive: a configuration with its sync list and identifier.
inline void prepareDrive(const std::string& drive, const QStringList& items, const QString& id) {
    QVariantList list;
    for (const QString& item : items) list.append(item);
    QVariantMap config;
    config.insert(QStringLiteral("tapline-items-to-sync"), list);
    config.insert(QStringLiteral("tapline-uuid"), id);
    ASSERT_TRUE(writeFile(drive + "/.TolvexConfig", writePropertyListXML(config)));
}

// Makes `id` a drive this computer has synced before (its record as a first sync leaves it), so
// that sync-on-connect goes ahead without asking.
inline void knownDrive(const QString& id) {
    KTLUserDefaults& store = KTLUserDefaults::sharedInstance();
    store.setObject(QVariantMap{{QStringLiteral("local-last-sync-time"),
                                 QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc())},
                                {QStringLiteral("local-continuous-sync"), true}},
                    id);
    ASSERT_TRUE(store.synchronize());
}

inline void writeTree(const std::string& path, const QByteArray& contents) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    ASSERT_TRUE(writeFile(path, contents)) << path;
}

inline QString logText() {
    return QString::fromUtf8(readFile(logFile()));
}

// Polls `done` every few milliseconds for up to `seconds`.
template <typename Predicate>
bool pollUntil(Predicate done, double seconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs the event loop of this process until `done` or `ms` have passed.
template <typename Predicate>
bool runUntil(Predicate done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Ends every drive's worker, then lets the delegate go: a worker still running would hand its
// last lines to windows that are gone by then.
template <typename Delegate>
void endWorkersAndRelease(std::unique_ptr<Delegate>& delegate) {
    if (!delegate) return;
    const auto controllers = delegate->syncControllers();
    for (const auto& [device, controller] : controllers) controller->driveDisappeared();
    EXPECT_TRUE(runUntil(
        [&] {
            for (const auto& [device, controller] : controllers)
                if (controller->workerStarted() && !controller->workerEnded()) return false;
            return true;
        },
        15000));
    delegate.reset();
}

// The log is flushed at least once a second.
inline bool waitForLog(const QString& text, double seconds = 10) {
    return pollUntil([&] { return logText().contains(text); }, seconds);
}

// One run of the program; killed if a test leaves it running.
class Pellora {
  public:
    explicit Pellora(const std::string& errors, std::vector<std::string> arguments = {}) {
        const char* dir = getenv("PELLORA_TEST_BINARY_DIR");
        const std::string program = std::string(dir ? dir : ".") + "/bin/pellora";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // The offscreen platform's warnings would only clutter the test's output.
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        arguments.insert(arguments.begin(), program);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Pellora() {
        if (running()) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    bool started() const { return _pid > 0; }
    bool running() {
        if (_pid <= 0 || _status) return false;
        int status;
        if (waitpid(_pid, &status, WNOHANG) == _pid) _status = status;
        return !_status;
    }
    // Never kill(-1, …): a program that did not start must not take every process with it.
    void quit() {
        if (_pid > 0) kill(_pid, SIGTERM);
    }
    // The exit status once it has ended by itself, none if it is still running.
    std::optional<int> exitStatus(double seconds) {
        pollUntil([&] { return !running(); }, seconds);
        if (!_status) return std::nullopt;
        return WIFEXITED(*_status) ? WEXITSTATUS(*_status) : 128 + WTERMSIG(*_status);
    }

  private:
    pid_t _pid = -1;
    std::optional<int> _status;
};

// A bus of the program's own for the tests that script the application, started by the first
// of them; the others keep to the nonexistent one CTest gives them.
inline void usePrivateBus() {
    static std::unique_ptr<PrivateBus> bus;
    if (bus) return;
    bus = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus->ok()) << "could not start dbus-daemon";
}
