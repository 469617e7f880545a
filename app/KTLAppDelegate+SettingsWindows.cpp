#include "KTLAppDelegate.h"
#include "KTLPreferencesWindow.h"
#include "KTLStartAtLogin.h"
#include "KTLSyncController.h"
#include "KTLSyncListWindow.h"
#include "KTLSyncWindow.h"
#include "KTLVolumeChooser.h"

// The windows that set drives up without a text editor: Preferences, a drive's Sync List, and
// the volume chooser's states. They go through the same operations as the menus and scripting.

void KTLAppDelegate::showPreferences() {
    if (!_preferencesWindow) {
        _preferencesWindow = std::make_unique<KTLPreferencesWindow>();
        _preferencesWindow->addSetting(
            QStringLiteral("Start at Login"), "_startAtLoginButton",
            [] { return KTLStartAtLogin::isEnabled(); },
            [this](bool on) { return setStartAtLogin(on); });
    }
    _preferencesWindow->showWindow();
}

void KTLAppDelegate::showSyncList() {
    std::shared_ptr<KTLSyncController> controller = frontController();
    if (!controller) return;
    auto* driveWindow = dynamic_cast<KTLSyncWindow*>(controller->window());
    auto* window = driveWindow ? driveWindow->findChild<KTLSyncListWindow*>() : nullptr;
    if (!window) {
        std::weak_ptr<KTLSyncController> weak = controller;
        window = new KTLSyncListWindow(
            controller,
            [this, weak](const QStringList& list) {
                std::shared_ptr<KTLSyncController> drive = weak.lock();
                if (!drive || !setSyncList(list, drive->deviceMountPoint())) return false;
                if (auto* shown = dynamic_cast<KTLSyncWindow*>(drive->window()))
                    shown->setSyncListHintVisible(false);
                return true;
            },
            driveWindow);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

KTLVolumeState KTLAppDelegate::volumeState(const std::string& mountPoint) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(mountPoint);
    if (!controller || !controller->isValidFileSystem()) return KTLVolumeState::NotAccepted;
    return controller->isDeviceSetupForSync() ? KTLVolumeState::SetUp : KTLVolumeState::New;
}

void KTLAppDelegate::showSyncListHint(const std::string& mountPoint) {
    std::shared_ptr<KTLSyncController> controller = syncControllerForMountPoint(mountPoint);
    if (!controller) return;
    controller->show(this);
    if (auto* window = dynamic_cast<KTLSyncWindow*>(controller->window()))
        window->setSyncListHintVisible(true);
}
