// Moves and removals. Removal walks folders by descriptor and never follows a link, so a link
// planted inside a tree can't lead it elsewhere.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "FileManager.h"
#include "FileManagerPrivate.h"

namespace {

struct RemoveContext {
    FileManager& manager;
    FileManagerHandler* handler;

    bool fail(const std::string& path, int err) {
        return reportError(manager, handler, path, nullptr, err);
    }

    // Removes `name` inside the folder open as `parent`; `path` names it for the handler.
    bool removeAt(int parent, const char* name, const std::string& path) {
        willProcess(manager, handler, path);
        struct stat st;
        if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return fail(path, errno);
        if (!S_ISDIR(st.st_mode)) {
            if (unlinkat(parent, name, 0) != 0) return fail(path, errno);
            return true;
        }
        int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return fail(path, errno);
        DIR* dir = fdopendir(fd);
        if (!dir) {
            int err = errno;
            close(fd);
            return fail(path, err);
        }
        std::vector<std::string> names;
        while (struct dirent* entry = readdir(dir)) {
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            names.emplace_back(n);
        }
        bool ok = true;
        for (const std::string& n : names) {
            if (!removeAt(dirfd(dir), n.c_str(), stringByAppendingPathComponent(path, n))) {
                ok = false;
                break;
            }
        }
        closedir(dir);
        if (!ok) return false;
        if (unlinkat(parent, name, AT_REMOVEDIR) != 0) return fail(path, errno);
        return true;
    }
};

bool renameNoReplace(const std::string& source, const std::string& destination) {
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL) return false;
    struct stat st;
    if (lstat(destination.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(source.c_str(), destination.c_str()) == 0;
}

}  // namespace

bool FileManager::removeFileAtPath(const std::string& path, FileManagerHandler* handler) {
    RemoveContext context{*this, handler};
    std::string parent = stringByDeletingLastPathComponent(path);
    std::string name = lastPathComponent(path);
    if (name.empty() || name == "/" || name == "." || name == "..")
        return context.fail(path, EINVAL);
    int fd = open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return context.fail(path, errno);
    bool ok = context.removeAt(fd, name.c_str(), path);
    close(fd);
    return ok;
}

bool FileManager::movePath(const std::string& source, const std::string& destination,
                           FileManagerHandler* handler) {
    willProcess(*this, handler, source);
    if (renameNoReplace(source, destination)) return true;
    if (errno != EXDEV) return reportError(*this, handler, source, &destination, errno);

    // Across file systems: a durable copy first, and the source goes only once it is safe.
    FileManager copier;
    bool existedBefore = fileAttributesAtPath(destination, false).has_value();
    if (existedBefore) return reportError(*this, handler, source, &destination, EEXIST);
    if (!copier.copyPath(source, destination, handler) || !syncFileSystemOf(destination)) {
        if (fileAttributesAtPath(destination, false)) removeFileAtPath(destination, nullptr);
        return false;
    }
    return removeFileAtPath(source, handler);
}

bool FileManager::replaceItemWithMove(const std::string& source, const std::string& destination,
                                      FileManagerHandler* handler) {
    willProcess(*this, handler, source);
    struct stat st;
    if (lstat(source.c_str(), &st) != 0)
        return reportError(*this, handler, source, &destination, errno);
    if (S_ISDIR(st.st_mode)) return reportError(*this, handler, source, &destination, EISDIR);
    // A rename replaces the old item in one step.
    if (rename(source.c_str(), destination.c_str()) == 0) return true;
    if (errno != EXDEV) return reportError(*this, handler, source, &destination, errno);
    FileManager copier;
    if (!copier.replaceItemWithCopy(source, destination, handler) || !syncFileSystemOf(destination))
        return false;
    return removeFileAtPath(source, handler);
}

bool FileManager::removeTemporaryItemsIn(const std::string& folder, FileManagerHandler* handler) {
    auto names = directoryContentsAtPath(folder);
    if (!names) return errno == ENOENT || reportError(*this, handler, folder, nullptr, errno);
    bool ok = true;
    for (const std::string& name : *names)
        if (isTemporaryName(name) &&
            !removeFileAtPath(stringByAppendingPathComponent(folder, name), handler))
            ok = false;
    return ok;
}

bool FileManager::removeTemporaryItemsBelow(const std::string& folder,
                                            FileManagerHandler* handler) {
    auto names = directoryContentsAtPath(folder);
    if (!names) return reportError(*this, handler, folder, nullptr, errno ? errno : EIO);
    for (const std::string& name : *names) {
        std::string path = stringByAppendingPathComponent(folder, name);
        bool ok = true;
        if (isTemporaryName(name)) {
            ok = removeFileAtPath(path, handler);
        } else if (auto attributes = fileAttributesAtPath(path, false);
                   attributes && attributes->isDirectory()) {
            ok = removeTemporaryItemsBelow(path, handler);
        }
        if (!ok) return false;
    }
    return true;
}
