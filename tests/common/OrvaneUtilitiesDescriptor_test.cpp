#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <cstring>

#include "OrvaneUtilities+Descriptor.h"
#include "OrvaneUtilities+String.h"
#include "TempDir.h"

using namespace OrvaneUtilities;

namespace {

AEDescriptor data(const char (&type)[5], const QByteArray& bytes = {}) {
    return AEDescriptor::descriptorWithDescriptorType(fourCharCode(type), bytes);
}

QByteArray urlBytes(const std::string& path) {
    const auto descriptor = descriptorWithPathAsCFURL(path);
    if (!descriptor) return "(none)";
    EXPECT_EQ(descriptor->descriptorType(), AEType::fileURL);
    return descriptor->data();
}

}  // namespace

TEST(DescriptorMakers, BooleansAreTrueAndFalsWithoutData) {
    EXPECT_EQ(descriptorWithBOOL(true).descriptorType(), AEType::trueType);
    EXPECT_EQ(descriptorWithBOOL(false).descriptorType(), AEType::falseType);
    EXPECT_TRUE(descriptorWithBOOL(true).data().isEmpty());
    EXPECT_TRUE(descriptorWithBOOL(false).data().isEmpty());
}

TEST(DescriptorMakers, FileURLsEscapeAndMarkFolders) {
    TempDir dir;
    const QByteArray root = QByteArray::fromStdString(dir.path());
    ASSERT_TRUE(writeFile(dir / "a b", "x"));
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    EXPECT_EQ(urlBytes(dir / "a b"), "file://" + root + "/a%20b");
    EXPECT_EQ(urlBytes(dir / "folder"), "file://" + root + "/folder/");
    EXPECT_EQ(urlBytes(dir / "folder/"), "file://" + root + "/folder/");
    EXPECT_EQ(urlBytes(dir / "absent"), "file://" + root + "/absent");
    EXPECT_EQ(urlBytes("/caf\xe9 100%#?\n"), "file:///caf%E9%20100%25%23%3F%0A");
    EXPECT_EQ(urlBytes("/"), "file:///");
    EXPECT_EQ(urlBytes("rel/x"), "file://" + QDir::currentPath().toUtf8() + "/rel/x");
    EXPECT_EQ(urlBytes(""), "(none)");
}

TEST(DescriptorGetters, URLsComeOnlyFromFurl) {
    QUrl url(QStringLiteral("file:///left/over"));
    EXPECT_FALSE(retrieveURL(data("utf8", "/media/u/DRIVE"), &url));
    EXPECT_TRUE(url.isEmpty());
    for (const AEDescriptor& other :
         {data("alis", "/media/u/DRIVE"), data("fsrf", QByteArray(80, '\0')), data("furl"),
          data("furl", "file:///a\xff"), data("furl", "file:///a b"),
          AEDescriptor::listDescriptor()}) {
        url = QUrl(QStringLiteral("file:///left/over"));
        EXPECT_FALSE(retrieveURL(other, &url)) << other.description().toStdString();
        EXPECT_TRUE(url.isEmpty());
    }
    EXPECT_FALSE(retrieveURL(data("furl", "file:///x"), nullptr));

    // Any scheme is a URL; only the caller knows it wants a file.
    ASSERT_TRUE(retrieveURL(data("furl", "http://example.org/x"), &url));
    EXPECT_EQ(url.scheme(), "http");
    EXPECT_FALSE(pathOfFileURL(url));
}

TEST(DescriptorGetters, PathsRoundTripThroughFileURLs) {
    for (const std::string path :
         {"/media/u/DRIVE", "/caf\xe9/x y/100%", "/a#b?c", "/\xc3\xa9t\xc3\xa9", "/"}) {
        QUrl url;
        ASSERT_TRUE(retrieveURL(*descriptorWithPathAsCFURL(path), &url)) << path;
        EXPECT_EQ(pathOfFileURL(url), path);
    }
    EXPECT_EQ(pathOfFileURL(QUrl("file:///media/u/DRIVE/")), "/media/u/DRIVE");
    EXPECT_FALSE(pathOfFileURL(QUrl("file:")));
}

TEST(DescriptorMakers, AliasesAndFileReferencesNeedAnExistingItem) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "item", "x"));
    ASSERT_EQ(symlink("item", (dir / "link").c_str()), 0);
    EXPECT_FALSE(descriptorWithPath(dir / "absent"));
    EXPECT_FALSE(descriptorWithPathAsFSRef(dir / "absent"));

    const auto alias = descriptorWithPath(dir / "link");
    ASSERT_TRUE(alias);
    EXPECT_EQ(alias->descriptorType(), AEType::alias);
    EXPECT_EQ(alias->data().toStdString(), *stringWithRealPath(dir / "item"));

    const auto ref = descriptorWithPathAsFSRef(dir / "item");
    const auto sameRef = descriptorWithPathAsFSRef(dir / "link");
    ASSERT_TRUE(ref && sameRef);
    EXPECT_EQ(ref->data().size(), 80);
    EXPECT_EQ(*ref, *sameRef);

    FSRef out;
    ASSERT_TRUE(retrieveFSRef(*ref, &out));
    EXPECT_EQ(std::memcmp(out.hidden, ref->data().constData(), 80), 0);
    EXPECT_FALSE(retrieveFSRef(*alias, &out));
    EXPECT_EQ(std::memcmp(out.hidden, FSRef().hidden, 80), 0);
    EXPECT_FALSE(retrieveFSRef(*ref, nullptr));
}

TEST(DescriptorMakers, PropertySpecifiersAndTheirResolution) {
    const AEDescriptor container = data("furl", "file:///media/u/DRIVE/");
    const auto specifier = propertyDescriptorOfType(fourCharCode("pnam"), container);
    ASSERT_TRUE(specifier);
    EXPECT_EQ(specifier->descriptorType(), AEType::objectSpecifier);
    EXPECT_EQ(specifier->paramDescriptorForKeyword(fourCharCode("want")), data("type", "prop"));
    EXPECT_EQ(specifier->paramDescriptorForKeyword(fourCharCode("form")), data("enum", "prop"));
    EXPECT_EQ(specifier->paramDescriptorForKeyword(fourCharCode("seld")), data("type", "pnam"));
    EXPECT_EQ(specifier->paramDescriptorForKeyword(fourCharCode("from")), container);

    EXPECT_EQ(resolvedObjectSpecifier(container), container);
    EXPECT_FALSE(resolvedObjectSpecifier(*specifier));
}
