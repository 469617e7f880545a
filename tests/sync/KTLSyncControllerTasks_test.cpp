// The worker's queue: order, busy state, "death" and the idle continuous-sync pass.

#include "EngineFixture.h"

namespace {

class Tasks : public EngineTest {
  protected:
    // The drawer lines that contain one of `marks`, reduced to the mark, in drawer order.
    QStringList milestones(const QStringList& marks) const {
        QStringList seen;
        for (const QString& line : ui->drawer.split(u'\n'))
            for (const QString& mark : marks)
                if (line.contains(mark)) seen << mark;
        return seen;
    }
    // A continuous-sync pass announces itself in debug mode.
    int passes() const {
        return ui->countLines(QStringLiteral("-threadDoContinuousSync")) +
               ui->countLines(QStringLiteral("Scanning for changes"));
    }
};

const QString kBuilding = QStringLiteral("--- building tree first time ---");
const QString kBuilt = QStringLiteral("--- done building tree first time ---");
const QString kReleasing = QStringLiteral("--- releasing tree ---");
const QString kStarted = QStringLiteral("Synchronization started.");

TEST_F(Tasks, RunOneAtATimeInSubmissionOrderAndKeepTheControllerBusy) {
    setDebug(true);
    writeConfig({});
    // Switching starts the worker too, so that its task never leaves the drive busy.
    controller->setContinuousSyncState(false);
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));

    // The tree tasks log only once a run has read the debug setting.
    controller->sync();
    startedWorker();
    controller->setContinuousSyncState(true);
    controller->setContinuousSyncState(false);
    controller->sync();

    int completedWhenIdle = -1;
    ASSERT_TRUE(waitUntil([&] {
        if (controller->busy()) return false;
        completedWhenIdle = ui->countLines(completedLine());
        return true;
    }));
    // Not idle before the last task had finished.
    EXPECT_EQ(completedWhenIdle, 2);
    const QString completed = completedLine();
    QStringList seen = milestones({kBuilding, kBuilt, kReleasing, kStarted, completed});
    // The task queued first ran before the first sync.
    seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), kStarted));
    EXPECT_EQ(seen, (QStringList{kStarted, completed, kBuilding, kBuilt, kReleasing, kStarted,
                                 completed}));
}

TEST_F(Tasks, DeathEndsTheWorkerAndDiscardsWhatFollows) {
    setDebug(true);
    writeConfig({});
    controller->sync();
    startedWorker();
    controller->sync();
    controller->driveDisappeared();
    controller->sync();
    controller->setContinuousSyncState(true);

    ASSERT_TRUE(waitUntil([&] { return controller->workerEnded(); }));
    EXPECT_FALSE(controller->busy());
    pumpFor(0.1);
    EXPECT_EQ(ui->countLines(kStarted), 2);
    EXPECT_EQ(ui->countLines(completedLine()), 2);
    EXPECT_EQ(ui->countLines(kBuilding), 0);

    // Nobody runs what is queued now.
    controller->sync();
    pumpFor(0.2);
    EXPECT_TRUE(controller->busy());
    EXPECT_EQ(ui->countLines(kStarted), 2);
}

TEST_F(Tasks, AnIdleWorkerQueuesAContinuousSyncPass) {
    setDebug(true);
    writeConfig({});
    ASSERT_TRUE(sync());
    ASSERT_TRUE(controller->continuousSyncState());
    // With the usual count nothing comes for a long while.
    pumpFor(0.3);
    EXPECT_EQ(passes(), 0);

    KTLSyncController::setWorkerTiming(std::chrono::milliseconds(10), 5);
    EXPECT_TRUE(waitUntil([&] { return passes() >= 2; }, 10)) << ui->drawer.toStdString();
    // The passes come from the worker alone: no sync ran meanwhile.
    EXPECT_EQ(ui->countLines(kStarted), 1);
}

}  // namespace
