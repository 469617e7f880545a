#include "KTLSyncController.h"

#include <QTimeZone>
#include <thread>

#include "KTLUserDefaults.h"
#include "LogController.h"
#include "MainThread.h"
#include "PathUtilities.h"
#include "PreferenceDomain.h"

std::atomic<bool> KTLSyncController::sDebug{false};

namespace {

std::mutex sStaticsLock;
KTLSyncWindowFactory sWindowFactory;
std::function<void()> sHelpHandler;
// Held across the call, so that clearing the observer waits for a call under way.
std::mutex sBusyObserverLock;
std::function<void(const std::shared_ptr<KTLSyncController>&)> sBusyObserver;

const QString kLastSyncTimeKey = QStringLiteral("local-last-sync-time");
const QString kContinuousSyncKey = QStringLiteral("local-continuous-sync");

}  // namespace

// Earlier than any file date.
static QDateTime distantPast() {
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc());
}

KTLSyncController::KTLSyncController(Private, std::string mountPoint)
    : _deviceMountPoint(std::move(mountPoint)) {}

KTLSyncController::~KTLSyncController() {
    const QString message = QStringLiteral("-[KTLSyncController %1 dealloc]")
                                .arg(QString::fromLocal8Bit(_deviceMountPoint));
    if (isMainThread()) {
        debugMessage(message);
        return;
    }
    // The last reference went on a worker: nothing here may wait for the main thread, and the
    // window, a widget, must go there.
    if (debugPreference()) {
        const QString line = LogController::generateString(message, false, true);
        runOnMainThread(
            [line] { LogController::sharedInstance().addLogString(line, false, false); });
    }
    if (_window) {
        KTLSyncWindowInterface* window = _window.release();
        runOnMainThread([window] { delete window; });
    }
}

std::shared_ptr<KTLSyncController> KTLSyncController::controllerForMountPoint(
    const std::string& mountPoint) {
    prepareMainThreadHandoffs();
    return std::make_shared<KTLSyncController>(Private{}, mountPoint);
}

void KTLSyncController::setWindowFactory(KTLSyncWindowFactory factory) {
    std::lock_guard<std::mutex> lock(sStaticsLock);
    sWindowFactory = std::move(factory);
}

void KTLSyncController::setHelpHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(sStaticsLock);
    sHelpHandler = std::move(handler);
}

void KTLSyncController::setBusyObserver(
    std::function<void(const std::shared_ptr<KTLSyncController>&)> observer) {
    std::lock_guard<std::mutex> lock(sBusyObserverLock);
    sBusyObserver = std::move(observer);
}

void KTLSyncController::busyChanged() {
    std::lock_guard<std::mutex> lock(sBusyObserverLock);
    if (sBusyObserver) sBusyObserver(shared_from_this());
}

// --- Work requests ---

void KTLSyncController::queueTask(KTLTask task) {
    bool wasIdle;
    {
        std::lock_guard<std::mutex> lock(_taskLock);
        wasIdle = _taskList.empty();
        _taskList.push_back(std::move(task));
    }
    _taskQueued.notify_all();
    if (wasIdle) busyChanged();
}

void KTLSyncController::startWorkerIfNeeded() {
    if (_threadDetached) return;
    _threadDetached = true;
    // The thread holds the controller until it ends.
    std::thread([self = shared_from_this()] { self->masterThread(); }).detach();
}

void KTLSyncController::sync(const void* sender) {
    show(sender);
    queueTask({QStringLiteral("sync"), {}});
    startWorkerIfNeeded();
}

void KTLSyncController::continuousSyncNow(const void* sender) {
    show(sender);
    queueTask({QStringLiteral("continuous-sync"), {}});
    startWorkerIfNeeded();
}

void KTLSyncController::updateSyncList(const QStringList& newList) {
    show(nullptr);
    bool wasIdle;
    {
        std::lock_guard<std::mutex> lock(_taskLock);
        {
            std::lock_guard<std::mutex> fields(_fieldLock);
            _shadowedSyncList = newList;
        }
        wasIdle = _taskList.empty();
        _taskList.push_back({QStringLiteral("updateSyncList"), newList});
    }
    _taskQueued.notify_all();
    if (wasIdle) busyChanged();
    startWorkerIfNeeded();
}

void KTLSyncController::toggleContinuousSync(const void*) {
    setContinuousSyncState(!continuousSyncState());
}

void KTLSyncController::cancelButtonClicked(const void*) {
    setCancelPending(true);
}

void KTLSyncController::driveDisappeared(const void*) {
    queueTask({QStringLiteral("death"), {}});
    if (_window) _window->closeWindow();
}

bool KTLSyncController::busy() const {
    std::lock_guard<std::mutex> lock(_taskLock);
    return !_taskList.empty();
}

// --- Accessors ---

std::string KTLSyncController::deviceMountPoint() const {
    std::lock_guard<std::mutex> lock(_fieldLock);
    return _deviceMountPoint;
}

void KTLSyncController::setDeviceMountPoint(const std::string& mountPoint) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _deviceMountPoint = mountPoint;
}

std::optional<QStringList> KTLSyncController::shadowedSyncList() {
    {
        std::lock_guard<std::mutex> lock(_fieldLock);
        if (_shadowedSyncList) return *_shadowedSyncList;
    }
    const QVariantMap config = deviceConfig();
    const bool hasList = config.contains(QStringLiteral("tapline-items-to-sync"));
    const QStringList list = syncItemList();
    std::lock_guard<std::mutex> lock(_fieldLock);
    // An unreadable configuration, or one without a list (a fresh drive), gives none, and none
    // is kept: the next call tries again.
    if (!_deviceConfig || !hasList) return std::nullopt;
    if (!_shadowedSyncList) _shadowedSyncList = list;
    return *_shadowedSyncList;
}

void KTLSyncController::setShadowedSyncList(const QStringList& list) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _shadowedSyncList = list;
}

QVariantMap KTLSyncController::deviceConfig() {
    {
        std::lock_guard<std::mutex> lock(_fieldLock);
        if (_deviceConfig) return *_deviceConfig;
    }
    readConfigFile();
    std::lock_guard<std::mutex> lock(_fieldLock);
    return _deviceConfig.value_or(QVariantMap());
}

bool KTLSyncController::deviceConfigLoaded() {
    deviceConfig();
    std::lock_guard<std::mutex> lock(_fieldLock);
    return _deviceConfig.has_value();
}

void KTLSyncController::setDeviceConfig(const QVariantMap& config) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _deviceConfig = config;
}

QStringList KTLSyncController::syncItemList() {
    QStringList list;
    for (const QVariant& entry :
         deviceConfig().value(QStringLiteral("tapline-items-to-sync")).toList())
        list.append(entry.toString());
    return list;
}

void KTLSyncController::setSyncItemList(const QStringList& list) {
    deviceConfig();
    std::lock_guard<std::mutex> lock(_fieldLock);
    if (!_deviceConfig) return;
    QVariantMap config = *_deviceConfig;
    config.insert(QStringLiteral("tapline-items-to-sync"), QVariant(list));
    _deviceConfig = config;
}

bool KTLSyncController::readLocalRecord(QVariantMap* record) {
    QVariant value = KTLUserDefaults::sharedInstance().objectForKey(uniqueID());
    if (!value.isValid()) return false;
    if (record) *record = value.toMap();
    return true;
}

QVariantMap KTLSyncController::localRecordOrEmpty() {
    QVariantMap record;
    readLocalRecord(&record);
    return record;
}

bool KTLSyncController::storeLocalRecord(const QVariantMap& record) {
    KTLUserDefaults& defaults = KTLUserDefaults::sharedInstance();
    defaults.setObject(record, uniqueID());
    return defaults.synchronize();
}

bool KTLSyncController::continuousSyncState() {
    QVariantMap record;
    if (!readLocalRecord(&record)) return false;
    return record.value(kContinuousSyncKey).toBool();
}

void KTLSyncController::setContinuousSyncState(bool state) {
    QVariantMap record = localRecordOrEmpty();
    record.insert(kContinuousSyncKey, state);
    storeLocalRecord(record);
    queueTask({state ? QStringLiteral("activate-continuous-sync")
                     : QStringLiteral("deactivate-continuous-sync"),
               {}});
    // A task left waiting for some later request would keep the drive busy: no quit, no
    // unmount, and every sync refused as "already involved in a sync operation".
    startWorkerIfNeeded();
}

QDateTime KTLSyncController::lastSyncTime() {
    {
        std::lock_guard<std::mutex> lock(_fieldLock);
        if (_lastSyncTime) return *_lastSyncTime;
    }
    QDateTime stored = localRecordOrEmpty().value(kLastSyncTimeKey).toDateTime();
    std::lock_guard<std::mutex> lock(_fieldLock);
    if (!_lastSyncTime) _lastSyncTime = stored.isValid() ? stored : distantPast();
    return *_lastSyncTime;
}

void KTLSyncController::setLastSyncTime(const QDateTime& time) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _lastSyncTime = time;
}

bool KTLSyncController::updateLastSyncTime(const QDateTime& time) {
    QVariantMap record = localRecordOrEmpty();
    record.insert(kLastSyncTimeKey, time.toUTC());
    setLastSyncTime(time);
    return storeLocalRecord(record);
}

void KTLSyncController::setUniqueID(const QString& identifier) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _uniqueID = identifier;
}

KTLCopyErrorReporter& KTLSyncController::copyReporter() {
    std::lock_guard<std::mutex> lock(_fieldLock);
    if (!_copyReporter) {
        _copyReporter = std::make_unique<KTLCopyErrorReporter>();
        _copyReporter->setDelegate(shared_from_this());
    }
    return *_copyReporter;
}

KTLDeleteErrorReporter& KTLSyncController::deleteReporter() {
    std::lock_guard<std::mutex> lock(_fieldLock);
    if (!_deleteReporter) {
        _deleteReporter = std::make_unique<KTLDeleteErrorReporter>();
        _deleteReporter->setDelegate(shared_from_this());
    }
    return *_deleteReporter;
}

void KTLSyncController::setCopyReporter(std::unique_ptr<KTLCopyErrorReporter> reporter) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _copyReporter = std::move(reporter);
}

void KTLSyncController::setDeleteReporter(std::unique_ptr<KTLDeleteErrorReporter> reporter) {
    std::lock_guard<std::mutex> lock(_fieldLock);
    _deleteReporter = std::move(reporter);
}

FileManager& KTLSyncController::fileManager() {
    // One manager per thread: a manager's batch belongs to the thread that fills it.
    thread_local FileManager manager;
    return manager;
}

void KTLSyncController::helpClicked(const void*) {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(sStaticsLock);
        handler = sHelpHandler;
    }
    if (handler) handler();
}

KTLSyncWindowFactory currentWindowFactory() {
    std::lock_guard<std::mutex> lock(sStaticsLock);
    return sWindowFactory;
}
