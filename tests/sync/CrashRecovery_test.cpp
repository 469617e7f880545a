// The headless runner killed at random moments of a two-way sync: every file under a real name
// stays whole on both sides, and the next run (finishing the interrupted one) ends exactly where
// an uninterrupted run ends.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FakeMountTable.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kDriveId = "CRASHTEST0000000001-0";
const char* const kCompleted = "completed successfully.";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int64_t nowNs() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The build folder's runner: named by CTest, or found beside this test's own folder.
std::string runnerBinary() {
    if (const char* dir = getenv("PELLORA_TEST_BINARY_DIR"); dir && *dir)
        return std::string(dir) + "/bench/pellora-headless";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    std::string build(self, size_t(n));
    for (int up = 0; up < 2 && build.rfind('/') != std::string::npos; ++up)
        build.erase(build.rfind('/'));
    return build + "/bench/pellora-headless";
}

// Runs a command without a shell, its output thrown away; true when it exits 0.
bool runCommand(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct RunnerRun {
    bool exited = false;  // on its own, not by our signal
    int exitStatus = -1;
    bool killed = false;
    double killedAfter = -1;
    double completedAfter = -1;  // seconds until the completed line, -1 if never seen
    std::string output;
};

// Starts the runner on `mountPoint` (newer copy wins, drive-only items are copied) and, when
// `killAfter` is not negative, SIGKILLs it that many seconds after the start.
RunnerRun runRunner(const std::string& mountPoint, double killAfter) {
    RunnerRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return run;
    const std::string binary = runnerBinary();
    std::vector<std::string> args = {binary, mountPoint, "--conflict", "1", "--missing", "1"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    const Clock::time_point start = Clock::now();
    pid_t pid;
    const int err = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        run.output = "cannot start " + binary;
        return run;
    }
    constexpr double kTimeout = 120;
    for (;;) {
        const double elapsed = secondsSince(start);
        if (!run.killed && ((killAfter >= 0 && elapsed >= killAfter) || elapsed > kTimeout)) {
            kill(pid, SIGKILL);
            run.killed = true;
            run.killedAfter = elapsed;
            if (elapsed > kTimeout) run.output += "\n(timed out)\n";
        }
        double wait = 0.05;
        if (!run.killed && killAfter >= 0) wait = std::min(wait, killAfter - elapsed);
        struct pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, std::max(0, int(wait * 1000))) > 0) {
            char buf[4096];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            run.output.append(buf, size_t(n));
            if (run.completedAfter < 0 && run.output.find(kCompleted) != std::string::npos)
                run.completedAfter = secondsSince(start);
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exited = WIFEXITED(status);
    if (run.exited) run.exitStatus = WEXITSTATUS(status);
    return run;
}

bool startsWithAny(const std::string& path, const std::vector<std::string>& prefixes) {
    for (const std::string& p : prefixes)
        if (path == p || path.rfind(p + "/", 0) == 0) return true;
    return false;
}

bool hasTemporaryComponent(const std::string& path) {
    return path.rfind(".pellora-tmp-", 0) == 0 || path.find("/.pellora-tmp-") != std::string::npos;
}

// A side's tree without what the comparison leaves out, file contents reduced to a digest so
// that a few snapshots fit in memory. Folder times are left out: made anew by every run.
TreeSnapshot digestOf(const std::string& root, const std::vector<std::string>& leaveOut) {
    TreeSnapshot out;
    for (auto& [path, item] : snapshotTree(root, false)) {
        if (startsWithAny(path, leaveOut)) continue;
        if (S_ISREG(item.type))
            item.contents = QCryptographicHash::hash(item.contents, QCryptographicHash::Sha1);
        out.emplace(path, std::move(item));
    }
    return out;
}

struct State {
    TreeSnapshot mac, drive;
};

// The items of the sync list, by side.
const char* const kItems[] = {"corpus", "notes.txt", "archive"};

// A kill takes the process, not the page cache, so the trees may live in memory: there the
// flushes cost nothing and restoring the start state for every round stays cheap.
class InMemoryTemporaryFolder {
  public:
    InMemoryTemporaryFolder() {
        struct statfs fs;
        if (statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC ||
            uint64_t(fs.f_bavail) * fs.f_bsize < (uint64_t(1) << 30) ||
            access("/dev/shm", W_OK) != 0)
            return;
        const char* old = getenv("TMPDIR");
        _had = old != nullptr;
        if (old) _saved = old;
        setenv("TMPDIR", "/dev/shm", 1);
        _set = true;
    }
    ~InMemoryTemporaryFolder() {
        if (!_set) return;
        if (_had)
            setenv("TMPDIR", _saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

  private:
    bool _set = false, _had = false;
    std::string _saved;
};

class Scenario {
  public:
    InMemoryTemporaryFolder inMemory;
    TempDir root;
    TestHome home;  // HOME and the XDG folders, which the runner inherits
    FakeMountTable mounts{root / "mountinfo"};
    std::string drive;
    std::mt19937 rng{20240611};

    Scenario() {
        drive = makeFolder(root / "drive");
        mounts.add(drive, "/dev/sdz1");
    }

    std::string mac(const std::string& rel) const { return home.path() + "/" + rel; }
    std::string onDrive(const std::string& rel) const { return drive + "/Tolvex/~/" + rel; }
    std::string driveStaging() const { return drive + "/Tolvex/TL_VS_W/" + kDriveId; }
    std::string macStaging() const { return home.path() + "/.TL_VS_W/" + kDriveId; }

    QByteArray randomBytes(int size) {
        QByteArray data(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) data[i] = char(rng());
        return data;
    }
    void put(const std::string& path, const QByteArray& data, int64_t mtimeNs = 0) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        ASSERT_TRUE(writeFile(path, data)) << path;
        if (mtimeNs) {
            ASSERT_TRUE(setModificationTime(path, mtimeNs)) << path;
        }
    }
    int smallSize() { return 1024 + int(rng() % (15 * 1024)); }

    void writeConfig() {
        std::string list;
        for (const char* item : kItems) list += std::string("<string>~/") + item + "</string>";
        const std::string text =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<plist version=\"1.0\"><dict>"
            "<key>tapline-items-to-sync</key><array>" +
            list + "</array><key>tapline-uuid</key><string>" + kDriveId +
            "</string></dict></plist>\n";
        ASSERT_TRUE(writeFile(drive + "/.TolvexConfig", QByteArray::fromStdString(text)));
    }

    // The state a crash is tested from: a first sync completed (its last sync time in the
    // preferences store), then changes on both sides.
    void build() {
        writeConfig();
        for (int i = 0; i < 240; ++i) {
            const std::string folder =
                "corpus/dir" + std::to_string(i % 8) + (i % 3 == 0 ? "/inner/" : "/");
            put(mac(folder + "file" + std::to_string(i) + ".dat"), randomBytes(smallSize()));
        }
        for (int i = 0; i < 4; ++i)
            put(mac("corpus/big/big" + std::to_string(i) + ".bin"),
                patterned((i + 1) << 20, char('a' + i)));
        put(mac("notes.txt"), "first notes\n");
        RunnerRun first = runRunner(drive, -1);
        ASSERT_EQ(first.exitStatus, 0) << first.output;

        // Changed files get dates an hour ahead, well clear of every run's own time.
        int64_t later = (nowNs() / 1000000000 + 3600) * 1000000000 + 123456789;
        auto next = [&later] { return later += 1000000007; };
        for (int i = 0; i < 20; ++i) {
            const std::string folder = "corpus/dir" + std::to_string(i % 8) + "/";
            put(mac(folder + "mac-only" + std::to_string(i) + ".dat"), randomBytes(smallSize()));
            put(onDrive(folder + "drive-only" + std::to_string(i) + ".dat"),
                randomBytes(smallSize()));
        }
        for (int i = 0; i < 8; ++i) {
            put(mac("corpus/new-on-mac/n" + std::to_string(i)), randomBytes(smallSize()));
            put(onDrive("corpus/new-on-drive/n" + std::to_string(i)), randomBytes(smallSize()));
            put(onDrive("archive/a" + std::to_string(i)), randomBytes(smallSize()));
        }
        put(mac("corpus/new-on-mac/large.bin"), patterned(4 << 20, 'm'));
        put(onDrive("corpus/new-on-drive/large.bin"), patterned(3 << 20, 'd'));
        put(mac("corpus/dir1/large-mac-only.bin"), patterned(3 << 20, 'n'));
        put(onDrive("corpus/dir2/large-drive-only.bin"), patterned(4 << 20, 'e'));
        // Files 0..29 changed on the Mac, 30..59 on the drive, 60..69 on both.
        for (int i = 0; i < 70; ++i) {
            const std::string rel = "corpus/dir" + std::to_string(i % 8) +
                                    (i % 3 == 0 ? "/inner/" : "/") + "file" + std::to_string(i) +
                                    ".dat";
            if (i < 30 || i >= 60) put(mac(rel), randomBytes(smallSize()), next());
            if (i >= 30) put(onDrive(rel), randomBytes(smallSize()), next());
            if (i >= 60 && i % 2) put(mac(rel), randomBytes(smallSize()), next());
        }
        // Large copies in each direction, so that many kills land in the middle of one.
        put(mac("corpus/big/big0.bin"), patterned(4 << 20, 'M'), next());
        put(onDrive("corpus/big/big1.bin"), patterned(4 << 20, 'D'), next());
        put(mac("corpus/big/big2.bin"), patterned(2 << 20, 'N'), next());
        put(onDrive("corpus/big/big3.bin"), patterned(3 << 20, 'E'), next());
        put(onDrive("notes.txt"), "notes changed on the drive\n", next());
    }

    State state() const {
        return {digestOf(home.path(), {".config", ".local", ".cache", ".TL_VS_W"}),
                digestOf(drive, {".TolvexConfig", "Tolvex/TL_VS_W"})};
    }

    // Both trees copied aside, and back.
    void save(const std::string& to) {
        ASSERT_TRUE(runCommand({"rm", "-rf", to}));
        ASSERT_EQ(mkdir(to.c_str(), 0700), 0);
        ASSERT_TRUE(runCommand({"cp", "-a", home.path(), to + "/home"}));
        ASSERT_TRUE(runCommand({"cp", "-a", drive, to + "/drive"}));
    }
    void restore(const std::string& from) {
        DIR* dir = opendir(home.path().c_str());
        ASSERT_NE(dir, nullptr);
        std::vector<std::string> entries;
        while (struct dirent* e = readdir(dir))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                entries.push_back(home.path() + "/" + e->d_name);
        closedir(dir);
        for (const std::string& e : entries) ASSERT_TRUE(runCommand({"rm", "-rf", e}));
        ASSERT_TRUE(runCommand({"cp", "-a", from + "/home/.", home.path()}));
        ASSERT_TRUE(runCommand({"rm", "-rf", drive}));
        ASSERT_TRUE(runCommand({"cp", "-a", from + "/drive", drive}));
    }
};

// Every staged file under a real name already holds the contents it will have in place.
std::string checkStaged(const std::string& staging, const TreeSnapshot& end,
                        const std::string& finalPrefix, const std::string& side) {
    std::string faults;
    if (!pathExists(staging)) return faults;
    for (const auto& [path, item] : digestOf(staging, {})) {
        if (!S_ISREG(item.type) || hasTemporaryComponent(path)) continue;
        auto e = end.find(finalPrefix + path.substr(2));  // below "~/"
        if (e == end.end() || e->second.contents != item.contents)
            faults += side + " staged '" + path + "' is not the copy it should be\n";
    }
    return faults;
}

// Every real file of `now` holds either its content of `start` or of `end`, and nothing that
// both of them hold was lost. Gives the faults found.
std::string checkWhole(const TreeSnapshot& now, const TreeSnapshot& start, const TreeSnapshot& end,
                       const std::string& side) {
    std::string faults;
    for (const auto& [path, item] : now) {
        if (!S_ISREG(item.type) || hasTemporaryComponent(path)) continue;
        auto s = start.find(path);
        auto e = end.find(path);
        const bool asBefore = s != start.end() && s->second.contents == item.contents;
        const bool asAfter = e != end.end() && e->second.contents == item.contents;
        if (!asBefore && !asAfter)
            faults += side + " '" + path + "' holds neither its old nor its new contents\n";
    }
    for (const auto& [path, item] : start)
        if (S_ISREG(item.type) && end.count(path) && !now.count(path))
            faults += side + " '" + path + "' is gone\n";
    return faults;
}

}  // namespace

TEST(CrashRecovery, KilledSyncsLeaveWholeFilesAndFinishWhereAnUninterruptedSyncEnds) {
    ASSERT_TRUE(pathExists(runnerBinary())) << runnerBinary();
    const Clock::time_point testStart = Clock::now();

    Scenario s;
    ASSERT_NO_FATAL_FAILURE(s.build());
    const std::string saved = s.root / "start";
    ASSERT_NO_FATAL_FAILURE(s.save(saved));
    const State start = s.state();

    const RunnerRun reference = runRunner(s.drive, -1);
    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    ASSERT_GT(reference.completedAfter, 0) << reference.output;
    const State end = s.state();
    // The reference itself: both sides agree on every item, and the changes travelled.
    for (const char* item : kItems) {
        const TreeSnapshot macItem = snapshotTree(s.mac(item), false);
        const TreeSnapshot driveItem = snapshotTree(s.onDrive(item), false);
        EXPECT_EQ(describeDifferences(macItem, driveItem), "") << item;
    }
    ASSERT_NE(describeDifferences(start.mac, end.mac), "");
    ASSERT_NE(describeDifferences(start.drive, end.drive), "");
    EXPECT_FALSE(pathExists(s.driveStaging()));
    EXPECT_FALSE(pathExists(s.macStaging()));

    // A second uninterrupted run, now with warm caches, times the run the kills spread over;
    // it must end in the same state.
    ASSERT_NO_FATAL_FAILURE(s.restore(saved));
    const RunnerRun timing = runRunner(s.drive, -1);
    ASSERT_EQ(timing.exitStatus, 0) << timing.output;
    const State again = s.state();
    ASSERT_EQ(describeDifferences(end.mac, again.mac), "");
    ASSERT_EQ(describeDifferences(end.drive, again.drive), "");
    const double duration = std::min(reference.completedAfter, timing.completedAfter);

    const char* fixedSeed = getenv("PELLORA_CRASH_SEED");
    const unsigned seed =
        fixedSeed ? unsigned(strtoul(fixedSeed, nullptr, 10)) : unsigned(std::random_device{}());
    printf(
        "crash rounds in %s: seed %u (PELLORA_CRASH_SEED repeats its delays), uninterrupted run "
        "%.3f s to its completed line\n",
        s.root.path().c_str(), seed, duration);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> delay(0, duration);

    // PELLORA_CRASH_ROUNDS lets the slow sanitizer builds kill fewer runs.
    const char* roundsSetting = getenv("PELLORA_CRASH_ROUNDS");
    const int rounds = roundsSetting ? std::max(4, atoi(roundsSetting)) : 20;
    int recovered = 0;
    std::map<std::string, int> landed;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        ASSERT_NO_FATAL_FAILURE(s.restore(saved));
        const double killAfter = delay(rng);
        const RunnerRun killed = runRunner(s.drive, killAfter);
        const State cut = s.state();
        const char* when = "before staging or after clean-up";
        if (!killed.killed)
            when = "never: the run had ended";
        else if (killed.completedAfter >= 0)
            when = "after the run completed";
        else if (cut.mac != start.mac || cut.drive != start.drive)
            when = "while moving staged copies into place";
        else if (pathExists(s.driveStaging()) || pathExists(s.macStaging()))
            when = containsTemporaryName(s.root.path()) ? "while copies were staged"
                                                        : "with every staged copy named";
        ++landed[when];
        printf("round %2d: kill aimed at %.3f s, sent at %.3f s, landed %s\n", round, killAfter,
               killed.killedAfter, when);

        const std::string faults = checkWhole(cut.mac, start.mac, end.mac, "Mac") +
                                   checkWhole(cut.drive, start.drive, end.drive, "drive") +
                                   checkStaged(s.macStaging(), end.mac, "", "Mac") +
                                   checkStaged(s.driveStaging(), end.drive, "Tolvex/~/", "drive");
        EXPECT_EQ(faults, "") << killed.output;

        const RunnerRun again = runRunner(s.drive, -1);
        EXPECT_EQ(again.exitStatus, 0) << again.output;
        if (again.output.find("Interrupted Sync Detected") != std::string::npos) ++recovered;
        EXPECT_FALSE(pathExists(s.driveStaging()));
        EXPECT_FALSE(pathExists(s.macStaging()));
        const State after = s.state();
        EXPECT_EQ(describeDifferences(end.mac, after.mac), "") << again.output;
        EXPECT_EQ(describeDifferences(end.drive, after.drive), "") << again.output;
        if (HasFailure()) break;
    }
    // Kills spread over the run must mostly land while copies are staged.
    EXPECT_GE(recovered, rounds / 4);
    for (const auto& [when, count] : landed) printf("  %2d kills landed %s\n", count, when.c_str());
    printf("crash rounds: %d of %d finished an interrupted sync; test took %.1f s\n", recovered,
           rounds, secondsSince(testStart));
}

// Finishing an interrupted sync must not make earlier changes look synchronized: a file
// changed on one side before the recovery still reaches the other side in the same run.
TEST(CrashRecovery, FinishingAnInterruptedSyncKeepsEarlierChanges) {
    ASSERT_TRUE(pathExists(runnerBinary())) << runnerBinary();
    for (bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "interrupted" : "not interrupted");
        Scenario s;
        ASSERT_NO_FATAL_FAILURE(s.writeConfig());
        ASSERT_NO_FATAL_FAILURE(s.put(s.mac("corpus/a.txt"), "first\n"));
        RunnerRun first = runRunner(s.drive, -1);
        ASSERT_EQ(first.exitStatus, 0) << first.output;

        // Later than the stored last sync time (kept to the second), earlier than the next run.
        sleep(1);
        ASSERT_NO_FATAL_FAILURE(s.put(s.mac("corpus/a.txt"), "changed\n", nowNs()));
        ASSERT_NO_FATAL_FAILURE(s.put(s.mac("corpus/b.txt"), "new\n"));
        // What a run cut off before it staged anything leaves behind.
        if (interrupted) {
            ASSERT_TRUE(runCommand({"mkdir", "-p", s.macStaging()}));
        }

        RunnerRun next = runRunner(s.drive, -1);
        ASSERT_EQ(next.exitStatus, 0) << next.output;
        EXPECT_EQ(next.output.find("Interrupted Sync Detected") != std::string::npos, interrupted);
        EXPECT_EQ(readFile(s.onDrive("corpus/b.txt")), "new\n");  // missing items still travel
        EXPECT_EQ(readFile(s.onDrive("corpus/a.txt")), "changed\n");
    }
}
