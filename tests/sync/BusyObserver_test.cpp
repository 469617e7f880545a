// The busy observer: told when a controller's queue fills (on the thread that queued) and when
// it drains (on the worker), so that the application can hold the drive meanwhile.

#include <mutex>

#include "EngineFixture.h"
#include "MainThread.h"

namespace {

struct Report {
    bool onMainThread;
    bool busy;
};

class BusyObserver : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KTLSyncController::setBusyObserver([this](const std::shared_ptr<KTLSyncController>& c) {
            const Report report{isMainThread(), c->busy()};
            std::lock_guard<std::mutex> lock(_lock);
            if (c == controller) _reports.push_back(report);
        });
    }
    void TearDown() override {
        KTLSyncController::setBusyObserver(nullptr);
        EngineTest::TearDown();
    }
    std::vector<Report> reports() {
        std::lock_guard<std::mutex> lock(_lock);
        return _reports;
    }

  private:
    std::mutex _lock;
    std::vector<Report> _reports;
};

}  // namespace

TEST_F(BusyObserver, IsToldOnceWhenTheQueueFillsAndOnceWhenItDrains) {
    writeConfig({});
    controller->sync();
    controller->sync();  // the queue was not empty: no news
    startedWorker();
    ASSERT_TRUE(waitUntil([&] { return reports().size() >= 2 && !controller->busy(); }));
    pumpFor(0.05);
    std::vector<Report> seen = reports();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].onMainThread && seen[0].busy);
    EXPECT_FALSE(seen[1].onMainThread);
    EXPECT_FALSE(seen[1].busy);
    EXPECT_EQ(ui->countLines(completedLine()), 2);

    // The drive's end drains the queue too.
    controller->sync();
    ASSERT_TRUE(waitUntil([&] { return !controller->busy(); }));
    controller->driveDisappeared();
    ASSERT_TRUE(waitUntil([&] { return controller->workerEnded(); }));
    seen = reports();
    // The worker may run "death" and report the drain before the queuing thread reports the
    // filling, so the order of these two is open; each reader looks at the queue afresh.
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_NE(seen[4].onMainThread, seen[5].onMainThread);
    EXPECT_FALSE(controller->busy());
}
