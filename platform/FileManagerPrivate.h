#pragma once

// Internals shared by the file manager's source files.

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "FileManager.h"

FileType fileTypeOfMode(mode_t mode);
FileAttributes attributesOfStat(const struct stat& st);
struct timespec timespecOfNs(int64_t ns);

void willProcess(FileManager& manager, FileManagerHandler* handler, const std::string& path);

// A folder's own attributes, applied once everything inside it is in place. `path` is
// relative to the copied tree's top ("" for the top itself).
struct PendingFolder {
    std::string path;
    mode_t permissions;
    struct timespec modificationTime;
    uid_t owner;
    gid_t group;
};

struct PendingRename {
    std::string temporary;               // complete copy under a temporary name
    std::string destination;             // its real name
    std::string source;                  // for error reports
    bool replace = false;                // may replace an existing non-folder at the destination
    bool folder = false;                 // a whole tree, written inside a temporary folder
    std::vector<PendingFolder> folders;  // that tree's folder attributes
};

struct CopyBatch {
    std::vector<PendingRename> renames;
    std::map<dev_t, std::string> fileSystems;  // one written folder per file system, for syncfs
    uint64_t bytes = 0;
};
