// What a drive prepared elsewhere may hold: unusable configurations, hostile identifiers and
// entries, links where folders should be, and what a run cut off left behind.

#include <filesystem>

#include "EngineFixture.h"
#include "SampleTree.h"

namespace {

const QString kUnreadable = QStringLiteral("Unable to read configuration file from");
const QString kCorrupt = QStringLiteral("appears to be corrupt.");
const QString kInterrupted = QStringLiteral("Interrupted Sync Detected");

QByteArray configWith(const QVariant& items, const QVariant& identifier) {
    QVariantMap map{{QStringLiteral("tapline-items-to-sync"), items}};
    if (identifier.isValid()) map.insert(QStringLiteral("tapline-uuid"), identifier);
    return writePropertyListXML(map);
}

using DriveSafety = EngineTest;

TEST_F(DriveSafety, UnusableConfigurationsAreReportedAndNeverLoaded) {
    const QVariantList docs{QStringLiteral("~/docs")};
    // The last element: the file is a link to these bytes elsewhere.
    const std::tuple<const char*, QByteArray, QString, bool> cases[] = {
        {"empty file", QByteArray(), kUnreadable, false},
        {"larger than 8 MiB", QByteArray(8 * 1024 * 1024 + 1, ' '), kUnreadable, false},
        {"not a property list", "<plist><dict><key>x", kCorrupt, false},
        {"list not strings", configWith(QVariantList{QStringLiteral("~/docs"), 7}, {}), kCorrupt,
         false},
        {"identifier of 201 bytes", configWith(docs, QString(201, u'a')), kCorrupt, false},
        // A sound list, but one of the computer's, not the drive's.
        {"link to a list elsewhere", configWith(docs, QStringLiteral("x")), kUnreadable, true}};
    for (const auto& [name, bytes, expected, link] : cases) {
        SCOPED_TRACE(name);
        unlink(configPath().c_str());
        if (link) {
            ASSERT_TRUE(writeFile(top + "/elsewhere.plist", bytes));
            ASSERT_EQ(symlink((top + "/elsewhere.plist").c_str(), configPath().c_str()), 0);
        } else {
            writeRawConfig(bytes);
        }
        freshController();
        controller->show();
        EXPECT_FALSE(controller->readConfigFile());
        EXPECT_FALSE(controller->isDeviceSetupForSync());
        EXPECT_GE(ui->countLines(expected), 1) << ui->drawer.toStdString();
    }
    // The longest identifier that is still accepted.
    unlink(configPath().c_str());
    writeRawConfig(configWith(docs, QString(200, u'a')));
    freshController();
    EXPECT_TRUE(controller->readConfigFile());
    EXPECT_EQ(controller->uniqueID(), QString(200, u'a'));
}

// An identifier names folders that are created and removed: "..", for one, would make the
// staging folders the sync folder itself and the home.
TEST_F(DriveSafety, HostileIdentifiersStopTheRunAndHostileEntriesAreSkipped) {
    put(mac("docs/a.txt"), "home copy", t0);
    put(onDrive("docs/a.txt"), "drive copy", t0 + kSecondNs);
    ui->defaultAnswer = 1;
    for (const QString& hostile : {QStringLiteral(".."), QString()}) {
        writeRawConfig(configWith(QVariantList{QStringLiteral("~/docs")}, hostile));
        const TreeSnapshot before = snapshotTree(top);
        freshController();
        ASSERT_TRUE(sync());
        EXPECT_EQ(describeDifferences(before, snapshotTree(top)), "") << hostile.toStdString();
    }
    EXPECT_EQ(ui->countLines(kFailed), 2);

    put(top + "/outside/secret.txt", "outside", t0);
    put(target() + "/outside/secret.txt", "from the drive", t0 + kSecondNs);
    put(target() + "/outside/planted.txt", "planted", t0);
    // "~-sibling" would be the home's path with "-sibling" stuck to it.
    put(home + "-sibling/data/x.txt", "beside the home", t0);
    // An entry that holds the drive would copy the drive into itself.
    const QStringList hostile = {
        "~/../outside",  "~/./docs", "", "/../outside", QString::fromStdString(top),
        "~-sibling/data"};
    writeConfig(hostile + QStringList{"~/docs"});
    const TreeSnapshot outside = snapshotTree(top + "/outside");
    const TreeSnapshot driveOutside = snapshotTree(target() + "/outside");
    freshController();
    ui->sheets.clear();
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kCompleted), 1) << ui->drawer.toStdString();
    for (const QString& entry : hostile)
        EXPECT_EQ(ui->countLines(QStringLiteral("Skipping \"%1\"").arg(entry)), 1)
            << entry.toStdString();
    EXPECT_EQ(describeDifferences(outside, snapshotTree(top + "/outside")), "");
    EXPECT_EQ(describeDifferences(driveOutside, snapshotTree(target() + "/outside")), "");
    EXPECT_FALSE(pathExists(target() + top));
    EXPECT_FALSE(pathExists(target() + "/~-sibling"));
    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 1);  // "~/docs" itself
}

// The drive keeps dates only as finely as its file system does: copies closer than that are
// the same, and anything further apart is asked about.
TEST_F(DriveSafety, DatesAreComparedOnlyAsFinelyAsTheDriveKeepsThem) {
    // Later than any run's last sync time, on a 10 s boundary.
    const int64_t later = (nowNs() / (10 * kSecondNs) + 360) * 10 * kSecondNs;
    using Row = std::tuple<const char*, int64_t, int64_t, int>;  // mac, drive: after `later`
    const Row rows[] = {{"vfat", 1900000000, 0, 0},
                        {"vfat", 2 * kSecondNs, 0, 1},
                        {"exfat", 0, 9000000, 0},
                        {"hfsplus", 900000000, 0, 0},
                        {"ext4", 1, 0, 1}};
    ui->defaultAnswer = 1;
    for (const auto& [fsType, macNs, driveNs, conflicts] : rows) {
        SCOPED_TRACE(std::string(fsType) + " " + std::to_string(macNs - driveNs));
        mounts.add(drive, "/dev/sdz1", fsType);
        put(mac("docs/a.txt"), "same", later + macNs);
        put(onDrive("docs/a.txt"), "same", later + driveNs);
        writeConfig({"~/docs"});
        freshController();
        ui->sheets.clear();
        ui->drawer.clear();
        ASSERT_TRUE(sync());
        EXPECT_EQ(ui->countLines(kCompleted), 1) << ui->drawer.toStdString();
        EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), conflicts);
    }
}

// Entries that spell the staging folders differently, or the home that holds them: the staging
// folder is never carried, and with "~" already on the drive its walk meets it by name.
TEST_F(DriveSafety, NoEntryCarriesTheStagingFolderOntoTheDrive) {
    const QString staging = QStringLiteral("~/.TL_VS_W"), full = QString::fromStdString(home);
    const QStringList spellings{staging + "/",        "~//.TL_VS_W",   staging + "/" + id, "~",
                                full + "//.TL_VS_W/", "TL_VS_W/" + id, "/TL_VS_W"};
    ui->defaultAnswer = -1;
    // Names a walk never syncs stay behind when the home is copied whole, too.
    put(mac("docs/.DS_Store"), "finder", t0);
    put(mac(".Trash/old.txt"), "trash", t0);
    for (const QStringList& entries : {QStringList{"~"}, spellings}) {
        writeConfig(entries);
        freshController();
        ui->drawer.clear();
        ASSERT_TRUE(sync());
        EXPECT_EQ(ui->countLines(kCompleted), 1) << ui->drawer.toStdString();
        EXPECT_TRUE(ui->sheets.empty());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(target()))
            for (const char* never : {".TL_VS_W", ".DS_Store", ".Trash"})
                EXPECT_NE(entry.path().filename(), never) << entry.path();
    }
}

// Programs that would run as their owner, and a stranger's files: the home gets plain copies
// of its own.
TEST_F(DriveSafety, SetIdBitsAndAStrangersOwnershipStayOnTheDrive) {
    put(onDrive("tools/run"), "#!/bin/sh\n", t0);
    ASSERT_EQ(chmod(onDrive("tools/run").c_str(), 06755), 0);
    ASSERT_EQ(chmod(onDrive("tools").c_str(), 02755), 0);
    for (const char* p : {"tools", "tools/run"})
        ASSERT_TRUE(geteuid() != 0 || chown(onDrive(p).c_str(), 4321, 4321) == 0) << p;
    writeConfig({"~/tools"});
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kCompleted), 1) << ui->drawer.toStdString();
    for (const char* p : {"tools", "tools/run"}) {
        struct stat st;
        ASSERT_EQ(lstat(mac(p).c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << p;
        EXPECT_EQ(st.st_uid, geteuid()) << p;
    }
}

// A link where a folder of the run should be: what lies behind it is newer than the home's
// copy, so a run that followed it would ask and pull it in.
struct LinkCase {
    const char* name;
    bool onDriveSide;
    const char* linkAt;   // "ID" stands for the identifier
    const char* planted;  // below the link's target
};
class LinkedFolder : public DriveSafety, public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkedFolder, FailsTheRunAndTouchesNothingOnEitherSide) {
    const LinkCase& c = GetParam();
    auto withID = [&](const char* path) {
        return QString::fromUtf8(path).replace(QStringLiteral("ID"), id).toStdString();
    };
    const std::string outside = top + "/outside";
    put(outside + withID(c.planted), "not ours", nowNs() - kSecondNs);
    const std::string link = (c.onDriveSide ? drive : home) + "/" + withID(c.linkAt);
    makeFolders(link.substr(0, link.rfind('/')));
    ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    put(mac("docs/a.txt"), "mine", nowNs() - 60 * kSecondNs);
    writeConfig({"~/docs"});
    const TreeSnapshot outsideBefore = snapshotTree(outside);
    const TreeSnapshot docsBefore = snapshotTree(mac("docs"));
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countSheets(FakeSheet::Alert, kInterrupted), 0);
    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 0);
    EXPECT_EQ(describeDifferences(outsideBefore, snapshotTree(outside)), "");
    EXPECT_EQ(describeDifferences(docsBefore, snapshotTree(mac("docs"))), "");
    EXPECT_EQ(ui->countLines(kFailed), 1) << ui->drawer.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkedFolder,
    testing::Values(LinkCase{"AboveTheDrivesCopy", true, "Tolvex/~", "/docs/a.txt"},
                    LinkCase{"DriveStagingParent", true, "Tolvex/TL_VS_W", "/ID/~/docs/a.txt"},
                    LinkCase{"MacStagingFolder", false, ".TL_VS_W/ID", "/~/docs/a.txt"},
                    LinkCase{"MacStagingRoot", false, ".TL_VS_W", "/ID/~/docs/a.txt"}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

// Both sides agree on "docs"; each staging folder holds a newer copy of one file and an
// unfinished copy; unfinished copies lie under the same name on both sides of "docs" too.
class Interrupted : public DriveSafety {
  protected:
    void SetUp() override {
        DriveSafety::SetUp();
        for (const std::string& side : {mac("docs"), onDrive("docs")}) {
            put(side + "/a.txt", "a old", t0);
            put(side + "/b.txt", "b old", t0);
        }
        put(mac("docs/.pellora-tmp-7-7"), "half, on the computer", t0 + 2 * kSecondNs);
        put(onDrive("docs/.pellora-tmp-7-7"), "half, on the drive", t0);
        put(driveStaging() + "/~/docs/a.txt", "a staged", t0 + kSecondNs);
        put(driveStaging() + "/~/docs/.pellora-tmp-half", "half", t0);
        // A new folder moves whole: what it holds unfinished must be gone first.
        put(driveStaging() + "/~/docs/new/.pellora-tmp-inner", "half", t0);
        put(macStaging() + "/~/docs/b.txt", "b staged", t0 + kSecondNs);
        put(macStaging() + "/~/.pellora-tmp-top", "half", t0);
        writeConfig({"~/docs"});
    }
};

TEST_F(Interrupted, FinishingPutsWholeStagedCopiesInPlaceAndNeverAnUnfinishedOne) {
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->sheets[0].title, kInterrupted);
    EXPECT_FALSE(pathExists(driveStaging()) || pathExists(macStaging()));
    EXPECT_FALSE(containsTemporaryName(target()));
    EXPECT_FALSE(pathExists(mac(".pellora-tmp-top")));
    EXPECT_EQ(readFile(mac("docs/.pellora-tmp-7-7")), "half, on the computer");
    // The recovery leaves the last sync time alone, so the run that follows still sees each
    // staged copy differ from the other side's, asks, and brings both sides together.
    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 2);
    for (const std::string& side : {mac("docs"), onDrive("docs")}) {
        EXPECT_EQ(readFile(side + "/a.txt"), "a staged");
        EXPECT_EQ(readFile(side + "/b.txt"), "b staged");
    }
    EXPECT_EQ(ui->countLines(kCompleted), 1);
}

// Staged-looking content behind a link is someone else's: the recovery must not clean it,
// move it or carry it into place.
TEST_F(Interrupted, AStagingFolderThatIsALinkIsLeftAlone) {
    const std::string outside = top + "/outside";
    ASSERT_EQ(rename(driveStaging().c_str(), outside.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), driveStaging().c_str()), 0);
    const TreeSnapshot before = snapshotTree(outside);
    ui->defaultAnswer = 1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->sheets[0].title, kInterrupted);
    EXPECT_EQ(describeDifferences(before, snapshotTree(outside)), "");
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "a old");
}

TEST_F(Interrupted, ACancelWhileFinishingStopsTheMoves) {
    put(macStaging() + "/~/late.txt", "late", t0 + kSecondNs);
    setDebug(true);
    ui->defaultAnswer = 1;
    cancelAtLine(QStringLiteral(": moving"));
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(kCanceled), 1);
    EXPECT_FALSE(pathExists(mac("late.txt")));
}

TEST_F(Interrupted, CancelDiscardsTheStagedCopies) {
    ui->defaultAnswer = 0;
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->sheets.size(), 1u) << ui->drawer.toStdString();
    for (const std::string& side : {mac("docs"), onDrive("docs")}) {
        EXPECT_EQ(readFile(side + "/a.txt"), "a old");
        EXPECT_EQ(readFile(side + "/b.txt"), "b old");
    }
    EXPECT_FALSE(pathExists(driveStaging()) || pathExists(macStaging()));
    EXPECT_EQ(ui->countLines(kCompleted), 1);
}

}  // namespace
