#include <sys/stat.h>

#include <QDateTime>

#include "DisplayName.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "OrvaneUtilities+FileManager.h"
#include "PathUtilities.h"
#include "Trash.h"

namespace {

QString localized(const char* key) {
    return KTLLocalizedString(QString::fromUtf8(key));
}

enum class Found { Nothing, Folder, SomethingElse };

// Links are not followed: a link at a staging folder's place is something in the way, never a
// staging folder whose contents we would move into place.
Found whatIsAt(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return Found::Nothing;
    return S_ISDIR(status.st_mode) ? Found::Folder : Found::SomethingElse;
}

std::string homeFolder() {
    const char* home = getenv("HOME");
    return home ? std::string(home) : std::string("/");
}

}  // namespace

bool KTLSyncController::syncThreadHasInterruptedSync() {
    switch (whatIsAt(pathForLocalTemp())) {
        case Found::Folder:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: detected an interrupted sync "
                               "(Tapline\\U2122->Mac\\U00AE) for this computer."));
            return true;
        case Found::SomethingElse:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: something is in the way of the "
                               "directory used for copying files to the Mac\\U00AE."));
            return false;
        case Found::Nothing:
            break;
    }
    switch (whatIsAt(pathForTaplineTemp())) {
        case Found::Nothing:
            return false;
        case Found::Folder:
            debugMessage(
                QStringLiteral("-hasInterruptedSync: detected an interrupted sync "
                               "(Mac\\U00AE->Tapline\\U2122) for this computer."));
            return true;
        case Found::SomethingElse:
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
    mainThreadUpdateUIMessageField(
        KTLFormatWith(localized("Processing interrupted sync with \"%1$@\"..."), displayName()));
    bool result = true;
    if (!syncThreadPerformAlertWithTitle(
            localized("Interrupted Sync Detected"),
            localized("Pellora has detected files and folders that were not completely "
                      "synchronized.  Do you want to finish the interrupted sync operation?"),
            true)) {
        syncThreadLogMessage(localized("Interrupted sync skipped."));
    } else {
        syncThreadLogMessage(localized("Processing interrrupted sync."));
        const bool moved = syncThreadProcessTempFolders();
        syncThreadFlushBothSides();
        // The last sync time stays where it was. Moving it to this moment would make every
        // change made before now, and not yet staged, look synchronized to the run that
        // follows: the two copies would stay different for good. The run sets it when it
        // completes.
        syncThreadLogMessage(localized("Interrupted sync finished."));
        if (!moved) {
            syncThreadLogMessage(localized("Interrupted sync was not completed."));
            result = syncThreadPerformAlertWithTitle(
                localized("Interrupted sync was not completed."),
                localized("There was a problem completing the previously interrupted sync "
                          "operation.  Do you want to continue?"),
                true);
        }
    }
    syncThreadLogMessage(localized("Cleaning up interrupted sync."));
    if (sDebug) syncThreadLogMessage(QStringLiteral("-sync: deleting temp folders"));
    if (!syncThreadDeleteTempFolders())
        syncThreadLogMessage(localized("Unable to clean up interrupted sync."));
    return result;
}

// Moves each entry of `folder` onto `destinationFolder` joined with its name. With
// `skipHome`, a "~" entry is only noted in `sawHome`.
bool KTLSyncController::processStagedEntries(const std::string& folder,
                                             const std::string& destinationFolder, bool skipHome,
                                             bool* sawHome, const char* movingFormat) {
    FileManager& manager = fileManager();
    for (const std::string& name :
         manager.directoryContentsAtPath(folder).value_or(std::vector<std::string>())) {
        if (skipHome && name == "~") {
            *sawHome = true;
            continue;
        }
        if (isTemporaryName(name)) continue;
        if (cancelPending()) return false;
        const std::string staged = stringByAppendingPathComponent(folder, name);
        const std::string final = stringByAppendingPathComponent(destinationFolder, name);
        if (sDebug)
            syncThreadLogMessage(
                KTLFormatWith(QString::fromUtf8(movingFormat), pathText(staged), pathText(final)));
        _wroteThisRun = true;
        if (!OrvaneUtilities::movePathOntoPath(manager, staged, final, &copyReporter()))
            return false;
    }
    return true;
}

bool KTLSyncController::syncThreadProcessTempFolders() {
    FileManager& manager = fileManager();
    const std::string driveTemp = pathForTaplineTemp();
    const std::string localTemp = pathForLocalTemp();
    // A crash may have left unfinished copies in staging; they must never reach a real name.
    if (whatIsAt(driveTemp) == Found::Folder)
        manager.removeTemporaryItemsBelow(driveTemp, &deleteReporter());
    if (whatIsAt(localTemp) == Found::Folder)
        manager.removeTemporaryItemsBelow(localTemp, &deleteReporter());

    bool result = true;
    if (sDebug)
        syncThreadLogMessage(
            QStringLiteral("-processTempFolders: finishing Mac\\U00AE->Tapline\\U2122 sync."));
    if (!processStagedEntries(driveTemp, pathForTaplineTarget(), false, nullptr,
                              "                : moving \"%@\" ->\"%@."))
        result = false;

    if (sDebug)
        syncThreadLogMessage(QStringLiteral(
            "-processTempFolders: finishing Tapline\\U2122->Mac\\U00AE sync - system items."));
    bool sawHome = false;
    if (!processStagedEntries(localTemp, "/", true, &sawHome,
                              "                : moving \"%@\"->\"%@\"."))
        result = false;

    if (sawHome) {
        if (sDebug)
            syncThreadLogMessage(
                QStringLiteral("-processTempFolders: finishing "
                               "Tapline\\U2122->Mac\\U00AE sync - home directory items."));
        if (!processStagedEntries(stringByAppendingPathComponent(localTemp, "~"), homeFolder(),
                                  false, nullptr, "                : moving \"%@\"->\"%@\"."))
            result = false;
    }
    return result;
}

bool KTLSyncController::deleteTempFolder(const std::string& folder) {
    // A run that failed before making its folders has nothing to remove: that is not an error
    // to put to the user.
    if (whatIsAt(folder) == Found::Nothing) return true;
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
    const bool drive = deleteTempFolder(pathForTaplineTemp());
    const bool mac = deleteTempFolder(pathForLocalTemp());
    return drive && mac;
}
