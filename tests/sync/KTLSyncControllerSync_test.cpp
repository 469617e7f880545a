// Sync runs end to end: a drive folder declared as mounted, a home of the test's own, the
// controller's worker and a scripted window.

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "EngineFixture.h"
#include "SampleTree.h"

namespace {

class SyncRun : public EngineTest {
  protected:
    const int64_t t0 = nowNs() - 3600 * kSecondNs + 123456789;

    // A folder with nested files, an empty folder, a link and a FIFO, and a lone file.
    void makeDocs() {
        put(mac("docs/a.txt"), "alpha", t0);
        put(mac("docs/sub/b.txt"), "bravo", t0 + 1);
        put(mac("docs/sub/deep/c.bin"), QByteArray(70000, 'c'), t0 + 2);
        makeFolders(mac("docs/empty"));
        ASSERT_EQ(symlink("a.txt", mac("docs/link").c_str()), 0);
        ASSERT_EQ(mkfifo(mac("docs/fifo").c_str(), 0640), 0);
        put(mac("notes.txt"), "notes", t0 + 3);
        for (const char* folder : {"docs/sub/deep", "docs/sub", "docs/empty", "docs"})
            ASSERT_TRUE(setModificationTime(mac(folder), t0 + 10));
    }

    // The first sync of a fresh drive, checked.
    void firstSync() {
        makeDocs();
        writeConfig({"~/docs", "~/notes.txt"});
        ASSERT_TRUE(sync());
        ASSERT_EQ(ui->countLines(completedLine()), 1) << ui->drawer.toStdString();
        ASSERT_TRUE(ui->sheets.empty());
    }
};

TEST_F(SyncRun, FirstSyncCopiesEverythingFromTheComputer) {
    makeDocs();
    writeConfig({"~/docs", "~/notes.txt"});
    const TreeSnapshot docs = snapshotTree(mac("docs"));
    const TreeSnapshot notes = snapshotTree(mac("notes.txt"));
    const QDateTime before = QDateTime::currentDateTimeUtc();

    ASSERT_TRUE(sync());

    EXPECT_TRUE(ui->sheets.empty());
    // Folders keep their times too.
    EXPECT_EQ(differences(docs, snapshotTree(onDrive("docs"))), "");
    EXPECT_EQ(differences(notes, snapshotTree(onDrive("notes.txt"))), "");
    struct stat st;
    ASSERT_EQ(lstat(target().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
    EXPECT_FALSE(containsTemporaryName(drive));

    EXPECT_EQ(ui->indeterminateCount, 2);  // once per listed item
    const qsizetype running = ui->calls.indexOf(QStringLiteral("showRunning(cancel)"));
    ASSERT_GE(running, 0) << ui->calls.join(u' ').toStdString();
    EXPECT_GT(ui->calls.indexOf(QStringLiteral("showIdle"), running), running);
    EXPECT_GE(controller->lastSyncTime(), before);
    EXPECT_LE(controller->lastSyncTime(), QDateTime::currentDateTimeUtc());
}

TEST_F(SyncRun, SecondSyncWithNothingChangedCopiesNothing) {
    firstSync();
    const QDateTime firstTime = controller->lastSyncTime();
    // The staging folders come and go beside the data, so only the data's folders keep times.
    const TreeSnapshot driveData = snapshotTree(target() + "/~");
    const TreeSnapshot macHome = snapshotTree(home, false);
    std::map<std::string, ino_t> inodes;
    for (const auto& [path, item] : driveData) inodes[path] = inodeOf(target() + "/~/" + path);

    ASSERT_TRUE(sync());

    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_EQ(differences(driveData, snapshotTree(target() + "/~")), "");
    EXPECT_EQ(differences(macHome, snapshotTree(home, false)), "");
    // A file copied again, even with the same bytes, would be a new inode.
    for (const auto& [path, inode] : inodes)
        EXPECT_EQ(inodeOf(target() + "/~/" + path), inode) << path;
    EXPECT_GT(controller->lastSyncTime(), firstTime);
}

TEST_F(SyncRun, ChangesCrossAfterTheConflictQuestionOrARememberedAnswer) {
    firstSync();
    const int64_t later = nowNs() + 10 * kSecondNs;

    // Changed on the computer: the question says the local copy is the newer one.
    put(mac("docs/a.txt"), "alpha 2", later);
    ui->answers.push_back({1, false, {}});
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 1);
    EXPECT_TRUE(ui->sheets[0].message.contains(QStringLiteral("\"a.txt\"")));
    EXPECT_EQ(ui->sheets[0].conflict.newerSourceTitle, QStringLiteral("local"));
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha 2");

    // Changed on the drive; the answer is remembered this time.
    put(onDrive("docs/sub/b.txt"), "bravo 2", later + kSecondNs);
    ui->answers.push_back({1, true, {}});
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 2);
    EXPECT_NE(ui->sheets[1].conflict.newerSourceTitle, QStringLiteral("local"));
    EXPECT_EQ(readFile(mac("docs/sub/b.txt")), "bravo 2");
    EXPECT_EQ(differences(snapshotTree(onDrive("docs"), false), snapshotTree(mac("docs"), false)),
              "");
    EXPECT_EQ(controller->defaultConflictResolutionAction(), 1);

    // No question any more: a sheet now would be answered 0 and fail the run.
    ui->defaultAnswer = 0;
    put(mac("notes.txt"), "notes 2", later + 2 * kSecondNs);
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->sheets.size(), 2u);
    EXPECT_EQ(readFile(onDrive("notes.txt")), "notes 2");
    EXPECT_EQ(ui->countLines(completedLine()), 4);
}

TEST_F(SyncRun, ADeepTreeSyncsBothWaysAtEveryLevel) {
    // Forty levels: the upper ones are read through folders held open, the lower by path.
    std::string deep = "deep";
    for (int i = 0; i < 40; ++i) deep += "/l" + std::to_string(i);
    put(mac("deep/top.txt"), "top", t0);
    put(mac("deep/l0/l1/mid.txt"), "mid", t0);
    put(mac(deep + "/bottom.txt"), "bottom", t0);
    writeConfig({"~/deep"});
    ASSERT_TRUE(sync());
    EXPECT_EQ(readFile(onDrive(deep + "/bottom.txt")), "bottom");
    EXPECT_EQ(differences(snapshotTree(mac("deep"), false), snapshotTree(onDrive("deep"), false)),
              "");

    // Changes on both sides, high and low, with remembered answers: a sheet would fail the run.
    const int64_t later = nowNs() + 10 * kSecondNs;
    put(mac(deep + "/bottom.txt"), "bottom 2", later);
    put(onDrive("deep/l0/l1/mid.txt"), "mid 2", later);
    put(onDrive(deep + "/only-on-drive.txt"), "low", later);
    put(onDrive("deep/l0/only-on-drive.txt"), "high", later);
    controller->setDefaultConflictResolutionAction(1);
    controller->setDefaultMissingResolutionAction(1);
    ui->defaultAnswer = 0;

    ASSERT_TRUE(sync());

    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(readFile(onDrive(deep + "/bottom.txt")), "bottom 2");
    EXPECT_EQ(readFile(mac("deep/l0/l1/mid.txt")), "mid 2");
    EXPECT_EQ(readFile(mac(deep + "/only-on-drive.txt")), "low");
    EXPECT_EQ(readFile(mac("deep/l0/only-on-drive.txt")), "high");
    EXPECT_EQ(differences(snapshotTree(mac("deep"), false), snapshotTree(onDrive("deep"), false)),
              "");
}

// A file changed while a run goes on, after its turn, is newer than the last sync time that
// run stores: the next run carries it.
TEST_F(SyncRun, AChangeMadeDuringARunAfterTheFilesTurnIsCarriedByTheNextRun) {
    firstSync();
    // notes.txt (after docs in the list) asks; meanwhile docs/a.txt changes, and the run goes
    // on into the next whole second, as the stored time is kept to the second.
    put(onDrive("notes.txt"), "notes 2", nowNs() + 10 * kSecondNs);
    ui->answers.push_back({1, false, [this] {
                               put(mac("docs/a.txt"), "alpha 2", nowNs());
                               const int64_t now = nowNs();
                               std::this_thread::sleep_for(std::chrono::nanoseconds(
                                   kSecondNs - now % kSecondNs + 50000000));
                           }});
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->countLines(completedLine()), 2) << ui->drawer.toStdString();
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha");

    ui->answers.push_back({1, false, {}});
    ASSERT_TRUE(sync());
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha 2");
}

TEST_F(SyncRun, ListedItemMissingOnTheComputer) {
    put(onDrive("gone.txt"), "kept on the drive", t0);
    writeConfig({"~/gone.txt"});
    const TreeSnapshot driveBefore = snapshotTree(target() + "/~");

    // Not copied: the run fails.
    ui->answers.push_back({-1, false, {}});
    ui->answers.push_back({1, false, {}});
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->sheets.size(), 2u);
    EXPECT_EQ(ui->sheets[0].kind, FakeSheet::Missing);
    EXPECT_TRUE(ui->sheets[0].message.contains(QStringLiteral("\"gone.txt\"")));
    EXPECT_EQ(ui->sheets[1].title, QStringLiteral("Sync Failed"));
    EXPECT_EQ(ui->countLines(failedLine()), 1);
    EXPECT_FALSE(pathExists(mac("gone.txt")));
    EXPECT_EQ(differences(driveBefore, snapshotTree(target() + "/~")), "");
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);

    // Copied.
    ui->answers.push_back({1, false, {}});
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->sheets.size(), 3u);
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    EXPECT_EQ(differences(snapshotTree(onDrive("gone.txt")), snapshotTree(mac("gone.txt"))), "");
}

TEST_F(SyncRun, FolderAgainstFileFailsAndTouchesNothing) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(mac("clash/inside.txt"), "inside", t0);
    put(onDrive("clash"), "a file on the drive", t0);
    put(mac("after.txt"), "after", t0);
    writeConfig({"~/docs", "~/clash", "~/after.txt"});
    // Folder times change as the staging folders come and go.
    const TreeSnapshot driveBefore = snapshotTree(drive, false);
    const TreeSnapshot macBefore = snapshotTree(home, false);
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(failedLine()), 1);
    EXPECT_EQ(ui->countAlerts(QStringLiteral("Sync Failed")), 1);
    EXPECT_EQ(ui->sheets.size(), 1u);
    // "docs", staged before the failure, was thrown away with the staging folder.
    TreeSnapshot driveAfter = snapshotTree(drive, false);
    driveAfter.erase("Tolvex/TL_VS_W");
    EXPECT_EQ(differences(driveBefore, driveAfter), "");
    TreeSnapshot macAfter = snapshotTree(home, false);
    macAfter.erase(".TL_VS_W");
    EXPECT_EQ(differences(macBefore, macAfter), "");
}

TEST_F(SyncRun, CancelDuringARunDiscardsTheStagedCopies) {
    put(mac("first/a.txt"), "first", t0);
    put(mac("second/b.txt"), "second", t0);
    put(onDrive("first/old.txt"), "kept", t0);
    writeConfig({"~/first", "~/second"});
    const TreeSnapshot driveBefore = snapshotTree(target(), false);
    const TreeSnapshot macBefore = snapshotTree(home, false);
    KTLSyncController* c = controller.get();
    // "first" is staged by the time the second item is announced.
    ui->onDrawerText = [c](const QString& line) {
        if (line.contains(QStringLiteral("Processing \"second\""))) c->cancelButtonClicked();
    };
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(canceledLine()), 1);
    EXPECT_EQ(ui->countLines(failedLine()), 0);
    // The drive-only file was asked about and staged, but no alert came.
    EXPECT_EQ(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 1);
    TreeSnapshot driveAfter = snapshotTree(target(), false);
    driveAfter.erase("TL_VS_W");
    EXPECT_EQ(differences(driveBefore, driveAfter), "");
    TreeSnapshot macAfter = snapshotTree(home, false);
    macAfter.erase(".TL_VS_W");
    EXPECT_EQ(differences(macBefore, macAfter), "");
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);

    // Whoever starts the next run clears the flag; that run redoes the work.
    ui->onDrawerText = nullptr;
    controller->setCancelPending(false);
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    EXPECT_EQ(readFile(onDrive("first/a.txt")), "first");
    EXPECT_EQ(readFile(onDrive("second/b.txt")), "second");
    EXPECT_EQ(readFile(mac("first/old.txt")), "kept");
}

// A new mount point in the middle of a run (a rename, a remount): the run's copies would be
// staged at the old place and looked for at the new one, so it stops as for a drive pulled out.
TEST_F(SyncRun, ADriveMovedDuringARunStopsIt) {
    put(onDrive("gone.txt"), "on the drive", t0);
    writeConfig({"~/gone.txt"});
    const std::string moved = top + "/moved";
    ASSERT_EQ(symlink(drive.c_str(), moved.c_str()), 0);
    ui->answers.push_back({1, false, [&] { controller->setDeviceMountPoint(moved); }});
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(QStringLiteral("did not complete successfully")), 1);
    EXPECT_EQ(ui->countLines(QString::fromStdString("was moved to \"" + moved + "\"")), 1)
        << ui->drawer.toStdString();
    EXPECT_FALSE(pathExists(mac("gone.txt")));
}

}  // namespace
