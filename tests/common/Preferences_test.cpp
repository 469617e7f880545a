// The per-host preference store and the log: what reaches their files and what never leaves
// its folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <thread>

#include "KTLUserDefaults.h"
#include "LogController.h"
#include "PropertyList.h"
#include "TempDir.h"

namespace {

QVariantMap stored(const std::string& path) {
    const auto value = readPropertyList(readFile(path));
    return value ? value->toMap() : QVariantMap();
}

bool runUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    for (clock.start(); !done() && clock.elapsed() < ms; usleep(10000))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace

TEST(KTLUserDefaults, StoresOnlyWhatDiffersFromTheDefaultsPerHost) {
    TestHome home;
    for (const auto& [host, expected] : std::vector<std::pair<std::string, std::string>>{
             {"a/../b", "a_.._b"}, {"..", "localhost"}, {".", "localhost"}, {"", "localhost"}})
        EXPECT_EQ(KTLUserDefaults(host).hostID(), expected) << host;
    {
        KTLUserDefaults one("one"), two("two");
        EXPECT_EQ(one.filePath(), home.path() + "/.config/Orvane/ByHost/Pellora.one.plist");
        one.registerDefaults({{"limit", 10}});
        one.setInteger(20, "limit");
        one.setObject(QVariantMap{{"n", 1}}, "drive");
        two.setObject(QVariantMap{{"n", 2}}, "drive");
        ASSERT_TRUE(one.synchronize() && two.synchronize());
        EXPECT_EQ(stored(one.filePath()).value("limit"), QVariant(20));
        // Back to the default, or removed: gone from the file too.
        one.setInteger(10, "limit");
        one.removeObjectForKey("drive");
        ASSERT_TRUE(one.synchronize());
        EXPECT_TRUE(stored(one.filePath()).isEmpty());
    }
    EXPECT_FALSE(KTLUserDefaults("one").objectForKey("drive").isValid());
    EXPECT_EQ(KTLUserDefaults("two").dictionaryForKey("drive").value("n"), QVariant(2));
}

TEST(KTLUserDefaults, RecordsChangedFromTwoThreadsKeepEveryChange) {
    TestHome home;
    KTLUserDefaults defaults("host");
    auto worker = [&](const QString& drive) {
        for (int i = 0; i < 100; ++i) {
            QVariantMap record = defaults.dictionaryForKey(drive);
            record.insert("count", record.value("count").toInt() + 1);
            defaults.setObject(record, drive);
            defaults.synchronize();
        }
    };
    std::thread a(worker, QStringLiteral("a")), b(worker, QStringLiteral("b"));
    a.join();
    b.join();
    KTLUserDefaults reread("host");
    EXPECT_EQ(reread.dictionaryForKey("a").value("count").toInt(), 100);
    EXPECT_EQ(reread.dictionaryForKey("b").value("count").toInt(), 100);
}

TEST(LogController, TheFileFollowsTheTextWithinASecondAndSurvivesRemovalAndRestart) {
    TestHome home;
    const std::string file = home.path() + "/.local/state/Pellora/Pellora.log";
    auto matches = [&](LogController& log) { return readFile(file) == log.text().toUtf8(); };
    {
        LogController log;
        log.setLogFilename(file);
        EXPECT_TRUE(log.readLogFile());
        log.addLogString("Pellora starting.", true, true);
        EXPECT_TRUE(log.text().contains(
            QRegularExpression(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d Pellora starting.\n$)")));
        ASSERT_TRUE(runUntil([&] { return matches(log); }, 1500));
        // A file removed behind our back is written whole again, not just the new lines.
        ASSERT_EQ(unlink(file.c_str()), 0);
        log.addLogString("after removal", false, true);
        ASSERT_TRUE(runUntil([&] { return matches(log); }, 1500));
        log.zapLogAndWindowContents();
        EXPECT_EQ(readFile(file), "");
        log.addLogString("last words", false, true);  // flushed when the controller goes
    }
    EXPECT_EQ(readFile(file), "last words\n");
    LogController next;
    next.setLogFilename(file);
    ASSERT_TRUE(next.readLogFile());
    next.addLogString("more", false, true);
    ASSERT_TRUE(next.flushLogFile());
    EXPECT_EQ(readFile(file), "last words\nmore\n");
}
