// The per-user, per-host store: defaults, removals that persist, drive records changed and
// written back, and computers that share a home folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDateTime>
#include <thread>

#include "KTLUserDefaults.h"
#include "PropertyList.h"
#include "TempDir.h"

namespace {

const QDateTime kDistantPast = QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);

QVariantMap fileContents(const std::string& path) {
    bool ok = false;
    QByteArray bytes = readFile(path, &ok);
    if (!ok) return QVariantMap();
    auto value = readPropertyList(bytes);
    EXPECT_TRUE(value.has_value()) << bytes.toStdString();
    return value ? value->toMap() : QVariantMap();
}

QVariantMap newDriveRecord() {
    return {{"local-last-sync-time", kDistantPast}, {"local-continuous-sync", false}};
}

}  // namespace

TEST(KTLUserDefaults, LivesInTheByHostFolder) {
    TestHome home;
    KTLUserDefaults defaults("0123abcd");
    EXPECT_EQ(defaults.filePath(), home.path() + "/.config/Orvane/ByHost/Pellora.0123abcd.plist");
    defaults.setBool(true, "x");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(fileContents(defaults.filePath()).value("x"), QVariant(true));

    // A host id never reaches outside the folder.
    EXPECT_EQ(KTLUserDefaults("a/../b").hostID(), "a_.._b");
    EXPECT_EQ(KTLUserDefaults("..").hostID(), "localhost");
    EXPECT_EQ(KTLUserDefaults("").hostID(), "localhost");
}

TEST(KTLUserDefaults, CurrentHostIsTheMachineIdElseTheHostName) {
    std::string expected;
    bool ok = false;
    QByteArray machineID = readFile("/etc/machine-id", &ok).trimmed();
    if (ok && !machineID.isEmpty()) {
        expected = machineID.toStdString();
    } else {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        expected = name;
    }
    EXPECT_FALSE(KTLUserDefaults::currentHostID().empty());
    EXPECT_EQ(KTLUserDefaults::currentHostID(), expected);

    TestHome home;
    KTLUserDefaults& shared = KTLUserDefaults::sharedInstance();
    EXPECT_EQ(&shared, &KTLUserDefaults::sharedInstance());
    EXPECT_EQ(shared.hostID(), KTLUserDefaults::currentHostID());
}

TEST(KTLUserDefaults, ValueEqualToItsDefaultIsNotStored) {
    TestHome home;
    KTLUserDefaults defaults("host");
    defaults.registerDefaults({{"limit", 10}, {"name", "none"}});

    defaults.setInteger(20, "limit");
    defaults.setObject(QStringLiteral("disk"), "name");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(fileContents(defaults.filePath()), (QVariantMap{{"limit", 20}, {"name", "disk"}}));

    // Setting a key back to its default removes it, from the file too.
    defaults.setInteger(10, "limit");
    defaults.setObject(QStringLiteral("none"), "name");
    EXPECT_EQ(defaults.integerForKey("limit"), 10);
    EXPECT_EQ(defaults.stringForKey("name"), "none");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_TRUE(fileContents(defaults.filePath()).isEmpty());

    // registerDefaults replaces: a default no longer registered is gone.
    defaults.registerDefaults({{"other", true}});
    EXPECT_FALSE(defaults.objectForKey("limit").isValid());
    EXPECT_TRUE(defaults.boolForKey("other"));
    defaults.registerDefaults({});
    EXPECT_FALSE(defaults.objectForKey("other").isValid());
}

TEST(KTLUserDefaults, RemovedKeyShowsTheDefaultAndLeavesTheFile) {
    TestHome home;
    {
        KTLUserDefaults defaults("host");
        defaults.registerDefaults({{"flag", true}});
        defaults.setBool(false, "flag");
        defaults.setObject(newDriveRecord(), "drive-1");
        ASSERT_TRUE(defaults.synchronize());
        defaults.removeObjectForKey("flag");
        defaults.removeObjectForKey("drive-1");
        EXPECT_TRUE(defaults.boolForKey("flag"));
        EXPECT_FALSE(defaults.objectForKey("drive-1").isValid());
        ASSERT_TRUE(defaults.synchronize());
    }
    KTLUserDefaults again("host");
    EXPECT_FALSE(again.objectForKey("flag").isValid());
    EXPECT_FALSE(again.objectForKey("drive-1").isValid());
}

TEST(KTLUserDefaults, DriveRecordChangedAndStoredIsWrittenWithTheChange) {
    TestHome home;
    const QDateTime synced = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    {
        KTLUserDefaults defaults("host");
        defaults.registerDefaults({});
        defaults.setObject(newDriveRecord(), "uuid-1");
        ASSERT_TRUE(defaults.synchronize());

        QVariantMap record = defaults.dictionaryForKey("uuid-1");
        EXPECT_EQ(record.value("local-last-sync-time").toDateTime(), kDistantPast);
        record.insert("local-last-sync-time", synced);
        record.insert("local-continuous-sync", true);
        defaults.setObject(record, "uuid-1");
        ASSERT_TRUE(defaults.synchronize());
    }
    KTLUserDefaults reread("host");
    const QVariantMap record = reread.dictionaryForKey("uuid-1");
    EXPECT_EQ(record.value("local-last-sync-time").toDateTime(), synced);
    EXPECT_TRUE(record.value("local-continuous-sync").toBool());
}

TEST(KTLUserDefaults, ComputersSharingAHomeKeepTheirOwnRecords) {
    TestHome home;
    {
        KTLUserDefaults first("computer-one");
        KTLUserDefaults second("computer-two");
        QVariantMap one = newDriveRecord();
        one.insert("local-continuous-sync", true);
        first.setObject(one, "uuid-1");
        second.setObject(newDriveRecord(), "uuid-1");
        second.setObject(newDriveRecord(), "uuid-2");
        ASSERT_TRUE(first.synchronize());
        ASSERT_TRUE(second.synchronize());
        EXPECT_NE(first.filePath(), second.filePath());
    }
    KTLUserDefaults first("computer-one");
    KTLUserDefaults second("computer-two");
    EXPECT_TRUE(first.dictionaryForKey("uuid-1").value("local-continuous-sync").toBool());
    EXPECT_FALSE(second.dictionaryForKey("uuid-1").value("local-continuous-sync").toBool());
    EXPECT_FALSE(first.objectForKey("uuid-2").isValid()) << "a drive set up on one computer only";
    EXPECT_TRUE(second.objectForKey("uuid-2").isValid());
}

TEST(KTLUserDefaults, TypedGetters) {
    TestHome home;
    KTLUserDefaults defaults("host");
    defaults.setObject(newDriveRecord(), "record");
    defaults.setObject(QStringLiteral("1"), "text");
    defaults.setFloat(2.5f, "ratio");
    EXPECT_TRUE(defaults.stringForKey("record").isNull());
    EXPECT_TRUE(defaults.arrayForKey("record").isEmpty());
    EXPECT_TRUE(defaults.dataForKey("record").isNull());
    EXPECT_EQ(defaults.integerForKey("record"), 0);
    EXPECT_FALSE(defaults.boolForKey("record"));
    EXPECT_TRUE(defaults.boolForKey("text"));
    EXPECT_EQ(defaults.integerForKey("text"), 1);
    EXPECT_EQ(defaults.floatForKey("ratio"), 2.5f);
    EXPECT_EQ(defaults.integerForKey("ratio"), 2);
    EXPECT_TRUE(defaults.dictionaryForKey("missing").isEmpty());
    EXPECT_EQ(defaults.floatForKey("missing"), 0.0f);
}

TEST(KTLUserDefaults, MainAndWorkerThreadsChangeRecordsTogether) {
    TestHome home;
    KTLUserDefaults defaults("host");
    defaults.registerDefaults({{"debug", false}});
    auto worker = [&](const QString& drive) {
        for (int i = 0; i < 100; ++i) {
            QVariantMap record = defaults.dictionaryForKey(drive);
            record.insert("count", record.value("count").toInt() + 1);
            defaults.setObject(record, drive);
            defaults.setBool(i % 2 == 0, "debug");
            defaults.synchronize();
        }
    };
    std::thread main(worker, QStringLiteral("drive-a"));
    std::thread other(worker, QStringLiteral("drive-b"));
    main.join();
    other.join();
    KTLUserDefaults reread("host");
    EXPECT_EQ(reread.dictionaryForKey("drive-a").value("count").toInt(), 100);
    EXPECT_EQ(reread.dictionaryForKey("drive-b").value("count").toInt(), 100);
    EXPECT_FALSE(reread.objectForKey("debug").isValid()) << "last value set equals the default";
}
