#include <QAction>
#include <QApplication>
#include <cstdlib>

#include "KTLAppDelegate.h"
#include "KTLLocalizedString.h"
#include "KTLMenus.h"
#include "KTLStartAtLogin.h"
#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "LogController.h"
#include "PreferenceDomain.h"

namespace {

const QString kDebugKey = QStringLiteral("debug");

bool debugMode() {
    return PreferenceDomain::standardUserDefaults().boolForKey(kDebugKey);
}

}  // namespace

std::string KTLAppDelegate::logFilePath() {
    const char* state = getenv("XDG_STATE_HOME");
    std::string folder;
    // A relative XDG_STATE_HOME is invalid and ignored, as XDG says.
    if (state && state[0] == '/') {
        folder = state;
    } else {
        const char* home = getenv("HOME");
        folder = std::string(home && *home ? home : "/") + "/.local/state";
    }
    return folder + "/Pellora/Pellora.log";
}

void KTLAppDelegate::setupLog() {
    LogController& log = LogController::sharedInstance();
    log.setLogFilename(logFilePath());
    log.setFrameAutosaveName(QStringLiteral("com.orvane.pellora.log"));
    log.setWindowTitle(KTLLocalizedString(QStringLiteral("Pellora Log")));
    log.readLogFile();
    log.setSuppressTimeStamp(false);
    _logIsSetUp = true;
    logMessage(KTLLocalizedString(QStringLiteral("Pellora starting.")));
}

void KTLAppDelegate::flushLog() {
    logMessage(KTLLocalizedString(QStringLiteral("Pellora stopping.")));
    LogController::sharedInstance().writeLogFile();
}

void KTLAppDelegate::logMessage(const QString& message) {
    LogController::sharedInstance().addLogString(message, true, true);
}

void KTLAppDelegate::debugMessage(const QString& message) {
    if (debugMode()) LogController::sharedInstance().addLogString(message, false, true);
}

void KTLAppDelegate::clearLogWindow() {
    LogController::sharedInstance().clearLog();
}

void KTLAppDelegate::toggleLogWindow() {
    LogController& log = LogController::sharedInstance();
    if (log.isLogWindowVisible())
        log.hide();
    else
        log.show();
}

void KTLAppDelegate::toggleDebugMode() {
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    defaults.setBool(!defaults.boolForKey(kDebugKey), kDebugKey);
    defaults.synchronize();
}

std::shared_ptr<KTLSyncController> KTLAppDelegate::frontController() const {
    auto* window = dynamic_cast<KTLSyncWindow*>(QApplication::activeWindow());
    if (!window) return nullptr;
    std::shared_ptr<KTLSyncController> controller = window->controller();
    // The window of a drive that has left lingers only until it is closed.
    return controller && isRegistered(controller.get()) ? controller : nullptr;
}

bool KTLAppDelegate::validateUserInterfaceItem(QAction* item) {
    const QString action = item->objectName();
    if (action == QLatin1String("toggleLogWindow")) {
        const bool visible = LogController::sharedInstance().isLogWindowVisible();
        item->setText(withMnemonic(
            KTLLocalizedString(visible ? QStringLiteral("Hide Log") : QStringLiteral("Show Log")),
            u'L'));
        // With no tray, and no bus to reach this copy by starting another, a hidden log window
        // would leave no way back.
        item->setEnabled(!visible || _trayIcon || _scriptingServed);
    } else if (action == QLatin1String("toggleStartAtLogin")) {
        item->setChecked(KTLStartAtLogin::isEnabled());
    } else if (action == QLatin1String("toggleDebugMode")) {
        item->setChecked(debugMode());
    } else if (action == QLatin1String("sync") || action == QLatin1String("continuousSyncNow") ||
               action == QLatin1String("toggleContinuousSync") ||
               action == QLatin1String("showSyncList")) {
        // Drive commands go to the drive whose window is in front; with none they have no
        // one to go to.
        std::shared_ptr<KTLSyncController> controller = frontController();
        item->setEnabled(controller != nullptr);
        if (action == QLatin1String("toggleContinuousSync"))
            item->setChecked(controller && controller->validateToggleContinuousSyncItem());
    }
    return item->isEnabled();
}

void KTLAppDelegate::installMenus() {
    _menus = new KTLMenus(this);
    _menus->setValidator([this](QAction* item) { validateUserInterfaceItem(item); });
    connect(_menus->selectDeviceAction, &QAction::triggered, this, [this] { doSelectDevice(); });
    connect(_menus->preferencesAction, &QAction::triggered, this, [this] { showPreferences(); });
    connect(_menus->syncListAction, &QAction::triggered, this, [this] { showSyncList(); });
    connect(_menus->helpAction, &QAction::triggered, this, [this] { doHelp(); });
    connect(_menus->startAtLoginAction, &QAction::triggered, this,
            [this] { toggleStartAtLogin(); });
    connect(_menus->quitAction, &QAction::triggered, this, [this] { terminate(); });
    // Work the user asks for starts afresh: an earlier Cancel must not cancel it.
    connect(_menus->syncAction, &QAction::triggered, this, [this] {
        if (auto controller = frontController()) {
            controller->setCancelPending(false);
            controller->sync(this);
        }
    });
    connect(_menus->continuousSyncNowAction, &QAction::triggered, this, [this] {
        if (auto controller = frontController()) {
            controller->setCancelPending(false);
            controller->continuousSyncNow(this);
        }
    });
    connect(_menus->toggleContinuousSyncAction, &QAction::triggered, this, [this] {
        if (auto controller = frontController()) controller->toggleContinuousSync(this);
    });
    connect(_menus->toggleLogWindowAction, &QAction::triggered, this,
            [this] { toggleLogWindow(); });
    connect(_menus->clearLogAction, &QAction::triggered, this, [this] { clearLogWindow(); });
    connect(_menus->toggleDebugModeAction, &QAction::triggered, this,
            [this] { toggleDebugMode(); });
}
