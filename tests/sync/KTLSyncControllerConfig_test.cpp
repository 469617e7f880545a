// The drive's configuration file and identifier, and what the engine makes of hostile ones.

#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTimeZone>
#include <filesystem>
#include <functional>

#include "EngineFixture.h"

namespace {

const QString kUnreadable = QStringLiteral("Unable to read configuration file from");
const QString kCorrupt = QStringLiteral("appears to be corrupt.");
const QString kItemsKey = QStringLiteral("tapline-items-to-sync");
const QString kUUIDKey = QStringLiteral("tapline-uuid");

class Config : public EngineTest {
  protected:
    QVariantMap readBack() {
        std::optional<QVariant> value = readPropertyList(readFile(configPath()));
        return value ? value->toMap() : QVariantMap();
    }
};

TEST_F(Config, MissingFileReadsAsEmptyAndTheIdentifierIsMadeHere) {
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    ASSERT_TRUE(controller->readConfigFile());
    EXPECT_TRUE(controller->deviceConfig().isEmpty());

    // MAC (when there is one), hexadecimal UTC date and time fields, "-", the real user ID.
    const QString identifier = controller->uniqueID();
    static const QRegularExpression shape(QStringLiteral(
        "^(?:[0-9A-F]{12})?([0-9A-F]{3})([1-9A-C])([0-9A-F]{2})([0-9A-F]{2})([0-9A-F]{2})"
        "([0-9A-F]{2})-(\\d+)$"));
    const QRegularExpressionMatch match = shape.match(identifier);
    ASSERT_TRUE(match.hasMatch()) << identifier.toStdString();
    auto field = [&](int n) { return match.captured(n).toInt(nullptr, 16); };
    const QDateTime stamped(QDate(field(1), field(2), field(3)),
                            QTime(field(4), field(5), field(6)), QTimeZone::utc());
    EXPECT_GE(stamped, before.addSecs(-1)) << identifier.toStdString();
    EXPECT_LE(stamped, QDateTime::currentDateTimeUtc()) << identifier.toStdString();
    EXPECT_EQ(match.captured(7).toUInt(), getuid());

    // A sync of such a drive has nothing to do, succeeds, and leaves the file unwritten.
    ASSERT_TRUE(sync());
    EXPECT_EQ(ui->countLines(completedLine()), 1);
    EXPECT_FALSE(pathExists(configPath()));

    // Written: XML, both keys, open to every user; another controller then agrees on the
    // identifier.
    controller->setSyncItemList({QStringLiteral("~/a")});
    const mode_t oldMask = umask(022);
    const bool written = controller->writeConfigFile();
    umask(oldMask);
    ASSERT_TRUE(written);
    EXPECT_TRUE(readFile(configPath()).startsWith("<?xml"));
    struct stat st;
    ASSERT_EQ(stat(configPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    const QVariantMap stored = readBack();
    EXPECT_EQ(stored.value(kUUIDKey).toString(), identifier);
    EXPECT_EQ(stored.value(kItemsKey).toStringList(), QStringList{QStringLiteral("~/a")});
    freshController();
    EXPECT_EQ(controller->uniqueID(), identifier);
}

struct BadConfig {
    const char* name;
    QByteArray bytes;
    enum { File, Folder, Link } kind;
    QString expected;  // the log line's distinctive part
};

QByteArray plistWith(const QVariant& value) {
    return writePropertyListXML(value);
}

QVariantMap withIdentifier(const QVariant& identifier) {
    return {{kItemsKey, QVariantList{QStringLiteral("~/docs")}}, {kUUIDKey, identifier}};
}

TEST_F(Config, UnusableFilesAreReportedAndNeverLoaded) {
    const std::vector<BadConfig> cases = {
        {"empty file", QByteArray(), BadConfig::File, kUnreadable},
        {"folder in the way", QByteArray(), BadConfig::Folder, kUnreadable},
        {"larger than 8 MiB", QByteArray(8 * 1024 * 1024 + 1, ' '), BadConfig::File, kUnreadable},
        {"not a property list", "<plist><dict><key>x", BadConfig::File, kCorrupt},
        {"list not strings",
         plistWith(QVariantMap{{kItemsKey, QVariantList{QStringLiteral("~/docs"), 7}}}),
         BadConfig::File, kCorrupt},
        {"identifier ..", plistWith(withIdentifier(QStringLiteral(".."))), BadConfig::File,
         kCorrupt},
        {"identifier with a slash", plistWith(withIdentifier(QStringLiteral("a/b"))),
         BadConfig::File, kCorrupt},
        {"identifier of 201 bytes", plistWith(withIdentifier(QString(201, u'a'))), BadConfig::File,
         kCorrupt},
        // A sound list, but one of the computer's, not the drive's.
        {"link to a list elsewhere", plistWith(withIdentifier(QStringLiteral("x"))),
         BadConfig::Link, kUnreadable},
    };
    for (const BadConfig& c : cases) {
        SCOPED_TRACE(c.name);
        rmdir(configPath().c_str());
        unlink(configPath().c_str());
        if (c.kind == BadConfig::Folder) {
            ASSERT_EQ(mkdir(configPath().c_str(), 0755), 0);
        } else if (c.kind == BadConfig::Link) {
            ASSERT_TRUE(writeFile(top + "/elsewhere.plist", c.bytes));
            ASSERT_EQ(symlink((top + "/elsewhere.plist").c_str(), configPath().c_str()), 0);
        } else {
            writeRawConfig(c.bytes);
        }
        freshController();
        controller->show();
        ui->drawer.clear();

        EXPECT_FALSE(controller->readConfigFile());
        EXPECT_FALSE(controller->isDeviceSetupForSync());
        EXPECT_GE(ui->countLines(c.expected), 1) << ui->drawer.toStdString();
        EXPECT_EQ(ui->countLines(c.expected == kCorrupt ? kUnreadable : kCorrupt), 0);
    }

    // The longest identifier that is still accepted; the debug line shows what was read.
    unlink(configPath().c_str());
    writeRawConfig(plistWith(withIdentifier(QString(200, u'a'))));
    freshController();
    controller->show();
    setDebug(true);
    EXPECT_TRUE(controller->readConfigFile());
    EXPECT_TRUE(ui->drawer.contains(QStringLiteral(
        "-readConfigFile: {\n    \"tapline-items-to-sync\" = (\n        \"~/docs\"\n    );\n"
        "    \"tapline-uuid\" = aaaa")))
        << ui->drawer.toStdString();
    EXPECT_EQ(controller->uniqueID(), QString(200, u'a'));
}

// An identifier names folders that are created and removed: "..", for one, would make the
// staging folders the sync folder itself and the home.
TEST_F(Config, HostileIdentifiersStopTheRunBeforeAnythingIsTouched) {
    const int64_t t0 = nowNs() - 3600 * kSecondNs;
    put(mac("docs/a.txt"), "home copy", t0);
    put(onDrive("docs/a.txt"), "drive copy", t0 + kSecondNs);
    put(onDrive("docs/only-here.txt"), "drive only", t0);
    ui->defaultAnswer = 1;
    int runs = 0;
    for (const QString& hostile : {QStringLiteral(".."), QString()}) {
        SCOPED_TRACE(hostile.toStdString());
        writeRawConfig(plistWith(withIdentifier(hostile)));
        const TreeSnapshot topBefore = snapshotTree(top);
        freshController();

        ASSERT_TRUE(sync());
        ++runs;

        EXPECT_EQ(ui->countLines(failedLine()), runs);
        EXPECT_EQ(ui->countLines(QStringLiteral("could not be read; nothing was synchronized")),
                  runs);
        EXPECT_EQ(ui->countSheets(FakeSheet::Alert), runs);
        EXPECT_EQ(differences(topBefore, snapshotTree(top)), "");
    }
}

// Entries that are empty or step with "." or ".." are never synchronized, whatever lies there.
TEST_F(Config, HostileEntriesAreSkippedAndNothingOutsideIsTouched) {
    const int64_t t0 = nowNs() - 3600 * kSecondNs;
    put(top + "/outside/secret.txt", "outside", t0);
    put(top + "/outside/nested/deep.txt", "outside", t0);
    // Drive-side copies for the entries that resolve there, newer and with extra files.
    put(target() + "/outside/secret.txt", "from the drive", t0 + kSecondNs);
    put(target() + "/outside/planted.txt", "planted", t0);
    put(mac("docs/a.txt"), "mine", t0);
    // "~-sibling" would be the home's path with "-sibling" stuck to it.
    put(home + "-sibling/data/x.txt", "beside the home", t0);
    const QStringList hostile = {QStringLiteral("~/../outside"), QStringLiteral("~/./docs"),
                                 QString(), QStringLiteral("/../outside"),
                                 QStringLiteral("~-sibling/data")};
    writeConfig(hostile + QStringList{QStringLiteral("~/docs")});
    const TreeSnapshot outsideBefore = snapshotTree(top + "/outside");
    const TreeSnapshot driveOutsideBefore = snapshotTree(target() + "/outside");
    // Were any of them used, every question would be answered "copy".
    ui->defaultAnswer = 1;

    ASSERT_TRUE(sync());

    EXPECT_EQ(ui->countLines(completedLine()), 1) << ui->drawer.toStdString();
    EXPECT_TRUE(ui->sheets.empty());
    for (const QString& entry : hostile)
        EXPECT_EQ(ui->countLines(QStringLiteral("Skipping \"%1\"").arg(entry)), 1)
            << entry.toStdString();
    EXPECT_EQ(differences(outsideBefore, snapshotTree(top + "/outside")), "");
    EXPECT_EQ(differences(driveOutsideBefore, snapshotTree(target() + "/outside")), "");
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "mine");
    EXPECT_FALSE(pathExists(target() + "/~-sibling"));

    // An entry with a NUL can't come through an XML file; the check still refuses it.
    EXPECT_FALSE(KTLSyncController::isSafeSyncItem(std::string("~/docs\0/../x", 12)));
    EXPECT_TRUE(KTLSyncController::isSafeSyncItem("~/docs/..hidden"));
}

// A drive prepared by someone else: entries that spell the staging folders differently, programs
// that would run as their owner, and dates the drive could only keep roughly.
struct ForeignCase {
    const char* name;
    QStringList entries;
    std::string fsType;
    int answer;  // to every question
    std::function<void()> plant;
    std::function<void()> check;
};

TEST_F(Config, WhatAForeignDriveHoldsStaysOnItsSide) {
    const int64_t t0 = (nowNs() / (10 * kSecondNs) - 360) * 10 * kSecondNs;
    // Later than any run's last sync time, on a 10 s boundary.
    const int64_t t1 = t0 + 7200 * kSecondNs;
    const QString staging = QStringLiteral("~/.TL_VS_W");
    auto dates = [&](int64_t macNs, int64_t driveNs) {
        return [=, this] {
            put(mac("docs/a.txt"), "same", macNs);
            put(onDrive("docs/a.txt"), "same", driveNs);
        };
    };
    auto conflicts = [&](int expected) {
        return [=, this] { EXPECT_EQ(ui->countSheets(FakeSheet::Conflict), expected); };
    };
    const std::vector<ForeignCase> cases = {
        {"staging spelled otherwise",
         {staging + "/", QStringLiteral("~//.TL_VS_W"), staging + "/" + id,
          QString::fromStdString(home) + "//.TL_VS_W/", QStringLiteral("TL_VS_W/") + id,
          QStringLiteral("/TL_VS_W")},
         "hfsplus",
         -1,
         [] {},
         [&] {
             EXPECT_TRUE(ui->sheets.empty());
             for (const auto& entry : std::filesystem::recursive_directory_iterator(target()))
                 EXPECT_NE(entry.path().filename(), ".TL_VS_W") << entry.path();
         }},
        {"setuid, setgid and a stranger's files",
         {QStringLiteral("~/tools")},
         "hfsplus",
         1,
         [&] {
             put(onDrive("tools/run"), "#!/bin/sh\n", t0);
             ASSERT_EQ(chmod(onDrive("tools/run").c_str(), 06755), 0);
             ASSERT_EQ(chmod(onDrive("tools").c_str(), 02755), 0);
             for (const char* p : {"tools", "tools/run"}) {
                 if (geteuid() == 0) {
                     ASSERT_EQ(chown(onDrive(p).c_str(), 4321, 4321), 0);
                 }
             }
         },
         [&] {
             for (const char* p : {"tools", "tools/run"}) {
                 struct stat st;
                 ASSERT_EQ(lstat(mac(p).c_str(), &st), 0) << p;
                 EXPECT_EQ(st.st_mode & 06000, 0u) << p;
                 EXPECT_EQ(st.st_mode & 0777, 0755u) << p;
                 EXPECT_EQ(st.st_uid, geteuid()) << p;
             }
         }},
        {"vfat: 1.9 s apart is the same date",
         {QStringLiteral("~/docs")},
         "vfat",
         1,
         dates(t1 + 1900000000, t1),
         conflicts(0)},
        {"vfat: 2 s apart is not",
         {QStringLiteral("~/docs")},
         "vfat",
         1,
         dates(t1 + 2 * kSecondNs, t1),
         conflicts(1)},
        {"exfat: 9 ms",
         {QStringLiteral("~/docs")},
         "exfat",
         1,
         dates(t1, t1 + 9000000),
         conflicts(0)},
        {"hfsplus: 0.9 s",
         {QStringLiteral("~/docs")},
         "hfsplus",
         1,
         dates(t1 + 900000000, t1),
         conflicts(0)},
        {"ext4: 1 ns apart",
         {QStringLiteral("~/docs")},
         "ext4",
         1,
         dates(t1 + 1, t1),
         conflicts(1)},
    };
    for (const ForeignCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        std::filesystem::remove_all(mac("docs"));
        mounts.add(drive, "/dev/sdz1", c.fsType);
        writeConfig(c.entries);
        c.plant();
        freshController();
        ui->sheets.clear();
        ui->drawer.clear();
        ui->defaultAnswer = c.answer;
        ASSERT_TRUE(sync());
        EXPECT_EQ(ui->countLines(completedLine()), 1) << ui->drawer.toStdString();
        c.check();
    }
}

}  // namespace
