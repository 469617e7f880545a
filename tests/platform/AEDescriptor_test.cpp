#include "AEDescriptor.h"

#include <gtest/gtest.h>

namespace {

AEDescriptor data(const char (&type)[5], const QByteArray& bytes = {}) {
    return AEDescriptor::descriptorWithDescriptorType(fourCharCode(type), bytes);
}

}  // namespace

void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}
void PrintTo(const AEDescriptor& descriptor, std::ostream* out) {
    *out << descriptor.description().toStdString();
}

TEST(FourCharCode, FirstCharacterIsTheMostSignificantByte) {
    EXPECT_EQ(fourCharCode("VSNC"), 0x56534E43u);
    EXPECT_EQ(fourCharCodeBytes(fourCharCode("psn ")), QByteArray("psn "));
    EXPECT_EQ(fourCharCodeFromString("----"), fourCharCode("----"));
    EXPECT_EQ(fourCharCodeFromString("psn "), fourCharCode("psn "));
    for (const char* bad : {"", "VSN", "VSNCX", "VS\tC",
                            "VS\x7f"
                            "C"}) {
        EXPECT_FALSE(fourCharCodeFromString(QString::fromLatin1(bad))) << bad;
    }
    EXPECT_FALSE(fourCharCodeFromString(QString::fromUtf8("VSN\xc3\x87")));  // four, not ASCII
}

TEST(AEDescriptor, ListsCountAndIndexFromOne) {
    AEDescriptor list = AEDescriptor::listDescriptor();
    EXPECT_EQ(list.descriptorType(), AEType::list);
    EXPECT_TRUE(list.insertDescriptor(data("furl", "b"), 0));
    EXPECT_TRUE(list.insertDescriptor(data("furl", "a"), 1));
    EXPECT_TRUE(list.insertDescriptor(data("furl", "c"), 3));
    EXPECT_FALSE(list.insertDescriptor(data("furl", "x"), 5));
    ASSERT_EQ(list.numberOfItems(), 3);
    EXPECT_EQ(list.descriptorAtIndex(1)->data(), "a");
    EXPECT_EQ(list.descriptorAtIndex(2)->data(), "b");
    EXPECT_EQ(list.descriptorAtIndex(3)->data(), "c");
    EXPECT_FALSE(list.descriptorAtIndex(0));
    EXPECT_FALSE(list.descriptorAtIndex(4));
    // Data descriptors have no items, whatever their type says.
    AEDescriptor text = data("utf8", "abc");
    EXPECT_FALSE(text.insertDescriptor(list, 0));
    EXPECT_EQ(text.numberOfItems(), 0);
    EXPECT_FALSE(text.descriptorAtIndex(1));
    // Container types can't be faked with data.
    const AEDescriptor fake = data("list", "xyz");
    EXPECT_TRUE(fake.isList());
    EXPECT_TRUE(fake.data().isEmpty());
}

TEST(AEDescriptor, EventsAndRecordsKeepOneParameterPerKeyword) {
    AEDescriptor event =
        AEDescriptor::appleEventWithEventClass(fourCharCode("VSNC"), fourCharCode("SETL"));
    EXPECT_EQ(event.eventClass(), fourCharCode("VSNC"));
    EXPECT_EQ(event.eventID(), fourCharCode("SETL"));
    EXPECT_TRUE(event.setParamDescriptor(data("furl", "one"), AEKeyword::directObject));
    EXPECT_TRUE(event.setParamDescriptor(AEDescriptor::listDescriptor(), fourCharCode("ITMZ")));
    EXPECT_TRUE(event.setParamDescriptor(data("furl", "two"), AEKeyword::directObject));
    ASSERT_EQ(event.numberOfItems(), 2);
    EXPECT_EQ(event.paramDescriptorForKeyword(AEKeyword::directObject)->data(), "two");
    EXPECT_EQ(event.keywordForDescriptorAtIndex(1), AEKeyword::directObject);
    EXPECT_EQ(event.keywordForDescriptorAtIndex(2), fourCharCode("ITMZ"));
    EXPECT_EQ(event.keywordForDescriptorAtIndex(3), 0u);
    EXPECT_FALSE(event.paramDescriptorForKeyword(fourCharCode("CSSP")));

    EXPECT_TRUE(event.removeParamDescriptorWithKeyword(AEKeyword::directObject));
    EXPECT_FALSE(event.removeParamDescriptorWithKeyword(AEKeyword::directObject));
    EXPECT_EQ(event.numberOfItems(), 1);
    EXPECT_EQ(event.keywordForDescriptorAtIndex(1), fourCharCode("ITMZ"));

    // A reply that is not wanted is the null descriptor and takes nothing.
    AEDescriptor none;
    EXPECT_EQ(none.descriptorType(), AEType::null);
    EXPECT_FALSE(none.setParamDescriptor(data("true"), AEKeyword::directObject));
    AEDescriptor list = AEDescriptor::listDescriptor();
    EXPECT_FALSE(list.setParamDescriptor(data("true"), AEKeyword::directObject));
    EXPECT_EQ(list.numberOfItems(), 0);
}

TEST(AEDescriptor, ValuesAndEquality) {
    EXPECT_EQ(AEDescriptor::descriptorWithInt32(-50).data(), QByteArray("\xce\xff\xff\xff"));
    EXPECT_EQ(data("long", QByteArray("\x02\x01\x00\x00", 4)).int32Value(), 258);
    EXPECT_FALSE(data("long", "\x01\x02\x03").int32Value());
    EXPECT_EQ(AEDescriptor::descriptorWithString(QStringLiteral("é")).data(), "\xc3\xa9");
    EXPECT_EQ(data("utf8", "\xc3\xa9").stringValue(), QStringLiteral("é"));
    EXPECT_FALSE(data("utf8", "\xc3").stringValue());

    AEDescriptor a = AEDescriptor::recordDescriptor();
    AEDescriptor b = AEDescriptor::recordDescriptor();
    a.setParamDescriptor(data("true"), fourCharCode("aaaa"));
    a.setParamDescriptor(data("fals"), fourCharCode("bbbb"));
    b.setParamDescriptor(data("fals"), fourCharCode("bbbb"));
    EXPECT_NE(a, b);
    b.setParamDescriptor(data("true"), fourCharCode("aaaa"));
    EXPECT_EQ(a, b);
    b.setParamDescriptor(data("fals"), fourCharCode("aaaa"));
    EXPECT_NE(a, b);
    EXPECT_NE(AEDescriptor::recordDescriptor(),
              AEDescriptor::recordDescriptor(fourCharCode("obj ")));

    AEDescriptor one = AEDescriptor::listDescriptor();
    AEDescriptor two = AEDescriptor::listDescriptor();
    one.insertDescriptor(data("true"), 0);
    one.insertDescriptor(data("fals"), 0);
    two.insertDescriptor(data("fals"), 0);
    two.insertDescriptor(data("true"), 0);
    EXPECT_NE(one, two);  // order is part of a list
}

TEST(AEDescriptor, PrintedFormIsOneReadableLine) {
    AEDescriptor items = AEDescriptor::listDescriptor();
    items.insertDescriptor(data("furl", "file:///a%20b/"), 0);
    items.insertDescriptor(AEDescriptor::listDescriptor(), 0);
    AEDescriptor event =
        AEDescriptor::appleEventWithEventClass(fourCharCode("VSNC"), fourCharCode("SETL"));
    event.setParamDescriptor(data("furl", "file:///media/u/DRIVE/"), AEKeyword::directObject);
    event.setParamDescriptor(items, fourCharCode("ITMZ"));
    AEDescriptor specifier = AEDescriptor::recordDescriptor(fourCharCode("obj "));
    specifier.setParamDescriptor(data("type", "prop"), fourCharCode("want"));
    AEDescriptor reply = AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer);
    reply.setParamDescriptor(AEDescriptor::descriptorWithInt32(-50), AEKeyword::errorNumber);
    reply.setParamDescriptor(AEDescriptor::descriptorWithString("say \"hi\"\n\\"),
                             AEKeyword::errorString);

    const std::pair<AEDescriptor, QString> cases[] = {
        {AEDescriptor(), "'null'()"},
        {data("true"), "'true'()"},
        {data("furl", "file:///media/u/DRIVE/"), R"('furl'("file:///media/u/DRIVE/"))"},
        {event, R"('VSNC'\'SETL'{ '----':'furl'("file:///media/u/DRIVE/"), )"
                R"('ITMZ':[ 'furl'("file:///a%20b/"), [ ] ] })"},
        {reply, R"('aevt'\'ansr'{ 'errn':'long'(-50), 'errs':'utf8'("say \"hi\"\n\\") })"},
        {specifier, R"('obj '{ 'want':'type'($70726F70$) })"},
        {AEDescriptor::recordDescriptor(), "{ }"},
        // Not UTF-8, or not text: hexadecimal, cut after 64 bytes.
        {data("furl", "\xff"), "'furl'($FF$)"},
        {data("alis", QByteArray(65, '\x01')),
         "'alis'($" + QString(128, '0').replace("00", "01") + "...$)"},
        {data("utf8", "a\x01\xe2\x80\xa8z"), R"('utf8'("a\u0001\u2028z"))"},
        // Codes that can't be quoted as they stand.
        {data("a'b\\", {}), R"('a\'b\\'())"},
        {AEDescriptor::descriptorWithDescriptorType(0x01020304u, {}), "$01020304()"},
    };
    for (const auto& [descriptor, printed] : cases) {
        EXPECT_EQ(descriptor.description(), printed);
    }
}
