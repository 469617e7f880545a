#include "TreeSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <sstream>

#include "TempDir.h"

namespace {

void walk(const std::string& root, const std::string& relative, bool withFolderTimes,
          TreeSnapshot& out) {
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    ItemSnapshot item;
    item.type = st.st_mode & S_IFMT;
    item.permissions = st.st_mode & 07777;
    item.modificationTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
        item.contents = readFile(path);
    } else if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n > 0) item.contents = QByteArray(buf, n);
    }
    if (!S_ISLNK(st.st_mode)) {
        char names[4096];
        ssize_t size = llistxattr(path.c_str(), names, sizeof names);
        for (ssize_t pos = 0; size > 0 && pos < size;) {
            std::string name(names + pos);
            pos += name.size() + 1;
            if (name.rfind("user.", 0) != 0) continue;
            char value[4096];
            ssize_t len = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
            if (len >= 0) item.xattrs[name] = QByteArray(value, len);
        }
    }
    if (S_ISDIR(st.st_mode)) {
        if (!withFolderTimes) item.modificationTimeNs = 0;
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* e = readdir(dir)) {
                std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                walk(root, relative.empty() ? n : relative + "/" + n, withFolderTimes, out);
            }
            closedir(dir);
        }
    }
    out[relative] = item;
}

}  // namespace

TreeSnapshot snapshotTree(const std::string& root, bool withFolderTimes) {
    TreeSnapshot out;
    walk(root, "", withFolderTimes, out);
    return out;
}

std::string describeDifferences(const TreeSnapshot& expected, const TreeSnapshot& actual) {
    std::ostringstream s;
    int shown = 0;
    for (const auto& [path, item] : expected) {
        if (shown > 10) break;
        auto it = actual.find(path);
        if (it == actual.end()) {
            s << "missing: '" << path << "'\n";
            ++shown;
            continue;
        }
        const ItemSnapshot& other = it->second;
        if (item == other) continue;
        ++shown;
        s << "differs: '" << path << "'";
        if (item.type != other.type) s << " type";
        if (item.permissions != other.permissions)
            s << " mode " << std::oct << item.permissions << "/" << other.permissions << std::dec;
        if (item.modificationTimeNs != other.modificationTimeNs)
            s << " mtime " << item.modificationTimeNs << "/" << other.modificationTimeNs;
        if (item.contents != other.contents) s << " contents";
        if (item.xattrs != other.xattrs) s << " xattrs";
        s << "\n";
    }
    for (const auto& [path, item] : actual) {
        if (shown > 10) break;
        if (!expected.count(path)) {
            s << "unexpected: '" << path << "'\n";
            ++shown;
        }
    }
    return s.str();
}

bool setModificationTime(const std::string& path, int64_t ns) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(ns / 1000000000), long(ns % 1000000000)}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}
