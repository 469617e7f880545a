// Alerts that scripting commands show, in this process so that they can be dismissed: the
// command's answer waits for the user while other calls are answered.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>

#include "AEDBusCoding.h"
#include "AppSupport.h"
#include "FakeMountTable.h"
#include "KTLAppDelegate.h"
#include "KTLSyncController.h"
#include "LogController.h"
#include "OrvaneUtilities+Descriptor.h"
#include "PreferenceDomain.h"
#include "PrivateBus.h"
#include "ScriptingInterface.h"

namespace {

struct AlertEnvironment : testing::Environment {
    std::unique_ptr<TestHome> home;
    void SetUp() override { home = std::make_unique<TestHome>(); }
    void TearDown() override { home.reset(); }
};
auto* const kEnv = testing::AddGlobalTestEnvironment(new AlertEnvironment);

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

}  // namespace

inline void PrintTo(const AEDescriptor& descriptor, std::ostream* out) {
    *out << descriptor.description().toStdString();
}

namespace {

std::vector<QMessageBox*> alertsUp() {
    std::vector<QMessageBox*> alerts;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget);
            box && box->objectName() == QLatin1String("_alert") && box->isVisible())
            alerts.push_back(box);
    return alerts;
}

class ScriptingAlert : public testing::Test {
  public:
    static void SetUpTestSuite() { usePrivateBus(); }

  protected:
    void SetUp() override {
        drive = makeFolder(dir / "DRIVE");
        PreferenceDomain::standardUserDefaults().setBool(true, QStringLiteral("debug"));
        client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("c"));
        ASSERT_TRUE(client.isConnected());
    }
    void TearDown() override {
        endWorkersAndRelease(delegate);
        QDBusConnection::disconnectFromBus(QStringLiteral("c"));
        PreferenceDomain::standardUserDefaults().removeObjectForKey(QStringLiteral("debug"));
    }
    // Sends an event about the drive from another connection; the answer comes while the
    // events are served.
    QDBusPendingCall send(FourCharCode eventID, const std::optional<AEDescriptor>& items = {}) {
        AEDescriptor event = AEDescriptor::appleEventWithEventClass(kSyncEventClass, eventID);
        event.setParamDescriptor(*OrvaneUtilities::descriptorWithPathAsCFURL(drive),
                                 AEKeyword::directObject);
        if (items) event.setParamDescriptor(*items, kItemsKeyword);
        return client.asyncCall(eventCallMessage(event, true, QLatin1String(kScriptingService)),
                                20000);
    }
    static AEDescriptor replyOf(const QDBusPendingCall& call) {
        return decodeEventReply(call.reply()).value_or(AEDescriptor());
    }
    // A drive whose sync waits on a question nobody answers: busy until the test answers it.
    std::shared_ptr<KTLSyncController> busyDrive() {
        prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("alert-drive"));
        writeTree(drive + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n");
        EXPECT_TRUE(table.add(drive, "/dev/pellora-alert"));
        delegate = std::make_unique<KTLAppDelegate>();
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
        delegate->startSyncForDriveAt(drive);
        std::shared_ptr<KTLSyncController> controller =
            delegate->syncControllerForMountPoint(drive);
        EXPECT_TRUE(runUntil([&] { return controller->busy(); }, 3000));
        return controller;
    }
    void answerTheQuestion(const std::shared_ptr<KTLSyncController>& controller) {
        auto* window = dynamic_cast<QWidget*>(controller->window());
        auto* copy = window->findChild<QPushButton*>(QStringLiteral("_missingCopyButton"));
        ASSERT_TRUE(runUntil([&] { return copy->isVisible(); }));
        copy->click();
        ASSERT_TRUE(runUntil([&] { return !controller->busy(); }, 10000));
    }
    QString log() const { return LogController::sharedInstance().text(); }

    TempDir dir;
    FakeMountTable table{dir / "mountinfo"};
    std::string drive;
    QDBusConnection client{QString()};
    std::unique_ptr<KTLAppDelegate> delegate;
};

}  // namespace

TEST_F(ScriptingAlert, ABusyDriveHoldsTheAnswerUntilTheAlertIsDismissedWhileOthersAreServed) {
    std::shared_ptr<KTLSyncController> controller = busyDrive();
    ASSERT_TRUE(delegate->eventServer());

    QDBusPendingCall start = send(kStartEvent);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 1; }));
    AEDescriptor newList = AEDescriptor::listDescriptor();
    newList.insertDescriptor(*OrvaneUtilities::descriptorWithPathAsCFURL(dir / "Other"), 0);
    QDBusPendingCall setList = send(kSetSyncListEvent, newList);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 2; }));
    std::vector<QMessageBox*> alerts = alertsUp();
    QStringList titles;
    for (QMessageBox* box : alerts) titles << box->windowTitle();
    titles.sort();
    EXPECT_EQ(titles, (QStringList{QStringLiteral("Cannot Start Sync."),
                                   QStringLiteral("Cannot Update Sync List.")}));
    EXPECT_EQ(alerts[0]->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(alerts[0]->text(),
              QStringLiteral("The drive \"DRIVE\" is already involved in a sync operation."));

    // Another call is answered while both alerts are up.
    QDBusPendingCall state = send(kGetContinuousSyncStateEvent);
    ASSERT_TRUE(runUntil([&] { return state.isFinished(); }));
    EXPECT_EQ(replyOf(state).paramDescriptorForKeyword(AEKeyword::directObject),
              OrvaneUtilities::descriptorWithBOOL(controller->continuousSyncState()));
    EXPECT_FALSE(start.isFinished());
    EXPECT_FALSE(setList.isFinished());
    EXPECT_FALSE(log().contains(QStringLiteral("< handleStartEvent")));

    for (QMessageBox* box : alerts) {
        const bool isStart = box->windowTitle() == QLatin1String("Cannot Start Sync.");
        box->button(QMessageBox::Ok)->click();
        QDBusPendingCall& answered = isStart ? start : setList;
        ASSERT_TRUE(runUntil([&] { return answered.isFinished(); }));
        // A busy drive is not an error of the command.
        EXPECT_EQ(replyOf(answered),
                  AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer));
    }
    EXPECT_TRUE(log().contains(QStringLiteral("< handleStartEvent: 'aevt'\\'ansr'{ }.")))
        << log().toStdString();
    EXPECT_EQ(controller->shadowedSyncList(), QStringList{QStringLiteral("~/Sites")});
    EXPECT_TRUE(runUntil([] { return alertsUp().empty(); }));

    // An alert still up when the application goes lets its answer go too.
    QDBusPendingCall late = send(kStartEvent);
    ASSERT_TRUE(runUntil([] { return alertsUp().size() == 1; }));
    answerTheQuestion(controller);
    EXPECT_FALSE(late.isFinished());
    controller->driveDisappeared();
    ASSERT_TRUE(runUntil([&] { return controller->workerEnded(); }, 5000));
    delegate.reset();
    ASSERT_TRUE(runUntil([&] { return late.isFinished(); }));
    EXPECT_FALSE(late.isError()) << late.error().message().toStdString();
    EXPECT_TRUE(alertsUp().empty());
}

TEST_F(ScriptingAlert, TheDesktopHearsOfQuestionsNobodySeesOfCompletedAndOfFailedRuns) {
    NotificationService service;
    QDBusConnection desktop =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("desktop"));
    ASSERT_TRUE(desktop.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(desktop.registerService(QStringLiteral("org.freedesktop.Notifications")));
    const std::string failing = makeFolder(dir / "FAILING");
    prepareDrive(failing, {QStringLiteral("~/Sites")}, QStringLiteral("failing-drive"));
    writeTree(failing + "/Tolvex", "in the way\n");
    ASSERT_TRUE(table.add(failing, "/dev/pellora-failing"));
    std::shared_ptr<KTLSyncController> controller = busyDrive();
    auto* sheet = dynamic_cast<QWidget*>(controller->window())
                      ->findChild<QDialog*>(QStringLiteral("_missingAlertPanel"));
    ASSERT_TRUE(runUntil([&] { return sheet->isVisible() && QApplication::activeWindow(); }));
    runUntil([] { return false; }, 500);
    EXPECT_TRUE(service.shown.isEmpty());  // the question is in front of the user

    QApplication::setActiveWindow(nullptr);
    ASSERT_TRUE(runUntil([&] { return service.shown.size() == 1; }));
    EXPECT_TRUE(service.shown[0].startsWith("\"DRIVE\" is waiting for an answer | \"Sites\" is"))
        << service.shown[0].toStdString();
    EXPECT_EQ(delegate->trayState(), KTLTrayState::NeedsAttention);
    EXPECT_TRUE(trayToolTipFor(delegate->driveStatuses())
                    .contains(QStringLiteral("DRIVE: waiting for an answer, never synced")));
    // Clicked: the window and its question come forward.
    desktop.send(QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                            QStringLiteral("org.freedesktop.Notifications"),
                                            QStringLiteral("ActionInvoked"))
                 << 1u << QStringLiteral("default"));
    ASSERT_TRUE(runUntil([&] { return QApplication::activeWindow(); }));

    answerTheQuestion(controller);
    ASSERT_TRUE(runUntil([&] { return service.shown.size() == 2; }));
    EXPECT_EQ(service.shown[1], QStringLiteral("Sync of \"DRIVE\" completed | 1 item is in sync."));
    EXPECT_EQ(delegate->trayState(), KTLTrayState::Idle);
    EXPECT_TRUE(trayToolTipFor(delegate->driveStatuses())
                    .contains(QStringLiteral("DRIVE: idle, last synced ")));

    delegate->startSyncForDriveAt(failing);
    ASSERT_TRUE(runUntil([&] { return service.shown.size() == 3; }, 5000));
    EXPECT_TRUE(service.shown[2].startsWith(
        "Sync of \"FAILING\" failed | Something that is not a folder is in the way of \""))
        << service.shown[2].toStdString();
    auto* failed = dynamic_cast<QWidget*>(delegate->syncControllerForMountPoint(failing)->window());
    auto* ok = failed->findChild<QPushButton*>(QStringLiteral("_alertOKButton"));
    ASSERT_TRUE(runUntil([&] { return ok->isVisible(); }));
    ok->click();
    ASSERT_TRUE(runUntil([&] { return !delegate->isBusy(); }));
    EXPECT_EQ(delegate->trayState(), KTLTrayState::NeedsAttention);  // until the next run
    EXPECT_EQ(service.shown.size(), 3);
    QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
}

#include "ScriptingAlert_test.moc"
