// The headless runner SIGKILLed at random moments of four kinds of run: a two-way sync, the
// run that finishes an interrupted sync, a sync-list update and a continuous-sync pass. After
// every kill each file under a real name is whole on both sides and the configuration is
// readable; the next uninterrupted run ends exactly where an uninterrupted run from the same
// start ends. PELLORA_KILLS (default 50) sets the number of kills over the four kinds,
// PELLORA_KILL_SEED repeats a campaign's delays.

#include <random>

#include "Reliability.h"
#include "SampleTree.h"

namespace {

enum Kind { Sync, Recovery, ListUpdate, ContinuousPass };
const char* const kKindNames[] = {"Sync", "Recovery", "ListUpdate", "ContinuousPass"};
const std::vector<std::string> kItems = {"corpus", "notes.txt", "archive", "photos"};
const std::string kItemNames = "corpus notes.txt archive photos";
const char* const kPause = "-processTempFolders:";

std::string corpusFile(int i) {
    return "corpus/dir" + std::to_string(i % 16) + (i % 3 == 0 ? "/inner/" : "/") + "file" +
           std::to_string(i) + ".dat";
}
QByteArray small(unsigned seed) {
    return bytes(256 + seed * 7919 % 6000, seed);
}
// `prefix` followed by a number.
std::string n(const std::string& prefix, int i) {
    return prefix + std::to_string(i);
}

// The items every kind starts from, in sync on both sides after a first sync: a few thousand
// small files in folders, some larger ones, a note and two more folders.
void buildSynchronized(Scene& s) {
    bool ok = s.configure({"~/corpus", "~/notes.txt", "~/archive", "~/photos"}) &&
              putFile(s.mac("notes.txt"), "first notes\n");
    for (int i = 0; i < 1600; ++i) ok &= putFile(s.mac(corpusFile(i)), small(i));
    for (int i = 0; i < 300; ++i)
        ok &= putFile(s.mac(n(n("archive/y", i % 6) + "/a", i)), small(5000 + i));
    for (int i = 0; i < 3; ++i)
        ok &= putFile(s.mac(n("corpus/big/big", i)), bytes((i + 1) << 19, i)) &&
              putFile(s.mac(n("photos/p", i)), bytes(1 << 20, 9 + i));
    const HeadlessRun first = runHeadless(s.drive);
    ASSERT_TRUE(ok && first.exitedWith(0)) << first.output;
}

// Changes on both sides for a two-way sync: new files and folders on each side, files changed
// on one side or on both, large copies in each direction.
void changeBothSides(Scene& s) {
    bool ok = true;
    for (int i = 0; i < 60; ++i) {
        const std::string folder = n("corpus/dir", i % 16) + "/";
        ok &= putFile(s.mac(n(folder + "mac-only", i)), small(6000 + i)) &&
              putFile(s.onDrive(n(folder + "drive-only", i)), small(7000 + i)) &&
              putFile(s.mac(n("corpus/new-on-mac/n", i)), small(8000 + i)) &&
              putFile(s.onDrive(n("archive/y9/a", i)), small(9000 + i));
    }
    // Files 0..149 changed on the computer, 150..299 on the drive, 300..339 on both.
    for (int i = 0; i < 340; ++i) {
        if (i < 150 || i % 2) ok &= putFile(s.mac(corpusFile(i)), small(10000 + i), anHourAhead(i));
        if (i >= 150)
            ok &= putFile(s.onDrive(corpusFile(i)), small(11000 + i),
                          anHourAhead(i + (i % 4 ? -1 : 1)));
    }
    ASSERT_TRUE(ok && putFile(s.mac("corpus/new-on-mac/large"), bytes(2 << 20, 20)) &&
                putFile(s.onDrive("corpus/new-on-drive/large"), bytes(1 << 20, 21)) &&
                putFile(s.mac("corpus/big/big0"), bytes(2 << 20, 22), anHourAhead(400)) &&
                putFile(s.onDrive("corpus/big/big1"), bytes(2 << 20, 23), anHourAhead(401)) &&
                putFile(s.onDrive("notes.txt"), "notes changed on the drive\n", anHourAhead(402)));
}

// Changes on the computer for a continuous pass: changed, added and deleted files, a deleted
// folder, a file turned folder, a changed large file; folders that gained or lost entries
// dated later too. The same every time.
void changeComputer(const Scene& s) {
    bool ok = true;
    int step = 500;
    for (int i = 0; i < 1200; i += 5)
        ok &= putFile(s.mac(corpusFile(i)), small(12000 + i), anHourAhead(++step));
    for (int i = 0; i < 150; ++i)
        ok &= putFile(s.mac(n(n("corpus/fresh/sub", i % 5) + "/f", i)), small(13000 + i),
                      anHourAhead(++step));
    for (int i = 1; i < 1600; i += 37) ok &= unlink(s.mac(corpusFile(i)).c_str()) == 0;
    ok &= shell("rm -rf '" + s.mac("archive/y3") + "'") &&
          unlink(s.mac(corpusFile(5)).c_str()) == 0 &&
          putFile(s.mac(corpusFile(5) + "/now-a-folder"), "folder\n", anHourAhead(++step)) &&
          putFile(s.mac("corpus/big/big2"), bytes(2 << 20, 24), anHourAhead(++step));
    for (std::string folder : {"corpus", "archive", "corpus/fresh"})
        ok &= setModificationTime(s.mac(folder), anHourAhead(++step));
    for (int d = 0; d < 32; ++d)
        ok &= setModificationTime(s.mac(n("corpus/dir", d / 2) + (d % 2 ? "/inner" : "")),
                                  anHourAhead(++step));
    EXPECT_TRUE(ok);
}

class KillCampaign : public testing::TestWithParam<Kind> {
  protected:
    Scene s{"CRASHTEST0000000001-0"};
    std::string saved = s.top + "/start";
    State start, end;
    HeadlessOptions run;             // the run the kills cut short
    std::vector<std::string> after;  // the run after a kill
    double duration = 0;
    bool held = false;  // each run finishes a sync killed while its copies were staged

    // The start each kill is made from, and where an uninterrupted run ends, checked.
    void prepare(Kind kind) {
        ASSERT_NO_FATAL_FAILURE(buildSynchronized(s));
        after = run.arguments;
        if (kind == ContinuousPass) {
            // The pass's tree is taken from the items as they were synchronized; the computer's
            // changes come after it, as they would while the application runs.
            s.save(saved);
            changeComputer(s);
            run.arguments = {"--continuous-pass"};
            run.marker = "tree built\n";
            run.atMarker = [this] { changeComputer(s); };
        } else if (kind == ListUpdate) {
            // Many copies to remove, so that kills land in the middle of it.
            for (int i = 0; i < 2000; ++i)
                ASSERT_TRUE(
                    putFile(s.onDrive(n(n(i % 2 ? "archive/x" : "photos/x", i % 20) + "/", i)),
                            "a stored copy\n"));
            after = run.arguments = {"--update-list", "~/corpus", "~/notes.txt"};
        } else {
            changeBothSides(s);
        }
        if (kind != ContinuousPass) s.save(saved);
        ASSERT_FALSE(HasFatalFailure());
        start = s.state();
        ASSERT_NO_FATAL_FAILURE(reference(kind));
        // The recoveries' start is a sync held and killed once its copies are staged, made
        // anew each time: a copy of the staged files would be newer than the run's record of
        // them. Finishing it ends where the uninterrupted sync ended.
        held = kind == Recovery;
        if (held) reference(kind);
    }

    void restoreStart() {
        ASSERT_NO_FATAL_FAILURE(s.restore(saved));
        if (!held) return;
        RunnerProcess sync;
        auto arguments = run.arguments;
        arguments.insert(arguments.end(), {"--debug", "--pause-at", kPause});
        ASSERT_TRUE(sync.start(s.drive, arguments, true) && sync.watchFor(kPause, 60))
            << sync.output();
        sync.kill9();
        sync.finish(10);
        ASSERT_TRUE(s.stagingLeft()) << sync.output();
    }

    void reference(Kind kind) {
        ASSERT_NO_FATAL_FAILURE(restoreStart());
        const HeadlessRun r = runHeadless(s.drive, run);
        ASSERT_TRUE(r.exitedWith(0)) << r.output;
        EXPECT_EQ(held ? differences(end, s.state()) : "", "") << r.output;
        end = s.state();
        duration = r.seconds;
        EXPECT_FALSE(s.stagingLeft());
        // Every kind changes the drive; a sync carries changes both ways, the others never write
        // to the computer; a sync or pass leaves both copies of each item alike.
        EXPECT_NE(describeDifferences(start.drive, end.drive), "");
        EXPECT_EQ(describeDifferences(start.mac, end.mac) == "",
                  kind == ListUpdate || kind == ContinuousPass);
        for (const std::string& item : kind == ListUpdate ? std::vector<std::string>() : kItems)
            EXPECT_EQ(describeDifferences(digestOf(s.mac(item), {}), digestOf(s.onDrive(item), {})),
                      "")
                << item;
        // The dropped items' copies went.
        EXPECT_FALSE(kind == ListUpdate &&
                     (pathExists(s.onDrive("archive")) || pathExists(s.onDrive("photos"))));
        if (kind != ContinuousPass) return;
        // A sync after the pass has nothing left to do.
        const HeadlessRun settled = runHeadless(s.drive);
        EXPECT_TRUE(settled.exitedWith(0)) << settled.output;
        EXPECT_EQ(differences(end, s.state()), "");
    }

    // What a kill left that no kill may leave.
    std::string cutFaults(Kind kind, const State& cut) const {
        std::string faults =
            wholeFiles(filesOf(cut.mac), filesOf(start.mac), filesOf(end.mac), "computer") +
            wholeFiles(filesOf(cut.drive), filesOf(start.drive), filesOf(end.drive), "drive");
        if (cut.list != start.list && cut.list != end.list)
            faults += "the list is neither old nor new: " + cut.list.join(',').toStdString() + "\n";
        if (kind == Sync || kind == Recovery)
            faults += stagedFaults(s.macStaging(), filesOf(end.mac)) +
                      stagedFaults(s.driveStaging(), filesOf(end.drive), "Tolvex/~/");
        else
            faults += describeDifferences(start.mac, cut.mac);  // the computer is never written
        return faults;
    }

    static std::string differences(const State& expected, const State& actual) {
        return describeDifferences(expected.mac, actual.mac) +
               describeDifferences(expected.drive, actual.drive) +
               (expected.list == actual.list ? "" : "list: " + actual.list.join(',').toStdString());
    }
};

TEST_P(KillCampaign, AKilledRunLeavesWholeFilesAndTheNextRunEndsWhereAnUninterruptedOneEnds) {
    const Kind kind = GetParam();
    ASSERT_NO_FATAL_FAILURE(prepare(kind));
    // PELLORA_KILLS (default 50, at least 4) shared over the four kinds.
    const int total = std::max(4, atoi(getenv("PELLORA_KILLS") ?: "50"));
    const int kills = total / 4 + (kind < total % 4 ? 1 : 0);
    const char* fixed = getenv("PELLORA_KILL_SEED");
    const unsigned seed = fixed ? unsigned(atol(fixed)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (PELLORA_KILL_SEED repeats it)");
    std::mt19937 rng(seed);
    int landed = 0, midway = 0;
    for (int round = 0; round < kills && !HasFailure(); ++round) {
        HeadlessRun killed;
        HeadlessOptions killing = run;
        // A run that ended before its kill (runs vary on a busy machine) is an uninterrupted run
        // and judged as one; the delay is drawn again over what that run took.
        for (int attempt = 0; attempt < 3 && !killed.killed; ++attempt) {
            ASSERT_NO_FATAL_FAILURE(restoreStart());
            killing.killAfter = std::uniform_real_distribution<double>(0, duration)(rng);
            killed = runHeadless(s.drive, killing);
            if (killed.killed) break;
            EXPECT_TRUE(killed.exitedWith(0)) << killed.output;
            EXPECT_EQ(differences(end, s.state()), "") << killed.output;
            duration = std::min(duration, killed.seconds);
        }
        if (!killed.killed) continue;
        ++landed;
        const State cut = s.state();
        EXPECT_EQ(cutFaults(kind, cut), "") << killed.output;
        midway += kind == Recovery
                      ? killed.says("Interrupted Sync Detected")
                      : s.stagingLeft() || (cut.drive != start.drive && cut.drive != end.drive);
        // A pass after a killed one starts from the tree the application held, with the
        // preferences the killed one left. The next run reports no error other than removals
        // of copies the killed run made already.
        ASSERT_TRUE(kind != ContinuousPass ||
                    shell("cd '" + s.home + "' && rm -rf " + kItemNames + " && cd '" + saved +
                          "/home' && cp -a " + kItemNames + " '" + s.home + "'"));
        const HeadlessRun again =
            runHeadless(s.drive, kind == ContinuousPass ? run : HeadlessOptions(after));
        EXPECT_TRUE(kind == ContinuousPass ? again.exited() : again.exitedWith(0)) << again.output;
        for (const QString& line : QString::fromStdString(again.output).split('\n'))
            EXPECT_FALSE(
                line.contains("Unable to ") &&
                !(line.contains("Unable to delete ") && line.contains("No such file or directory")))
                << line.toStdString();
        EXPECT_FALSE(s.stagingLeft());
        EXPECT_EQ(differences(end, s.state()), "");
    }
    // Kills spread over the run must land, and often while it is part way.
    EXPECT_GE(landed, kills / 2);
    EXPECT_TRUE(kind == ListUpdate || kind == ContinuousPass || midway >= kills / 4)
        << midway << " kills landed midway";
}

INSTANTIATE_TEST_SUITE_P(, KillCampaign,
                         testing::Values(Sync, Recovery, ListUpdate, ContinuousPass),
                         [](const auto& info) { return kKindNames[info.param]; });

// A run held once its copies from the drive are staged: a second runner on the drive is turned
// away and touches nothing. The run is then killed and a file edited at home: finishing the run
// keeps the edit and moves the rest into place, by the run's record of what it decided (even
// for an edit dated before the staging) and, without one, by the time the copies were staged.
// Unfinished copies a cut-off run left on the drive, a configuration's included, go.
TEST(KilledRun, ASecondRunnerIsTurnedAwayAndFinishingTheRunKeepsAnEditMadeAfterIt) {
    for (bool withRecord : {true, false}) {
        SCOPED_TRACE(withRecord ? "with the record" : "without a record");
        Scene s("CRASHTEST0000000003-0");
        ASSERT_TRUE(s.configure({"~/corpus"}) && putFile(s.mac("corpus/a.txt"), "first\n") &&
                    putFile(s.mac("corpus/b.txt"), "first\n") &&
                    runHeadless(s.drive).exitedWith(0));
        sleep(1);  // past the stored last sync time, kept to the second
        const int64_t driveDate = nowNs();
        for (const char* name : {"corpus/a.txt", "corpus/b.txt", "corpus/.pellora-tmp-1-1/x"})
            ASSERT_TRUE(putFile(s.onDrive(name), "drive\n", driveDate));
        ASSERT_TRUE(putFile(s.drive + "/.pellora-tmp-Xy12Zw", "half a configuration"));
        RunnerProcess killed;
        ASSERT_TRUE(killed.start(
            s.drive, {"--conflict", "1", "--missing", "1", "--debug", "--pause-at", kPause}, true));
        ASSERT_TRUE(killed.watchFor(kPause, 60)) << killed.output();
        const State held = s.state();
        const HeadlessRun second = runHeadless(s.drive);
        EXPECT_TRUE(second.exitedWith(1) && second.says("is being synchronized by another program"))
            << second.output;
        EXPECT_TRUE(held == s.state());
        killed.kill9();
        killed.finish(10);
        ASSERT_TRUE(withRecord ||
                    unlink((s.macStaging() + "/.pellora-staging-record").c_str()) == 0);
        ASSERT_TRUE(putFile(s.mac("corpus/a.txt"), "edited after the kill\n",
                            withRecord ? driveDate + 1000 : nowNs()));
        const HeadlessRun next = runHeadless(s.drive);
        EXPECT_TRUE(next.says("a.txt\" changed during the synchronization")) << next.output;
        EXPECT_EQ(readFile(s.mac("corpus/a.txt")), "edited after the kill\n");
        EXPECT_EQ(readFile(s.mac("corpus/b.txt")), "drive\n");
        EXPECT_FALSE(containsTemporaryName(s.drive) || containsTemporaryName(s.home));
    }
}

}  // namespace
