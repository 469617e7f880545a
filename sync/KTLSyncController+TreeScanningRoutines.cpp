#include <dirent.h>
#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unordered_set>

#include "FileManager.h"
#include "KTLSyncController.h"
#include "PathUtilities.h"

namespace {

constexpr int kWalkOptions = FTS_NOCHDIR | FTS_PHYSICAL;
// Building needs names and which of them are folders, not times: the folder listing's own
// entry types say that, so files cost no stat.
constexpr int kBuildOptions = kWalkOptions | FTS_NOSTAT;

// A name met while walking takes part unless the filter rejects it or it is an unfinished copy.
bool acceptsName(const std::string& name) {
    return KTLSyncController::shouldCopyItem(std::nullopt, name) && !isTemporaryName(name);
}

// The same for a sync-list entry, which is never scanned when it is unsafe.
bool acceptsItem(const std::string& item) {
    return KTLSyncController::isSafeSyncItem(item) && KTLSyncController::shouldCopyItem(item) &&
           !isTemporaryName(lastPathComponent(item));
}

bool laterThan(int64_t seconds, int32_t since) {
    return seconds > int64_t(since);
}

FTS* openWalk(const std::string& path, int options = kWalkOptions) {
    std::string copy = path;
    char* argv[] = {copy.data(), nullptr};
    // fts keeps its own copy of the path.
    return fts_open(argv, options, nullptr);
}

// The names of a folder's children as they were before a rescan. A name seen again is struck
// off by binary search; striking marks instead of erasing, so each removal stays O(log n).
class OldNames {
  public:
    explicit OldNames(std::vector<std::string> names)
        : _names(std::move(names)), _gone(_names.size(), true) {}

    // Removes one occurrence of `name` from a list sorted in byte order.
    void remove(const std::string& name) {
        ptrdiff_t low = -1, high = ptrdiff_t(_names.size());
        while (high - low > 1) {
            const ptrdiff_t mid = (low + high) / 2;
            const int order = _names[mid].compare(name);
            if (order == 0) {
                _gone[mid] = false;
                return;
            }
            if (order > 0)
                high = mid;
            else
                low = mid;
        }
    }

    template <typename F>
    void forEachRemaining(F&& f) const {
        for (size_t i = 0; i < _names.size(); ++i)
            if (_gone[i]) f(_names[i]);
    }

  private:
    std::vector<std::string> _names;
    std::vector<bool> _gone;
};

// One folder's entry as a pass needs it.
struct ListedEntry {
    std::string name;
    int error = 0;  // why its status could not be read
    bool isDirectory = false;
    int64_t modified = 0;  // seconds
};

// Lists a folder and reads each entry's status by name in the open folder: a stat by the whole
// path walks the path again for every entry, which was most of a pass's time. The folder is
// closed before its entries are looked at further, so a deep tree holds no descriptors. False,
// with `error`, when the folder could not be listed whole.
bool listFolder(const std::string& path, std::vector<ListedEntry>& entries, int& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* folder = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!folder) {
        error = errno;
        if (fd >= 0) close(fd);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* found = readdir(folder);
        if (!found) {
            error = errno;
            break;
        }
        const char* name = found->d_name;
        if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
        ListedEntry& entry = entries.emplace_back();
        entry.name = name;
        struct stat st;
        if (fstatat(dirfd(folder), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.error = errno;
            continue;
        }
        entry.isDirectory = S_ISDIR(st.st_mode);
        entry.modified = st.st_mtim.tv_sec;
    }
    closedir(folder);
    return error == 0;
}

}  // namespace

std::string KTLSyncController::createNodeName(const std::string& name, bool isDirectory) {
    return isDirectory ? name + "/" : name;
}

bool KTLSyncController::nodeIsDirectory(const KTLTreeNode* node) {
    if (!node || !node->name()) return false;
    const std::string_view name = *node->name();
    return !name.empty() && name.back() == '/';
}

KTLTreeNode* KTLSyncController::findChildNamed(const std::string& name, const KTLTreeNode* parent) {
    if (!parent) return nullptr;
    ptrdiff_t low = -1, high = ptrdiff_t(parent->childCount());
    while (high - low >= 2) {
        const ptrdiff_t mid = (low + high) / 2;
        KTLTreeNode* child = parent->childAtIndex(size_t(mid));
        // A child without a name sorts first, so it is "less" than any name.
        const int order = child->name() ? child->name()->compare(name) : -1;
        if (order == 0) return child;
        if (order > 0)
            high = mid;
        else
            low = mid;
    }
    return nullptr;
}

std::vector<std::string> KTLSyncController::contentsOfNode(const KTLTreeNode* node) {
    std::vector<std::string> names;
    if (!node) return names;
    names.reserve(node->childCount());
    for (const auto& child : node->children())
        if (child->name()) names.emplace_back(*child->name());
    return names;
}

std::optional<std::string> KTLSyncController::buildPathForNode(const KTLTreeNode* node) {
    if (!node) return std::nullopt;
    if (!node->name()) return std::string();
    std::string parentPath;
    if (KTLTreeNode* parent = node->parent()) parentPath = *buildPathForNode(parent);
    return stringByAppendingPathComponent(parentPath, std::string(*node->name()));
}

std::vector<std::string> KTLSyncController::scannedItems() {
    std::vector<std::string> items;
    for (const QString& entry : syncItemList()) {
        std::string item = entry.toStdString();
        if (acceptsItem(item) && !syncItemHoldsTheDrive(item)) items.push_back(std::move(item));
    }
    // An entry listed twice, or inside another, gets no node of its own: each file is copied
    // once a pass.
    return withoutCoveredItems(items);
}

KTLItemTree KTLSyncController::buildItemTreeUsingFTS() {
    auto root = KTLTreeNode::makeRoot();
    for (const std::string& item : scannedItems()) {
        if (KTLItemTree subtree = buildTreeAtPath(item)) root->appendChild(std::move(subtree));
    }
    root->sortChildren();
    if (sDebug) CFTreeShow(root.get());
    return root;
}

KTLItemTree KTLSyncController::buildTreeAtPath(const std::string& path,
                                               const std::string* topName) {
    if (!isSafeSyncItem(path)) return nullptr;
    FTS* walk = openWalk(macPathForItem(path), kBuildOptions);
    if (!walk) return nullptr;

    KTLItemTree top;
    // A folder's entry carries its node in fts_pointer until its post-order visit.
    while (FTSENT* entry = fts_read(walk)) {
        auto* own = static_cast<KTLTreeNode*>(entry->fts_pointer);
        switch (entry->fts_info) {
            case FTS_DC:
            case FTS_DNR:
            case FTS_ERR:
            case FTS_NS:
                // A folder that could not be read arrives here after its pre-order visit:
                // drop the node made then, so unreadable folders are left out.
                if (own) {
                    entry->fts_pointer = nullptr;
                    if (own == top.get())
                        top.reset();
                    else if (own->parent())
                        own->parent()->removeChild(own);
                }
                continue;
            case FTS_DP:
                if (own) own->sortChildren();
                continue;
            default:
                break;
        }

        const bool isDirectory = entry->fts_info == FTS_D;
        entry->fts_pointer = nullptr;
        // The starting point's fts_name is the whole path; the filter judges its last component.
        const std::string name = entry->fts_level == FTS_ROOTLEVEL
                                     ? lastPathComponent(std::string(entry->fts_path))
                                     : std::string(entry->fts_name, entry->fts_namelen);
        if (!acceptsName(name)) {
            fts_set(walk, entry, FTS_SKIP);
            continue;
        }

        KTLTreeNode* node;
        if (entry->fts_level == FTS_ROOTLEVEL) {
            top = KTLTreeNode::make(topName ? *topName : createNodeName(path, isDirectory));
            node = top.get();
        } else {
            auto* parent = static_cast<KTLTreeNode*>(entry->fts_parent->fts_pointer);
            if (!parent) {
                if (isDirectory) fts_set(walk, entry, FTS_SKIP);
                continue;
            }
            node = parent->appendChild(KTLTreeNode::make(createNodeName(name, isDirectory)));
        }
        if (isDirectory) entry->fts_pointer = node;
    }
    fts_close(walk);
    return top;
}

void KTLSyncController::updateItemTreeReturningItemsChanged(std::vector<std::string>& changed,
                                                            int32_t since,
                                                            std::vector<std::string>& added,
                                                            std::vector<std::string>& deleted) {
    KTLTreeNode* root = itemInventory();
    if (!root) return;

    // Top-level nodes that go and come are taken out and put in together after the loop, so
    // a long list costs no more than sorting it; until then the lookups see the old root. An
    // entry listed twice is looked at once.
    std::vector<const KTLTreeNode*> gone;
    std::vector<KTLItemTree> fresh;
    auto remove = [&](const KTLTreeNode* node, const std::string& item) {
        gone.push_back(node);
        deleted.push_back(item);
    };

    for (const std::string& item : scannedItems()) {
        // Not followed, like the walk: a link to a folder is a file here as in the tree.
        struct stat st;
        if (lstat(macPathForItem(item).c_str(), &st) != 0) {
            // Only an item that is not there is gone; one we could not look at stays.
            if (errno != ENOENT && errno != ENOTDIR) {
                syncThreadItemUnreadable(macPathForItem(item), errno);
                continue;
            }
            KTLTreeNode* old = findChildNamed(createNodeName(item, true), root);
            if (!old) old = findChildNamed(item, root);
            if (old) remove(old, item);
            continue;
        }

        const bool isDirectory = S_ISDIR(st.st_mode);
        KTLTreeNode* node = findChildNamed(createNodeName(item, isDirectory), root);
        if (!node) {
            // The node of the old type goes too, so that the item, once gone, is reported
            // deleted only once.
            if (KTLTreeNode* old = findChildNamed(createNodeName(item, !isDirectory), root))
                remove(old, item);
            added.push_back(item);
            if (KTLItemTree subtree = buildTreeAtPath(item)) fresh.push_back(std::move(subtree));
        } else if (isDirectory) {
            rescanDirectory(item, node, laterThan(st.st_mtim.tv_sec, since), changed, since, added,
                            deleted);
        } else if (laterThan(st.st_mtim.tv_sec, since)) {
            changed.push_back(item);
        }
    }
    root->removeChildren(std::move(gone));
    root->mergeChildren(std::move(fresh));
    if (sDebug) CFTreeShow(root);
}

void KTLSyncController::rescanDirectory(const std::string& path, KTLTreeNode* node,
                                        bool lookForDeltas, std::vector<std::string>& changed,
                                        int32_t since, std::vector<std::string>& added,
                                        std::vector<std::string>& deleted) {
    if (!node || !isSafeSyncItem(path)) return;
    std::optional<OldNames> oldNames;
    if (lookForDeltas) oldNames.emplace(contentsOfNode(node));

    std::vector<ListedEntry> entries;
    int error = 0;
    const bool listed = listFolder(macPathForItem(path), entries, error);
    // Gone or no longer a folder: the parent's listing says so at the next pass.
    if (!listed && error != ENOENT && error != ENOTDIR && error != ELOOP)
        syncThreadItemUnreadable(macPathForItem(path), error);

    // New entries wait here and join the folder's node together after the walk, sorted once
    // and merged: the same order as sorting after each insertion, without its cost for a folder
    // that gained many entries, and the lookups during the walk see an unchanged node.
    std::vector<KTLItemTree> newNodes;
    for (const ListedEntry& entry : entries) {
        const std::string& name = entry.name;
        if (entry.error) {
            // An entry whose status could not be read is not gone.
            if (entry.error != ENOENT && entry.error != ENOTDIR) {
                if (oldNames) {
                    oldNames->remove(name);
                    oldNames->remove(createNodeName(name, true));
                }
                syncThreadItemUnreadable(macPathForItem(stringByAppendingPathComponent(path, name)),
                                         entry.error);
            }
            continue;
        }
        if (!acceptsName(name)) continue;
        const bool isDirectory = entry.isDirectory;
        std::string nodeName = createNodeName(name, isDirectory);
        // Only folders, changes and additions need the path: most entries of a pass need none.
        auto entryPath = [&] { return stringByAppendingPathComponent(path, name); };

        if (KTLTreeNode* child = findChildNamed(nodeName, node)) {
            if (oldNames) oldNames->remove(nodeName);
            const bool later = laterThan(entry.modified, since);
            if (isDirectory)
                rescanDirectory(entryPath(), child, later, changed, since, added, deleted);
            else if (later)
                changed.push_back(entryPath());
            continue;
        }

        // A new folder that cannot be read gets no node but is still reported, as a new
        // top-level item is: the copy's failure is then logged.
        KTLItemTree fresh =
            isDirectory ? buildTreeAtPath(entryPath(), &nodeName) : KTLTreeNode::make(nodeName);
        if (fresh) newNodes.push_back(std::move(fresh));
        added.push_back(entryPath());
    }

    // A folder that could not be listed says nothing about what is gone from it.
    if (oldNames && listed) {
        std::vector<const KTLTreeNode*> goneNodes;
        oldNames->forEachRemaining([&](const std::string& name) {
            goneNodes.push_back(findChildNamed(name, node));
            std::string bare = name;
            if (!bare.empty() && bare.back() == '/') bare.pop_back();
            deleted.push_back(stringByAppendingPathComponent(path, bare));
        });
        node->removeChildren(std::move(goneNodes));
    }
    node->mergeChildren(std::move(newNodes));
}
