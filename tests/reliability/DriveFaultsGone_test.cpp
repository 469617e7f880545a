// A drive pulled out (lazily unmounted) in the middle of a run, while copying or while
// finishing an interrupted sync: the run fails saying so, writes nothing below the empty
// mount point, leaves only whole files, and the next run once the drive is back completes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "DriveFaultsSupport.h"

using namespace drivefaults;

namespace {

const std::vector<std::string> kDebug = {"--conflict", "1", "--missing", "1", "--debug"};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Every file staged on the drive under a real name holds what the home's file of that name
// holds in `home`.
std::string stagedCopiesAreWhole(const Scene& s, const Files& home) {
    std::string faults;
    for (const auto& [path, contents] : realFiles(s.driveStaging() + "/~")) {
        auto h = home.find(path);
        if (h == home.end() || h->second != contents)
            faults += "the drive's '" + path + "' is not a whole copy\n";
    }
    return faults;
}

// After the runner is gone, the folder below the mount point must be as empty as it was.
std::string nothingBelowTheMountPoint(const Scene& s) {
    const size_t items = snapshotTree(s.mountPoint).size();
    return items == 1 ? "" : std::to_string(items - 1) + " items written below the mount point\n";
}

std::string remount(Scene& s) {
    if (!s.drive.released(10)) return "the drive stays held\n";
    return s.drive.mount() ? "" : "cannot mount the drive again\n";
}

}  // namespace

TEST(DriveFaultsGone, ADrivePulledOutWhileCopyingFailsTheRunAndLeavesOnlyWholeFiles) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        const std::vector<std::string> items = {"corpus", "notes.txt"};
        if (!s.drive.create(64) || !s.drive.mount() || !s.configure(items)) return "no drive";
        for (int i = 0; i < 400; ++i)
            if (!Scene::put(s.mac("corpus/d" + std::to_string(i % 8) + "/f" + std::to_string(i)),
                            bytes(8192, unsigned(i))))
                return "cannot write the home";
        for (int i = 0; i < 4; ++i)
            if (!Scene::put(s.mac("corpus/big/b" + std::to_string(i)),
                            bytes(3 << 20, unsigned(900 + i))))
                return "cannot write the home";
        if (!Scene::put(s.mac("notes.txt"), "notes\n")) return "cannot write the home";
        const Files home = s.homeFiles();

        RunnerProcess runner;
        runner.start(s.mountPoint, kDebug);
        const bool midway = runner.watch(
            [](const std::string& out) {
                return occurrences(out, "KTLCopyErrorReporter: copying") >= 200;
            },
            20);
        if (!s.drive.pullOut()) return "cannot pull the drive out";
        std::string faults =
            Scene::failedCleanly(runner.finish(20), runner, "is no longer mounted");
        if (!midway) faults += "the copy never got half way\n";
        // Once the drive is gone, the run stops at the first failed copy rather than trying
        // (and asking about) each one that follows.
        if (occurrences(runner.output(), "Unable to copy") > 1)
            faults += "copies went on after the drive was gone\n";
        fprintf(stderr, "drive pulled out after %zu of 405 copies began; the run ended %.2f s in\n",
                occurrences(runner.output(), "KTLCopyErrorReporter: copying"),
                runner.secondsRunning());
        faults += nothingBelowTheMountPoint(s);
        if (s.homeFiles() != home) faults += "the home changed\n";
        faults += remount(s);
        if (!faults.empty()) return faults;
        faults += stagedCopiesAreWhole(s, home);
        faults += wholeFiles(s.driveFiles(), {}, home, "drive");
        return faults + s.converges(items, home);
    });
}

TEST(DriveFaultsGone, ADrivePulledOutWhileFinishingAnInterruptedSyncFailsAndLosesNothing) {
    Scene s;
    inPrivateNamespace([&]() -> std::string {
        const std::vector<std::string> items = {"corpus"};
        if (!s.drive.create(64) || !s.drive.mount() || !s.configure(items)) return "no drive";
        auto name = [](int i) {
            return "corpus/d" + std::to_string(i % 6) + "/f" + std::to_string(i);
        };
        for (int i = 0; i < 900; ++i)
            if (!Scene::put(s.mac(name(i)), bytes(2048, unsigned(i)))) return "cannot write";
        std::string output;
        if (s.run(&output) != 0) return "the first run failed:\n" + output;

        // Changes both ways, so that both staging folders fill; enough of them that moving
        // them into place takes a while.
        for (int i = 0; i < 900; i += 3)
            if (!Scene::put(s.mac(name(i)), bytes(2048, unsigned(5000 + i)), anHourAhead(i)))
                return "cannot change the home";
        for (int i = 0; i < 150; ++i)
            if (!Scene::put(s.onDrive("corpus/from-drive/g" + std::to_string(i)),
                            bytes(4096, unsigned(2000 + i))))
                return "cannot change the drive";
        const Files homeStart = s.homeFiles(), driveStart = s.driveFiles();
        Files intended = homeStart;
        for (int i = 0; i < 150; ++i)
            intended["corpus/from-drive/g" + std::to_string(i)] = bytes(4096, unsigned(2000 + i));

        // Killed once its copies are staged and named, while they are moved into place.
        RunnerProcess killed;
        killed.start(s.mountPoint, kDebug);
        if (!killed.watchFor("-processTempFolders: finishing", 20)) return "never finished";
        killed.kill9();
        killed.finish(10);
        if (!pathExists(s.driveStaging()) && !pathExists(s.macStaging()))
            return "the kill left no interrupted sync\n" + killed.output();

        const size_t stagedBefore = realFiles(s.driveStaging()).size();
        RunnerProcess runner;
        runner.start(s.mountPoint, kDebug);
        const bool recovering = runner.watchFor("-processTempFolders: finishing", 20);
        if (!s.drive.pullOut()) return "cannot pull the drive out";
        std::string faults =
            Scene::failedCleanly(runner.finish(20), runner, "is no longer mounted");
        if (!recovering) faults += "no recovery began\n";
        faults += nothingBelowTheMountPoint(s);
        const Files homeBetween = s.homeFiles();
        faults += remount(s);
        if (!faults.empty()) return faults;
        const Files driveBetween = s.driveFiles();
        fprintf(stderr,
                "drive pulled out as the recovery began moving staged copies: %zu of the drive's "
                "%zu were moved\n",
                stagedBefore - std::min(stagedBefore, realFiles(s.driveStaging()).size()),
                stagedBefore);
        faults += stagedCopiesAreWhole(s, intended);
        faults += s.converges(items, intended);
        faults += wholeFiles(homeBetween, homeStart, intended, "home");
        faults += wholeFiles(driveBetween, driveStart, s.driveFiles(), "drive");
        return faults;
    });
}
