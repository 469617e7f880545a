#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "ConditionLock.h"
#include "DriveLock.h"
#include "FileManager.h"
#include "FolderChain.h"
#include "KTLErrorReporter.h"
#include "KTLItemTree.h"
#include "KTLSyncWindowInterface.h"
#include "StagingRecord.h"

// One task for a drive's worker: "operation" and, for "updateSyncList", the new list.
struct KTLTask {
    QString operation;
    QStringList syncList;
};

// One question from the worker to the main thread, answered through its condition lock
// (1 = pending, 0 = answered).
struct KTLPromptRecord {
    ConditionLock lock{1};
    int result = 0;
    QString title;
    QString message;
    bool cancelButton = false;
    std::string localPath;
    std::string taplinePath;
    bool whichIsNewerThan = false;
};

// The object that stands for one mounted drive: its configuration, identifier, remembered
// answers, cancel flag, window, item tree and the queue of its worker thread. The main thread
// queues work; the worker runs it. A running worker keeps its controller alive.
//
// The class is spread over files named after its categories.
class KTLSyncController : public std::enable_shared_from_this<KTLSyncController> {
    struct Private {};

  public:
    // Use controllerForMountPoint.
    KTLSyncController(Private, std::string mountPoint);
    ~KTLSyncController();
    KTLSyncController(const KTLSyncController&) = delete;
    KTLSyncController& operator=(const KTLSyncController&) = delete;

    static std::shared_ptr<KTLSyncController> controllerForMountPoint(
        const std::string& mountPoint);

    // The process-wide debug flag of the workers, refreshed from "debug" at each task.
    static std::atomic<bool> sDebug;
    // The "debug" preference, read afresh.
    static bool debugPreference();

    // Makes the drive windows; without one a controller has no window and its questions are
    // answered 0 at once.
    static void setWindowFactory(KTLSyncWindowFactory factory);
    // Run by the help control (the application's help page).
    static void setHelpHandler(std::function<void()> handler);

    // Told whenever a controller's task list turns from empty to not empty or back, on the
    // thread that changed it and under no lock of the controller; the application holds the
    // drive busy meanwhile. Once the call that clears it returns, no call is under way.
    static void setBusyObserver(
        std::function<void(const std::shared_ptr<KTLSyncController>&)> observer);

    // Test hook: the worker's poll interval and the number of empty polls after which it
    // queues a continuous-sync pass (defaults 1 s and 60).
    static void setWorkerTiming(std::chrono::milliseconds pollInterval, int idleCount);

    // --- Work requests (main thread) ---
    void sync(const void* sender = nullptr);
    void continuousSyncNow(const void* sender = nullptr);
    void updateSyncList(const QStringList& newList);
    void toggleContinuousSync(const void* sender = nullptr);
    void cancelButtonClicked(const void* sender = nullptr);
    void driveDisappeared(const void* sender = nullptr);
    bool busy() const;
    // True once a started worker has ended (after "death").
    bool workerEnded() const { return _workerEnded; }
    // Main thread: whether a worker was ever started for this controller.
    bool workerStarted() const { return _threadDetached; }

    // --- Accessors ---
    std::string deviceMountPoint() const;
    void setDeviceMountPoint(const std::string& mountPoint);
    // The list as last submitted, else the configuration's; none while neither exists.
    std::optional<QStringList> shadowedSyncList();
    void setShadowedSyncList(const QStringList& list);
    bool cancelPending() const { return _cancelPending; }
    void setCancelPending(bool pending) { _cancelPending = pending; }
    bool continuousSyncState();
    void setContinuousSyncState(bool state);
    QDateTime lastSyncTime();
    void setLastSyncTime(const QDateTime& time);
    bool updateLastSyncTime(const QDateTime& time);
    QString uniqueID();
    void setUniqueID(const QString& identifier);
    KTLCopyErrorReporter& copyReporter();
    KTLDeleteErrorReporter& deleteReporter();
    void setCopyReporter(std::unique_ptr<KTLCopyErrorReporter> reporter);
    void setDeleteReporter(std::unique_ptr<KTLDeleteErrorReporter> reporter);
    int defaultConflictResolutionAction() const { return _defaultConflictResolutionAction; }
    void setDefaultConflictResolutionAction(int action) {
        _defaultConflictResolutionAction = action;
    }
    int defaultMissingResolutionAction() const { return _defaultMissingResolutionAction; }
    void setDefaultMissingResolutionAction(int action) { _defaultMissingResolutionAction = action; }
    // The configuration, loaded on first use; a copy.
    QVariantMap deviceConfig();
    void setDeviceConfig(const QVariantMap& config);
    // True when the configuration is loaded (loading it if needed).
    bool deviceConfigLoaded();
    // The configuration's "tapline-items-to-sync".
    QStringList syncItemList();
    void setSyncItemList(const QStringList& list);
    KTLTreeNode* itemInventory() const { return _itemTree.get(); }
    void setItemInventory(KTLItemTree tree) { _itemTree = std::move(tree); }
    // The calling thread's file manager.
    FileManager& fileManager();

    // --- Paths ---
    std::string pathForConfigFile() const;
    std::string pathForTaplineTarget() const;
    std::string pathForTaplineTemp();
    std::string pathForLocalTemp();
    // The user's home folder, where "~" leads.
    static std::string homeFolder();
    // The home's staging folder, or a staging folder on the drive, or anything in them.
    bool isStagingPath(const std::string& path) const;
    // Where an item of the sync list lies on the Mac: "~" expanded, else from the root.
    static std::string macPathForItem(const std::string& item);
    // True for an entry that may be synchronized: not empty, no NUL, no "." or ".." component.
    static bool isSafeSyncItem(const std::string& item);
    // True for an identifier that may name folders.
    static bool isSafeUniqueID(const QString& identifier);

    // --- Configuration file ---
    bool readConfigFile();
    bool writeConfigFile();

    // --- Setup, VirginMac ---
    // The file system types a drive may have ("accepted-file-systems"), read afresh.
    static QStringList acceptedFileSystems();
    bool isValidFileSystem();
    bool isDeviceSetupForSync();
    bool isUserSetupForSync();
    bool enableSyncForThisComputerWithPrompt(bool prompt);

    // --- FileFiltering ---
    static bool shouldCopyItem(const std::optional<std::string>& item,
                               const std::optional<std::string>& baseName);
    static bool shouldCopyItem(const std::string& item) {
        return shouldCopyItem(item, std::nullopt);
    }

    // --- Feedback, WindowDelegate (main thread unless said otherwise) ---
    void show(const void* sender = nullptr);
    void helpClicked(const void* sender = nullptr);
    bool windowShouldClose();
    void windowWillClose() {}
    // The check mark of the continuous-sync menu item.
    bool validateToggleContinuousSyncItem() { return continuousSyncState(); }
    // Any thread.
    void fileFolderSyncInProgress(const std::string& item, double percentComplete);
    void logMessage(const QString& message);
    void debugMessage(const QString& message);
    KTLSyncWindowInterface* window() const { return _window.get(); }
    QString displayName() const;

    // --- SyncThread (worker) ---
    void masterThread();
    void threadDoSync();
    void threadDoSyncListUpdate(const QStringList& newList);
    void threadDoContinuousSync();
    void rebuildItemTreeIfContinuous();

    // --- UpdateSyncListSupport (worker unless named mainThread) ---
    void updateListThreadBasicSetup();
    void mainThreadUpdateUIForUpdateSyncList();
    static QStringList updateListThreadKillListGivenOldSyncList(const QStringList& oldList,
                                                                const QStringList& newList);
    // Removes the stored copies of the kill list's entries, sparing those of `keptList`'s.
    void updateListThreadProcessKillList(const QStringList& killList,
                                         const QStringList& keptList = {});
    // Removes what lies in `folder` (at `relative` below a dropped entry) but the kept paths
    // (relative to that entry) and the folders above them.
    void removeAllBut(const std::string& folder, const std::string& relative,
                      const std::unordered_set<std::string>& kept, KTLErrorReporter& reporter);
    void updateListThreadReportResults(bool result);
    void mainThreadUpdateUIForUpdateSyncListDone();

    // --- ContinuousSyncSupport (worker) ---
    void continuousSyncThreadBasicSetup();
    void checkForChanges();
    void continuousSyncThreadCleanup();
    // lastSyncTime in whole seconds, truncated toward zero; outside 32 bits the earliest value.
    static int32_t referenceTimeFor(const QDateTime& time);
    // For a runner whose one pass stands for a session that fully synced the drive earlier;
    // call before the first task is queued (the field is the worker's afterwards).
    void setFullSyncCompleted(bool completed) { _fullSyncCompleted = completed; }

    // --- Entry checks (any thread) ---
    // True when the entry's place on the computer is the drive's mount point, lies above it or
    // on the drive: walking or copying it would walk the drive itself.
    bool syncItemHoldsTheDrive(const std::string& item) const;
    // Logs why a listed entry is left alone and answers false; true for an entry that may be
    // scanned, copied or removed.
    bool syncThreadAcceptsSyncItem(const QString& entry);

    // --- SyncThreadSupport (worker) ---
    void syncThreadBasicSetup();
    void mainThreadUpdateUIForSync();
    bool syncThreadHasInterruptedSync();
    bool syncThreadHandleInterruptedSync();
    bool syncThreadPrepareFolders();
    bool syncThreadSyncItems();
    // The list's entries a run walks: those accepted, less those another entry's walk covers
    // (nested or repeated), so that each file is synchronized once.
    std::vector<std::string> syncThreadItemsToWalk();
    static std::vector<std::string> withoutCoveredItems(const std::vector<std::string>& items);
    bool syncThreadSyncItem(const std::string& item);
    // An entry met while recursing: its name in both sides' folders, which are held open (or
    // closed, past a depth that would cost too many descriptors).
    struct SyncItemParent {
        const OpenFolder& mac;
        const OpenFolder& drive;
        const std::string& name;
        int depth;
        // The folder's node in the tree the run collects; none when it collects none.
        KTLTreeNode* node;
    };
    // Adds the node of an item that is on the computer after the run to the collected tree.
    KTLTreeNode* collectNode(KTLTreeNode* into, const std::string& nodeName);
    bool syncThreadSyncItem(const std::string& item, const SyncItemParent* parent);
    // Logs an item that could not be read (not merely absent) with the reason and counts it
    // as an error of the run or pass, which goes on with the other items.
    bool syncThreadItemUnreadable(const std::string& path, int error);
    // Says that a socket was left out of the synchronization (not an error).
    void syncThreadSocketSkipped(const std::string& path);
    bool syncThreadFinishSync();
    bool syncThreadCleanupAfterSync();
    void syncThreadReportResults(bool result);
    void mainThreadUpdateUIForSyncDone();
    bool syncThreadProcessTempFolders();
    bool syncThreadDeleteTempFolders();
    // Flushes both sides' file systems: what was written is on the disks.
    bool syncThreadFlushBothSides();
    // The same for the sides this run wrote to.
    bool syncThreadFlushWrittenSides();
    // Whether the drive the run started on is still mounted where it was; logs once when not.
    bool syncThreadDriveIsPresent();
    // Takes the drive's lock for a task that writes to it; false (said in the log) when
    // another engine holds it or it can't be taken. Holding it, clears what a cut-off
    // configuration rewrite left at the drive's root.
    bool syncThreadHoldDrive(DriveLock& lock);

    // --- Prompts ---
    void syncThreadLogMessage(const QString& message);
    void mainThreadUpdateUIMessageField(const QString& message);
    bool syncThreadPerformAlertWithTitle(const QString& title, const QString& message,
                                         bool cancelButton);
    // Asks on the main thread and waits for the answer code.
    int syncThreadAsk(void (KTLSyncController::*prompt)(const std::shared_ptr<KTLPromptRecord>&),
                      const std::shared_ptr<KTLPromptRecord>& record);
    void mainThreadPerformAlert(const std::shared_ptr<KTLPromptRecord>& record);
    void mainThreadPromptWhenMissingMacPath(const std::shared_ptr<KTLPromptRecord>& record);
    void mainThreadPromptWhenConflict(const std::shared_ptr<KTLPromptRecord>& record);

    // --- TreeScanningRoutines (worker) ---
    // The entries the tree holds: accepted ones not covered by another.
    std::vector<std::string> scannedItems();
    KTLItemTree buildItemTreeUsingFTS();
    // The top node is named `topName` when given, else after `path`.
    KTLItemTree buildTreeAtPath(const std::string& path, const std::string* topName = nullptr);
    void updateItemTreeReturningItemsChanged(std::vector<std::string>& changed, int32_t since,
                                             std::vector<std::string>& added,
                                             std::vector<std::string>& deleted);
    void rescanDirectory(const std::string& path, KTLTreeNode* node, bool lookForDeltas,
                         std::vector<std::string>& changed, int32_t since,
                         std::vector<std::string>& added, std::vector<std::string>& deleted);
    static std::string createNodeName(const std::string& name, bool isDirectory);
    static bool nodeIsDirectory(const KTLTreeNode* node);
    static KTLTreeNode* findChildNamed(const std::string& name, const KTLTreeNode* parent);
    static std::vector<std::string> contentsOfNode(const KTLTreeNode* node);
    static std::optional<std::string> buildPathForNode(const KTLTreeNode* node);

  private:
    void queueTask(KTLTask task);
    void busyChanged();
    void startWorkerIfNeeded();
    bool readLocalRecord(QVariantMap* record);
    QVariantMap localRecordOrEmpty();
    bool storeLocalRecord(const QVariantMap& record);
    bool makeRunFolder(const std::string& base, const std::vector<std::string>& components,
                       std::optional<mode_t> mode);
    // The state of the levels from the mount point to the drive staging folder, and from the
    // home folder to the Mac staging folder.
    FolderChainState driveStagingState();
    FolderChainState macStagingState();
    // Stages `source` at `destination`, noting the state its final place had when the run
    // decided (`decided`, none for absent).
    bool copyOnto(const std::string& source, const std::string& destination, bool toDrive,
                  const std::optional<FileAttributes>& decided);
    bool writeStagingRecords();
    int askMissing(const std::string& localPath);
    int askConflict(const std::string& localPath, const std::string& drivePath, bool macIsNewer);
    bool processStagedEntries(const std::string& folder, const std::string& destinationFolder,
                              bool skipHome, bool* sawHome, const char* movingFormat,
                              const std::optional<StagingRecord>& record,
                              const std::string& keyPrefix);
    bool moveStagedEntry(const std::string& staged, const std::string& final,
                         const std::string& key, const StagingRecord* record);
    bool keepChangedPlace(const std::string& final);
    bool deleteTempFolder(const std::string& folder, FolderChainState state);
    // The levels from the mount point down to the folder that holds a drive-side path below
    // the sync folder are real folders (none missing or a link). `known` caches folders found
    // real during one pass.
    // The folders from the mount point down to the parent of a list path's copy on the drive.
    FolderChainState storedCopyChainState(const std::string& listPath);
    bool driveFoldersAreReal(const std::string& listPath, std::unordered_set<std::string>& known);
    void appendToWindowLog(const QString& line);

    // Guards the lazily filled fields and the mount point: either thread may ask first. Held
    // only for a read or a write of a field, never across a log line: those wait for the main
    // thread, which may itself be asking for a field.
    mutable std::mutex _fieldLock;

    std::optional<QStringList> _shadowedSyncList;
    std::string _deviceMountPoint;
    std::optional<QVariantMap> _deviceConfig;
    std::optional<QString> _uniqueID;
    std::optional<QDateTime> _lastSyncTime;
    std::atomic<int> _defaultConflictResolutionAction{0};
    std::atomic<int> _defaultMissingResolutionAction{0};
    std::atomic<bool> _cancelPending{false};
    std::unique_ptr<KTLDeleteErrorReporter> _deleteReporter;
    std::unique_ptr<KTLCopyErrorReporter> _copyReporter;
    bool _threadDetached = false;
    std::atomic<bool> _workerEnded{false};
    KTLItemTree _itemTree;
    // The tree a sync collects from its own listings for continuous sync, and whether
    // something it did not list (a staging folder walked past, a folder fetched from the
    // drive) leaves it short: then it is walked again.
    KTLItemTree _collectedTree;
    bool _collectedTreeShort = false;
    mutable std::mutex _taskLock;
    std::vector<KTLTask> _taskList;
    std::condition_variable _taskQueued;  // wakes an idle worker

    std::unique_ptr<KTLSyncWindowInterface> _window;
    bool _windowLoadFailed = false;
    // Worker only: what this run wrote, so that only those file systems are flushed.
    bool _wroteDrive = false;
    bool _wroteMac = false;
    // Worker only: the file system at the mount point when the run began. Once it is gone,
    // paths below the mount point lead into the folder underneath it.
    std::optional<dev_t> _runDevice;
    // Worker only: where the drive was mounted when the run began; a run does not follow a move.
    std::string _runMountPoint;
    bool _reportedDriveGone = false;
    // Worker only: the coarser modification-time step of the drive's and the home's file systems.
    int64_t _runDatePrecisionNs = 1;
    // Worker only: a full sync of the drive completed since this controller was made. Until
    // then continuous sync copies nothing to the drive: its copies may be newer than ours.
    bool _fullSyncCompleted = false;
    bool _saidWaitingForFullSync = false;
    QDateTime _runStarted;
    // Worker only: the roots of a run's items, worked out once per run rather than per item.
    struct RunRoots {
        std::string target;
        std::string driveTemp;
        std::string localTemp;
    };
    std::optional<RunRoots> _runRoots;
    // Worker only: what this run (or the interrupted one it finishes) decided for its staged
    // copies, per staging folder; none when it is not known.
    std::optional<StagingRecord> _driveRecord, _macRecord;
    // Worker only: final places found changed since the decision and left alone in this run.
    int _keptItems = 0;
    // The run made both staging folders itself: nothing of an earlier run is in them.
    bool _stagingMadeByThisRun = false;
    RunRoots currentRoots();
};
