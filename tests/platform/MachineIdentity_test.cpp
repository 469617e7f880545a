#include "MachineIdentity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QRegularExpression>
#include <sstream>

#include "TempDir.h"

namespace {

// One interface folder as the kernel shows it under /sys/class/net; `folders` lists the
// subfolders it has ("device" for hardware, "wireless" or "phy80211" for radios).
void addInterface(const TempDir& root, const std::string& name, int index,
                  const std::string& address = "01:23:45:67:89:ab", int type = 1, int assign = 0,
                  const std::string& folders = "device") {
    const std::string base = root / name;
    mkdir(base.c_str(), 0755);
    writeFile(base + "/address", QByteArray::fromStdString(address + "\n"));
    writeFile(base + "/type", QByteArray::number(type) + "\n");
    writeFile(base + "/addr_assign_type", QByteArray::number(assign) + "\n");
    writeFile(base + "/ifindex", QByteArray::number(index) + "\n");
    std::istringstream words(folders);
    for (std::string folder; words >> folder;) mkdir((base + "/" + folder).c_str(), 0755);
}

}  // namespace

TEST(MachineIdentity, FormatsUppercaseZeroPaddedWithColonsOnlyBetweenBytes) {
    TempDir root, small;
    addInterface(root, "eth0", 2);
    addInterface(small, "eth0", 2, "0a:00:0f:a0:09:ff");
    QString out;
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 0);
    EXPECT_EQ(out, "0123456789AB");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(true, &out, root.path()), 0);
    EXPECT_EQ(out, "01:23:45:67:89:AB");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(true, &out, small.path()), 0);
    EXPECT_EQ(out, "0A:00:0F:A0:09:FF");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(true, nullptr, root.path()), 22);
}

TEST(MachineIdentity, OnlyPhysicalWiredInterfacesWithTheirOwnAddressCount) {
    TempDir root;
    addInterface(root, "lo", 1, "00:00:00:00:00:00", 772);
    addInterface(root, "wlan0", 2, "02:00:00:00:00:02", 1, 0, "device wireless");
    addInterface(root, "wlp3s0", 3, "02:00:00:00:00:03", 1, 0, "device phy80211");
    addInterface(root, "br0", 4, "02:00:00:00:00:04", 1, 0, "");  // virtual
    addInterface(root, "eth9", 5, "02:00:00:00:00:05", 1, 1);     // random address
    addInterface(root, "eth8", 6, "02:00:00:00:00:06", 1, 3);     // address set by hand
    addInterface(root, "eth7", 7, "00:00:00:00:00:00");
    addInterface(root, "eth6", 8, "not an address");
    addInterface(root, "ib0", 9, "02:00:00:00:00:09", 32);
    QString out = "left over";
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 5);
    EXPECT_TRUE(out.isNull());
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root / "missing"), 5);

    addInterface(root, "eth1", 10, "02:fc:00:00:00:01");
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 0);
    EXPECT_EQ(out, "02FC00000001");
}

TEST(MachineIdentity, OnboardInterfaceFirstElseLowestIndex) {
    TempDir root;
    addInterface(root, "enp5s0", 9, "00:00:00:00:00:09");
    addInterface(root, "enp2s0", 3, "00:00:00:00:00:03");
    addInterface(root, "eth4", 12, "00:00:00:00:00:12");
    EXPECT_EQ(findPrimaryEthernetInterface(root.path())->name, "enp2s0");
    addInterface(root, "eno1", 20, "00:00:00:00:00:20");
    QString out;
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(false, &out, root.path()), 0);
    EXPECT_EQ(out, "000000000020");
}

TEST(MachineIdentity, ThisComputerGivesAConsistentAnswer) {
    QString plain = "left over", colons = "left over";
    int32_t status = GetPrimaryMACAddressAsCFString(false, &plain);
    ASSERT_EQ(GetPrimaryMACAddressAsCFString(true, &colons), status);
    EXPECT_EQ(GetPrimaryMACAddressAsCFString(true, nullptr), 22);
    if (status != 0) {
        EXPECT_EQ(status, 5);
        EXPECT_TRUE(plain.isNull() && colons.isNull());
        return;
    }
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{12}$").match(plain).hasMatch())
        << plain.toStdString();
    EXPECT_EQ(colons.size(), 17);
    EXPECT_EQ(QString(colons).remove(':'), plain);
}
