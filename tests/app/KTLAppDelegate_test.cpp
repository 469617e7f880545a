// The delegate in this process, on the offscreen platform: menus, the volume chooser clicked
// through its buttons, drive checks on arrival, and quitting while a drive is busy.
#include "KTLAppDelegate.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "AppSupport.h"
#include "FakeMountTable.h"
#include "KTLMenus.h"
#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "KTLVolumeChooser.h"
#include "LogController.h"
#include "PreferenceDomain.h"

namespace {

// Installed before any delegate, so that the delegate's filter sees a quit first; counts the
// quits that got through and swallows them, so that the tests go on.
struct AppEnvironment : testing::Environment, QObject {
    std::unique_ptr<TestHome> home;
    int quits = 0;
    void SetUp() override {
        home = std::make_unique<TestHome>();
        qApp->installEventFilter(this);
    }
    void TearDown() override {
        qApp->removeEventFilter(this);
        home.reset();
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != qApp || event->type() != QEvent::Quit) return false;
        ++quits;
        return true;
    }
};
auto* const kEnv =
    static_cast<AppEnvironment*>(testing::AddGlobalTestEnvironment(new AppEnvironment));

void runFor(int ms) {
    runUntil([] { return false; }, ms);
}

class Delegate : public testing::Test {
  protected:
    void SetUp() override {
        drive = makeFolder(dir / "DRIVE");
        PreferenceDomain::standardUserDefaults().setBool(true, QStringLiteral("debug"));
    }
    void TearDown() override {
        endWorkersAndRelease(delegate);
        for (const char* key :
             {"debug", "sync-on-connect", "accepted-file-systems", "start-at-login"})
            PreferenceDomain::standardUserDefaults().removeObjectForKey(QString::fromLatin1(key));
    }
    void launch() {
        delegate = std::make_unique<KTLAppDelegate>();
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    std::shared_ptr<KTLSyncController> controllerOf(const std::string& path) {
        return delegate->syncControllerForMountPoint(path);
    }
    QMenu* menuOf(QWidget* window, int index) {
        auto* bar = window->findChild<QMenuBar*>(QStringLiteral("_menuBar"));
        return bar ? bar->actions().value(index)->menu() : nullptr;
    }
    void bringToFront(QWidget* window) {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(runUntil([&] { return QApplication::activeWindow() == window; }));
    }
    // Answers the next application-modal dialog with `answer` once it is up.
    void whenChooserOpens(std::function<void(KTLVolumeChooser*)> answer) {
        QTimer::singleShot(20, [this, answer] {
            auto* chooser = qobject_cast<KTLVolumeChooser*>(QApplication::activeModalWidget());
            chooserSeen = chooser != nullptr;
            if (!chooser) return;
            answer(chooser);
        });
    }

    TempDir dir;
    FakeMountTable table{dir / "mountinfo"};
    std::string drive;
    std::unique_ptr<KTLAppDelegate> delegate;
    bool chooserSeen = false;
};

}  // namespace

TEST_F(Delegate, MenusFollowTheLogWindowDebugModeAndTheDriveInFront) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("menu-drive"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-menu"));
    PreferenceDomain::standardUserDefaults().setBool(false, QStringLiteral("debug"));
    launch();
    KTLMenus* menus = delegate->menus();
    LogController& log = LogController::sharedInstance();
    // No tray here: the log window comes up so that the menus can be reached.
    ASSERT_TRUE(log.isLogWindowVisible());
    auto* logWindow = dynamic_cast<QWidget*>(log.window());
    QMenu* logMenu = menuOf(logWindow, 2);
    ASSERT_TRUE(logMenu);
    EXPECT_EQ(menuOf(logWindow, 0)->actions().first(), menus->selectDeviceAction);

    emit logMenu->aboutToShow();
    EXPECT_EQ(menus->toggleLogWindowAction->iconText(), QStringLiteral("Hide Log"));
    // No tray and no bus to reach this copy again: hiding it would leave no way back.
    EXPECT_FALSE(menus->toggleLogWindowAction->isEnabled());
    log.hide();
    emit logMenu->aboutToShow();
    EXPECT_EQ(menus->toggleLogWindowAction->iconText(), QStringLiteral("Show Log"));

    EXPECT_FALSE(menus->toggleDebugModeAction->isChecked());
    delegate->debugMessage(QStringLiteral("hidden probe"));
    menus->toggleDebugModeAction->trigger();
    emit logMenu->aboutToShow();
    EXPECT_TRUE(menus->toggleDebugModeAction->isChecked());
    delegate->debugMessage(QStringLiteral("shown probe"));
    EXPECT_TRUE(log.text().endsWith(QStringLiteral("\nshown probe\n")));  // no time stamp
    EXPECT_FALSE(log.text().contains(QStringLiteral("hidden probe")));
    // Stored at once, for the workers and the next start.
    EXPECT_TRUE(readFile(defaultsFile()).contains("<key>debug</key>"));

    // The drive commands go to the drive whose window is in front.
    std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
    controller->show();
    auto* window = dynamic_cast<KTLSyncWindow*>(controller->window());
    ASSERT_TRUE(window);
    bringToFront(window);
    QMenu* driveMenu = menuOf(window, 1);
    ASSERT_TRUE(driveMenu);
    emit driveMenu->aboutToShow();
    EXPECT_TRUE(menus->syncAction->isEnabled());
    // An earlier Cancel does not cancel what the user asks for next.
    for (QAction* start : {menus->syncAction, menus->continuousSyncNowAction}) {
        controller->setCancelPending(true);
        start->trigger();
        EXPECT_FALSE(controller->cancelPending()) << start->objectName().toStdString();
    }
    EXPECT_FALSE(menus->toggleContinuousSyncAction->isChecked());
    menus->toggleContinuousSyncAction->trigger();
    emit driveMenu->aboutToShow();
    EXPECT_TRUE(menus->toggleContinuousSyncAction->isChecked());
    EXPECT_TRUE(controller->continuousSyncState());

    bringToFront(logWindow);
    emit driveMenu->aboutToShow();
    EXPECT_FALSE(menus->syncAction->isEnabled());
    EXPECT_FALSE(menus->toggleContinuousSyncAction->isChecked());

    // The page goes to xdg-open; when that finds nothing to open it with, the user is told
    // where the page is.
    const std::string opener = dir / "xdg-open", path = xdg("PATH");
    ASSERT_TRUE(writeFile(opener, "#!/bin/sh\necho \"$1\" >\"$0.url\"\nexit 3\n"));
    chmod(opener.c_str(), 0755);
    setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
    QString alert;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            alert = box->text();
            box->accept();
        }
    });
    answer.start(20);
    menus->helpAction->trigger();
    EXPECT_TRUE(runUntil([&] { return !alert.isEmpty(); }));
    setenv("PATH", path.c_str(), 1);
    const QUrl page(QString::fromUtf8(readFile(opener + ".url").trimmed()));
    EXPECT_TRUE(page.path().endsWith(QStringLiteral("/share/doc/pellora/Pellora.html")));
    EXPECT_TRUE(pathExists(page.toLocalFile().toStdString()));
    EXPECT_TRUE(alert.endsWith(page.toLocalFile())) << alert.toStdString();
}

TEST_F(Delegate, StartAtLoginIsOnFromTheFirstStartUntilTurnedOffAndStaysOff) {
    const std::string entry = xdg("XDG_CONFIG_HOME") + "/autostart/com.orvane.Pellora.desktop";
    unlink(entry.c_str());
    PreferenceDomain::standardUserDefaults().removeObjectForKey(QStringLiteral("start-at-login"));
    launch();
    EXPECT_TRUE(readFile(entry).contains("\nExec=\""));
    QAction* item = delegate->menus()->startAtLoginAction;
    delegate->validateUserInterfaceItem(item);
    EXPECT_TRUE(item->isChecked());
    item->trigger();
    EXPECT_FALSE(pathExists(entry));
    // The next start remembers.
    delegate.reset();
    launch();
    delegate->validateUserInterfaceItem(item = delegate->menus()->startAtLoginAction);
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(pathExists(entry));
}

TEST_F(Delegate, SelectingAnUnpreparedDriveGivesItTheDefaultListThenSyncsIt) {
    ASSERT_TRUE(table.add(drive, "/dev/pellora-select"));
    ASSERT_TRUE(table.add(makeFolder(dir / "scratch"), "tmpfs", "tmpfs"));
    launch();
    std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
    ASSERT_TRUE(controller);

    // Cancelled: nothing happens.
    QStringList rows;
    whenChooserOpens([&](KTLVolumeChooser* chooser) {
        EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Select a Tapline Drive"));
        auto* list = chooser->findChild<QTreeWidget*>(QStringLiteral("_volumeList"));
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->text(0) + "|" + list->topLevelItem(i)->text(1);
        chooser->findChild<QPushButton*>(QStringLiteral("_cancelButton"))->click();
    });
    delegate->doSelectDevice();
    EXPECT_TRUE(chooserSeen);
    // Block devices only, by name and mount point.
    EXPECT_EQ(rows, QStringList{"DRIVE|" + QString::fromStdString(drive)});
    runFor(1200);
    EXPECT_FALSE(controller->busy());

    chooserSeen = false;
    whenChooserOpens([&](KTLVolumeChooser* chooser) {
        auto* list = chooser->findChild<QTreeWidget*>(QStringLiteral("_volumeList"));
        auto* select = chooser->findChild<QPushButton*>(QStringLiteral("_selectButton"));
        EXPECT_FALSE(select->isEnabled());  // nothing chosen yet
        list->topLevelItem(0)->setSelected(true);
        select->click();
    });
    delegate->doSelectDevice();
    EXPECT_TRUE(chooserSeen);
    ASSERT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
    EXPECT_EQ(controller->shadowedSyncList(),
              (QStringList{QStringLiteral("~/Sites"), QStringLiteral("~/Shared")}));
    ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 15000));
    EXPECT_TRUE(LogController::sharedInstance().text().contains(
        QStringLiteral("Synchronization of \"DRIVE\"")));
}

TEST_F(Delegate, ArrivingDrivesThatFailTheChecksGetAControllerButNoSyncAndNoAlert) {
    launch();
    const std::string unprepared = drive;
    const std::string other = makeFolder(dir / "EXT4");
    prepareDrive(other, {QStringLiteral("~/Sites")}, QStringLiteral("ext4-drive"));
    ASSERT_TRUE(table.add(unprepared, "/dev/pellora-unprepared"));
    ASSERT_TRUE(table.add(other, "/dev/pellora-ext4", "ext4"));
    ASSERT_TRUE(table.add(makeFolder(dir / "share"), "server:/export", "nfs4"));
    ASSERT_TRUE(runUntil([&] { return delegate->syncControllers().size() == 2; }));
    runFor(1300);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(delegate->isBusy());
    EXPECT_FALSE(pathExists(other + "/Tolvex"));

    // Accepted once the user lists its file system; a new arrival then syncs it.
    PreferenceDomain::standardUserDefaults().setObject(
        QVariantList{QStringLiteral("hfsplus"), QStringLiteral("ext4")},
        QStringLiteral("accepted-file-systems"));
    ASSERT_TRUE(table.remove("/dev/pellora-ext4"));
    ASSERT_TRUE(runUntil([&] { return delegate->syncControllers().size() == 1; }));
    // Never synced here: asked first; Cancel leaves all as it was, so the next arrival asks again.
    for (const QString& answer : {QStringLiteral("Cancel"), QStringLiteral("Sync")}) {
        ASSERT_TRUE(table.add(other, "/dev/pellora-ext4", "ext4"));
        QMessageBox* box = nullptr;
        ASSERT_TRUE(runUntil([&] {
            box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            return box && box->objectName() == QLatin1String("_firstSyncAlert");
        }));
        EXPECT_TRUE(box->text().contains(QStringLiteral("\"EXT4\""))) << box->text().toStdString();
        EXPECT_EQ(box->informativeText(), QStringLiteral("~/Sites"));
        for (QAbstractButton* button : box->buttons())
            if (button->text() == answer) button->click();
        if (answer == QLatin1String("Sync")) break;
        runFor(1300);
        EXPECT_FALSE(pathExists(other + "/Tolvex"));
        EXPECT_FALSE(controllerOf(other)->isUserSetupForSync());
        ASSERT_TRUE(table.remove("/dev/pellora-ext4"));
        ASSERT_TRUE(runUntil([&] { return delegate->syncControllers().size() == 1; }));
    }
    ASSERT_TRUE(runUntil([&] { return pathExists(other + "/Tolvex") && !delegate->isBusy(); }));
    std::shared_ptr<KTLSyncController> synced = controllerOf(other);
    ASSERT_TRUE(table.remove("/dev/pellora-ext4"));
    EXPECT_TRUE(runUntil([&] { return synced->workerEnded(); }));
    // The spent delayed call still holds the controller, and its window, until deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(Delegate, ADriveOpenedWithTheApplicationIsSyncedEvenWhenMountedAtTheStart) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("open-drive"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-open"));
    writeTree(KTLSyncController::homeFolder() + "/Sites/index.html", "mac\n");
    launch();
    runFor(1200);
    EXPECT_FALSE(pathExists(drive + "/Tolvex"));  // present at the start: left alone

    // As the shell passes it: relative to where the program started.
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    delegate->openFile("DRIVE");
    ASSERT_EQ(chdir(cwd), 0);
    free(cwd);
    std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
    EXPECT_EQ(controller->deviceMountPoint(), drive);
    ASSERT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
    ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 10000));
    EXPECT_TRUE(pathExists(drive + "/Tolvex/~/Sites/index.html"));
}

TEST_F(Delegate, AQuitWhileADriveIsBusyIsIgnoredAndGoesThroughOnceItsQueueDrains) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("quit-drive"));
    writeTree(drive + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-quit"));
    launch();
    EXPECT_TRUE(delegate->applicationShouldTerminate());
    delegate->startSyncForDriveAt(drive);
    std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
    ASSERT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
    EXPECT_TRUE(delegate->holdsDrive(controller.get()));
    auto* window = dynamic_cast<QWidget*>(controller->window());
    auto* sheet = window->findChild<QDialog*>(QStringLiteral("_missingAlertPanel"));
    ASSERT_TRUE(runUntil([&] { return sheet->isVisible(); }));

    // Quit asks only from inside the application's event loop. The watcher counts the quits
    // that got past the delegate and swallows them; a timer ends the loop, with the
    // application's signals blocked, as that end is not the application quitting.
    auto quitsFromTheMenu = [&] {
        kEnv->quits = 0;
        QSignalBlocker quiet(QCoreApplication::instance());
        QTimer::singleShot(0, delegate->menus()->quitAction, &QAction::trigger);
        QTimer::singleShot(300, [] { QCoreApplication::exit(0); });
        QApplication::exec();
        return kEnv->quits;
    };
    EXPECT_EQ(quitsFromTheMenu(), 0);
    EXPECT_TRUE(controller->busy());

    window->findChild<QPushButton*>(QStringLiteral("_missingCopyButton"))->click();
    ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 10000))
        << LogController::sharedInstance().text().toStdString();
    ASSERT_TRUE(runUntil([&] { return !delegate->holdsDrive(controller.get()); }));
    EXPECT_EQ(quitsFromTheMenu(), 1);
    EXPECT_TRUE(pathExists(KTLSyncController::homeFolder() + "/Sites/only-on-drive.txt"));
}
