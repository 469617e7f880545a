#pragma once

// A loop-mounted ext4 drive and a home, the headless runner between them, and the checks that
// a failing drive must pass: the run fails in bounded time saying why, nothing is lost or
// half-written, and the next run once the fault is gone ends where an untroubled run ends.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "FakeMountTable.h"
#include "InMemoryTemporaryFolder.h"
#include "LoopDrive.h"
#include "PrivateMount.h"
#include "Runner.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace drivefaults {

const std::string kDriveId = "DRIVEFAULTS00000001-0";
const char* const kCompleted = "completed successfully.";

// Regular files under their real names, by path, with their contents.
using Files = std::map<std::string, QByteArray>;

inline bool isTemporaryPath(const std::string& path) {
    return path.rfind(".pellora-tmp-", 0) == 0 || path.find("/.pellora-tmp-") != std::string::npos;
}

inline Files realFiles(const std::string& root, const std::vector<std::string>& leaveOut = {}) {
    Files files;
    for (const auto& [path, item] : snapshotTree(root, false)) {
        if (!S_ISREG(item.type) || isTemporaryPath(path)) continue;
        bool left = false;
        for (const std::string& p : leaveOut) left |= path == p || path.rfind(p + "/", 0) == 0;
        if (!left) files[path] = item.contents;
    }
    return files;
}

// Every file of `now` holds its contents of `before` or of `after`, and none that both hold
// is gone. Gives the faults found.
inline std::string wholeFiles(const Files& now, const Files& before, const Files& after,
                              const std::string& side) {
    std::string faults;
    for (const auto& [path, contents] : now) {
        auto b = before.find(path);
        auto a = after.find(path);
        if ((b == before.end() || b->second != contents) &&
            (a == after.end() || a->second != contents))
            faults += side + " '" + path + "' holds neither its old nor its new contents\n";
    }
    for (const auto& [path, contents] : before)
        if (after.count(path) && !now.count(path)) faults += side + " '" + path + "' is gone\n";
    return faults;
}

class Scene {
  public:
    // The trees live in memory where that is possible: flushes cost nothing there.
    InMemoryTemporaryFolder inMemory{uint64_t(1) << 29};
    TempDir root;
    TestHome home;
    FakeMountTable mounts{root / "mountinfo"};
    std::string mountPoint = makeFolder(root / "drive");
    LoopDrive drive{root / "drive.img", mountPoint};

    // Declared as what it is, and accepted: an ext4 drive keeps nanosecond dates.
    Scene() {
        mounts.add(mountPoint, "/dev/loopfault", "ext4");
        const std::string config = getenv("XDG_CONFIG_HOME"), settings = config + "/Orvane";
        mkdir(config.c_str(), 0755);
        mkdir(settings.c_str(), 0755);
        writeFile(settings + "/Pellora.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>accepted-file-systems</key><array><string>ext4</string></array>"
                  "</dict></plist>\n");
    }

    std::string mac(const std::string& rel) const { return home.path() + "/" + rel; }
    std::string onDrive(const std::string& rel) const { return mountPoint + "/Tolvex/~/" + rel; }
    std::string driveStaging() const { return mountPoint + "/Tolvex/TL_VS_W/" + kDriveId; }
    std::string macStaging() const { return home.path() + "/.TL_VS_W/" + kDriveId; }

    // The drive's configuration, listing `items` (below the home folder).
    bool configure(const std::vector<std::string>& items) const {
        std::string list;
        for (const std::string& item : items) list += "<string>~/" + item + "</string>";
        return writeFile(mountPoint + "/.TolvexConfig",
                         QByteArray::fromStdString(
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                             "<dict><key>tapline-items-to-sync</key><array>" +
                             list + "</array><key>tapline-uuid</key><string>" + kDriveId +
                             "</string></dict></plist>\n"));
    }

    static bool put(const std::string& path, const QByteArray& data, int64_t mtimeNs = 0) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        return writeFile(path, data) && (!mtimeNs || setModificationTime(path, mtimeNs));
    }

    Files homeFiles() const { return realFiles(home.path(), {".config", ".local", ".cache"}); }
    Files driveFiles() const { return realFiles(mountPoint + "/Tolvex/~"); }

    // Runs the runner to its end; the exit status, its output in `output`.
    int run(std::string* output = nullptr, double seconds = 30) const {
        RunnerProcess runner;
        runner.start(mountPoint);
        const int status = runner.finish(seconds);
        if (output) *output = runner.output();
        return status;
    }

    // What a run hit by a fault must show: a failure in bounded time that says why.
    static std::string failedCleanly(int status, const RunnerProcess& runner,
                                     const std::string& reason) {
        std::string faults;
        if (runner.timedOut()) faults += "the run hung\n";
        if (status == 0) faults += "the run exited 0\n";
        if (runner.output().find(kCompleted) != std::string::npos)
            faults += "the run said it completed\n";
        if (runner.output().find(reason) == std::string::npos)
            faults += "the run did not say \"" + reason + "\"\n";
        if (faults.empty()) return faults;
        const std::string& out = runner.output();
        return faults + (out.size() > 4000 ? "..." + out.substr(out.size() - 4000) : out);
    }

    // The next run once the fault is gone: it completes, both copies of each item agree,
    // no staging is left, and the home holds `intended`.
    std::string converges(const std::vector<std::string>& items, const Files& intended) const {
        std::string output;
        if (run(&output) != 0) return "the run after the fault did not complete:\n" + output;
        std::string faults;
        for (const std::string& item : items) {
            const std::string d = describeDifferences(snapshotTree(mac(item), false),
                                                      snapshotTree(onDrive(item), false));
            if (!d.empty()) faults += "the copies of " + item + " differ: " + d + "\n";
        }
        if (pathExists(driveStaging()) || pathExists(macStaging())) faults += "staging is left\n";
        const Files now = homeFiles();
        if (now != intended)
            faults += "the home does not hold what it should (" + std::to_string(now.size()) +
                      " files, " + std::to_string(intended.size()) + " expected)\n";
        return faults;
    }
};

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

// Nanoseconds an hour ahead: changes made for a test are clearly newer than any run.
inline int64_t anHourAhead(int step) {
    return (int64_t(time(nullptr)) + 3600) * 1000000000 + int64_t(step) * 1000000007;
}

// Runs `body` in a mount namespace of its own and expects it to find no fault; skips where
// that is not permitted.
template <typename Body>
void inPrivateNamespace(Body body) {
    if (!canMountPrivately()) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    if (system("command -v mkfs.ext4 >/dev/null") != 0) GTEST_SKIP() << "no mkfs.ext4";
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    auto result = runInPrivateMountNamespace(body);
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_EQ(*result, "");
}

}  // namespace drivefaults
