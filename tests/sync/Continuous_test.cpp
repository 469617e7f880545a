// Continuous-sync passes, sync-list updates and the worker's queue.

#include <QTimeZone>

#include "EngineFixture.h"
#include "KTLUserDefaults.h"
#include "SampleTree.h"

namespace {

class Continuous : public EngineTest {
  protected:
    int64_t since = 0;  // the passes' reference time, in whole seconds

    // Synchronized items, continuous sync on (which builds the tree), and a reference time
    // in the past that later changes are measured against.
    void startSynchronized() {
        put(mac("docs/a.txt"), "alpha", t0);
        put(mac("docs/sub/b.txt"), "bravo", t0);
        put(mac("docs/kind"), "a file for now", t0);
        put(mac("notes.txt"), "notes", t0);
        for (const char* folder : {"docs/sub", "docs"})
            ASSERT_TRUE(setModificationTime(mac(folder), t0));
        writeConfig({"~/docs", "~/notes.txt"});
        ASSERT_TRUE(sync());
        controller->setContinuousSyncState(true);
        ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
        since = t0 / kSecondNs + 100;
        controller->setLastSyncTime(QDateTime::fromSecsSinceEpoch(since, QTimeZone::utc()));
    }
    int64_t later(int seconds = 10) const { return (since + seconds) * kSecondNs; }
};

TEST_F(Continuous, APassCarriesChangesAdditionsAndDeletionsWithoutAQuestion) {
    startSynchronized();
    const ino_t notes = inodeOf(onDrive("notes.txt"));
    // Only a pass that wrote something rewrites the per-host preferences.
    const std::string record = KTLUserDefaults::sharedInstance().filePath();
    ino_t stored = inodeOf(record);
    put(mac("docs/a.txt"), "alpha saved again", later());
    // Within the reference second: not later, so not copied.
    put(mac("docs/sub/b.txt"), "bravo, same second", since * kSecondNs + 900000000);
    put(mac("docs/new/inner/x.txt"), "x", t0);
    ASSERT_EQ(unlink(mac("docs/kind").c_str()), 0);
    put(mac("docs/kind/now-a-folder.txt"), "inside", t0);
    ASSERT_TRUE(setModificationTime(mac("docs"), later()));
    controller->setCancelPending(true);  // a pass ignores it

    ASSERT_TRUE(pass());

    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha saved again");
    EXPECT_EQ(readFile(onDrive("docs/sub/b.txt")), "bravo");
    EXPECT_EQ(inodeOf(onDrive("notes.txt")), notes);
    EXPECT_EQ(readFile(onDrive("docs/new/inner/x.txt")), "x");
    EXPECT_EQ(readFile(onDrive("docs/kind/now-a-folder.txt")), "inside");
    EXPECT_NE(inodeOf(record), stored);
    EXPECT_FALSE(containsTemporaryName(drive));
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(ui->countLines(QStringLiteral("Scan completed.")), 1);

    // A deletion shows only once its folder's time is later than the reference.
    ASSERT_EQ(unlink(mac("docs/sub/b.txt").c_str()), 0);
    ASSERT_TRUE(setModificationTime(mac("docs/sub"), since * kSecondNs));
    controller->setLastSyncTime(QDateTime::fromSecsSinceEpoch(since, QTimeZone::utc()));
    ASSERT_TRUE(pass());
    EXPECT_TRUE(pathExists(onDrive("docs/sub/b.txt")));
    ASSERT_TRUE(setModificationTime(mac("docs/sub"), later()));
    controller->setLastSyncTime(QDateTime::fromSecsSinceEpoch(since, QTimeZone::utc()));
    ASSERT_EQ(unlink(mac("notes.txt").c_str()), 0);
    ASSERT_TRUE(pass());
    EXPECT_FALSE(pathExists(onDrive("docs/sub/b.txt")));
    EXPECT_FALSE(pathExists(onDrive("notes.txt")));
    stored = inodeOf(record);
    ASSERT_TRUE(pass());
    EXPECT_EQ(inodeOf(record), stored);
}

TEST_F(Continuous, ALinkOnTheDriveNeverLeadsAPassOffIt) {
    startSynchronized();
    put(top + "/elsewhere/a.txt", "not the drive", t0);
    put(top + "/elsewhere/sub/b.txt", "not the drive", t0);
    ASSERT_EQ(rename(onDrive("docs").c_str(), (top + "/old-docs").c_str()), 0);
    ASSERT_EQ(symlink((top + "/elsewhere").c_str(), onDrive("docs").c_str()), 0);
    put(mac("docs/a.txt"), "alpha 2", later());
    ASSERT_EQ(unlink(mac("docs/sub/b.txt").c_str()), 0);
    ASSERT_TRUE(setModificationTime(mac("docs/sub"), later()));
    const TreeSnapshot elsewhere = snapshotTree(top + "/elsewhere");
    ASSERT_TRUE(pass());
    EXPECT_EQ(describeDifferences(elsewhere, snapshotTree(top + "/elsewhere")), "");
}

TEST_F(Continuous, IdlePassesDoNothingWhileOffAndTheirWorkOnceOn) {
    put(mac("docs/a.txt"), "alpha", t0);
    writeConfig({"~/docs"});
    ASSERT_TRUE(sync());
    controller->setContinuousSyncState(false);
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    const QDateTime synced = controller->lastSyncTime();
    put(mac("docs/a.txt"), "alpha 2", nowNs() + 60 * kSecondNs);
    KTLSyncController::setWorkerTiming(std::chrono::milliseconds(10), 3);
    pumpFor(0.4);
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha");
    EXPECT_EQ(controller->lastSyncTime(), synced);
    controller->setContinuousSyncState(true);
    EXPECT_TRUE(waitUntil([&] { return readFile(onDrive("docs/a.txt")) == "alpha 2"; }, 10));
}

// A dropped entry's copy goes, but not what another entry, however spelled, still holds;
// copies no entry names stay, and the list is stored as given.
TEST_F(Continuous, AListUpdateRemovesOnlyWhatNoEntryStillHolds) {
    const std::string index = "Sites/index.html", post = "Sites/blog/post.txt", other = "other.txt";
    const std::tuple<QStringList, QStringList, std::string> rows[] = {
        {{"~/Sites", "~/Sites/blog", "~/other.txt"}, {"~/Sites/blog", "~/other.txt"}, index},
        {{"~", "~/Sites"}, {"~/Sites"}, other},
        {{"~/Sites/", "~/Sites/blog", "~/never-copied"}, {"~/Sites"}, ""}};
    for (const auto& [before, after, gone] : rows) {
        SCOPED_TRACE(before.join(' ').toStdString());
        for (const std::string& copy : {index, post, other}) put(onDrive(copy), "copy", t0);
        writeConfig(before);
        ui->drawer.clear();
        ASSERT_TRUE(update(after));
        EXPECT_EQ(ui->countLines(QStringLiteral("Update Sync Items completed.")), 1);
        for (const std::string& copy : {index, post, other})
            EXPECT_EQ(pathExists(onDrive(copy)), copy != gone) << copy;
        const auto stored = readPropertyList(readFile(configPath())).value_or(QVariant());
        EXPECT_EQ(stored.toMap().value("tapline-items-to-sync").toStringList(), after);
    }
}

TEST_F(Continuous, HostileEntriesOfAListUpdateNeverRemoveAnythingOutsideTheSyncFolder) {
    put(top + "/sentinel/keep.txt", "keep", t0);
    put(mac("Sites/index.html"), "home page", t0);
    put(driveStaging() + "/staged.txt", "staged", t0);
    // A drive prepared elsewhere: its "~" leads into the real home.
    makeFolders(target());
    ASSERT_EQ(symlink(home.c_str(), (target() + "/~").c_str()), 0);
    ASSERT_EQ(symlink((top + "/sentinel").c_str(), (target() + "/linked").c_str()), 0);
    writeConfig({"~/Sites", "~/../../../sentinel", "../sentinel", "", "/", "TL_VS_W/" + id,
                 "/linked/keep.txt"});
    const TreeSnapshot before = snapshotTree(top, false);
    ui->defaultAnswer = 1;
    ASSERT_TRUE(update({}));
    TreeSnapshot after = snapshotTree(top, false);
    for (auto* tree : {&after, const_cast<TreeSnapshot*>(&before)})
        for (auto it = tree->begin(); it != tree->end();)
            it = it->first.find("TolvexConfig") != std::string::npos || it->first.rfind(".", 0) == 0
                     ? tree->erase(it)
                     : std::next(it);
    EXPECT_EQ(describeDifferences(before, after), "");
    EXPECT_EQ(ui->countLines(QStringLiteral("Not removing \"")), 7) << ui->drawer.toStdString();
}

TEST_F(Continuous, TasksRunInOrderAndDeathEndsTheWorkerAndWhatFollows) {
    setDebug(true);
    writeConfig({});
    controller->sync();
    startedWorker();
    controller->setContinuousSyncState(true);
    controller->setContinuousSyncState(false);
    controller->sync();
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    pumpFor(0.05);
    const QStringList marks = {QStringLiteral("Synchronization started."),
                               QStringLiteral("--- building tree first time ---"),
                               QStringLiteral("--- releasing tree ---")};
    QStringList seen;
    for (const QString& line : ui->drawer.split(u'\n'))
        for (const QString& mark : marks)
            if (line.contains(mark)) seen << mark;
    EXPECT_EQ(seen, (QStringList{marks[0], marks[1], marks[2], marks[0]}));

    controller->driveDisappeared();
    controller->sync();
    ASSERT_TRUE(waitUntil([&] { return controller->workerEnded(); }));
    pumpFor(0.2);
    EXPECT_EQ(ui->countLines(marks[0]), 2);
}

}  // namespace
