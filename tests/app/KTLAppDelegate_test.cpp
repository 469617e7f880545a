// The delegate in this process, on the offscreen platform: menus, drive checks on arrival, and the
// alerts and notifications that stand between a busy drive and the scripts and the desktop.
#include "KTLAppDelegate.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include "AEDBusCoding.h"
#include "AppSupport.h"
#include "KTLMenus.h"
#include "LogController.h"
#include "OrvaneUtilities+Descriptor.h"
#include "ScriptingInterface.h"

namespace {

class Delegate : public DelegateTest {
  protected:
    void SetUp() override {
        DelegateTest::SetUp();
        PreferenceDomain::standardUserDefaults().setBool(true, "debug");
    }
    // A drive whose sync waits on a question nobody answers: busy until the test answers it.
    std::shared_ptr<KTLSyncController> busyDrive() {
        prepareDrive(drive, {"~/Sites"}, "busy-drive");
        EXPECT_TRUE(putFile(drive + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n"));
        EXPECT_TRUE(table.add(drive, "/dev/pellora-busy"));
        launch();
        delegate->startSyncForDriveAt(drive);
        std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
        EXPECT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
        return controller;
    }
    void answerTheQuestion(const std::shared_ptr<KTLSyncController>& controller) {
        auto* window = dynamic_cast<QWidget*>(controller->window());
        auto* copy = window->findChild<QPushButton*>("_missingCopyButton");
        ASSERT_TRUE(runUntil([&] { return copy->isVisible(); }));
        copy->click();
        ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 10000));
    }
};

}  // namespace

TEST_F(Delegate, MenusFollowDebugModeTheDriveInFrontAndStartAtLogin) {
    prepareDrive(drive, {"~/Sites"}, "menu-drive");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-menu"));
    PreferenceDomain::standardUserDefaults().setBool(false, "debug");
    launch();
    KTLMenus* menus = delegate->menus();
    LogController& log = LogController::sharedInstance();
    const auto menuOf = [](QWidget* window, int index) {
        return window->findChild<QMenuBar*>("_menuBar")->actions()[index]->menu();
    };
    const auto toFront = [](QWidget* window) {
        window->show();
        window->activateWindow();
        return runUntil([&] { return QApplication::activeWindow() == window; });
    };
    // No tray and no bus to reach this copy again: the log window stays up, as the way back.
    ASSERT_TRUE(log.isLogWindowVisible());
    auto* logWindow = dynamic_cast<QWidget*>(log.window());
    emit menuOf(logWindow, 2)->aboutToShow();
    EXPECT_FALSE(menus->toggleLogWindowAction->isEnabled());

    delegate->debugMessage("hidden probe");
    menus->toggleDebugModeAction->trigger();
    delegate->debugMessage("shown probe");
    EXPECT_TRUE(log.text().contains("shown probe") && !log.text().contains("hidden probe"));

    // The drive commands go to the drive whose window is in front.
    std::shared_ptr<KTLSyncController> controller = controllerOf(drive);
    controller->show();
    auto* window = dynamic_cast<QWidget*>(controller->window());
    ASSERT_TRUE(toFront(window));
    emit menuOf(window, 1)->aboutToShow();
    EXPECT_TRUE(menus->syncAction->isEnabled());
    menus->toggleContinuousSyncAction->trigger();
    EXPECT_TRUE(controller->continuousSyncState());
    ASSERT_TRUE(toFront(logWindow));
    emit menuOf(window, 1)->aboutToShow();
    EXPECT_FALSE(menus->syncAction->isEnabled() || menus->toggleContinuousSyncAction->isChecked());

    // Start at login is on from the first start until turned off, and the next start remembers.
    const std::string entry = xdg("XDG_CONFIG_HOME") + "/autostart/com.orvane.Pellora.desktop";
    for (bool on : {true, false}) {
        delegate->validateUserInterfaceItem(delegate->menus()->startAtLoginAction);
        EXPECT_EQ(delegate->menus()->startAtLoginAction->isChecked(), on);
        EXPECT_EQ(readFile(entry).contains("\nExec=\""), on);
        if (!on) break;
        delegate->menus()->startAtLoginAction->trigger();
        EXPECT_FALSE(pathExists(entry));
        release();
        launch();
    }
}

TEST_F(Delegate, ArrivingDrivesThatFailTheChecksGetAControllerButNoSyncAndNoAlert) {
    launch();
    const std::string other = makeFolder(dir / "EXT4");
    prepareDrive(other, {"~/Sites"}, "ext4-drive");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-unprepared"));
    ASSERT_TRUE(table.add(other, "/dev/pellora-ext4", "ext4"));
    ASSERT_TRUE(table.add(makeFolder(dir / "share"), "server:/export", "nfs4"));
    ASSERT_TRUE(runUntil([&] { return delegate->syncControllers().size() == 2; }));
    runFor(1300);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(delegate->isBusy());

    // Accepted once the user lists its file system; a new arrival then syncs it.
    PreferenceDomain::standardUserDefaults().setObject(QVariantList{"hfsplus", "ext4"},
                                                       "accepted-file-systems");
    // Never synced here: asked first; Cancel leaves all as it was, so the next arrival asks again.
    for (const QString answer : {"Cancel", "Sync"}) {
        EXPECT_FALSE(pathExists(other + "/Tolvex") || controllerOf(other)->isUserSetupForSync());
        ASSERT_TRUE(table.remove("/dev/pellora-ext4"));
        ASSERT_TRUE(runUntil([&] { return delegate->syncControllers().size() == 1; }));
        ASSERT_TRUE(table.add(other, "/dev/pellora-ext4", "ext4"));
        QMessageBox* box = nullptr;
        ASSERT_TRUE(runUntil([&] {
            box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            return box && box->objectName() == "_firstSyncAlert";
        }));
        EXPECT_TRUE(box->text().contains("\"EXT4\"")) << box->text().toStdString();
        EXPECT_EQ(box->informativeText(), "~/Sites");
        for (QAbstractButton* button : box->buttons())
            if (button->text() == answer) button->click();
        runFor(1300);
    }
    ASSERT_TRUE(runUntil([&] { return pathExists(other + "/Tolvex") && !delegate->isBusy(); }));
    std::shared_ptr<KTLSyncController> synced = controllerOf(other);
    ASSERT_TRUE(table.remove("/dev/pellora-ext4"));
    EXPECT_TRUE(runUntil([&] { return synced->workerEnded(); }));
    // The spent delayed call still holds the controller, and its window, until deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

namespace {

// The desktop's notification service, standing in: what it was asked to show.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    QStringList shown;  // summary and body
  public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        shown << summary + " | " + body;
        return uint(shown.size());
    }
    void CloseNotification(uint) {}
};

std::vector<QMessageBox*> alertsUp() {
    std::vector<QMessageBox*> alerts;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget);
            box && box->objectName() == "_alert" && box->isVisible())
            alerts.push_back(box);
    return alerts;
}

// The delegate serving scripts and talking to the desktop on a bus of the test's own.
class DelegateOnABus : public Delegate {
  public:
    static void SetUpTestSuite() { usePrivateBus(); }

  protected:
    // Sends an event about the drive from another connection; the answer comes while the
    // events are served.
    QDBusPendingCall send(FourCharCode eventID, const std::optional<AEDescriptor>& items = {}) {
        return sendWith(eventID, {{AEKeyword::directObject, furl("file://" + drive)},
                                  {kItemsKeyword, items.value_or(AEDescriptor())}});
    }
    using Params = std::vector<std::pair<FourCharCode, AEDescriptor>>;
    QDBusPendingCall sendWith(FourCharCode eventID, const Params& params) {
        AEDescriptor event = AEDescriptor::appleEventWithEventClass(kSyncEventClass, eventID);
        for (const auto& [keyword, value] : params)
            if (value.descriptorType() != AEType::null) event.setParamDescriptor(value, keyword);
        return client.asyncCall(eventCallMessage(event, true, QLatin1String(kScriptingService)),
                                20000);
    }
    static AEDescriptor furl(const std::string& url) {
        return AEDescriptor::descriptorWithDescriptorType(AEType::fileURL,
                                                          QByteArray::fromStdString(url));
    }
    static AEDescriptor replyOf(const QDBusPendingCall& call) {
        return decodeEventReply(call.reply()).value_or(AEDescriptor());
    }

    QDBusConnection client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "c");
};

}  // namespace

// Every command that cannot be carried out answers -50 with its reason, and changes nothing.
TEST_F(DelegateOnABus, ACommandThatCannotBeCarriedOutAnswersParamErrWithItsReason) {
    prepareDrive(drive, {"~/Sites"}, "script-drive");
    ASSERT_TRUE(table.add(drive, "/dev/pellora-script"));
    const std::string fresh = makeFolder(dir / "FRESH"), ext4 = makeFolder(dir / "EXT4");
    prepareDrive(ext4, {"~/Sites"}, "script-ext4");
    ASSERT_TRUE(table.add(fresh, "/dev/pellora-fresh"));
    ASSERT_TRUE(table.add(ext4, "/dev/pellora-ext4", "ext4"));
    launch();
    const AEDescriptor mine = furl("file://" + drive), sites = furl("file://" + drive + "/Sites"),
                       text = AEDescriptor::descriptorWithString(QString::fromStdString(drive));
    const auto list = [](std::initializer_list<AEDescriptor> items) {
        AEDescriptor list = AEDescriptor::listDescriptor();
        for (const AEDescriptor& item : items) list.insertDescriptor(item, 0);
        return list;
    };
    const FourCharCode direct = AEKeyword::directObject, items = kItemsKeyword,
                       state = kContinuousSyncStateKeyword, setList = kSetSyncListEvent;
    // Each row: the event, its parameters and the reason given.
    const std::tuple<FourCharCode, Params, const char*> cases[] = {
        {kQueryEvent, {{direct, text}}, "unable to retrieve main URL"},
        {kGetSyncListEvent, {{direct, furl("https://x/DRIVE")}}, "unable to retrieve main URL"},
        {kStartEvent, {{direct, furl("DRIVE")}}, "unable to retrieve main URL"},
        {kStatusEvent, {}, "unable to retrieve main URL"},
        {kQueryEvent, {{direct, furl("file://" + ext4)}}, "drive is not valid for sync"},
        {kGetSyncListEvent, {{direct, furl("file://" + fresh)}}, "syncList is empty"},
        {setList, {{direct, mine}}, "unable to retrieve ITMZ property"},
        {setList, {{direct, mine}, {items, mine}}, "ITMZ property not typeAEList"},
        {setList,
         {{direct, mine}, {items, list({sites, sites, furl("http://x/y")})}},
         "URL for item 3 is not a fileURL"},
        {setList, {{direct, mine}, {items, list({sites, text})}}, "cannot retrieve URL for item 2"},
        // A name that isn't UTF-8 can't be kept in a list.
        {setList,
         {{direct, mine}, {items, list({furl("file:///odd%FFname")})}},
         "cannot retrieve URL for item 1"},
        {kSetContinuousSyncStateEvent, {{direct, mine}}, "unable to retrieve CSSP property"},
        {kSetContinuousSyncStateEvent,
         {{direct, mine}, {state, AEDescriptor::descriptorWithInt32(0)}},
         "CSSP property not typeTrue or typeFalse"},
    };
    for (const auto& [eventID, params, reason] : cases) {
        QDBusPendingCall call = sendWith(eventID, params);
        ASSERT_TRUE(runUntil([&] { return call.isFinished(); })) << reason;
        const AEDescriptor reply = replyOf(call);
        EXPECT_EQ(reply.paramDescriptorForKeyword(AEKeyword::errorNumber)->int32Value(), -50);
        EXPECT_EQ(reply.paramDescriptorForKeyword(AEKeyword::errorString)->stringValue(), reason);
    }
    runFor(300);
    EXPECT_FALSE(delegate->isBusy());
    EXPECT_EQ(controllerOf(drive)->shadowedSyncList(), QStringList{"~/Sites"});
}

TEST_F(DelegateOnABus, ABusyDriveHoldsAScriptsAnswerUntilItsAlertIsDismissed) {
    std::shared_ptr<KTLSyncController> controller = busyDrive();
    QDBusPendingCall start = send(kStartEvent);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 1; }));
    AEDescriptor newList = AEDescriptor::listDescriptor();
    newList.insertDescriptor(*OrvaneUtilities::descriptorWithPathAsCFURL(dir / "Other"), 0);
    QDBusPendingCall setList = send(kSetSyncListEvent, newList);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 2; }));

    // Another call is answered while both alerts are up.
    QDBusPendingCall state = send(kGetContinuousSyncStateEvent);
    ASSERT_TRUE(runUntil([&] { return state.isFinished(); }));
    EXPECT_EQ(replyOf(state).paramDescriptorForKeyword(AEKeyword::directObject),
              OrvaneUtilities::descriptorWithBOOL(controller->continuousSyncState()));
    EXPECT_FALSE(start.isFinished() || setList.isFinished());

    // Each alert lets its own answer go; a busy drive is not an error of the command.
    std::vector<QMessageBox*> alerts = alertsUp();
    alerts[0]->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(runUntil([&] { return start.isFinished() || setList.isFinished(); }));
    runFor(200);
    EXPECT_NE(start.isFinished(), setList.isFinished());
    alerts[1]->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(runUntil([&] { return start.isFinished() && setList.isFinished(); }));
    for (const QDBusPendingCall& answered : {start, setList})
        EXPECT_EQ(replyOf(answered),
                  AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer));
    EXPECT_EQ(controller->shadowedSyncList(), QStringList{"~/Sites"});

    // An alert still up when the application goes lets its answer go too.
    QDBusPendingCall late = send(kStartEvent);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 1; }));
    // The drive is held (unmounting it fails) until its queue drains.
    EXPECT_TRUE(delegate->holdsDrive(controller.get()));
    answerTheQuestion(controller);
    EXPECT_TRUE(runUntil([&] { return !delegate->holdsDrive(controller.get()); }));
    EXPECT_FALSE(late.isFinished());
    release();
    ASSERT_TRUE(runUntil([&] { return late.isFinished(); }));
    EXPECT_FALSE(late.isError()) << late.error().message().toStdString();
    EXPECT_TRUE(alertsUp().empty());
}

TEST_F(DelegateOnABus, TheDesktopHearsOfQuestionsNobodySeesAndOfCompletedRuns) {
    NotificationService service;
    QDBusConnection desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
    ASSERT_TRUE(desktop.registerObject("/org/freedesktop/Notifications", &service,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(desktop.registerService("org.freedesktop.Notifications"));
    std::shared_ptr<KTLSyncController> controller = busyDrive();
    ASSERT_TRUE(runUntil([&] { return QApplication::activeWindow(); }));
    runFor(500);
    EXPECT_TRUE(service.shown.isEmpty());  // the question is in front of the user
    QApplication::setActiveWindow(nullptr);
    ASSERT_TRUE(runUntil([&] { return service.shown.size() == 1; }));
    EXPECT_TRUE(service.shown[0].startsWith("\"DRIVE\" is waiting for an answer"));
    EXPECT_EQ(delegate->trayState(), KTLTrayState::NeedsAttention);
    answerTheQuestion(controller);
    ASSERT_TRUE(runUntil([&] { return service.shown.size() == 2; }));
    EXPECT_TRUE(service.shown[1].startsWith("Sync of \"DRIVE\" completed"));
    EXPECT_EQ(delegate->trayState(), KTLTrayState::Idle);
    QDBusConnection::disconnectFromBus("desktop");
}

#include "KTLAppDelegate_test.moc"
