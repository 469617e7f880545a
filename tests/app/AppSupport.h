#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <QTimeZone>
#include <memory>
#include <string>
#include <vector>

#include "FakeMountTable.h"
#include "KTLAppDelegate.h"
#include "KTLSyncController.h"
#include "KTLUserDefaults.h"
#include "PreferenceDomain.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "TempDir.h"

// One home for the whole test program: the standard defaults settle in it on first use.
struct HomeEnvironment : testing::Environment {
    std::unique_ptr<TestHome> home;
    void SetUp() override { home = std::make_unique<TestHome>(); }
    void TearDown() override { home.reset(); }
};
inline auto* const kHome =
    static_cast<HomeEnvironment*>(testing::AddGlobalTestEnvironment(new HomeEnvironment));

// Where a test's home keeps the application's settings and log.
inline std::string xdg(const char* variable) {
    return qEnvironmentVariable(variable).toStdString();
}

// Writes the user's own settings, as if the user had set them before the start.
inline void writeDefaults(const QVariantMap& values) {
    ASSERT_TRUE(
        putFile(xdg("XDG_CONFIG_HOME") + "/Orvane/Pellora.plist", writePropertyListXML(values)));
}

// Makes `drive` a prepared drive: a configuration with its sync list and identifier.
inline void prepareDrive(const std::string& drive, const QStringList& items, const QString& id) {
    const QVariantMap config{{"tapline-items-to-sync", items}, {"tapline-uuid", id}};
    ASSERT_TRUE(writeFile(drive + "/.TolvexConfig", writePropertyListXML(config)));
}

// Makes `id` a drive this computer has synced before (its record as a first sync leaves it), so
// that sync-on-connect goes ahead without asking.
inline void knownDrive(const QString& id) {
    KTLUserDefaults& store = KTLUserDefaults::sharedInstance();
    store.setObject(QVariantMap{{"local-last-sync-time",
                                 QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc())},
                                {"local-continuous-sync", true}},
                    id);
    ASSERT_TRUE(store.synchronize());
}

inline QStringList driveList(const std::string& mountPoint) {
    const auto config = readPropertyList(readFile(mountPoint + "/.TolvexConfig"));
    return config.value_or(QVariant()).toMap().value("tapline-items-to-sync").toStringList();
}

inline QString logText() {
    return QString::fromUtf8(readFile(xdg("XDG_STATE_HOME") + "/Pellora/Pellora.log"));
}

// Polls `done` every few milliseconds for up to `seconds`.
template <typename Predicate>
bool pollUntil(Predicate done, double seconds) {
    for (QDeadlineTimer end(int64_t(seconds * 1000)); !done(); QThread::msleep(10))
        if (end.hasExpired()) return false;
    return true;
}

// Runs the event loop of this process until `done` or `ms` have passed.
template <typename Predicate>
bool runUntil(Predicate done, int ms = 5000) {
    return pollUntil(
        [&] { return QCoreApplication::processEvents(QEventLoop::AllEvents, 20), done(); },
        ms / 1000.0);
}

inline void runFor(int ms) {
    runUntil([] { return false; }, ms);
}

// The log is flushed at least once a second.
inline bool waitForLog(const QString& text, double seconds = 10) {
    return pollUntil([&] { return logText().contains(text); }, seconds);
}

inline QString binary(const char* name) {
    return QString::fromLocal8Bit(qgetenv("PELLORA_TEST_BINARY_DIR")) + "/" + name;
}

struct Outcome {
    int status = -1;  // -2: killed after the time-out
    std::string out, err;
};

// Runs a program to its end; one still running after 10 s is killed: a reply held back by an alert
// nobody dismisses shows up that way.
inline Outcome run(const QString& program, const std::vector<std::string>& arguments) {
    QStringList list;
    for (const std::string& argument : arguments) list << QString::fromStdString(argument);
    QProcess process;
    process.start(program, list);
    const bool ended = process.waitForFinished(10000);
    if (!ended) process.kill(), process.waitForFinished();
    const bool normal = ended && process.exitStatus() == QProcess::NormalExit;
    return {ended ? normal ? process.exitCode() : -1 : -2,
            process.readAllStandardOutput().toStdString(),
            process.readAllStandardError().toStdString()};
}

// A bus of the program's own for the tests that script the application, started by the first of
// them; the others keep to the nonexistent one CTest gives them.
inline void usePrivateBus() {
    static std::unique_ptr<PrivateBus> bus;
    if (bus) return;
    bus = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus->ok()) << "could not start dbus-daemon";
}

// The delegate in this process, on drives of a mount table of the test's own.
class DelegateTest : public testing::Test {
  protected:
    void SetUp() override { drive = makeFolder(dir / "DRIVE"); }
    void TearDown() override {
        release();
        for (const char* key :
             {"debug", "sync-on-connect", "accepted-file-systems", "start-at-login"})
            PreferenceDomain::standardUserDefaults().removeObjectForKey(QString::fromLatin1(key));
    }
    void launch() {
        delegate = std::make_unique<KTLAppDelegate>();
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    // Ends every drive's worker, then lets the delegate go: a worker still running would hand its
    // last lines to windows that are gone by then.
    void release() {
        if (!delegate) return;
        const auto controllers = delegate->syncControllers();
        for (const auto& [device, controller] : controllers) controller->driveDisappeared();
        EXPECT_TRUE(runUntil(
            [&] {
                for (const auto& [device, controller] : controllers)
                    if (controller->workerStarted() && !controller->workerEnded()) return false;
                return true;
            },
            15000));
        delegate.reset();
    }
    std::shared_ptr<KTLSyncController> controllerOf(const std::string& path) {
        return delegate->syncControllerForMountPoint(path);
    }

    TempDir dir;
    FakeMountTable table{dir / "mountinfo"};
    std::string drive;
    std::unique_ptr<KTLAppDelegate> delegate;
};
