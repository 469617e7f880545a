#include <malloc.h>

#include <QScopeGuard>
#include <QTimeZone>
#include <algorithm>
#include <limits>

#include "FolderChain.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "OrvaneUtilities+FileManager.h"
#include "PathUtilities.h"

void KTLSyncController::threadDoContinuousSync() {
    if (!continuousSyncState()) return;
    continuousSyncThreadBasicSetup();
    checkForChanges();
    continuousSyncThreadCleanup();
}

void KTLSyncController::continuousSyncThreadBasicSetup() {
    sDebug = debugPreference();
    const QString line = KTLLocalizedString("Scanning for changes...");
    syncThreadLogMessage(line);
    mainThreadUpdateUIMessageField(line);
    copyReporter();
    deleteReporter();
}

void KTLSyncController::continuousSyncThreadCleanup() {
    setCopyReporter(nullptr);
    setDeleteReporter(nullptr);
    const QString line = KTLLocalizedString("Scan completed.");
    syncThreadLogMessage(line);
    mainThreadUpdateUIMessageField(line);
}

int32_t KTLSyncController::referenceTimeFor(const QDateTime& time) {
    constexpr int32_t earliest = std::numeric_limits<int32_t>::min();
    if (!time.isValid()) return earliest;
    // Whole milliseconds divided by 1000: C++ division truncates toward zero.
    const qint64 seconds = time.toMSecsSinceEpoch() / 1000;
    if (seconds < earliest || seconds > std::numeric_limits<int32_t>::max()) return earliest;
    return int32_t(seconds);
}

FolderChainState KTLSyncController::storedCopyChainState(const std::string& listPath) {
    std::vector<std::string> levels{lastPathComponent(pathForTaplineTarget())};
    for (std::string& level : parentPathComponents(listPath)) levels.push_back(std::move(level));
    return folderChainState(deviceMountPoint(), levels);
}

bool KTLSyncController::driveFoldersAreReal(const std::string& listPath,
                                            std::unordered_set<std::string>& known) {
    const std::string folder = stringByDeletingLastPathComponent(
        stringByAppendingPathComponent(pathForTaplineTarget(), listPath));
    if (known.count(folder)) return true;
    const FolderChainState state = storedCopyChainState(listPath);
    if (state == FolderChainState::Folders) known.insert(folder);
    if (state != FolderChainState::InTheWay) return true;
    syncThreadLogMessage(KTLFormatWith(
        KTLLocalizedString("Something that is not a folder lies on the way to the drive's copy "
                           "of \"%@\"; it was not synchronized."),
        pathText(listPath)));
    return false;
}

void KTLSyncController::checkForChanges() {
    // Entries the scan leaves out are named once per pass.
    for (const QString& entry : syncItemList()) syncThreadAcceptsSyncItem(entry);

    if (!itemInventory()) {
        if (sDebug) syncThreadLogMessage(QStringLiteral("--- building tree first time ---"));
        setItemInventory(buildItemTreeUsingFTS());
        if (sDebug) syncThreadLogMessage(QStringLiteral("--- done building tree first time ---"));
        return;
    }
    // The drive may hold changes made on another computer that only a full sync weighs; a
    // pass before one would copy over them without asking.
    if (!_fullSyncCompleted) {
        if (!_saidWaitingForFullSync)
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString("Continuous sync of \"%@\" starts after its next full sync."),
                displayName()));
        _saidWaitingForFullSync = true;
        return;
    }

    // Taken before the scan, and a second early: the reference compares whole seconds (and
    // file times lag the clock by a tick), so a file saved in the pass's first second is
    // still later than the next pass's reference.
    const QDateTime passStarted = QDateTime::currentDateTimeUtc().addSecs(-1);
    // A pass that reported many items gives their memory back once its lists are gone: the
    // heap would otherwise keep that peak through every later pass.
    size_t reported = 0;
    const auto trim = qScopeGuard([&reported] {
        if (reported >= 10000) malloc_trim(0);
    });
    std::vector<std::string> changed, added, deleted;
    const int32_t since = referenceTimeFor(lastSyncTime());
    KTLCopyErrorReporter& copier = copyReporter();
    KTLDeleteErrorReporter& deleter = deleteReporter();
    const int errorsBefore = copier.errorCount() + deleter.errorCount();
    updateItemTreeReturningItemsChanged(changed, since, added, deleted);
    reported = changed.size() + added.size() + deleted.size();
    if (sDebug) {
        syncThreadLogMessage(QStringLiteral("--- scan for changes completed ---"));
        syncThreadLogMessage(QStringLiteral("--- applying changes ---"));
    }

    const std::string target = pathForTaplineTarget();
    auto onDrive = [&](const std::string& path) {
        return stringByAppendingPathComponent(target, path);
    };
    FileManager& manager = fileManager();
    std::unordered_set<std::string> realFolders;

    const int deleteMode = deleter.errorHandling();
    deleter.setErrorHandling(1);
    for (const std::string& path : deleted) {
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QStringLiteral("-checkForChanges: deleting %@"), pathText(path)));
        if (!driveFoldersAreReal(path, realFolders)) continue;
        manager.removeFileAtPath(onDrive(path), &deleter);
    }
    deleter.setErrorHandling(deleteMode);
    // A folder removed above may be made again by a copy below.
    realFolders.clear();

    // A pass cut off leaves its unfinished copies beside their destinations; the next pass
    // that writes there clears them before its own copies take temporary names.
    std::unordered_set<std::string> cleared;
    deleter.setErrorHandling(1);
    for (const std::vector<std::string>* paths : {&added, &changed})
        for (const std::string& path : *paths) {
            const std::string folder = stringByDeletingLastPathComponent(onDrive(path));
            // Only through real folders: a link on the way would lead off the drive.
            if (cleared.insert(folder).second &&
                storedCopyChainState(path) == FolderChainState::Folders)
                manager.removeTemporaryItemsIn(folder, &deleter);
        }
    deleter.setErrorHandling(deleteMode);

    const int copyMode = copier.errorHandling();
    copier.setErrorHandling(1);
    // The pass's copies are written under temporary names, flushed once and then renamed.
    manager.beginBatch();
    auto copyAll = [&](const std::vector<std::string>& paths, const char* debugFormat) {
        for (const std::string& path : paths) {
            if (sDebug)
                syncThreadLogMessage(
                    KTLFormatWith(QString::fromLatin1(debugFormat), pathText(path)));
            if (!driveFoldersAreReal(path, realFolders)) continue;
            OrvaneUtilities::copyPathOntoPath(manager, macPathForItem(path), onDrive(path),
                                              &copier);
        }
    };
    copyAll(added, "-checkForChanges: adding %@");
    copyAll(changed, "-checkForChanges: updating %@");
    const bool committed = manager.commitBatch(&copier);
    copier.setErrorHandling(copyMode);

    const bool wrote = !deleted.empty() || !added.empty() || !changed.empty();
    // The renames and removals reach the disk before the time says they happened.
    const bool flushed = !wrote || syncFileSystemOf(target);
    // A change that did not reach the drive must stay later than the reference time, or no
    // later pass or sync would look at it again.
    const int errors = copier.errorCount() + deleter.errorCount() - errorsBefore;
    if (errors > 0 || !committed || !flushed) {
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("%@ error(s) occurred; the items concerned are tried again at the "
                               "next sync."),
            QString::number(std::max(errors, 1))));
        return;
    }
    // A pass that found nothing moves the time on in memory only: rewriting the per-host
    // preferences (with their flushes) every few seconds would be all its disk work, and the
    // stored time, being earlier, is still a safe start for the next session.
    if (wrote)
        updateLastSyncTime(passStarted);
    else
        setLastSyncTime(passStarted);
}
