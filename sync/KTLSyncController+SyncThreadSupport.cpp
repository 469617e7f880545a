#include <sys/stat.h>

#include "DisplayName.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "MainThread.h"
#include "OrvaneUtilities+FileManager.h"
#include "PreferenceDomain.h"

namespace {

QString localized(const char* key) {
    return KTLLocalizedString(QString::fromUtf8(key));
}

}  // namespace

void KTLSyncController::syncThreadBasicSetup() {
    _wroteThisRun = false;
    sDebug = PreferenceDomain::standardUserDefaults().boolForKey(QStringLiteral("debug"));
    mainThreadUpdateUIMessageField(
        KTLFormatWith(localized("Synchronizing \"%1$@\"..."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForSync(); });
    if (sDebug)
        syncThreadLogMessage(KTLFormatWith(QStringLiteral("-sync: items to sync: \"%@\"."),
                                           syncItemList().join(QStringLiteral(", "))));
    syncThreadLogMessage(localized("Synchronization started."));
    copyReporter();
    deleteReporter();
}

void KTLSyncController::mainThreadUpdateUIForSync() {
    if (_window) _window->showRunning(true);
    if (!isUserSetupForSync()) {
        debugMessage(
            KTLFormatWith(QStringLiteral("-sync: user is not set up for sync with \"%@\"."),
                          pathText(deviceMountPoint())));
        if (!enableSyncForThisComputerWithPrompt(false)) {
            debugMessage(QStringLiteral("-sync: canceling"));
            setCancelPending(true);
        }
    }
}

// A folder we create and then write into must be a real folder: a link there would send the
// copies, and later the removals, somewhere else.
bool KTLSyncController::realFolderAt(const std::string& path, const char* what) {
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    syncThreadLogMessage(
        KTLFormatWith(localized("The %1$@ \"%2$@\" is not a folder; nothing was synchronized."),
                      localized(what), pathText(path)));
    return false;
}

bool KTLSyncController::syncThreadPrepareFolders() {
    mainThreadUpdateUIMessageField(
        KTLFormatWith(localized("Preparing sync with \"%1$@\"..."), displayName()));
    // A drive whose configuration can't be read has no list we could trust: syncing it would
    // report success for work never done.
    const bool configLoaded = deviceConfigLoaded();
    if (!configLoaded) {
        syncThreadLogMessage(KTLFormatWith(
            localized("The configuration of \"%@\" could not be read; nothing was synchronized."),
            displayName()));
        return false;
    }
    FileManager& manager = fileManager();
    CreationAttributes open;
    open.permissions = 0777;

    const std::string target = pathForTaplineTarget();
    if (!OrvaneUtilities::createDirectoryAtPath(manager, target, &open, true) ||
        !realFolderAt(target, "sync folder")) {
        if (sDebug)
            syncThreadLogMessage(KTLFormatWith(
                QStringLiteral("-sync: unable to create target folder %@."), pathText(target)));
        return false;
    }
    const std::string driveTemp = pathForTaplineTemp();
    if (sDebug)
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-sync: creating %@."), pathText(driveTemp)));
    if (!OrvaneUtilities::createDirectoryAtPath(manager, driveTemp, &open, true) ||
        !realFolderAt(stringByDeletingLastPathComponent(driveTemp), "staging folder") ||
        !realFolderAt(driveTemp, "staging folder")) {
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QStringLiteral("-sync: unable to create temporary folder %@ for "
                                             "Mac\\U00AE->Tapline\\U2122 copying."),
                              pathText(driveTemp)));
        return false;
    }
    const std::string localTemp = pathForLocalTemp();
    if (sDebug)
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-sync: creating %@."), pathText(localTemp)));
    if (!OrvaneUtilities::createDirectoryAtPath(manager, localTemp, nullptr, true) ||
        !realFolderAt(stringByDeletingLastPathComponent(localTemp), "staging folder") ||
        !realFolderAt(localTemp, "staging folder")) {
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QStringLiteral("-sync: unable to create temporary folder %@ for "
                                             "Tapline\\U2122->Mac\\U00AE copying."),
                              pathText(localTemp)));
        return false;
    }
    return true;
}

bool KTLSyncController::syncThreadSyncItems() {
    FileManager& manager = fileManager();
    // Staged copies stay under temporary names until the whole run has staged them; one flush
    // then makes them all durable before they get their names.
    manager.beginBatch();
    bool result = true;
    for (const QString& entry : syncItemList()) {
        const std::string item = entry.toStdString();
        if (!isSafeSyncItem(item)) {
            syncThreadLogMessage(KTLFormatWith(
                localized("Skipping \"%@\": a sync-list entry must not be empty or contain \".\" "
                          "or \"..\" components."),
                entry));
            continue;
        }
        syncThreadLogMessage(KTLFormatWith(localized("Processing \"%@\"."),
                                           displayNameAtPath(macPathForItem(item))));
        mainThreadUpdateUIMessageField(
            KTLFormatWith(localized("Synchronizing \"%1$@\" on \"%2$@\"..."),
                          displayNameAtPath(item), displayName()));
        fileFolderSyncInProgress(item, -1.0);
        if (!syncThreadSyncItem(item) || cancelPending()) {
            result = false;
            break;
        }
    }
    if (!result) {
        manager.discardBatch();
        return false;
    }
    if (!manager.commitBatch(&copyReporter())) return false;
    return !cancelPending();
}

bool KTLSyncController::syncThreadFlushBothSides() {
    const bool drive = syncFileSystemOf(pathForTaplineTarget());
    const bool mac = syncFileSystemOf(pathForLocalTemp());
    return drive && mac;
}

bool KTLSyncController::syncThreadFinishSync() {
    mainThreadUpdateUIMessageField(
        KTLFormatWith(localized("Finishing synchronization with \"%1$@\"..."), displayName()));
    // The staged copies were flushed when their batch was committed.
    const bool result = syncThreadProcessTempFolders();
    // What was reported as synchronized must be on both disks before the time says so. A run
    // that wrote nothing has nothing to flush.
    if (_wroteThisRun) syncThreadFlushBothSides();
    updateLastSyncTime(QDateTime::currentDateTimeUtc());
    return result;
}

bool KTLSyncController::syncThreadCleanupAfterSync() {
    mainThreadUpdateUIMessageField(KTLFormatWith(
        localized("Cleaning up after synchronization with \"%1$@\"..."), displayName()));
    const bool result = syncThreadDeleteTempFolders();
    setCopyReporter(nullptr);
    setDeleteReporter(nullptr);
    return result;
}

void KTLSyncController::mainThreadUpdateUIForSyncDone() {
    if (_window) _window->showIdle();
}

void KTLSyncController::syncThreadReportResults(bool result) {
    mainThreadUpdateUIMessageField(
        KTLFormatWith(localized("Finished synchronizing \"%1$@\"."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForSyncDone(); });
    QString line;
    if (cancelPending())
        line = localized("Synchronization of \"%@\" canceled.");
    else if (result)
        line = localized("Synchronization of \"%@\" completed successfully.");
    else
        line = localized("Synchronization of \"%@\" did not complete successfully.");
    line = KTLFormatWith(line, displayName());
    syncThreadLogMessage(line);
    mainThreadUpdateUIMessageField(line);
    if (!cancelPending() && !result)
        syncThreadPerformAlertWithTitle(localized("Sync Failed"),
                                        localized("Check the log for more details."), false);
}
