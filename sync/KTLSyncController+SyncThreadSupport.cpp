#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "DisplayName.h"
#include "FileContents.h"
#include "FolderChain.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "MainThread.h"
#include "MountTable.h"
#include "NestedItems.h"
#include "OrvaneUtilities+FileManager.h"
#include "PathUtilities.h"
#include "PreferenceDomain.h"

void KTLSyncController::syncThreadBasicSetup() {
    _wroteDrive = _wroteMac = false;
    _keptItems = 0;
    _stagingMadeByThisRun = false;
    _driveRecord.reset();
    _macRecord.reset();
    struct stat mountPoint;
    _runDevice.reset();
    _runStarted = QDateTime::currentDateTimeUtc();
    _reportedDriveGone = false;
    _runMountPoint = deviceMountPoint();
    if (stat(_runMountPoint.c_str(), &mountPoint) == 0) _runDevice = mountPoint.st_dev;
    // A copy's date is only as exact as the coarser of the two file systems keeps it.
    _runDatePrecisionNs = 1;
    for (const std::string& place : {_runMountPoint, homeFolder()})
        if (std::optional<MountEntry> volume = volumeForPath(place))
            _runDatePrecisionNs =
                std::max(_runDatePrecisionNs, modificationTimePrecisionNs(volume->fsType));
    sDebug = debugPreference();
    mainThreadUpdateUIMessageField(
        KTLFormatWith(KTLLocalizedString("Synchronizing \"%1$@\"..."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForSync(); });
    if (sDebug)
        syncThreadLogMessage(KTLFormatWith(QStringLiteral("-sync: items to sync: \"%@\"."),
                                           propertyDescription(syncItemList())));
    syncThreadLogMessage(KTLLocalizedString("Synchronization started."));
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

// Makes the levels of a folder the run writes into, each a real folder; says so in the log
// when something else is in the way.
bool KTLSyncController::makeRunFolder(const std::string& base,
                                      const std::vector<std::string>& components,
                                      std::optional<mode_t> mode) {
    if (makeFolderChain(base, components, mode)) return true;
    const int err = errno;
    std::string path = base;
    for (const std::string& component : components)
        path = stringByAppendingPathComponent(path, component);
    if (folderChainState(base, components) != FolderChainState::InTheWay) {
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("Unable to create \"%1$@\" - %2$@; nothing was synchronized."),
            pathText(path), errorText(err)));
    } else {
        syncThreadLogMessage(
            KTLFormatWith(KTLLocalizedString(
                              "Something that is not a folder is in the way of \"%@\"; nothing was "
                              "synchronized."),
                          pathText(path)));
    }
    return false;
}

bool KTLSyncController::syncThreadPrepareFolders() {
    mainThreadUpdateUIMessageField(
        KTLFormatWith(KTLLocalizedString("Preparing sync with \"%1$@\"..."), displayName()));
    if (!syncThreadDriveIsPresent()) return false;
    // A drive whose configuration can't be read has no list we could trust: syncing it would
    // report success for work never done.
    const bool configLoaded = deviceConfigLoaded();
    if (!configLoaded) {
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString(
                "The configuration of \"%@\" could not be read; nothing was synchronized."),
            displayName()));
        return false;
    }
    const std::string mountPoint = deviceMountPoint();
    const std::string identifier = uniqueID().toStdString();
    const std::string target = pathForTaplineTarget();
    if (!makeRunFolder(mountPoint, {"Tolvex"}, 0777)) {
        if (sDebug)
            syncThreadLogMessage(KTLFormatWith(
                QStringLiteral("-sync: unable to create target folder %@."), pathText(target)));
        return false;
    }
    const std::string driveTemp = pathForTaplineTemp();
    const std::string localTemp = pathForLocalTemp();
    struct stat before;
    const bool fresh = lstat(driveTemp.c_str(), &before) != 0 && errno == ENOENT &&
                       lstat(localTemp.c_str(), &before) != 0 && errno == ENOENT;
    if (sDebug)
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-sync: creating %@."), pathText(driveTemp)));
    if (!makeRunFolder(mountPoint, {"Tolvex", "TL_VS_W", identifier}, 0777)) {
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QStringLiteral("-sync: unable to create temporary folder %@ for "
                                             "Mac\\U00AE->Tapline\\U2122 copying."),
                              pathText(driveTemp)));
        return false;
    }
    if (sDebug)
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-sync: creating %@."), pathText(localTemp)));
    if (!makeRunFolder(homeFolder(), {".TL_VS_W", identifier}, std::nullopt)) {
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QStringLiteral("-sync: unable to create temporary folder %@ for "
                                             "Tapline\\U2122->Mac\\U00AE copying."),
                              pathText(localTemp)));
        return false;
    }
    _stagingMadeByThisRun = fresh;
    return true;
}

bool KTLSyncController::syncThreadSyncItems() {
    FileManager& manager = fileManager();
    // Staged copies stay under temporary names until the whole run has staged them; one flush
    // then makes them all durable before they get their names.
    manager.beginBatch();
    _runRoots = RunRoots{pathForTaplineTarget(), pathForTaplineTemp(), pathForLocalTemp()};
    // Each commit puts the run's decisions on the disk before the copies it names, and staged
    // folders stay open to us until they are in place.
    _driveRecord.emplace();
    _macRecord.emplace();
    manager.setBeforeCommit([this] { return writeStagingRecords(); });
    manager.setKeepFoldersOpen(true);
    struct Restore {
        FileManager& manager;
        ~Restore() {
            manager.setBeforeCommit(nullptr);
            manager.setKeepFoldersOpen(false);
        }
    } restore{manager};
    bool result = true;
    std::unordered_set<std::string> cleared;
    const std::vector<std::string> items = syncThreadItemsToWalk();
    for (const std::string& item : items) {
        const QString entry = QString::fromStdString(item);
        syncThreadLogMessage(KTLFormatWith(KTLLocalizedString("Processing \"%@\"."),
                                           displayNameAtPath(macPathForItem(item))));
        // On the drive, the folders above an item's copy must be real folders: a link there
        // (a drive prepared elsewhere) would lead reads and writes out of the sync folder.
        const FolderChainState chain =
            folderChainState(_runRoots->target, parentPathComponents(item));
        if (chain == FolderChainState::InTheWay) {
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString(
                    "Something that is not a folder lies on the way to the drive's copy "
                    "of \"%@\"; it was not synchronized."),
                entry));
            result = false;
            break;
        }
        // Beside the item's copy, what a cut-off continuous-sync pass left unfinished goes
        // (below it, the item's own walk clears it).
        const std::string parent = stringByDeletingLastPathComponent(
            stringByAppendingPathComponent(_runRoots->target, item));
        if (chain == FolderChainState::Folders && cleared.insert(parent).second)
            manager.removeTemporaryItemsIn(parent, nullptr);
        mainThreadUpdateUIMessageField(
            KTLFormatWith(KTLLocalizedString("Synchronizing \"%1$@\" on \"%2$@\"..."),
                          displayNameAtPath(item), displayName()));
        fileFolderSyncInProgress(item, -1.0);
        if (!syncThreadSyncItem(item) || cancelPending()) {
            result = false;
            break;
        }
    }
    _runRoots.reset();
    if (!result) {
        syncThreadDriveIsPresent();  // says so when that is why
        manager.discardBatch();
        return false;
    }
    // Folder modes noted after the last commit still go to the disk.
    if (!writeStagingRecords()) {
        manager.discardBatch();
        return false;
    }
    if (!manager.commitBatch(&copyReporter())) return false;
    return !cancelPending();
}

bool KTLSyncController::writeStagingRecords() {
    const RunRoots roots = currentRoots();
    for (auto [record, folder] :
         {std::pair{&_driveRecord, roots.driveTemp}, std::pair{&_macRecord, roots.localTemp}}) {
        QString error;
        if (!*record || (*record)->writeInto(folder, &error)) continue;
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("Unable to write \"%1$@\" - %2$@."),
            pathText(stringByAppendingPathComponent(folder, StagingRecord::kFileName)), error));
        return false;
    }
    return true;
}

std::vector<std::string> KTLSyncController::syncThreadItemsToWalk() {
    std::vector<std::string> accepted;
    for (const QString& entry : syncItemList())
        if (syncThreadAcceptsSyncItem(entry)) accepted.push_back(entry.toStdString());
    return withoutCoveredItems(accepted);
}

std::vector<std::string> KTLSyncController::withoutCoveredItems(
    const std::vector<std::string>& items) {
    // A filtered entry is not walked, so it covers nothing; it stays, to be skipped.
    std::vector<std::string> walked;
    std::vector<size_t> places;
    for (size_t i = 0; i < items.size(); ++i)
        if (shouldCopyItem(items[i]) && !isTemporaryName(lastPathComponent(items[i]))) {
            walked.push_back(items[i]);
            places.push_back(i);
        }
    const std::vector<bool> covered = coveredItems(walked, [](const std::string& name) {
        return shouldCopyItem(std::nullopt, name) && !isTemporaryName(name);
    });
    std::vector<bool> skip(items.size(), false);
    for (size_t j = 0; j < walked.size(); ++j) skip[places[j]] = covered[j];
    std::vector<std::string> result;
    for (size_t i = 0; i < items.size(); ++i)
        if (!skip[i]) result.push_back(items[i]);
    return result;
}

bool KTLSyncController::syncThreadFlushBothSides() {
    const bool drive = syncFileSystemOf(pathForTaplineTarget());
    const bool mac = syncFileSystemOf(pathForLocalTemp());
    return drive && mac;
}

bool KTLSyncController::syncThreadFlushWrittenSides() {
    const bool drive = !_wroteDrive || syncFileSystemOf(pathForTaplineTarget());
    const bool mac = !_wroteMac || syncFileSystemOf(pathForLocalTemp());
    return drive && mac;
}

bool KTLSyncController::syncThreadDriveIsPresent() {
    // Not known: the run's folders could not be made either, and that failure speaks.
    if (!_runDevice) return true;
    struct stat mountPoint;
    const std::string now = deviceMountPoint();
    const bool moved = !_runMountPoint.empty() && now != _runMountPoint;
    if (!moved && stat(now.c_str(), &mountPoint) == 0 && mountPoint.st_dev == *_runDevice)
        return true;
    // Copies staged under the old place would be looked for under the new one.
    if (!_reportedDriveGone && moved)
        syncThreadLogMessage(
            KTLFormatWith(KTLLocalizedString("\"%1$@\" was moved to \"%2$@\" during the "
                                             "synchronization; the synchronization was stopped."),
                          pathText(_runMountPoint), pathText(now)));
    else if (!_reportedDriveGone)
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("\"%@\" is no longer mounted; the synchronization was stopped."),
            displayName()));
    _reportedDriveGone = true;
    return false;
}

bool KTLSyncController::syncThreadFinishSync() {
    mainThreadUpdateUIMessageField(KTLFormatWith(
        KTLLocalizedString("Finishing synchronization with \"%1$@\"..."), displayName()));
    if (!syncThreadDriveIsPresent()) return false;
    // The staged copies were flushed when their batch was committed.
    const bool moved = syncThreadProcessTempFolders();
    // What was reported as synchronized must be on both disks before the time says so. A run
    // that wrote nothing has nothing to flush.
    const bool flushed = syncThreadFlushWrittenSides();
    if (!flushed)
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("The copies could not be written to disk - %@."), errorText(errno)));
    // An item that failed (the user chose to go on) keeps its change unsynchronized: the last
    // sync time must not move past it, or no later run would look at it again.
    const int errors = copyReporter().errorCount() + deleteReporter().errorCount() + _keptItems;
    if (errors > 0)
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("%@ error(s) occurred; the items concerned are tried again at the "
                               "next sync."),
            QString::number(errors)));
    const bool result = moved && flushed && errors == 0 && syncThreadDriveIsPresent();
    // The run's start: a file changed while the run went on, after its turn, is newer than
    // that and is looked at again by the next run.
    if (result) updateLastSyncTime(_runStarted);
    return result;
}

bool KTLSyncController::syncThreadCleanupAfterSync() {
    mainThreadUpdateUIMessageField(KTLFormatWith(
        KTLLocalizedString("Cleaning up after synchronization with \"%1$@\"..."), displayName()));
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
        KTLFormatWith(KTLLocalizedString("Finished synchronizing \"%1$@\"."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForSyncDone(); });
    QString line;
    if (cancelPending())
        line = KTLLocalizedString("Synchronization of \"%@\" canceled.");
    else if (result)
        line = KTLLocalizedString("Synchronization of \"%@\" completed successfully.");
    else
        line = KTLLocalizedString("Synchronization of \"%@\" did not complete successfully.");
    line = KTLFormatWith(line, displayName());
    syncThreadLogMessage(line);
    mainThreadUpdateUIMessageField(line);
    if (!cancelPending() && !result)
        syncThreadPerformAlertWithTitle(KTLLocalizedString("Sync Failed"),
                                        KTLLocalizedString("Check the log for more details."),
                                        false);
    // The run is over: the tasks after it follow the drive wherever it is now.
    _runMountPoint.clear();
}
