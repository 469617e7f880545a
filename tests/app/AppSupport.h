#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QVariantList>
#include <QVariantMap>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

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

// The log is flushed at least once a second.
inline bool waitForLog(const QString& text, double seconds = 10) {
    return pollUntil([&] { return logText().contains(text); }, seconds);
}
