// Copies: every file, link and FIFO is written under a temporary name in its destination
// folder and joins the manager's batch; the batch gets its real names only after syncfs.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "FileManager.h"
#include "FileManagerPrivate.h"

namespace {

constexpr size_t kBufferSize = 1 << 20;

std::string temporaryName() {
    static std::atomic<uint64_t> counter{0};
    return std::string(kTemporaryPrefix) + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

std::string folderOf(const std::string& path) {
    std::string parent = stringByDeletingLastPathComponent(path);
    return parent.empty() ? "." : parent;
}

bool copyByReadWrite(int in, int out) {
    thread_local std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        ssize_t n = read(in, buffer.get(), kBufferSize);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer.get() + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += w;
        }
    }
}

// Reflink where the file system shares blocks, else an in-kernel copy, else a plain loop.
bool copyData(int in, int out) {
    if (ioctl(out, FICLONE, in) == 0) return true;
    bool copiedAny = false;
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (n > 0) {
            copiedAny = true;
            continue;
        }
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (copiedAny) return false;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == EBADF || errno == EPERM || errno == ETXTBSY)
            break;
        return false;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    return copyByReadWrite(in, out);
}

bool ignorableXattrError(int err) {
    return err == ENOTSUP || err == EPERM || err == EACCES;
}

// Copies the extended attributes of an open file or folder; attributes the destination file
// system or our privileges don't allow are left behind.
bool copyXattrs(int in, int out) {
    ssize_t size = flistxattr(in, nullptr, 0);
    if (size <= 0) return size == 0 || ignorableXattrError(errno);
    std::string names(size_t(size), '\0');
    size = flistxattr(in, names.data(), names.size());
    if (size < 0) return ignorableXattrError(errno);
    std::string value;
    for (size_t pos = 0; pos < size_t(size);) {
        const char* name = names.c_str() + pos;
        pos += strlen(name) + 1;
        ssize_t len = fgetxattr(in, name, nullptr, 0);
        if (len < 0) continue;
        value.resize(size_t(len));
        len = fgetxattr(in, name, value.data(), value.size());
        if (len < 0) continue;
        if (fsetxattr(out, name, value.data(), size_t(len), 0) != 0 && !ignorableXattrError(errno))
            return false;
    }
    return true;
}

void copyOwner(int fd, const struct stat& st) {
    if (geteuid() == 0) {
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not ours to insist on */
        }
    } else if (st.st_gid != getegid()) {
        if (fchown(fd, uid_t(-1), st.st_gid) != 0) { /* group we are not in */
        }
    }
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

struct CopyContext {
    FileManager& manager;
    FileManagerHandler* handler;
    CopyBatch& batch;

    bool fail(const std::string& source, const std::string& destination, int err) {
        return reportError(manager, handler, source, &destination, err);
    }

    bool add(PendingRename rename, dev_t device, uint64_t bytes) {
        batch.fileSystems.emplace(device, folderOf(rename.destination));
        batch.renames.push_back(std::move(rename));
        batch.bytes += bytes;
        return manager.commitIfFull(handler);
    }

    bool copyItem(const std::string& source, const std::string& destination, bool replace) {
        willProcess(manager, handler, source);
        struct stat st;
        if (lstat(source.c_str(), &st) != 0) return fail(source, destination, errno);
        switch (fileTypeOfMode(st.st_mode)) {
            case FileType::Directory:
                if (replace) return fail(source, destination, EISDIR);
                return copyFolder(source, st, destination);
            case FileType::Regular:
                return copyFile(source, destination, replace);
            case FileType::SymbolicLink:
                return copyLink(source, st, destination, replace);
            case FileType::Fifo:
                return copyFifo(source, st, destination, replace);
            default:
                // Sockets and devices are not data; copying them would be wrong or impossible.
                return fail(source, destination, ENOTSUP);
        }
    }

    bool copyFile(const std::string& source, const std::string& destination, bool replace) {
        // O_NONBLOCK: if a FIFO was swapped in since the lstat, opening must not hang.
        FdCloser in{
            open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
        if (in.fd < 0) return fail(source, destination, errno);
        struct stat st;
        if (fstat(in.fd, &st) != 0) return fail(source, destination, errno);
        if (!S_ISREG(st.st_mode)) return fail(source, destination, ENOTSUP);
        fcntl(in.fd, F_SETFL, fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);

        std::string temporary = folderOf(destination) + "/" + temporaryName();
        FdCloser out{open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (out.fd < 0) return fail(source, destination, errno);

        int err = 0;
        if (!copyData(in.fd, out.fd) || !copyXattrs(in.fd, out.fd)) err = errno ? errno : EIO;
        if (!err) {
            copyOwner(out.fd, st);
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (fchmod(out.fd, st.st_mode & 07777) != 0 || futimens(out.fd, times) != 0)
                err = errno;
        }
        struct stat written;
        if (!err && fstat(out.fd, &written) != 0) err = errno;
        if (close(out.fd) != 0 && !err) err = errno;
        out.fd = -1;
        if (err) {
            unlink(temporary.c_str());
            return fail(source, destination, err);
        }
        return add({temporary, destination, source, replace}, written.st_dev, uint64_t(st.st_size));
    }

    bool copyLink(const std::string& source, const struct stat& st, const std::string& destination,
                  bool replace) {
        std::string target(size_t(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            ssize_t n = readlink(source.c_str(), target.data(), target.size());
            if (n < 0) return fail(source, destination, errno);
            if (size_t(n) < target.size()) {
                target.resize(size_t(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        std::string temporary = folderOf(destination) + "/" + temporaryName();
        if (symlink(target.c_str(), temporary.c_str()) != 0)
            return fail(source, destination, errno);
        if (geteuid() == 0 && lchown(temporary.c_str(), st.st_uid, st.st_gid) != 0) {
            // ownership of a link is cosmetic
        }
        return finishSpecial(source, st, temporary, destination, replace);
    }

    bool copyFifo(const std::string& source, const struct stat& st, const std::string& destination,
                  bool replace) {
        // Recreated, never opened: reading a FIFO would wait for a writer forever.
        std::string temporary = folderOf(destination) + "/" + temporaryName();
        if (mkfifo(temporary.c_str(), 0600) != 0) return fail(source, destination, errno);
        if (geteuid() == 0 && lchown(temporary.c_str(), st.st_uid, st.st_gid) != 0) {
            // not ours to insist on
        }
        if (chmod(temporary.c_str(), st.st_mode & 07777) != 0) {
            int err = errno;
            unlink(temporary.c_str());
            return fail(source, destination, err);
        }
        return finishSpecial(source, st, temporary, destination, replace);
    }

    bool finishSpecial(const std::string& source, const struct stat& st,
                       const std::string& temporary, const std::string& destination, bool replace) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        struct stat written;
        if (utimensat(AT_FDCWD, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
            lstat(temporary.c_str(), &written) != 0) {
            int err = errno;
            unlink(temporary.c_str());
            return fail(source, destination, err);
        }
        return add({temporary, destination, source, replace}, written.st_dev, 0);
    }

    bool copyFolder(const std::string& source, const struct stat& st,
                    const std::string& destination) {
        // Owner-only until its contents are in; its own attributes come at the commit.
        if (mkdir(destination.c_str(), 0700) != 0) return fail(source, destination, errno);
        struct stat created;
        if (lstat(destination.c_str(), &created) == 0)
            batch.fileSystems.emplace(created.st_dev, destination);
        batch.folders.push_back(
            {destination, mode_t(st.st_mode & 07777), st.st_mtim, st.st_uid, st.st_gid});

        FdCloser in{open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        FdCloser out{open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (in.fd >= 0 && out.fd >= 0 && !copyXattrs(in.fd, out.fd))
            return fail(source, destination, errno);

        auto names = manager.directoryContentsAtPath(source);
        if (!names) return fail(source, destination, errno ? errno : EIO);
        for (const std::string& name : *names) {
            if (isTemporaryName(name)) continue;
            if (!copyItem(stringByAppendingPathComponent(source, name),
                          stringByAppendingPathComponent(destination, name), false))
                return false;
        }
        return true;
    }
};

namespace {

bool renameIntoPlace(const PendingRename& r) {
    if (r.replace) return rename(r.temporary.c_str(), r.destination.c_str()) == 0;
    if (renameat2(AT_FDCWD, r.temporary.c_str(), AT_FDCWD, r.destination.c_str(),
                  RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL) return false;
    // File systems without RENAME_NOREPLACE: check, then rename.
    struct stat st;
    if (lstat(r.destination.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(r.temporary.c_str(), r.destination.c_str()) == 0;
}

void removeTemporaries(std::vector<PendingRename>& renames, size_t from) {
    for (size_t i = from; i < renames.size(); ++i) unlink(renames[i].temporary.c_str());
    renames.clear();
}

void applyFolderAttributes(std::vector<PendingFolder>& folders) {
    // Innermost first is not needed: a folder's times and mode don't touch its parent.
    for (const PendingFolder& f : folders) {
        if (geteuid() == 0 && lchown(f.path.c_str(), f.owner, f.group) != 0) {
            // not ours to insist on
        }
        chmod(f.path.c_str(), f.permissions);
        struct timespec times[2] = {{0, UTIME_OMIT}, f.modificationTime};
        utimensat(AT_FDCWD, f.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    folders.clear();
}

// Flushes every file system written, then gives each complete copy its real name.
bool flushAndRename(FileManager& manager, CopyBatch& batch, FileManagerHandler* handler) {
    for (const auto& [device, folder] : batch.fileSystems) {
        (void)device;
        if (syncFileSystemOf(folder)) continue;
        int err = errno;
        if (!reportError(manager, handler, folder, nullptr, err)) {
            removeTemporaries(batch.renames, 0);
            batch.fileSystems.clear();
            batch.bytes = 0;
            return false;
        }
    }
    bool ok = true;
    for (size_t i = 0; i < batch.renames.size(); ++i) {
        const PendingRename& r = batch.renames[i];
        if (renameIntoPlace(r)) continue;
        int err = errno;
        unlink(r.temporary.c_str());
        if (!reportError(manager, handler, r.source, &r.destination, err)) {
            removeTemporaries(batch.renames, i + 1);
            ok = false;
            break;
        }
    }
    batch.renames.clear();
    batch.fileSystems.clear();
    batch.bytes = 0;
    return ok;
}

}  // namespace

void FileManager::beginBatch() {
    if (!_batch) _batch = std::make_unique<CopyBatch>();
    _explicitBatch = true;
}

bool FileManager::commitBatch(FileManagerHandler* handler) {
    if (!_batch) return true;
    std::unique_ptr<CopyBatch> batch = std::move(_batch);
    _explicitBatch = false;
    bool ok = flushAndRename(*this, *batch, handler);
    applyFolderAttributes(batch->folders);
    return ok;
}

void FileManager::discardBatch() {
    if (!_batch) return;
    std::unique_ptr<CopyBatch> batch = std::move(_batch);
    _explicitBatch = false;
    removeTemporaries(batch->renames, 0);
    applyFolderAttributes(batch->folders);
}

void FileManager::setBatchLimits(size_t maxFiles, uint64_t maxBytes) {
    _maxBatchFiles = maxFiles;
    _maxBatchBytes = maxBytes;
}

bool FileManager::commitIfFull(FileManagerHandler* handler) {
    if (_batch->renames.size() < _maxBatchFiles && _batch->bytes < _maxBatchBytes) return true;
    return flushAndRename(*this, *_batch, handler);
}

bool FileManager::finishImplicit(FileManagerHandler* handler, bool ok) {
    // What completed is kept, as a copy that stops half way keeps its earlier items.
    bool committed = commitBatch(handler);
    return ok && committed;
}

bool FileManager::copyPath(const std::string& source, const std::string& destination,
                           FileManagerHandler* handler) {
    bool implicit = !_batch;
    if (implicit) _batch = std::make_unique<CopyBatch>();
    CopyContext context{*this, handler, *_batch};
    bool ok = context.copyItem(source, destination, false);
    return implicit ? finishImplicit(handler, ok) : ok;
}

bool FileManager::replaceItemWithCopy(const std::string& source, const std::string& destination,
                                      FileManagerHandler* handler) {
    bool implicit = !_batch;
    if (implicit) _batch = std::make_unique<CopyBatch>();
    CopyContext context{*this, handler, *_batch};
    bool ok = context.copyItem(source, destination, true);
    return implicit ? finishImplicit(handler, ok) : ok;
}
