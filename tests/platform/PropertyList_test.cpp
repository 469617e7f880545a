// Property lists: what survives a write and a read, binary lists, and input of any shape.

#include <gtest/gtest.h>
#include <locale.h>
#include <plist/plist.h>

#include <QDateTime>
#include <QRandomGenerator>
#include <QStringList>
#include <QUrl>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "PropertyList.h"
#include "TempDir.h"

namespace {

const QDateTime kDistantPast = QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
const QDateTime kDistantFuture = QDateTime(QDate(4001, 1, 1), QTime(0, 0), Qt::UTC);

QVariant roundTrip(const QVariant& value) {
    QString error;
    QByteArray xml = writePropertyListXML(value, &error);
    EXPECT_FALSE(xml.isEmpty()) << error.toStdString();
    auto back = readPropertyList(xml, &error);
    EXPECT_TRUE(back.has_value()) << error.toStdString() << "\n" << xml.toStdString();
    return back.value_or(QVariant());
}

void appendBigEndian(QByteArray& out, uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) out += char((v >> (8 * i)) & 0xff);
}

// A binary list made by hand from its objects (marker byte and payload, references of
// `refSize` bytes); the first object is the top one.
QByteArray binaryList(const std::vector<QByteArray>& objects, int refSize = 1) {
    QByteArray out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const QByteArray& object : objects) {
        offsets.push_back(uint64_t(out.size()));
        out += object;
    }
    const uint64_t table = uint64_t(out.size());
    for (uint64_t offset : offsets) appendBigEndian(out, offset, 4);
    out += QByteArray(6, '\0');
    out += char(4);
    out += char(refSize);
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, table, 8);
    return out;
}

QByteArray object(uint8_t marker, const QByteArray& payload = QByteArray()) {
    return QByteArray(1, char(marker)) + payload;
}

QByteArray bigEndian(uint64_t v, int size) {
    QByteArray out;
    appendBigEndian(out, v, size);
    return out;
}

QByteArray dateObject(double secondsSince2001) {
    uint64_t bits;
    memcpy(&bits, &secondsSince2001, sizeof bits);
    return object(0x33, bigEndian(bits, 8));
}

QByteArray nestedXml(int depth) {
    QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

// `depth` arrays, each holding the next.
QByteArray nestedBinary(int depth) {
    std::vector<QByteArray> objects;
    for (int i = 0; i < depth - 1; ++i) objects.push_back(object(0xa1, bigEndian(i + 1, 2)));
    objects.push_back(object(0xa0));
    return binaryList(objects, 2);
}

int depthOf(const QVariant& v) {
    int depth = 0;
    QVariant cur = v;
    while (cur.typeId() == QMetaType::QVariantList) {
        ++depth;
        QVariantList list = cur.toList();
        if (list.isEmpty()) break;
        cur = list.first();
    }
    return depth;
}

}  // namespace

TEST(PropertyList, EveryTypeRoundTripsNested) {
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i) allBytes += char(i);
    const QVariantMap leaves{
        {"string", QString::fromUtf8("caf\u00e9 \U0001F600 <&> ]]> \"quoted\" 'single'")},
        {"spaces", QStringLiteral("  leading and trailing  \n\t")},
        {"controls", QStringLiteral("a\x01z\rz\x1f")},
        {"empty string", QString()},
        {"zero", qint64(0)},
        {"minus one", qint64(-1)},
        {"int64 min", std::numeric_limits<qint64>::min()},
        {"int64 max", std::numeric_limits<qint64>::max()},
        {"uint64 max", std::numeric_limits<quint64>::max()},
        {"real", 0.1},
        {"tiny", 4.9e-324},
        {"huge", -1.7976931348623157e308},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"true", true},
        {"false", false},
        {"data", allBytes},
        {"empty data", QByteArray()},
        {"past", kDistantPast},
        {"future", kDistantFuture},
        {"now", QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC)},
        {"empty array", QVariantList()},
        {"empty dict", QVariantMap()},
        {"", QStringLiteral("empty key")},
        {" key & <key> ", QStringLiteral("odd key")},
    };
    const QVariantMap value{
        {"leaves", leaves},
        {"list", QVariantList{leaves, QVariantList{leaves, 1.5}, QString("x")}},
    };

    const QVariant back = roundTrip(value);
    EXPECT_EQ(back, QVariant(value));

    // Equality of QVariants compares numbers across types; the types themselves must hold too.
    const QVariantMap got = back.toMap().value("leaves").toMap();
    EXPECT_EQ(got.value("int64 min").typeId(), QMetaType::LongLong);
    EXPECT_EQ(got.value("minus one").toLongLong(), -1);
    EXPECT_EQ(got.value("uint64 max").typeId(), QMetaType::ULongLong);
    EXPECT_EQ(got.value("real").typeId(), QMetaType::Double);
    EXPECT_EQ(got.value("true").typeId(), QMetaType::Bool);
    EXPECT_EQ(got.value("data").typeId(), QMetaType::QByteArray);
    EXPECT_EQ(got.value("past").typeId(), QMetaType::QDateTime);
    EXPECT_EQ(got.value("string").typeId(), QMetaType::QString);
    EXPECT_EQ(got.value("past").toDateTime().timeSpec(), Qt::UTC);
    EXPECT_EQ(got.value("past").toDateTime(), kDistantPast);
    EXPECT_EQ(got.value("future").toDateTime(), kDistantFuture);

    const QVariant nan = roundTrip(QVariantList{std::nan("")}).toList().value(0);
    EXPECT_TRUE(std::isnan(nan.toDouble()));
    EXPECT_TRUE(std::signbit(roundTrip(-0.0).toDouble()));
}

TEST(PropertyList, WritesStandardXml) {
    QByteArray xml = writePropertyListXML(
        QVariantMap{{"when", kDistantPast}, {"list", QStringList{"a&b"}}, {"n", 42}});
    EXPECT_TRUE(
        xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                       "\"-//Apple//DTD PLIST 1.0//EN\""));
    EXPECT_TRUE(xml.contains("<plist version=\"1.0\">"));
    EXPECT_TRUE(xml.contains("<date>0001-01-01T00:00:00Z</date>"));
    EXPECT_TRUE(xml.contains("<string>a&amp;b</string>"));
    EXPECT_TRUE(xml.contains("<integer>42</integer>"));
    EXPECT_TRUE(xml.endsWith("</plist>\n"));
}

TEST(PropertyList, NormalizedFormIsWhatReadingGivesBack) {
    const QVariantMap raw{
        {"i", int(7)},
        {"u", uint(7)},
        {"f", 0.5f},
        {"list", QStringList{"a", "b"}},
        {"hash", QVariantHash{{"k", short(3)}}},
        {"date", QDateTime(QDate(2020, 5, 6), QTime(7, 8, 9), Qt::OffsetFromUTC, 3600)}};
    auto normalized = normalizedPropertyList(raw);
    ASSERT_TRUE(normalized.has_value());
    const QVariantMap n = normalized->toMap();
    EXPECT_EQ(n.value("i").typeId(), QMetaType::LongLong);
    EXPECT_EQ(n.value("u").typeId(), QMetaType::LongLong);
    EXPECT_EQ(n.value("f").typeId(), QMetaType::Double);
    EXPECT_EQ(n.value("list").typeId(), QMetaType::QVariantList);
    EXPECT_EQ(n.value("hash").typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(n.value("date").toDateTime().timeSpec(), Qt::UTC);
    EXPECT_EQ(n.value("date").toDateTime().time(), QTime(6, 8, 9));
    EXPECT_EQ(roundTrip(raw), *normalized);

    EXPECT_FALSE(normalizedPropertyList(QUrl("file:///x")).has_value());
    EXPECT_FALSE(normalizedPropertyList(QVariantList{QVariant()}).has_value());
}

TEST(PropertyList, ReadsBinaryListsMadeByLibplist) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "name", plist_new_string("Tapline \xe2\x84\xa2"));
    plist_dict_set_item(root, "count", plist_new_uint(123456789012ull));
    plist_dict_set_item(root, "ratio", plist_new_real(2.25));
    plist_dict_set_item(root, "on", plist_new_bool(1));
    plist_dict_set_item(root, "blob", plist_new_data("\x00\x01\xff", 3));
    plist_dict_set_item(root, "when", plist_new_date(86400 * 365, 0));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("one"));
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "deep", plist_new_bool(0));
    plist_array_append_item(list, inner);
    plist_dict_set_item(root, "list", list);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    plist_free(root);
    ASSERT_NE(bin, nullptr);
    QByteArray bytes(bin, length);
    plist_to_bin_free(bin);

    QString error;
    auto value = readPropertyList(bytes, &error);
    ASSERT_TRUE(value.has_value()) << error.toStdString();
    const QVariantMap map = value->toMap();
    EXPECT_EQ(map.value("name").toString(), QString::fromUtf8("Tapline \u2122"));
    EXPECT_EQ(map.value("count").toLongLong(), 123456789012ll);
    EXPECT_EQ(map.value("ratio").toDouble(), 2.25);
    EXPECT_EQ(map.value("on").typeId(), QMetaType::Bool);
    EXPECT_TRUE(map.value("on").toBool());
    EXPECT_EQ(map.value("blob").toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(map.value("when").toDateTime(), QDateTime(QDate(2002, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(map.value("list").toList().value(0).toString(), "one");
    EXPECT_EQ(map.value("list").toList().value(1).toMap().value("deep"), QVariant(false));
}

TEST(PropertyList, BinaryDatesAndIntegersBeyondLibplistAccessors) {
    // Distant past and future lie far outside 32-bit seconds from 2001.
    auto past = readPropertyList(binaryList({dateObject(-63113904000.0)}));
    auto future = readPropertyList(binaryList({dateObject(63113904000.0)}));
    auto fraction = readPropertyList(binaryList({dateObject(-0.25)}));
    ASSERT_TRUE(past && future && fraction);
    EXPECT_EQ(past->toDateTime(), kDistantPast);
    EXPECT_EQ(future->toDateTime(), kDistantFuture);
    EXPECT_EQ(fraction->toDateTime(),
              QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59, 750), Qt::UTC));
    EXPECT_FALSE(readPropertyList(binaryList({dateObject(1e300)})).has_value());
    EXPECT_FALSE(readPropertyList(binaryList({dateObject(std::nan(""))})).has_value());

    auto minusOne = readPropertyList(binaryList({object(0x13, bigEndian(~0ull, 8))}));
    auto unsignedMax =
        readPropertyList(binaryList({object(0x14, bigEndian(0, 8) + bigEndian(~0ull, 8))}));
    ASSERT_TRUE(minusOne && unsignedMax);
    EXPECT_EQ(minusOne->typeId(), QMetaType::LongLong);
    EXPECT_EQ(minusOne->toLongLong(), -1);
    EXPECT_EQ(unsignedMax->typeId(), QMetaType::ULongLong);
    EXPECT_EQ(unsignedMax->toULongLong(), std::numeric_limits<quint64>::max());
}

TEST(PropertyList, UnknownKeysSurviveReadAndRewrite) {
    const QByteArray original =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\"><dict>"
        "<key>tapline-uuid</key><string>abc</string>"
        "<key>from-a-newer-version</key><dict><key>x</key><array><integer>1</integer>"
        "<real>2.5</real><date>1999-12-31T23:59:59Z</date><data>AAEC</data></array></dict>"
        "<!-- a comment --><key>flag</key><true/>"
        "</dict></plist>";
    auto first = readPropertyList(original);
    ASSERT_TRUE(first.has_value());
    QByteArray rewritten = writePropertyListXML(*first);
    EXPECT_TRUE(rewritten.contains("<key>from-a-newer-version</key>"));
    auto second = readPropertyList(rewritten);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, *first);
    EXPECT_EQ(second->toMap().value("from-a-newer-version").toMap().value("x").toList().value(2),
              QVariant(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::UTC)));
}

TEST(PropertyList, MalformedInputFailsWithAReason) {
    const QByteArray good = writePropertyListXML(QVariantMap{{"a", QVariantList{1, "two"}}});
    std::vector<QByteArray> inputs{
        QByteArray(),
        QByteArray("not a property list"),
        QByteArray("<plist version=\"1.0\"><foo>1</foo></plist>"),
        QByteArray("<plist version=\"1.0\"><uid>1</uid></plist>"),
        QByteArray("bplist00"),
        QByteArray("bplist01") + QByteArray(40, '\0'),
        nestedXml(100000),
        nestedBinary(2000),
        // Object offset inside the trailer.
        binaryList({object(0x09)}).replace(9, 4, bigEndian(60, 4)),
        // An array that holds itself.
        binaryList({object(0xa1, bigEndian(0, 1))}),
        // A reference past the object table.
        binaryList({object(0xa1, bigEndian(5, 1))}),
        // A count of 2^40 elements.
        binaryList({object(0xaf, object(0x13, bigEndian(1ull << 40, 8)))}),
        // A dictionary whose key is a number.
        binaryList({object(0xd1, bigEndian(1, 1) + bigEndian(1, 1)), object(0x10, "\x01")}),
        // A UID, which is not a property-list value.
        binaryList({object(0x80, "\x01")}),
        // An unknown object type.
        binaryList({object(0xf0)}),
        // Keys holding NUL, which libplist would abort on.
        binaryList({object(0xd1, bigEndian(1, 1) + bigEndian(2, 1)),
                    object(0x53, QByteArray("a\0b", 3)), object(0x09)}),
        binaryList({object(0xd1, bigEndian(1, 1) + bigEndian(2, 1)),
                    object(0x61, QByteArray("\0\0", 2)), object(0x09)}),
        QByteArray("<plist version=\"1.0\"><dict><key>a\0b</key><true/></dict></plist>", 63),
    };
    // Truncations of a good list at every length.
    for (qsizetype n = 1; n < good.size() - 10; n += 7) inputs.push_back(good.left(n));
    // Random bytes, with and without the binary header.
    QRandomGenerator random(20240601);
    for (int i = 0; i < 200; ++i) {
        QByteArray junk(random.bounded(1, 300), '\0');
        for (char& c : junk) c = char(random.bounded(256));
        if (i % 2) junk.replace(0, 8, "bplist00");
        inputs.push_back(junk);
    }
    // 40 arrays each holding the next twice expand to 2^40 nodes.
    std::vector<QByteArray> doubling;
    for (int i = 0; i < 40; ++i)
        doubling.push_back(object(0xa2, bigEndian(i + 1, 1) + bigEndian(i + 1, 1)));
    doubling.push_back(object(0x09));
    inputs.push_back(binaryList(doubling));

    for (size_t i = 0; i < inputs.size(); ++i) {
        QString error;
        auto value = readPropertyList(inputs[i], &error);
        if (i < 18 || i == inputs.size() - 1) {
            EXPECT_FALSE(value.has_value()) << "input " << i;
            EXPECT_FALSE(error.isEmpty()) << "input " << i;
        } else if (!value) {
            EXPECT_FALSE(error.isEmpty()) << "input " << i;
        }
    }
}

// A string holding NUL is refused, not read up to the NUL as another string.
TEST(PropertyList, BinaryStringsHoldingNulAreRefused) {
    const QByteArray ascii = binaryList({object(0xa1, bigEndian(1, 1)), object(0x54, "ab\0c")});
    const QByteArray utf16 =
        binaryList({object(0xa1, bigEndian(1, 1)), object(0x62, QByteArray("\0a\0\0", 4))});
    for (const QByteArray& bytes : {ascii, utf16})
        EXPECT_FALSE(readPropertyList(bytes).has_value());
    const auto sound = readPropertyList(
        binaryList({object(0xa1, bigEndian(1, 1)), object(0x62, QByteArray("\0a\0b", 4))}));
    ASSERT_TRUE(sound.has_value());
    EXPECT_EQ(sound->toList().value(0).toString(), QStringLiteral("ab"));
}

TEST(PropertyList, NestingLimit) {
    auto atLimit = readPropertyList(nestedXml(kPropertyListMaxDepth));
    ASSERT_TRUE(atLimit.has_value());
    EXPECT_EQ(depthOf(*atLimit), kPropertyListMaxDepth);
    EXPECT_FALSE(readPropertyList(nestedXml(kPropertyListMaxDepth + 1)).has_value());

    auto binaryAtLimit = readPropertyList(nestedBinary(kPropertyListMaxDepth));
    ASSERT_TRUE(binaryAtLimit.has_value());
    EXPECT_EQ(depthOf(*binaryAtLimit), kPropertyListMaxDepth);
    EXPECT_FALSE(readPropertyList(nestedBinary(kPropertyListMaxDepth + 1)).has_value());

    // Shared objects are fine as long as the expanded tree stays small.
    std::vector<QByteArray> shared{object(0xa3, QByteArray("\x01\x01\x01", 3)), object(0x52, "ab")};
    auto value = readPropertyList(binaryList(shared));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, QVariant(QVariantList{"ab", "ab", "ab"}));

    QVariant deep = QVariantList();
    for (int i = 0; i < kPropertyListMaxDepth; ++i) deep = QVariantList{deep};
    QString error;
    EXPECT_TRUE(writePropertyListXML(deep, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(PropertyList, ValuesWithoutAPropertyListFormAreNotWritten) {
    const std::vector<QVariant> values{
        QVariant(QString(QChar(0))),
        QVariantMap{{QString("a") + QChar(0), 1}},
        QVariant(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC)),
        QVariant(QDateTime()),
        QVariant(QUrl("file:///tmp")),
        QVariant(),
        QVariantList{1, QVariant()},
    };
    for (const QVariant& v : values) {
        QString error;
        EXPECT_TRUE(writePropertyListXML(v, &error).isEmpty()) << v.typeName();
        EXPECT_FALSE(error.isEmpty()) << v.typeName();
    }
}

TEST(PropertyList, RealsReadTheSameUnderADecimalCommaLocale) {
    TempDir dir;
    std::string command =
        "localedef -i de_DE -f UTF-8 '" + dir.path() + "/de_DE.UTF-8' 2>/dev/null";
    if (system(command.c_str()) != 0) GTEST_SKIP() << "cannot build a de_DE locale here";
    setenv("LOCPATH", dir.path().c_str(), 1);
    const char* set = setlocale(LC_ALL, "de_DE.UTF-8");
    if (!set) {
        unsetenv("LOCPATH");
        GTEST_SKIP() << "de_DE locale not usable";
    }
    auto value = readPropertyList("<plist version=\"1.0\"><real>1.5</real></plist>");
    QByteArray xml = writePropertyListXML(2.75);
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->toDouble(), 1.5);
    EXPECT_TRUE(xml.contains("<real>2.75</real>"));
}
