#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "PathUtilities.h"

// Paths are byte strings throughout: a file name that is not valid UTF-8 must survive.

enum class FileType {
    Regular,
    Directory,
    SymbolicLink,
    Fifo,
    Socket,
    CharacterSpecial,
    BlockSpecial
};

struct FileAttributes {
    FileType type = FileType::Regular;
    uint64_t size = 0;
    mode_t permissions = 0;          // the 07777 bits
    int64_t modificationTimeNs = 0;  // nanoseconds since the epoch
    uid_t owner = 0;
    gid_t group = 0;
    dev_t device = 0;  // the file system that holds the item
    ino_t inode = 0;

    bool isDirectory() const { return type == FileType::Directory; }
};

// What a caller may ask of a folder or file it creates; unset fields take the defaults.
struct CreationAttributes {
    std::optional<mode_t> permissions;
    std::optional<int64_t> modificationTimeNs;
};

class FileManager;

// The error handed to a handler: the item ("Path"), its destination where the operation has
// one ("ToPath") and the system's error text ("Error").
struct FileOperationError {
    std::string path;
    std::optional<std::string> toPath;
    QString error;
    int errnum = 0;
};

// The caller's handler, told about every item before it is handled and asked on each failure
// whether to go on. The defaults behave like no handler at all: nothing is said and every
// failure stops the operation.
class FileManagerHandler {
  public:
    virtual ~FileManagerHandler() = default;
    virtual void fileManagerWillProcessPath(FileManager& manager, const std::string& path);
    virtual bool fileManagerShouldProceedAfterError(FileManager& manager,
                                                    const FileOperationError& error);
    // A socket a copy met and left out: it holds no data, so this is no error.
    virtual void fileManagerSkippedSocket(FileManager& manager, const std::string& path);
    // Whether a folder copy takes this entry along; false leaves it out, as no error.
    virtual bool fileManagerShouldCopyEntry(FileManager& manager, const std::string& path);
};

// The error of a copy whose source was changed, replaced or removed while it was read: the
// copy is dropped.
inline constexpr int kSourceChangedError = 0x10000;

// Tells the handler of a failure (`errnum`) and returns its answer: true to go on. Without a
// handler the answer is false.
bool reportError(FileManager& manager, FileManagerHandler* handler, const std::string& path,
                 const std::string* toPath, int errnum);

// Name prefix of the files that copies write before they are complete. Such files are never
// synchronized or moved into place; cleaning up removes them.
inline constexpr const char kTemporaryPrefix[] = ".pellora-tmp-";
bool isTemporaryName(const std::string& name);

// A folder held open, so that its entries' attributes are read by name instead of walking the
// whole path again for each of them. A link at the folder itself is never followed: such a
// folder stays closed and the caller falls back to paths.
class OpenFolder {
  public:
    explicit OpenFolder(const std::string& path);
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    bool isOpen() const { return _fd >= 0; }
    // The entry `name` (one component, links not followed); none if it does not exist or the
    // folder is not open. On failure `error` (if given) holds the reason.
    std::optional<FileAttributes> attributesOfEntry(const std::string& name,
                                                    int* error = nullptr) const;

  private:
    int _fd = -1;
};

struct CopyBatch;

// The platform file manager. Copies are written under temporary names and only renamed to
// their real names when the batch is committed, after one syncfs of every file system written:
// no file ever holds partial contents under its real name. Outside an explicit batch
// (beginBatch) each copy or move commits itself before it returns. One manager per thread.
class FileManager {
  public:
    FileManager();
    ~FileManager();
    FileManager(const FileManager&) = delete;
    FileManager& operator=(const FileManager&) = delete;

    // On failure `error` (if given) holds the reason: only ENOENT and ENOTDIR mean absent.
    std::optional<FileAttributes> fileAttributesAtPath(const std::string& path, bool traverseLink,
                                                       int* error = nullptr) const;

    // One folder; fails if the parent is missing or anything exists at the path.
    bool createDirectoryAtPath(const std::string& path, const CreationAttributes* attributes);
    // Creates or replaces one file (atomically, durably); fails if the parent is missing.
    bool createFileAtPath(const std::string& path, const QByteArray& contents,
                          const CreationAttributes* attributes);

    // Names of a folder's entries, hidden ones included, without "." and "..", in the order
    // the file system lists them; none if the folder can't be read, with the reason in `error`.
    std::optional<std::vector<std::string>> directoryContentsAtPath(const std::string& path,
                                                                    int* error = nullptr) const;

    // Copies a file, link, FIFO or folder tree to where nothing exists yet, keeping contents,
    // holes, permissions, nanosecond modification times, extended attributes and links as
    // links. Sockets are left out (the handler hears of each); devices are errors.
    bool copyPath(const std::string& source, const std::string& destination,
                  FileManagerHandler* handler);
    // Renames, or across file systems copies durably and then removes the source.
    bool movePath(const std::string& source, const std::string& destination,
                  FileManagerHandler* handler);
    // Deletes a file, link or whole folder tree, never following links.
    bool removeFileAtPath(const std::string& path, FileManagerHandler* handler);

    // Removes every unfinished copy (an item with a temporary name) in the tree at `folder`,
    // never following links. Left behind by a crash, such items must not be carried on.
    bool removeTemporaryItemsBelow(const std::string& folder, FileManagerHandler* handler);
    // The same for the items of `folder` itself, not below it; a missing folder holds none.
    bool removeTemporaryItemsIn(const std::string& folder, FileManagerHandler* handler);

    // Copy the file (not folder) `source` over the existing non-folder `destination` by
    // renaming a complete copy over it: the old item stays whole until the rename.
    bool replaceItemWithCopy(const std::string& source, const std::string& destination,
                             FileManagerHandler* handler);
    // Move the non-folder `source` over the existing non-folder `destination`.
    bool replaceItemWithMove(const std::string& source, const std::string& destination,
                             FileManagerHandler* handler);

    // Batches: copies made between beginBatch and commitBatch stay under temporary names until
    // commitBatch flushes each file system once and renames them; discardBatch removes them.
    void beginBatch();
    bool commitBatch(FileManagerHandler* handler);
    void discardBatch();
    bool inBatch() const { return _explicitBatch; }

    // Auto-commit thresholds inside an explicit batch, to bound what a crash can cost.
    void setBatchLimits(size_t maxFiles, uint64_t maxBytes);

    // Run before each commit flushes and renames its copies, for what must be on the disk no
    // later than they are under their names. False fails the commit, which then keeps nothing.
    void setBeforeCommit(std::function<bool()> hook) { _beforeCommit = std::move(hook); }

    // For copies that are moved on later (staging): copied folders keep their owner's read,
    // write and search rights, so that what is in them can be moved out and removed. Each
    // folder whose own mode lacks some of them is noted (its path as copied, its mode) for the
    // caller to apply once the folder is where it belongs.
    void setKeepFoldersOpen(bool keep) { _keepFoldersOpen = keep; }
    std::vector<std::pair<std::string, mode_t>> takeRestrictedFolders() {
        return std::exchange(_restrictedFolders, {});
    }

    // Copies made while set come from a source we do not trust (a drive): they become the
    // running user's own files, without setuid or setgid bits.
    void setCopiesBecomeOwn(bool own) { _copiesBecomeOwn = own; }

  private:
    friend struct CopyContext;
    bool copyItem(const std::string& source, const std::string& destination, bool replace,
                  FileManagerHandler* handler);
    bool finishImplicit(FileManagerHandler* handler, bool ok);
    bool commitIfFull(FileManagerHandler* handler);

    std::unique_ptr<CopyBatch> _batch;
    bool _explicitBatch = false;
    bool _copiesBecomeOwn = false;
    size_t _maxBatchFiles = 20000;
    uint64_t _maxBatchBytes = uint64_t(2) << 30;
    std::function<bool()> _beforeCommit;
    bool _keepFoldersOpen = false;
    std::vector<std::pair<std::string, mode_t>> _restrictedFolders;
};

// Flushes the file system that holds `path` (syncfs): what was written there is on the disk.
bool syncFileSystemOf(const std::string& path);
