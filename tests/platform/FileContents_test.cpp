// Whole-file reads must never hang on what stands in a file's place, and must stop at their
// bound; folder creation must not take a file for a folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "FileContents.h"
#include "TempDir.h"

TEST(FileContents, ReadsBoundedRegularFilesOnly) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "f", "12345"));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    int err = 0;
    EXPECT_EQ(readFileContents(dir / "f", 5, &err).value_or("?"), QByteArray("12345"));
    EXPECT_EQ(readFileContents(dir / "f", -1, &err).value_or("?"), QByteArray("12345"));
    EXPECT_FALSE(readFileContents(dir / "f", 4, &err));
    EXPECT_EQ(err, EFBIG);
    EXPECT_FALSE(readFileContents(dir / "fifo", -1, &err));  // returns at once, no writer needed
    EXPECT_EQ(err, EINVAL);
    EXPECT_FALSE(readFileContents(dir / "missing", -1, &err));
    EXPECT_EQ(err, ENOENT);
    // Files that claim no size are read to their end, and still bounded.
    EXPECT_TRUE(readFileContents("/proc/self/status", 1 << 20, &err));
    EXPECT_FALSE(readFileContents("/proc/self/status", 8, &err));
    EXPECT_EQ(err, EFBIG);
}

TEST(FileContents, MakesFoldersButNotThroughFiles) {
    TempDir dir;
    EXPECT_TRUE(makeFolders(dir / "a/b/c", 0700));
    EXPECT_TRUE(makeFolders(dir / "a/b/c", 0700));
    ASSERT_TRUE(writeFile(dir / "file", ""));
    QString error;
    EXPECT_FALSE(makeFolders(dir / "file", 0700, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(makeFolders(dir / "file/below", 0700));
}
