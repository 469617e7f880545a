// Configuration files a drive may carry, made by a broken writer or by someone hostile: each
// is refused with a clear message or used as far as it is sound, the run ends on its own, the
// file is kept, and nothing outside the drive's sync folder and the listed items is touched.

#include <filesystem>
#include <random>

#include "BinaryPlist.h"
#include "HostileDrive.h"

namespace {

const QString kItemsKey = QStringLiteral("tapline-items-to-sync");
const QString kUUIDKey = QStringLiteral("tapline-uuid");
const char* const kNotPrepared = "is not a prepared drive";

enum class Expect { Refused, RefusedOrUsed };

struct ConfigCase {
    std::string name;
    QByteArray bytes;
    Expect expect = Expect::Refused;
};

QByteArray xml(const QVariant& value) {
    return writePropertyListXML(value);
}

const char* const kXmlHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";

// Nested `depth` levels deep, as XML arrays or dictionaries.
QByteArray deepXml(int depth, bool dicts) {
    QByteArray out(kXmlHead);
    const QByteArray open = dicts ? "<dict><key>k</key>" : "<array>";
    const QByteArray close = dicts ? "</dict>" : "</array>";
    out += open.repeated(depth);
    out += dicts ? "<string>x</string>" : "";
    out += close.repeated(depth);
    return out + "</plist>\n";
}

// A binary list of `depth` containers, each holding the next.
QByteArray deepBinary(int depth, bool dicts) {
    BinaryPlist b;
    b.refSize = 4;
    const uint64_t key = uint64_t(depth) + 1;
    for (int i = 0; i < depth; ++i) {
        if (dicts)
            b.dict({key}, {uint64_t(i) + 1});
        else
            b.array({uint64_t(i) + 1});
    }
    b.array({});
    b.string("k");
    return b.bytes();
}

// A well-formed binary configuration: the list and the identifier.
BinaryPlist binaryConfig(const std::string& entry, const std::string& identifier) {
    BinaryPlist b;
    b.dict({1, 2}, {3, 5});
    b.string(kItemsKey.toStdString());
    b.string(kUUIDKey.toStdString());
    b.array({4});
    b.string(entry);
    b.string(identifier);
    return b;
}

class HostileDriveConfig : public HostileDrive {
  protected:
    QVariantMap config(const QVariant& items, const QVariant& identifier) const {
        return {{kItemsKey, items}, {kUUIDKey, identifier}};
    }
    QVariantMap goodConfig() const { return config(QVariantList{QStringLiteral("~/docs")}, id); }

    std::vector<ConfigCase> corpus() const {
        std::vector<ConfigCase> cases;
        std::mt19937 rng(8118);
        for (int i = 0; i < 6; ++i) {
            QByteArray noise(1 + int(rng() % 4096), Qt::Uninitialized);
            for (char& c : noise) c = char(rng());
            if (i == 4) noise.prepend("bplist00");
            if (i == 5) noise.prepend(kXmlHead);
            cases.push_back({"random bytes " + std::to_string(i), noise});
        }

        // A sound file cut short anywhere before its closing tags.
        const QByteArray whole = xml(goodConfig());
        const qsizetype closing = whole.lastIndexOf("</dict>");
        for (qsizetype cut = 1; cut < whole.size(); cut += 9)
            cases.push_back({"XML cut at " + std::to_string(cut), whole.left(cut),
                             cut < closing ? Expect::Refused : Expect::RefusedOrUsed});

        // Wrong types, in both forms.
        const QVariant list = QVariantList{QStringLiteral("~/docs")};
        cases.push_back({"top level an array", xml(QVariantList{list, id})});
        cases.push_back({"list a dictionary", xml(config(QVariantMap{{"a", "~/docs"}}, id))});
        cases.push_back({"list a string", xml(config(QStringLiteral("~/docs"), id))});
        cases.push_back({"entries numbers", xml(config(QVariantList{7, 8}, id))});
        cases.push_back({"entries data", xml(config(QVariantList{QByteArray("~/docs")}, id))});
        cases.push_back({"identifier a number", xml(config(list, 42))});
        cases.push_back({"identifier data", xml(config(list, QByteArray("id")))});
        cases.push_back({"identifier a list", xml(config(list, QVariantList{id}))});
        // Hostile identifiers: they name folders that are made and removed.
        for (const char* hostile : {"", "/", ".", "..", "../x", "a/.."})
            cases.push_back({"identifier \"" + std::string(hostile) + "\"",
                             xml(config(list, QString::fromUtf8(hostile)))});
        cases.push_back({"identifier of 201 bytes", xml(config(list, QString(201, u'i')))});
        cases.push_back({"identifier of 100,000 bytes", xml(config(list, QString(100000, u'i')))});
        // Strings holding NUL: the identifier would be read short of it, an entry's NUL could
        // stand for a slash.
        cases.push_back(
            {"identifier with NUL", binaryConfig("~/docs", std::string("ab\0cd", 5)).bytes()});
        cases.push_back({"identifier \"..\" and a NUL",
                         binaryConfig("~/docs", std::string("..\0cd", 5)).bytes()});
        cases.push_back(
            {"entry with NUL",
             binaryConfig(std::string("~/docs\0/../../beside-drive", 26), id.toStdString())
                 .bytes()});

        // Nesting far deeper than any configuration needs.
        cases.push_back({"100,000 nested XML arrays", deepXml(100000, false)});
        cases.push_back({"100,000 nested XML dictionaries", deepXml(100000, true)});
        cases.push_back({"100,000 nested binary arrays", deepBinary(100000, false)});
        cases.push_back({"100,000 nested binary dictionaries", deepBinary(100000, true)});
        return cases;
    }

    // One file through the engine's own reading (for its message) and through the runner.
    void check(const ConfigCase& c) {
        SCOPED_TRACE(c.name);
        writeRawConfig(c.bytes);
        freshController();
        controller->show();
        ui->drawer.clear();
        const bool read = controller->readConfigFile();
        const bool refusedHere =
            !read &&
            (ui->countLines(QStringLiteral("appears to be corrupt.")) +
             ui->countLines(QStringLiteral("Unable to read configuration file from"))) == 1;
        if (c.expect == Expect::Refused) {
            EXPECT_TRUE(refusedHere) << ui->drawer.toStdString();
        }

        ASSERT_NO_FATAL_FAILURE(watchSentinels());
        const HeadlessRun r = run(30);
        expectCleanEnd(r);
        EXPECT_EQ(sentinelEvents(), "");
        if (!read) {
            // Refused alike by the runner; nothing made on the drive, the file kept as it was.
            EXPECT_TRUE(r.exitedWith(1) && r.says(kNotPrepared)) << r.output;
            EXPECT_FALSE(pathExists(target()));
            EXPECT_EQ(readFile(configPath()), c.bytes);
        } else {
            EXPECT_EQ(c.expect, Expect::RefusedOrUsed);
            EXPECT_TRUE(r.exitedWith(0) || r.says("Skipping")) << r.output;
        }
        unlink(configPath().c_str());
        removeSyncFolder();
        slowest = std::max(slowest, r.seconds);
        if (getenv("PELLORA_HOSTILE_VERBOSE"))
            printf("%-40s %s\n", c.name.c_str(), summary(r).c_str());
    }

    void removeSyncFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(target(), ignored);
    }

    double slowest = 0;
};

TEST_F(HostileDriveConfig, BrokenOrHostileFilesAreRefusedAndTouchNothing) {
    const std::vector<ConfigCase> cases = corpus();
    for (const ConfigCase& c : cases) check(c);
    expectSentinelsUntouched();
    printf("%zu configuration files, the slowest run %.2f s\n", cases.size(), slowest);

    // The sound file the corpus was cut from is used, in both forms: the refusals above are
    // the files' doing.
    for (const QByteArray& bytes :
         {xml(goodConfig()), binaryConfig("~/docs", id.toStdString()).bytes()}) {
        writeRawConfig(bytes);
        const HeadlessRun r = run();
        EXPECT_TRUE(r.exitedWith(0)) << r.output;
        EXPECT_EQ(readFile(onDrive("docs/inner/b.txt")), "listed item, inner");
        removeSyncFolder();
    }
}

// Entries that step out of the home, name the whole computer, or are too long for a path: each
// is skipped or failed with a line naming it; the sound ones are synced.
TEST_F(HostileDriveConfig, HostileEntriesAreSkippedAndTheRestIsSynced) {
    const int64_t t0 = nowNs() - 3600 * kSecondNs;
    const std::string absolute = top + "/abs-item";
    put(absolute + "/c.txt", "absolute item", t0);
    const QString longPath = QStringLiteral("~/") + QStringLiteral("deep/").repeated(900) + "x";
    const QString longName = QStringLiteral("~/") + QString(300, u'n');
    const QStringList unsafe = {QString(),
                                QStringLiteral(".."),
                                QStringLiteral("~/../.."),
                                QStringLiteral("~/a/../../b"),
                                QStringLiteral("~/docs/../elsewhere"),
                                QStringLiteral("/../beside-drive")};
    QVariantList entries;
    for (const QString& e : unsafe) entries.append(e);
    for (const QString& e : {QStringLiteral("/"), longPath, longName, QStringLiteral("~/docs"),
                             QString::fromStdString(absolute)})
        entries.append(e);
    writeRawConfig(xml(config(entries, id)));
    ASSERT_NO_FATAL_FAILURE(watchSentinels());

    const HeadlessRun r = run();

    if (getenv("PELLORA_HOSTILE_VERBOSE")) printf("%s\n", r.output.c_str());
    expectCleanEnd(r);
    EXPECT_EQ(sentinelEvents(), "");
    for (const QString& e : unsafe)
        EXPECT_TRUE(r.says("Skipping \"" + e.toStdString() + "\": a sync-list entry must not"))
            << e.toStdString() << "\n"
            << r.output;
    EXPECT_TRUE(r.says("Skipping \"/\": it is the drive")) << r.output;
    // Too long for a path or a name: not absent, but unreadable; the sound entries are still
    // synced, and the run does not report success.
    EXPECT_FALSE(r.exitedWith(0)) << r.output;
    EXPECT_TRUE(r.says("File name too long")) << r.output;
    EXPECT_TRUE(r.says("Processing \"" + longName.mid(2).toStdString() + "\"")) << r.output;
    EXPECT_EQ(readFile(onDrive("docs/inner/b.txt")), "listed item, inner");
    EXPECT_EQ(readFile(target() + absolute + "/c.txt"), "absolute item");
    expectSentinelsUntouched();
}

}  // namespace
