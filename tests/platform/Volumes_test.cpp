// Mounted volumes: the kernel's table, the monitor that watches it, the names shown for items
// and volumes, the trash, and the address the drive identifier starts with.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>

#include "DisplayName.h"
#include "FakeMountTable.h"
#include "MachineIdentity.h"
#include "MountMonitor.h"
#include "MountTable.h"
#include "PrivateMount.h"
#include "Trash.h"

TEST(MountTable, UndoesTheKernelsEscapesAndTakesTheLongestWholeComponentPrefix) {
    TempDir dir;
    writeFile(dir / "mountinfo",
              "36 25 8:17 / /media/My\\040Drive\\011x\\012y\\134z rw shared:7 - hfsplus /dev/sdb1 "
              "rw\ngarbage line\n");
    const auto table = readMountTableFromFile(dir / "mountinfo");
    ASSERT_TRUE(table && table->size() == 1u);
    EXPECT_EQ((*table)[0].mountPoint, "/media/My Drive\tx\ny\\z");
    mkfifo((dir / "fifo").c_str(), 0644);  // must not hang
    EXPECT_FALSE(readMountTableFromFile(dir / "fifo"));

    const std::string outer = makeFolder(dir / "vol"), inner = makeFolder(outer + "/in");
    const std::string sibling = makeFolder(outer + "/in2");
    symlink(inner.c_str(), (dir / "link").c_str());
    FakeMountTable fake(dir / "table");
    fake.add("/", "/dev/sda1", "ext4");
    fake.add(inner, "/dev/sdc1");
    fake.add(outer, "/dev/sdb1");  // after the nested one: table order must not matter
    fake.add(makeFolder(dir / "proc"), "proc", "proc");
    fake.add(makeFolder(dir / "again"), "/dev/sdb1");
    const std::pair<std::string, std::string> cases[] = {{inner, "/dev/sdc1"},
                                                         {dir / "link", "/dev/sdc1"},
                                                         {sibling, "/dev/sdb1"},
                                                         {outer, "/dev/sdb1"},
                                                         {dir.path(), "/dev/sda1"}};
    for (const auto& [path, source] : cases)
        EXPECT_EQ(volumeForPath(path).value_or(MountEntry()).source, source) << path;
    std::vector<std::string> local;
    for (const MountEntry& e : mountedLocalVolumes()) local.push_back(e.mountPoint);
    EXPECT_EQ(local, (std::vector<std::string>{"/", inner, outer}));
}

// Arrival, rename and departure are followed end to end by the application's own tests.
TEST(MountMonitor, ReportsOnlyDevicesThatArriveWhileItWatches) {
    TempDir dir;
    FakeMountTable table(dir / "mountinfo");
    table.add("/", "/dev/root0", "ext4");
    MountMonitor monitor;
    monitor.setBlockDeviceFolder(makeFolder(dir / "block"));
    QStringList events;
    QObject::connect(&monitor, &MountMonitor::appeared,
                     [&](const QString& d, const std::string&) { events << d; });
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(table.add(makeFolder(dir / "share"), "server:/export", "nfs4"));
    ASSERT_TRUE(table.add(makeFolder(dir / "drive"), "/dev/fake1"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < (events.isEmpty() ? 3000 : 150))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20), usleep(5000);
    EXPECT_EQ(events, QStringList{"fake1"});
}

TEST(DisplayName, MountPointsShowTheirVolumeLabelAndItemsTheirName) {
    TempDir dir;
    const std::string labeled = makeFolder(dir / "mount"), labels = makeFolder(dir / "by-label");
    symlink("/dev/sdz1", (labels + "/My\\x20Drive\\x2fA").c_str());
    FakeMountTable fake(dir / "mountinfo");
    fake.add(labeled, "/dev/sdz1");
    EXPECT_EQ(displayNameAtPath(labeled + "/", labels), "My Drive/A");
    EXPECT_EQ(displayNameAtPath(dir / "Project Files/", labels), "Project Files");
    EXPECT_TRUE(displayNameAtPath(dir / "bad\xff name").endsWith(" name"));
}

TEST(Trash, MovesWithoutReplacingAndRefusesWhatItCannotMoveWhole) {
    TestHome home;
    unsetenv("XDG_DATA_HOME");
    const std::string trash = home.path() + "/.local/share/Trash/files/";
    std::string where;
    for (const char* text : {"first", "second"}) {
        writeFile(home.path() + "/notes.txt", text);
        ASSERT_TRUE(moveItemToTrash(home.path() + "/notes.txt", &where));
        EXPECT_EQ(readFile(where), text);
    }
    EXPECT_EQ(readFile(trash + "notes.txt"), "first");
    const std::string bad = home.path() + "/report\xff.txt";
    writeFile(bad, "precious");
    EXPECT_FALSE(moveItemToTrash(bad));
    EXPECT_EQ(readFile(bad), "precious");
    EXPECT_FALSE(moveItemToTrash(home.path() + "/missing"));
}

TEST(MachineIdentity, ThePrimaryAddressIsTheOnboardWiredInterfacesOwn) {
    TempDir root;
    // One interface folder as /sys/class/net shows it.
    auto add = [&](const std::string& name, int index, const std::string& address, int type = 1,
                   int assign = 0, std::vector<std::string> folders = {"device"}) {
        const std::string base = root / name;
        putFile(base + "/address", QByteArray::fromStdString(address + "\n"));
        writeFile(base + "/type", QByteArray::number(type));
        writeFile(base + "/addr_assign_type", QByteArray::number(assign));
        writeFile(base + "/ifindex", QByteArray::number(index));
        for (const std::string& folder : folders) mkdir((base + "/" + folder).c_str(), 0755);
    };
    add("lo", 1, "00:00:00:00:00:00", 772);
    add("wlan0", 2, "02:00:00:00:00:02", 1, 0, {"device", "wireless"});
    add("br0", 4, "02:00:00:00:00:04", 1, 0, {});
    add("eth9", 5, "02:00:00:00:00:05", 1, 1);
    add("eth6", 8, "not an address");
    QString out = "left over";
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 5);
    EXPECT_TRUE(out.isNull());
    add("enp5s0", 9, "0a:00:0f:a0:09:ff");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(true, &out, root.path()), 0);
    EXPECT_EQ(out, "0A:00:0F:A0:09:FF");
    add("enp2s0", 3, "00:00:00:00:00:03");
    add("eno1", 20, "00:00:00:00:00:20");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 0);
    EXPECT_EQ(out, "000000000020");
}
