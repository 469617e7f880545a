// Sync runs end to end: a drive folder declared as mounted, a home of the test's own, the
// controller's worker and a scripted window.

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "EngineFixture.h"

namespace {

class SyncRun : public EngineTest {
  protected:
    // A nanosecond part that every copy must keep.
    const int64_t t0 = EngineTest::t0 + 123456789;

    // Both trees below the home and the drive, without the staging folders.
    TreeSnapshot everything() const {
        TreeSnapshot all;
        for (auto& [path, item] : snapshotTree(home, false))
            if (path.rfind(".TL_VS_W", 0) != 0) all.emplace("mac:" + path, item);
        for (auto& [path, item] : snapshotTree(drive, false))
            if (path.rfind("Tolvex/TL_VS_W", 0) != 0) all.emplace("drive:" + path, item);
        return all;
    }
    // With continuous sync on, the tree a run leaves is the one a walk after it makes.
    void expectTreeAsWalked() {
        auto text = [](const KTLTreeNode* node) {
            char* data = nullptr;
            size_t size = 0;
            FILE* out = open_memstream(&data, &size);
            CFTreeShow(node, out);
            fclose(out);
            std::string shown(data, size);
            free(data);
            return shown;
        };
        ASSERT_TRUE(controller->itemInventory());
        EXPECT_EQ(text(controller->itemInventory()),
                  text(controller->buildItemTreeUsingFTS().get()));
    }
};

TEST_F(SyncRun, AFirstSyncCopiesEverythingAndTheNextCopiesOnlyWhatChanged) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(mac("docs/sub/b.txt"), "bravo", t0 + 1);
    makeFolders(mac("docs/empty"));
    ASSERT_EQ(symlink("a.txt", mac("docs/link").c_str()), 0);
    ASSERT_EQ(mkfifo(mac("docs/fifo").c_str(), 0640), 0);
    put(mac("notes.txt"), "notes", t0 + 3);
    for (const char* folder : {"docs/sub", "docs/empty", "docs"})
        ASSERT_TRUE(setModificationTime(mac(folder), t0 + 10));
    writeConfig({"~/docs", "~/notes.txt"});
    controller->setContinuousSyncState(true);
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ASSERT_TRUE(sync());
    expectTreeAsWalked();
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(describeDifferences(snapshotTree(mac("docs")), snapshotTree(onDrive("docs"))), "");
    EXPECT_EQ(readFile(onDrive("notes.txt")), "notes");
    EXPECT_FALSE(pathExists(driveStaging()) || pathExists(macStaging()));
    EXPECT_GE(controller->lastSyncTime(), before);

    // Nothing changed: nothing copied again (a copy would be a new inode).
    const ino_t inode = inodeOf(onDrive("docs/sub/b.txt"));
    ASSERT_TRUE(sync());
    expectTreeAsWalked();
    EXPECT_EQ(inodeOf(onDrive("docs/sub/b.txt")), inode);
    EXPECT_TRUE(ui->sheets.empty());

    // Changed on one side only: asked about, the local copy named newer, and carried.
    put(mac("docs/a.txt"), "alpha 2", nowNs() + 10 * kSecondNs);
    put(onDrive("docs/sub/b.txt"), "bravo 2", nowNs() + 10 * kSecondNs);
    ui->answers = {{1}, {1, true}};
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 2);
    EXPECT_EQ(ui->countLines(kCompleted), 3);
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha 2");
    EXPECT_EQ(readFile(mac("docs/sub/b.txt")), "bravo 2");
    EXPECT_EQ(controller->defaultConflictResolutionAction(), 1);
}

// Every answer to a conflict, with either side the newer: which copy both sides keep.
TEST_F(SyncRun, EachConflictAnswerKeepsTheCopyItNames) {
    struct Row {
        const char* name;
        bool macNewer;
        int answer;  // 1 Keep Newer, -1 Keep Older, 2 / -2 the newer / older copy's button
        const char* kept;
    };
    const Row rows[] = {{"n-mac", true, 1, "mac"},     {"n-drive", false, 1, "drive"},
                        {"o-mac", true, -1, "drive"},  {"o-drive", false, -1, "mac"},
                        {"ns-mac", true, 2, "mac"},    {"ns-drive", false, 2, "drive"},
                        {"os-mac", true, -2, "drive"}, {"os-drive", false, -2, "mac"}};
    for (const Row& r : rows) {
        put(mac(std::string("docs/") + r.name), "mac", t0 + (r.macNewer ? kSecondNs : 0));
        put(onDrive(std::string("docs/") + r.name), "drive", t0 + (r.macNewer ? 0 : kSecondNs));
    }
    writeConfig({"~/docs"});
    // Each question is answered by the name of the file it is about.
    ui->responder = [&](const FakeSheet& sheet) -> std::optional<FakeAnswer> {
        for (const Row& r : rows)
            if (sheet.message.contains(QStringLiteral("\"%1\"").arg(r.name)))
                return FakeAnswer{r.answer};
        return std::nullopt;
    };
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 8);
    for (const Row& r : rows) {
        EXPECT_EQ(readFile(mac(std::string("docs/") + r.name)), r.kept) << r.name;
        EXPECT_EQ(readFile(onDrive(std::string("docs/") + r.name)), r.kept) << r.name;
    }
}

TEST_F(SyncRun, ItemsMissingOnTheComputerAreCopiedOnlyWhenTheUserSaysSo) {
    put(onDrive("gone.txt"), "kept on the drive", t0);
    put(mac("docs/a.txt"), "a", t0);
    for (const char* name : {"x1", "x2"}) put(onDrive(std::string("docs/") + name), name, t0);
    writeConfig({"~/gone.txt"});
    // The listed item is not copied: the run fails and stores no time.
    ui->answers = {{-1}};
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kFailed), 1);
    EXPECT_FALSE(pathExists(mac("gone.txt")));
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);
    // The question's text has its signs, not their escapes.
    EXPECT_TRUE(ui->sheets[0].message.contains(QStringLiteral("Tapline\u2122 drive?")));
    // Inside a folder, "skip" remembered covers the rest.
    writeConfig({"~/docs"});
    freshController();
    ui->answers = {{-1, true}};
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 2) << "the remembered answer asks no more";
    EXPECT_FALSE(pathExists(mac("docs/x1")) || pathExists(mac("docs/x2")));

    freshController();
    ui->answers = {{1, true}};
    ui->defaultAnswer = -1;
    ASSERT_TRUE(sync());
    for (const char* name : {"x1", "x2"})
        EXPECT_EQ(readFile(mac(std::string("docs/") + name)), name);
}

TEST_F(SyncRun, AFolderAgainstAFileOrACancelLeavesBothSidesAsTheyWere) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(mac("clash/inside.txt"), "inside", t0);
    put(onDrive("clash"), "a file on the drive", t0);
    put(onDrive("docs/old.txt"), "drive only", t0);
    writeConfig({"~/docs", "~/clash"});
    ui->defaultAnswer = 1;
    const TreeSnapshot before = everything();
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kFailed), 1);
    EXPECT_EQ(ui->countSheets(FakeSheet::Alert, QStringLiteral("Sync Failed")), 1);
    EXPECT_EQ(describeDifferences(before, everything()), "");

    // Canceled once "docs" is staged: nothing staged is put in place.
    writeConfig({"~/docs", "~/notes.txt"});
    put(mac("notes.txt"), "notes", t0);
    freshController();
    cancelAtLine(QStringLiteral("Processing \"notes.txt\""));
    const TreeSnapshot staged = everything();
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kCanceled), 1);
    EXPECT_EQ(describeDifferences(staged, everything()), "");
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);
}

// A device file is not data: its copy fails, and the run must neither say it completed nor
// store a time that would hide the item from the next run.
TEST_F(SyncRun, AFailedCopyTheUserGoesOnPastFailsTheRunAndKeepsTheLastSyncTime) {
    put(mac("docs/a.txt"), "a", t0);
    if (mknod(mac("docs/dev").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "device files can only be made by root";
    writeConfig({"~/docs"});
    ui->answers = {{0}};
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->sheets[0].title, QStringLiteral("Copy Failed."));
    EXPECT_EQ(ui->countLines(kCanceled), 1);
    EXPECT_FALSE(pathExists(onDrive("docs")));

    controller->setCancelPending(false);
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kFailed), 1);
    EXPECT_EQ(controller->lastSyncTime().date().year(), 1);
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "a");
}

// A file changed while a run goes on, after its turn, is newer than the time that run
// stores: the next run carries it.
TEST_F(SyncRun, AChangeMadeDuringARunAfterTheFilesTurnIsCarriedByTheNextRun) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(mac("notes.txt"), "notes", t0);
    writeConfig({"~/docs", "~/notes.txt"});
    ASSERT_TRUE(sync());
    put(onDrive("notes.txt"), "notes 2", nowNs() + 10 * kSecondNs);
    ui->answers.push_back({1, false, [this] {
                               put(mac("docs/a.txt"), "alpha 2", nowNs());
                               const int64_t now = nowNs();
                               std::this_thread::sleep_for(std::chrono::nanoseconds(
                                   kSecondNs - now % kSecondNs + 50000000));
                           }});
    ASSERT_TRUE(sync());
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha");
    ui->answers.push_back({1});
    ASSERT_TRUE(sync());
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "alpha 2");
}

TEST_F(SyncRun, ADeepTreeSyncsBothWaysAtEveryLevel) {
    // Forty levels: the upper ones are read through folders held open, the lower by path.
    std::string deep = "deep";
    for (int i = 0; i < 40; ++i) deep += "/l" + std::to_string(i);
    put(mac(deep + "/bottom.txt"), "bottom", t0);
    writeConfig({"~/deep"});
    ASSERT_TRUE(sync());
    put(mac(deep + "/bottom.txt"), "bottom 2", nowNs() + 10 * kSecondNs);
    put(onDrive(deep + "/only-on-drive.txt"), "low", t0);
    put(onDrive("deep/l0/only-on-drive.txt"), "high", t0);
    controller->setDefaultConflictResolutionAction(1);
    controller->setDefaultMissingResolutionAction(1);
    ASSERT_TRUE(sync());
    EXPECT_EQ(readFile(onDrive(deep + "/bottom.txt")), "bottom 2");
    EXPECT_EQ(readFile(mac(deep + "/only-on-drive.txt")), "low");
    EXPECT_EQ(readFile(mac("deep/l0/only-on-drive.txt")), "high");
}

// A new mount point in the middle of a run (a rename, a remount): the run's copies would be
// staged at the old place and looked for at the new one, so it stops as for a drive pulled out.
TEST_F(SyncRun, ADriveMovedOrGoneDuringARunStopsIt) {
    put(onDrive("gone.txt"), "on the drive", t0);
    writeConfig({"~/gone.txt"});
    const std::string moved = top + "/moved";
    ASSERT_EQ(symlink(drive.c_str(), moved.c_str()), 0);
    ui->answers.push_back({1, false, [&] { controller->setDeviceMountPoint(moved); }});
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(QString::fromStdString("was moved to \"" + moved + "\"")), 1)
        << ui->drawer.toStdString();
    // Gone while a question is open: the question is answered no.
    freshController();
    ui->defaultAnswer.reset();
    controller->sync();
    startedWorker();
    ASSERT_TRUE(waitUntil([&] { return ui->sheetOpen(); }, 10));
    controller->driveDisappeared();
    EXPECT_TRUE(waitUntil([&] { return controller->workerEnded(); }, 10));
    EXPECT_EQ(ui->countLines(kFailed), 2);
    EXPECT_FALSE(pathExists(mac("gone.txt")));
}

}  // namespace
