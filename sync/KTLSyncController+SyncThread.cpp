#include <malloc.h>

#include <thread>

#include "FileContents.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "PathUtilities.h"
#include "PreferenceDomain.h"

namespace {

std::atomic<int64_t> sPollIntervalMs{1000};
std::atomic<int> sIdleCount{60};

}  // namespace

void KTLSyncController::setWorkerTiming(std::chrono::milliseconds pollInterval, int idleCount) {
    sPollIntervalMs = pollInterval.count();
    sIdleCount = idleCount;
}

void KTLSyncController::masterThread() {
    for (;;) {
        int idle = 0;
        for (;;) {
            bool empty;
            {
                std::lock_guard<std::mutex> lock(_taskLock);
                empty = _taskList.empty();
            }
            ++idle;
            if (!empty) break;
            if (idle < sIdleCount) {
                // A sleep that a newly queued task cuts short: the task starts at once.
                std::unique_lock<std::mutex> lock(_taskLock);
                _taskQueued.wait_for(lock, std::chrono::milliseconds(sPollIntervalMs.load()),
                                     [this] { return !_taskList.empty(); });
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(_taskLock);
                _taskList.insert(_taskList.begin(), KTLTask{QStringLiteral("continuous-sync"), {}});
            }
            busyChanged();
        }

        KTLTask task;
        {
            std::lock_guard<std::mutex> lock(_taskLock);
            task = _taskList.front();
        }
        // Every task that writes to the drive holds it to itself until it ends.
        DriveLock hold;
        const bool writes =
            task.operation == QLatin1String("sync") ||
            task.operation == QLatin1String("updateSyncList") ||
            (task.operation == QLatin1String("continuous-sync") && continuousSyncState());
        if (writes && !syncThreadHoldDrive(hold)) {
            if (task.operation == QLatin1String("sync")) syncThreadReportResults(false);
            if (task.operation == QLatin1String("updateSyncList"))
                updateListThreadReportResults(false);
        } else if (task.operation == QLatin1String("sync")) {
            threadDoSync();
        } else if (task.operation == QLatin1String("updateSyncList")) {
            threadDoSyncListUpdate(task.syncList);
        } else if (task.operation == QLatin1String("continuous-sync")) {
            threadDoContinuousSync();
        } else if (task.operation == QLatin1String("activate-continuous-sync")) {
            if (sDebug) syncThreadLogMessage(QStringLiteral("--- building tree first time ---"));
            _itemTree.reset();
            _itemTree = buildItemTreeUsingFTS();
            if (sDebug)
                syncThreadLogMessage(QStringLiteral("--- done building tree first time ---"));
        } else if (task.operation == QLatin1String("deactivate-continuous-sync")) {
            if (sDebug) syncThreadLogMessage(QStringLiteral("--- releasing tree ---"));
            _itemTree.reset();
        } else if (task.operation == QLatin1String("death")) {
            {
                std::lock_guard<std::mutex> lock(_taskLock);
                _taskList.clear();
            }
            busyChanged();
            break;
        }
        bool drained;
        {
            std::lock_guard<std::mutex> lock(_taskLock);
            _taskList.erase(_taskList.begin());
            drained = _taskList.empty();
        }
        if (drained) busyChanged();
    }
    _workerEnded = true;
}

void KTLSyncController::rebuildItemTreeIfContinuous() {
    KTLItemTree collected = std::move(_collectedTree);
    _itemTree.reset();
    if (!continuousSyncState()) return;
    // A run cut short listed only part of the computer side.
    if (collected && !_collectedTreeShort) {
        // Listings come in the folders' own order; the tree keeps names sorted.
        std::vector<KTLTreeNode*> folders{collected.get()};
        while (!folders.empty()) {
            KTLTreeNode* folder = folders.back();
            folders.pop_back();
            folder->sortChildren();
            for (const auto& child : folder->children())
                if (child->childCount()) folders.push_back(child.get());
        }
        _itemTree = std::move(collected);
    } else {
        _itemTree = buildItemTreeUsingFTS();
    }
}

void KTLSyncController::threadDoSync() {
    syncThreadBasicSetup();
    // The passes compare against the computer side as this run lists it: no second walk.
    _collectedTree.reset();
    _collectedTreeShort = false;
    if (continuousSyncState()) _collectedTree = KTLTreeNode::makeRoot();
    bool result = true;
    if (syncThreadHasInterruptedSync() && !syncThreadHandleInterruptedSync()) result = false;
    if (result && !syncThreadPrepareFolders()) result = false;
    if (result && !syncThreadSyncItems()) result = false;
    if (result && !syncThreadFinishSync()) result = false;
    if (result) _fullSyncCompleted = true;
    if (!result) _collectedTreeShort = true;
    rebuildItemTreeIfContinuous();
    syncThreadCleanupAfterSync();
    syncThreadReportResults(result);
    // A run's lists are gone; the heap would otherwise keep their peak for the whole session.
    malloc_trim(0);
}

bool KTLSyncController::syncThreadHoldDrive(DriveLock& lock) {
    // The drive's root folder: it is there for every task, and locking it writes nothing.
    const std::string mountPoint = deviceMountPoint();
    const DriveLock::Result result = lock.acquire(mountPoint);
    const int err = errno;
    switch (result) {
        case DriveLock::Result::Held:
            break;
        case DriveLock::Result::HeldElsewhere:
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString(
                    "\"%@\" is being synchronized by another program; nothing was done."),
                displayName()));
            return false;
        case DriveLock::Result::Failed:
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString("Unable to lock \"%1$@\" - %2$@; nothing was done."),
                pathText(mountPoint), errorText(err)));
            return false;
    }
    // A configuration rewrite cut off between writing and renaming leaves its unfinished file
    // at the root; no other engine can be writing one now.
    fileManager().removeTemporaryItemsIn(mountPoint, nullptr);
    return true;
}
