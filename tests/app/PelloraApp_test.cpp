// The real program, started on a temporary home with a mount table of its own: drives are
// plugged in and out by editing the table, and what happens is read from the drives and the
// log file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QRegularExpression>
#include <chrono>
#include <functional>
#include <memory>

#include "AppSupport.h"
#include "FakeMountTable.h"

namespace {

class PelloraApp : public testing::Test {
  protected:
    void SetUp() override {
        top = home.path();
        drive = makeFolder(top + "/DRIVE");
        writeTree(top + "/Sites/index.html", "<h1>hello</h1>\n");
    }
    void start() {
        app = std::make_unique<Pellora>(top + "/pellora.stderr");
        ASSERT_TRUE(app->started());
        // Written once the mount monitor watches: from then on, plug-ins are seen.
        ASSERT_TRUE(waitForLog(QStringLiteral("Pellora starting.")));
    }
    void quitAndExpectItToEnd() {
        app->quit();
        EXPECT_EQ(app->exitStatus(10), 0);
        EXPECT_TRUE(logText().trimmed().endsWith(QStringLiteral("Pellora stopping.")))
            << logText().toStdString();
    }
    QString q(const std::string& s) const { return QString::fromStdString(s); }
    std::string copyOnDrive(const std::string& mountPoint) const {
        return mountPoint + "/Tolvex/~/Sites/index.html";
    }

    TestHome home;
    std::string top, drive;
    FakeMountTable table{home.path() + "/mountinfo"};
    std::unique_ptr<Pellora> app;
};

}  // namespace

TEST_F(PelloraApp, APreparedDriveIsSyncedASecondAfterItArrivesAndFollowedUntilItLeaves) {
    writeDefaults({{QStringLiteral("debug"), true}});
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("e2e-drive"));
    knownDrive(QStringLiteral("e2e-drive"));
    // Mounted before the start: it gets a controller but no sync.
    const std::string early = makeFolder(top + "/EARLY");
    prepareDrive(early, {QStringLiteral("~/Sites")}, QStringLiteral("e2e-early"));
    ASSERT_TRUE(table.add(early, "/dev/pellora-test-early"));
    start();

    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-drive"));
    ASSERT_TRUE(pollUntil([&] { return pathExists(copyOnDrive(drive)); }, 15));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count();
    EXPECT_GE(seconds, 0.9);  // queued after the arrival has settled
    EXPECT_LE(seconds, 8.0);
    ASSERT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")));
    EXPECT_FALSE(pathExists(early + "/Tolvex"));

    // A new mount point keeps the controller: no new arrival, no second sync.
    const std::string renamed = top + "/RENAMED";
    ASSERT_EQ(rename(drive.c_str(), renamed.c_str()), 0);
    ASSERT_TRUE(table.move(drive, renamed));
    ASSERT_TRUE(waitForLog("newMountPoint " + q(renamed)));
    // Gone: the controller that followed the move is let go.
    ASSERT_TRUE(table.remove("/dev/pellora-test-drive"));
    ASSERT_TRUE(waitForLog("-[KTLSyncController " + q(renamed) + " dealloc]"));
    const QString log = logText();
    EXPECT_EQ(log.count(QStringLiteral("Synchronization started.")), 1) << log.toStdString();
    EXPECT_FALSE(log.contains("-newDriveAppeared: " + q(renamed))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("EARLY\" completed"))) << log.toStdString();
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
    const std::unique_ptr<void, std::function<void(void*)>> stopServer(
        &server, [server](void*) { kill(server, SIGTERM), waitpid(server, nullptr, 0); });
    ASSERT_TRUE(pollUntil([&] { return pathExists("/tmp/.X11-unix/X" + display.substr(1)); }, 10));
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    writeDefaults({{QStringLiteral("debug"), true}});
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("e2e-stranger"));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_FALSE(pathExists(drive + "/Tolvex"));
    // Nothing recorded either: the next arrival asks again.
    ASSERT_TRUE(table.remove("/dev/pellora-test-stranger"));
    ASSERT_TRUE(waitForLog("-[KTLSyncController " + q(drive) + " dealloc]"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-stranger"));
    ASSERT_TRUE(answer("Return")) << "not asked again";
    EXPECT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")))
        << logText().toStdString();
    EXPECT_TRUE(pathExists(copyOnDrive(drive)));
    quitAndExpectItToEnd();
}

TEST_F(PelloraApp, WithSyncOnConnectOffAnArrivingDriveIsLeftAlone) {
    writeDefaults({{QStringLiteral("debug"), true}, {QStringLiteral("sync-on-connect"), false}});
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("e2e-off"));
    start();
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-off"));
    ASSERT_TRUE(waitForLog("-newDriveAppeared: " + q(drive)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_FALSE(pathExists(drive + "/Tolvex"));
    EXPECT_FALSE(logText().contains(QStringLiteral("-autoStartSyncForDriveAt")));
    quitAndExpectItToEnd();
}

TEST_F(PelloraApp, AQuitRequestWhileASyncRunsIsRefusedAndWorksOnceItHasEnded) {
    writeDefaults({{QStringLiteral("debug"), true}});
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("e2e-busy"));
    knownDrive(QStringLiteral("e2e-busy"));
    // A file only the drive has: the run stops to ask about it, and nobody answers.
    writeTree(drive + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n");
    start();
    ASSERT_TRUE(table.add(drive, "/dev/pellora-test-busy"));
    ASSERT_TRUE(waitForLog(QStringLiteral("is missing on the Mac")));

    app->quit();
    ASSERT_TRUE(waitForLog(QStringLiteral("a drive is busy; not quitting.")));
    EXPECT_FALSE(app->exitStatus(1.5)) << "quit while a sync runs";

    // Unplugged: the question goes away and the run ends.
    ASSERT_TRUE(table.remove("/dev/pellora-test-busy"));
    ASSERT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\"")));
    quitAndExpectItToEnd();
}

TEST_F(PelloraApp, WithoutASessionBusASecondStartIsRefusedWhileTheFirstRuns) {
    start();
    Pellora second(top + "/second.stderr", {drive});
    EXPECT_EQ(second.exitStatus(10), 1);
    EXPECT_TRUE(readFile(top + "/second.stderr").contains("Pellora is already running.\n"));
    EXPECT_TRUE(app->running());
    quitAndExpectItToEnd();
}

TEST_F(PelloraApp, TheInstalledDesktopEntryAndAppStreamDataAreValid) {
    for (const char* tool : {"desktop-file-validate", "appstreamcli"})
        if (std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) != 0)
            GTEST_SKIP() << tool << " is not installed (scripts/bootstrap installs it)";
    const std::string prefix = top + "/usr", out = top + "/install.out";
    ASSERT_EQ(std::system(("cmake --install " + std::string(getenv("PELLORA_TEST_BINARY_DIR")) +
                           " --prefix " + prefix + " >" + out + " 2>&1")
                              .c_str()),
              0)
        << readFile(out).toStdString();
    const std::string share = prefix + "/share/";
    for (const char* file : {"icons/hicolor/scalable/apps/com.orvane.Pellora.svg",
                             "dbus-1/services/com.orvane.Pellora.service", "man/man1/pellora.1",
                             "man/man1/pellora-ctl.1", "man/man8/presswatch.8"})
        EXPECT_TRUE(pathExists(share + file)) << file;
    EXPECT_EQ(std::system(("desktop-file-validate " + share +
                           "applications/com.orvane.Pellora.desktop >" + out + " 2>&1")
                              .c_str()),
              0)
        << readFile(out).toStdString();
    EXPECT_EQ(std::system(("appstreamcli validate --no-net " + share +
                           "metainfo/com.orvane.Pellora.metainfo.xml >" + out + " 2>&1")
                              .c_str()),
              0)
        << readFile(out).toStdString();
}
