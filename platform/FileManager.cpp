#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "FileContents.h"
#include "FileManager.h"
#include "FileManagerPrivate.h"

void FileManagerHandler::fileManagerWillProcessPath(FileManager&, const std::string&) {}

bool FileManagerHandler::fileManagerShouldProceedAfterError(FileManager&,
                                                            const FileOperationError&) {
    return false;
}

void FileManagerHandler::fileManagerSkippedSocket(FileManager&, const std::string&) {}

bool FileManagerHandler::fileManagerShouldCopyEntry(FileManager&, const std::string&) {
    return true;
}

bool isTemporaryName(const std::string& name) {
    return name.compare(0, sizeof kTemporaryPrefix - 1, kTemporaryPrefix) == 0;
}

FileType fileTypeOfMode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR:
            return FileType::Directory;
        case S_IFLNK:
            return FileType::SymbolicLink;
        case S_IFIFO:
            return FileType::Fifo;
        case S_IFSOCK:
            return FileType::Socket;
        case S_IFCHR:
            return FileType::CharacterSpecial;
        case S_IFBLK:
            return FileType::BlockSpecial;
        default:
            return FileType::Regular;
    }
}

FileAttributes attributesOfStat(const struct stat& st) {
    FileAttributes a;
    a.type = fileTypeOfMode(st.st_mode);
    a.size = uint64_t(st.st_size);
    a.permissions = st.st_mode & 07777;
    a.modificationTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    a.owner = st.st_uid;
    a.group = st.st_gid;
    a.device = st.st_dev;
    a.inode = st.st_ino;
    return a;
}

struct timespec timespecOfNs(int64_t ns) {
    struct timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += 1000000000;
        ts.tv_sec -= 1;
    }
    return ts;
}

bool reportError(FileManager& manager, FileManagerHandler* handler, const std::string& path,
                 const std::string* toPath, int errnum) {
    if (!handler) return false;
    FileOperationError error;
    error.path = path;
    if (toPath) error.toPath = *toPath;
    error.errnum = errnum;
    error.error = errnum == kSourceChangedError
                      ? QStringLiteral("The file changed while it was being copied")
                      : errorText(errnum);
    return handler->fileManagerShouldProceedAfterError(manager, error);
}

void willProcess(FileManager& manager, FileManagerHandler* handler, const std::string& path) {
    if (handler) handler->fileManagerWillProcessPath(manager, path);
}

FileManager::FileManager() = default;

FileManager::~FileManager() {
    if (_batch) discardBatch();
}

std::optional<FileAttributes> FileManager::fileAttributesAtPath(const std::string& path,
                                                                bool traverseLink,
                                                                int* error) const {
    struct stat st;
    int rc = traverseLink ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (error) *error = rc != 0 ? errno : 0;
    if (rc != 0) return std::nullopt;
    return attributesOfStat(st);
}

OpenFolder::OpenFolder(const std::string& path) {
    if (!path.empty()) _fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

OpenFolder::~OpenFolder() {
    if (_fd >= 0) close(_fd);
}

std::optional<FileAttributes> OpenFolder::attributesOfEntry(const std::string& name,
                                                            int* error) const {
    struct stat st;
    if (error) *error = EINVAL;
    if (_fd < 0 || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos)
        return std::nullopt;
    const bool read = fstatat(_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (error) *error = read ? 0 : errno;
    if (!read) return std::nullopt;
    return attributesOfStat(st);
}

static void applyTimes(const std::string& path, const CreationAttributes* attributes) {
    if (!attributes || !attributes->modificationTimeNs) return;
    struct timespec times[2] = {{0, UTIME_OMIT}, timespecOfNs(*attributes->modificationTimeNs)};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool FileManager::createDirectoryAtPath(const std::string& path,
                                        const CreationAttributes* attributes) {
    if (path.empty()) return false;
    if (mkdir(path.c_str(), 0777) != 0) return false;
    if (attributes && attributes->permissions) chmod(path.c_str(), *attributes->permissions);
    applyTimes(path, attributes);
    return true;
}

bool FileManager::createFileAtPath(const std::string& path, const QByteArray& contents,
                                   const CreationAttributes* attributes) {
    if (path.empty()) return false;
    unsigned mode = attributes && attributes->permissions ? *attributes->permissions : 0666;
    if (!writeFileAtomically(path, contents, nullptr, mode)) return false;
    if (attributes && attributes->permissions) chmod(path.c_str(), *attributes->permissions);
    applyTimes(path, attributes);
    return true;
}

std::optional<std::vector<std::string>> FileManager::directoryContentsAtPath(
    const std::string& path, int* error) const {
    if (error) *error = 0;
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        if (error) *error = errno;
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        names.emplace_back(n);
    }
    const int failed = errno;
    closedir(dir);
    if (error) *error = failed;
    if (failed) return std::nullopt;
    return names;
}

bool syncFileSystemOf(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) fd = open(stringByDeletingLastPathComponent(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = syncfs(fd) == 0;
    close(fd);
    return ok;
}
