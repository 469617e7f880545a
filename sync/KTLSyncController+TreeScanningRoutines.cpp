#include <fts.h>
#include <sys/stat.h>

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

bool laterThan(const struct stat& st, int32_t since) {
    return int64_t(st.st_mtim.tv_sec) > int64_t(since);
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
            rescanDirectory(item, node, laterThan(st, since), changed, since, added, deleted);
        } else if (laterThan(st, since)) {
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

    FTS* walk = openWalk(macPathForItem(path));
    if (!walk) return;

    // New entries wait here and join the folder's node together after the walk, sorted once
    // and merged: the same order as sorting after each insertion, without its cost for a folder
    // that gained many entries, and the lookups during the walk see an unchanged node.
    std::vector<KTLItemTree> newNodes;
    bool listed = false;
    while (FTSENT* entry = fts_read(walk)) {
        if (entry->fts_level == FTS_ROOTLEVEL) {
            // An unreadable folder comes back as FTS_DNR or FTS_ERR after its pre-order visit.
            if (entry->fts_info == FTS_D) {
                listed = true;
            } else if (entry->fts_info != FTS_DP) {
                listed = false;
                if (entry->fts_errno != ENOENT && entry->fts_errno != ENOTDIR)
                    syncThreadItemUnreadable(macPathForItem(path), entry->fts_errno);
            }
            continue;
        }
        switch (entry->fts_info) {
            case FTS_NS:
                // An entry whose status could not be read is not gone.
                if (entry->fts_errno != ENOENT && entry->fts_errno != ENOTDIR) {
                    const std::string name(entry->fts_name, entry->fts_namelen);
                    if (oldNames) {
                        oldNames->remove(name);
                        oldNames->remove(createNodeName(name, true));
                    }
                    syncThreadItemUnreadable(
                        macPathForItem(stringByAppendingPathComponent(path, name)),
                        entry->fts_errno);
                }
                continue;
            case FTS_DC:
            case FTS_DNR:
            case FTS_DP:
            case FTS_ERR:
                continue;
            default:
                break;
        }
        const bool isDirectory = entry->fts_info == FTS_D;
        if (isDirectory) fts_set(walk, entry, FTS_SKIP);

        const std::string name(entry->fts_name, entry->fts_namelen);
        if (!acceptsName(name)) continue;
        std::string nodeName = createNodeName(name, isDirectory);
        // Only folders, changes and additions need the path: most entries of a pass need none.
        auto entryPath = [&] { return stringByAppendingPathComponent(path, name); };

        if (KTLTreeNode* child = findChildNamed(nodeName, node)) {
            if (oldNames) oldNames->remove(nodeName);
            if (isDirectory) {
                const bool later = laterThan(*entry->fts_statp, since);
                rescanDirectory(entryPath(), child, later, changed, since, added, deleted);
            } else if (laterThan(*entry->fts_statp, since)) {
                changed.push_back(entryPath());
            }
            continue;
        }

        // A new folder that cannot be read gets no node but is still reported, as a new
        // top-level item is: the copy's failure is then logged.
        KTLItemTree fresh =
            isDirectory ? buildTreeAtPath(entryPath(), &nodeName) : KTLTreeNode::make(nodeName);
        if (fresh) newNodes.push_back(std::move(fresh));
        added.push_back(entryPath());
    }
    fts_close(walk);

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
