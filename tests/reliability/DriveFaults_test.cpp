// Drives that cannot take what a run writes: full, read-only, and a home whose staging folder
// cannot be written. Each run fails saying why, loses nothing, and the next run once the
// fault is gone completes.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "DriveFaultsSupport.h"

using namespace drivefaults;

namespace {

const std::vector<std::string> kItems = {"docs", "notes.txt"};

// A first run has put `docs` (40 small files) and notes.txt on the drive.
std::string firstSync(Scene& s, int imageMiB) {
    if (!s.drive.create(imageMiB) || !s.drive.mount()) return "no drive";
    if (!s.configure(kItems)) return "no configuration";
    for (int i = 0; i < 40; ++i)
        if (!Scene::put(s.mac("docs/d" + std::to_string(i % 4) + "/f" + std::to_string(i)),
                        bytes(4096 + i * 97, unsigned(i))))
            return "cannot write the home";
    if (!Scene::put(s.mac("notes.txt"), "notes\n")) return "cannot write the home";
    std::string output;
    if (s.run(&output) != 0) return "the first run failed:\n" + output;
    return "";
}

// Changes on both sides after the first run: ten files rewritten on the computer, two on the
// drive, a new folder of `newMiB` MiB on the computer and a new file on the drive. Gives what
// the home holds once they are synchronized.
Files changeBothSides(Scene& s, int newMiB, std::string& faults) {
    for (int i = 0; i < 10; ++i)
        if (!Scene::put(s.mac("docs/d" + std::to_string(i % 4) + "/f" + std::to_string(i)),
                        bytes(6000, unsigned(100 + i)), anHourAhead(i)))
            faults += "cannot change the home\n";
    for (int i = 0; i < newMiB; ++i)
        if (!Scene::put(s.mac("docs/new/n" + std::to_string(i)), bytes(1 << 20, unsigned(200 + i))))
            faults += "cannot change the home\n";
    if (!Scene::put(s.onDrive("docs/d1/f21"), "drive's f21\n", anHourAhead(20)) ||
        !Scene::put(s.onDrive("docs/d2/f22"), "drive's f22\n", anHourAhead(21)) ||
        !Scene::put(s.onDrive("docs/from-drive.txt"), "made on the drive\n"))
        faults += "cannot change the drive\n";
    Files intended = s.homeFiles();
    intended["docs/d1/f21"] = "drive's f21\n";
    intended["docs/d2/f22"] = "drive's f22\n";
    intended["docs/from-drive.txt"] = "made on the drive\n";
    return intended;
}

// A run hit by the fault `arrange` makes (and `mend` takes away again): the checks of every
// fault.
std::string faultyRun(Scene& s, int newMiB, const std::string& reason,
                      const std::function<std::string()>& arrange,
                      const std::function<std::string()>& mend) {
    std::string faults;
    const Files intended = changeBothSides(s, newMiB, faults);
    const Files homeBefore = s.homeFiles(), driveBefore = s.driveFiles();
    faults += arrange();
    if (!faults.empty()) return faults;

    RunnerProcess runner;
    runner.start(s.mountPoint);
    faults += Scene::failedCleanly(runner.finish(20), runner, reason);
    const Files homeBetween = s.homeFiles(), driveBetween = s.driveFiles();
    faults += mend();
    if (!faults.empty()) return faults;

    faults += s.converges(kItems, intended);
    const Files driveAfter = s.driveFiles();
    faults += wholeFiles(homeBetween, homeBefore, intended, "home");
    faults += wholeFiles(driveBetween, driveBefore, driveAfter, "drive");
    return faults;
}

}  // namespace

// More to copy than fits: the copies that fail are reported, the old files on the drive stay
// whole, and nothing is taken as synchronized.
TEST(DriveFaults, AFullDriveFailsTheRunAndTheNextRunFinishesOnceThereIsRoom) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        if (std::string f = firstSync(s, 24); !f.empty()) return f;
        const std::string filler = s.mountPoint + "/filler";
        return faultyRun(
            s, 6, "No space left on device",
            [&]() -> std::string {
                // Leave about 2 MiB: a few of the changes fit, the new folder does not.
                struct statvfs fs;
                if (statvfs(s.mountPoint.c_str(), &fs) != 0) return "no statvfs";
                const uint64_t free = uint64_t(fs.f_bavail) * fs.f_frsize;
                const std::string fill =
                    "fallocate -l " + std::to_string(free - (2 << 20)) + " '" + filler + "'";
                return LoopDrive::shell(fill) ? "" : "cannot fill the drive";
            },
            [&]() -> std::string { return unlink(filler.c_str()) == 0 ? "" : "no filler"; });
    });
}

TEST(DriveFaults, AReadOnlyDriveFailsTheRunAndTheNextRunFinishesOnceItIsWritable) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        if (std::string f = firstSync(s, 16); !f.empty()) return f;
        return faultyRun(
            s, 1, "Read-only file system",
            [&]() -> std::string { return s.drive.remount("ro") ? "" : "cannot remount ro"; },
            [&]() -> std::string { return s.drive.remount("rw") ? "" : "cannot remount rw"; });
    });
}

// The home's staging folder read-only (a read-only bind mount, which root cannot write
// either): what comes from the drive cannot be staged; what goes to the drive still can.
TEST(DriveFaults, AnUnwritableHomeStagingFolderFailsTheRunAndTheNextRunFinishes) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        if (std::string f = firstSync(s, 16); !f.empty()) return f;
        const std::string staging = s.macStaging();
        return faultyRun(
            s, 1, "Read-only file system",
            [&]() -> std::string {
                if (LoopDrive::shell("mkdir -p '" + staging + "' && mount --bind '" + staging +
                                     "' '" + staging + "' && mount -o remount,bind,ro '" + staging +
                                     "'"))
                    return "";
                return "cannot make the staging folder read-only";
            },
            [&]() -> std::string {
                return umount2(staging.c_str(), 0) == 0 ? "" : "cannot unmount the staging folder";
            });
    });
}
