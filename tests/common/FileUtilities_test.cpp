// Copies and moves onto older items, on real folders; the strings and descriptors the
// scripting commands and the drive identifier are made of.

#include <gtest/gtest.h>

#include "FakeMountTable.h"
#include "OrvaneUtilities+Descriptor.h"
#include "OrvaneUtilities+FileManager.h"
#include "OrvaneUtilities+String.h"
#include "SampleTree.h"
#include "TreeSnapshot.h"

using namespace OrvaneUtilities;

namespace {

TreeSnapshot filesOnly(const TreeSnapshot& tree) {
    TreeSnapshot out;
    for (const auto& [path, item] : tree)
        if (!S_ISDIR(item.type)) out[path] = item;
    return out;
}

}  // namespace

TEST(OntoOperations, CopyAndMoveMergeIntoAnOlderTreeAndLeaveUnfinishedCopiesBehind) {
    TempDir dir;
    makeSampleTree(dir / "src");
    ASSERT_TRUE(writeFile(dir / "src/.pellora-tmp-1-1", "partial"));
    TreeSnapshot expected = filesOnly(snapshotTree(dir / "src"));
    expected.erase(".pellora-tmp-1-1");
    FileManager manager;
    for (bool move : {false, true}) {
        SCOPED_TRACE(move ? "move" : "copy");
        const std::string older = dir / (move ? "older-m" : "older-c");
        ASSERT_EQ(mkdir(older.c_str(), 0700), 0);
        ASSERT_TRUE(writeFile(older + "/plain.txt", "an older text"));
        ASSERT_TRUE(writeFile(older + "/only-here", "stays"));
        ASSERT_EQ(symlink("elsewhere", (older + "/link").c_str()), 0);
        if (move) {
            ASSERT_TRUE(copyPathToPath(manager, dir / "src", dir / "tomove", false, nullptr));
        }
        ASSERT_TRUE((move ? movePathOntoPath : copyPathOntoPath)(
            manager, move ? dir / "tomove" : dir / "src", older, nullptr));
        TreeSnapshot merged = filesOnly(snapshotTree(older));
        EXPECT_EQ(merged["only-here"].contents, "stays");
        merged.erase("only-here");
        EXPECT_EQ(describeDifferences(expected, merged), "");
    }
}

TEST(OrvaneStrings, AMountPointNamesItsDeviceAndAMountOfNoDeviceNone) {
    TempDir dir;
    const std::string drive = makeFolder(dir / "drive");
    FakeMountTable fake(dir / "mountinfo");
    fake.add(drive, "/dev/sdz1");
    fake.add(makeFolder(dir / "ram"), "tmpfs", "tmpfs");
    EXPECT_EQ(stringWithDevNodeFromMountPoint(drive + "/../drive"), "sdz1");
    EXPECT_FALSE(stringWithDevNodeFromMountPoint(dir / "ram"));
}

TEST(OrvaneDescriptors, OnlyFileURLsGiveAPathAndOddCharactersRoundTrip) {
    const std::string path = "/caf\xe9/x y/100%/a#b?c";
    QUrl url;
    ASSERT_TRUE(retrieveURL(*descriptorWithPathAsCFURL(path), &url));
    EXPECT_EQ(pathOfFileURL(url), path);
    EXPECT_FALSE(
        retrieveURL(AEDescriptor::descriptorWithDescriptorType(fourCharCode("alis"), "/x"), &url));
    ASSERT_TRUE(retrieveURL(
        AEDescriptor::descriptorWithDescriptorType(fourCharCode("furl"), "http://example.org/x"),
        &url));
    EXPECT_FALSE(pathOfFileURL(url));
}
