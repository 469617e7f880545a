// The windows that set drives up, clicked offscreen on a running delegate: Preferences, a
// drive's Sync List and the volume chooser.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "../app/AppSupport.h"
#include "FakeMountTable.h"
#include "KTLAppDelegate.h"
#include "KTLMenus.h"
#include "KTLSyncController.h"
#include "KTLSyncListWindow.h"
#include "KTLSyncWindow.h"
#include "PreferenceDomain.h"

namespace {

// A home of their own for the settings these windows write; the shared main makes the
// application.
struct SettingsHome : testing::Environment {
    std::unique_ptr<TestHome> home;
    void SetUp() override { home = std::make_unique<TestHome>(); }
    void TearDown() override { home.reset(); }
};
[[maybe_unused]] auto* const kSettingsHome = testing::AddGlobalTestEnvironment(new SettingsHome);

// Runs `answer` on the modal dialog that the next call puts up.
template <typename Dialog>
void whenModal(std::function<void(Dialog*)> answer) {
    QTimer::singleShot(50, [answer] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) answer(dialog);
    });
}

template <typename T>
T* named(QObject* parent, const QString& name) {
    T* found = parent ? parent->findChild<T*>(name) : nullptr;
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
}

class Settings : public testing::Test {
  protected:
    void SetUp() override { drive = makeFolder(dir / "DRIVE"); }
    void TearDown() override {
        endWorkersAndRelease(delegate);
        for (const char* key : {"debug", "sync-on-connect", "accepted-file-systems"})
            PreferenceDomain::standardUserDefaults().removeObjectForKey(QString::fromLatin1(key));
    }
    void launch() {
        delegate = std::make_unique<KTLAppDelegate>();
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    QVariant stored(const QString& key) {
        return readPropertyList(readFile(xdg("XDG_CONFIG_HOME") + "/Orvane/Pellora.plist"))
            .value_or(QVariant())
            .toMap()
            .value(key);
    }
    QStringList driveList(const std::string& mountPoint) {
        QVariant config = readPropertyList(readFile(mountPoint + "/.TolvexConfig")).value();
        return config.toMap().value(QStringLiteral("tapline-items-to-sync")).toStringList();
    }

    TempDir dir;
    FakeMountTable table{dir / "mountinfo"};
    std::string drive;
    std::unique_ptr<KTLAppDelegate> delegate;
};

}  // namespace

TEST_F(Settings, EachPreferenceIsWrittenAtOnceReadBackAndAnAcceptedExt4DriveSyncs) {
    ASSERT_TRUE(table.add(makeFolder(dir / "NILFS"), "/dev/pellora-nilfs", "nilfs2"));
    launch();
    delegate->menus()->preferencesAction->trigger();
    QWidget* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("_preferencesWindow")) window = top;
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_NE(window->findChild<QCheckBox*>(QStringLiteral("nilfs2")), nullptr);  // mounted here

    const struct {
        const char* box;
        const char* key;
        QVariant written;
    } rows[] = {
        {"_syncOnConnectButton", "sync-on-connect", false},
        {"_debugButton", "debug", true},
        {"ext4", "accepted-file-systems", QVariantList{"hfs", "hfsplus", "ext4"}},
        {"hfs", "accepted-file-systems", QVariantList{"hfsplus", "ext4"}},
    };
    for (const auto& row : rows) {
        named<QCheckBox>(window, row.box)->click();
        EXPECT_EQ(stored(row.key), row.written) << row.box;
    }
    // Read back from the defaults when shown again, as the Log menu may have changed debug.
    PreferenceDomain::standardUserDefaults().setBool(false, QStringLiteral("debug"));
    delegate->showPreferences();
    const std::pair<const char*, bool> shown[] = {
        {"_syncOnConnectButton", false}, {"_debugButton", false}, {"ext4", true}, {"hfs", false}};
    for (const auto& [box, checked] : shown)
        EXPECT_EQ(named<QCheckBox>(window, box)->isChecked(), checked) << box;

    named<QCheckBox>(window, "_syncOnConnectButton")->click();
    // A drive synced here before: a stranger's would be asked about first.
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("ext4-drive"));
    knownDrive(QStringLiteral("ext4-drive"));
    writeTree(KTLSyncController::homeFolder() + "/Sites/page.html", "page\n");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-ext4", "ext4"));
    EXPECT_TRUE(runUntil([&] { return pathExists(drive + "/Tolvex/~/Sites/page.html"); }, 8000))
        << logText().toStdString();
}

TEST_F(Settings, SyncListEditsReachTheDriveThroughTheListUpdateAfterConfirmingRemovals) {
    prepareDrive(drive, {QStringLiteral("~/A"), QStringLiteral("~/B")}, QStringLiteral("list"));
    writeTree(drive + "/Tolvex/~/A/one.txt", "12345");
    writeTree(drive + "/Tolvex/~/A/sub/two.txt", "678");
    writeTree(drive + "/Tolvex/~/B/keep.txt", "kept");
    const std::string added = makeFolder(KTLSyncController::homeFolder() + "/C");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-list"));
    launch();
    std::shared_ptr<KTLSyncController> controller = delegate->syncControllerForMountPoint(drive);
    controller->show();
    auto* driveWindow = dynamic_cast<KTLSyncWindow*>(controller->window());
    driveWindow->activateWindow();
    ASSERT_TRUE(runUntil([&] { return QApplication::activeWindow() == driveWindow; }));
    delegate->menus()->syncListAction->trigger();
    QPointer<KTLSyncListWindow> window = driveWindow->findChild<KTLSyncListWindow*>();
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(window->entries(), (QStringList{"~/A", "~/B"}));

    whenModal<QFileDialog>([&](QFileDialog* chooser) {
        chooser->setDirectory(QString::fromStdString(added));  // a folder chooser takes where it is
        static_cast<QDialog*>(chooser)->accept();
    });
    named<QAction>(window, "_addFolderAction")->trigger();
    // A name that isn't text is refused with an alert, and the list keeps what it had.
    bool refused = false;
    whenModal<QMessageBox>([&](QMessageBox* alert) { refused = true, alert->accept(); });
    EXPECT_FALSE(window->addPath(KTLSyncController::homeFolder() + "/bad\xff"));
    EXPECT_TRUE(refused);
    auto* list = named<QListWidget>(window, "_syncList");
    list->item(0)->setSelected(true);
    named<QPushButton>(window, "_removeButton")->click();
    EXPECT_EQ(window->entries(), (QStringList{"~/B", "~/C"}));

    for (const char* answer : {"_cancelButton", "_removeAndApplyButton"}) {
        named<QPushButton>(window, "_applyButton")->click();
        QMessageBox* alert = nullptr;
        for (QMessageBox* box : window->findChildren<QMessageBox*>("_removalAlert"))
            if (box->isVisible()) alert = box;
        ASSERT_TRUE(alert);
        EXPECT_TRUE(alert->text().contains("\n~/A")) << alert->text().toStdString();
        EXPECT_EQ(alert->informativeText().toStdString(),
                  "Removes 2 files, 8 bytes from the drive.");
        EXPECT_EQ(alert->defaultButton(), alert->findChild<QPushButton*>("_cancelButton"));
        named<QPushButton>(alert, answer)->click();
        EXPECT_FALSE(controller->busy());  // queued a second from now, as a script's list is
        runUntil([] { return false; }, 1300);
        if (answer[1] == 'c') {
            EXPECT_EQ(driveList(drive), (QStringList{"~/A", "~/B"}));
        }
    }
    ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 8000));
    EXPECT_EQ(driveList(drive), (QStringList{"~/B", "~/C"}));
    EXPECT_FALSE(pathExists(drive + "/Tolvex/~/A"));
    EXPECT_TRUE(pathExists(drive + "/Tolvex/~/B/keep.txt"));
    EXPECT_TRUE(!window || !window->isVisible());
}

TEST_F(Settings, ChooserTellsEachVolumesStateAndANewDrivePointsAtItsSyncList) {
    const std::string setUp = makeFolder(dir / "SETUP");
    prepareDrive(setUp, {QStringLiteral("~/Sites")}, QStringLiteral("set-up"));
    ASSERT_TRUE(table.add(setUp, "/dev/pellora-setup"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-new"));
    ASSERT_TRUE(table.add(makeFolder(dir / "USB"), "/dev/pellora-usb", "ext4"));
    launch();
    QStringList rows;
    QString note;
    whenModal<QDialog>([&](QDialog* chooser) {
        auto* list = named<QTreeWidget>(chooser, "_volumeList");
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            rows << row->text(0) + "|" + row->text(2) + "|" + row->text(4);
            EXPECT_FALSE(row->text(3).isEmpty());  // size
        }
        list->setCurrentItem(list->topLevelItem(2));
        auto* label = named<QLabel>(chooser, "_noteTextField");
        note = label->isVisibleTo(chooser) ? label->text() : QString();
        list->setCurrentItem(list->topLevelItem(1));
        named<QPushButton>(chooser, "_selectButton")->click();
    });
    delegate->doSelectDevice();
    EXPECT_EQ(rows.join(", ").toStdString(),
              "SETUP|hfsplus|Set up, DRIVE|hfsplus|New, USB|ext4|Not accepted");
    EXPECT_TRUE(note.contains("Preferences") && note.contains("ext4")) << note.toStdString();

    std::shared_ptr<KTLSyncController> controller = delegate->syncControllerForMountPoint(drive);
    auto* window = dynamic_cast<KTLSyncWindow*>(controller->window());
    ASSERT_TRUE(window && window->isSyncListHintVisible());
    ASSERT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
    ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 10000));
    EXPECT_EQ(driveList(drive), (QStringList{"~/Sites", "~/Shared"}));
}
