#pragma once

// What the reliability tests share: a sandbox whose trees can be saved and put back, the states
// of both sides a run is judged by, and a private mount namespace to break drives in.

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QHashFunctions>
#include <QVariant>
#include <cstring>

#include "PrivateMount.h"
#include "Runner.h"
#include "Sandbox.h"
#include "TreeSnapshot.h"

// These tests flush whole file systems many times over (every run does): on a tmpfs that
// costs nothing, on a disk that other programs write to it took ten times as long.
inline const bool kTreesInMemory = [] {
    struct statfs fs;
    return !getenv("TMPDIR") && statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC &&
           access("/dev/shm", W_OK) == 0 && uint64_t(fs.f_bavail) * fs.f_bsize >= (1ull << 30) &&
           setenv("TMPDIR", "/dev/shm", 1) == 0;
}();

inline bool shell(const std::string& command) {
    return system(command.c_str()) == 0;
}

inline bool isTemporaryPath(const std::string& path) {
    return path.rfind(".pellora-tmp-", 0) == 0 || path.find("/.pellora-tmp-") != std::string::npos;
}

// Regular files under their real names, by path, with their digests.
using Files = std::map<std::string, QByteArray>;
inline QByteArray digest(const QByteArray& data) {
    return QByteArray::number(qHash(data, 1), 16);
}
inline Files filesOf(const TreeSnapshot& tree) {
    Files files;
    for (const auto& [path, item] : tree)
        if (S_ISREG(item.type) && !isTemporaryPath(path)) files[path] = item.contents;
    return files;
}

// A tree without what the comparison leaves out (a path or anything below it), file contents
// reduced to a digest so that a few states fit in memory, folder times left out (made anew by
// every run).
inline TreeSnapshot digestOf(const std::string& root, const std::vector<std::string>& leaveOut) {
    TreeSnapshot out;
    for (auto& [path, item] : snapshotTree(root, false)) {
        bool left = false;
        for (const std::string& p : leaveOut) left |= path == p || path.rfind(p + "/", 0) == 0;
        // A fast hash is enough: the states compared are the test's own, not chosen to collide.
        if (S_ISREG(item.type)) item.contents = digest(item.contents);
        if (!left) out.emplace(path, std::move(item));
    }
    return out;
}

// Every file of `now` holds its contents of `before` or of `after`, and none that both hold
// is gone. Gives the faults found.
inline std::string wholeFiles(const Files& now, const Files& before, const Files& after,
                              const std::string& side) {
    std::string faults;
    for (const auto& [path, contents] : now)
        if (!(before.count(path) && before.at(path) == contents) &&
            !(after.count(path) && after.at(path) == contents))
            faults += side + " '" + path + "' holds neither its old nor its new contents\n";
    for (const auto& [path, contents] : before)
        if (after.count(path) && !now.count(path)) faults += side + " '" + path + "' is gone\n";
    return faults;
}

// Every file staged under a real name already holds what `end` holds in its place, `end`
// naming the side's files by their path below `prefix`.
inline std::string stagedFaults(const std::string& staging, const Files& end,
                                const std::string& prefix = "") {
    std::string faults;
    for (const auto& [path, contents] : filesOf(digestOf(staging + "/~", {}))) {
        if (!end.count(prefix + path) || end.at(prefix + path) != contents)
            faults += staging + ": '" + path + "' is not the copy it should be\n";
    }
    return faults;
}

// Both sides as a run left them, and the drive's sync list as its configuration holds it
// ("<unreadable>" when it can't be read).
struct State {
    TreeSnapshot mac, drive;
    QStringList list;
    bool operator==(const State&) const = default;
};

class Scene : public Sandbox {
  public:
    explicit Scene(const char* id, const std::string& fsType = "hfsplus")
        : Sandbox(QString::fromLatin1(id), fsType) {}

    State state() const {
        const QVariantMap config =
            readPropertyList(readFile(configPath())).value_or(QVariant()).toMap();
        QStringList list = {QStringLiteral("<unreadable>")};
        if (config.value(QStringLiteral("tapline-uuid")) == id)
            list = config.value(QStringLiteral("tapline-items-to-sync")).toStringList();
        return {digestOf(home, {".TL_VS_W"}),
                digestOf(drive, {".TolvexConfig", "Tolvex/TL_VS_W", "lost+found"}), list};
    }
    bool stagingLeft() const { return pathExists(driveStaging()) || pathExists(macStaging()); }

    // Both sides and the preferences (which hold the last sync time) copied aside, and back.
    void save(const std::string& to) const {
        ASSERT_TRUE(shell("rm -rf '" + to + "' && mkdir -p '" + to + "' && cd '" + top +
                          "' && for d in home drive .config .local; do [ ! -e $d ] || cp -a $d '" +
                          to + "' || exit 1; done"));
    }
    void restore(const std::string& from) const {
        ASSERT_TRUE(shell("cd '" + top + "' && rm -rf home drive .config .local && cp -a '" + from +
                          "'/. ."));
    }
};

// Deterministic bytes of any size.
inline QByteArray bytes(size_t size, unsigned seed) {
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    char* out = data.data();  // detached once, not per byte: sanitizer builds stay quick
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        memcpy(out + i, &x, std::min<size_t>(8, size - i));
    }
    return data;
}

// Dates hours ahead of the program's start, the same at every call: changes made for a test
// are clearly newer than any run, and made again they are made alike.
inline int64_t anHourAhead(int step) {
    static const int64_t base = (int64_t(time(nullptr)) + 3 * 3600) * kSecondNs;
    return base + int64_t(step) * 1000000007;
}

// Runs `body` in a mount namespace of its own and expects it to find no fault; skips where
// that is not permitted.
inline void inPrivateNamespace(const std::function<std::string()>& body) {
    if (!canMountPrivately()) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    if (!shell("command -v mkfs.ext4 >/dev/null")) GTEST_SKIP() << "no mkfs.ext4";
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const auto result = runInPrivateMountNamespace(body);
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_EQ(*result, "");
}
