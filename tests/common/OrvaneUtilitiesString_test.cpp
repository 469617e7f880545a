#include "OrvaneUtilities+String.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeMountTable.h"
#include "MachineIdentity.h"
#include "TempDir.h"

using namespace OrvaneUtilities;

TEST(DevNode, AnyPathOnADeviceVolumeNamesTheDeviceOthersNone) {
    TempDir dir;
    const std::string drive = makeFolder(dir / "drive"), mapped = makeFolder(dir / "mapped");
    makeFolder(drive + "/a");
    writeFile(drive + "/a/file", "x");
    FakeMountTable fake(dir / "mountinfo");
    fake.add(drive, "/dev/sdz1");
    fake.add(mapped, "/dev/mapper/x", "ext4");
    fake.add(makeFolder(dir / "ram"), "tmpfs", "tmpfs");
    fake.add(makeFolder(dir / "share"), "//server/share", "cifs");

    EXPECT_EQ(stringWithDevNodeFromMountPoint(drive), "sdz1");
    EXPECT_EQ(stringWithDevNodeFromMountPoint(drive + "/a/../a/file"), "sdz1");
    EXPECT_EQ(stringWithDevNodeFromMountPoint(mapped), "mapper/x");
    EXPECT_FALSE(stringWithDevNodeFromMountPoint(dir / "ram/"));
    EXPECT_FALSE(stringWithDevNodeFromMountPoint(dir / "share"));
    EXPECT_FALSE(stringWithDevNodeFromMountPoint(drive + "/missing"));
    EXPECT_FALSE(stringWithDevNodeFromMountPoint(dir.path()));  // no entry holds it
}

TEST(RealPath, ResolvesLinksAndDotsOrGivesNone) {
    TempDir dir;
    const std::string real = makeFolder(dir / "target");
    symlink(real.c_str(), (dir / "link").c_str());
    EXPECT_EQ(stringWithRealPath(dir / "link/./../target/"), real);
    EXPECT_EQ(stringWithRealPath(dir / "link"), real);
    EXPECT_FALSE(stringWithRealPath(dir / "link/missing"));
}

TEST(MachineStrings, AddressAndHostnameComeFromTheSystem) {
    QString direct;
    bool found = GetPrimaryMACAddressAsCFString(false, &direct) == 0;
    auto plain = stringWithPrimaryMACAddressWithColons(false);
    auto colons = stringWithPrimaryMACAddressWithColons(true);
    ASSERT_EQ(plain.has_value(), found);
    ASSERT_EQ(colons.has_value(), found);
    if (found) {
        EXPECT_EQ(*plain, direct);
        EXPECT_EQ(QString(*colons).remove(':'), direct);
    }
    bool ok = false;
    QByteArray node = readFile("/proc/sys/kernel/hostname", &ok).trimmed();
    if (ok) {
        EXPECT_EQ(stringWithHostname(), QString::fromLocal8Bit(node));
    }
}

TEST(MachineStrings, MachineNameIsThePrettyHostnameUnquoted) {
    TempDir dir;
    auto nameIn = [&](const QByteArray& text) {
        writeFile(dir / "machine-info", text);
        return stringWithMachineName(dir / "machine-info");
    };
    EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"Anna's \\\"Big\\\" Laptop\"\n"), "Anna's \"Big\" Laptop");
    EXPECT_EQ(nameIn("# by hand\nICON_NAME=computer\nPRETTY_HOSTNAME='Back \\ Room'\n"),
              "Back \\ Room");
    EXPECT_EQ(nameIn("  PRETTY_HOSTNAME = Office\\ PC   \nCHASSIS=desktop"), "Office PC");
    EXPECT_EQ(nameIn("PRETTY_HOSTNAME=\"Caf\xc3\xa9 $X\"\n"), QString::fromUtf8("Caf\xc3\xa9 $X"));
    EXPECT_EQ(nameIn("PRETTY_HOSTNAME=old\nPRETTY_HOSTNAME=new\n"), "new");
    for (const char* none :
         {"ICON_NAME=computer\n", "PRETTY_HOSTNAME=\"\"\n", "#PRETTY_HOSTNAME=x"})
        EXPECT_FALSE(nameIn(none)) << none;
    EXPECT_FALSE(stringWithMachineName(dir / "missing"));
}

TEST(SortedRemoval, RemovesAtMostOneMatchByBinarySearch) {
    QStringList list;
    sortedStringArrayRemoveObject(list, "a");
    EXPECT_TRUE(list.isEmpty());
    list = {"only"};
    sortedStringArrayRemoveObject(list, "other");
    EXPECT_EQ(list, QStringList{"only"});
    sortedStringArrayRemoveObject(list, "only");
    EXPECT_TRUE(list.isEmpty());

    // Every position of an even and an odd length list is found; absent strings change nothing.
    for (int count : {6, 7}) {
        QStringList sorted;
        for (int i = 0; i < count; ++i) sorted << QString("item%1").arg(i);
        for (int i = 0; i < count; ++i) {
            list = sorted;
            sortedStringArrayRemoveObject(list, sorted[i]);
            EXPECT_EQ(list.size(), count - 1);
            EXPECT_FALSE(list.contains(sorted[i])) << count << " " << i;
        }
        list = sorted;
        for (const char* absent : {"a", "item35", "zzz"})
            sortedStringArrayRemoveObject(list, absent);
        EXPECT_EQ(list, sorted);
    }
    list = {"a", "b", "b", "b", "b"};
    sortedStringArrayRemoveObject(list, "b");
    EXPECT_EQ(list, (QStringList{"a", "b", "b", "b"}));
}

TEST(SortedRemoval, OrderIsLiteralAndCaseSensitive) {
    QStringList list{"Apple", "Zebra", "apple", "zebra"};
    sortedStringArrayRemoveObject(list, "apple");
    sortedStringArrayRemoveObject(list, "ZEBRA");
    EXPECT_EQ(list, (QStringList{"Apple", "Zebra", "zebra"}));
    // Sorted ignoring case, the capitalised word is not where a literal search looks.
    list = {"apple", "Apple"};
    sortedStringArrayRemoveObject(list, "Apple");
    EXPECT_EQ(list, (QStringList{"apple", "Apple"}));
}
