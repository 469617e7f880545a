#include "MountTable.h"

#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include "FileContents.h"

namespace {

struct TableFree {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterFree {
    void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};
struct FileClose {
    void operator()(FILE* file) const { fclose(file); }
};

std::string orEmpty(const char* s) {
    return s ? std::string(s) : std::string();
}

void setError(QString* error, const std::string& file, const QString& reason) {
    if (error) *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(file), reason);
}

// A FIFO or a device named by the variable would block or never end; only regular files
// (which /proc's tables are) are read. O_NONBLOCK keeps the open itself from hanging.
FILE* openTableFile(const std::string& file, QString* error) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, file, errorText(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(error, file, QStringLiteral("not a regular file"));
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* stream = fdopen(fd, "r");
    if (!stream) {
        setError(error, file, errorText(errno));
        close(fd);
    }
    return stream;
}

// Mount points in the table carry no trailing "/" except the root; a hand-written table might.
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string mountTablePath() {
    const char* file = getenv(kMountTableVariable);
    return file && *file ? std::string(file) : std::string("/proc/self/mountinfo");
}

std::optional<std::vector<MountEntry>> readMountTable(QString* error) {
    return readMountTableFromFile(mountTablePath(), error);
}

std::optional<std::vector<MountEntry>> readMountTableFromFile(const std::string& file,
                                                              QString* error) {
    std::unique_ptr<FILE, FileClose> stream(openTableFile(file, error));
    if (!stream) return std::nullopt;
    std::unique_ptr<libmnt_table, TableFree> table(mnt_new_table());
    std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
    if (!table || !iter) {
        setError(error, file, QStringLiteral("out of memory"));
        return std::nullopt;
    }
    // libmount skips lines it cannot parse; a read error ends the parse with a negative code.
    int rc = mnt_table_parse_stream(table.get(), stream.get(), file.c_str());
    if (rc < 0) {
        setError(error, file, errorText(-rc));
        return std::nullopt;
    }
    std::vector<MountEntry> entries;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        // A file that does not start like the kernel's table is guessed to be an fstab;
        // such entries are not mounts.
        if (!mnt_fs_is_kernel(fs) || !mnt_fs_get_target(fs)) continue;
        MountEntry entry;
        entry.mountPoint = orEmpty(mnt_fs_get_target(fs));
        entry.source = orEmpty(mnt_fs_get_source(fs));
        entry.fsType = orEmpty(mnt_fs_get_fstype(fs));
        entry.root = orEmpty(mnt_fs_get_root(fs));
        entry.id = mnt_fs_get_id(fs);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool pathHasComponentPrefix(const std::string& path, const std::string& prefix) {
    std::string base = withoutTrailingSlashes(prefix);
    if (base == "/") return !path.empty() && path.front() == '/';
    if (path.compare(0, base.size(), base) != 0) return false;
    return path.size() == base.size() || path[base.size()] == '/';
}

std::optional<MountEntry> volumeForPath(const std::string& path) {
    auto table = readMountTable();
    if (!table) return std::nullopt;
    return volumeForPath(path, *table);
}

std::optional<MountEntry> volumeForPath(const std::string& path,
                                        const std::vector<MountEntry>& table) {
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    if (!resolved) return std::nullopt;
    const std::string real(resolved.get());
    const MountEntry* best = nullptr;
    size_t bestLength = 0;
    for (const MountEntry& entry : table) {
        if (entry.mountPoint.empty() || !pathHasComponentPrefix(real, entry.mountPoint)) continue;
        size_t length = withoutTrailingSlashes(entry.mountPoint).size();
        // ">=": of two mounts on one point the later is on top and hides the earlier.
        if (!best || length >= bestLength) {
            best = &entry;
            bestLength = length;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

std::vector<MountEntry> mountedLocalVolumes() {
    auto table = readMountTable();
    if (!table) return {};
    return mountedLocalVolumes(*table);
}

std::vector<MountEntry> mountedLocalVolumes(const std::vector<MountEntry>& table) {
    std::vector<MountEntry> volumes;
    std::set<std::string> seen;
    for (const MountEntry& entry : table) {
        if (entry.source.rfind("/dev/", 0) != 0 || entry.source.size() <= 5) continue;
        if (!seen.insert(entry.source).second) continue;
        volumes.push_back(entry);
    }
    return volumes;
}

int64_t modificationTimePrecisionNs(const std::string& fsType) {
    static const std::pair<const char*, int64_t> kSteps[] = {
        {"vfat", 2000000000}, {"msdos", 2000000000},   {"fat", 2000000000}, {"exfat", 10000000},
        {"hfs", 1000000000},  {"hfsplus", 1000000000}, {"ntfs", 100},       {"ntfs3", 100},
    };
    for (const auto& [type, step] : kSteps)
        if (fsType == type) return step;
    return 1;
}
