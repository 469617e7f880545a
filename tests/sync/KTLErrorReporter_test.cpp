// The error reporters: counting, the three modes, their alerts, and copy errors in a run.

#include "KTLErrorReporter.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "EngineFixture.h"

namespace {

FileOperationError copyError() {
    return {"/src/a.txt", std::string("/dst/b.txt"), QStringLiteral("Input/output error"), EIO};
}

class Reporters : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        writeConfig({});
        controller->show();
    }

    // A reporter decides on the worker in real use; here a thread of its own asks while the
    // main thread pumps events and the fake window answers.
    bool decideOnAThread(KTLErrorReporter& reporter, const FileOperationError& error) {
        std::atomic<bool> done{false};
        bool answer = false;
        std::thread asker([&] {
            FileManager manager;
            answer = reporter.fileManagerShouldProceedAfterError(manager, error);
            done = true;
        });
        EXPECT_TRUE(waitUntil([&] { return done.load(); }, 10)) << "no answer came";
        // An unanswered question would hold the thread for ever.
        ui->endOpenSheet(0, false);
        waitUntil([&] { return done.load(); });
        asker.join();
        return answer;
    }
};

TEST_F(Reporters, ModeZeroAsksAndCancelStopsTheRun) {
    KTLCopyErrorReporter& reporter = controller->copyReporter();
    ASSERT_EQ(reporter.delegate(), controller);

    ui->answers.push_back({1});
    EXPECT_TRUE(decideOnAThread(reporter, copyError()));
    ASSERT_EQ(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->sheets[0].title, QStringLiteral("Copy Failed."));
    // The destination's name and the reason.
    EXPECT_TRUE(ui->sheets[0].message.contains(QStringLiteral("\"b.txt\" (Input/output error)")))
        << ui->sheets[0].message.toStdString();
    EXPECT_EQ(ui->countLines(QStringLiteral(
                  "Unable to copy \"/src/a.txt\" to \"/dst/b.txt\" - Input/output error.")),
              1);
    EXPECT_FALSE(controller->cancelPending());

    ui->answers.push_back({0});
    EXPECT_FALSE(decideOnAThread(reporter, copyError()));
    EXPECT_TRUE(controller->cancelPending());
    EXPECT_EQ(reporter.errorCount(), 2);
}

TEST_F(Reporters, OtherModesDecideUnaskedAndLeaveTheCancelFlag) {
    KTLDeleteErrorReporter& reporter = controller->deleteReporter();
    reporter.setErrorHandling(1);
    EXPECT_TRUE(decideOnAThread(reporter, {"/gone/x", std::nullopt, QStringLiteral("Busy"), 16}));
    reporter.setErrorHandling(-1);
    EXPECT_FALSE(decideOnAThread(reporter, {"/gone/x", std::nullopt, QStringLiteral("Busy"), 16}));
    EXPECT_TRUE(ui->sheets.empty());
    EXPECT_FALSE(controller->cancelPending());
    EXPECT_EQ(reporter.errorCount(), 2);
    // Logged whatever the mode.
    EXPECT_EQ(ui->countLines(QStringLiteral("Unable to delete \"/gone/x\" - Busy.")), 2);
}

// A device file is not data: its copy is reported as an error, even to root.
class CopyErrorInARun : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        const int64_t t0 = nowNs() - 3600 * kSecondNs;
        put(mac("docs/a.txt"), "a", t0);
        put(mac("docs/z.txt"), "z", t0);
        if (mknod(mac("docs/dev").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            GTEST_SKIP() << "device files can only be made by root";
        writeConfig({"~/docs"});
    }
};

TEST_F(CopyErrorInARun, TheUserDecides) {
    // Cancel: the run ends as canceled and nothing reaches the drive.
    ui->answers.push_back({0});
    ASSERT_TRUE(sync());
    ASSERT_EQ(ui->sheets.size(), 1u);
    EXPECT_EQ(ui->sheets[0].title, QStringLiteral("Copy Failed."));
    EXPECT_EQ(ui->countLines(canceledLine()), 1);
    EXPECT_TRUE(controller->cancelPending());
    EXPECT_FALSE(pathExists(onDrive("docs")));

    // OK: the copy goes on past the device, but the run did not do all it should: it does not
    // say it completed, and the last sync time stays for the next run to try again.
    controller->setCancelPending(false);
    const QDateTime before = controller->lastSyncTime();
    ui->answers.push_back({1});
    ui->answers.push_back({1});  // the closing "Sync Failed"
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countAlerts(QStringLiteral("Copy Failed.")), 2);
    EXPECT_EQ(ui->countLines(completedLine()), 0);
    EXPECT_EQ(ui->countLines(failedLine()), 1);
    EXPECT_EQ(ui->countLines(QStringLiteral(
                  "1 error(s) occurred; the items concerned are tried again at the next sync.")),
              1);
    EXPECT_EQ(controller->lastSyncTime(), before);
    EXPECT_EQ(readFile(onDrive("docs/z.txt")), "z");
    EXPECT_FALSE(pathExists(onDrive("docs/dev")));
}

}  // namespace
