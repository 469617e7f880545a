// Create-with-parents and the onto operations, on real folders: merges, replacements, type
// mismatches, failures that must leave the old file whole, and a copy killed at random.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cstring>
#include <map>

#include "OrvaneUtilities+FileManager.h"
#include "PrivateMount.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

using namespace OrvaneUtilities;

namespace {

struct CountingHandler : FileManagerHandler {
    bool proceed = false;
    int willProcess = 0;
    std::vector<FileOperationError> errors;
    void fileManagerWillProcessPath(FileManager&, const std::string&) override { ++willProcess; }
    bool fileManagerShouldProceedAfterError(FileManager&, const FileOperationError& e) override {
        errors.push_back(e);
        return proceed;
    }
};

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Only what a merge must carry over: non-folder items below the root.
TreeSnapshot itemsOnly(const TreeSnapshot& tree) {
    TreeSnapshot out;
    for (const auto& [path, item] : tree)
        if (!S_ISDIR(item.type)) out[path] = item;
    return out;
}

// An older version of the sample tree: other contents and times, and items of its own.
void makeOlderTree(const std::string& root) {
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_TRUE(writeFile(root + "/plain.txt", "an older plain text that was longer\n"));
    ASSERT_TRUE(writeFile(root + "/big.bin", patterned(1 << 20, 9)));
    ASSERT_EQ(symlink("elsewhere", (root + "/link").c_str()), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub/deeper").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(root + "/sub/deeper/file", "old"));
    ASSERT_TRUE(writeFile(root + "/sub/only-here", "stays"));
    ASSERT_TRUE(writeFile(root + "/" + kOddName, "older odd"));
    setModificationTime(root + "/plain.txt", 1800000000000000000);
}

}  // namespace

TEST(OntoOperations, TreeCopiedCopiedOntoAndMovedOntoAnOlderTree) {
    TempDir dir;
    makeSampleTree(dir / "src");
    TreeSnapshot source = snapshotTree(dir / "src");
    FileManager manager;

    ASSERT_TRUE(copyPathToPath(manager, dir / "src", dir / "fresh/a/b", true, nullptr));
    EXPECT_EQ(describeDifferences(source, snapshotTree(dir / "fresh/a/b")), "");

    makeOlderTree(dir / "older");
    ASSERT_TRUE(copyPathOntoPath(manager, dir / "src", dir / "older", nullptr));
    TreeSnapshot merged = snapshotTree(dir / "older");
    EXPECT_EQ(describeDifferences(itemsOnly(source), itemsOnly(merged)).find("differs"),
              std::string::npos)
        << describeDifferences(itemsOnly(source), itemsOnly(merged));
    EXPECT_EQ(merged.at("sub/only-here").contents, QByteArray("stays"));
    EXPECT_EQ(merged.at("").permissions, mode_t(0700));  // the destination folder keeps its own
    EXPECT_FALSE(containsTemporaryName(dir / "older"));

    makeOlderTree(dir / "older2");
    ASSERT_TRUE(copyPathToPath(manager, dir / "src", dir / "tomove", false, nullptr));
    ASSERT_TRUE(movePathOntoPath(manager, dir / "tomove", dir / "older2", nullptr));
    TreeSnapshot moved = snapshotTree(dir / "older2");
    EXPECT_EQ(describeDifferences(itemsOnly(source), itemsOnly(moved)).find("differs"),
              std::string::npos)
        << describeDifferences(itemsOnly(source), itemsOnly(moved));
    EXPECT_EQ(moved.at("sub/only-here").contents, QByteArray("stays"));
    // The merged source folders stay behind, emptied of what moved.
    EXPECT_TRUE(pathExists(dir / "tomove/sub/deeper"));
    EXPECT_FALSE(pathExists(dir / "tomove/sub/deeper/file"));
}

TEST(OntoOperations, FileReplacesFileWhicheverIsNewer) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "src", "new content"));
    ASSERT_TRUE(writeFile(dir / "dst", "old"));
    setModificationTime(dir / "dst", 1900000000000000000);  // the destination is newer
    FileManager manager;
    CountingHandler handler;
    ASSERT_TRUE(copyPathOntoPath(manager, dir / "src", dir / "dst", &handler));
    EXPECT_EQ(readFile(dir / "dst"), QByteArray("new content"));
    EXPECT_GE(handler.willProcess, 1);
    EXPECT_TRUE(handler.errors.empty());

    // A link at the destination is a non-folder, even when it points to a folder.
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink("folder", (dir / "link").c_str()), 0);
    ASSERT_TRUE(copyPathOntoPath(manager, dir / "src", dir / "link", nullptr));
    EXPECT_EQ(readFile(dir / "link"), QByteArray("new content"));
    EXPECT_TRUE(pathExists(dir / "folder"));
}

TEST(OntoOperations, TypeMismatchChangesNothingAndAsksOnce) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "folder/inside", "i"));
    ASSERT_TRUE(writeFile(dir / "file", "f"));
    ASSERT_EQ(mkdir((dir / "target").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", (dir / "linkToFolder").c_str()), 0);
    TreeSnapshot before = snapshotTree(dir.path());
    FileManager manager;

    struct Case {
        std::string source, destination;
        bool move;
    };
    for (const Case& c : {Case{"folder", "file", false}, Case{"file", "folder", false},
                          Case{"folder", "linkToFolder", false}, Case{"folder", "file", true},
                          Case{"file", "folder", true}}) {
        SCOPED_TRACE(c.source + " onto " + c.destination + (c.move ? " (move)" : ""));
        for (bool answer : {false, true}) {
            CountingHandler handler;
            handler.proceed = answer;
            auto op = c.move ? movePathOntoPath : copyPathOntoPath;
            EXPECT_EQ(op(manager, dir / c.source, dir / c.destination, &handler), answer);
            ASSERT_EQ(handler.errors.size(), 1u);
            EXPECT_EQ(handler.errors[0].path, dir / c.source);
            EXPECT_EQ(handler.errors[0].toPath, dir / c.destination);
            EXPECT_EQ(handler.errors[0].error, QString::fromLocal8Bit(strerror(EISDIR)));
        }
        EXPECT_FALSE((c.move ? movePathOntoPath : copyPathOntoPath)(manager, dir / c.source,
                                                                    dir / c.destination, nullptr));
    }
    EXPECT_EQ(describeDifferences(before, snapshotTree(dir.path())), "");
}

TEST(OntoOperations, MissingSourcesAndBareNames) {
    TempDir dir;
    FileManager manager;
    CountingHandler handler;
    EXPECT_FALSE(copyPathOntoPath(manager, dir / "none", dir / "x", &handler));
    EXPECT_FALSE(movePathOntoPath(manager, dir / "none", dir / "x", &handler));
    EXPECT_TRUE(handler.errors.empty());
    EXPECT_EQ(handler.willProcess, 0);

    ASSERT_TRUE(writeFile(dir / "f", "f"));
    EXPECT_FALSE(copyPathOntoPath(manager, dir / "f", "bare-name", nullptr));
    EXPECT_FALSE(pathExists("bare-name"));

    // Moving to a bare name is left to the move itself: relative to the working folder.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    bool moved = movePathOntoPath(manager, dir / "f", "bare-name", nullptr);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(moved);
    EXPECT_EQ(readFile(dir / "bare-name"), QByteArray("f"));
}

TEST(OntoOperations, FoldersToAbsentDestinations) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "empty").c_str(), 0700), 0);
    FileManager manager;
    ASSERT_TRUE(setModificationTime(dir / "empty", 978307200LL * 1000000000LL));
    ASSERT_TRUE(copyPathOntoPath(manager, dir / "empty", dir / "made/here", nullptr));
    auto made = manager.fileAttributesAtPath(dir / "made/here", false);
    ASSERT_TRUE(made && made->isDirectory());
    // A folder copied whole keeps its own permissions and time: a private folder stays private.
    EXPECT_EQ(made->permissions, mode_t(0700));
    EXPECT_EQ(made->modificationTimeNs, 978307200LL * 1000000000LL);

    ASSERT_EQ(mkdir((dir / "whole").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "whole/f", "f"));
    ino_t inode = inodeOf(dir / "whole");
    ASSERT_TRUE(movePathOntoPath(manager, dir / "whole", dir / "x/y/z", nullptr));
    EXPECT_EQ(inodeOf(dir / "x/y/z"), inode);  // moved in one step, not entry by entry
    EXPECT_EQ(readFile(dir / "x/y/z/f"), QByteArray("f"));
}

TEST(OntoOperations, CreateWithParents) {
    TempDir dir;
    FileManager manager;
    ASSERT_TRUE(writeFile(dir / "file", ""));
    EXPECT_FALSE(createDirectoryAtPath(manager, dir / "file", nullptr, true));
    EXPECT_FALSE(createDirectoryAtPath(manager, dir / "file/below", nullptr, true));
    ASSERT_TRUE(createDirectoryAtPath(manager, dir / "a/b/c", nullptr, true));
    setModificationTime(dir / "a/b/c", 1000000000000000000);
    CreationAttributes attributes;
    attributes.permissions = 0700;
    EXPECT_TRUE(createDirectoryAtPath(manager, dir / "a/b/c", &attributes, true));
    struct stat st;
    ASSERT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);  // an existing folder is left as it is
    EXPECT_NE(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(createDirectoryAtPath(manager, dir / "m/n", nullptr, false));

    // Without path elements only the immediate parent may be made.
    EXPECT_TRUE(createFileAtPath(manager, dir / "p/f", "x", nullptr, false));
    EXPECT_EQ(readFile(dir / "p/f"), QByteArray("x"));
    EXPECT_FALSE(createFileAtPath(manager, dir / "q/r/f", "x", nullptr, false));
    EXPECT_FALSE(pathExists(dir / "q"));
    EXPECT_TRUE(createFileAtPath(manager, dir / "q/r/f", "", nullptr, true));
    EXPECT_EQ(readFile(dir / "q/r/f"), QByteArray(""));
    EXPECT_TRUE(pathExists(dir / "q/r/f"));
}

TEST(OntoOperations, UnfinishedCopiesAreNeverCarriedIntoPlace) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "staged").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "staged/.pellora-tmp-1-1", "partial"));
    ASSERT_TRUE(writeFile(dir / "staged/real", "whole"));
    ASSERT_EQ(mkdir((dir / "final").c_str(), 0755), 0);
    FileManager manager;
    ASSERT_TRUE(copyPathOntoPath(manager, dir / "staged", dir / "final", nullptr));
    ASSERT_TRUE(movePathOntoPath(manager, dir / "staged", dir / "final", nullptr));
    EXPECT_EQ(readFile(dir / "final/real"), QByteArray("whole"));
    EXPECT_FALSE(containsTemporaryName(dir / "final"));
}

// The copy runs in a child with its own mount namespace, onto a 1 MiB tmpfs.
TEST(OntoOperations, FullDestinationLeavesTheOldFileWhole) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "small").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir / "big", patterned(4 << 20, 5)));
    auto outcome = runInPrivateMountNamespace([&]() -> std::string {
        if (mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m") != 0)
            return "cannot mount";
        if (!writeFile(dir / "small/old", "old content")) return "cannot write the old file";
        FileManager manager;
        CountingHandler handler;
        std::string problems;
        if (copyPathOntoPath(manager, dir / "big", dir / "small/old", &handler))
            problems += "reported success; ";
        if (readFile(dir / "small/old") != "old content") problems += "old file damaged; ";
        if (containsTemporaryName(dir / "small")) problems += "temporary left; ";
        if (handler.errors.size() != 1 || handler.errors[0].errnum != ENOSPC)
            problems += "no ENOSPC reported; ";
        return problems;
    });
    if (!outcome) GTEST_SKIP() << "private mounts are not permitted here";
    EXPECT_EQ(*outcome, "");
}

// Kills a copy onto an older tree at random moments: every file under a real name must hold
// its old or its new content, byte for byte, and a last whole run must finish the job.
TEST(OntoOperations, KilledCopyLeavesOnlyWholeFiles) {
    TempDir dir;
    std::map<std::string, QByteArray> fresh, old;
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "old").c_str(), 0755), 0);
    for (int d = 0; d < 6; ++d) {
        std::string folder = "d" + std::to_string(d);
        ASSERT_EQ(mkdir((dir / ("src/" + folder)).c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / ("old/" + folder)).c_str(), 0755), 0);
        for (int f = 0; f < 40; ++f) {
            std::string name = folder + "/f" + std::to_string(f);
            fresh[name] = patterned(4096 + (f * 7919 + d * 104729) % 200000, char(f + d));
            old[name] = patterned(1000 + f * 13, char(100 + f));
            ASSERT_TRUE(writeFile(dir / ("src/" + name), fresh[name]));
            if (f % 3) {
                ASSERT_TRUE(writeFile(dir / ("old/" + name), old[name]));
            }
        }
    }
    fresh["big"] = patterned(24 << 20, 42);
    old["big"] = patterned(3 << 20, 24);
    ASSERT_TRUE(writeFile(dir / "src/big", fresh["big"]));
    ASSERT_TRUE(writeFile(dir / "old/big", old["big"]));

    auto copyInChild = [&](const std::string& destination) {
        pid_t child = fork();
        if (child == 0) {
            FileManager manager;
            manager.setBatchLimits(16, 4 << 20);  // many commits, so kills land in all phases
            _exit(copyPathOntoPath(manager, dir / "src", destination, nullptr) ? 0 : 1);
        }
        return child;
    };
    auto checkWhole = [&](const std::string& root) {
        for (const auto& [path, item] : snapshotTree(root)) {
            if (S_ISDIR(item.type) || path.find(kTemporaryPrefix) != std::string::npos) continue;
            ASSERT_TRUE(fresh.count(path)) << "unexpected file " << path;
            bool isNew = item.contents == fresh[path];
            bool isOld = old.count(path) && item.contents == old[path];
            ASSERT_TRUE(isNew || isOld) << path << " is neither its old nor its new content";
        }
    };

    FileManager setup;
    QRandomGenerator random(20261206);
    int killedMidway = 0;
    for (int round = 0; round < 8; ++round) {
        std::string destination = dir / ("dst" + std::to_string(round));
        ASSERT_TRUE(setup.copyPath(dir / "old", destination, nullptr));
        pid_t child = copyInChild(destination);
        ASSERT_GT(child, 0);
        usleep(random.bounded(2000, 250000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) ++killedMidway;
        checkWhole(destination);

        // The next run, whatever the kill left, reaches the state of an uninterrupted one.
        ASSERT_TRUE(copyPathOntoPath(setup, dir / "src", destination, nullptr));
        for (const auto& [path, contents] : fresh)
            ASSERT_EQ(readFile(destination + "/" + path), contents) << path;
    }
    EXPECT_GT(killedMidway, 0) << "no kill landed before the copy finished";
}
