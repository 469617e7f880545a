#include "Presswatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace presswatch {

namespace {

const char* const kLaunchOption = "-doautolnch";
const std::uint64_t kShortPausePasses = 9;
const std::uint64_t kFirstLaunchPass = 2;

const char* const kSessionVariables[] = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
                                         "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"};

__attribute__((format(printf, 3, 4))) void logf(const Config& config, int priority,
                                                const char* format, ...) {
    if (!config.log) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string message(length > 0 ? length : 0, '\0');
    if (length > 0) vsnprintf(message.data(), message.size() + 1, format, again);
    va_end(again);
    config.log(priority, message);
}

struct Process {
    pid_t pid;
    std::string name;
};

enum class TableRead { ok, cantOpen, cantRead };

bool parsePid(const char* text, pid_t& pid) {
    const char* end = text;
    while (*end >= '0' && *end <= '9') ++end;
    if (end == text || *end != '\0') return false;
    auto [ptr, ec] = std::from_chars(text, end, pid);
    return ec == std::errc() && ptr == end;
}

bool readWholeFile(const std::string& path, std::string& contents) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    contents.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// The numeric entries of the proc folder in id order, with their short command names. A process
// that ends while we look leaves an unreadable entry behind; that is skipped, not a failure.
TableRead readProcessTable(const std::string& procFolder, std::vector<Process>& table) {
    DIR* dir = opendir(procFolder.c_str());
    if (!dir) return TableRead::cantOpen;
    std::vector<pid_t> pids;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) {
                closedir(dir);
                return TableRead::cantRead;
            }
            break;
        }
        pid_t pid = 0;
        if (parsePid(entry->d_name, pid) && pid != 0) pids.push_back(pid);
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());

    table.clear();
    std::string name;
    for (pid_t pid : pids) {
        if (!readWholeFile(procFolder + "/" + std::to_string(pid) + "/comm", name)) continue;
        if (!name.empty() && name.back() == '\n') name.pop_back();
        table.push_back({pid, name});
    }
    return TableRead::ok;
}

void pauseFor(const Config& config, unsigned seconds) {
    if (config.pause) {
        config.pause(seconds);
        return;
    }
    timespec left{static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

pid_t GetPID(const Config& config, const std::string& name) {
    std::vector<Process> table;
    if (readProcessTable(config.procFolder, table) != TableRead::ok) {
        logf(config, LOG_ERR, "GetPID: Failure calling sysctl");
        return -1;
    }
    for (const Process& process : table)
        if (process.name == name) return process.pid;
    return -1;
}

int IsAppRunning(const Config& config, const std::string& name, int instances) {
    std::vector<Process> table;
    switch (readProcessTable(config.procFolder, table)) {
        case TableRead::cantOpen:
            logf(config, LOG_ERR,
                 "IsAppRunning: Failure calling sysctl for process list buffer size");
            return -1;
        case TableRead::cantRead:
            logf(config, LOG_ERR, "IsAppRunning: Failure calling sysctl for process list");
            return -1;
        case TableRead::ok:
            break;
    }
    long count = std::count_if(table.begin(), table.end(),
                               [&](const Process& process) { return process.name == name; });
    return count == instances ? 1 : 0;
}

int LaunchNotificationApp(const Config& config, const std::string& appFolder) {
    const char* executable = config.executable.c_str();
    pid_t pid = fork();
    if (pid < 0) {
        logf(config, LOG_INFO, "LaunchNotificationApp: can't fork.");
        return 0;
    }
    if (pid == 0) {
        execl(executable, executable, kLaunchOption, appFolder.c_str(),
              static_cast<char*>(nullptr));
        int error = errno;
        logf(config, LOG_INFO, "LaunchNotificationApp: execl(%s, %s, %s) failed with error %d",
             executable, kLaunchOption, appFolder.c_str(), error);
        logf(config, LOG_INFO, "LaunchNotificationApp: exit because pid from fork invalid");
        // _exit: the copy of our process must not run exit handlers or flush our buffers twice.
        _exit(1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        logf(config, LOG_INFO,
             "LaunchNotificationApp: waitpid(pid, &status, 0) != pid && WIFEXITED(status) failed "
             "with error %d",
             4);
        return 0;
    }
    if (WEXITSTATUS(status) != 0) {
        logf(config, LOG_INFO,
             "LaunchNotificationApp: waitpid(pid, &status, 0) == pid && WIFEXITED(status) failed "
             "with error %d",
             WEXITSTATUS(status));
        return 0;
    }
    logf(config, LOG_INFO, "LaunchNotificationApp: launchok by all indications");
    return 1;
}

bool startupCheckEnds(const Config& config) {
    return IsAppRunning(config, config.startupCheckName, 2) != 0;
}

void adoptSessionEnvironment(const std::string& procFolder, pid_t pid) {
    std::string block;
    if (!readWholeFile(procFolder + "/" + std::to_string(pid) + "/environ", block)) return;
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\0', start);
        if (end == std::string::npos) end = block.size();
        std::string entry = block.substr(start, end - start);
        start = end + 1;
        size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        std::string name = entry.substr(0, equals);
        for (const char* wanted : kSessionVariables)
            if (name == wanted) setenv(wanted, entry.c_str() + equals + 1, 1);
    }
}

void watch(const Config& config) {
    std::uint64_t pass = 0;
    pid_t lastWindowManager = -1;
    for (;;) {
        ++pass;
        pid_t windowManager = GetPID(config, config.windowManagerName);
        if (windowManager > 0 && windowManager != lastWindowManager) {
            if (config.adoptEnvironment)
                config.adoptEnvironment(windowManager);
            else
                adoptSessionEnvironment(config.procFolder, windowManager);
            lastWindowManager = windowManager;
        }
        // An unreadable table (-1) counts as running: better no launch than a second copy.
        struct stat folder;
        if (IsAppRunning(config, config.notificationAppName, 1) == 0 &&
            stat(config.appFolder.c_str(), &folder) == 0 && pass >= kFirstLaunchPass)
            LaunchNotificationApp(config, config.appFolder);
        pauseFor(config, pass <= kShortPausePasses ? config.shortPause : config.longPause);
        if (config.maxPasses != 0 && pass >= config.maxPasses) return;
    }
}

}  // namespace presswatch
