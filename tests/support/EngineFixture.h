#pragma once

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <memory>
#include <string>
#include <thread>

#include "FakeSyncWindow.h"
#include "KTLSyncController.h"
#include "KTLUserDefaults.h"
#include "LogController.h"
#include "PreferenceDomain.h"
#include "Sandbox.h"
#include "TreeSnapshot.h"

// One home for the whole process in which the preference stores settle on first use (they
// keep their path for the life of the process; each test still gets a home of its own). The
// program's main makes the application object the workers hand their lines and questions to.
struct EngineEnvironment : testing::Environment {
    std::unique_ptr<TestHome> processHome;

    void SetUp() override {
        processHome = std::make_unique<TestHome>();
        KTLUserDefaults::sharedInstance();
        PreferenceDomain::standardUserDefaults();
        LogController::sharedInstance();
    }
    void TearDown() override {
        KTLSyncController::setWindowFactory(nullptr);
        processHome.reset();
    }
};
inline const auto* const kEngineEnvironment =
    testing::AddGlobalTestEnvironment(new EngineEnvironment);

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Pumps the main thread's events until `done` holds or `seconds` have passed.
template <typename Predicate>
bool waitUntil(Predicate done, double seconds = 30) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > qint64(seconds * 1000)) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// For checks that something does not happen.
inline void pumpFor(double seconds) {
    waitUntil([] { return false; }, seconds);
}

// Writes a file (making its folders) and gives it a modification time.
inline void put(const std::string& path, const QByteArray& contents, int64_t mtimeNs) {
    ASSERT_TRUE(putFile(path, contents, mtimeNs)) << path;
}

inline ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Root reads and writes through any mode. Without these two capabilities in the main thread, the
// worker it starts meanwhile meets modes as a user would; the main thread gets them back.
class WithoutPermissionOverride {
  public:
    WithoutPermissionOverride() {
        if (geteuid() != 0) return;
        syscall(SYS_capget, &_header, _saved);
        __user_cap_data_struct reduced[2] = {_saved[0], _saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        _active = syscall(SYS_capset, &_header, reduced) == 0;
    }
    ~WithoutPermissionOverride() {
        if (_active) syscall(SYS_capset, &_header, _saved);
    }

  private:
    __user_cap_header_struct _header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct _saved[2]{};
    bool _active = false;
};

inline QString nextDriveId() {
    static int serial = 0;
    return QStringLiteral("T%1-%2").arg(++serial).arg(getpid());
}

// One drive, one home, one controller with a fake window, per test. The preference stores
// stay where the environment above settled them.
class EngineTest : public testing::Test, public Sandbox {
  protected:
    EngineTest() : Sandbox(nextDriveId()) {}

    void SetUp() override {
        ui = std::make_shared<FakeWindowState>();
        installFakeSyncWindows(ui);
        KTLSyncController::setWorkerTiming(std::chrono::milliseconds(10), 1 << 30);
        controller = KTLSyncController::controllerForMountPoint(drive);
    }

    void TearDown() override {
        stopWorker();
        // One question at a time, always.
        EXPECT_FALSE(ui->overlappingSheets);
        ui->onDrawerText = nullptr;
        ui->onStatusLine = nullptr;
        ui->responder = nullptr;
        ui->answers.clear();
        controller.reset();
        pumpFor(0.05);  // a window handed to the main thread by a worker goes now
        KTLSyncController::setWindowFactory(nullptr);
        KTLSyncController::setWorkerTiming(std::chrono::milliseconds(1000), 60);
        PreferenceDomain::standardUserDefaults().removeObjectForKey(QStringLiteral("debug"));
    }

    // Ends the worker so that none outlives the test.
    void stopWorker() {
        if (!_workerStarted || controller->workerEnded()) return;
        controller->driveDisappeared();
        EXPECT_TRUE(waitUntil([&] { return controller->workerEnded(); }, 30))
            << "the worker did not end";
    }

    // Another controller for the same drive, as after the drive came back; the old worker ends.
    void freshController() {
        stopWorker();
        controller = KTLSyncController::controllerForMountPoint(drive);
        _workerStarted = false;
    }

    void setDebug(bool on) {
        PreferenceDomain::standardUserDefaults().setBool(on, QStringLiteral("debug"));
    }

    void writeConfig(const QStringList& items, const QVariantMap& extra = {}) {
        ASSERT_TRUE(configure(items, extra));
    }
    void writeRawConfig(const QByteArray& bytes) { ASSERT_TRUE(writeFile(configPath(), bytes)); }

    // Queues a sync and waits until the worker has finished every queued task.
    bool sync(double seconds = 30) {
        controller->sync();
        _workerStarted = true;
        return waitUntil([&] { return !controller->busy(); }, seconds);
    }
    void startedWorker() { _workerStarted = true; }
    // A continuous pass, and a change of the sync list, each waited for.
    bool pass() {
        controller->continuousSyncNow();
        return idle();
    }
    bool update(const QStringList& list) {
        controller->updateSyncList(list);
        return idle();
    }
    bool idle() {
        _workerStarted = true;
        return waitUntil([&] { return !controller->busy(); });
    }

    // Cancels the run once a line holding `text` shows.
    void cancelAtLine(const QString& text) {
        ui->onDrawerText = [c = controller.get(), text](const QString& line) {
            if (line.contains(text)) c->cancelButtonClicked();
        };
    }

    const int64_t t0 = nowNs() - 3600 * kSecondNs;
    std::shared_ptr<FakeWindowState> ui;
    std::shared_ptr<KTLSyncController> controller;

  private:
    bool _workerStarted = false;
};

// The closing lines of a run, with the drive's display name.
inline const QString kCompleted =
    QStringLiteral("Synchronization of \"drive\" completed successfully.");
inline const QString kFailed =
    QStringLiteral("Synchronization of \"drive\" did not complete successfully.");
inline const QString kCanceled = QStringLiteral("Synchronization of \"drive\" canceled.");
