// Copies. A file, link or FIFO is written under a temporary name in its destination folder;
// a folder tree is written inside a temporary folder, so its items can keep their own names.
// Either way the copy joins the manager's batch and gets its real name only after syncfs.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FileManager.h"
#include "FileManagerPrivate.h"

namespace {

constexpr size_t kBufferSize = 128 << 10;

std::string temporaryName() {
    // Not cached: a forked child must not reuse its parent's names.
    static std::atomic<uint64_t> counter{0};
    return std::string(kTemporaryPrefix) + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

// The process's umask, read without changing it; -1 when unknown.
int currentUmask() {
    static const int mask = [] {
        FILE* f = fopen("/proc/self/status", "re");
        if (!f) return -1;
        char line[256];
        int value = -1;
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Umask: %o", &value) == 1) break;
        fclose(f);
        return value;
    }();
    return mask;
}

// Writeback is started every so often, so a large file is not all left for the flush.
constexpr off_t kWritebackStep = 8 << 20;

bool copyByReadWrite(int in, int out) {
    thread_local std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    off_t sinceWriteback = 0;
    for (;;) {
        ssize_t n = read(in, buffer.get(), kBufferSize);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if ((sinceWriteback += n) >= kWritebackStep) {
            sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
            sinceWriteback = 0;
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

// Copies only the data of a file with holes, leaving the holes as holes: a large file that
// holds little must not fill the drive with zeros.
bool copySparse(int in, int out, off_t size) {
    thread_local std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (off_t offset = 0; offset < size;) {
        const off_t data = lseek(in, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole up to the end
            return false;
        }
        const off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0) return false;
        for (off_t at = data; at < hole;) {
            const ssize_t n =
                pread(in, buffer.get(), size_t(std::min<off_t>(kBufferSize, hole - at)), at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;  // the file was cut short: the change check says so
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = pwrite(out, buffer.get() + done, size_t(n - done), at + done);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return false;
                done += w;
            }
            at += n;
        }
        offset = hole;
    }
    // A hole at the end has no data to write: the length gives it.
    return ftruncate(out, size) == 0;
}

// Reflink where the file system shares blocks, else an in-kernel copy, else a plain loop.
// A pair of file systems that refused once is not asked again. A file with holes keeps them.
bool copyData(int in, int out, dev_t from, dev_t to, const struct stat& st) {
    const off_t size = st.st_size;
    thread_local dev_t refusedFrom = dev_t(-1), refusedTo = dev_t(-1);
    const bool mayShare = from != refusedFrom || to != refusedTo;
    if (mayShare && ioctl(out, FICLONE, in) == 0) return true;
    // Fewer blocks than the length needs: there are holes, which the other ways would fill.
    if (off_t(st.st_blocks) * 512 < size) return copySparse(in, out, size);
    if (mayShare) {
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
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != EBADF && errno != EPERM && errno != ETXTBSY)
                return false;
            refusedFrom = from;
            refusedTo = to;
            break;
        }
    }
    if (size > off_t(kBufferSize) * 4) posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
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

// Zero when the file we read is still, unchanged, the one at `path`. A source written,
// truncated, replaced or removed while we read it gives a copy that may mix old and new data:
// it must not get a real name. The next run copies the file again.
int sourceChangeDuringCopy(int fd, const std::string& path, const struct stat& before) {
    struct stat now, named;
    if (fstat(fd, &now) != 0) return errno;
    if (lstat(path.c_str(), &named) != 0) return errno;
    auto same = [](const struct timespec& a, const struct timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    if (now.st_size != before.st_size || !same(now.st_mtim, before.st_mtim) ||
        !same(now.st_ctim, before.st_ctim) || named.st_ino != before.st_ino ||
        named.st_dev != before.st_dev)
        return kSourceChangedError;
    return 0;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

struct CopyContext {
    CopyContext(FileManager& m, FileManagerHandler* h, CopyBatch& b)
        : manager(m), handler(h), batch(b) {}

    FileManager& manager;
    FileManagerHandler* handler;
    CopyBatch& batch;
    // Set while writing inside a tree that still has a temporary name (`freshTop`), which
    // becomes `freshDestination` at the commit.
    std::vector<PendingFolder>* freshFolders = nullptr;
    std::string freshTop, freshDestination;
    // The folder written into last, so that a folder of many files is looked at once.
    std::string cachedFolder;
    struct stat cachedFolderStat {};

    bool fail(const std::string& source, const std::string& destination, int err) {
        // The handler hears of the item's real destination, not its temporary one.
        std::string shown = destination;
        if (freshFolders && shown.compare(0, freshTop.size(), freshTop) == 0)
            shown = freshDestination + shown.substr(freshTop.size());
        return reportError(manager, handler, source, &shown, err);
    }

    // Creates a new item under a temporary name beside `destination` (or under its own name
    // inside a fresh tree); a name left by an earlier process is skipped.
    template <typename Create>
    bool create(const std::string& destination, std::string& written, Create make) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            written = freshFolders ? destination : folderOf(destination) + "/" + temporaryName();
            if (make(written.c_str())) return true;
            if (errno != EEXIST || freshFolders) return false;
        }
        return false;
    }

    const struct stat* folderStat(const std::string& folder) {
        if (folder != cachedFolder) {
            if (stat(folder.c_str(), &cachedFolderStat) != 0) return nullptr;
            cachedFolder = folder;
        }
        return &cachedFolderStat;
    }

    bool place(const std::string& written, const std::string& destination,
               const std::string& source, bool replace, dev_t device, uint64_t bytes) {
        batch.bytes += bytes;
        if (freshFolders) return true;
        batch.fileSystems.emplace(device, folderOf(destination));
        batch.renames.push_back({written, destination, source, replace, false, {}});
        return manager.commitIfFull(handler);
    }

    // The new item belongs to us; give it the source's owner where we may.
    void copyOwner(int fd, const char* path, const struct stat& st, const struct stat& folder) {
        if (manager._copiesBecomeOwn) return;  // ours, as created
        static const uid_t euid = geteuid();
        static const gid_t egid = getegid();
        gid_t inherited = (folder.st_mode & S_ISGID) ? folder.st_gid : egid;
        bool root = euid == 0;
        if (root && (st.st_uid != 0 || st.st_gid != inherited)) {
            int rc = path ? lchown(path, st.st_uid, st.st_gid) : fchown(fd, st.st_uid, st.st_gid);
            (void)rc;  // best effort
        } else if (!root && st.st_gid != inherited && !path) {
            int rc = fchown(fd, uid_t(-1), st.st_gid);
            (void)rc;  // a group we are not in
        }
    }

    // The mode a copy gets: an untrusted source's setuid and setgid bits are dropped.
    mode_t modeOf(const struct stat& st) const {
        return st.st_mode & (manager._copiesBecomeOwn ? 01777 : 07777);
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
            case FileType::Socket:
                // A socket is a live endpoint of some program, not data: nothing to copy.
                if (handler) handler->fileManagerSkippedSocket(manager, source);
                return true;
            default:
                // Devices are not data; copying them would be wrong or impossible.
                return fail(source, destination, ENOTSUP);
        }
    }

    bool copyFile(const std::string& source, const std::string& destination, bool replace) {
        // O_NONBLOCK: should a FIFO have been swapped in since the lstat, opening must not
        // hang. Reads of a regular file ignore the flag.
        FdCloser in{
            open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
        if (in.fd < 0) return fail(source, destination, errno);
        struct stat st;
        if (fstat(in.fd, &st) != 0) return fail(source, destination, errno);
        if (!S_ISREG(st.st_mode)) return fail(source, destination, ENOTSUP);
        const struct stat* folder = folderStat(folderOf(destination));
        if (!folder) return fail(source, destination, errno);

        std::string written;
        mode_t mode = modeOf(st);
        FdCloser out{-1};
        if (!create(destination, written, [&](const char* path) {
                out.fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
                return out.fd >= 0;
            }))
            return fail(source, destination, errno);

        int err = 0;
        if (!copyData(in.fd, out.fd, st.st_dev, folder->st_dev, st) || !copyXattrs(in.fd, out.fd))
            err = errno ? errno : EIO;
        if (!err) err = sourceChangeDuringCopy(in.fd, source, st);
        if (!err) {
            copyOwner(out.fd, nullptr, st, *folder);
            // Only what the umask took away, or special bits, need setting again.
            int mask = currentUmask();
            if ((mask < 0 || (mode & ~mode_t(mask)) != mode || (mode & 07000)) &&
                fchmod(out.fd, mode) != 0)
                err = errno;
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (!err && futimens(out.fd, times) != 0) err = errno;
        }
        // A large file's data starts back now, so the batch's flush finds little left to do.
        // Small files are left to the kernel's flusher, which writes many of them in one
        // request: one request per file took a quarter longer to copy a million of them.
        if (!err && st.st_size >= kWritebackStep)
            sync_file_range(out.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        if (close(out.fd) != 0 && !err) err = errno;
        out.fd = -1;
        if (err) {
            unlink(written.c_str());
            return fail(source, destination, err);
        }
        return place(written, destination, source, replace, folder->st_dev, uint64_t(st.st_size));
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
        std::string written;
        if (!create(destination, written,
                    [&](const char* path) { return symlink(target.c_str(), path) == 0; }))
            return fail(source, destination, errno);
        return finishSpecial(source, st, written, destination, replace);
    }

    bool copyFifo(const std::string& source, const struct stat& st, const std::string& destination,
                  bool replace) {
        // Recreated, never opened: reading a FIFO would wait for a writer forever.
        std::string written;
        if (!create(destination, written, [](const char* path) { return mkfifo(path, 0600) == 0; }))
            return fail(source, destination, errno);
        if (chmod(written.c_str(), modeOf(st)) != 0) {
            int err = errno;
            unlink(written.c_str());
            return fail(source, destination, err);
        }
        return finishSpecial(source, st, written, destination, replace);
    }

    bool finishSpecial(const std::string& source, const struct stat& st, const std::string& written,
                       const std::string& destination, bool replace) {
        const struct stat* folder = folderStat(folderOf(destination));
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (!folder || utimensat(AT_FDCWD, written.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            int err = errno;
            unlink(written.c_str());
            return fail(source, destination, err);
        }
        copyOwner(-1, written.c_str(), st, *folder);
        return place(written, destination, source, replace, folder->st_dev, 0);
    }

    bool copyFolder(const std::string& source, const struct stat& st,
                    const std::string& destination) {
        if (freshFolders) return copyFolderContents(source, st, destination);

        // The tree is built inside a temporary folder and renamed whole at the commit.
        std::string top;
        if (!create(destination, top, [](const char* path) { return mkdir(path, 0700) == 0; }))
            return fail(source, destination, errno);
        std::vector<PendingFolder> folders;
        freshFolders = &folders;
        freshTop = top;
        freshDestination = destination;
        bool ok = copyFolderContents(source, st, top);
        freshFolders = nullptr;
        struct stat created;
        if (!ok || lstat(top.c_str(), &created) != 0) {
            manager.removeFileAtPath(top, nullptr);
            return false;
        }
        batch.fileSystems.emplace(created.st_dev, top);
        batch.renames.push_back({top, destination, source, false, true, std::move(folders)});
        return manager.commitIfFull(handler);
    }

    // Folders are owner-only until their contents are in; their own attributes come at the
    // commit. The top folder already exists.
    bool copyFolderContents(const std::string& source, const struct stat& st,
                            const std::string& destination) {
        if (destination != freshTop && mkdir(destination.c_str(), 0700) != 0)
            return fail(source, destination, errno);
        mode_t mode = modeOf(st);
        if (manager._keepFoldersOpen && (mode & S_IRWXU) != S_IRWXU) {
            manager._restrictedFolders.emplace_back(
                freshDestination + destination.substr(freshTop.size()), mode);
            mode |= S_IRWXU;
        }
        // uid_t(-1) and gid_t(-1) leave the owner the folder was made with.
        const bool own = manager._copiesBecomeOwn;
        freshFolders->push_back({destination.substr(freshTop.size()), mode, st.st_mtim,
                                 own ? uid_t(-1) : st.st_uid, own ? gid_t(-1) : st.st_gid});

        FdCloser in{open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        FdCloser out{open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (in.fd >= 0 && out.fd >= 0 && !copyXattrs(in.fd, out.fd) &&
            !fail(source, destination, errno))
            return false;

        auto names = manager.directoryContentsAtPath(source);
        if (!names) return fail(source, destination, errno ? errno : EIO);
        for (const std::string& name : *names) {
            if (isTemporaryName(name)) continue;
            const std::string entry = stringByAppendingPathComponent(source, name);
            if (handler && !handler->fileManagerShouldCopyEntry(manager, entry)) continue;
            if (!copyItem(entry, stringByAppendingPathComponent(destination, name), false))
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

void removeTemporary(FileManager& manager, const PendingRename& r) {
    if (r.folder)
        manager.removeFileAtPath(r.temporary, nullptr);
    else
        unlink(r.temporary.c_str());
}

void removeTemporaries(FileManager& manager, std::vector<PendingRename>& renames, size_t from) {
    for (size_t i = from; i < renames.size(); ++i) removeTemporary(manager, renames[i]);
    renames.clear();
}

// A folder's times and mode don't touch its parent, so any order will do. They are set on the
// temporary tree, before it is flushed and named, so that a crash after the rename never leaves
// folders owner-only; a folder closed to its owner gets its mode once named, so that a tree
// whose rename failed can still be removed.
void applyFolderAttributes(const PendingRename& r, const std::string& base, bool closed) {
    for (const PendingFolder& f : r.folders) {
        if (((f.permissions & S_IRWXU) != S_IRWXU) != closed) continue;
        std::string path = base + f.path;
        if (geteuid() == 0 && lchown(path.c_str(), f.owner, f.group) != 0) {
            // best effort, as for files
        }
        chmod(path.c_str(), f.permissions);
        struct timespec times[2] = {{0, UTIME_OMIT}, f.modificationTime};
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

// Flushes every file system written, then gives each complete copy its real name.
bool flushAndRename(FileManager& manager, CopyBatch& batch, FileManagerHandler* handler) {
    bool ok = true;
    for (const PendingRename& r : batch.renames) applyFolderAttributes(r, r.temporary, false);
    for (const auto& [device, folder] : batch.fileSystems) {
        (void)device;
        if (syncFileSystemOf(folder)) continue;
        if (!reportError(manager, handler, folder, nullptr, errno)) {
            removeTemporaries(manager, batch.renames, 0);
            ok = false;
            break;
        }
    }
    for (size_t i = 0; i < batch.renames.size(); ++i) {
        const PendingRename& r = batch.renames[i];
        if (renameIntoPlace(r)) {
            applyFolderAttributes(r, r.destination, true);
            continue;
        }
        int err = errno;
        removeTemporary(manager, r);
        if (!reportError(manager, handler, r.source, &r.destination, err)) {
            removeTemporaries(manager, batch.renames, i + 1);
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
    if (_beforeCommit && !batch->renames.empty() && !_beforeCommit()) {
        removeTemporaries(*this, batch->renames, 0);
        return false;
    }
    return flushAndRename(*this, *batch, handler);
}

void FileManager::discardBatch() {
    if (!_batch) return;
    std::unique_ptr<CopyBatch> batch = std::move(_batch);
    _explicitBatch = false;
    removeTemporaries(*this, batch->renames, 0);
}

void FileManager::setBatchLimits(size_t maxFiles, uint64_t maxBytes) {
    _maxBatchFiles = maxFiles;
    _maxBatchBytes = maxBytes;
}

bool FileManager::commitIfFull(FileManagerHandler* handler) {
    if (_batch->renames.size() < _maxBatchFiles && _batch->bytes < _maxBatchBytes) return true;
    if (_beforeCommit && !_beforeCommit()) {
        removeTemporaries(*this, _batch->renames, 0);
        return false;
    }
    return flushAndRename(*this, *_batch, handler);
}

bool FileManager::finishImplicit(FileManagerHandler* handler, bool ok) {
    // What completed is kept, as a copy that stops half way keeps its earlier items.
    bool committed = commitBatch(handler);
    return ok && committed;
}

bool FileManager::copyItem(const std::string& source, const std::string& destination, bool replace,
                           FileManagerHandler* handler) {
    bool implicit = !_batch;
    if (implicit) _batch = std::make_unique<CopyBatch>();
    CopyContext context{*this, handler, *_batch};
    bool ok = context.copyItem(source, destination, replace);
    return implicit ? finishImplicit(handler, ok) : ok;
}

bool FileManager::copyPath(const std::string& source, const std::string& destination,
                           FileManagerHandler* handler) {
    return copyItem(source, destination, false, handler);
}

bool FileManager::replaceItemWithCopy(const std::string& source, const std::string& destination,
                                      FileManagerHandler* handler) {
    return copyItem(source, destination, true, handler);
}
