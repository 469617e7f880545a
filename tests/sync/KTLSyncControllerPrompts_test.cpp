// Questions from the worker: remembered answers, the conflict sheet's texts, and a question
// left open when the drive goes away.

#include "EngineFixture.h"

namespace {

class Prompts : public EngineTest {
  protected:
    const int64_t t0 = nowNs() - 3600 * kSecondNs;

    // "docs" on both sides, with three files only the drive has.
    void driveOnlyEntries() {
        put(mac("docs/a.txt"), "a", t0);
        put(onDrive("docs/a.txt"), "a", t0);
        for (const char* name : {"x1", "x2", "x3"})
            put(onDrive(std::string("docs/") + name), name, t0);
        writeConfig({"~/docs"});
    }
};

TEST_F(Prompts, DontAskAgainRemembersTheMissingItemAnswer) {
    driveOnlyEntries();
    ui->answers.push_back({-1, true});
    ui->defaultAnswer = 1;  // a second sheet would copy

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 1);
    EXPECT_EQ(controller->defaultMissingResolutionAction(), -1);
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    for (const char* name : {"x1", "x2", "x3"})
        EXPECT_FALSE(pathExists(mac(std::string("docs/") + name)));

    // The remembered "don't copy" also declines a listed item, which fails the run unasked.
    put(onDrive("gone.txt"), "gone", t0);
    rewriteConfig({"~/gone.txt"});
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 1);
    EXPECT_EQ(ui->countAlerts(QStringLiteral("Sync Failed")), 1);
    EXPECT_FALSE(pathExists(mac("gone.txt")));

    // A new controller (the drive came back) asks again; "copy" remembered copies them all.
    freshController();
    rewriteConfig({"~/docs"});
    ui->answers.push_back({1, true});
    ui->defaultAnswer = -1;
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 2);
    for (const char* name : {"x1", "x2", "x3"})
        EXPECT_EQ(readFile(mac(std::string("docs/") + name)), name);
}

TEST_F(Prompts, ASideButtonAnswerIsRememberedToo) {
    for (const char* name : {"c1", "c2"}) {
        put(mac(std::string("docs/") + name), "mac", t0);
        put(onDrive(std::string("docs/") + name), "drive, newer", t0 + kSecondNs);
    }
    writeConfig({"~/docs"});
    ui->answers.push_back({2, true});
    ui->defaultAnswer = 0;

    ASSERT_TRUE(sync());

    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 1);
    EXPECT_EQ(controller->defaultConflictResolutionAction(), 2);
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    for (const char* name : {"c1", "c2"})
        EXPECT_EQ(readFile(mac(std::string("docs/") + name)), "drive, newer");
    // Without debug mode the side buttons stay hidden.
    EXPECT_FALSE(ui->sheets[0].conflict.showSourceButtons);
}

TEST_F(Prompts, ConflictSheetNamesBothCopies) {
    setDebug(true);
    put(mac("docs/c.txt"), "mac, newer", t0 + kSecondNs);
    put(onDrive("docs/c.txt"), "drive", t0);
    writeConfig({"~/docs"});
    ui->answers.push_back({-2});

    ASSERT_TRUE(sync());

    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 1);
    const KTLConflictSheetTexts& texts = ui->sheets[0].conflict;
    EXPECT_TRUE(texts.showSourceButtons);
    EXPECT_EQ(texts.newerSourceTitle, QStringLiteral("local"));
    EXPECT_EQ(texts.newerSourceToolTip, QString::fromStdString(mac("docs/c.txt")));
    EXPECT_EQ(texts.olderSourceToolTip, QString::fromStdString(onDrive("docs/c.txt")));
    EXPECT_TRUE(texts.newerToolTip.startsWith(QStringLiteral("~/docs/c.txt\nModified: ")))
        << texts.newerToolTip.toStdString();
    EXPECT_TRUE(texts.olderToolTip.contains(QStringLiteral("\nModified: ")));
    // The older side's copy won and nothing is remembered without the check box.
    EXPECT_EQ(readFile(mac("docs/c.txt")), "drive");
    EXPECT_EQ(controller->defaultConflictResolutionAction(), 0);
}

TEST_F(Prompts, AQuestionOpenWhenTheDriveGoesAwayIsAnsweredNo) {
    put(onDrive("gone.txt"), "gone", t0);
    writeConfig({"~/gone.txt"});
    controller->sync();
    startedWorker();
    ASSERT_TRUE(waitUntil([&] { return ui->sheetOpen(); }, 10));

    controller->driveDisappeared();

    EXPECT_TRUE(waitUntil([&] { return controller->workerEnded(); }, 10));
    EXPECT_FALSE(ui->sheetOpen());
    EXPECT_FALSE(pathExists(mac("gone.txt")));
    EXPECT_EQ(ui->countLines(failedLine()), 1);
    // The closing alert found no window to ask on.
    EXPECT_EQ(ui->countAlerts(QStringLiteral("Sync Failed")), 0);
}

}  // namespace
