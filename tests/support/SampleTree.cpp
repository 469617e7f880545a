#include "SampleTree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "TempDir.h"
#include "TreeSnapshot.h"

const std::string kOddName = "bin\xff\xfe name";  // not valid UTF-8

QByteArray patterned(qsizetype size, char seed) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) data[i] = char((i * 31 + seed) ^ (i >> 12));
    return data;
}

void makeSampleTree(const std::string& root) {
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(root + "/plain.txt", "plain text\n"));
    chmod((root + "/plain.txt").c_str(), 0640);
    ASSERT_TRUE(writeFile(root + "/" + kOddName, "odd name"));
    ASSERT_EQ(symlink("plain.txt", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere/else", (root + "/dangling").c_str()), 0);
    ASSERT_TRUE(writeFile(root + "/xattr.dat", "with attributes"));
    ASSERT_EQ(setxattr((root + "/xattr.dat").c_str(), "user.pellora.test", "value", 5, 0), 0);
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0750), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub/deeper").c_str(), 0700), 0);
    ASSERT_TRUE(writeFile(root + "/sub/deeper/file", patterned(70000, 3)));
    ASSERT_TRUE(writeFile(root + "/big.bin", patterned(50 << 20, 7)));
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0620), 0);
    ASSERT_EQ(mkdir((root + "/ro").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(root + "/ro/inside", "read-only folder"));
    chmod((root + "/ro").c_str(), 0555);
    // Distinct nanosecond times everywhere, folders last so their own times stick.
    int64_t t = 1600000000123456789;
    for (const char* name : {"plain.txt", "link", "dangling", "xattr.dat", "sub/deeper/file",
                             "big.bin", "pipe", "ro/inside"})
        setModificationTime(root + "/" + name, t += 1000000007);
    setModificationTime(root + "/" + kOddName, t += 3);
    for (const char* name : {"empty", "sub/deeper", "sub", "ro"})
        setModificationTime(root + "/" + name, t += 999);
}

bool containsTemporaryName(const std::string& root) {
    for (const auto& [path, item] : snapshotTree(root))
        if (path.find(".pellora-tmp-") != std::string::npos) return true;
    return false;
}
