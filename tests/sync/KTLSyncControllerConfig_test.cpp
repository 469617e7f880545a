// The drive's configuration file and identifier, and what the engine makes of hostile ones.

#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTimeZone>

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
    bool folder;
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
        {"empty file", QByteArray(), false, kUnreadable},
        {"folder in the way", QByteArray(), true, kUnreadable},
        {"larger than 8 MiB", QByteArray(8 * 1024 * 1024 + 1, ' '), false, kUnreadable},
        {"not a property list", "<plist><dict><key>x", false, kCorrupt},
        {"list not strings",
         plistWith(QVariantMap{{kItemsKey, QVariantList{QStringLiteral("~/docs"), 7}}}), false,
         kCorrupt},
        {"identifier ..", plistWith(withIdentifier(QStringLiteral(".."))), false, kCorrupt},
        {"identifier with a slash", plistWith(withIdentifier(QStringLiteral("a/b"))), false,
         kCorrupt},
        {"identifier of 201 bytes", plistWith(withIdentifier(QString(201, u'a'))), false, kCorrupt},
    };
    for (const BadConfig& c : cases) {
        SCOPED_TRACE(c.name);
        rmdir(configPath().c_str());
        unlink(configPath().c_str());
        if (c.folder)
            ASSERT_EQ(mkdir(configPath().c_str(), 0755), 0);
        else
            writeRawConfig(c.bytes);
        freshController();
        controller->show();
        ui->drawer.clear();

        EXPECT_FALSE(controller->readConfigFile());
        EXPECT_FALSE(controller->isDeviceSetupForSync());
        EXPECT_GE(ui->countLines(c.expected), 1) << ui->drawer.toStdString();
        EXPECT_EQ(ui->countLines(c.expected == kCorrupt ? kUnreadable : kCorrupt), 0);
    }

    // The longest identifier that is still accepted.
    writeRawConfig(plistWith(withIdentifier(QString(200, u'a'))));
    freshController();
    EXPECT_TRUE(controller->readConfigFile());
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
    const QStringList hostile = {QStringLiteral("~/../outside"), QStringLiteral("~/./docs"),
                                 QString(), QStringLiteral("/../outside")};
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

    // An entry with a NUL can't come through an XML file; the check still refuses it.
    EXPECT_FALSE(KTLSyncController::isSafeSyncItem(std::string("~/docs\0/../x", 12)));
    EXPECT_TRUE(KTLSyncController::isSafeSyncItem("~/docs/..hidden"));
}

}  // namespace
