// What is read from and written to disk and the bus: property lists of every shape, preference
// files that must never be lost, bounded file reads, and scripting descriptors.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDateTime>
#include <QUrl>
#include <limits>

#include "AEDescriptor.h"
#include "FileContents.h"
#include "PreferenceDomain.h"
#include "PropertyList.h"
#include "SampleTree.h"
#include "TempDir.h"

namespace {

const QDateTime kDistantPast = QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);

QByteArray bigEndian(uint64_t v, int size) {
    QByteArray out;
    for (int i = size - 1; i >= 0; --i) out += char((v >> (8 * i)) & 0xff);
    return out;
}
QByteArray object(uint8_t marker, const QByteArray& payload = {}) {
    return QByteArray(1, char(marker)) + payload;
}

// A binary list made by hand from its objects, with references of `refSize` bytes.
QByteArray binaryList(const std::vector<QByteArray>& objects, int refSize = 1) {
    QByteArray out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const QByteArray& o : objects) {
        offsets.push_back(uint64_t(out.size()));
        out += o;
    }
    const uint64_t table = uint64_t(out.size());
    for (uint64_t offset : offsets) out += bigEndian(offset, 4);
    out += QByteArray(6, '\0') + char(4) + char(refSize);
    return out + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
}

QByteArray nested(int depth, bool binary) {
    if (binary) {
        std::vector<QByteArray> objects;
        for (int i = 0; i < depth - 1; ++i) objects.push_back(object(0xa1, bigEndian(i + 1, 2)));
        objects.push_back(object(0xa0));
        return binaryList(objects, 2);
    }
    return "<plist version=\"1.0\">" + QByteArray("<array>").repeated(depth) +
           QByteArray("</array>").repeated(depth) + "</plist>";
}

}  // namespace

TEST(PropertyList, EveryTypeRoundTripsWithItsTypeThroughXmlAndBinary) {
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i) allBytes += char(i);
    const QVariantMap leaves{{"string", QString::fromUtf8("caf\u00e9 \U0001F600 <&> ]]>")},
                             {"int64 min", std::numeric_limits<qint64>::min()},
                             {"uint64 max", std::numeric_limits<quint64>::max()},
                             {"real", 0.1},
                             {"true", true},
                             {"data", allBytes},
                             {"past", kDistantPast},
                             {"empty", QVariantList()},
                             {"", QStringLiteral("empty key")}};
    const QVariant value = QVariantMap{{"leaves", leaves}, {"list", QVariantList{leaves, 1.5}}};
    QString error;
    const auto back = readPropertyList(writePropertyListXML(value, &error), &error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_EQ(*back, value);
    const QVariantMap got = back->toMap().value("leaves").toMap();
    for (const auto& [key, type] :
         std::vector<std::pair<const char*, int>>{{"int64 min", QMetaType::LongLong},
                                                  {"uint64 max", QMetaType::ULongLong},
                                                  {"true", QMetaType::Bool},
                                                  {"data", QMetaType::QByteArray}})
        EXPECT_EQ(got.value(key).typeId(), type) << key;

    // Binary: distant dates, -1 and the unsigned maximum, a string holding NUL refused.
    auto date = [](double seconds) {
        uint64_t bits;
        memcpy(&bits, &seconds, sizeof bits);
        return readPropertyList(binaryList({object(0x33, bigEndian(bits, 8))}));
    };
    EXPECT_EQ(date(-63113904000.0).value_or(QVariant()).toDateTime(), kDistantPast);
    EXPECT_FALSE(date(1e300));
    EXPECT_EQ(readPropertyList(binaryList({object(0x13, bigEndian(~0ull, 8))}))->toLongLong(), -1);
    EXPECT_EQ(readPropertyList(binaryList({object(0x14, bigEndian(0, 8) + bigEndian(~0ull, 8))}))
                  ->toULongLong(),
              std::numeric_limits<quint64>::max());
    EXPECT_FALSE(
        readPropertyList(binaryList({object(0xa1, bigEndian(1, 1)), object(0x54, "ab\0c")})));
}

TEST(PropertyList, MalformedOrHostileInputFailsWithAReason) {
    std::vector<QByteArray> bad{
        "<plist version=\"1.0\"><uid>1</uid></plist>",
        nested(kPropertyListMaxDepth + 1, false),
        nested(kPropertyListMaxDepth + 1, true),
        binaryList({object(0xa1, bigEndian(0, 1))}),  // an array holding itself
        binaryList({object(0xa1, bigEndian(5, 1))}),  // a reference past the table
        binaryList({object(0xaf, object(0x13, bigEndian(1ull << 40, 8)))}),
        binaryList({object(0xd1, bigEndian(1, 1) + bigEndian(2, 1)),
                    object(0x53, QByteArray("a\0b", 3)), object(0x09)}),
        QByteArray("<plist version=\"1.0\"><dict><key>a\0b</key><true/></dict></plist>", 63)};
    std::vector<QByteArray> doubling;  // 2^40 nodes once expanded
    for (int i = 0; i < 40; ++i)
        doubling.push_back(object(0xa2, bigEndian(i + 1, 1) + bigEndian(i + 1, 1)));
    doubling.push_back(object(0x09));
    bad.push_back(binaryList(doubling));
    for (size_t i = 0; i < bad.size(); ++i) {
        QString error;
        EXPECT_FALSE(readPropertyList(bad[i], &error)) << i;
        EXPECT_FALSE(error.isEmpty()) << i;
    }
    EXPECT_TRUE(readPropertyList(nested(kPropertyListMaxDepth, false)));
    EXPECT_TRUE(readPropertyList(nested(kPropertyListMaxDepth, true)));
    for (const QVariant& v : {QVariant(QString(QChar(0))), QVariant(QDateTime()),
                              QVariant(QUrl("file:///x")), QVariant(QVariantList{1, QVariant()})})
        EXPECT_TRUE(writePropertyListXML(v).isEmpty()) << v.typeName();
}

TEST(PreferenceDomain, AFileThatCannotBeReadOrWrittenIsNeverLost) {
    for (const QByteArray& bytes : {QByteArray("garbage \x00\x01", 10), QByteArray(),
                                    writePropertyListXML(QVariantList{"an array"})}) {
        TempDir dir;
        const std::string path = dir / "Prefs.plist";
        ASSERT_TRUE(writeFile(path, bytes));
        PreferenceDomain domain(path);
        EXPECT_TRUE(domain.storedValues().isEmpty());
        domain.setObject(QStringLiteral("fresh"), "key");
        ASSERT_TRUE(domain.synchronize());
        EXPECT_EQ(readFile(path + ".unreadable"), bytes);
    }
    TempDir dir;
    const std::string path = dir / "Prefs.plist";
    PreferenceDomain domain(path);
    domain.setObject(QStringLiteral("old"), "key");
    ASSERT_TRUE(domain.synchronize());
    const QByteArray before = readFile(path);
    domain.setObject(QString(4096, QChar('x')), "key");
    // A write limit stops a write for every user, root too.
    struct rlimit saved, small;
    getrlimit(RLIMIT_FSIZE, &saved);
    small = {512, saved.rlim_max};
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool written = domain.synchronize();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(containsTemporaryName(dir.path()));
}

TEST(FileContents, ReadsAreBoundedAndNeverHangOnAFifo) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "f", "12345"));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    int err = 0;
    EXPECT_EQ(readFileContents(dir / "f", 5, &err).value_or("?"), "12345");
    EXPECT_FALSE(readFileContents(dir / "f", 4, &err));
    EXPECT_EQ(err, EFBIG);
    EXPECT_FALSE(readFileContents(dir / "fifo", -1, &err));
    EXPECT_FALSE(readFileContents("/proc/self/status", 8, &err));
    ASSERT_TRUE(writeFile(dir / "file", ""));
    EXPECT_FALSE(makeFolders(dir / "file/below", 0700));
}

TEST(AEDescriptor, ListsRecordsAndNumbersKeepTheirWireForm) {
    auto data = [](const char(&type)[5], const QByteArray& bytes = {}) {
        return AEDescriptor::descriptorWithDescriptorType(fourCharCode(type), bytes);
    };
    EXPECT_EQ(AEDescriptor::descriptorWithInt32(-50).data(), QByteArray("\xce\xff\xff\xff"));
    EXPECT_EQ(data("long", QByteArray("\x02\x01\x00\x00", 4)).int32Value(), 258);
    EXPECT_FALSE(data("utf8", "\xc3").stringValue());

    AEDescriptor list = AEDescriptor::listDescriptor();
    EXPECT_TRUE(list.insertDescriptor(data("furl", "b"), 0));
    EXPECT_TRUE(list.insertDescriptor(data("furl", "a"), 1));
    EXPECT_FALSE(list.insertDescriptor(data("furl", "x"), 4));
    EXPECT_EQ(list.descriptorAtIndex(1)->data(), "a");
    EXPECT_FALSE(list.descriptorAtIndex(0));

    AEDescriptor event =
        AEDescriptor::appleEventWithEventClass(fourCharCode("VSNC"), fourCharCode("SETL"));
    event.setParamDescriptor(data("furl", "one"), AEKeyword::directObject);
    event.setParamDescriptor(list, fourCharCode("ITMZ"));
    event.setParamDescriptor(data("furl", "two"), AEKeyword::directObject);
    EXPECT_EQ(event.paramDescriptorForKeyword(AEKeyword::directObject)->data(), "two");
    EXPECT_EQ(event.description(),
              R"('VSNC'\'SETL'{ '----':'furl'("two"), 'ITMZ':[ 'furl'("a"), 'furl'("b") ] })");
}
