// Continuous sync: passes of the worker that carry the computer's changes to the drive without
// a question, measured against the reference time.

#include <sys/stat.h>

#include <QTimeZone>
#include <limits>

#include "EngineFixture.h"
#include "SampleTree.h"

namespace {

const QString kScanning = QStringLiteral("Scanning for changes...");
const QString kScanned = QStringLiteral("Scan completed.");

class Continuous : public EngineTest {
  protected:
    const int64_t t0 = nowNs() - 3600 * kSecondNs;
    // The reference time of the passes, set by the test in whole seconds.
    int64_t since = 0;

    // Synchronized items, a full sync, continuous sync switched on (which builds the tree),
    // and a reference time in the past that later changes are measured against.
    void startSynchronized() {
        put(mac("docs/a.txt"), "alpha", t0);
        put(mac("docs/sub/b.txt"), "bravo", t0);
        put(mac("docs/kind"), "a file for now", t0);
        put(mac("notes.txt"), "notes", t0);
        for (const char* folder : {"docs/sub", "docs"})
            ASSERT_TRUE(setModificationTime(mac(folder), t0));
        writeConfig({"~/docs", "~/notes.txt"});
        ASSERT_TRUE(sync());
        ASSERT_EQ(ui->countLines(completedLine()), 1) << ui->drawer.toStdString();
        controller->setContinuousSyncState(true);
        ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
        ASSERT_NE(controller->itemInventory(), nullptr);
        setReference(t0 / kSecondNs + 100);
    }

    void setReference(int64_t seconds) {
        since = seconds;
        controller->setLastSyncTime(QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()));
    }
    int64_t later(int seconds = 10) const { return (since + seconds) * kSecondNs; }

    bool pass() {
        controller->continuousSyncNow();
        startedWorker();
        return waitUntil([&] { return !controller->busy(); });
    }
};

TEST_F(Continuous, ReferenceTimeIsWholeSecondsTowardZeroOrTheEarliestValue) {
    auto at = [](qint64 ms) {
        return KTLSyncController::referenceTimeFor(
            QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
    };
    EXPECT_EQ(at(1999), 1);
    EXPECT_EQ(at(-1500), -1);
    EXPECT_EQ(at(qint64(std::numeric_limits<int32_t>::max()) * 1000), 2147483647);
    constexpr int32_t earliest = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(at((qint64(std::numeric_limits<int32_t>::max()) + 1) * 1000), earliest);
    EXPECT_EQ(KTLSyncController::referenceTimeFor(
                  QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc())),
              earliest);
    EXPECT_EQ(KTLSyncController::referenceTimeFor(QDateTime()), earliest);
}

TEST_F(Continuous, ChangedFilesReachTheDriveAndEqualTimesDoNot) {
    startSynchronized();
    const ino_t notesInode = inodeOf(onDrive("notes.txt"));
    put(mac("docs/a.txt"), "alpha saved again", later());
    // Modified within the reference second: not later, so not copied.
    put(mac("docs/sub/b.txt"), "bravo, same second", since * kSecondNs + 900000000);
    const QDateTime before = QDateTime::currentDateTimeUtc();

    ASSERT_TRUE(pass());

    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha saved again");
    EXPECT_EQ(readFile(onDrive("docs/sub/b.txt")), "bravo");
    EXPECT_EQ(inodeOf(onDrive("notes.txt")), notesInode);
    EXPECT_FALSE(containsTemporaryName(drive));
    EXPECT_EQ(ui->countLines(kScanning), 1);
    EXPECT_EQ(ui->countLines(kScanned), 1);
    EXPECT_EQ(ui->statusLine, kScanned);
    EXPECT_TRUE(ui->sheets.empty());
    // The next pass measures from this one.
    EXPECT_GE(controller->lastSyncTime(), before.addSecs(-1));
    EXPECT_LE(controller->lastSyncTime(), QDateTime::currentDateTimeUtc());

    // Saved again after that pass: found by the next one.
    const int64_t next = (controller->lastSyncTime().toSecsSinceEpoch() + 5) * kSecondNs;
    put(mac("notes.txt"), "notes saved again", next);
    ASSERT_TRUE(pass());
    EXPECT_EQ(readFile(onDrive("notes.txt")), "notes saved again");
}

TEST_F(Continuous, DeletionsFollowTheFolderTime) {
    startSynchronized();
    ASSERT_EQ(unlink(mac("docs/sub/b.txt").c_str()), 0);
    // The folder's time is not later than the reference: the deletion is not seen.
    ASSERT_TRUE(setModificationTime(mac("docs/sub"), since * kSecondNs));
    ASSERT_TRUE(pass());
    EXPECT_TRUE(pathExists(onDrive("docs/sub/b.txt")));

    ASSERT_TRUE(setModificationTime(mac("docs/sub"), later()));
    setReference(since);
    ASSERT_TRUE(pass());
    EXPECT_FALSE(pathExists(onDrive("docs/sub/b.txt")));
    EXPECT_TRUE(pathExists(onDrive("docs/sub")));

    // A top-level item is always found gone.
    ASSERT_EQ(unlink(mac("notes.txt").c_str()), 0);
    ASSERT_TRUE(pass());
    EXPECT_FALSE(pathExists(onDrive("notes.txt")));
    EXPECT_TRUE(ui->sheets.empty());
}

TEST_F(Continuous, NewFolderIsCopiedAndAFileTurnedFolderIsReplaced) {
    startSynchronized();
    put(mac("docs/new/inner/x.txt"), "x", t0);
    put(mac("docs/new/y.txt"), "y", t0);
    ASSERT_TRUE(setModificationTime(mac("docs/new"), t0));
    ASSERT_EQ(unlink(mac("docs/kind").c_str()), 0);
    put(mac("docs/kind/now-a-folder.txt"), "inside", t0);
    ASSERT_TRUE(setModificationTime(mac("docs"), later()));
    setDebug(true);

    ASSERT_TRUE(pass());

    // Old files with their own times, copied whole.
    EXPECT_EQ(differences(snapshotTree(mac("docs/new")), snapshotTree(onDrive("docs/new"))), "");
    struct stat st;
    ASSERT_EQ(lstat(onDrive("docs/kind").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(readFile(onDrive("docs/kind/now-a-folder.txt")), "inside");
    // Removed first, then copied; the new folder is one addition.
    const qsizetype deleting =
        ui->lineIndex(QStringLiteral("-checkForChanges: deleting ~/docs/kind"));
    const qsizetype adding = ui->lineIndex(QStringLiteral("-checkForChanges: adding ~/docs/kind"));
    ASSERT_GE(deleting, 0) << ui->drawer.toStdString();
    EXPECT_GT(adding, deleting);
    EXPECT_EQ(ui->countLines(QStringLiteral("-checkForChanges: adding ~/docs/new")), 1);
    EXPECT_EQ(ui->countLines(QStringLiteral("-checkForChanges: adding")), 2);
}

TEST_F(Continuous, APassNeverAsksAndIgnoresTheCancelFlag) {
    startSynchronized();
    // The drive holds a folder where the computer has a changed file: a copy error.
    ASSERT_EQ(unlink(onDrive("docs/a.txt").c_str()), 0);
    makeFolders(onDrive("docs/a.txt"));
    put(mac("docs/a.txt"), "alpha 2", later());
    put(mac("notes.txt"), "notes 2", later());
    controller->setCancelPending(true);

    ASSERT_TRUE(pass());

    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(ui->countLines(QStringLiteral("Unable to copy")), 1) << ui->drawer.toStdString();
    EXPECT_EQ(readFile(onDrive("notes.txt")), "notes 2");
    EXPECT_EQ(ui->countLines(kScanned), 1);
}

TEST_F(Continuous, WithoutATreeThePassOnlyBuildsIt) {
    put(mac("docs/a.txt"), "alpha", t0);
    writeConfig({"~/docs"});
    // Switched on in an earlier session: no task has built a tree yet.
    QVariantMap record;
    record.insert(QStringLiteral("local-continuous-sync"), true);
    KTLUserDefaults::sharedInstance().setObject(record, id);

    ASSERT_TRUE(pass());

    ASSERT_NE(controller->itemInventory(), nullptr);
    EXPECT_FALSE(pathExists(target()));
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);

    // The drive had no full sync yet: its copies may be newer, so a pass copies nothing.
    ASSERT_TRUE(pass());
    EXPECT_FALSE(pathExists(target()));
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);
}

TEST_F(Continuous, SwitchingOnADriveNeverSyncedLeavesItIdleWithATree) {
    put(mac("docs/a.txt"), "alpha", t0);
    writeConfig({"~/docs"});
    controller->setContinuousSyncState(true);
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    EXPECT_NE(controller->itemInventory(), nullptr);
    EXPECT_FALSE(pathExists(target()));
    controller->setContinuousSyncState(false);
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    EXPECT_EQ(controller->itemInventory(), nullptr);
}

TEST_F(Continuous, HostileOrSelfHoldingEntriesAreNeverScannedOrCopied) {
    writeConfig({"~/docs", "~/../outside", "", "/", QString::fromStdString(top),
                 QString::fromStdString(drive + "/Tolvex")});
    QVariantMap record;
    record.insert(QStringLiteral("local-continuous-sync"), true);
    KTLUserDefaults::sharedInstance().setObject(record, id);
    ASSERT_TRUE(sync());
    put(mac("docs/a.txt"), "alpha", t0);
    put(top + "/outside/secret.txt", "secret", t0);

    ASSERT_TRUE(pass());
    ASSERT_TRUE(pass());

    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha");
    // Only the listed folder's copy exists on the drive.
    TreeSnapshot onTheDrive = snapshotTree(target(), false);
    for (const auto& [path, item] : onTheDrive)
        EXPECT_TRUE(path.empty() || path == "~" || path == "TL_VS_W" ||
                    path.rfind("~/docs", 0) == 0)
            << path;
    const KTLTreeNode* tree = controller->itemInventory();
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(KTLSyncController::contentsOfNode(tree), std::vector<std::string>({"~/docs/"}));
    // Each left-out entry named in the sync and in each pass.
    EXPECT_EQ(ui->countLines(QStringLiteral("Skipping \"")), 15) << ui->drawer.toStdString();
    EXPECT_EQ(ui->countLines(QStringLiteral("Skipping \"/\"")), 3);
}

TEST_F(Continuous, ALinkOnTheDriveNeverLeadsAPassOffIt) {
    startSynchronized();
    put(top + "/elsewhere/a.txt", "not the drive", t0);
    // The drive's copy of "docs" turned into a link to a folder off the drive.
    ASSERT_EQ(rename(onDrive("docs").c_str(), (top + "/old-docs").c_str()), 0);
    ASSERT_EQ(symlink((top + "/elsewhere").c_str(), onDrive("docs").c_str()), 0);
    put(mac("docs/a.txt"), "alpha 2", later());
    ASSERT_EQ(unlink(mac("docs/sub/b.txt").c_str()), 0);
    put(mac("docs/sub/c.txt"), "charlie", later());
    ASSERT_TRUE(setModificationTime(mac("docs/sub"), later()));
    const TreeSnapshot elsewhere = snapshotTree(top + "/elsewhere");

    ASSERT_TRUE(pass());

    EXPECT_EQ(differences(elsewhere, snapshotTree(top + "/elsewhere")), "");
    EXPECT_GE(ui->countLines(QStringLiteral("Something that is not a folder lies on the way")), 3);
}

TEST_F(Continuous, OffMeansIdlePassesDoNothing) {
    put(mac("docs/a.txt"), "alpha", t0);
    writeConfig({"~/docs"});
    ASSERT_TRUE(sync());
    // A computer's first sync switches continuous sync on.
    controller->setContinuousSyncState(false);
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    const QDateTime synced = controller->lastSyncTime();
    const QVariant record = KTLUserDefaults::sharedInstance().objectForKey(id);
    const TreeSnapshot driveBefore = snapshotTree(drive, false);
    put(mac("docs/a.txt"), "alpha 2", nowNs() + 60 * kSecondNs);
    const QString drawer = ui->drawer;

    // An idle pass every 30 ms.
    KTLSyncController::setWorkerTiming(std::chrono::milliseconds(10), 3);
    pumpFor(0.4);
    EXPECT_EQ(ui->drawer, drawer);
    EXPECT_EQ(controller->lastSyncTime(), synced);
    EXPECT_EQ(KTLUserDefaults::sharedInstance().objectForKey(id), record);
    EXPECT_EQ(differences(driveBefore, snapshotTree(drive, false)), "");

    // The same idle passes do their work once continuous sync is on.
    controller->setContinuousSyncState(true);
    ASSERT_TRUE(waitUntil([&] { return ui->countLines(kScanned) >= 2; }, 10));
    ASSERT_TRUE(waitUntil([&] { return readFile(onDrive("docs/a.txt")) == "alpha 2"; }, 10));
    EXPECT_TRUE(ui->sheets.empty());
}

// The same refusal in a full sync: an entry that holds the drive would copy the drive into
// itself.
TEST_F(Continuous, AFullSyncSkipsAnEntryThatHoldsTheDrive) {
    put(mac("docs/a.txt"), "alpha", t0);
    writeConfig({QString::fromStdString(top), "~/docs"});
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(completedLine()), 1) << ui->drawer.toStdString();
    EXPECT_EQ(ui->countLines(QStringLiteral("Skipping \"") + QString::fromStdString(top)), 1);
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha");
    EXPECT_FALSE(pathExists(target() + top));
}

}  // namespace
