#include "LogController.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <csignal>
#include <filesystem>
#include <thread>

#include "TempDir.h"

namespace {

// Every test runs as in the application: with an event loop to drive the flush timer.
struct AppEnvironment : testing::Environment {
    int argc = 1;
    char name[20] = "LogController_test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    void SetUp() override { app = std::make_unique<QCoreApplication>(argc, argv); }
    void TearDown() override { app.reset(); }
};
const auto* const kAppEnvironment = testing::AddGlobalTestEnvironment(new AppEnvironment);

template <typename Predicate>
bool runUntil(Predicate done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

const QRegularExpression kStamped(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d )");

// A stand-in window that records what the controller asks of it.
struct FakeWindow : LogWindowInterface {
    QString contents, title;
    QStringList calls;
    bool visible = false;
    void setText(const QString& text) override { contents = text; }
    void appendText(const QString& text) override { contents += text; }
    QString text() const override { return contents; }
    void setTitle(const QString& t) override { title = t; }
    void center() override { calls << "center"; }
    void setFrameAutosaveName(const QString& name) override { calls << "frame " + name; }
    void showWindow(QObject*) override { visible = true; }
    void hideWindow() override { visible = false; }
    bool isWindowVisible() const override { return visible; }
    void beginSheet(const LogAlertTexts&, std::function<void(int)>) override {}
};

struct FakeFactory : LogWindowFactory {
    FakeWindow* last = nullptr;
    std::unique_ptr<LogWindowInterface> loadWindow() override {
        auto window = std::make_unique<FakeWindow>();
        last = window.get();
        return window;
    }
    bool runAlert(const LogAlertTexts&) override { return true; }
};

}  // namespace

TEST(LogController, LineFormat) {
    const QString line = LogController::generateString("Pellora starting.", true, true);
    EXPECT_TRUE(kStamped.match(line).hasMatch()) << line.toStdString();
    EXPECT_EQ(line.mid(20), "Pellora starting.\n");
    EXPECT_EQ(LogController::generateString(" 50% \"x\" ", false, false), " 50% \"x\" ");

    LogController log;
    log.addLogString("stamped", true, true);
    EXPECT_TRUE(kStamped.match(log.pendingText()).hasMatch());
    // Suppression holds for added lines, not for the formatter called directly.
    log.zapLogAndWindowContents();
    log.setSuppressTimeStamp(true);
    log.addLogString("first", true, true);
    log.addLogString("no end", true, false);
    log.addLogString(" - continued", true, true);
    EXPECT_EQ(log.pendingText(), "first\nno end - continued\n");
    EXPECT_TRUE(kStamped.match(LogController::generateString("y", true, false)).hasMatch());
}

TEST(LogController, PendingTextMovesIntoTheWindowOnFirstShow) {
    LogController log;
    EXPECT_EQ(log.windowTitle(), "Log");
    log.addLogString("one", false, true);

    // Without a window the lines keep collecting.
    testing::internal::CaptureStderr();
    log.show();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot load LogWindow.nib\n");
    EXPECT_EQ(log.window(), nullptr);
    log.addLogString("two", false, true);
    EXPECT_EQ(log.pendingText(), "one\ntwo\n");

    auto factory = std::make_shared<FakeFactory>();
    log.setWindowFactory(factory);
    log.show();
    FakeWindow& window = *factory->last;
    EXPECT_EQ(window.contents, "one\ntwo\n");
    EXPECT_TRUE(log.pendingText().isEmpty());
    // Centred before the saved frame is restored, so the saved one wins.
    EXPECT_EQ(window.calls, QStringList({"center", "frame com.orvane.logwindow"}));
    EXPECT_EQ(window.title, "Log");

    log.addLogString("three", false, true);
    EXPECT_EQ(window.contents, "one\ntwo\nthree\n");
    EXPECT_TRUE(log.pendingText().isEmpty());
    log.setWindowTitle("Pellora Log");
    EXPECT_EQ(window.title, "Pellora Log");
    log.hide();
    log.show();
    EXPECT_EQ(factory->last, &window);

    // Without a user interface nothing can be asked, so nothing is cleared.
    LogController bare;
    bare.addLogString("stays", false, true);
    bare.clearLog();
    EXPECT_EQ(bare.pendingText(), "stays\n");
}

TEST(LogController, ReadingAndWritingTheFile) {
    TestHome home;
    const std::string file = home.path() + "/.local/state/Pellora/Pellora.log";
    LogController log;
    log.setLogFilename(file);
    log.addLogString("before", false, true);
    EXPECT_TRUE(log.readLogFile());  // missing: nothing changes
    EXPECT_EQ(log.pendingText(), "before\n");

    // Writing makes the missing folders.
    ASSERT_TRUE(log.writeLogFile());
    EXPECT_EQ(readFile(file), "before\n");
    EXPECT_TRUE(log.writeLogFileTo(home.path() + "/x/y/copy.log"));
    EXPECT_EQ(readFile(home.path() + "/x/y/copy.log"), "before\n");

    ASSERT_TRUE(writeFile(file, "2006/03/14 09:05:07 earlier run\n"));
    EXPECT_TRUE(log.readLogFile());
    EXPECT_EQ(log.pendingText(), "2006/03/14 09:05:07 earlier run\n");
}

TEST(LogController, FailedWriteLeavesTheOldFile) {
    TempDir dir;
    const std::string file = dir / "Pellora.log";
    ASSERT_TRUE(writeFile(file, "old contents\n"));
    LogController log;
    log.setLogFilename(file);
    ASSERT_TRUE(log.readLogFile());
    log.addLogString(QString(64 * 1024, QLatin1Char('x')), false, true);

    // A file size limit holds for every user, root included, so the write fails for sure.
    struct rlimit saved, small;
    getrlimit(RLIMIT_FSIZE, &saved);
    small = saved;
    small.rlim_cur = 4096;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    const bool ok = log.writeLogFile();
    const std::string err = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "[LogController writeToFile:" + file + "] failed\n");
    EXPECT_EQ(readFile(file), "old contents\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    // Once writing works again the next flush brings the file in line.
    ASSERT_TRUE(log.flushLogFile());
    EXPECT_EQ(readFile(file), log.text().toUtf8());
}

TEST(LogController, FileFollowsTheTextWithinASecond) {
    TestHome home;
    const std::string file = home.path() + "/.local/state/Pellora/Pellora.log";
    auto matches = [&](LogController& log) { return readFile(file) == log.text().toUtf8(); };
    {
        LogController log;
        log.setWindowFactory(std::make_shared<FakeFactory>());
        log.setLogFilename(file);
        EXPECT_TRUE(log.readLogFile());  // a first start: no file yet
        log.addLogString("Pellora starting.", true, true);
        log.addLogString("partial ", false, false);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(runUntil([&] { return matches(log); }, 3000));
        EXPECT_LT(clock.elapsed(), 1500);

        log.show();
        log.addLogString("line \u00e9\u00a0\u2122", false, true);
        ASSERT_TRUE(runUntil([&] { return matches(log); }, 1500));

        // A log file removed behind our back is written whole again, not just its new lines.
        ASSERT_EQ(unlink(file.c_str()), 0);
        log.addLogString("after removal", false, true);
        ASSERT_TRUE(runUntil([&] { return matches(log); }, 1500));
        EXPECT_TRUE(log.text().endsWith("partial line \u00e9\u00a0\u2122\nafter removal\n"));

        // Clearing takes the file along at once.
        log.zapLogAndWindowContents();
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(readFile(file), "");
        // Lines still waiting for the timer reach the file when the controller goes away.
        log.addLogString("last words", false, true);
    }
    EXPECT_EQ(readFile(file), "last words\n");

    // A restart continues the old log, appending to the file in place.
    LogController next;
    next.setLogFilename(file);
    ASSERT_TRUE(next.readLogFile());
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    next.addLogString("Pellora starting.", false, true);
    ASSERT_TRUE(next.flushLogFile());
    next.addLogString("more", false, true);
    ASSERT_TRUE(next.flushLogFile());
    EXPECT_EQ(readFile(file), "last words\nPellora starting.\nmore\n");
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // An old log that isn't UTF-8 reads with replacement characters; the file follows suit.
    ASSERT_TRUE(writeFile(file, QByteArray("bad \xff byte\n")));
    ASSERT_TRUE(next.readLogFile());
    next.addLogString("next", false, true);
    ASSERT_TRUE(next.flushLogFile());
    EXPECT_EQ(next.text(), QString::fromUtf8("bad \xef\xbf\xbd byte\nnext\n"));
    EXPECT_EQ(readFile(file), next.text().toUtf8());
}
