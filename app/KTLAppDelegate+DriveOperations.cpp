#include "DisplayName.h"
#include "KTLAppDelegate.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"

// The drive operations behind the menu commands and scripting. Each finds the drive's
// controller through the registry; without one, questions answer no and actions do nothing.

bool KTLAppDelegate::isDriveSetupForSync(const std::string& path) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    return controller && controller->isDeviceSetupForSync();
}

bool KTLAppDelegate::isDriveValidForSync(const std::string& path, bool suppressAlerts) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    if (controller && controller->isValidFileSystem()) return true;
    if (!suppressAlerts)
        runAlert(KTLLocalizedString(QStringLiteral("Cannot Start Sync.")),
                 KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                   "The drive \"%@\" needs to be formatted with HFS+ or some "
                                   "variant thereof.")),
                               displayNameAtPath(path)));
    return false;
}

bool KTLAppDelegate::getContinuousSyncStateForDrive(const std::string& path) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    return controller && controller->continuousSyncState();
}

void KTLAppDelegate::setContinuousSyncState(bool state, const std::string& path) {
    if (std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path))
        controller->setContinuousSyncState(state);
}

std::optional<QStringList> KTLAppDelegate::getSyncListForDrive(const std::string& path) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    if (!controller) return std::nullopt;
    return controller->shadowedSyncList();
}

bool KTLAppDelegate::setSyncList(const QStringList& list, const std::string& path) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    if (!controller) return false;
    if (controller->busy()) {
        runAlert(KTLLocalizedString(QStringLiteral("Cannot Update Sync List.")),
                 KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                   "The drive \"%@\" is already involved in a sync operation.")),
                               displayNameAtPath(path)));
        return false;
    }
    controller->setCancelPending(false);
    afterDelay(controller, [list](KTLSyncController& drive) { drive.updateSyncList(list); });
    return true;
}

void KTLAppDelegate::startSyncForDriveAt(const std::string& path) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path);
    if (!controller) return;
    if (controller->busy()) {
        runAlert(KTLLocalizedString(QStringLiteral("Cannot Start Sync.")),
                 KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                   "The drive \"%@\" is already involved in a sync operation.")),
                               displayNameAtPath(path)));
        return;
    }
    controller->setCancelPending(false);
    afterDelay(controller, [this](KTLSyncController& drive) { drive.sync(this); });
}

void KTLAppDelegate::cancelSyncForDriveAt(const std::string& path) {
    if (std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(path))
        controller->setCancelPending(true);
}
