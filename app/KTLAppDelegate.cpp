#include "KTLAppDelegate.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLMenus.h"
#include "KTLPreferencesWindow.h"
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

    installSyncWindows();
    installLogWindow();
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
    controller->driveDisappeared(this);
}

// --- Application delegate ---

void KTLAppDelegate::applicationWillFinishLaunching() {
    setupLog();
    std::vector<MountEntry> volumes = mountedLocalVolumes();
    QStringList paths;
    for (const MountEntry& volume : volumes) paths.append(pathText(volume.mountPoint));
    debugMessage(QStringLiteral("-applicationWillFinishLaunching: mountedVolumes (%1)")
                     .arg(paths.join(QStringLiteral(", "))));
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
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        _trayIcon =
            new QSystemTrayIcon(QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon), this);
        _trayIcon->setToolTip(QStringLiteral("Pellora"));
        _trayIcon->setContextMenu(_menus->applicationMenu());
        _trayIcon->show();
    } else {
        // Without a tray the log window is where the menus are.
        LogController::sharedInstance().show();
    }
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
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(helpPagePath().c_str())));
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
