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
#include "KTLMenus.h"
#include "KTLSyncListWindow.h"
#include "KTLSyncWindow.h"

namespace {

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

using Settings = DelegateTest;

QVariant stored(const QString& key) {
    return readPropertyList(readFile(xdg("XDG_CONFIG_HOME") + "/Orvane/Pellora.plist"))
        .value_or(QVariant())
        .toMap()
        .value(key);
}

}  // namespace

TEST_F(Settings, EachPreferenceIsWrittenAtOnceAndReadBackWhenShownAgain) {
    ASSERT_TRUE(table.add(makeFolder(dir / "NILFS"), "/dev/pellora-nilfs", "nilfs2"));
    launch();
    delegate->menus()->preferencesAction->trigger();
    QWidget* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == "_preferencesWindow") window = top;
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_NE(window->findChild<QCheckBox*>("nilfs2"), nullptr);  // mounted here

    // Each row: the box clicked, and the setting and what it holds then.
    const std::tuple<const char*, const char*, QVariant> rows[] = {
        {"_syncOnConnectButton", "sync-on-connect", false},
        {"_debugButton", "debug", true},
        {"ext4", "accepted-file-systems", QVariantList{"hfs", "hfsplus", "ext4"}},
        {"hfs", "accepted-file-systems", QVariantList{"hfsplus", "ext4"}},
    };
    // Read back from the defaults when shown again, as the Log menu may have changed debug.
    for (const auto& [box, key, written] : rows) {
        named<QCheckBox>(window, box)->click();
        EXPECT_EQ(stored(key), written) << box;
    }
    PreferenceDomain::standardUserDefaults().setBool(false, "debug");
    delegate->showPreferences();
    const std::pair<const char*, bool> shown[] = {
        {"_syncOnConnectButton", false}, {"_debugButton", false}, {"ext4", true}, {"hfs", false}};
    for (const auto& [box, checked] : shown)
        EXPECT_EQ(named<QCheckBox>(window, box)->isChecked(), checked) << box;
}

TEST_F(Settings, SyncListEditsReachTheDriveThroughTheListUpdateAfterConfirmingRemovals) {
    prepareDrive(drive, {"~/A", "~/B"}, "list");
    ASSERT_TRUE(putFile(drive + "/Tolvex/~/A/one.txt", "12345"));
    ASSERT_TRUE(putFile(drive + "/Tolvex/~/A/sub/two.txt", "678"));
    ASSERT_TRUE(putFile(drive + "/Tolvex/~/B/keep.txt", "kept"));
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
    EXPECT_TRUE(!pathExists(drive + "/Tolvex/~/A") && pathExists(drive + "/Tolvex/~/B/keep.txt"));
    EXPECT_TRUE(!window || !window->isVisible());
}

TEST_F(Settings, ChooserTellsEachVolumesStateAndANewDrivePointsAtItsSyncList) {
    const std::string setUp = makeFolder(dir / "SETUP");
    prepareDrive(setUp, {"~/Sites"}, "set-up");
    ASSERT_TRUE(table.add(setUp, "/dev/pellora-setup"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-new"));
    ASSERT_TRUE(table.add(makeFolder(dir / "USB"), "/dev/pellora-usb", "ext4"));
    launch();
    QStringList rows;
    QString note;
    whenModal<QDialog>([&](QDialog* chooser) {
        auto* list = named<QTreeWidget>(chooser, "_volumeList");
        // Name, file system and state; the size varies, so only its absence shows.
        for (QTreeWidgetItem* row : list->findItems("*", Qt::MatchWildcard))
            rows << row->text(0) + "|" + row->text(2) + "|" + row->text(4) +
                        (row->text(3).isEmpty() ? "|no size" : "");
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
