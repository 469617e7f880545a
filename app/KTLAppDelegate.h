#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AEEventServer.h"
#include "KTLTrayIcon.h"
#include "KTLVolumeChooser.h"

class KTLMenus;
class KTLNotifications;
class KTLPreferencesWindow;
class KTLSyncWindow;
class KTLSyncController;
class MountMonitor;
class QAction;
class QMessageBox;
class QSystemTrayIcon;

// The application's single delegate: its defaults, start-up and shut-down, the registry of one
// sync controller per mounted drive, drive arrival and departure with sync-on-connect, the
// drive operations behind the menus and scripting, the log and the menus. Main thread only.
//
// The class is spread over files named after its categories.
class KTLAppDelegate : public QObject {
    Q_OBJECT

  public:
    explicit KTLAppDelegate(QObject* parent = nullptr);
    ~KTLAppDelegate() override;

    // The application's delegate: the first one made, made on first use if none was.
    static KTLAppDelegate* sharedInstance();
    // The same, without making one: none before the first and after the last is gone.
    static KTLAppDelegate* existingInstance();

    // --- Accessors ---
    QString primaryMACAddress();
    const std::map<QString, std::shared_ptr<KTLSyncController>>& syncControllers() const {
        return _syncControllers;
    }
    bool isBusy() const;
    bool appHasFinishedLaunching() const { return _appHasFinishedLaunching; }
    void setAppHasFinishedLaunching(bool finished) { _appHasFinishedLaunching = finished; }
    MountMonitor* mountMonitor() const { return _mountMonitor; }
    KTLMenus* menus() const { return _menus; }
    QSystemTrayIcon* trayIcon() const { return _trayIcon; }

    // --- SyncControllerManagement ---
    // The controller of the volume that holds `mountPoint`, made and registered on first use;
    // none for a path that is not on a volume mounted from a block device.
    std::shared_ptr<KTLSyncController> syncControllerForMountPoint(
        const std::string& mountPoint, bool* createdNewObject = nullptr);

    // --- Application delegate ---
    // Start-up in two steps: the log, the controllers of the drives mounted now and the mount
    // monitor; then the menus, and from then on arrivals start syncs.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    // False while any drive has queued or running work: the engine's hand-offs to the main
    // thread wait without a time-out, so the application must outlive every busy worker.
    bool applicationShouldTerminate() const;
    void applicationWillTerminate();
    bool openFile(const std::string& path);
    void openFiles(const std::vector<std::string>& paths);
    // A quit from the menu, the window system or a signal; refused silently while busy.
    void terminate();

    // --- Menu commands ---
    void doHelp();
    void doSelectDevice();
    bool setupDriveForSync(const std::string& mountPoint);
    // Where the help page is: beside the program's installation.
    static std::string helpPagePath();

    // --- SettingsWindows ---
    void showPreferences();
    // The Sync List of the drive whose window is in front.
    void showSyncList();
    // What the volume chooser says of a volume.
    KTLVolumeState volumeState(const std::string& mountPoint);
    // Tells the user of a drive just given its first list where to choose what it syncs.
    void showSyncListHint(const std::string& mountPoint);

    // --- Drive operations (shared with scripting) ---
    bool isDriveSetupForSync(const std::string& path);
    bool isDriveValidForSync(const std::string& path, bool suppressAlerts);
    bool getContinuousSyncStateForDrive(const std::string& path);
    void setContinuousSyncState(bool state, const std::string& path);
    std::optional<QStringList> getSyncListForDrive(const std::string& path);
    // True when the update was queued (not refused for a busy or unknown drive).
    bool setSyncList(const QStringList& list, const std::string& path);
    void startSyncForDriveAt(const std::string& path);
    void cancelSyncForDriveAt(const std::string& path);

    // --- AppleEventShim: the scripting commands of class 'VSNC' ---
    // Each checks the event, runs the drive operation and fills in the reply; an alert the
    // operation shows holds the reply back until it is dismissed, without blocking other calls.
    void handleQueryEvent(const AEDescriptor& event, AEReply reply);
    void handleSetSyncListEvent(const AEDescriptor& event, AEReply reply);
    void handleGetSyncListEvent(const AEDescriptor& event, AEReply reply);
    void handleSetContinuousSyncStateEvent(const AEDescriptor& event, AEReply reply);
    void handleGetContinuousSyncStateEvent(const AEDescriptor& event, AEReply reply);
    void handleStartEvent(const AEDescriptor& event, AEReply reply);
    void handleCancelEvent(const AEDescriptor& event, AEReply reply);
    void handleStatusEvent(const AEDescriptor& event, AEReply reply);
    // The server the handlers are installed on; serving only if it could take the bus name.
    AEEventServer* eventServer() const { return _eventServer; }

    // --- Drive arrival and departure (mount monitor) ---
    void diskAppeared(const QString& device, const std::string& mountPoint);
    void diskDisappeared(const QString& device);
    void diskDescriptionChanged(const QString& device,
                                const std::optional<std::string>& mountPoint);

    // --- SyncOnConnectCode ---
    void newDriveAppeared(const std::optional<std::string>& mountPoint);
    bool autoStartSyncForDriveAt(const std::string& mountPoint, bool suppressAlerts);
    // Sync-on-connect of a drive this computer has no record for: Sync or Cancel first.
    void askBeforeFirstSync(const std::shared_ptr<KTLSyncController>& controller,
                            const std::string& mountPoint);

    // --- Busy hold ---
    // Holds the drive's mount point open while its controller is busy, so that it can't be
    // unmounted under a sync; lets go when the queue has drained or the drive has left.
    void updateBusyHold(const std::shared_ptr<KTLSyncController>& controller);
    bool holdsDrive(const KTLSyncController* controller) const {
        return _busyHolds.count(controller);
    }

    // --- LogWindow ---
    void setupLog();
    void flushLog();
    void logMessage(const QString& message);
    void debugMessage(const QString& message);
    void clearLogWindow();
    void toggleLogWindow();
    void toggleDebugMode();
    // Brings a menu item's title or check mark up to date; it stays enabled unless it is a
    // drive command with no drive window in front.
    bool validateUserInterfaceItem(QAction* item);
    // $XDG_STATE_HOME/Pellora/Pellora.log.
    static std::string logFilePath();

    // The drive of the window in front, if a drive window is in front.
    std::shared_ptr<KTLSyncController> frontController() const;

    // --- Desktop: one instance, tray, notifications, start at login ---
    // A second start without drives, or a click on the tray icon: the window of the drive that
    // waits on the user or syncs, else the log window.
    void activate();
    // A second start with drives: as if they had been given at this one's start.
    void openURIs(const QStringList& uris);
    // Brings a drive's window forward, with the question it waits on.
    void showDriveWindow(const KTLSyncController* controller);
    void toggleStartAtLogin();
    bool setStartAtLogin(bool enable);
    // Every drive with a configuration, as the tray tells it.
    std::vector<KTLDriveStatus> driveStatuses();
    KTLTrayState trayState() { return trayStateFor(driveStatuses()); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // What a drive's window has shown of its current run.
    struct DriveActivity {
        bool syncing = false;
        bool lastRunFailed = false;
        bool failureNotified = false;
        QString question;  // up while not empty
        bool questionNotified = false;
        QString lastLine;  // the run's latest line that can tell why it failed
    };
    void watchSyncWindow(KTLSyncWindow* window);
    void driveLineAppended(KTLSyncWindow* window, const QString& text);
    void noticeWaitingQuestions();
    void updateTray();
    void installTray();
    static void registerDefaults();
    void installMenus();
    // Runs `work` on the controller one second from now, unless its drive has left by then.
    void afterDelay(const std::shared_ptr<KTLSyncController>& controller,
                    std::function<void(KTLSyncController&)> work);
    bool isRegistered(const KTLSyncController* controller) const;
    QString deviceOf(const KTLSyncController* controller) const;
    void releaseBusyHold(const KTLSyncController* controller);
    void unregister(const QString& device);
    // Blocks until dismissed, unless a scripting command is running: then it is shown without
    // blocking and holds that command's answer until it is dismissed.
    void runAlert(const QString& title, const QString& message);
    void installEventHandlers();
    struct ScriptCommand;
    // An application-modal alert that returns at once and keeps `command` until dismissed.
    void showScriptAlert(const QString& title, const QString& message,
                         std::shared_ptr<ScriptCommand> command);
    // Dismisses the alerts still up, so that the answers they hold go out.
    void closeScriptAlerts();
    // Runs one command in the frame all eight share; `steps` gets the drive's path.
    void runScriptCommand(const char* handler, const AEDescriptor& event, AEReply reply,
                          const std::function<void(ScriptCommand&)>& steps);

    std::optional<QString> _primaryMACAddress;
    std::map<QString, std::shared_ptr<KTLSyncController>> _syncControllers;
    MountMonitor* _mountMonitor = nullptr;
    bool _appHasFinishedLaunching = false;
    bool _logIsSetUp = false;
    // Open folders on the mount points of busy drives.
    std::map<const KTLSyncController*, int> _busyHolds;
    KTLMenus* _menus = nullptr;
    QSystemTrayIcon* _trayIcon = nullptr;
    AEEventServer* _eventServer = nullptr;
    std::unique_ptr<KTLPreferencesWindow> _preferencesWindow;
    // The answer of the scripting command now running, for an alert to hold on to.
    std::shared_ptr<ScriptCommand> _runningCommand;
    std::vector<QPointer<QMessageBox>> _openAlerts;
    bool _scriptingServed = false;
    KTLNotifications* _notifications = nullptr;
    QIcon _trayIcons[3];  // by KTLTrayState, drawn once
    std::map<const KTLSyncController*, DriveActivity> _activity;
    // What the drive windows' signals reach: gone first, before the registry they look at.
    std::unique_ptr<QObject> _windowWatch = std::make_unique<QObject>();
};
