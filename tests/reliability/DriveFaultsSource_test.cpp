// A file of the computer rewritten, truncated or removed while a run copies it to the drive:
// the copy is dropped with a clear error instead of reaching its name holding a mix of old
// and new data, the run fails, and the next run copies the file as it then is.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "DriveFaultsSupport.h"
#include "SampleTree.h"

using namespace drivefaults;

namespace {

constexpr size_t kSize = 24 << 20;

bool hasTemporaryEntry(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    bool found = false;
    while (struct dirent* e = readdir(dir))
        if (isTemporaryPath(e->d_name)) found = true;
    closedir(dir);
    return found;
}

enum class Change { Rewritten, Truncated, Removed };

// Waits for the copy of `path` to begin (its unfinished copy appears in `staging`), then makes
// the change; a rewrite goes on while the copy lasts. True when the change came in time.
bool changeWhileCopied(const std::string& path, const std::string& staging, Change change) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!hasTemporaryEntry(staging)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    switch (change) {
        case Change::Removed:
            return unlink(path.c_str()) == 0;
        case Change::Truncated:
            return truncate(path.c_str(), kSize / 2) == 0;
        case Change::Rewritten: {
            const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return false;
            const QByteArray block(4096, 'X');
            off_t at = 0;
            while (hasTemporaryEntry(staging)) {
                if (pwrite(fd, block.data(), size_t(block.size()), at) != block.size()) break;
                at = (at + (1 << 20)) % off_t(kSize);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            close(fd);
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(DriveFaultsSource, AFileChangedOrRemovedWhileCopiedIsNotTakenAsCopied) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        const std::vector<std::string> items = {"big.bin", "small.txt"};
        if (!s.drive.create(160) || !s.drive.mount() || !s.configure(items)) return "no drive";
        std::string faults;
        const struct {
            Change change;
            const char* name;
            const char* reason;
        } cases[] = {
            {Change::Rewritten, "rewritten", "The file changed while it was being copied"},
            {Change::Truncated, "truncated", "The file changed while it was being copied"},
            {Change::Removed, "removed", "No such file or directory"},
        };
        int step = 0;
        for (const auto& c : cases) {
            const std::string big = s.mac("big.bin");
            const QByteArray old = bytes(kSize, unsigned(step));
            if (!Scene::put(big, old) || !Scene::put(s.mac("small.txt"), "small\n"))
                return "cannot write the home";
            std::string output;
            if (s.run(&output) != 0) return std::string(c.name) + ": the first run failed\n";

            // A newer version to copy, and another change while it is copied.
            const QByteArray newer = bytes(kSize, unsigned(++step + 100));
            // Written now: later than every copy on the drive, and than the last sync time.
            if (!Scene::put(big, newer) || !Scene::put(s.mac("small.txt"), "newer small\n"))
                return "cannot change the home";
            RunnerProcess runner;
            runner.start(s.mountPoint);
            const bool changed = changeWhileCopied(big, s.driveStaging() + "/~", c.change);
            const int status = runner.finish(20);
            std::string f;
            if (!changed) f += "the change came too late\n";
            f += Scene::failedCleanly(status, runner, c.reason);
            const QByteArray onDrive = readFile(s.onDrive("big.bin"));
            if (onDrive != old && onDrive != newer) f += "the drive's copy is torn\n";
            if (containsTemporaryName(s.mountPoint)) f += "an unfinished copy is left\n";

            // The next run takes the file as it now is; a removed one comes back from the
            // drive, which never gave it up.
            Files intended = s.homeFiles();
            if (c.change == Change::Removed) intended["big.bin"] = onDrive;
            f += s.converges(items, intended);
            fprintf(stderr, "source %s while copied: %s\n", c.name,
                    f.empty() ? "copy dropped, run failed, next run converged" : "FAULT");
            if (!f.empty()) faults += std::string(c.name) + ": " + f;
        }
        return faults;
    });
}
