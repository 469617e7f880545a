#include "KTLAppDelegate.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "KTLDesktopSession.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLMenus.h"
#include "KTLNotifications.h"
#include "KTLPreferencesWindow.h"
#include "KTLStartAtLogin.h"
#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "KTLUserDefaults.h"
#include "KTLVolumeChooser.h"
#include "LogController.h"
#include "LogWindow.h"
#include "MainThread.h"
#include "MountMonitor.h"
#include "MountTable.h"
#include "OrvaneUtilities+String.h"
#include "PreferenceDomain.h"

#ifndef PELLORA_HELP_PAGE
#define PELLORA_HELP_PAGE "/usr/local/share/doc/pellora/Pellora.html"
#endif

namespace {

KTLAppDelegate* sSharedAppDelegate = nullptr;

// Where the help page lies relative to the program, installed or in the build tree.
constexpr const char kRelativeHelpPage[] = "../share/doc/pellora/Pellora.html";

}  // namespace

KTLAppDelegate::KTLAppDelegate(QObject* parent) : QObject(parent) {
    registerDefaults();
    if (sSharedAppDelegate) return;  // the first one is the application's
    sSharedAppDelegate = this;

    installSyncWindows([this](KTLSyncWindow* window) { watchSyncWindow(window); });
    installLogWindow();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::setWindowIcon(pelloraIcon());
    _notifications = new KTLNotifications(this);
    _notifications->setActivationHandler([this](const void* subject) {
        showDriveWindow(static_cast<const KTLSyncController*>(subject));
    });
    KTLSyncController::setHelpHandler([] {
        if (KTLAppDelegate* delegate = existingInstance()) delegate->doHelp();
    });
    // A drive is held from the moment work is queued until its queue drains; the worker
    // reports the drain from its own thread, and the hold is the main thread's business.
    KTLSyncController::setBusyObserver([](const std::shared_ptr<KTLSyncController>& controller) {
        std::weak_ptr<KTLSyncController> weak = controller;
        auto update = [weak] {
            KTLAppDelegate* delegate = existingInstance();
            if (auto strong = weak.lock(); delegate && strong) delegate->updateBusyHold(strong);
        };
        if (isMainThread())
            update();
        else
            runOnMainThread(update);
    });
    installMenus();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { applicationWillTerminate(); });
    }
}

KTLAppDelegate::~KTLAppDelegate() {
    if (sSharedAppDelegate != this) return;
    closeScriptAlerts();
    installSyncWindows();
    KTLSyncController::setBusyObserver(nullptr);
    KTLSyncController::setHelpHandler(nullptr);
    for (const auto& [controller, fd] : _busyHolds) close(fd);
    _busyHolds.clear();
    sSharedAppDelegate = nullptr;
}

KTLAppDelegate* KTLAppDelegate::sharedInstance() {
    if (!sSharedAppDelegate) new KTLAppDelegate(QCoreApplication::instance());
    return sSharedAppDelegate;
}

KTLAppDelegate* KTLAppDelegate::existingInstance() {
    return sSharedAppDelegate;
}

void KTLAppDelegate::registerDefaults() {
    QVariantMap defaults;
    defaults.insert(QStringLiteral("debug"), false);
    defaults.insert(QStringLiteral("sync-on-connect"), true);
    defaults.insert(QStringLiteral("start-at-login"), true);
    defaults.insert(QStringLiteral("accepted-file-systems"),
                    QVariantList{QStringLiteral("hfs"), QStringLiteral("hfsplus")});
    PreferenceDomain::standardUserDefaults().registerDefaults(defaults);
    KTLUserDefaults::sharedInstance().registerDefaults(QVariantMap());
}

// --- Accessors ---

QString KTLAppDelegate::primaryMACAddress() {
    if (!_primaryMACAddress) {
        // A failed look-up is tried again next time.
        if (auto address = OrvaneUtilities::stringWithPrimaryMACAddressWithColons(false))
            _primaryMACAddress = *address;
    }
    return _primaryMACAddress.value_or(QString());
}

bool KTLAppDelegate::isBusy() const {
    for (const auto& [device, controller] : _syncControllers)
        if (controller->busy()) return true;
    return false;
}

// --- SyncControllerManagement ---

std::shared_ptr<KTLSyncController> KTLAppDelegate::syncControllerForMountPoint(
    const std::string& mountPoint, bool* createdNewObject) {
    if (createdNewObject) *createdNewObject = false;
    const std::optional<QString> device =
        OrvaneUtilities::stringWithDevNodeFromMountPoint(mountPoint);
    if (!device) return nullptr;
    auto found = _syncControllers.find(*device);
    if (found != _syncControllers.end()) return found->second;
    std::shared_ptr<KTLSyncController> controller =
        KTLSyncController::controllerForMountPoint(mountPoint);
    if (!controller) return nullptr;
    _syncControllers.emplace(*device, controller);
    if (createdNewObject) *createdNewObject = true;
    updateTray();
    return controller;
}

bool KTLAppDelegate::isRegistered(const KTLSyncController* controller) const {
    return !deviceOf(controller).isNull();
}

QString KTLAppDelegate::deviceOf(const KTLSyncController* controller) const {
    for (const auto& [device, registered] : _syncControllers)
        if (registered.get() == controller) return device;
    return QString();
}

void KTLAppDelegate::unregister(const QString& device) {
    auto found = _syncControllers.find(device);
    if (found == _syncControllers.end()) return;
    std::shared_ptr<KTLSyncController> controller = found->second;
    // Out of the registry first: the death task makes it busy, and a drive that has left must
    // not be held.
    _syncControllers.erase(found);
    releaseBusyHold(controller.get());
    _activity.erase(controller.get());
    if (_notifications) _notifications->withdraw(controller.get());
    controller->driveDisappeared(this);
    updateTray();
}

// --- Application delegate ---

void KTLAppDelegate::applicationWillFinishLaunching() {
    setupLog();
    std::vector<MountEntry> volumes = mountedLocalVolumes();
    QStringList paths;
    for (const MountEntry& volume : volumes) paths.append(pathText(volume.mountPoint));
    debugMessage(KTLFormatWith(QStringLiteral("-applicationWillFinishLaunching: mountedVolumes %@"),
                               propertyDescription(paths)));
    for (const MountEntry& volume : volumes) syncControllerForMountPoint(volume.mountPoint);

    _mountMonitor = new MountMonitor(this);
    connect(_mountMonitor, &MountMonitor::appeared, this, &KTLAppDelegate::diskAppeared);
    connect(_mountMonitor, &MountMonitor::disappeared, this, &KTLAppDelegate::diskDisappeared);
    connect(_mountMonitor, &MountMonitor::descriptionChanged, this,
            &KTLAppDelegate::diskDescriptionChanged);
    if (!_mountMonitor->start())
        debugMessage(QStringLiteral(
            "-applicationWillFinishLaunching: the mount table can't be watched; drives that come "
            "and go are not seen."));
    installEventHandlers();
}

void KTLAppDelegate::applicationDidFinishLaunching() {
    setAppHasFinishedLaunching(true);
    installTray();
    KTLStartAtLogin::applyAtStart();
}

bool KTLAppDelegate::applicationShouldTerminate() const {
    return !isBusy();
}

void KTLAppDelegate::applicationWillTerminate() {
    if (_logIsSetUp) flushLog();
    _logIsSetUp = false;
}

void KTLAppDelegate::terminate() {
    QCoreApplication::quit();
}

bool KTLAppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance() &&
        !applicationShouldTerminate()) {
        debugMessage(QStringLiteral("-applicationShouldTerminate: a drive is busy; not quitting."));
        event->ignore();
        return true;
    }
    // The user turned to another application: a question waiting on a drive window may now go
    // unseen. Moving between two Pellora windows deactivates one just before the other.
    if (event->type() == QEvent::WindowDeactivate && watched->isWidgetType())
        QTimer::singleShot(300, this, [this] { noticeWaitingQuestions(); });
    return QObject::eventFilter(watched, event);
}

bool KTLAppDelegate::openFile(const std::string& path) {
    openFiles({path});
    return true;
}

void KTLAppDelegate::openFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        // A path given relative to where the program was started would make a controller
        // whose mount point means something else from here on.
        std::string absolute = OrvaneUtilities::stringWithRealPath(path).value_or(path);
        startSyncForDriveAt(absolute);
    }
}

// --- Menu commands ---

std::string KTLAppDelegate::helpPagePath() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = program.parent_path() / kRelativeHelpPage;
        if (std::filesystem::exists(beside, error)) return beside.lexically_normal().string();
    }
    return PELLORA_HELP_PAGE;
}

void KTLAppDelegate::doHelp() {
    const std::string page = helpPagePath();
    const QUrl url = QUrl::fromLocalFile(QFile::decodeName(page.c_str()));
    auto cannotOpen = [this, page] {
        runAlert(KTLLocalizedString(QStringLiteral("Pellora Help")),
                 KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                   "The help page could not be opened. You can open it yourself "
                                   "in a web browser: %@")),
                               pathText(page)));
    };
    if (access(page.c_str(), R_OK) != 0) {
        cannotOpen();
        return;
    }
    // xdg-open says when it found nothing to open the page with; the desktop services don't.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(url)) cannotOpen();
        return;
    }
    auto* process = new QProcess(this);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this,
            [process, cannotOpen](int code, QProcess::ExitStatus status) {
                process->deleteLater();
                if (status != QProcess::NormalExit || code != 0) cannotOpen();
            });
    connect(process, &QProcess::errorOccurred, this,
            [process, cannotOpen](QProcess::ProcessError e) {
                if (e != QProcess::FailedToStart) return;
                process->deleteLater();
                cannotOpen();
            });
    process->start(opener, {url.toString(QUrl::FullyEncoded)});
}

void KTLAppDelegate::doSelectDevice() {
    const std::optional<std::string> path = KTLVolumeChooser::chooseVolume(
        [this](const std::string& mountPoint) { return volumeState(mountPoint); });
    if (!path) return;
    if (!isDriveValidForSync(*path, false)) return;
    if (!isDriveSetupForSync(*path)) {
        if (!setupDriveForSync(*path)) return;
        showSyncListHint(*path);
    }
    startSyncForDriveAt(*path);
}

bool KTLAppDelegate::setupDriveForSync(const std::string& mountPoint) {
    setSyncList({QStringLiteral("~/Sites"), QStringLiteral("~/Shared")}, mountPoint);
    return true;
}

void KTLAppDelegate::runAlert(const QString& title, const QString& message) {
    // A script's caller waits for its answer, but the bus and the other callers must not.
    if (_runningCommand) {
        showScriptAlert(title, message, _runningCommand);
        return;
    }
    QMessageBox box(QMessageBox::Warning, title, message, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("_alert"));
    box.button(QMessageBox::Ok)->setText(KTLLocalizedString(QStringLiteral("OK")));
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void KTLAppDelegate::afterDelay(const std::shared_ptr<KTLSyncController>& controller,
                                std::function<void(KTLSyncController&)> work) {
    QTimer::singleShot(1000, this, [this, controller, work = std::move(work)] {
        // A drive that left in the meantime has a dead worker: work queued now would never run
        // and would keep the controller busy for good.
        if (!isRegistered(controller.get())) {
            debugMessage(QStringLiteral("-afterDelay: \"%1\" has gone; nothing queued.")
                             .arg(pathText(controller->deviceMountPoint())));
            return;
        }
        work(*controller);
    });
}
