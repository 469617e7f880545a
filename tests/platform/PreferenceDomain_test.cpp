// Preference domains on real files: persistence, removals, unreadable files, defaults, typed
// getters and concurrent use.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QUrl>
#include <algorithm>
#include <climits>
#include <thread>

#include "PreferenceDomain.h"
#include "PropertyList.h"
#include "TempDir.h"

namespace {

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QVariantMap fileContents(const std::string& path) {
    bool ok = false;
    QByteArray bytes = readFile(path, &ok);
    EXPECT_TRUE(ok) << path;
    auto value = readPropertyList(bytes);
    EXPECT_TRUE(value.has_value()) << bytes.toStdString();
    return value ? value->toMap() : QVariantMap();
}

}  // namespace

TEST(PreferenceDomain, PersistsWholeAndRemovedKeysLeaveTheFile) {
    TempDir dir;
    const std::string path = dir / "a/b/Prefs.plist";  // folders made on demand
    {
        PreferenceDomain domain(path);
        domain.setObject(QStringLiteral("value"), "kept");
        domain.setObject(QVariantMap{{"n", 1}, {"when", QDateTime::fromSecsSinceEpoch(0, Qt::UTC)}},
                         "record");
        domain.setObject(QVariantList{1, 2}, "dropped");
        EXPECT_FALSE(pathExists(path)) << "not write-through: nothing written before synchronize";
        ASSERT_TRUE(domain.synchronize());
        EXPECT_EQ(folderEntries(dir / "a/b"), std::vector<std::string>{"Prefs.plist"});
        domain.removeObjectForKey("dropped");
        ASSERT_TRUE(domain.synchronize());
    }
    const QVariantMap onDisk = fileContents(path);
    EXPECT_EQ(onDisk.keys(), (QStringList{"kept", "record"}));

    PreferenceDomain reread(path);
    EXPECT_EQ(reread.stringForKey("kept"), "value");
    EXPECT_EQ(reread.dictionaryForKey("record").value("when").toDateTime(),
              QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    EXPECT_FALSE(reread.objectForKey("dropped").isValid());
}

TEST(PreferenceDomain, WriteThroughPersistsEveryChange) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    PreferenceDomain domain(path, true);
    domain.setBool(true, "debug");
    EXPECT_EQ(fileContents(path).value("debug"), QVariant(true));
    domain.removeObjectForKey("debug");
    EXPECT_TRUE(fileContents(path).isEmpty());
}

TEST(PreferenceDomain, FailedWriteKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    PreferenceDomain domain(path);
    domain.setObject(QStringLiteral("old"), "key");
    ASSERT_TRUE(domain.synchronize());
    const QByteArray before = readFile(path);

    // A file-size limit stops the write for every user, root included.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 512;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    domain.setObject(QString(4096, QChar('x')), "key");
    const bool written = domain.synchronize();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"Prefs.plist"});

    // A folder that cannot exist: its parent is a regular file.
    ASSERT_TRUE(writeFile(dir / "plain", "x"));
    PreferenceDomain nowhere(dir / "plain/sub/Prefs.plist");
    nowhere.setInteger(1, "n");
    EXPECT_FALSE(nowhere.synchronize());
    EXPECT_EQ(readFile(dir / "plain"), QByteArray("x"));
}

TEST(PreferenceDomain, UnreadableFileIsKeptAsideAndTheDomainStartsEmpty) {
    const std::vector<QByteArray> unreadable{
        QByteArray("garbage \x00\x01 garbage", 19),
        QByteArray(),
        writePropertyListXML(QVariantList{"top level is an array"}),
        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"),
    };
    for (const QByteArray& bytes : unreadable) {
        TempDir dir;
        const std::string path = dir / "Prefs.plist";
        ASSERT_TRUE(writeFile(path, bytes));
        PreferenceDomain domain(path);
        EXPECT_TRUE(domain.storedValues().isEmpty());
        EXPECT_EQ(readFile(path + ".unreadable"), bytes);

        domain.setObject(QStringLiteral("fresh"), "key");
        ASSERT_TRUE(domain.synchronize());
        EXPECT_EQ(fileContents(path).value("key").toString(), "fresh");
        EXPECT_EQ(readFile(path + ".unreadable"), bytes) << "the kept copy must survive the write";
    }
}

TEST(PreferenceDomain, OversizedFileIsNotReadButKept) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    ASSERT_TRUE(writeFile(path, writePropertyListXML(QVariantMap{{"a", 1}})));
    ASSERT_EQ(truncate(path.c_str(), kPreferenceFileMaxSize + 1), 0);
    PreferenceDomain domain(path);
    EXPECT_TRUE(domain.storedValues().isEmpty());
    struct stat st;
    ASSERT_EQ(stat((path + ".unreadable").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kPreferenceFileMaxSize + 1);
}

TEST(PreferenceDomain, UnkeepableFileIsNeverOverwritten) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // neither readable as a file nor linkable
    PreferenceDomain domain(path);
    domain.setInteger(3, "n");
    EXPECT_FALSE(domain.synchronize());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(PreferenceDomain, RegisteredDefaultsLieUnderStoredValuesAndAreNotWritten) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    PreferenceDomain domain(path);
    domain.registerDefaults({{"sync-on-connect", true}, {"debug", false}});
    domain.registerDefaults({{"accepted-file-systems", QStringList{"hfs", "hfsplus"}}});
    EXPECT_TRUE(domain.boolForKey("sync-on-connect"));
    EXPECT_EQ(domain.arrayForKey("accepted-file-systems"), (QVariantList{"hfs", "hfsplus"}));

    domain.setBool(false, "sync-on-connect");
    EXPECT_FALSE(domain.boolForKey("sync-on-connect"));
    ASSERT_TRUE(domain.synchronize());
    EXPECT_EQ(fileContents(path), (QVariantMap{{"sync-on-connect", false}}));

    domain.removeObjectForKey("sync-on-connect");
    EXPECT_TRUE(domain.boolForKey("sync-on-connect"));

    domain.setRegisteredDefaults({{"debug", true}});
    EXPECT_FALSE(domain.objectForKey("accepted-file-systems").isValid());
    EXPECT_TRUE(domain.boolForKey("debug"));
}

TEST(PreferenceDomain, TypedGettersReadOnlyTheirTypes) {
    TempDir dir;
    PreferenceDomain domain(dir / "Prefs.plist");
    domain.setObject(QStringLiteral("text"), "string");
    domain.setObject(QVariantList{1}, "array");
    domain.setObject(QVariantMap{{"a", 1}}, "dict");
    domain.setObject(QByteArray("bytes"), "data");

    EXPECT_TRUE(domain.stringForKey("array").isNull());
    EXPECT_TRUE(domain.arrayForKey("dict").isEmpty());
    EXPECT_TRUE(domain.dictionaryForKey("array").isEmpty());
    EXPECT_TRUE(domain.dataForKey("string").isNull());
    EXPECT_EQ(domain.dataForKey("data"), QByteArray("bytes"));
    for (const char* key : {"array", "dict", "data", "missing"}) {
        EXPECT_EQ(domain.integerForKey(key), 0) << key;
        EXPECT_EQ(domain.floatForKey(key), 0.0f) << key;
        EXPECT_FALSE(domain.boolForKey(key)) << key;
    }
    EXPECT_TRUE(domain.stringForKey("missing").isNull());

    // Numbers, booleans and numeric strings, as Foundation reads them.
    struct Case {
        QVariant value;
        int i;
        float f;
        bool b;
    };
    const Case cases[] = {
        {QVariant(3.9), 3, 3.9f, true},
        {QVariant(-3.9), -3, -3.9f, true},
        {QVariant(0.25), 0, 0.25f, true},
        {QVariant(1e20), INT_MAX, 1e20f, true},
        {QVariant(true), 1, 1.0f, true},
        {QVariant(qint64(0x100000002)), 2, 4294967296.0f, true},
        {QVariant(QStringLiteral("12abc")), 12, 12.0f, true},
        {QVariant(QStringLiteral("  -7")), -7, -7.0f, true},
        {QVariant(QStringLiteral("2.5e1x")), 2, 25.0f, true},
        {QVariant(QStringLiteral("YES")), 0, 0.0f, true},
        {QVariant(QStringLiteral("true")), 0, 0.0f, true},
        {QVariant(QStringLiteral("no")), 0, 0.0f, false},
        {QVariant(QStringLiteral("0")), 0, 0.0f, false},
        {QVariant(QStringLiteral("007")), 7, 7.0f, true},
        {QVariant(QStringLiteral("99999999999")), INT_MAX, 99999999999.0f, true},
        {QVariant(QString()), 0, 0.0f, false},
    };
    for (const Case& c : cases) {
        domain.setObject(c.value, "n");
        EXPECT_EQ(domain.integerForKey("n"), c.i) << c.value.toString().toStdString();
        EXPECT_FLOAT_EQ(domain.floatForKey("n"), c.f) << c.value.toString().toStdString();
        EXPECT_EQ(domain.boolForKey("n"), c.b) << c.value.toString().toStdString();
    }

    domain.setFloat(0.1f, "float");
    EXPECT_EQ(domain.floatForKey("float"), 0.1f);
    domain.setInteger(-5, "int");
    EXPECT_EQ(domain.integerForKey("int"), -5);
}

TEST(PreferenceDomain, ValuesWithoutAPropertyListFormAreRefused) {
    TempDir dir;
    PreferenceDomain domain(dir / "Prefs.plist");
    domain.setObject(QStringLiteral("before"), "key");
    domain.setObject(QUrl("file:///x"), "key");
    EXPECT_EQ(domain.stringForKey("key"), "before");
    domain.setObject(QVariant(), "key");
    EXPECT_FALSE(domain.objectForKey("key").isValid());
}

TEST(PreferenceDomain, StandardUserDefaultsLiveInTheConfigFolder) {
    TestHome home;
    const std::string config = home.path() + "/elsewhere";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    EXPECT_EQ(&defaults, &PreferenceDomain::standardUserDefaults());
    EXPECT_EQ(defaults.filePath(), config + "/Orvane/Pellora.plist");
    defaults.setBool(true, "debug");  // write-through
    EXPECT_EQ(fileContents(config + "/Orvane/Pellora.plist").value("debug"), QVariant(true));

    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(preferencesFolder(), home.path() + "/.config/Orvane");
}

TEST(PreferenceDomain, ConcurrentChangesAndWritesFromTwoThreads) {
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    PreferenceDomain domain(path);
    auto work = [&](const QString& prefix) {
        for (int i = 0; i < 100; ++i) {
            QString key = prefix + QString::number(i);
            domain.setObject(QVariantMap{{"i", i}}, key);
            QVariantMap record = domain.dictionaryForKey(key);
            record.insert("seen", true);
            domain.setObject(record, key);
            if (i % 10 == 0) domain.synchronize();
            domain.boolForKey(prefix + QString::number(i / 2));
        }
    };
    std::thread a(work, QStringLiteral("a"));
    std::thread b(work, QStringLiteral("b"));
    a.join();
    b.join();
    ASSERT_TRUE(domain.synchronize());
    const QVariantMap onDisk = fileContents(path);
    EXPECT_EQ(onDisk.size(), 200);
    EXPECT_EQ(onDisk.value("b99").toMap(), (QVariantMap{{"i", 99}, {"seen", true}}));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"Prefs.plist"});
}
