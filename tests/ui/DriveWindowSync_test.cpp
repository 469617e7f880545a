// A whole sync through the real drive window: the worker's questions appear as sheets and are
// answered by clicking their buttons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <cstdlib>
#include <functional>

#include "FakeMountTable.h"
#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace {

struct AppEnvironment : testing::Environment {
    int argc = 1;
    char name[24] = "DriveWindowSync_test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
        installSyncWindows();
    }
    void TearDown() override { app.reset(); }
};
[[maybe_unused]] auto* const kEnv = testing::AddGlobalTestEnvironment(new AppEnvironment);

bool waitUntil(const std::function<bool()>& condition, int seconds = 20) {
    QDeadlineTimer deadline(seconds * 1000);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class DriveWindowSync : public testing::Test {
  protected:
    void SetUp() override {
        drive = makeFolder(home.path() + "/drive");
        mac = home.path() + "/docs";
        mkdir(mac.c_str(), 0755);
        mounts.add(drive, "/dev/sdz1", "hfsplus");
        writeFile(drive + "/.TolvexConfig",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>tapline-items-to-sync</key><array><string>~/docs</string></array>"
                  "<key>tapline-uuid</key><string>WINDOW-1</string></dict></plist>\n");
        controller = KTLSyncController::controllerForMountPoint(drive);
    }
    void TearDown() override {
        controller->driveDisappeared();
        EXPECT_TRUE(waitUntil([&] { return controller->workerEnded(); }));
    }

    QWidget* window() { return dynamic_cast<QWidget*>(controller->window()); }
    QDialog* openSheet(const char* name) {
        QDialog* sheet = nullptr;
        waitUntil([&] {
            sheet = window() ? window()->findChild<QDialog*>(QString::fromLatin1(name)) : nullptr;
            return sheet && sheet->isVisible();
        });
        return sheet && sheet->isVisible() ? sheet : nullptr;
    }
    void click(QDialog* sheet, const char* button) {
        QPushButton* found = sheet->findChild<QPushButton*>(QString::fromLatin1(button));
        ASSERT_NE(found, nullptr) << button;
        found->click();
    }
    QString status() {
        auto* label = window()->findChild<QLabel*>(QStringLiteral("_messageTextField"));
        return label ? label->text() : QString();
    }
    bool syncAndWait() {
        controller->sync();
        return waitUntil([&] { return !controller->busy(); });
    }
    void setTime(const std::string& path, int64_t seconds) {
        setModificationTime(path, seconds * 1000000000LL);
    }

    TestHome home;
    FakeMountTable mounts{home.path() + "/mountinfo"};
    std::string drive;
    std::string mac;
    std::shared_ptr<KTLSyncController> controller;
};

TEST_F(DriveWindowSync, ConflictIsSettledByTheClickedButtonAndRememberedWhenTicked) {
    writeFile(mac + "/a.txt", "first");
    writeFile(mac + "/b.txt", "first b");
    ASSERT_TRUE(syncAndWait());
    ASSERT_TRUE(status().contains("completed successfully")) << status().toStdString();
    const std::string driveCopy = drive + "/Tolvex/~/docs/a.txt";
    ASSERT_EQ(readFile(driveCopy), "first");

    // Changed on the drive after the sync: newer than the Mac's copy.
    const int64_t later = QDateTime::currentSecsSinceEpoch() + 60;
    writeFile(driveCopy, "changed on the drive");
    setTime(driveCopy, later);
    writeFile(drive + "/Tolvex/~/docs/b.txt", "b changed on the drive");
    setTime(drive + "/Tolvex/~/docs/b.txt", later);

    controller->sync();
    QDialog* sheet = openSheet("_conflictAlertPanel");
    ASSERT_NE(sheet, nullptr) << "no conflict sheet";
    // Debug mode is off: only the newer and older buttons are offered.
    EXPECT_FALSE(sheet->findChild<QPushButton*>("_conflictNewerSourceButton")->isVisible());
    sheet->findChild<QCheckBox*>("_conflictDontAskAgainButton")->setChecked(true);
    click(sheet, "_conflictNewerButton");
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));

    EXPECT_EQ(controller->defaultConflictResolutionAction(), 1);
    EXPECT_EQ(readFile(mac + "/a.txt"), "changed on the drive");
    // The second conflict of the run took the remembered answer without a sheet.
    EXPECT_EQ(readFile(mac + "/b.txt"), "b changed on the drive");
    EXPECT_TRUE(status().contains("completed successfully")) << status().toStdString();
}

TEST_F(DriveWindowSync, DeclinedMissingItemFailsTheRunWithTheSyncFailedAlert) {
    writeFile(mac + "/a.txt", "a");
    ASSERT_TRUE(syncAndWait());
    // The listed folder disappears from the Mac.
    ASSERT_EQ(system(("rm -rf '" + mac + "'").c_str()), 0);

    controller->sync();
    QDialog* missing = openSheet("_missingAlertPanel");
    ASSERT_NE(missing, nullptr) << "no missing-item sheet";
    click(missing, "_missingDontCopyButton");

    QDialog* alert = openSheet("_alertPanel");
    ASSERT_NE(alert, nullptr) << "no alert after the failed run";
    auto* title = alert->findChild<QLabel*>("_alertTitleTextField");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "Sync Failed");
    EXPECT_TRUE(alert->findChild<QPushButton*>("_alertCancelButton")->isHidden());
    EXPECT_TRUE(status().contains("did not complete successfully")) << status().toStdString();
    click(alert, "_alertOKButton");
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));

    EXPECT_FALSE(pathExists(mac));
    EXPECT_EQ(readFile(drive + "/Tolvex/~/docs/a.txt"), "a");
}

TEST_F(DriveWindowSync, ClosingTheWindowOfAVanishedDriveAnswersAnOpenQuestion) {
    writeFile(mac + "/a.txt", "a");
    ASSERT_TRUE(syncAndWait());
    ASSERT_EQ(system(("rm -rf '" + mac + "'").c_str()), 0);

    controller->sync();
    ASSERT_NE(openSheet("_missingAlertPanel"), nullptr);
    // The drive goes away with the question on screen: the worker must not wait for ever.
    controller->driveDisappeared();
    EXPECT_TRUE(waitUntil([&] { return controller->workerEnded(); }));
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(readFile(drive + "/Tolvex/~/docs/a.txt"), "a");
}

}  // namespace
