// The desktop around the application: the tray, notifications, a second start's hand-over and
// starting at login.
#include <QAction>
#include <QApplication>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTimer>

#include "KTLAppDelegate.h"
#include "KTLDesktopSession.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLMenus.h"
#include "KTLNotifications.h"
#include "KTLStartAtLogin.h"
#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "LogController.h"
#include "OrvaneUtilities+String.h"

namespace {

// A log line as the drive's window gets it: time stamp, text, line end.
const QRegularExpression kTimeStamp(QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d "));

QString runOutcome(const char* key, const KTLSyncController& controller) {
    return KTLFormatWith(KTLLocalizedString(QLatin1String(key)), controller.displayName());
}

// Lines that say how far a run got, not what went wrong.
bool isProgressLine(const QString& text) {
    static const QRegularExpression processing = [] {
        const QString format = KTLLocalizedString(QStringLiteral("Processing \"%@\"."));
        const qsizetype at = format.indexOf(QLatin1String("%@"));
        return QRegularExpression(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(format.left(at)) + QLatin1String(".*") +
            QRegularExpression::escape(format.mid(at + 2))));
    }();
    for (const char* key :
         {"Synchronization started.", "Processing interrrupted sync.", "Interrupted sync finished.",
          "Interrupted sync skipped.", "Cleaning up interrupted sync."})
        if (text == KTLLocalizedString(QLatin1String(key))) return true;
    return processing.match(text).hasMatch();
}

}  // namespace

void KTLAppDelegate::watchSyncWindow(KTLSyncWindow* window) {
    const KTLSyncController* controller = window->controller().get();
    QObject* watch = _windowWatch.get();
    connect(window, &KTLSyncWindow::runningChanged, watch, [this, controller](bool running) {
        DriveActivity& activity = _activity[controller];
        if (running && !activity.syncing) {
            activity.lastRunFailed = activity.failureNotified = false;
            activity.lastLine.clear();
        }
        activity.syncing = running;
        updateTray();
    });
    connect(window, &KTLSyncWindow::drawerTextAppended, watch,
            [this, window](const QString& text) { driveLineAppended(window, text); });
    connect(window, &KTLSyncWindow::sheetBegan, watch, [this, controller](const QString& question) {
        DriveActivity& activity = _activity[controller];
        activity.question = question;
        // The failure's own alert: its notification has been sent.
        activity.questionNotified = activity.failureNotified;
        updateTray();
        noticeWaitingQuestions();
    });
    connect(window, &KTLSyncWindow::sheetEnded, watch, [this, controller] {
        DriveActivity& activity = _activity[controller];
        const bool notified = activity.questionNotified && !activity.failureNotified;
        activity.question.clear();
        if (notified && _notifications) _notifications->withdraw(controller);
        updateTray();
    });
}

void KTLAppDelegate::driveLineAppended(KTLSyncWindow* window, const QString& text) {
    const QRegularExpressionMatch stamp = kTimeStamp.match(text);
    if (!stamp.hasMatch()) return;  // debug lines say nothing to the user
    // A controller logs its last line while it is destroyed; a drive that left tells nothing.
    const std::shared_ptr<KTLSyncController> drive = window->controller();
    if (!drive || !isRegistered(drive.get())) return;
    const KTLSyncController* controller = drive.get();
    const QString line = text.mid(stamp.capturedLength()).chopped(text.endsWith('\n') ? 1 : 0);
    DriveActivity& activity = _activity[controller];
    const QString name = drive->displayName();
    if (line == runOutcome("Synchronization of \"%@\" completed successfully.", *drive)) {
        activity.lastRunFailed = false;
        qsizetype items = 0;
        for (const QString& entry : drive->syncItemList())
            items += KTLSyncController::isSafeSyncItem(entry.toStdString());
        if (_notifications)
            _notifications->notify(
                controller,
                KTLFormatWith(KTLLocalizedString(QStringLiteral("Sync of \"%@\" completed")), name),
                KTLFormatWith(
                    KTLLocalizedString(items == 1 ? QStringLiteral("%@ item is in sync.")
                                                  : QStringLiteral("%@ items are in sync.")),
                    QString::number(items)));
    } else if (line ==
               runOutcome("Synchronization of \"%@\" did not complete successfully.", *drive)) {
        activity.lastRunFailed = activity.failureNotified = true;
        const QString reason =
            activity.lastLine.isEmpty()
                ? KTLLocalizedString(QStringLiteral("Check the log for more details."))
                : activity.lastLine;
        if (_notifications)
            _notifications->notify(
                controller,
                KTLFormatWith(KTLLocalizedString(QStringLiteral("Sync of \"%@\" failed")), name),
                reason);
    } else {
        // Lines that begin with a method's name are for debugging.
        if (activity.syncing && !line.startsWith(QLatin1Char('-')) && !isProgressLine(line))
            activity.lastLine = line;
        return;  // a run's lines come by the thousand: the tray changes only at its end
    }
    updateTray();
}

void KTLAppDelegate::noticeWaitingQuestions() {
    // Someone looking at a Pellora window sees the question there.
    if (!_notifications || QApplication::activeWindow()) return;
    for (auto& [controller, activity] : _activity) {
        if (activity.question.isEmpty() || activity.questionNotified || !isRegistered(controller))
            continue;
        activity.questionNotified = true;
        std::shared_ptr<KTLSyncController> drive = _syncControllers.at(deviceOf(controller));
        _notifications->notify(
            controller,
            KTLFormatWith(KTLLocalizedString(QStringLiteral("\"%@\" is waiting for an answer")),
                          drive->displayName()),
            activity.question);
    }
}

std::vector<KTLDriveStatus> KTLAppDelegate::driveStatuses() {
    std::vector<KTLDriveStatus> statuses;
    for (const auto& [device, controller] : _syncControllers) {
        // A volume without a configuration is no Pellora drive (the system disk, for one).
        if (!controller->deviceConfigLoaded()) continue;
        KTLDriveStatus status;
        status.name = controller->displayName();
        if (auto found = _activity.find(controller.get()); found != _activity.end()) {
            status.syncing = found->second.syncing;
            status.questionWaiting = !found->second.question.isEmpty();
            status.lastRunFailed = found->second.lastRunFailed;
        }
        const QDateTime last = controller->lastSyncTime();
        if (last.date().year() >= 1970) status.lastSync = last;
        statuses.push_back(status);
    }
    return statuses;
}

void KTLAppDelegate::installTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Without a tray the log window is where the menus are.
        LogController::sharedInstance().show();
        return;
    }
    for (KTLTrayState state :
         {KTLTrayState::Idle, KTLTrayState::Syncing, KTLTrayState::NeedsAttention})
        _trayIcons[int(state)] = trayIconFor(state);
    _trayIcon = new QSystemTrayIcon(_trayIcons[int(KTLTrayState::Idle)], this);
    _trayIcon->setContextMenu(_menus->applicationMenu());
    connect(_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) activate();
            });
    updateTray();
    _trayIcon->show();
}

void KTLAppDelegate::updateTray() {
    if (!_trayIcon) return;
    const std::vector<KTLDriveStatus> statuses = driveStatuses();
    const QIcon& icon = _trayIcons[int(trayStateFor(statuses))];
    if (icon.cacheKey() != _trayIcon->icon().cacheKey()) _trayIcon->setIcon(icon);
    const QString toolTip = trayToolTipFor(statuses);
    if (toolTip != _trayIcon->toolTip()) _trayIcon->setToolTip(toolTip);
}

void KTLAppDelegate::activate() {
    // The drive that needs the user first, then one at work.
    const KTLSyncController* chosen = nullptr;
    for (const auto& [controller, activity] : _activity) {
        if (!isRegistered(controller)) continue;
        if (!activity.question.isEmpty()) {
            chosen = controller;
            break;
        }
        if (activity.syncing && !chosen) chosen = controller;
    }
    if (chosen) {
        showDriveWindow(chosen);
        return;
    }
    LogController::sharedInstance().show();
}

void KTLAppDelegate::showDriveWindow(const KTLSyncController* controller) {
    if (!isRegistered(controller)) return;
    if (KTLSyncWindowInterface* window = _syncControllers.at(deviceOf(controller))->window())
        window->showWindow();
}

void KTLAppDelegate::openURIs(const QStringList& uris) {
    std::vector<std::string> paths;
    for (const QString& uri : uris) {
        if (std::optional<std::string> path = KTLDesktopSession::pathForFileURI(uri))
            paths.push_back(*path);
        else
            logMessage(KTLFormatWith(
                KTLLocalizedString(QStringLiteral("\"%@\" is not a drive of this computer.")),
                uri));
    }
    openFiles(paths);
}

void KTLAppDelegate::toggleStartAtLogin() {
    setStartAtLogin(!KTLStartAtLogin::isEnabled());
}

bool KTLAppDelegate::setStartAtLogin(bool enable) {
    std::string error;
    if (KTLStartAtLogin::setEnabled(enable, &error)) return true;
    runAlert(KTLLocalizedString(QStringLiteral("Start at Login")),
             KTLFormatWith(KTLLocalizedString(QStringLiteral("The login item \"%1$@\" could "
                                                             "not be changed - %2$@.")),
                           pathText(KTLStartAtLogin::entryPath()), QString::fromStdString(error)));
    return false;
}
