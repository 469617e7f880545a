// The real program, started on a temporary home with a mount table of its own: drives are
// plugged in and out by editing the table, and what happens is read from the drives and the
// log file; the scripted cases drive it with pellora-ctl on a bus of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QElapsedTimer>

#include "AppSupport.h"

namespace {

class PelloraApp : public testing::Test {
  protected:
    void SetUp() override {
        top = home.path();
        drive = makeFolder(top + "/DRIVE");
        ASSERT_TRUE(putFile(top + "/Sites/index.html", "<h1>hello</h1>\n"));
        writeDefaults({{"debug", true}});
    }
    void start() {
        // The offscreen platform's warnings would only clutter the test's output.
        app.setStandardErrorFile(q(top + "/pellora.stderr"));
        app.start(binary("bin/pellora"), {});
        ASSERT_TRUE(app.waitForStarted());
        // Written once the mount monitor watches: from then on, plug-ins are seen.
        ASSERT_TRUE(waitForLog("Pellora starting."));
    }
    // A quit is refused while a drive's queue still holds work; asked again a few times.
    void quitAndExpectItToEnd(int tries = 1) {
        for (int i = 0; i < tries && app.state() != QProcess::NotRunning; ++i) {
            app.terminate();
            app.waitForFinished(10000 / tries);
        }
        EXPECT_TRUE(app.state() == QProcess::NotRunning &&
                    app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0)
            << "exit " << app.exitStatus() << "/" << app.exitCode() << ":\n"
            << readFile(top + "/pellora.stderr").toStdString();
        EXPECT_TRUE(logText().trimmed().endsWith("Pellora stopping.")) << logText().toStdString();
    }
    QString q(const std::string& s) const { return QString::fromStdString(s); }
    std::string copyOnDrive(const std::string& mountPoint) const {
        return mountPoint + "/Tolvex/~/Sites/index.html";
    }
    bool synced(int times = 1) {
        const QString done = "Synchronization of \"DRIVE\" completed successfully.";
        return pollUntil([&] { return logText().count(done) == times; }, 15);
    }

    TestHome home;
    std::string top, drive;
    FakeMountTable table{home.path() + "/mountinfo"};
    QProcess app;
};

}  // namespace

TEST_F(PelloraApp, APreparedDriveIsSyncedASecondAfterItArrivesAndFollowedUntilItLeaves) {
    prepareDrive(drive, {"~/Sites"}, "e2e-drive");
    knownDrive("e2e-drive");
    // Mounted before the start: it gets a controller but no sync.
    const std::string early = makeFolder(top + "/EARLY");
    prepareDrive(early, {"~/Sites"}, "e2e-early");
    ASSERT_TRUE(table.add(early, "/dev/pellora-test-early"));
    start();

    QElapsedTimer plugged;
    plugged.start();
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-drive"));
    ASSERT_TRUE(pollUntil([&] { return pathExists(copyOnDrive(drive)); }, 15));
    // Queued after the arrival has settled.
    EXPECT_GE(plugged.elapsed(), 900);
    ASSERT_TRUE(synced());

    // A new mount point keeps the controller: no new arrival, no second sync.
    const std::string renamed = top + "/RENAMED";
    ASSERT_EQ(rename(drive.c_str(), renamed.c_str()), 0);
    ASSERT_TRUE(table.move(drive, renamed));
    ASSERT_TRUE(waitForLog("newMountPoint " + q(renamed)));
    // Gone: the controller that followed the move is let go.
    ASSERT_TRUE(table.remove("/dev/pellora-test-drive"));
    ASSERT_TRUE(waitForLog("-[KTLSyncController " + q(renamed) + " dealloc]"));
    const QString log = logText();
    EXPECT_EQ(log.count("Synchronization started."), 1) << log.toStdString();
    EXPECT_FALSE(log.contains("-newDriveAppeared: " + q(renamed))) << log.toStdString();
    EXPECT_FALSE(pathExists(early + "/Tolvex"));
    quitAndExpectItToEnd();
}

// A drive never synced here asks once it arrives, before anything is copied. On a display of
// its own, so that the question can be answered from the keyboard: Escape cancels, Return syncs.
TEST_F(PelloraApp, AStrangersDriveIsSyncedOnlyOnceTheUserSaysSo) {
    if (system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0)
        GTEST_SKIP() << "needs Xvfb and xdotool (Debian packages xvfb and xdotool)";
    const std::string display = ":" + std::to_string(100 + getpid() % 800);
    pid_t server = -1;
    const char* xvfb[] = {"Xvfb", display.c_str(), "-nolisten", "tcp", nullptr};
    ASSERT_EQ(posix_spawnp(&server, "Xvfb", nullptr, nullptr, const_cast<char**>(xvfb), environ),
              0);
    struct Stop {
        pid_t pid;
        ~Stop() { kill(pid, SIGTERM), waitpid(pid, nullptr, 0); }
    } stopServer{server};
    ASSERT_TRUE(pollUntil([&] { return pathExists("/tmp/.X11-unix/X" + display.substr(1)); }, 10));
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    prepareDrive(drive, {"~/Sites"}, "e2e-stranger");
    start();
    unsetenv("QT_QPA_PLATFORM");
    // Up, answered, gone. (xdotool reports the key's release to a window already gone.)
    const std::string find = "xdotool search --onlyvisible --name 'Sync This Drive' ";
    auto up = [&] { return system((find + ">/dev/null").c_str()) == 0; };
    // The key is typed (through the X test extension) to the focused question, and again while
    // the question stays up: with no window manager, a window that appears meanwhile may take the
    // focus. A key sent to the window instead closed it with Cancel in about half the runs.
    auto answer = [&](const std::string& key) {
        if (!pollUntil(up, 15)) return false;
        return pollUntil(
            [&] {
                (void)!system(
                    (find + "windowfocus --sync 2>/dev/null && xdotool key " + key).c_str());
                return pollUntil([&] { return !up(); }, 1);
            },
            8);
    };

    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-stranger"));
    ASSERT_TRUE(answer("Escape")) << "no question";
    QThread::msleep(2000);
    EXPECT_FALSE(pathExists(drive + "/Tolvex"));
    // Nothing recorded either: the next arrival asks again.
    ASSERT_TRUE(table.remove("/dev/pellora-test-stranger"));
    ASSERT_TRUE(waitForLog("-[KTLSyncController " + q(drive) + " dealloc]"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-stranger"));
    ASSERT_TRUE(answer("Return")) << "not asked again";
    EXPECT_TRUE(synced()) << logText().toStdString();
    EXPECT_TRUE(pathExists(copyOnDrive(drive)));
    quitAndExpectItToEnd();
}

TEST_F(PelloraApp, AQuitRequestWhileASyncRunsIsRefusedAndWorksOnceItHasEnded) {
    prepareDrive(drive, {"~/Sites"}, "e2e-busy");
    knownDrive("e2e-busy");
    // A file only the drive has: the run stops to ask about it, and nobody answers.
    ASSERT_TRUE(putFile(drive + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n"));
    start();
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-busy"));
    ASSERT_TRUE(waitForLog("is missing on the Mac"));
    // Without a session bus, a second start is refused.
    const Outcome second = run(binary("bin/pellora"), {drive});
    EXPECT_TRUE(second.status == 1 &&
                second.err.find("Pellora is already running.") != std::string::npos)
        << second.status << second.err;
    app.terminate();
    ASSERT_TRUE(waitForLog("a drive is busy; not quitting."));
    EXPECT_FALSE(app.waitForFinished(1500)) << "quit while a sync runs";
    // Unplugged: the question goes away and the run ends.
    ASSERT_TRUE(table.remove("/dev/pellora-test-busy"));
    ASSERT_TRUE(waitForLog("Synchronization of \"DRIVE\""));
    quitAndExpectItToEnd();
}

// A bus of its own, served once the name is taken; until then the client finds nobody (3).
class Scripting : public PelloraApp {
  public:
    static void SetUpTestSuite() { usePrivateBus(); }

  protected:
    void startServing() {
        start();
        ASSERT_TRUE(pollUntil([&] { return ctl({"info", drive}).status != 3; }, 15));
    }
    void TearDown() override { quitAndExpectItToEnd(5); }
    Outcome ctl(const std::vector<std::string>& arguments) {
        return run(binary("tools/pellora-ctl"), arguments);
    }
};

// The commands' own errors are checked in the delegate's tests; here, what each does. A second
// drive, mounted at the start, was changed on another computer: continuous passes keep its
// tree but copy nothing before its first full sync.
TEST_F(Scripting, EachCommandOfTheClientActsOnTheRunningProgram) {
    ASSERT_TRUE(table.add(drive, "/dev/pellora-lists"));
    const std::string other = makeFolder(top + "/OTHER");
    ASSERT_TRUE(putFile(other + "/Tolvex/~/Sites/index.html", "changed elsewhere\n"));
    prepareDrive(other, {"~/Sites"}, "script-other");
    ASSERT_TRUE(table.add(other, "/dev/pellora-other"));
    TempDir elsewhere;
    const std::string outside = makeFolder(elsewhere / "outside");
    ASSERT_TRUE(putFile(top + "/With Blank/a.txt", "a\n"));
    // With sync-on-connect off, even a drive synced here before is left alone when it comes.
    writeDefaults({{"debug", true}, {"sync-on-connect", false}});
    const std::string late = makeFolder(top + "/LATE");
    prepareDrive(late, {"~/Sites"}, "script-late");
    knownDrive("script-late");
    setenv("PELLORA_WORKER_TIMING", "50,10", 1);  // an idle pass about every half second
    startServing();
    unsetenv("PELLORA_WORKER_TIMING");
    ASSERT_TRUE(table.add(late, "/dev/pellora-late"));
    const std::string list = top + "/Sites\n" + top + "/With Blank\n" + outside + "\n";
    // Each row: the command, its exit status and output.
    const std::tuple<std::vector<std::string>, int, std::string> steps[] = {
        {{"query", drive}, 0, "no\n"},
        {{"get-list", drive}, 1, ""},  // a fresh drive has no list yet
        {{"set-list", drive, top + "/Sites", top + "/With Blank", outside}, 0, ""},
        {{"get-list", drive}, 0, list},
        {{"query", drive}, 0, "yes\n"},
        {{"set-continuous", drive, "on"}, 0, ""},
        {{"get-continuous", drive}, 0, "on\n"},
        {{"set-continuous", drive, "off"}, 0, ""},
        {{"get-continuous", drive}, 0, "off\n"},
        {{"info", drive}, 0, ""},
        {{"stop", drive}, 0, ""},  // on an idle drive, only remembered; the start clears it
        {{"start", drive}, 0, ""},
        {{"set-continuous", other, "on"}, 0, ""},
    };
    for (const auto& [arguments, status, out] : steps) {
        const Outcome result = ctl(arguments);
        EXPECT_EQ(result.status, status) << arguments[0] << result.err;
        EXPECT_EQ(result.out, out) << arguments[0];
        if (arguments[0] == "set-list") {
            ASSERT_TRUE(waitForLog("Update Sync Items completed."));
        }
    }
    EXPECT_EQ(driveList(drive), (QStringList{"~/Sites", "~/With Blank", q(outside)}));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(pathExists(copyOnDrive(drive)));

    // Sent without wanting a reply, a command still runs.
    const Outcome quiet = run(
        "gdbus", {"call", "--session", "--dest", "com.orvane.Pellora", "--object-path",
                  "/com/orvane/Pellora", "--method", "com.orvane.Pellora.AppleEvents.HandleEvent",
                  "VSNC", "DOIT", "{'----': <('furl', b'file://" + drive + "')>}", "false"});
    EXPECT_EQ(quiet.out, "(@a{sv} {},)\n");
    EXPECT_TRUE(synced(2));

    // From here on only the other drive's passes scan.
    const qsizetype scans = logText().count("Scan completed.");
    ASSERT_TRUE(pollUntil([&] { return logText().count("Scan completed.") >= scans + 3; }, 15));
    EXPECT_EQ(readFile(other + "/Tolvex/~/Sites/index.html"), "changed elsewhere\n");
    EXPECT_FALSE(pathExists(late + "/Tolvex"));
    // Given as the shell would pass it, relative to where the second one starts.
    const Outcome second = run("/bin/sh", {"-c", "cd \"$0\" && exec \"$1\" DRIVE", top,
                                           binary("bin/pellora").toStdString()});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(synced(3));
}
