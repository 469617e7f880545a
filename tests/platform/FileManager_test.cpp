// The platform file manager on real folders: what a copy keeps, what the handler hears,
// batches, moves across file systems and removals that never follow links.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

#include "FileManager.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace {

struct RecordingHandler : FileManagerHandler {
    bool proceed = false;
    std::vector<std::string> processed;
    std::vector<FileOperationError> errors;
    void fileManagerWillProcessPath(FileManager&, const std::string& path) override {
        processed.push_back(path);
    }
    bool fileManagerShouldProceedAfterError(FileManager&, const FileOperationError& e) override {
        errors.push_back(e);
        return proceed;
    }
};

}  // namespace

TEST(FileManager, CopyKeepsEveryKindOfItem) {
    TempDir dir;
    makeSampleTree(dir / "src");
    FileManager manager;
    RecordingHandler handler;
    ASSERT_TRUE(manager.copyPath(dir / "src", dir / "dst", &handler));

    TreeSnapshot expected = snapshotTree(dir / "src");
    TreeSnapshot copied = snapshotTree(dir / "dst");
    EXPECT_EQ(describeDifferences(expected, copied), "");
    EXPECT_EQ(copied.at("pipe").type, mode_t(S_IFIFO));
    EXPECT_EQ(copied.at("xattr.dat").xattrs.at("user.pellora.test"), QByteArray("value"));
    EXPECT_FALSE(containsTemporaryName(dir / "dst"));
    // Every item was announced to the handler, by its source path, and nothing failed.
    EXPECT_EQ(handler.processed.size(), expected.size());
    EXPECT_EQ(handler.processed.front(), dir / "src");
    EXPECT_TRUE(handler.errors.empty());
}

TEST(FileManager, CopyRefusesAnExistingDestination) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "a", "new"));
    ASSERT_TRUE(writeFile(dir / "b", "old"));
    FileManager manager;
    RecordingHandler handler;
    EXPECT_FALSE(manager.copyPath(dir / "a", dir / "b", &handler));
    EXPECT_EQ(readFile(dir / "b"), QByteArray("old"));
    ASSERT_EQ(handler.errors.size(), 1u);
    EXPECT_EQ(handler.errors[0].errnum, EEXIST);
    EXPECT_FALSE(containsTemporaryName(dir.path()));
}

TEST(FileManager, SocketsAreSkippedAndHolesStayHoles) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "src/a", "a"));
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string socketPath = dir / "src/sock";
    ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
    strcpy(addr.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    // 64 MiB long, 8 KiB of data: one block inside, one at the end.
    const off_t length = off_t(64) << 20;
    fd = open((dir / "src/sparse").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    ASSERT_EQ(pwrite(fd, block.data(), block.size(), length / 2), ssize_t(block.size()));
    ASSERT_EQ(pwrite(fd, block.data(), block.size(), length - 4096), ssize_t(block.size()));
    close(fd);

    FileManager manager;
    struct SocketHandler : RecordingHandler {
        std::vector<std::string> sockets;
        void fileManagerSkippedSocket(FileManager&, const std::string& path) override {
            sockets.push_back(path);
        }
    } handler;
    EXPECT_TRUE(manager.copyPath(dir / "src", dir / "dst", &handler));
    EXPECT_TRUE(handler.errors.empty());
    EXPECT_EQ(handler.sockets, std::vector<std::string>{socketPath});
    EXPECT_TRUE(pathExists(dir / "dst/a"));
    EXPECT_FALSE(pathExists(dir / "dst/sock"));
    EXPECT_EQ(readFile(dir / "dst/sparse"), readFile(dir / "src/sparse"));
    struct stat st;
    ASSERT_EQ(stat((dir / "dst/sparse").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, length);
    EXPECT_LT(st.st_blocks * 512, length / 16) << "the holes were written as zeros";
    // A socket alone: nothing to copy, and no error.
    EXPECT_TRUE(manager.copyPath(socketPath, dir / "sock2", nullptr));
    EXPECT_FALSE(pathExists(dir / "sock2"));
}

TEST(FileManager, BatchKeepsTemporaryNamesUntilCommitted) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "a", "content a"));
    ASSERT_TRUE(writeFile(dir / "b", "content b"));
    ASSERT_TRUE(writeFile(dir / "old", "old"));
    FileManager manager;
    manager.beginBatch();
    ASSERT_TRUE(manager.copyPath(dir / "a", dir / "a2", nullptr));
    ASSERT_TRUE(manager.replaceItemWithCopy(dir / "b", dir / "old", nullptr));
    EXPECT_FALSE(pathExists(dir / "a2"));
    EXPECT_EQ(readFile(dir / "old"), QByteArray("old"));
    EXPECT_TRUE(containsTemporaryName(dir.path()));
    ASSERT_TRUE(manager.commitBatch(nullptr));
    EXPECT_EQ(readFile(dir / "a2"), QByteArray("content a"));
    EXPECT_EQ(readFile(dir / "old"), QByteArray("content b"));
    EXPECT_FALSE(containsTemporaryName(dir.path()));

    manager.beginBatch();
    ASSERT_TRUE(manager.copyPath(dir / "a", dir / "a3", nullptr));
    manager.discardBatch();
    EXPECT_FALSE(pathExists(dir / "a3"));
    EXPECT_FALSE(containsTemporaryName(dir.path()));
}

TEST(FileManager, BatchLimitsCommitEarly) {
    TempDir dir;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(writeFile(dir / ("f" + std::to_string(i)), "x"));
    FileManager manager;
    manager.setBatchLimits(2, 1 << 30);
    manager.beginBatch();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(manager.copyPath(dir / ("f" + std::to_string(i)),
                                     dir / ("g" + std::to_string(i)), nullptr));
    // Two batches of two are in place; the fifth waits for the commit.
    EXPECT_TRUE(pathExists(dir / "g3"));
    EXPECT_FALSE(pathExists(dir / "g4"));
    ASSERT_TRUE(manager.commitBatch(nullptr));
    EXPECT_TRUE(pathExists(dir / "g4"));
}

TEST(FileManager, MoveAcrossFileSystemsKeepsEverything) {
    struct stat shm, tmp;
    TempDir dir;
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system (/dev/shm) to move across";
    setenv("TMPDIR", "/dev/shm", 1);
    TempDir other;
    unsetenv("TMPDIR");
    ASSERT_TRUE(writeFile(dir / "x", ""));
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "src/a", patterned(3 << 20, 1)));
    ASSERT_EQ(symlink("a", (dir / "src/l").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "src/p").c_str(), 0600), 0);
    setModificationTime(dir / "src/a", 1500000000000000001);
    TreeSnapshot before = snapshotTree(dir / "src");

    FileManager manager;
    ASSERT_TRUE(manager.movePath(dir / "src", other / "moved", nullptr));
    EXPECT_FALSE(pathExists(dir / "src"));
    EXPECT_EQ(describeDifferences(before, snapshotTree(other / "moved")), "");

    // A file moved over an existing one on the other file system replaces it.
    ASSERT_TRUE(writeFile(other / "target", "old"));
    ASSERT_TRUE(manager.replaceItemWithMove(dir / "x", other / "target", nullptr));
    EXPECT_EQ(readFile(other / "target"), QByteArray(""));
    EXPECT_FALSE(pathExists(dir / "x"));
}

TEST(FileManager, MoveRefusesAnExistingDestination) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "a", "a"));
    ASSERT_TRUE(writeFile(dir / "b", "b"));
    FileManager manager;
    RecordingHandler handler;
    EXPECT_FALSE(manager.movePath(dir / "a", dir / "b", &handler));
    EXPECT_EQ(readFile(dir / "a"), QByteArray("a"));
    EXPECT_EQ(readFile(dir / "b"), QByteArray("b"));
    ASSERT_EQ(handler.errors.size(), 1u);
    EXPECT_EQ(handler.errors[0].errnum, EEXIST);
}

TEST(FileManager, RemovalNeverFollowsLinks) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "outside/keep", "keep me"));
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "tree/sub").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / ("tree/sub/" + kOddName), "x"));
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub/to-outside").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "toplink").c_str()), 0);

    FileManager manager;
    RecordingHandler handler;
    ASSERT_TRUE(manager.removeFileAtPath(dir / "tree", &handler));
    EXPECT_FALSE(pathExists(dir / "tree"));
    EXPECT_EQ(handler.processed.size(), 4u);
    // A link given as the item itself is removed as a link.
    ASSERT_TRUE(manager.removeFileAtPath(dir / "toplink", nullptr));
    EXPECT_FALSE(pathExists(dir / "toplink"));
    EXPECT_EQ(readFile(dir / "outside/keep"), QByteArray("keep me"));

    RecordingHandler missing;
    EXPECT_FALSE(manager.removeFileAtPath(dir / "nothing", &missing));
    ASSERT_EQ(missing.errors.size(), 1u);
    EXPECT_EQ(missing.errors[0].errnum, ENOENT);
}

TEST(FileManager, AttributesAndListing) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("d", (dir / "l").c_str()), 0);
    ASSERT_TRUE(writeFile(dir / ".hidden", "abc"));
    ASSERT_TRUE(writeFile(dir / kOddName, ""));
    setModificationTime(dir / ".hidden", 1700000000000000042);

    FileManager manager;
    auto link = manager.fileAttributesAtPath(dir / "l", false);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->type, FileType::SymbolicLink);
    EXPECT_TRUE(manager.fileAttributesAtPath(dir / "l", true)->isDirectory());
    auto hidden = manager.fileAttributesAtPath(dir / ".hidden", false);
    EXPECT_EQ(hidden->size, 3u);
    EXPECT_EQ(hidden->modificationTimeNs, 1700000000000000042);
    EXPECT_FALSE(manager.fileAttributesAtPath(dir / "none", false));

    auto names = manager.directoryContentsAtPath(dir.path());
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{".hidden", kOddName, "d", "l"}));
    EXPECT_FALSE(manager.directoryContentsAtPath(dir / "none"));
    EXPECT_FALSE(manager.directoryContentsAtPath(dir / ".hidden"));
}

TEST(FileManager, OpenFolderReadsEntriesByNameAndNeverFollowsLinks) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "d/file", "abcd"));
    setModificationTime(dir / "d/file", 1700000000000000042);
    ASSERT_TRUE(writeFile(dir / ("d/" + kOddName), "x"));
    ASSERT_EQ(symlink("file", (dir / "d/link").c_str()), 0);
    ASSERT_EQ(symlink("d", (dir / "to-d").c_str()), 0);
    ASSERT_TRUE(writeFile(dir / "outside", "outside"));

    const OpenFolder folder(dir / "d");
    ASSERT_TRUE(folder.isOpen());
    FileManager manager;
    auto file = folder.attributesOfEntry("file");
    ASSERT_TRUE(file);
    auto byPath = manager.fileAttributesAtPath(dir / "d/file", false);
    EXPECT_EQ(file->size, 4u);
    EXPECT_EQ(file->modificationTimeNs, 1700000000000000042);
    EXPECT_EQ(file->inode, byPath->inode);
    EXPECT_TRUE(folder.attributesOfEntry(kOddName));
    EXPECT_EQ(folder.attributesOfEntry("link")->type, FileType::SymbolicLink);
    EXPECT_FALSE(folder.attributesOfEntry("none"));
    // Only one component of this folder: nothing above it or below it by a path.
    for (const char* name : {"", ".", "..", "../outside", "./file"})
        EXPECT_FALSE(folder.attributesOfEntry(name)) << name;

    // A link in the folder's place, a file or nothing: closed, and every entry unknown.
    for (const char* path : {"to-d", "outside", "none"}) {
        const OpenFolder closed(dir / path);
        EXPECT_FALSE(closed.isOpen()) << path;
        EXPECT_FALSE(closed.attributesOfEntry("file")) << path;
    }
    EXPECT_FALSE(OpenFolder(std::string()).isOpen());
}

TEST(FileManager, PathHelpers) {
    TestHome home;
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(stringByStandardizingPath("~/Sites/"), "/home/u/Sites");
    EXPECT_EQ(stringByStandardizingPath("~"), "/home/u");
    EXPECT_EQ(stringByStandardizingPath("~x/a"), "~x/a");
    EXPECT_EQ(stringByStandardizingPath("/a//b/./c/../d"), "/a/b/d");
    EXPECT_EQ(stringByStandardizingPath("/../a"), "/a");
    EXPECT_EQ(stringByStandardizingPath("a/../../b"), "../b");
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/home/u/Sites"), "~/Sites");
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/home/u"), "~");
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/home/u2/x"), "/home/u2/x");
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/home/u/\xff name"), "~/\xff name");
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/srv/home/u"), "/srv/home/u");
    setenv("HOME", "/home/u/", 1);
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/home/u/a"), "~/a");
    setenv("HOME", "/", 1);
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath("/etc"), "/etc");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(stringByDeletingLastPathComponent("/a/b/"), "/a");
    EXPECT_EQ(stringByDeletingLastPathComponent("/a"), "/");
    EXPECT_EQ(stringByDeletingLastPathComponent("name"), "");
    EXPECT_EQ(stringByAppendingPathComponent("/a/", "b"), "/a/b");
    EXPECT_EQ(stringByAppendingPathComponent("/a", "b"), "/a/b");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_TRUE(isTemporaryName(".pellora-tmp-12-3"));
    EXPECT_FALSE(isTemporaryName("pellora-tmp-12-3"));
}

// A folder copied to where nothing was appears whole or not at all, however it is cut short.
TEST(FileManager, KilledFolderCopyLeavesNothingOrEverything) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    for (int f = 0; f < 200; ++f)
        ASSERT_TRUE(writeFile(dir / ("src/f" + std::to_string(f)), patterned(20000 + f, char(f))));
    ASSERT_TRUE(writeFile(dir / "src/big", patterned(16 << 20, 1)));
    TreeSnapshot source = snapshotTree(dir / "src");
    int whole = 0, absent = 0;
    for (int round = 0; round < 6; ++round) {
        std::string destination = dir / ("dst" + std::to_string(round));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FileManager manager;
            _exit(manager.copyPath(dir / "src", destination, nullptr) ? 0 : 1);
        }
        usleep(useconds_t(5000 + round * 40000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        if (pathExists(destination)) {
            EXPECT_EQ(describeDifferences(source, snapshotTree(destination)), "");
            ++whole;
        } else {
            ++absent;
        }
    }
    EXPECT_GT(absent, 0) << "no kill landed before the copy finished";
}

TEST(FileManager, CleaningUpRemovesOnlyUnfinishedCopies) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "outside/.pellora-tmp-9-9", "not ours to clean"));
    ASSERT_EQ(mkdir((dir / "staging").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "staging/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "staging/.pellora-tmp-1-2").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "staging/.pellora-tmp-1-2/inside", "partial tree"));
    ASSERT_TRUE(writeFile(dir / "staging/sub/.pellora-tmp-1-3", "partial file"));
    ASSERT_TRUE(writeFile(dir / "staging/sub/real", "whole"));
    ASSERT_TRUE(writeFile(dir / "staging/pellora-tmp-lookalike", "whole"));
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "staging/link").c_str()), 0);

    FileManager manager;
    ASSERT_TRUE(manager.removeTemporaryItemsBelow(dir / "staging", nullptr));
    EXPECT_FALSE(containsTemporaryName(dir / "staging"));
    EXPECT_TRUE(pathExists(dir / "staging/sub/real"));
    EXPECT_TRUE(pathExists(dir / "staging/pellora-tmp-lookalike"));
    EXPECT_TRUE(pathExists(dir / "staging/link"));
    EXPECT_TRUE(pathExists(dir / "outside/.pellora-tmp-9-9"));  // reached only through a link
}
