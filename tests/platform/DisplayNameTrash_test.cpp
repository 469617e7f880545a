#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "DisplayName.h"
#include "FakeMountTable.h"
#include "PrivateMount.h"
#include "TempDir.h"
#include "Trash.h"

namespace {

// The home trash lies in the test's home, whatever the caller's environment says.
class Trash : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("XDG_DATA_HOME"); }
    std::string in(const std::string& name) const { return home.path() + "/" + name; }
    std::string trash(const std::string& name) const { return in(".local/share/Trash/" + name); }
    TestHome home;
};

}  // namespace

TEST(DisplayName, ItemsShowTheirNameAndMountPointsTheirVolumeLabel) {
    TempDir dir;
    const std::string labeled = makeFolder(dir / "sdz1-mount"), plain = makeFolder(dir / "Backup");
    const std::string labels = makeFolder(dir / "by-label");
    makeFolder(labeled + "/Project Files");
    // The links udev makes, a blank and a slash escaped in the name.
    symlink("/dev/sdz1", (labels + "/My\\x20Drive\\x2fA").c_str());
    symlink("/dev/sdy1", (labels + "/Other").c_str());
    FakeMountTable fake(dir / "mountinfo");
    fake.add(labeled, "/dev/sdz1");
    fake.add(plain, "/dev/sdx1");

    EXPECT_EQ(displayNameAtPath(labeled, labels), "My Drive/A");
    EXPECT_EQ(displayNameAtPath(labeled + "/", labels), "My Drive/A");
    EXPECT_EQ(displayNameAtPath(plain, labels), "Backup");
    EXPECT_EQ(displayNameAtPath(labeled + "/Project Files/", labels), "Project Files");
    EXPECT_EQ(displayNameAtPath(dir / "missing.txt"), "missing.txt");
    EXPECT_EQ(displayNameAtPath(dir / "caf\xc3\xa9"), QString::fromUtf8("caf\xc3\xa9"));
    EXPECT_TRUE(displayNameAtPath(dir / "bad\xff name").endsWith(" name"));
}

TEST_F(Trash, MovesItemsIntoTheHomeTrashWithoutReplacingAnything) {
    writeFile(in("notes.txt"), "first");
    makeFolder(in("old stuff"));
    writeFile(in("old stuff/inner"), "inner");
    std::string where;
    ASSERT_TRUE(moveItemToTrash(in("notes.txt"), &where));
    EXPECT_FALSE(pathExists(in("notes.txt")));
    EXPECT_EQ(readFile(trash("files/notes.txt")), "first");
    EXPECT_TRUE(pathExists(trash("info/notes.txt.trashinfo")));
    ASSERT_TRUE(moveItemToTrash(in("old stuff")));
    EXPECT_EQ(readFile(trash("files/old stuff/inner")), "inner");

    writeFile(in("notes.txt"), "second");
    ASSERT_TRUE(moveItemToTrash(in("notes.txt"), &where));
    EXPECT_EQ(readFile(trash("files/notes.txt")), "first");
    EXPECT_EQ(readFile(where), "second");
}

TEST_F(Trash, RefusesWhatItCannotMoveAndLosesNothing) {
    EXPECT_FALSE(moveItemToTrash(in("missing")));
    const std::string bad = in("report\xff\xfe.txt");
    const std::string lookalike = in("report\xef\xbf\xbd\xef\xbf\xbd.txt");  // as it would decode
    writeFile(bad, "precious");
    writeFile(lookalike, "other");
    EXPECT_FALSE(moveItemToTrash(bad));
    EXPECT_EQ(readFile(bad), "precious");
    EXPECT_EQ(readFile(lookalike), "other");

    // No home trash can be made: the item must stay, not land beside the current folder.
    TempDir elsewhere;
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
    writeFile(in("blocker"), "a file where the data folder should be");
    setenv("XDG_DATA_HOME", in("blocker").c_str(), 1);
    writeFile(in("item"), "stay");
    EXPECT_FALSE(moveItemToTrash(in("item")));
    EXPECT_EQ(readFile(in("item")), "stay");
    EXPECT_FALSE(pathExists(elsewhere / "files"));
    EXPECT_EQ(chdir(cwd), 0);
    free(cwd);
}

TEST_F(Trash, ItemsOnAnotherVolumeGoToThatVolumesTrash) {
    if (!canMountPrivately()) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    TempDir dir;
    const std::string volume = makeFolder(dir / "vol");
    auto result = runInPrivateMountNamespace([&]() -> std::string {
        if (mount("none", volume.c_str(), "tmpfs", 0, nullptr) != 0) return "mount failed";
        writeFile(volume + "/item", "on the drive");
        std::string where;
        return moveItemToTrash(volume + "/item", &where) ? where : "refused";
    });
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_EQ(*result, volume + "/.Trash-" + std::to_string(getuid()) + "/files/item");
}
