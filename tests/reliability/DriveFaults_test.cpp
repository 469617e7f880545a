// Drives that fail a run: full, read-only, a home whose staging folder cannot be written, a
// drive pulled out while copying or while finishing an interrupted sync, and a file of the
// computer changed while it is copied. Each run fails in bounded time saying why, loses
// nothing, leaves only whole files, and the next run once the fault is gone ends where an
// untroubled run ends.

#include <fcntl.h>
#include <sys/mount.h>

#include <filesystem>

#include "Reliability.h"

namespace {

const std::vector<std::string> kDebug = {"--conflict", "1", "--missing", "1", "--debug"};

// File `i` of a tree spread over `folders` folders.
std::string file(const std::string& top, int i, int folders) {
    return top + "/d" + std::to_string(i % folders) + "/f" + std::to_string(i);
}

// What a run hit by a fault must show: a failure in bounded time that says why.
std::string failedCleanly(RunnerProcess& runner, const std::string& reason) {
    const int status = runner.finish(20);
    const std::string& out = runner.output();
    std::string faults = runner.timedOut() ? "the run hung\n" : "";
    if (status == 0 || out.find("completed successfully.") != std::string::npos)
        faults += "the run said it completed\n";
    if (out.find(reason) == std::string::npos) faults += "the run did not say \"" + reason + "\"\n";
    return faults.empty() ? faults
                          : faults + out.substr(out.size() - std::min<size_t>(out.size(), 4000));
}

// An ext4 image on a loop device at the drive folder, in a private mount namespace, declared as
// what it is and accepted: it keeps nanosecond dates.
class FaultScene : public Scene {
  public:
    const std::string image = top + "/drive.img";
    FaultScene() : Scene("DRIVEFAULTS00000001-0", "ext4") {
        putFile(top + "/.config/Orvane/Pellora.plist",
                writePropertyListXML(QVariantMap{{"accepted-file-systems", QStringList{"ext4"}}}));
    }
    bool create(int mib) const {
        return shell("truncate -s " + std::to_string(mib) + "M '" + image +
                     "' && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1") &&
               mount();
    }
    bool mount() const { return shell("mount -o loop '" + image + "' '" + drive + "'"); }
    Files homeFiles() const { return filesOf(digestOf(home, {".TL_VS_W"})); }
    Files driveFiles() const { return filesOf(digestOf(target() + "/~", {})); }

    // The next run once the fault is gone: it completes, both copies of each item agree, no
    // staging is left, and the home holds `intended`.
    std::string converges(const QStringList& items, const Files& intended) const {
        const HeadlessRun r = runHeadless(drive);
        if (!r.exitedWith(0)) return "the run after the fault did not complete:\n" + r.output;
        std::string faults = stagingLeft() ? "staging is left\n" : "";
        for (const QString& item : items)
            faults += describeDifferences(snapshotTree(mac(item.mid(2).toStdString()), false),
                                          snapshotTree(onDrive(item.mid(2).toStdString()), false));
        return faults + (homeFiles() == intended ? "" : "the home does not hold what it should\n");
    }
    // The drive pulled out under `runner` (a lazy unmount: gone from its mount point at once,
    // kept alive by what is open on it), which must fail saying so and write nothing to the
    // folder below the mount point, and put back once no loop device holds the image: two file
    // systems must never write to the same blocks.
    std::string pullOutUnder(RunnerProcess& runner) const {
        if (umount2(drive.c_str(), MNT_DETACH) != 0) return "cannot pull the drive out";
        std::string faults = failedCleanly(runner, "is no longer mounted");
        if (const size_t items = snapshotTree(drive).size() - 1)
            faults += std::to_string(items) + " items written below the mount point\n";
        for (int i = 0; i < 500 && shell("losetup -j '" + image + "' | grep -q ."); ++i)
            usleep(20000);
        return !faults.empty() || mount() ? faults : "cannot mount the drive again\n";
    }
};

// A fault made and mended by shell commands, $D standing for the drive and $S for the home's
// staging folder.
struct Fault {
    const char* name;
    int imageMiB, newMiB;  // the drive's size, and how much new data the run must copy
    const char *reason, *arrange, *mend;
};

const Fault kFaults[] = {
    // More to copy than fits: about 2 MiB left, so a few of the changes fit and the new folder not.
    {"Full", 24, 6, "No space left on device",
     "fallocate -l $(( $(stat -f -c '%a*%S' $D) - 2097152 )) $D/filler", "rm $D/filler"},
    {"ReadOnly", 16, 1, "Read-only file system", "mount -o remount,ro $D",
     "mount -o remount,rw $D"},
    // A read-only bind mount, which root cannot write either: what comes from the drive cannot
    // be staged.
    {"UnwritableHomeStaging", 16, 1, "Read-only file system",
     "mkdir -p $S && mount --bind $S $S && mount -o remount,bind,ro $S", "umount $S"},
};

class DriveFaults : public testing::TestWithParam<Fault> {};

// After a first run, changes on both sides: ten files rewritten on the computer, two on the
// drive, a new folder of `newMiB` MiB on the computer and a new file on the drive. The run hit
// by the fault fails cleanly; once it is mended the next run converges.
TEST_P(DriveFaults, FailTheRunSayingWhyAndTheNextRunFinishesOnceMended) {
    const Fault& f = GetParam();
    FaultScene s;
    inPrivateNamespace([&]() -> std::string {
        bool ok = s.create(f.imageMiB) && s.configure({"~/docs", "~/notes.txt"}) &&
                  putFile(s.mac("notes.txt"), "notes\n");
        for (int i = 0; i < 40; ++i)
            ok &= putFile(s.mac(file("docs", i, 4)), bytes(4096 + i * 97, i));
        if (!ok || !runHeadless(s.drive).exitedWith(0)) return "no first sync";
        for (int i = 0; i < 10; ++i)
            ok &= putFile(s.mac(file("docs", i, 4)), bytes(6000, 100 + i), anHourAhead(i));
        for (int i = 0; i < f.newMiB; ++i)
            ok &= putFile(s.mac("docs/new/n" + std::to_string(i)), bytes(1 << 20, 200 + i));
        Files intended = s.homeFiles();
        for (const char* name : {"docs/d1/f21", "docs/d2/f22", "docs/from-drive.txt"}) {
            ok &= putFile(s.onDrive(name), name, anHourAhead(20));
            intended[name] = digest(name);
        }
        const Files homeBefore = s.homeFiles(), driveBefore = s.driveFiles();
        const std::string paths = "D='" + s.drive + "' S='" + s.macStaging() + "'; ";
        if (!ok || !shell(paths + f.arrange)) return "cannot make the fault";
        RunnerProcess runner;
        runner.start(s.drive);
        std::string faults = failedCleanly(runner, f.reason);
        const Files homeBetween = s.homeFiles(), driveBetween = s.driveFiles();
        if (!shell(paths + f.mend)) faults += "cannot mend the fault\n";
        if (!faults.empty()) return faults;
        faults += s.converges({"~/docs", "~/notes.txt"}, intended);
        return faults + wholeFiles(homeBetween, homeBefore, intended, "home") +
               wholeFiles(driveBetween, driveBefore, s.driveFiles(), "drive");
    });
}

INSTANTIATE_TEST_SUITE_P(, DriveFaults, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& info) { return info.param.name; });

// Pulled out once 200 of the first sync's copies began: the run stops at the first failed copy
// rather than trying (and asking about) each one that follows. Then a sync killed once its
// copies are staged both ways, and the drive pulled out as the run that finishes it begins
// moving them into place.
TEST(DriveFaultsGone, ADrivePulledOutWhileCopyingOrFinishingAnInterruptedSyncLosesNothing) {
    FaultScene s;
    inPrivateNamespace([&]() -> std::string {
        const QStringList items = {"~/corpus", "~/notes.txt"};
        bool ok = s.create(64) && s.configure(items) && putFile(s.mac("notes.txt"), "n\n");
        for (int i = 0; i < 900; ++i) ok &= putFile(s.mac(file("corpus", i, 8)), bytes(4096, i));
        for (int i = 0; i < 4; ++i)
            ok &= putFile(s.mac("corpus/big/b" + std::to_string(i)), bytes(3 << 20, 900 + i));
        if (!ok) return "cannot make the trees";
        const Files home = s.homeFiles();
        RunnerProcess runner;
        runner.start(s.drive, kDebug);
        const auto twoHundredBegun = [](const std::string& out) {
            return QByteArray::fromStdString(out).count("KTLCopyErrorReporter: copying") >= 200;
        };
        const bool midway = runner.watch(twoHundredBegun, 20);
        std::string faults = s.pullOutUnder(runner) + (midway ? "" : "200 copies never began\n");
        if (QByteArray::fromStdString(runner.output()).count("Unable to copy") > 1)
            faults += "copies went on after the drive was gone\n";
        faults += s.homeFiles() == home ? "" : "the home changed\n";
        if (faults.empty())
            faults = stagedFaults(s.driveStaging(), home) +
                     wholeFiles(s.driveFiles(), {}, home, "drive") + s.converges(items, home);
        if (!faults.empty()) return "while copying: " + faults;

        for (int i = 0; i < 900; i += 3)
            ok &= putFile(s.mac(file("corpus", i, 8)), bytes(2048, 5000 + i), anHourAhead(i));
        const Files homeStart = s.homeFiles();
        Files intended = homeStart;
        for (int i = 0; i < 150; ++i) {
            const std::string g = "corpus/from-drive/g" + std::to_string(i);
            ok &= putFile(s.onDrive(g), bytes(4096, 2000 + i));
            intended[g] = digest(bytes(4096, 2000 + i));
        }
        const Files driveChanged = s.driveFiles();
        RunnerProcess killed;
        killed.start(s.drive, kDebug);
        if (!ok || !killed.watchFor("-processTempFolders: finishing", 20)) return "never staged";
        killed.kill9();
        killed.finish(10);
        if (!s.stagingLeft()) return "the kill left no interrupted sync\n" + killed.output();
        RunnerProcess recovery;
        recovery.start(s.drive, kDebug);
        const bool recovering = recovery.watchFor("-processTempFolders: finishing", 20);
        faults = s.pullOutUnder(recovery) + (recovering ? "" : "no recovery began\n");
        if (!faults.empty()) return "while finishing: " + faults;
        const Files homeBetween = s.homeFiles(), driveBetween = s.driveFiles();
        faults = stagedFaults(s.driveStaging(), intended) + s.converges(items, intended);
        return faults + wholeFiles(homeBetween, homeStart, intended, "home") +
               wholeFiles(driveBetween, driveChanged, s.driveFiles(), "drive");
    });
}

// A file rewritten, truncated or removed while a run copies it to the drive: the copy is
// dropped with a clear error instead of reaching its name holding a mix of old and new data,
// the run fails, and the next run copies the file as it then is (a removed one comes back from
// the drive, which never gave it up).
TEST(DriveFaultsSource, AFileChangedOrRemovedWhileCopiedIsNotTakenAsCopied) {
    constexpr size_t kSize = 24 << 20;
    FaultScene s;
    inPrivateNamespace([&]() -> std::string {
        if (!s.create(160) || !s.configure({"~/big.bin", "~/small.txt"})) return "no drive";
        std::string faults;
        int step = 0;
        const std::pair<std::string, const char*> changes[] = {
            {"rewritten", "The file changed while it was being copied"},
            {"truncated", "The file changed while it was being copied"},
            {"removed", "No such file or directory"}};
        for (const auto& [change, reason] : changes) {
            const std::string big = s.mac("big.bin"), staging = s.driveStaging() + "/~";
            const QByteArray old = bytes(kSize, ++step), newer = bytes(kSize, 100 + step);
            if (!putFile(big, old) || !putFile(s.mac("small.txt"), "small\n") ||
                !runHeadless(s.drive).exitedWith(0))
                return change + ": no first sync\n";
            // A newer version to copy, written now: later than the copy and the last sync time.
            putFile(big, newer);
            putFile(s.mac("small.txt"), "newer small\n");
            RunnerProcess runner;
            runner.start(s.drive);
            // The change comes once the copy has begun (its unfinished copy is in staging);
            // a rewrite goes on while the copy lasts.
            auto copying = [&] {
                std::error_code gone;
                for (const auto& e : std::filesystem::directory_iterator(staging, gone))
                    if (isTemporaryPath(e.path().filename())) return true;
                return false;
            };
            bool began = false;
            for (int i = 0; i < 50000 && !(began = copying()); ++i) usleep(200);
            if (change == "removed") began &= unlink(big.c_str()) == 0;
            if (change == "truncated") began &= truncate(big.c_str(), kSize / 2) == 0;
            const int fd = change == "rewritten" ? open(big.c_str(), O_WRONLY | O_CLOEXEC) : -1;
            for (off_t at = 0; fd >= 0 && copying();
                 at = (at + (1 << 20)) % off_t(kSize), usleep(500))
                began &= pwrite(fd, "XXXX", 4, at) == 4;
            if (fd >= 0) close(fd);
            std::string f =
                (began ? "" : "the change came too late\n") + failedCleanly(runner, reason);
            const QByteArray onDrive = readFile(s.onDrive("big.bin"));
            if (onDrive != old && onDrive != newer) f += "the drive's copy is torn\n";
            Files intended = s.homeFiles();
            if (!pathExists(big)) intended["big.bin"] = digest(onDrive);
            f += s.converges({"~/big.bin", "~/small.txt"}, intended);
            if (!f.empty()) faults += change + ": " + f;
        }
        return faults;
    });
}

}  // namespace
