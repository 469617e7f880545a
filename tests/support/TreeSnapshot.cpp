#include "TreeSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <cstring>

#include "TempDir.h"

namespace {

void walk(const std::string& root, const std::string& relative, bool withFolderTimes,
          TreeSnapshot& out) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    ItemSnapshot& item = out[relative];
    item.type = st.st_mode & S_IFMT;
    item.permissions = st.st_mode & 07777;
    item.modificationTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    char buf[4096];
    if (S_ISREG(st.st_mode)) item.contents = readFile(path);
    if (const ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), buf, sizeof buf) : 0; n > 0)
        item.contents = QByteArray(buf, n);
    // Only the user's attributes: the system's own differ between file systems.
    const ssize_t size = S_ISLNK(st.st_mode) ? 0 : llistxattr(path.c_str(), buf, sizeof buf);
    for (ssize_t pos = 0; pos < size; pos += ssize_t(strlen(buf + pos)) + 1) {
        char value[4096];
        const ssize_t len = lgetxattr(path.c_str(), buf + pos, value, sizeof value);
        if (strncmp(buf + pos, "user.", 5) == 0 && len >= 0)
            item.xattrs[buf + pos] = QByteArray(value, len);
    }
    if (!S_ISDIR(st.st_mode)) return;
    if (!withFolderTimes) item.modificationTimeNs = 0;
    DIR* dir = opendir(path.c_str());
    while (struct dirent* e = dir ? readdir(dir) : nullptr)
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            walk(root, relative.empty() ? e->d_name : relative + "/" + e->d_name, withFolderTimes,
                 out);
    if (dir) closedir(dir);
}

}  // namespace

TreeSnapshot snapshotTree(const std::string& root, bool withFolderTimes) {
    TreeSnapshot out;
    walk(root, "", withFolderTimes, out);
    return out;
}

std::string describeDifferences(const TreeSnapshot& expected, const TreeSnapshot& actual) {
    std::string out;
    int shown = 0;
    for (const auto& [path, item] : expected) {
        auto it = actual.find(path);
        if (it != actual.end() && item == it->second) continue;
        if (++shown > 10) return out + "...\n";
        if (it == actual.end()) {
            out += "missing: '" + path + "'\n";
            continue;
        }
        const ItemSnapshot& other = it->second;
        out += "differs: '" + path + "'" + (item.type != other.type ? " type" : "") +
               (item.permissions != other.permissions ? " mode" : "") +
               (item.modificationTimeNs != other.modificationTimeNs
                    ? " mtime " + std::to_string(item.modificationTimeNs) + "/" +
                          std::to_string(other.modificationTimeNs)
                    : "") +
               (item.contents != other.contents ? " contents" : "") +
               (item.xattrs != other.xattrs ? " xattrs" : "") + "\n";
    }
    for (const auto& [path, item] : actual)
        if (!expected.count(path) && ++shown <= 10) out += "unexpected: '" + path + "'\n";
    return out;
}

bool setModificationTime(const std::string& path, int64_t ns) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(ns / 1000000000), long(ns % 1000000000)}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}
