#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QMessageBox>
#include <QPushButton>

#include "DisplayName.h"
#include "KTLAppDelegate.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "PreferenceDomain.h"

// --- Drive arrival and departure ---

void KTLAppDelegate::diskAppeared(const QString& device, const std::string& mountPoint) {
    debugMessage(QStringLiteral("-DADiskAppeared_Proc: %1").arg(device));
    if (appHasFinishedLaunching()) newDriveAppeared(mountPoint);
}

void KTLAppDelegate::diskDisappeared(const QString& device) {
    debugMessage(QStringLiteral("-DADiskDisappeared_Proc: %1").arg(device));
    unregister(device);
}

void KTLAppDelegate::diskDescriptionChanged(const QString& device,
                                            const std::optional<std::string>& mountPoint) {
    debugMessage(QStringLiteral("-DADiskDescriptionChanged_Proc: %1").arg(device));
    debugMessage(QStringLiteral("-DADiskDescriptionChanged_Proc: %1 newMountPoint %2")
                     .arg(device, mountPoint ? pathText(*mountPoint) : QStringLiteral("(null)")));
    auto found = _syncControllers.find(device);
    if (found == _syncControllers.end()) {
        // A volume mounted on a disk that was already there: an arrival like any other.
        newDriveAppeared(mountPoint);
        return;
    }
    if (!mountPoint) {
        unregister(device);
        return;
    }
    std::shared_ptr<KTLSyncController> controller = found->second;
    controller->setDeviceMountPoint(*mountPoint);
    // A hold on the old place no longer pins the volume where it is now.
    if (holdsDrive(controller.get())) {
        releaseBusyHold(controller.get());
        updateBusyHold(controller);
    }
}

// --- SyncOnConnectCode ---

void KTLAppDelegate::newDriveAppeared(const std::optional<std::string>& mountPoint) {
    debugMessage(QStringLiteral("-newDriveAppeared: %1")
                     .arg(mountPoint ? pathText(*mountPoint) : QStringLiteral("(null)")));
    if (!PreferenceDomain::standardUserDefaults().boolForKey(QStringLiteral("sync-on-connect")))
        return;
    // Without a path there is no volume, hence no device and no controller.
    if (!mountPoint) return;
    bool created = false;
    syncControllerForMountPoint(*mountPoint, &created);
    if (created) autoStartSyncForDriveAt(*mountPoint, true);
}

bool KTLAppDelegate::autoStartSyncForDriveAt(const std::string& mountPoint, bool suppressAlerts) {
    debugMessage(QStringLiteral("-autoStartSyncForDriveAt: %1").arg(pathText(mountPoint)));
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(mountPoint);
    const char* failure = nullptr;
    if (controller && controller->busy())
        failure = "The drive \"%@\" is already involved in a sync operation.";
    else if (!controller || !controller->isValidFileSystem())
        failure = "The drive \"%@\" needs to be formatted with HFS+ or some variant thereof.";
    else if (!controller->isDeviceSetupForSync())
        failure = "The drive \"%@\" needs has not been setup for use with Pellora yet.";
    if (failure) {
        if (!suppressAlerts)
            runAlert(KTLLocalizedString(QStringLiteral("Cannot Start Sync.")),
                     KTLFormatWith(KTLLocalizedString(QString::fromUtf8(failure)),
                                   displayNameAtPath(mountPoint)));
        return false;
    }
    // The first sync enables this computer for the drive and copies what the drive lists:
    // from a drive this computer has never synced, that could be any of the user's files.
    if (suppressAlerts && !controller->isUserSetupForSync()) {
        askBeforeFirstSync(controller, mountPoint);
        return true;
    }
    controller->setCancelPending(false);
    afterDelay(controller, [this](KTLSyncController& drive) { drive.sync(this); });
    return true;
}

void KTLAppDelegate::askBeforeFirstSync(const std::shared_ptr<KTLSyncController>& controller,
                                        const std::string& mountPoint) {
    debugMessage(QStringLiteral("-autoStartSyncForDriveAt: asking before the first sync of %1")
                     .arg(pathText(mountPoint)));
    const QString home = QString::fromLocal8Bit(KTLSyncController::homeFolder());
    QStringList entries;
    for (QString entry : controller->syncItemList()) {
        if (entry.startsWith(home + u'/')) entry = u'~' + entry.mid(home.size());
        entries.append(entry);
    }
    const QString title = KTLLocalizedString(QStringLiteral("Sync This Drive?"));
    auto* box = new QMessageBox(
        QMessageBox::Question, title,
        KTLFormatWith(KTLLocalizedString(QStringLiteral(
                          "The drive \"%@\" has never been synchronized with this computer. "
                          "Synchronizing it copies these items between the drive and this "
                          "computer:")),
                      displayNameAtPath(mountPoint)));
    box->setObjectName(QStringLiteral("_firstSyncAlert"));
    box->setInformativeText(entries.isEmpty() ? KTLLocalizedString(QStringLiteral("(no items)"))
                                              : entries.join(u'\n'));
    box->setTextFormat(Qt::PlainText);
    QPushButton* syncButton =
        box->addButton(KTLLocalizedString(QStringLiteral("Sync")), QMessageBox::AcceptRole);
    QPushButton* cancelButton =
        box->addButton(KTLLocalizedString(QStringLiteral("Cancel")), QMessageBox::RejectRole);
    box->setDefaultButton(syncButton);
    box->setEscapeButton(cancelButton);
    box->setWindowModality(Qt::ApplicationModal);
    // Answered later: the mount monitor and the bus go on meanwhile.
    connect(box, &QMessageBox::finished, this, [this, box, syncButton, controller] {
        box->deleteLater();
        // Cancel records nothing, so the question comes again at the next plug-in.
        if (box->clickedButton() != syncButton) return;
        controller->setCancelPending(false);
        afterDelay(controller, [this](KTLSyncController& drive) { drive.sync(this); });
    });
    std::erase_if(_openAlerts, [](const QPointer<QMessageBox>& open) { return open.isNull(); });
    _openAlerts.emplace_back(box);
    box->show();
}

// --- Busy hold ---

void KTLAppDelegate::updateBusyHold(const std::shared_ptr<KTLSyncController>& controller) {
    const QString device = deviceOf(controller.get());
    if (device.isNull() || !controller->busy()) {
        releaseBusyHold(controller.get());
        return;
    }
    if (holdsDrive(controller.get())) return;
    const std::string mountPoint = controller->deviceMountPoint();
    int fd = open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A root folder we may not read can still be pinned.
    if (fd < 0) fd = open(mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        debugMessage(QStringLiteral("-updateBusyHold: cannot hold %1 (%2).")
                         .arg(pathText(mountPoint), QString::fromLocal8Bit(strerror(error))));
        return;
    }
    _busyHolds.emplace(controller.get(), fd);
    debugMessage(QStringLiteral("-updateBusyHold: %1 held: Sync In Progress").arg(device));
}

void KTLAppDelegate::releaseBusyHold(const KTLSyncController* controller) {
    auto found = _busyHolds.find(controller);
    if (found == _busyHolds.end()) return;
    close(found->second);
    _busyHolds.erase(found);
    debugMessage(QStringLiteral("-updateBusyHold: %1 released")
                     .arg(pathText(controller->deviceMountPoint())));
}
