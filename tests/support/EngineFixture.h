#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QVariantList>
#include <QVariantMap>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "FakeMountTable.h"
#include "FakeSyncWindow.h"
#include "KTLSyncController.h"
#include "KTLUserDefaults.h"
#include "LogController.h"
#include "PreferenceDomain.h"
#include "PropertyList.h"
#include "TempDir.h"
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

inline int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline constexpr int64_t kSecondNs = 1000000000;

// Creates the folder and every missing one above it.
inline void makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Writes a file (making its folders) and gives it a modification time.
inline void put(const std::string& path, const QByteArray& contents, int64_t mtimeNs) {
    makeFolders(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(writeFile(path, contents)) << path;
    ASSERT_TRUE(setModificationTime(path, mtimeNs)) << path;
}

inline ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// One drive, one home, one controller with a fake window, per test. The home is a folder
// inside the test's own folder, so that "~/.." names a place the test can watch. (The
// preference stores stay where the environment above settled them.)
class EngineTest : public testing::Test {
  protected:
    void SetUp() override {
        // TestHome has pointed HOME at the test's folder; the home proper lies one level down.
        top = testHome.path();
        home = top + "/home";
        makeFolders(home);
        setenv("HOME", home.c_str(), 1);
        drive = makeFolder(top + "/drive");
        mounts.add(drive, "/dev/sdz1", "hfsplus");
        static int serial = 0;
        id = QStringLiteral("T%1-%2").arg(++serial).arg(getpid());
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

    // The configuration file: the sync list, the identifier and any further keys.
    void writeConfig(const QStringList& items, const QVariantMap& extra = {}) {
        QVariantMap config = extra;
        QVariantList list;
        for (const QString& item : items) list.append(item);
        config.insert(QStringLiteral("tapline-items-to-sync"), list);
        config.insert(QStringLiteral("tapline-uuid"), id);
        writeRawConfig(writePropertyListXML(config));
    }
    void writeRawConfig(const QByteArray& bytes) { ASSERT_TRUE(writeFile(configPath(), bytes)); }

    // Queues a sync and waits until the worker has finished every queued task.
    bool sync(double seconds = 30) {
        controller->sync();
        _workerStarted = true;
        return waitUntil([&] { return !controller->busy(); }, seconds);
    }
    void startedWorker() { _workerStarted = true; }

    std::string mac(const std::string& relative) const { return home + "/" + relative; }
    std::string target() const { return drive + "/Tolvex"; }
    std::string onDrive(const std::string& relative) const { return target() + "/~/" + relative; }
    std::string configPath() const { return drive + "/.TolvexConfig"; }
    std::string driveStaging() const { return target() + "/TL_VS_W/" + id.toStdString(); }
    std::string macStaging() const { return home + "/.TL_VS_W/" + id.toStdString(); }

    static std::string differences(const TreeSnapshot& a, const TreeSnapshot& b) {
        return describeDifferences(a, b);
    }

    TestHome testHome;
    FakeMountTable mounts{testHome.path() + "/mountinfo"};
    std::string top, home, drive;
    QString id;
    std::shared_ptr<FakeWindowState> ui;
    std::shared_ptr<KTLSyncController> controller;

  private:
    bool _workerStarted = false;
};

// The closing lines of a run, with the drive's display name.
inline QString completedLine() {
    return QStringLiteral("Synchronization of \"drive\" completed successfully.");
}
inline QString failedLine() {
    return QStringLiteral("Synchronization of \"drive\" did not complete successfully.");
}
inline QString canceledLine() {
    return QStringLiteral("Synchronization of \"drive\" canceled.");
}
