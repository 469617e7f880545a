#include <sys/stat.h>

#include <QDateTime>

#include "DisplayName.h"
#include "FolderChain.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "OrvaneUtilities+FileManager.h"
#include "PathUtilities.h"
#include "Trash.h"

FolderChainState KTLSyncController::driveStagingState() {
    return folderChainState(deviceMountPoint(), {"Tolvex", "TL_VS_W", uniqueID().toStdString()});
}

FolderChainState KTLSyncController::macStagingState() {
    return folderChainState(homeFolder(), {".TL_VS_W", uniqueID().toStdString()});
}

// A link anywhere on the way to a staging folder is something in the way, never a staging
// folder whose contents we would move into place.
bool KTLSyncController::syncThreadHasInterruptedSync() {
    switch (macStagingState()) {
        case FolderChainState::Folders:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: detected an interrupted sync "
                               "(Tapline\\U2122->Mac\\U00AE) for this computer."));
            return true;
        case FolderChainState::InTheWay:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: something is in the way of the "
                               "directory used for copying files to the Mac\\U00AE."));
            return false;
        case FolderChainState::Missing:
            break;
    }
    switch (driveStagingState()) {
        case FolderChainState::Missing:
            return false;
        case FolderChainState::Folders:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: detected an interrupted sync "
                               "(Mac\\U00AE->Tapline\\U2122) for this computer."));
            return true;
        case FolderChainState::InTheWay:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: something is in the way of the "
                               "directory used for copying files to the Tapline\\U2122."));
            return false;
    }
    return false;
}

bool KTLSyncController::syncThreadHandleInterruptedSync() {
    if (sDebug)
        syncThreadLogMessage(
            QStringLiteral("-syncThreadHandleInterruptedSync: interrupted sync detected"));
    mainThreadUpdateUIMessageField(KTLFormatWith(
        KTLLocalizedString("Processing interrupted sync with \"%1$@\"..."), displayName()));
    bool result = true;
    if (!syncThreadPerformAlertWithTitle(
            KTLLocalizedString("Interrupted Sync Detected"),
            KTLLocalizedString(
                "Pellora has detected files and folders that were not completely "
                "synchronized.  Do you want to finish the interrupted sync operation?"),
            true)) {
        syncThreadLogMessage(KTLLocalizedString("Interrupted sync skipped."));
    } else {
        syncThreadLogMessage(KTLLocalizedString("Processing interrrupted sync."));
        // The interrupted run's decisions, as it left them beside its staged copies.
        if (driveStagingState() == FolderChainState::Folders)
            _driveRecord = StagingRecord::readFrom(pathForTaplineTemp());
        if (macStagingState() == FolderChainState::Folders)
            _macRecord = StagingRecord::readFrom(pathForLocalTemp());
        const bool moved = syncThreadDriveIsPresent() && syncThreadProcessTempFolders();
        _driveRecord.reset();
        _macRecord.reset();
        syncThreadFlushBothSides();
        // The last sync time stays where it was. Moving it to this moment would make every
        // change made before now, and not yet staged, look synchronized to the run that
        // follows: the two copies would stay different for good. The run sets it when it
        // completes.
        syncThreadLogMessage(KTLLocalizedString("Interrupted sync finished."));
        if (!moved) {
            syncThreadLogMessage(KTLLocalizedString("Interrupted sync was not completed."));
            result = syncThreadPerformAlertWithTitle(
                KTLLocalizedString("Interrupted sync was not completed."),
                KTLLocalizedString("There was a problem completing the previously interrupted sync "
                                   "operation.  Do you want to continue?"),
                true);
        }
    }
    syncThreadLogMessage(KTLLocalizedString("Cleaning up interrupted sync."));
    if (sDebug) syncThreadLogMessage(QStringLiteral("-sync: deleting temp folders"));
    if (!syncThreadDeleteTempFolders())
        syncThreadLogMessage(KTLLocalizedString("Unable to clean up interrupted sync."));
    return result;
}

// Moves each entry of `folder` onto `destinationFolder` joined with its name. With
// `skipHome`, a "~" entry is only noted in `sawHome`. `keyPrefix` leads the entries' keys in
// `record`.
bool KTLSyncController::processStagedEntries(const std::string& folder,
                                             const std::string& destinationFolder, bool skipHome,
                                             bool* sawHome, const char* movingFormat,
                                             const std::optional<StagingRecord>& record,
                                             const std::string& keyPrefix) {
    FileManager& manager = fileManager();
    for (const std::string& name :
         manager.directoryContentsAtPath(folder).value_or(std::vector<std::string>())) {
        if (skipHome && name == "~") {
            *sawHome = true;
            continue;
        }
        if (isTemporaryName(name) || (keyPrefix.empty() && name == StagingRecord::kFileName))
            continue;
        if (cancelPending()) return false;
        const std::string staged = stringByAppendingPathComponent(folder, name);
        const std::string final = stringByAppendingPathComponent(destinationFolder, name);
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QString::fromUtf8(movingFormat), pathText(staged), pathText(final)));
        (destinationFolder == pathForTaplineTarget() ? _wroteDrive : _wroteMac) = true;
        if (!moveStagedEntry(staged, final, keyPrefix + name, record ? &*record : nullptr))
            return false;
    }
    return true;
}

bool KTLSyncController::keepChangedPlace(const std::string& final) {
    syncThreadLogMessage(KTLFormatWith(
        KTLLocalizedString(
            "\"%@\" changed during the synchronization; it is left for the next one."),
        pathText(final)));
    ++_keptItems;
    return true;
}

// A staged copy replaces its final place only while that place is what the run decided on;
// one changed since (a file saved meanwhile) is kept, and the copy is dropped with the staging.
bool KTLSyncController::moveStagedEntry(const std::string& staged, const std::string& final,
                                        const std::string& key, const StagingRecord* record) {
    FileManager& manager = fileManager();
    const std::optional<FileAttributes> now = manager.fileAttributesAtPath(final, false);
    if (const StagingRecord::Item* decided = record ? record->find(key) : nullptr) {
        if (!StagingRecord::unchanged(*decided, now)) return keepChangedPlace(final);
        if (!OrvaneUtilities::movePathOntoPath(manager, staged, final, &copyReporter()))
            return false;
        // Folders that forbid writing get their mode once what belongs in them is in.
        for (const auto& [below, mode] : decided->folderModes)
            if (chmod((final + below).c_str(), mode) != 0 &&
                !reportError(manager, &copyReporter(), staged + below, &final, errno))
                return false;
        return true;
    }
    struct stat st;
    if (lstat(staged.c_str(), &st) != 0) return true;
    // A folder not decided on holds staged items (or, without a record, may): each is judged
    // on its own.
    if (S_ISDIR(st.st_mode) && (record || (now && now->isDirectory()))) {
        for (const std::string& name :
             manager.directoryContentsAtPath(staged).value_or(std::vector<std::string>())) {
            if (isTemporaryName(name)) continue;
            if (cancelPending()) return false;
            if (!moveStagedEntry(stringByAppendingPathComponent(staged, name),
                                 stringByAppendingPathComponent(final, name), key + "/" + name,
                                 record))
                return false;
        }
        return true;
    }
    // Nothing recorded (an older version's staging, or a record cut off): the time the copy
    // was staged stands in for the decision, and whatever changed at its place since is newer.
    const int64_t stagedAt = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    if (now &&
        (now->isDirectory() != bool(S_ISDIR(st.st_mode)) || now->modificationTimeNs >= stagedAt))
        return keepChangedPlace(final);
    return OrvaneUtilities::movePathOntoPath(manager, staged, final, &copyReporter());
}

bool KTLSyncController::syncThreadProcessTempFolders() {
    FileManager& manager = fileManager();
    const std::string driveTemp = pathForTaplineTemp();
    const std::string localTemp = pathForLocalTemp();
    // Only real staging folders are emptied: through a link the moves would fetch from
    // anywhere.
    const FolderChainState driveState = driveStagingState();
    const FolderChainState macState = macStagingState();
    const bool driveUsable = driveState == FolderChainState::Folders;
    const bool macUsable = macState == FolderChainState::Folders;
    // A crash may have left unfinished copies in staging; they must never reach a real name.
    // Staging this run made and filled without an error holds none (each copy in it was
    // renamed or removed), and walking all of it would cost a look at every file.
    const bool mayHoldUnfinished =
        !_stagingMadeByThisRun || copyReporter().errorCount() + deleteReporter().errorCount() > 0;
    if (driveUsable && mayHoldUnfinished)
        manager.removeTemporaryItemsBelow(driveTemp, &deleteReporter());
    if (macUsable && mayHoldUnfinished)
        manager.removeTemporaryItemsBelow(localTemp, &deleteReporter());

    bool result = true;
    if (sDebug)
        syncThreadLogMessage(
            QStringLiteral("-processTempFolders: finishing Mac\\U00AE->Tapline\\U2122 sync."));
    if (driveState == FolderChainState::InTheWay ||
        (driveUsable && !processStagedEntries(driveTemp, pathForTaplineTarget(), false, nullptr,
                                              "                : moving \"%@\" ->\"%@.",
                                              _driveRecord, std::string())))
        result = false;

    if (sDebug)
        syncThreadLogMessage(QStringLiteral(
            "-processTempFolders: finishing Tapline\\U2122->Mac\\U00AE sync - system items."));
    bool sawHome = false;
    if (macState == FolderChainState::InTheWay ||
        (macUsable && !processStagedEntries(localTemp, "/", true, &sawHome,
                                            "                : moving \"%@\"->\"%@\".", _macRecord,
                                            std::string())))
        result = false;

    if (sawHome && folderChainState(localTemp, {"~"}) != FolderChainState::Folders) {
        result = false;
    } else if (sawHome) {
        if (sDebug)
            syncThreadLogMessage(
                QStringLiteral("-processTempFolders: finishing "
                               "Tapline\\U2122->Mac\\U00AE sync - home directory items."));
        if (!processStagedEntries(stringByAppendingPathComponent(localTemp, "~"), homeFolder(),
                                  false, nullptr, "                : moving \"%@\"->\"%@\".",
                                  _macRecord, "~/"))
            result = false;
    }
    // A drive gone in mid-way lists its staging folder as empty: not a finished move.
    if (!syncThreadDriveIsPresent()) result = false;
    return result;
}

bool KTLSyncController::deleteTempFolder(const std::string& folder, FolderChainState state) {
    // A run that failed before making its folders has nothing to remove: that is not an error
    // to put to the user. What lies behind a link is not ours to remove.
    if (state == FolderChainState::Missing) return true;
    if (state == FolderChainState::InTheWay) return false;
    if (sDebug)
        syncThreadLogMessage(KTLFormatWith(QStringLiteral("-deleteTempFolders: deleting \"%@\"."),
                                           pathText(folder)));
    const bool removed = fileManager().removeFileAtPath(folder, &deleteReporter());
    if (sDebug)
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-deleteTempFolders: \"%@\" was %s deleted."),
                          pathText(folder), removed ? QString() : QStringLiteral(" NOT")));
    if (removed) return true;
    const bool recycled = moveItemToTrash(folder);
    if (sDebug)
        syncThreadLogMessage(KTLFormatWith(
            QStringLiteral("-deleteTempFolders: recycling \"%@\" %s."), pathText(folder),
            recycled ? QStringLiteral("succeeded") : QStringLiteral(" failed")));
    return recycled;
}

bool KTLSyncController::syncThreadDeleteTempFolders() {
    const bool drive = deleteTempFolder(pathForTaplineTemp(), driveStagingState());
    const bool mac = deleteTempFolder(pathForLocalTemp(), macStagingState());
    return drive && mac;
}
