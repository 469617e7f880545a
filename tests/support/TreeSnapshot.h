#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <cstdint>
#include <map>
#include <string>

// Everything a copy must keep about one item: type, contents (or link target), permissions,
// nanosecond modification time and extended attributes.
struct ItemSnapshot {
    mode_t type = 0;
    mode_t permissions = 0;
    int64_t modificationTimeNs = 0;
    QByteArray contents;  // file data, or the link target
    std::map<std::string, QByteArray> xattrs;

    bool operator==(const ItemSnapshot&) const = default;
};

// Items by path relative to the root ("" is the root itself).
using TreeSnapshot = std::map<std::string, ItemSnapshot>;

// Walks a tree without following links. With `withFolderTimes` false, folder times are left
// out (for trees whose folders were made anew).
TreeSnapshot snapshotTree(const std::string& root, bool withFolderTimes = true);

// A readable account of the first differences, empty when the trees are the same.
std::string describeDifferences(const TreeSnapshot& expected, const TreeSnapshot& actual);

// Sets an item's modification time to the given nanoseconds, without following a link.
bool setModificationTime(const std::string& path, int64_t ns);
