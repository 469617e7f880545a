// A drive prepared elsewhere may carry links inside its sync folder: the run must never follow
// them out of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "EngineFixture.h"

namespace {

class DriveLinks : public EngineTest {};

TEST_F(DriveLinks, ALinkAboveAnItemsCopyFailsTheRunAndTouchesNothingBehindIt) {
    const std::string outside = top + "/outside";
    put(outside + "/docs/a.txt", "not the drive's", nowNs() - 60 * kSecondNs);
    makeFolders(target());
    // The drive's "~" folder is a link to a folder outside the drive.
    ASSERT_EQ(symlink(outside.c_str(), (target() + "/~").c_str()), 0);
    put(mac("docs/a.txt"), "mine", nowNs());
    put(mac("docs/b.txt"), "mine too", nowNs());
    writeConfig({"~/docs"});
    const TreeSnapshot outsideBefore = snapshotTree(outside);
    const TreeSnapshot docsBefore = snapshotTree(mac("docs"));
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(differences(outsideBefore, snapshotTree(outside)), "");
    EXPECT_EQ(differences(docsBefore, snapshotTree(mac("docs"))), "");
    EXPECT_EQ(ui->countLines(failedLine()), 1) << ui->drawer.toStdString();
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
}

TEST_F(DriveLinks, ALinkAtTheMacStagingRootIsNeverWrittenThrough) {
    const std::string outside = top + "/outside";
    makeFolders(outside);
    ASSERT_EQ(symlink(outside.c_str(), (home + "/.TL_VS_W").c_str()), 0);
    const TreeSnapshot outsideBefore = snapshotTree(outside);
    put(onDrive("docs/a.txt"), "from the drive", nowNs());
    writeConfig({"~/docs"});
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    // Nothing was created behind the link, and the run failed at its folders.
    EXPECT_EQ(differences(outsideBefore, snapshotTree(outside)), "");
    EXPECT_EQ(ui->countLines(failedLine()), 1) << ui->drawer.toStdString();
    EXPECT_FALSE(pathExists(mac("docs")));
}

}  // namespace
