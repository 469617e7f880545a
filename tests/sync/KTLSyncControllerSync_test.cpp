// Sync runs end to end: a drive folder declared as mounted, a home of the test's own, the
// controller's worker and a scripted window.

#include <sys/stat.h>
#include <unistd.h>

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

    // Answers each conflict by the file it names.
    void answerConflicts(std::map<QString, int> codes) {
        ui->responder = [codes](const FakeSheet& sheet) -> std::optional<FakeAnswer> {
            for (const auto& [name, code] : codes)
                if (sheet.message.contains(QStringLiteral("\"%1\"").arg(name)))
                    return FakeAnswer{code, false, {}};
            return std::nullopt;
        };
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
    EXPECT_EQ(differences(docs, snapshotTree(mac("docs"))), "");
    struct stat st;
    ASSERT_EQ(lstat(target().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
    EXPECT_FALSE(containsTemporaryName(drive));
    EXPECT_FALSE(containsTemporaryName(home));

    EXPECT_EQ(ui->countLines(QStringLiteral("Synchronization started.")), 1);
    EXPECT_EQ(ui->indeterminateCount, 2);  // once per listed item
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    EXPECT_EQ(ui->statusLine, completedLine());
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
    const TreeSnapshot macDocs = snapshotTree(mac("docs"));
    const TreeSnapshot macHome = snapshotTree(home, false);
    std::map<std::string, ino_t> inodes;
    for (const auto& [path, item] : driveData) inodes[path] = inodeOf(target() + "/~/" + path);

    ASSERT_TRUE(sync());

    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_EQ(differences(driveData, snapshotTree(target() + "/~")), "");
    EXPECT_EQ(differences(macDocs, snapshotTree(mac("docs"))), "");
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
    EXPECT_EQ(differences(snapshotTree(mac("docs/a.txt")), snapshotTree(onDrive("docs/a.txt"))),
              "");
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

TEST_F(SyncRun, ConflictAnswersPickTheNewerOrTheOlderCopy) {
    put(mac("docs/n1"), "mac 1", t0 + 5 * kSecondNs);
    put(mac("docs/n2"), "mac 2", t0 + 5 * kSecondNs);
    put(mac("docs/o1"), "mac 3", t0 + 5 * kSecondNs);
    put(mac("docs/o2"), "mac 4", t0 + 5 * kSecondNs);
    put(mac("docs/same"), "mac 5", t0);
    for (const char* name : {"n1", "n2", "o1", "o2"})
        put(onDrive(std::string("docs/") + name), "drive", t0);
    put(onDrive("docs/same"), "drive 5", t0);
    writeConfig({"~/docs"});
    // A first sync: every pair with different dates is a conflict, equal dates are not.
    answerConflicts({{"n1", 1}, {"n2", 2}, {"o1", -1}, {"o2", -2}});

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 4);
    EXPECT_EQ(readFile(onDrive("docs/n1")), "mac 1");
    EXPECT_EQ(readFile(onDrive("docs/n2")), "mac 2");
    EXPECT_EQ(readFile(mac("docs/o1")), "drive");
    EXPECT_EQ(readFile(mac("docs/o2")), "drive");
    EXPECT_EQ(readFile(mac("docs/same")), "mac 5");
    EXPECT_EQ(readFile(onDrive("docs/same")), "drive 5");
    EXPECT_EQ(ui->countLines(completedLine()), 1);
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
    EXPECT_EQ(ui->sheets[0].toolTip, QStringLiteral("~/gone.txt"));
    EXPECT_EQ(ui->sheets[1].title, QStringLiteral("Sync Failed"));
    EXPECT_FALSE(ui->sheets[1].cancelEnabled);
    EXPECT_EQ(ui->countLines(failedLine()), 1);
    EXPECT_EQ(ui->statusLine, failedLine());
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

TEST_F(SyncRun, EntriesOnlyOnTheDriveAreOfferedOneByOne) {
    firstSync();
    put(onDrive("docs/extra.txt"), "extra", t0);
    put(onDrive("docs/more/inner.txt"), "inner", t0);
    put(mac("later.txt"), "later", t0);
    rewriteConfig({"~/docs", "~/later.txt"});
    ui->responder = [](const FakeSheet& sheet) -> std::optional<FakeAnswer> {
        if (sheet.message.contains(QStringLiteral("\"extra.txt\""))) return FakeAnswer{-1};
        if (sheet.message.contains(QStringLiteral("\"more\""))) return FakeAnswer{1};
        return std::nullopt;
    };

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 2);
    EXPECT_EQ(ui->sheets.size(), 2u);
    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_FALSE(pathExists(mac("docs/extra.txt")));
    EXPECT_EQ(differences(snapshotTree(onDrive("docs/more")), snapshotTree(mac("docs/more"))), "");
    // The run went on to the next listed item.
    EXPECT_EQ(readFile(onDrive("later.txt")), "later");
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

TEST_F(SyncRun, NothingToDoStillSucceeds) {
    writeConfig({});
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_GT(controller->lastSyncTime().date().year(), 2000);
    EXPECT_TRUE(pathExists(target()));

    // A listed item on neither side is no error.
    const QDateTime first = controller->lastSyncTime();
    rewriteConfig({"~/nowhere"});
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_FALSE(pathExists(mac("nowhere")));
    EXPECT_FALSE(pathExists(onDrive("nowhere")));
    EXPECT_GT(controller->lastSyncTime(), first);
}

TEST_F(SyncRun, FilteredNamesAreLeftAlone) {
    firstSync();
    put(mac("docs/.DS_Store"), "finder", t0);
    put(mac("docs/sub/.DS_Store"), "finder", t0);
    put(mac("docs/.DS_Store.bak"), "not filtered", t0);
    put(mac("docs/.ds_store"), "not filtered", t0);
    put(mac(".Trash/old.txt"), "trash", t0);
    rewriteConfig({"~/docs", "~/.Trash"});
    ui->defaultAnswer = 0;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_FALSE(pathExists(onDrive("docs/.DS_Store")));
    EXPECT_FALSE(pathExists(onDrive("docs/sub/.DS_Store")));
    EXPECT_FALSE(pathExists(onDrive(".Trash")));
    EXPECT_EQ(readFile(onDrive("docs/.DS_Store.bak")), "not filtered");
    EXPECT_EQ(readFile(onDrive("docs/.ds_store")), "not filtered");
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
    EXPECT_EQ(ui->statusLine, canceledLine());
    EXPECT_EQ(ui->countLines(failedLine()), 0);
    // The drive-only file was asked about and staged, but no alert came.
    EXPECT_EQ(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 1);
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
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

}  // namespace
