#include "MountTable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "FakeMountTable.h"
#include "PrivateMount.h"
#include "TempDir.h"

TEST(MountTable, UndoesTheKernelsEscapesAndSkipsWhatIsNotATable) {
    TempDir dir;
    // As the kernel writes them: blank, tab, line break and backslash in octal.
    writeFile(
        dir / "mountinfo",
        "36 25 8:17 / /media/My\\040Drive\\011x\\012y\\134z rw shared:7 - hfsplus /dev/sdb1 rw\n"
        "garbage line\n"
        "37 25 0:40 /sub /mnt/p rw - nfs4 server:/export\\040one rw\n");
    auto table = readMountTableFromFile(dir / "mountinfo");
    ASSERT_TRUE(table && table->size() == 2u);
    EXPECT_EQ((*table)[0].mountPoint, "/media/My Drive\tx\ny\\z");
    EXPECT_EQ((*table)[0].fsType, "hfsplus");
    EXPECT_EQ((*table)[0].id, 36);
    EXPECT_EQ((*table)[1].source, "server:/export one");
    EXPECT_EQ((*table)[1].root, "/sub");

    // An fstab is guessed from its first line; its entries are not mounts.
    writeFile(dir / "fstab", "/dev/sda1 / ext4 defaults 0 1\n");
    writeFile(dir / "garbage", "not a table\n\x01\xff\\777\n");
    for (const char* name : {"fstab", "garbage"})
        EXPECT_TRUE(readMountTableFromFile(dir / name)->empty());
    mkfifo((dir / "fifo").c_str(), 0644);  // must not hang
    for (const char* name : {"missing", "fifo", ""})
        EXPECT_FALSE(readMountTableFromFile(dir / name));

    FakeMountTable fake(dir / "missing");
    EXPECT_TRUE(mountedLocalVolumes().empty());
    EXPECT_FALSE(volumeForPath(dir.path()));
}

TEST(MountTable, VolumeForPathTakesTheLongestWholeComponentPrefix) {
    TempDir dir;
    const std::string outer = makeFolder(dir / "vol"), inner = makeFolder(outer + "/in");
    const std::string sibling = makeFolder(outer + "/in2");  // "in" is no prefix of it
    writeFile(inner + "/file", "x");
    symlink(inner.c_str(), (dir / "link").c_str());
    FakeMountTable fake(dir / "mountinfo");
    fake.add("/", "/dev/sda1", "ext4");
    fake.add(inner, "/dev/sdc1");
    fake.add(outer, "/dev/sdb1");  // after the nested one: table order must not matter

    EXPECT_EQ(volumeForPath(inner + "/file")->source, "/dev/sdc1");
    EXPECT_EQ(volumeForPath(dir / "link")->source, "/dev/sdc1");  // judged by where it leads
    EXPECT_EQ(volumeForPath(sibling)->source, "/dev/sdb1");
    EXPECT_EQ(volumeForPath(outer)->source, "/dev/sdb1");
    EXPECT_EQ(volumeForPath(dir.path())->source, "/dev/sda1");
    EXPECT_FALSE(volumeForPath(outer + "/missing"));
    fake.add(inner, "/dev/sdd1");  // mounted on top hides the earlier one
    EXPECT_EQ(volumeForPath(inner)->source, "/dev/sdd1");
}

TEST(MountTable, LocalVolumesAreDeviceMountsInTableOrderOncePerDevice) {
    TempDir dir;
    const std::string a = makeFolder(dir / "a"), b = makeFolder(dir / "b");
    FakeMountTable fake(dir / "mountinfo");
    fake.add(b, "/dev/sdb1");
    fake.add(dir / "proc", "proc", "proc");
    fake.add(a, "/dev/mapper/x", "ext4");
    fake.add(makeFolder(dir / "c"), "/dev/sdb1");  // the same device: its first mount counts
    fake.add(makeFolder(dir / "d"), "server:/share", "nfs");
    auto volumes = mountedLocalVolumes();
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].mountPoint, b);
    EXPECT_EQ(volumes[1].mountPoint, a);
    EXPECT_EQ(volumes[1].source, "/dev/mapper/x");
}

TEST(MountTable, ReadsTheKernelsTableOfRealMounts) {
    if (!canMountPrivately()) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    if (system("command -v mkfs.ext4 >/dev/null") != 0) GTEST_SKIP() << "no mkfs.ext4";
    TempDir dir;
    const std::string odd = makeFolder(dir / "odd name\twith\\ and\nbreak");
    const std::string loop = makeFolder(dir / "loop"), image = loop + ".img";
    auto result = runInPrivateMountNamespace([&]() -> std::string {
        unsetenv("PELLORA_MOUNTINFO");
        std::string cmd = "truncate -s 4M '" + image + "' && mkfs.ext4 -q '" + image +
                          "' && mount -o loop '" + image + "' '" + loop + "'";
        if (mount("none", odd.c_str(), "tmpfs", 0, nullptr) != 0 || system(cmd.c_str()) != 0)
            return "mount failed";
        mkdir((loop + "/deep").c_str(), 0755);
        auto tmp = volumeForPath(odd), deep = volumeForPath(loop + "/deep");
        std::string out = "odd=" + (tmp ? tmp->mountPoint + "|" + tmp->fsType : "none") +
                          "\nloop=" + (deep ? deep->source + "|" + deep->fsType : "none") + "\n";
        for (const MountEntry& e : mountedLocalVolumes()) out += "local=" + e.mountPoint + "\n";
        return out;
    });
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_NE(result->find("odd=" + odd + "|tmpfs\n"), std::string::npos) << *result;
    EXPECT_NE(result->find("loop=/dev/loop"), std::string::npos) << *result;
    EXPECT_NE(result->find("|ext4\nlocal="), std::string::npos) << *result;
    EXPECT_NE(result->find("local=" + loop + "\n"), std::string::npos) << *result;
    EXPECT_EQ(result->find("local=" + odd), std::string::npos) << *result;  // tmpfs is no device
}
