#include <thread>

#include "KTLSyncController.h"
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
        if (task.operation == QLatin1String("sync")) {
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
    _itemTree.reset();
    if (continuousSyncState()) _itemTree = buildItemTreeUsingFTS();
}

void KTLSyncController::threadDoSync() {
    syncThreadBasicSetup();
    bool result = true;
    if (syncThreadHasInterruptedSync() && !syncThreadHandleInterruptedSync()) result = false;
    if (result && !syncThreadPrepareFolders()) result = false;
    if (result && !syncThreadSyncItems()) result = false;
    if (result && !syncThreadFinishSync()) result = false;
    if (result) _fullSyncCompleted = true;
    rebuildItemTreeIfContinuous();
    syncThreadCleanupAfterSync();
    syncThreadReportResults(result);
}
