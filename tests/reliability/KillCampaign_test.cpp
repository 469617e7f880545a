// The headless runner SIGKILLed at random moments of four kinds of run: a two-way sync, the
// run that finishes an interrupted sync, a sync-list update and a continuous-sync pass. After
// every kill each file under a real name is whole on both sides and the configuration is
// readable; the next uninterrupted run ends exactly where an uninterrupted run from the same
// start ends. PELLORA_KILLS (default 50) sets the number of kills over the four kinds,
// PELLORA_KILL_SEED repeats a campaign's delays.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "KillScenario.h"

using namespace kill_campaign;

namespace {

const std::vector<std::string> kSyncArguments = {"--conflict", "1", "--missing", "1"};
const QStringList kNewList = {QStringLiteral("~/corpus"), QStringLiteral("~/notes.txt")};

// Counts where the kills of one kind landed and prints the tally.
class Landings {
  public:
    explicit Landings(const char* kind) : _kind(kind) {}
    void add(int round, double aimed, const RunnerRun& run, const std::string& where) {
        const std::string when = run.killed ? where : "never: the run had ended";
        ++_counts[when];
        printf("%s %2d: kill aimed at %.3f s, sent at %.3f s, landed %s\n", _kind, round, aimed,
               run.killedAfter, when.c_str());
    }
    void print(Clock::time_point start) const {
        for (const auto& [when, count] : _counts)
            printf("  %2d kills landed %s\n", count, when.c_str());
        printf("%s: test took %.1f s\n", _kind, secondsSince(start));
    }
    int count(const std::string& when) const {
        auto it = _counts.find(when);
        return it == _counts.end() ? 0 : it->second;
    }

  private:
    const char* _kind;
    std::map<std::string, int> _counts;
};

// Draws kill delays over a run's measured duration. A run that ended before its kill (runs
// vary on a busy machine) shortens the duration, so that the next draw lands inside the run.
class KillTimes {
  public:
    KillTimes(std::mt19937& rng, double duration, double lowFraction = 0)
        : _rng(rng), _duration(duration), _low(lowFraction) {}
    double next() {
        return std::uniform_real_distribution<double>(_duration * _low, _duration)(_rng);
    }
    bool killed(const RunnerRun& run) {
        if (!run.killed && run.endedAfter > 0) _duration = std::min(_duration, run.endedAfter);
        return run.killed;
    }

  private:
    std::mt19937& _rng;
    double _duration, _low;
};

// A round is tried again (a few times) when its run ended before the kill.
constexpr int kAttempts = 3;

// A two-way sync of every item from `start` ends in the same state on both sides.
void expectItemsAgree(const Scenario& s) {
    for (const char* item : {"corpus", "notes.txt", "archive", "photos"}) {
        EXPECT_EQ(describeDifferences(snapshotTree(s.mac(item), false),
                                      snapshotTree(s.onDrive(item), false)),
                  "")
            << item;
    }
}

// Where a kill of a sync landed, judged by what it left.
std::string syncLanding(const Scenario& s, const RunnerRun& run, const State& cut,
                        const State& start) {
    if (run.output.find("completed successfully.") != std::string::npos)
        return "after the run completed";
    if (cut.mac != start.mac || cut.drive != start.drive)
        return "while moving staged copies into place";
    if (pathExists(s.driveStaging()) || pathExists(s.macStaging()))
        return containsTemporaryName(s.root.path()) ? "while copies were staged"
                                                    : "with every staged copy named";
    return "before staging or after clean-up";
}

// The state a two-way sync is killed from, and where an uninterrupted one ends; `duration`
// is the shorter of two uninterrupted runs.
struct SyncStart {
    std::string saved;
    State start, end;
    double duration = 0;
};

void prepareSync(Scenario& s, SyncStart& out) {
    ASSERT_NO_FATAL_FAILURE(s.buildSynchronized());
    ASSERT_NO_FATAL_FAILURE(s.changeBothSides());
    out.saved = s.root / "start";
    ASSERT_NO_FATAL_FAILURE(s.save(out.saved));
    out.start = s.state();

    const RunnerRun reference = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    out.end = s.state();
    // The reference itself: both sides agree on every item, and the changes travelled.
    expectItemsAgree(s);
    ASSERT_NE(describeDifferences(out.start.mac, out.end.mac), "");
    ASSERT_NE(describeDifferences(out.start.drive, out.end.drive), "");
    EXPECT_FALSE(pathExists(s.driveStaging()));
    EXPECT_FALSE(pathExists(s.macStaging()));

    // A second uninterrupted run, now with warm caches, times the run the kills spread over;
    // it must end in the same state.
    ASSERT_NO_FATAL_FAILURE(s.restore(out.saved));
    const RunnerRun timing = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(timing.exitStatus, 0) << timing.output;
    ASSERT_EQ(differencesFrom(out.end, s.state()), "");
    out.duration = std::min(reference.endedAfter, timing.endedAfter);
}

// The run after a kill: completes, leaves no staging and ends where the reference ended.
void expectFinishes(const Scenario& s, const std::vector<std::string>& arguments,
                    const State& end) {
    const RunnerRun again = runRunner(s.drive, arguments);
    EXPECT_EQ(again.exitStatus, 0) << again.output;
    EXPECT_FALSE(pathExists(s.driveStaging()));
    EXPECT_FALSE(pathExists(s.macStaging()));
    EXPECT_EQ(differencesFrom(end, s.state()), "") << again.output;
}

// The error lines of a pass other than those for removals of copies that are gone already.
std::string unexpectedErrorLines(const std::string& output) {
    std::string out;
    for (size_t at = output.find("Unable to "); at != std::string::npos;
         at = output.find("Unable to ", at + 1)) {
        const std::string line = output.substr(at, output.find('\n', at) - at);
        if (line.rfind("Unable to delete ", 0) != 0 ||
            line.find("No such file or directory") == std::string::npos)
            out += line + "\n";
    }
    return out;
}

std::string syncCutFaults(const Scenario& s, const State& cut, const SyncStart& from) {
    return checkCut(cut, from.start, from.end) +
           checkStaged(s.macStaging(), from.end.mac, "", "Mac") +
           checkStaged(s.driveStaging(), from.end.drive, "Tolvex/~/", "drive");
}

}  // namespace

TEST(KillCampaign, KilledSyncsLeaveWholeFilesAndTheNextSyncEndsWhereAnUninterruptedOneEnds) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const Clock::time_point testStart = Clock::now();
    Scenario s;
    SyncStart from;
    ASSERT_NO_FATAL_FAILURE(prepareSync(s, from));

    const unsigned seed = campaignSeed();
    const int kills = killShare(0);
    printf("sync kills in %s: seed %u (PELLORA_KILL_SEED repeats it), %d kills over %.3f s\n",
           s.root.path().c_str(), seed, kills, from.duration);
    std::mt19937 rng(seed);
    KillTimes times(rng, from.duration);
    Landings landed("sync");
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("sync kill " + std::to_string(round) + ", seed " + std::to_string(seed));
        RunnerRun killed;
        double aimed = 0;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ASSERT_NO_FATAL_FAILURE(s.restore(from.saved));
            aimed = times.next();
            killed = runRunner(s.drive, kSyncArguments, aimed);
            if (times.killed(killed)) break;
        }
        const State cut = s.state();
        landed.add(round, aimed, killed, syncLanding(s, killed, cut, from.start));
        EXPECT_EQ(syncCutFaults(s, cut, from), "") << killed.output;
        expectFinishes(s, kSyncArguments, from.end);
        if (HasFailure()) break;
    }
    landed.print(testStart);
    // Kills spread over the run must often land while copies are staged.
    EXPECT_GE(landed.count("while copies were staged") +
                  landed.count("with every staged copy named") +
                  landed.count("while moving staged copies into place"),
              kills / 4);
}

TEST(KillCampaign, KilledRecoveriesLeaveWholeFilesAndTheNextRunFinishesTheSync) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const Clock::time_point testStart = Clock::now();
    Scenario s;
    SyncStart from;
    ASSERT_NO_FATAL_FAILURE(prepareSync(s, from));

    // The recovery run the kills spread over: after a sync killed while its copies were
    // staged.
    ASSERT_NO_FATAL_FAILURE(s.restore(from.saved));
    const RunnerRun first = runRunner(s.drive, kSyncArguments, from.duration * 0.6);
    ASSERT_TRUE(first.killed) << first.output;
    const RunnerRun recovery = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(recovery.exitStatus, 0) << recovery.output;
    ASSERT_EQ(differencesFrom(from.end, s.state()), "") << recovery.output;
    const double recoveryDuration = recovery.endedAfter;

    // Each round kills a sync, then the run that finishes it, once or more.
    const unsigned seed = campaignSeed();
    const int kills = killShare(1);
    const int rounds = std::max(1, kills / 2);
    const int recoveryKills = std::max(1, kills - rounds);
    printf(
        "recovery kills in %s: seed %u (PELLORA_KILL_SEED repeats it), %d rounds, %d kills "
        "over %.3f s of a sync and %.3f s of a recovery\n",
        s.root.path().c_str(), seed, rounds, rounds + recoveryKills, from.duration,
        recoveryDuration);
    std::mt19937 rng(seed);
    KillTimes syncTimes(rng, from.duration, 0.2);
    KillTimes recoveryTimes(rng, recoveryDuration);
    Landings landed("recovery");
    int recovering = 0, kill = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("recovery round " + std::to_string(round) + ", seed " + std::to_string(seed));
        RunnerRun killedSync;
        double firstAimed = 0;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ASSERT_NO_FATAL_FAILURE(s.restore(from.saved));
            firstAimed = syncTimes.next();
            killedSync = runRunner(s.drive, kSyncArguments, firstAimed);
            if (syncTimes.killed(killedSync)) break;
        }
        State cut = s.state();
        landed.add(kill++, firstAimed, killedSync,
                   "in the sync: " + syncLanding(s, killedSync, cut, from.start));
        EXPECT_EQ(syncCutFaults(s, cut, from), "") << killedSync.output;

        const int here = recoveryKills / rounds + (round < recoveryKills % rounds ? 1 : 0);
        for (int k = 0; k < here; ++k) {
            const double aimed = recoveryTimes.next();
            const RunnerRun killed = runRunner(s.drive, kSyncArguments, aimed);
            recoveryTimes.killed(killed);
            cut = s.state();
            const bool detected =
                killed.output.find("Interrupted Sync Detected") != std::string::npos;
            recovering += detected && killed.killed;
            landed.add(kill++, aimed, killed,
                       detected ? "after the interrupted sync was found"
                                : "before the interrupted sync was found");
            EXPECT_EQ(syncCutFaults(s, cut, from), "") << killed.output;
        }
        expectFinishes(s, kSyncArguments, from.end);
        if (HasFailure()) break;
    }
    landed.print(testStart);
    EXPECT_GE(recovering, recoveryKills / 4);
}

TEST(KillCampaign, KilledListUpdatesKeepTheConfigurationReadableAndTheNextUpdateFinishes) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const Clock::time_point testStart = Clock::now();
    Scenario s;
    ASSERT_NO_FATAL_FAILURE(s.buildSynchronized());
    // Many copies to remove, so that kills land in the middle of it.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_NO_FATAL_FAILURE(s.put(s.onDrive((i % 2 ? "archive/extra" : "photos/extra") +
                                                std::to_string(i % 20) + "/x" + std::to_string(i)),
                                      "a stored copy\n"));
    }
    const std::string saved = s.root / "start";
    ASSERT_NO_FATAL_FAILURE(s.save(saved));
    const State start = s.state();
    std::vector<std::string> arguments = {"--update-list"};
    for (const QString& entry : kNewList) arguments.push_back(entry.toStdString());

    const RunnerRun reference = runRunner(s.drive, arguments);
    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    const State end = s.state();
    // The dropped items' copies went, the kept ones and the computer's items stayed.
    EXPECT_EQ(end.list, kNewList);
    EXPECT_FALSE(pathExists(s.onDrive("archive")));
    EXPECT_FALSE(pathExists(s.onDrive("photos")));
    EXPECT_TRUE(pathExists(s.onDrive("corpus/big/big0.bin")));
    EXPECT_EQ(describeDifferences(start.mac, end.mac), "");

    ASSERT_NO_FATAL_FAILURE(s.restore(saved));
    const RunnerRun timing = runRunner(s.drive, arguments);
    ASSERT_EQ(timing.exitStatus, 0) << timing.output;
    ASSERT_EQ(differencesFrom(end, s.state()), "");
    const double duration = std::min(reference.endedAfter, timing.endedAfter);

    const unsigned seed = campaignSeed();
    const int kills = killShare(2);
    printf(
        "list-update kills in %s: seed %u (PELLORA_KILL_SEED repeats it), %d kills over "
        "%.3f s\n",
        s.root.path().c_str(), seed, kills, duration);
    std::mt19937 rng(seed);
    KillTimes times(rng, duration);
    Landings landed("update");
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("list-update kill " + std::to_string(round) + ", seed " +
                     std::to_string(seed));
        RunnerRun killed;
        double aimed = 0;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ASSERT_NO_FATAL_FAILURE(s.restore(saved));
            aimed = times.next();
            killed = runRunner(s.drive, arguments, aimed);
            if (times.killed(killed)) break;
        }
        const State cut = s.state();
        const char* where = cut.list == end.list       ? "after the new list was written"
                            : cut.drive != start.drive ? "while copies were removed"
                                                       : "before anything was removed";
        landed.add(round, aimed, killed, where);
        EXPECT_EQ(checkCut(cut, start, end), "") << killed.output;
        EXPECT_EQ(describeDifferences(start.mac, cut.mac), "");
        expectFinishes(s, arguments, end);
        if (HasFailure()) break;
    }
    landed.print(testStart);
}

TEST(KillCampaign, KilledContinuousPassesLeaveWholeFilesAndTheNextPassCarriesTheRest) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const Clock::time_point testStart = Clock::now();
    Scenario s;
    ASSERT_NO_FATAL_FAILURE(s.buildSynchronized());
    const std::string saved = s.root / "synchronized";
    ASSERT_NO_FATAL_FAILURE(s.save(saved));
    ASSERT_NO_FATAL_FAILURE(s.changeComputer());
    const State start = s.state();

    // The pass's tree is taken from the items as they were synchronized; the computer's
    // changes come after it, as they would while the application runs.
    RunnerOptions pass;
    pass.arguments = {"--continuous-pass"};
    pass.marker = "tree built\n";
    pass.atMarker = [&s] { s.changeComputer(); };
    ASSERT_NO_FATAL_FAILURE(s.restore(saved));
    const RunnerRun reference = runRunner(s.drive, pass);
    ASSERT_EQ(reference.exitStatus, 0) << reference.output;
    const State end = s.state();
    expectItemsAgree(s);
    EXPECT_EQ(describeDifferences(start.mac, end.mac), "");
    ASSERT_NE(describeDifferences(start.drive, end.drive), "");
    // A two-way sync after the pass has nothing left to do.
    const RunnerRun settled = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(settled.exitStatus, 0) << settled.output;
    ASSERT_EQ(differencesFrom(end, s.state()), "");

    ASSERT_NO_FATAL_FAILURE(s.restore(saved));
    const RunnerRun timing = runRunner(s.drive, pass);
    ASSERT_EQ(timing.exitStatus, 0) << timing.output;
    ASSERT_EQ(differencesFrom(end, s.state()), "");
    const double duration = std::min(reference.endedAfter, timing.endedAfter);

    const unsigned seed = campaignSeed();
    const int kills = killShare(3);
    printf(
        "continuous-pass kills in %s: seed %u (PELLORA_KILL_SEED repeats it), %d kills over "
        "%.3f s after the tree was built\n",
        s.root.path().c_str(), seed, kills, duration);
    std::mt19937 rng(seed);
    KillTimes times(rng, duration);
    Landings landed("continuous");
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("continuous-pass kill " + std::to_string(round) + ", seed " +
                     std::to_string(seed));
        RunnerOptions killing = pass;
        RunnerRun killed;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ASSERT_NO_FATAL_FAILURE(s.restore(saved));
            killing.killAfter = times.next();
            killed = runRunner(s.drive, killing);
            if (times.killed(killed)) break;
        }
        const State cut = s.state();
        const char* where = cut.drive == start.drive ? "before anything reached the drive"
                            : cut.drive == end.drive ? "after every change reached the drive"
                                                     : "while changes were carried";
        landed.add(round, killing.killAfter, killed, where);
        EXPECT_EQ(checkCut(cut, start, end), "") << killed.output;
        // A pass only ever writes to the drive.
        EXPECT_EQ(describeDifferences(start.mac, cut.mac), "");

        // The next pass starts from the tree the application held, with the preferences the
        // killed one left. Removals the killed pass made already are reported, nothing else.
        ASSERT_NO_FATAL_FAILURE(s.restoreComputerItems(saved));
        const RunnerRun again = runRunner(s.drive, pass);
        EXPECT_TRUE(again.exited) << again.output;
        EXPECT_EQ(unexpectedErrorLines(again.output), "");
        // It wrote where the killed one did, and cleared what that one left unfinished.
        EXPECT_EQ(differencesFrom(end, s.state()), "") << again.output;
        if (HasFailure()) break;
    }
    landed.print(testStart);
}

// Unfinished copies that a cut-off pass left in the drive's sync folder go at the next sync,
// beside an item's copy and inside it, and never reach the computer; so does the unfinished
// file of a configuration rewrite cut off at the drive's root.
TEST(KillCampaign, ASyncClearsUnfinishedCopiesThatAPassLeftOnTheDrive) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    Scenario s;
    ASSERT_NO_FATAL_FAILURE(s.writeConfig({QStringLiteral("~/docs"), QStringLiteral("~/a.txt")}));
    ASSERT_NO_FATAL_FAILURE(s.put(s.mac("docs/sub/b.txt"), "bravo\n"));
    ASSERT_NO_FATAL_FAILURE(s.put(s.mac("a.txt"), "alpha\n"));
    RunnerRun first = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(first.exitStatus, 0) << first.output;
    const TreeSnapshot mac = s.state().mac;
    for (const char* left :
         {".pellora-tmp-1-0", "docs/.pellora-tmp-1-1/x", "docs/sub/.pellora-tmp-1-2"}) {
        ASSERT_NO_FATAL_FAILURE(s.put(s.onDrive(left), "half a copy"));
    }
    ASSERT_NO_FATAL_FAILURE(s.put(s.drive + "/.pellora-tmp-Xy12Zw", "half a configuration"));

    RunnerRun next = runRunner(s.drive, kSyncArguments);
    ASSERT_EQ(next.exitStatus, 0) << next.output;
    EXPECT_FALSE(containsTemporaryName(s.drive)) << next.output;
    EXPECT_EQ(describeDifferences(mac, s.state().mac), "");
    EXPECT_EQ(readFile(s.onDrive("docs/sub/b.txt")), "bravo\n");
}

// A run killed once copies from the drive are staged, a file then edited at home: finishing
// the run keeps the edit and moves the rest into place, by the run's own record of what it
// decided (even for an edit dated before the staging) and, without one, by the time the
// copies were staged.
TEST(KillCampaign, FinishingAKilledRunKeepsAnEditMadeAfterIt) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    const std::string pause = "-processTempFolders:";
    for (bool withRecord : {true, false}) {
        SCOPED_TRACE(withRecord ? "with the record" : "without a record");
        Scenario s;
        ASSERT_NO_FATAL_FAILURE(s.writeConfig({QStringLiteral("~/corpus")}));
        for (const char* name : {"corpus/a.txt", "corpus/b.txt"}) {
            ASSERT_NO_FATAL_FAILURE(s.put(s.mac(name), "first\n"));
        }
        ASSERT_EQ(runRunner(s.drive, kSyncArguments).exitStatus, 0);
        sleep(1);  // past the stored last sync time, kept to the second
        const int64_t driveDate = nowNs();
        for (const char* name : {"corpus/a.txt", "corpus/b.txt"}) {
            ASSERT_NO_FATAL_FAILURE(s.put(s.onDrive(name), "drive\n", driveDate));
        }
        RunnerProcess killed;
        std::vector<std::string> arguments = kSyncArguments;
        arguments.insert(arguments.end(), {"--debug", "--pause-at", pause});
        ASSERT_TRUE(killed.start(s.drive, arguments, true));
        ASSERT_TRUE(killed.watchFor(pause, 60)) << killed.output();
        killed.kill9();
        killed.finish(10);
        ASSERT_TRUE(pathExists(s.macStaging() + "/~/corpus/a.txt"));
        if (!withRecord) {
            ASSERT_EQ(unlink((s.macStaging() + "/.pellora-staging-record").c_str()), 0);
        }
        ASSERT_NO_FATAL_FAILURE(s.put(s.mac("corpus/a.txt"), "edited after the kill\n",
                                      withRecord ? driveDate + 1000 : nowNs()));

        const RunnerRun next = runRunner(s.drive, kSyncArguments);
        EXPECT_NE(next.output.find("a.txt\" changed during the synchronization"), std::string::npos)
            << next.output;
        EXPECT_EQ(readFile(s.mac("corpus/a.txt")), "edited after the kill\n") << next.output;
        EXPECT_EQ(readFile(s.mac("corpus/b.txt")), "drive\n") << next.output;
    }
}

// Two engines on one drive: while the first holds it, with copies staged, a second is turned
// away and touches nothing; the first then finishes.
TEST(KillCampaign, ASecondRunnerOnTheSameDriveIsTurnedAway) {
    ASSERT_TRUE(pathExists(headlessRunnerBinary())) << headlessRunnerBinary();
    Scenario s;
    ASSERT_NO_FATAL_FAILURE(s.writeConfig({QStringLiteral("~/corpus")}));
    ASSERT_NO_FATAL_FAILURE(s.put(s.mac("corpus/a.txt"), "first\n"));
    RunnerOptions first;
    first.marker = "-processTempFolders:";
    first.arguments = kSyncArguments;
    first.arguments.insert(first.arguments.end(), {"--debug", "--pause-at", first.marker});
    RunnerRun second;
    State before, after;
    first.atMarker = [&] {
        before = s.state();
        second = runRunner(s.drive, kSyncArguments);
        after = s.state();
        EXPECT_TRUE(pathExists(s.driveStaging() + "/~/corpus/a.txt"));
    };
    const RunnerRun run = runRunner(s.drive, first);

    EXPECT_EQ(second.exitStatus, 1) << second.output;
    EXPECT_NE(second.output.find("is being synchronized by another program"), std::string::npos)
        << second.output;
    EXPECT_EQ(differencesFrom(before, after), "");
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(readFile(s.onDrive("corpus/a.txt")), "first\n");
}
