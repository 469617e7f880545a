// What a run must never do to data: replace a place changed since it decided, or stage a
// folder that forbids writing in a way that can't be moved or removed.

#include "EngineFixture.h"

namespace {

enum class Side { None, Mac, Drive };

// One file, "docs/ro/f.txt", with the given contents on each side (none: absent) and the older
// one dated first; the folder "ro" has `folderMode` wherever the file is. `savedDuring` writes
// the file on that side as the run starts moving its staged copies into place.
struct Row {
    const char* name;
    const char* mac;
    const char* drive;
    Side newer;
    Side savedDuring;
    mode_t folderMode;
    const char* expectMac;
    const char* expectDrive;
    bool completes;
};

class DataSafety : public EngineTest, public testing::WithParamInterface<Row> {};

TEST_P(DataSafety, KeepsWhatChangedAndFinishesWhatItStaged) {
    const Row& row = GetParam();
    const std::string file = "docs/ro/f.txt";
    for (const std::string& side : {mac("docs"), onDrive("docs")}) makeFolders(side);
    if (row.mac) put(mac(file), row.mac, row.newer == Side::Mac ? t0 + kSecondNs : t0);
    if (row.drive) put(onDrive(file), row.drive, row.newer == Side::Drive ? t0 + kSecondNs : t0);
    for (const std::string& folder : {mac("docs/ro"), onDrive("docs/ro")})
        if (pathExists(folder)) chmod(folder.c_str(), row.folderMode);
    writeConfig({"~/docs"});
    controller->setDefaultConflictResolutionAction(1);
    controller->setDefaultMissingResolutionAction(1);
    ui->defaultAnswer = 1;
    const std::string saved = row.savedDuring == Side::Mac ? mac(file) : onDrive(file);
    ui->onStatusLine = [&](const QString& line) {
        if (row.savedDuring != Side::None && line.startsWith(QStringLiteral("Finishing")))
            put(saved, "saved meanwhile", nowNs());
    };
    WithoutPermissionOverride asAUser;

    ASSERT_TRUE(sync());

    const std::string log = ui->drawer.toStdString();
    auto contents = [](const std::string& path) {
        return pathExists(path) ? readFile(path).toStdString() : std::string("(absent)");
    };
    EXPECT_EQ(contents(mac(file)), row.expectMac) << log;
    EXPECT_EQ(contents(onDrive(file)), row.expectDrive) << log;
    EXPECT_EQ(ui->countLines(kCompleted), row.completes ? 1 : 0) << log;
    EXPECT_EQ(ui->countLines(QStringLiteral("it is left for the next one.")),
              row.savedDuring == Side::None ? 0 : 1)
        << log;
    // A run that left something behind keeps the last sync time where it was.
    EXPECT_EQ(controller->lastSyncTime().date().year() == 1, !row.completes);
    EXPECT_FALSE(pathExists(driveStaging()) || pathExists(macStaging()));
    for (const std::string& folder : {mac("docs/ro"), onDrive("docs/ro")}) {
        struct stat st;
        EXPECT_TRUE(lstat(folder.c_str(), &st) == 0 && (st.st_mode & 07777) == row.folderMode)
            << folder;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DataSafety,
    testing::Values(Row{"SavedAtHomeDuringTheRun", "home", "drive newer", Side::Drive, Side::Mac,
                        0755, "saved meanwhile", "drive newer", false},
                    Row{"SavedOnTheDriveDuringTheRun", "home newer", "drive", Side::Mac,
                        Side::Drive, 0755, "home newer", "saved meanwhile", false},
                    Row{"CreatedAtHomeWhereNoneWas", nullptr, "drive only", Side::Drive, Side::Mac,
                        0755, "saved meanwhile", "drive only", false},
                    Row{"NothingChangedMeanwhile", nullptr, "drive only", Side::Drive, Side::None,
                        0755, "drive only", "drive only", true},
                    Row{"ReadOnlyFolderToTheDrive", "home only", nullptr, Side::Mac, Side::None,
                        0555, "home only", "home only", true},
                    Row{"ReadOnlyFolderFromTheDrive", nullptr, "drive only", Side::Drive,
                        Side::None, 0555, "drive only", "drive only", true}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
