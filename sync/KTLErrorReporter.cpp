#include "KTLErrorReporter.h"

#include "DisplayName.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "PathUtilities.h"

bool KTLErrorReporter::cancelPending() const {
    auto controller = delegate();
    return controller && controller->cancelPending();
}

bool KTLErrorReporter::fileManagerShouldProceedAfterError(FileManager&,
                                                          const FileOperationError& error) {
    incrementErrorCount();
    auto controller = delegate();
    const Texts texts = textsForError(error);
    if (controller) controller->syncThreadLogMessage(texts.logLine);
    // Every item that follows would fail the same way: stop without asking about each.
    if (controller && !controller->syncThreadDriveIsPresent()) return false;
    if (_errorHandling > 0) return true;
    if (_errorHandling < 0) return false;
    if (!controller) return false;
    if (controller->syncThreadPerformAlertWithTitle(texts.alertTitle, texts.alertMessage,
                                                    texts.cancelButton))
        return true;
    // An alert that offers only OK never stops the operation, however it was dismissed.
    if (!texts.cancelButton) return true;
    controller->setCancelPending(true);
    return false;
}

void KTLErrorReporter::fileManagerSkippedSocket(FileManager&, const std::string& path) {
    if (auto controller = delegate()) controller->syncThreadSocketSkipped(path);
}

void KTLErrorReporter::debugWillProcess(const char* format, const std::string& path) {
    // Called for every file copied or removed: the line is not even built without debugging.
    if (!KTLSyncController::sDebug) return;
    if (auto controller = delegate())
        controller->debugMessage(KTLFormatWith(QString::fromUtf8(format), pathText(path)));
}

void KTLCopyErrorReporter::fileManagerWillProcessPath(FileManager&, const std::string& path) {
    debugWillProcess("KTLCopyErrorReporter: copying \"%@\"...", path);
}

// A folder copied whole ("~", or a folder the drive lacks) leaves out what the walk of a folder
// leaves out: the names never synced, and a run's staging folder (or a drive's planted one).
bool KTLCopyErrorReporter::fileManagerShouldCopyEntry(FileManager&, const std::string& path) {
    const std::string name = lastPathComponent(path);
    if (!KTLSyncController::shouldCopyItem(std::nullopt, name)) return false;
    // Only the home's staging folder has this name; the path work is for it alone, not for
    // every file of a first sync.
    if (name != ".TL_VS_W") return true;
    const std::shared_ptr<KTLSyncController> controller = delegate();
    return !controller || !controller->isStagingPath(path);
}

KTLErrorReporter::Texts KTLCopyErrorReporter::textsForError(const FileOperationError& error) const {
    Texts texts;
    if (error.toPath) {
        texts.logLine =
            KTLFormatWith(KTLLocalizedString("Unable to copy \"%1$@\" to \"%2$@\" - %3$@."),
                          pathText(error.path), pathText(*error.toPath), error.error);
    } else {
        texts.logLine = KTLFormatWith(KTLLocalizedString("Unable to copy \"%1$@\"- %2$@."),
                                      pathText(error.path), error.error);
    }
    texts.alertTitle = KTLLocalizedString("Copy Failed.");
    texts.alertMessage = KTLFormatWith(
        KTLLocalizedString(
            "There was a problem copying \"%1$@\" (%2$@).  Do you want to continue with the "
            "sync operation?"),
        displayNameAtPath(error.toPath.value_or(error.path)), error.error);
    return texts;
}

void KTLDeleteErrorReporter::fileManagerWillProcessPath(FileManager&, const std::string& path) {
    debugWillProcess("KTLDeleteErrorReporter: deleting \"%@\"...", path);
}

KTLErrorReporter::Texts KTLDeleteErrorReporter::textsForError(
    const FileOperationError& error) const {
    Texts texts;
    texts.logLine = KTLFormatWith(KTLLocalizedString("Unable to delete \"%1$@\" - %2$@."),
                                  pathText(error.path), error.error);
    texts.alertTitle = KTLLocalizedString("Delete Failed.");
    texts.alertMessage = KTLFormatWith(
        KTLLocalizedString(
            "There was a problem deleting \"%1$@\" (%2$@).  Do you want to continue with the "
            "sync operation?"),
        displayNameAtPath(error.path), error.error);
    return texts;
}

void KTLRemoveSyncItemsErrorReporter::fileManagerWillProcessPath(FileManager&,
                                                                 const std::string& path) {
    debugWillProcess("KTLRemoveSyncItemsErrorReporter: deleting \"%@\"...", path);
}

KTLErrorReporter::Texts KTLRemoveSyncItemsErrorReporter::textsForError(
    const FileOperationError& error) const {
    Texts texts;
    texts.logLine = KTLFormatWith(
        KTLLocalizedString("Unable to remove \"%1$@\" from the Tapline\\U2122 drive - %2$@."),
        pathText(error.path), error.error);
    texts.alertTitle = KTLLocalizedString("Update Sync Items Failed.");
    texts.alertMessage = KTLFormatWith(
        KTLLocalizedString(
            "There was a problem removing \"%1$@\" (%2$@) from the Tapline\\U2122 drive."),
        displayNameAtPath(error.path), error.error);
    texts.cancelButton = false;
    return texts;
}
