// The file manager on real folders: what a copy keeps, batches that name copies only when
// complete, and removals that never follow links.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "FileManager.h"
#include "PathUtilities.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace {

struct Handler : FileManagerHandler {
    int processed = 0;
    std::vector<FileOperationError> errors;
    void fileManagerWillProcessPath(FileManager&, const std::string&) override { ++processed; }
    bool fileManagerShouldProceedAfterError(FileManager&, const FileOperationError& e) override {
        errors.push_back(e);
        return false;
    }
};

}  // namespace

// Modes the umask would narrow (0664, 0666, 0777) must come through whole too.
TEST(FileManager, ACopyKeepsEveryKindOfItemWithItsModeTimesAndAttributes) {
    TempDir dir;
    makeSampleTree(dir / "src");
    for (const mode_t mode : {0664, 0666, 0777, 04755}) {
        const std::string file = dir / ("src/mode" + std::to_string(mode));
        ASSERT_TRUE(writeFile(file, "x"));
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
    }
    const mode_t mask = umask(022);
    FileManager manager;
    Handler handler;
    const bool copied = manager.copyPath(dir / "src", dir / "dst", &handler);
    umask(mask);
    ASSERT_TRUE(copied);
    const TreeSnapshot expected = snapshotTree(dir / "src");
    EXPECT_EQ(describeDifferences(expected, snapshotTree(dir / "dst")), "");
    EXPECT_EQ(size_t(handler.processed), expected.size());
    EXPECT_TRUE(handler.errors.empty());
    EXPECT_FALSE(containsTemporaryName(dir / "dst"));
}

TEST(FileManager, CopiesAndMovesRefuseAnExistingDestination) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "a", "new"));
    ASSERT_TRUE(writeFile(dir / "b", "old"));
    FileManager manager;
    for (bool move : {false, true}) {
        Handler handler;
        EXPECT_FALSE(move ? manager.movePath(dir / "a", dir / "b", &handler)
                          : manager.copyPath(dir / "a", dir / "b", &handler));
        ASSERT_EQ(handler.errors.size(), 1u);
        EXPECT_EQ(handler.errors[0].errnum, EEXIST);
        EXPECT_EQ(readFile(dir / "b"), "old");
        EXPECT_EQ(readFile(dir / "a"), "new");
    }
    EXPECT_FALSE(containsTemporaryName(dir.path()));
}

TEST(FileManager, HolesStayHoles) {
    TempDir dir;
    // 64 MiB long, 8 KiB of data: one block inside, one at the end.
    const off_t length = off_t(64) << 20;
    const int fd = open((dir / "sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    const std::string block(4096, 'x');
    EXPECT_EQ(
        pwrite(fd, block.data(), 4096, length / 2) + pwrite(fd, block.data(), 4096, length - 4096),
        8192);
    close(fd);
    ASSERT_TRUE(FileManager().copyPath(dir / "sparse", dir / "copy", nullptr));
    EXPECT_EQ(readFile(dir / "copy"), readFile(dir / "sparse"));
    struct stat st;
    ASSERT_EQ(stat((dir / "copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, length);
    EXPECT_LT(st.st_blocks * 512, length / 16) << "the holes were written as zeros";
}

TEST(FileManager, ABatchNamesItsCopiesOnlyWhenCommittedAndDiscardsThemOtherwise) {
    TempDir dir;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(writeFile(dir / ("f" + std::to_string(i)), "x"));
    ASSERT_TRUE(writeFile(dir / "old", "old"));
    FileManager manager;
    manager.beginBatch();
    ASSERT_TRUE(manager.copyPath(dir / "f0", dir / "g0", nullptr));
    ASSERT_TRUE(manager.replaceItemWithCopy(dir / "f1", dir / "old", nullptr));
    EXPECT_FALSE(pathExists(dir / "g0"));
    EXPECT_EQ(readFile(dir / "old"), "old");
    ASSERT_TRUE(manager.commitBatch(nullptr));
    EXPECT_EQ(readFile(dir / "old"), "x");
    EXPECT_TRUE(pathExists(dir / "g0"));

    manager.beginBatch();
    ASSERT_TRUE(manager.copyPath(dir / "f0", dir / "g9", nullptr));
    manager.discardBatch();
    EXPECT_FALSE(pathExists(dir / "g9"));
    EXPECT_FALSE(containsTemporaryName(dir.path()));
}

TEST(FileManager, RemovalsNeverFollowLinksAndCleaningTakesOnlyUnfinishedCopies) {
    TempDir dir;
    ASSERT_TRUE(putFile(dir / "outside/.pellora-tmp-9-9", "not ours"));
    ASSERT_TRUE(putFile(dir / "tree/.pellora-tmp-1-2/inside", "partial"));
    ASSERT_TRUE(writeFile(dir / "tree/real", "whole"));
    ASSERT_TRUE(writeFile(dir / "tree/pellora-tmp-lookalike", "whole"));
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/link").c_str()), 0);
    FileManager manager;
    ASSERT_TRUE(manager.removeTemporaryItemsBelow(dir / "tree", nullptr));
    EXPECT_FALSE(containsTemporaryName(dir / "tree"));
    for (const char* kept : {"tree/real", "tree/pellora-tmp-lookalike", "outside/.pellora-tmp-9-9"})
        EXPECT_TRUE(pathExists(dir / kept)) << kept;

    ASSERT_TRUE(manager.removeFileAtPath(dir / "tree", nullptr));
    EXPECT_FALSE(pathExists(dir / "tree"));
    EXPECT_TRUE(pathExists(dir / "outside/.pellora-tmp-9-9"));
    Handler missing;
    EXPECT_FALSE(manager.removeFileAtPath(dir / "tree", &missing));
    ASSERT_EQ(missing.errors.size(), 1u);
    EXPECT_EQ(missing.errors[0].errnum, ENOENT);
}

TEST(PathUtilities, StandardizeAbbreviateAndSplit) {
    TestHome home;
    setenv("HOME", "/home/u", 1);
    const std::pair<std::string, std::string> standardized[] = {{"~/Sites/", "/home/u/Sites"},
                                                                {"~x/a", "~x/a"},
                                                                {"/a//b/./c/../d", "/a/b/d"},
                                                                {"/../a", "/a"},
                                                                {"a/../../b", "../b"}};
    for (const auto& [in, out] : standardized) EXPECT_EQ(stringByStandardizingPath(in), out) << in;
    const std::pair<std::string, std::string> abbreviated[] = {{"/home/u/Sites", "~/Sites"},
                                                               {"/home/u", "~"},
                                                               {"/home/u2/x", "/home/u2/x"},
                                                               {"/srv/home/u", "/srv/home/u"}};
    for (const auto& [in, out] : abbreviated)
        EXPECT_EQ(stringByAbbreviatingWithTildeInPath(in), out) << in;
    EXPECT_EQ(stringByDeletingLastPathComponent("/a/b/"), "/a");
    EXPECT_EQ(stringByDeletingLastPathComponent("/a"), "/");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
}
