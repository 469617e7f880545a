// Sync-list updates: which stored copies go, what is written, what the window and log say,
// and that a hostile list never reaches outside the drive's sync folder.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "EngineFixture.h"

namespace {

// Sets the immutable flag on a file or folder, which even root can't write through; cleared
// again when the guard goes. Not every file system has the flag: `ok` says so.
class Immutable {
  public:
    explicit Immutable(std::string path) : _path(std::move(path)) { ok = set(true); }
    ~Immutable() {
        if (ok) set(false);
    }
    bool ok = false;

  private:
    bool set(bool on) {
        int fd = open(_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        close(fd);
        return done;
    }
    std::string _path;
};

const QString kCompleted = QStringLiteral("Update Sync Items completed.");
const QString kFailed = QStringLiteral("Update Sync Items Failed.");

class UpdateList : public EngineTest {
  protected:
    const int64_t t0 = nowNs() - 3600 * kSecondNs;

    // Stored copies of a folder and a file, as a sync would have left them, and the list.
    void storedCopies(const QStringList& list) {
        put(onDrive("docs/a.txt"), "alpha", t0);
        put(onDrive("docs/sub/b.txt"), "bravo", t0);
        put(onDrive("pics/p.jpg"), "picture", t0);
        put(onDrive("notes.txt"), "notes", t0);
        writeConfig(list);
    }

    bool update(const QStringList& list, double seconds = 30) {
        controller->updateSyncList(list);
        startedWorker();
        return waitUntil([&] { return !controller->busy(); }, seconds);
    }

    QStringList storedList() {
        std::optional<QVariant> value = readPropertyList(readFile(configPath()));
        if (!value) return {"<unreadable>"};
        return value->toMap().value(QStringLiteral("tapline-items-to-sync")).toStringList();
    }

    int removingLines() { return ui->countLines(QStringLiteral("Removing \"")); }
};

TEST_F(UpdateList, SameListRemovesNothingRewritesTheFileAndReports) {
    storedCopies({"~/docs", "~/notes.txt"});
    const TreeSnapshot before = snapshotTree(drive, false);
    const ino_t configInode = inodeOf(configPath());

    ASSERT_TRUE(update({"~/docs", "~/notes.txt"}));

    EXPECT_EQ(removingLines(), 0);
    TreeSnapshot after = snapshotTree(drive, false);
    after.erase(".TolvexConfig");
    TreeSnapshot expected = before;
    expected.erase(".TolvexConfig");
    EXPECT_EQ(differences(expected, after), "");
    // Written anew: the atomic write leaves a new file.
    EXPECT_NE(inodeOf(configPath()), configInode);
    EXPECT_EQ(storedList(), QStringList({"~/docs", "~/notes.txt"}));
    EXPECT_EQ(ui->countLines(kCompleted), 1);
    EXPECT_EQ(ui->countLines(kFailed), 0);
    EXPECT_EQ(ui->statusLine, kCompleted);
    EXPECT_TRUE(ui->sheets.empty());
    // The indicator ran without a Cancel button and stopped at the end.
    const qsizetype running = ui->calls.indexOf(QStringLiteral("showRunning"));
    ASSERT_GE(running, 0) << ui->calls.join(u' ').toStdString();
    EXPECT_GT(ui->calls.indexOf(QStringLiteral("showIdle"), running), running);
    EXPECT_EQ(ui->calls.indexOf(QStringLiteral("showRunning(cancel)")), -1);
}

TEST_F(UpdateList, EmptyListRemovesEveryStoredCopyAndOnlyThose) {
    storedCopies({"~/docs", "~/notes.txt", "~/never-copied"});
    put(target() + "/~/unlisted.txt", "not in any list", t0);

    ASSERT_TRUE(update({}));

    EXPECT_FALSE(pathExists(onDrive("docs")));
    EXPECT_FALSE(pathExists(onDrive("notes.txt")));
    EXPECT_TRUE(pathExists(onDrive("pics/p.jpg")));
    EXPECT_TRUE(pathExists(target() + "/~/unlisted.txt"));
    // One line for each copy that existed, none for the entry that never had one.
    EXPECT_EQ(removingLines(), 2);
    EXPECT_EQ(ui->countLines(QStringLiteral("Removing \"~/docs\" from the files being "
                                            "synchronized.")),
              1);
    EXPECT_EQ(ui->countLines(QStringLiteral("never-copied")), 0);
    EXPECT_EQ(storedList(), QStringList());
    EXPECT_EQ(ui->countLines(kCompleted), 1);
}

TEST_F(UpdateList, AnEntryWrittenDifferentlyCountsAsDropped) {
    storedCopies({"~/docs", "~/pics", "~/notes.txt"});
    // The same items, written another way, and one kept as it was. "~/pics/" has its copy
    // where "~/pics" had, so that copy is still listed and stays.
    const QStringList fresh = {QString::fromStdString(home + "/docs"), "~/pics/", "~/notes.txt"};

    ASSERT_TRUE(update(fresh));

    EXPECT_FALSE(pathExists(onDrive("docs")));
    EXPECT_TRUE(pathExists(onDrive("pics/p.jpg")));
    EXPECT_TRUE(pathExists(onDrive("notes.txt")));
    EXPECT_EQ(removingLines(), 1);
    EXPECT_EQ(storedList(), fresh);
}

TEST_F(UpdateList, KillListKeepsOldOrderAndDuplicatesAndComparesExactly) {
    const QStringList killList = KTLSyncController::updateListThreadKillListGivenOldSyncList(
        {"~/b", "~/a", "~/b", "~/A", "~/c", "/x/"}, {"~/a", "~/c", "/x"});
    EXPECT_EQ(killList, QStringList({"~/b", "~/b", "~/A", "/x/"}));
    EXPECT_EQ(KTLSyncController::updateListThreadKillListGivenOldSyncList({}, {"~/a"}),
              QStringList());
}

TEST_F(UpdateList, FirstListEverRemovesNothing) {
    put(onDrive("docs/a.txt"), "alpha", t0);
    writeConfig({});
    // No list stored at all.
    std::optional<QVariant> config = readPropertyList(readFile(configPath()));
    ASSERT_TRUE(config);
    QVariantMap map = config->toMap();
    map.remove(QStringLiteral("tapline-items-to-sync"));
    writeRawConfig(writePropertyListXML(map));

    ASSERT_TRUE(update({"~/docs"}));

    EXPECT_TRUE(pathExists(onDrive("docs/a.txt")));
    EXPECT_EQ(removingLines(), 0);
    EXPECT_EQ(storedList(), QStringList({"~/docs"}));
    EXPECT_EQ(ui->countLines(kCompleted), 1);
}

TEST_F(UpdateList, UnwritableConfigurationFailsWithItsAlertAndKeepsTheOldFile) {
    storedCopies({"~/docs", "~/notes.txt"});
    const QByteArray oldConfig = readFile(configPath());
    // Root writes through modes; the immutable flag on the folder stops it.
    Immutable frozen(drive);
    if (!frozen.ok) GTEST_SKIP() << "this file system has no immutable flag";
    ui->defaultAnswer = 1;

    ASSERT_TRUE(update({"~/notes.txt"}));

    EXPECT_EQ(readFile(configPath()), oldConfig);
    EXPECT_EQ(ui->countLines(kFailed), 1);
    EXPECT_EQ(ui->countLines(kCompleted), 0);
    EXPECT_EQ(ui->statusLine, kFailed);
    ASSERT_EQ(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->sheets[0].title, QStringLiteral("Update Sync Items Failed"));
    EXPECT_EQ(ui->sheets[0].message,
              QStringLiteral("The changes to the sync list on \"drive\" were not saved.  Check "
                             "the log for more details."));
    EXPECT_FALSE(ui->sheets[0].cancelEnabled);
    // The removal happened before the write and is not undone.
    EXPECT_FALSE(pathExists(onDrive("docs")));
    // The in-memory list is the new one all the same.
    EXPECT_EQ(controller->syncItemList(), QStringList({"~/notes.txt"}));
}

TEST_F(UpdateList, UndeletableCopyGoesToTheTrashAfterItsAlert) {
    storedCopies({"~/docs", "~/notes.txt"});
    Immutable stuck(onDrive("docs/sub/b.txt"));
    if (!stuck.ok) GTEST_SKIP() << "this file system has no immutable flag";
    ui->defaultAnswer = 1;

    ASSERT_TRUE(update({"~/notes.txt"}));

    // The folder could not be emptied, so it was moved whole into the trash.
    EXPECT_FALSE(pathExists(onDrive("docs")));
    EXPECT_GE(ui->countAlerts(QStringLiteral("Update Sync Items Failed.")), 1);
    for (const FakeSheet& sheet : ui->sheets) EXPECT_FALSE(sheet.cancelEnabled);
    const std::string trashed = top + "/.local/share/Trash/files/docs/sub/b.txt";
    EXPECT_TRUE(pathExists(trashed)) << ui->drawer.toStdString();
    // The list was stored all the same.
    EXPECT_EQ(storedList(), QStringList({"~/notes.txt"}));
    EXPECT_EQ(ui->countLines(kCompleted), 1);
    Immutable release(trashed);  // lets the test folder go
    (void)release;
}

TEST_F(UpdateList, HostileEntriesNeverRemoveAnythingOutsideTheSyncFolder) {
    // A sentinel outside the drive, a home folder the drive links to, and the drive's own
    // staging folder.
    put(top + "/sentinel/keep.txt", "keep", t0);
    put(mac("Sites/index.html"), "home page", t0);
    put(driveStaging() + "/staged.txt", "staged", t0);
    put(target() + "/other/a.txt", "alpha", t0);
    // A drive prepared elsewhere: its "~" leads into the user's real home.
    ASSERT_EQ(symlink(home.c_str(), (target() + "/~").c_str()), 0);
    ASSERT_EQ(symlink((top + "/sentinel").c_str(), (target() + "/linked").c_str()), 0);
    writeConfig({"~/Sites", "~/../../../sentinel", "../sentinel", "", "/", "//", "TL_VS_W/" + id,
                 "/linked/keep.txt", "~/docs/./a.txt"});
    const TreeSnapshot sentinel = snapshotTree(top + "/sentinel");
    const TreeSnapshot homeBefore = snapshotTree(home, false);
    const TreeSnapshot staging = snapshotTree(driveStaging());
    ui->defaultAnswer = 1;

    ASSERT_TRUE(update({}));

    EXPECT_EQ(differences(sentinel, snapshotTree(top + "/sentinel")), "");
    EXPECT_EQ(differences(homeBefore, snapshotTree(home, false)), "");
    EXPECT_EQ(differences(staging, snapshotTree(driveStaging())), "");
    EXPECT_TRUE(pathExists(target()));
    EXPECT_EQ(removingLines(), 0);
    EXPECT_EQ(ui->countLines(QStringLiteral("Not removing \"")), 9) << ui->drawer.toStdString();
    EXPECT_EQ(ui->countLines(kCompleted), 1);
}

TEST_F(UpdateList, ItemTreeFollowsTheNewListOnlyWithContinuousSync) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(mac("notes.txt"), "notes", t0);
    writeConfig({"~/docs"});

    ASSERT_TRUE(update({"~/notes.txt"}));
    EXPECT_EQ(controller->itemInventory(), nullptr);

    controller->setContinuousSyncState(true);
    ASSERT_TRUE(update({"~/docs", "~/notes.txt"}));
    const KTLTreeNode* tree = controller->itemInventory();
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(KTLSyncController::contentsOfNode(tree),
              std::vector<std::string>({"~/docs/", "~/notes.txt"}));
    EXPECT_EQ(KTLSyncController::contentsOfNode(tree->childAtIndex(0)),
              std::vector<std::string>({"a.txt"}));
}

}  // namespace
