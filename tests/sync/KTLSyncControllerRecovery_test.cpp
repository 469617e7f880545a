// Staging folders left by a run that was cut off: offered to finish or discarded, never
// followed through links.

#include <unistd.h>

#include "EngineFixture.h"
#include "SampleTree.h"

namespace {

const QString kInterrupted = QStringLiteral("Interrupted Sync Detected");

class Recovery : public EngineTest {
  protected:
    const int64_t t0 = nowNs() - 3600 * kSecondNs;

    // Both sides agree on "docs"; each staging folder holds a newer copy of one file and an
    // unfinished copy that must never get a real name.
    void leaveInterruptedRun() {
        for (const std::string& side : {mac("docs"), onDrive("docs")}) {
            put(side + "/a.txt", "a old", t0);
            put(side + "/b.txt", "b old", t0);
        }
        put(driveStaging() + "/~/docs/a.txt", "a staged", t0 + kSecondNs);
        put(driveStaging() + "/~/docs/.pellora-tmp-half", "half", t0);
        put(macStaging() + "/~/docs/b.txt", "b staged", t0 + kSecondNs);
        put(macStaging() + "/~/.pellora-tmp-top", "half", t0);
    }
};

TEST_F(Recovery, FinishingMovesTheStagedCopiesIntoPlace) {
    leaveInterruptedRun();
    writeConfig({"~/docs"});
    // OK to the recovery; the newer copy in each conflict.
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    ASSERT_GE(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->sheets[0].title, kInterrupted);
    EXPECT_FALSE(containsTemporaryName(target() + "/~"));
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
    const qsizetype finished = ui->lineIndex(QStringLiteral("Interrupted sync finished."));
    EXPECT_GT(finished, ui->lineIndex(QStringLiteral("Processing interrrupted sync.")));
    EXPECT_GT(ui->lineIndex(QStringLiteral("Processing \"docs\"")), finished);
    // The recovery leaves the last sync time alone, so the run that follows still sees each
    // staged copy differ from the other side's, asks, and brings both sides together.
    EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), 2);
    EXPECT_EQ(ui->sheets.size(), 3u);
    for (const std::string& side : {mac("docs"), onDrive("docs")}) {
        EXPECT_EQ(readFile(side + "/a.txt"), "a staged");
        EXPECT_EQ(readFile(side + "/b.txt"), "b staged");
    }
    EXPECT_EQ(ui->countLines(completedLine()), 1);
}

TEST_F(Recovery, CancelDiscardsTheStagedCopies) {
    leaveInterruptedRun();
    writeConfig({"~/docs"});
    ui->answers.push_back({0});

    ASSERT_TRUE(sync());

    ASSERT_EQ(ui->sheets.size(), 1u) << ui->drawer.toStdString();
    EXPECT_EQ(ui->sheets[0].title, kInterrupted);
    EXPECT_EQ(ui->countLines(QStringLiteral("Interrupted sync skipped.")), 1);
    for (const std::string& side : {mac("docs"), onDrive("docs")}) {
        EXPECT_EQ(readFile(side + "/a.txt"), "a old");
        EXPECT_EQ(readFile(side + "/b.txt"), "b old");
    }
    EXPECT_FALSE(pathExists(driveStaging()));
    EXPECT_FALSE(pathExists(macStaging()));
    EXPECT_FALSE(containsTemporaryName(home));
    EXPECT_EQ(ui->countLines(completedLine()), 1);
}

// Where the link sits, relative to the drive or the home, and where under the link's target
// the staging folder would then seem to be.
struct LinkCase {
    const char* name;
    bool onDriveSide;
    const char* linkAt;    // with "ID" for the identifier
    const char* stagedAt;  // inside the link's target
};

void PrintTo(const LinkCase& c, std::ostream* out) {
    *out << c.name;
}

class LinkedStaging : public EngineTest, public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkedStaging, IsNeitherRecoveredNorUsed) {
    const LinkCase& c = GetParam();
    const std::string outside = top + "/outside";
    const std::string idText = id.toStdString();
    auto withID = [&](std::string path) {
        if (size_t at = path.find("ID"); at != std::string::npos) path.replace(at, 2, idText);
        return path;
    };
    // What lies behind the link looks just like staged copies.
    const std::string staged = outside + withID(c.stagedAt);
    put(staged + "/~/docs/a.txt", "not ours", nowNs() - kSecondNs);
    put(staged + "/~/other.txt", "not ours either", nowNs() - kSecondNs);
    const std::string link = (c.onDriveSide ? drive : home) + "/" + withID(c.linkAt);
    makeFolders(link.substr(0, link.rfind('/')));
    ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    put(mac("docs/a.txt"), "mine", nowNs() - 60 * kSecondNs);
    writeConfig({"~/docs"});
    const TreeSnapshot outsideBefore = snapshotTree(outside);
    const TreeSnapshot docsBefore = snapshotTree(mac("docs"));
    // Were the question asked, Cancel would discard what lies behind the link.
    ui->defaultAnswer = 0;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countAlerts(kInterrupted), 0) << c.name;
    EXPECT_EQ(differences(outsideBefore, snapshotTree(outside)), "") << c.name;
    EXPECT_EQ(differences(docsBefore, snapshotTree(mac("docs"))), "") << c.name;
    EXPECT_FALSE(pathExists(mac("other.txt"))) << c.name;
    // The link leaves no usable folder, so nothing is synchronized.
    EXPECT_EQ(ui->countLines(failedLine()), 1) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkedStaging,
    testing::Values(LinkCase{"MacStagingFolder", false, ".TL_VS_W/ID", ""},
                    LinkCase{"DriveStagingParent", true, "Tolvex/TL_VS_W", "/ID"}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

}  // namespace
