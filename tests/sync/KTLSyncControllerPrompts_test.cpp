// Questions from the worker: remembered answers, the conflict sheet's texts, and a question
// left open when the drive goes away.

#include <QRegularExpression>

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

    // A new controller (the drive came back) asks again; "copy" remembered copies them all.
    freshController();
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
    setDebug(true);
    ui->answers.push_back({2, true});
    ui->defaultAnswer = 0;

    ASSERT_TRUE(sync());

    ASSERT_EQ(ui->countSheets(FakeSheet::Conflict), 1);
    EXPECT_EQ(controller->defaultConflictResolutionAction(), 2);
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    for (const char* name : {"c1", "c2"})
        EXPECT_EQ(readFile(mac(std::string("docs/") + name)), "drive, newer");
    // Debug mode shows the side buttons, which name each copy.
    const KTLConflictSheetTexts& texts = ui->sheets[0].conflict;
    EXPECT_TRUE(texts.showSourceButtons);
    EXPECT_TRUE(texts.newerSourceToolTip.startsWith(QString::fromStdString(onDrive("docs/c"))));
    EXPECT_TRUE(texts.olderSourceToolTip.startsWith(QString::fromStdString(mac("docs/c"))));
    // The path, then the date with its offset from UTC.
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral(
                "^~/docs/c\\d\nModified: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}$"))
            .match(texts.olderToolTip)
            .hasMatch())
        << texts.olderToolTip.toStdString();
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
