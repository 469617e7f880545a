#include "MountMonitor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <thread>

#include "FakeMountTable.h"
#include "TempDir.h"

namespace {

struct AppEnvironment : testing::Environment {
    int argc = 1;
    char name[24] = "MountMonitor_test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    void SetUp() override { app = std::make_unique<QCoreApplication>(argc, argv); }
    void TearDown() override { app.reset(); }
};
const auto* const kEnv = testing::AddGlobalTestEnvironment(new AppEnvironment);

// Every report of the monitor, one line each, in order.
class MonitorTest : public testing::Test {
  protected:
    void SetUp() override {
        drive = makeFolder(dir / "drive");
        renamed = makeFolder(dir / "renamed");
        other = makeFolder(dir / "other");
        blockFolder = makeFolder(dir / "block");
    }
    void watch() {
        monitor = std::make_unique<MountMonitor>();
        monitor->setBlockDeviceFolder(blockFolder);
        QObject::connect(monitor.get(), &MountMonitor::appeared,
                         [this](const QString& d, const std::string& p) {
                             events << "appeared " + d + " " + QString::fromStdString(p);
                         });
        QObject::connect(monitor.get(), &MountMonitor::descriptionChanged,
                         [this](const QString& d, const std::optional<std::string>& p) {
                             events << "changed " + d + " " +
                                           (p ? QString::fromStdString(*p) : QString("-"));
                         });
        QObject::connect(monitor.get(), &MountMonitor::disappeared,
                         [this](const QString& d) { events << "disappeared " + d; });
        ASSERT_TRUE(monitor->start());
    }
    // Runs the event loop until `count` reports have come, then a little longer so that
    // stray ones would show.
    QStringList take(int count, int ms = 3000) {
        QElapsedTimer clock;
        clock.start();
        while (events.size() < count && clock.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QStringList out = events;
        events.clear();
        return out;
    }
    QString q(const std::string& s) { return QString::fromStdString(s); }

    TempDir dir;
    FakeMountTable table{dir / "mountinfo"};
    std::string drive, renamed, other, blockFolder;
    std::unique_ptr<MountMonitor> monitor;
    QStringList events;
};

}  // namespace

TEST_F(MonitorTest, ReportsArrivalMoveAndDepartureOfADeviceThatGoesWithItsMount) {
    table.add("/", "/dev/root0", "ext4");
    table.add("/run/user", "tmpfs", "tmpfs");
    watch();
    // What was mounted at the start is the baseline, not news.
    EXPECT_EQ(monitor->volumes().size(), 1u);
    EXPECT_TRUE(take(0).isEmpty());

    ASSERT_TRUE(table.add(drive, "/dev/fake1"));
    ASSERT_TRUE(table.add(other, "server:/export", "nfs4"));  // not a block device
    EXPECT_EQ(take(1), QStringList{"appeared fake1 " + q(drive)});

    ASSERT_TRUE(table.move(drive, renamed));  // the table replaced by a rename
    EXPECT_EQ(take(1), QStringList{"changed fake1 " + q(renamed)});

    // No such device under the block folder: it is gone together with its mount.
    ASSERT_TRUE(table.remove("/dev/fake1"));
    EXPECT_EQ(take(2), (QStringList{"changed fake1 -", "disappeared fake1"}));
    EXPECT_EQ(monitor->volumes().count("root0"), 1u);
}

TEST_F(MonitorTest, ADeviceThatOutlivesItsMountDisappearsWhenTheKernelLetsItGo) {
    makeFolder(blockFolder + "/fake2");
    watch();
    ASSERT_TRUE(table.add(drive, "/dev/fake2"));
    ASSERT_TRUE(table.add(other, "/dev/fake2"));  // a second mount of the same device
    EXPECT_EQ(take(1), QStringList{"appeared fake2 " + q(drive)});

    ASSERT_TRUE(table.remove("/dev/fake2"));
    EXPECT_EQ(take(1), QStringList{"changed fake2 -"});
    // Mounted again while still attached: the same device, so a description change.
    ASSERT_TRUE(table.add(renamed, "/dev/fake2"));
    EXPECT_EQ(take(1), QStringList{"changed fake2 " + q(renamed)});

    ASSERT_TRUE(table.remove("/dev/fake2"));
    EXPECT_EQ(take(1), QStringList{"changed fake2 -"});
    rmdir((blockFolder + "/fake2").c_str());
    EXPECT_EQ(take(1), QStringList{"disappeared fake2"});
}

TEST_F(MonitorTest, AnUnreadableTableChangesNothing) {
    ASSERT_TRUE(table.add(drive, "/dev/fake3"));
    watch();
    ASSERT_EQ(rename(table.file().c_str(), (dir / "away").c_str()), 0);
    EXPECT_TRUE(take(0).isEmpty());
    // Back again, unchanged: still nothing; then a real change is seen.
    ASSERT_EQ(rename((dir / "away").c_str(), table.file().c_str()), 0);
    ASSERT_TRUE(table.add(other, "/dev/fake4"));
    EXPECT_EQ(take(1), QStringList{"appeared fake4 " + q(other)});
}
