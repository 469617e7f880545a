#include "OrvaneUtilities+FileManager.h"

#include <cerrno>

namespace OrvaneUtilities {

namespace {

// A folder meeting a non-folder: nothing changes; the handler's answer decides.
bool typeMismatch(FileManager& manager, const std::string& source, const std::string& destination,
                  FileManagerHandler* handler) {
    return reportError(manager, handler, source, &destination, EISDIR);
}

// Copies made by one call join one batch, so a whole tree costs one flush.
template <typename Operation>
bool inBatch(FileManager& manager, FileManagerHandler* handler, Operation operation) {
    if (manager.inBatch()) return operation();
    manager.beginBatch();
    bool ok = operation();
    bool committed = manager.commitBatch(handler);
    return ok && committed;
}

template <typename Onto>
bool mergeFolders(FileManager& manager, const std::string& source, const std::string& destination,
                  Onto onto) {
    auto names = manager.directoryContentsAtPath(source);
    if (!names) return true;
    for (const std::string& name : *names) {
        // Unfinished copies are never carried into place.
        if (isTemporaryName(name)) continue;
        if (!onto(stringByAppendingPathComponent(source, name),
                  stringByAppendingPathComponent(destination, name)))
            return false;
    }
    return true;
}

bool copyOnto(FileManager& manager, const std::string& source, const std::string& destination,
              FileManagerHandler* handler) {
    auto sourceAttributes = manager.fileAttributesAtPath(source, false);
    if (!sourceAttributes) return false;
    auto destinationAttributes = manager.fileAttributesAtPath(destination, false);
    auto onto = [&](const std::string& s, const std::string& d) {
        return copyOnto(manager, s, d, handler);
    };

    if (!destinationAttributes) {
        // Nothing there yet: the whole item is copied as it is, folders with their own
        // permissions and times (a private folder must stay private), and a folder tree is
        // written as one temporary tree that gets its name in one step.
        std::string parent = stringByDeletingLastPathComponent(destination);
        if (parent.empty()) return false;
        errno = 0;
        if (!createDirectoryAtPath(manager, parent, nullptr, true))
            return reportError(manager, handler, source, &destination, errno ? errno : ENOTDIR);
        return manager.copyPath(source, destination, handler);
    }
    if (sourceAttributes->isDirectory() != destinationAttributes->isDirectory())
        return typeMismatch(manager, source, destination, handler);
    if (sourceAttributes->isDirectory()) return mergeFolders(manager, source, destination, onto);
    // A complete copy is renamed over the old file; the old one is never removed first.
    return manager.replaceItemWithCopy(source, destination, handler);
}

bool moveOnto(FileManager& manager, const std::string& source, const std::string& destination,
              FileManagerHandler* handler) {
    auto sourceAttributes = manager.fileAttributesAtPath(source, false);
    if (!sourceAttributes) return false;
    auto destinationAttributes = manager.fileAttributesAtPath(destination, false);

    if (!destinationAttributes) {
        std::string parent = stringByDeletingLastPathComponent(destination);
        if (!parent.empty()) createDirectoryAtPath(manager, parent, nullptr, true);
        return manager.movePath(source, destination, handler);
    }
    if (sourceAttributes->isDirectory() != destinationAttributes->isDirectory())
        return typeMismatch(manager, source, destination, handler);
    if (sourceAttributes->isDirectory())
        return mergeFolders(manager, source, destination,
                            [&](const std::string& s, const std::string& d) {
                                return moveOnto(manager, s, d, handler);
                            });
    return manager.replaceItemWithMove(source, destination, handler);
}

}  // namespace

bool createFileAtPath(FileManager& manager, const std::string& path, const QByteArray& contents,
                      const CreationAttributes* attributes, bool createPathElements) {
    if (manager.createFileAtPath(path, contents, attributes)) return true;
    if (!createDirectoryAtPath(manager, stringByDeletingLastPathComponent(path), attributes,
                               createPathElements))
        return false;
    return manager.createFileAtPath(path, contents, attributes);
}

bool createDirectoryAtPath(FileManager& manager, const std::string& path,
                           const CreationAttributes* attributes, bool recurse) {
    std::string standardized = stringByStandardizingPath(path);
    if (standardized.empty()) return false;
    std::string parent = stringByDeletingLastPathComponent(standardized);
    if (recurse && !parent.empty()) {
        auto parentAttributes = manager.fileAttributesAtPath(parent, true);
        if (parentAttributes) {
            if (!parentAttributes->isDirectory()) return false;
        } else if (!manager.createDirectoryAtPath(parent, attributes) &&
                   !createDirectoryAtPath(manager, parent, attributes, true)) {
            return false;
        }
    }
    if (auto existing = manager.fileAttributesAtPath(standardized, true))
        return existing->isDirectory();
    return manager.createDirectoryAtPath(standardized, attributes);
}

bool copyPathToPath(FileManager& manager, const std::string& source, const std::string& toPath,
                    bool recurse, FileManagerHandler* handler) {
    std::string parent = stringByDeletingLastPathComponent(toPath);
    if (recurse && !parent.empty()) createDirectoryAtPath(manager, parent, nullptr, true);
    return manager.copyPath(source, toPath, handler);
}

bool copyPathOntoPath(FileManager& manager, const std::string& source, const std::string& ontoPath,
                      FileManagerHandler* handler) {
    return inBatch(manager, handler, [&] { return copyOnto(manager, source, ontoPath, handler); });
}

bool movePathOntoPath(FileManager& manager, const std::string& source, const std::string& ontoPath,
                      FileManagerHandler* handler) {
    return moveOnto(manager, source, ontoPath, handler);
}

}  // namespace OrvaneUtilities
