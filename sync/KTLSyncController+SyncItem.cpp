#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <cerrno>

#include "DisplayName.h"
#include "FileContents.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "OrvaneUtilities+FileManager.h"
#include "PathUtilities.h"

namespace {

const QString kPad = QStringLiteral("                ");

QString fileTypeName(FileType type) {
    switch (type) {
        case FileType::Regular:
            return QStringLiteral("NSFileTypeRegular");
        case FileType::Directory:
            return QStringLiteral("NSFileTypeDirectory");
        case FileType::SymbolicLink:
            return QStringLiteral("NSFileTypeSymbolicLink");
        case FileType::Fifo:
            return QStringLiteral("NSFileTypeUnknown");
        case FileType::Socket:
            return QStringLiteral("NSFileTypeSocket");
        case FileType::CharacterSpecial:
            return QStringLiteral("NSFileTypeCharacterSpecial");
        case FileType::BlockSpecial:
            return QStringLiteral("NSFileTypeBlockSpecial");
    }
    return QStringLiteral("NSFileTypeUnknown");
}

bool isAbsence(int error) {
    return error == ENOENT || error == ENOTDIR;
}

QString dateText(int64_t ns) {
    return QDateTime::fromMSecsSinceEpoch(ns / 1000000, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
}

// Nanoseconds of `ns` after `time`, wide enough for the distant past.
__int128 nanosecondsAfter(int64_t ns, const QDateTime& time) {
    return __int128(ns) - __int128(time.toMSecsSinceEpoch()) * 1000000;
}

}  // namespace

bool KTLSyncController::syncItemHoldsTheDrive(const std::string& item) const {
    const std::string mac = stringByStandardizingPath(macPathForItem(item));
    const std::string mountPoint = stringByStandardizingPath(deviceMountPoint());
    if (mac.empty() || mountPoint.empty()) return false;
    auto within = [](const std::string& inner, const std::string& outer) {
        if (outer == "/") return true;
        return inner == outer ||
               (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                inner[outer.size()] == '/');
    };
    return within(mountPoint, mac) || within(mac, mountPoint);
}

bool KTLSyncController::syncThreadAcceptsSyncItem(const QString& entry) {
    const std::string item = entry.toStdString();
    if (!isSafeSyncItem(item)) {
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("Skipping \"%@\": a sync-list entry must not be empty, contain "
                               "\".\" or \"..\" components or begin with \"~\" and a name."),
            entry));
        return false;
    }
    if (syncItemHoldsTheDrive(item)) {
        syncThreadLogMessage(KTLFormatWith(
            KTLLocalizedString("Skipping \"%1$@\": it is the drive \"%2$@\", holds it or lies on "
                               "it, so it cannot be synchronized with it."),
            entry, displayName()));
        return false;
    }
    return true;
}

KTLSyncController::RunRoots KTLSyncController::currentRoots() {
    if (_runRoots) return *_runRoots;
    return {pathForTaplineTarget(), pathForTaplineTemp(), pathForLocalTemp()};
}

bool KTLSyncController::copyOnto(const std::string& source, const std::string& destination,
                                 bool toDrive, const std::optional<FileAttributes>& decided) {
    // Below a vanished drive's mount point lies a folder of the computer's own disk.
    if (!syncThreadDriveIsPresent()) return false;
    (toDrive ? _wroteDrive : _wroteMac) = true;
    std::optional<StagingRecord>& record = toDrive ? _driveRecord : _macRecord;
    const RunRoots roots = currentRoots();
    const std::string& staging = toDrive ? roots.driveTemp : roots.localTemp;
    const std::string key =
        destination.size() > staging.size() ? destination.substr(staging.size() + 1) : destination;
    // Noted before the copy: a commit during it writes the record ahead of the copy's name.
    if (record) record->add(key, decided);
    FileManager& manager = fileManager();
    // Whoever prepared the drive must not plant setuid programs or other users' files here.
    manager.setCopiesBecomeOwn(!toDrive);
    const bool copied =
        OrvaneUtilities::copyPathOntoPath(manager, source, destination, &copyReporter());
    for (const auto& [path, mode] : manager.takeRestrictedFolders())
        if (record && path.compare(0, destination.size(), destination) == 0)
            record->addFolderMode(key, path.substr(destination.size()), mode);
    return copied;
}

int KTLSyncController::askMissing(const std::string& localPath) {
    // A remembered answer needs nobody: no trip through the main thread for each item.
    if (int remembered = defaultMissingResolutionAction()) return remembered;
    auto record = std::make_shared<KTLPromptRecord>();
    record->localPath = localPath;
    return syncThreadAsk(&KTLSyncController::mainThreadPromptWhenMissingMacPath, record);
}

int KTLSyncController::askConflict(const std::string& localPath, const std::string& drivePath,
                                   bool macIsNewer) {
    if (int remembered = defaultConflictResolutionAction()) return remembered;
    auto record = std::make_shared<KTLPromptRecord>();
    record->localPath = localPath;
    record->taplinePath = drivePath;
    record->whichIsNewerThan = macIsNewer;
    return syncThreadAsk(&KTLSyncController::mainThreadPromptWhenConflict, record);
}

bool KTLSyncController::syncThreadItemUnreadable(const std::string& path, int error) {
    copyReporter().incrementErrorCount();
    syncThreadLogMessage(
        KTLFormatWith(KTLLocalizedString("\"%1$@\" could not be read - %2$@; it was not "
                                         "synchronized."),
                      pathText(path), errorText(error)));
    return true;
}

void KTLSyncController::syncThreadSocketSkipped(const std::string& path) {
    syncThreadLogMessage(KTLFormatWith(
        KTLLocalizedString("\"%@\" is a socket, which holds no data; it was skipped."),
        pathText(path)));
}

KTLTreeNode* KTLSyncController::collectNode(KTLTreeNode* into, const std::string& nodeName) {
    return into ? into->appendChild(KTLTreeNode::make(nodeName)) : nullptr;
}

bool KTLSyncController::syncThreadSyncItem(const std::string& item) {
    return syncThreadSyncItem(item, nullptr);
}

bool KTLSyncController::syncThreadSyncItem(const std::string& item, const SyncItemParent* parent) {
    const std::string mac = macPathForItem(item);
    const RunRoots& roots = _runRoots ? *_runRoots : currentRoots();
    const std::string drive = stringByAppendingPathComponent(roots.target, item);
    // Staged places are made only for a copy: most items of a run need none.
    auto driveStaged = [&] { return stringByAppendingPathComponent(roots.driveTemp, item); };
    auto macStaged = [&] { return stringByAppendingPathComponent(roots.localTemp, item); };
    const bool debug = sDebug;
    // Callers test `debug` first, so that no line is built for nothing.
    auto say = [&](const QString& format, auto... args) {
        syncThreadLogMessage(KTLFormatWith(format, args...));
    };

    const std::string& baseName = parent ? parent->name : lastPathComponent(mac);
    // Below a folder that passed, an entry lies in staging only if it is the staging folder
    // itself: the name alone decides the others, without the path work for every file.
    const bool mayBeStaging = !parent || baseName == ".TL_VS_W";
    // Unfinished copies left by a crash are never carried to the other side.
    if (!shouldCopyItem(mayBeStaging ? std::optional(item) : std::nullopt, baseName) ||
        isTemporaryName(baseName)) {
        if (debug)
            say(QStringLiteral("-syncThreadSyncItem: skipping \"%@\" <--> \"%@\"."), pathText(mac),
                pathText(drive));
        // The tree leaves out by name only: a staging folder skipped here is in it.
        if (parent && parent->node && shouldCopyItem(std::nullopt, baseName) &&
            !isTemporaryName(baseName))
            _collectedTreeShort = true;
        return true;
    }
    // Where this item's node goes in the tree the run collects, if it collects one.
    KTLTreeNode* const into = parent ? parent->node : _collectedTree.get();
    auto nodeName = [&](bool isDirectory) {
        return createNodeName(parent ? parent->name : item, isDirectory);
    };
    if (debug)
        say(QStringLiteral("-syncThreadSyncItem: synchronizing \"%@\" with \"%@\"."), pathText(mac),
            pathText(drive));

    auto finish = [&](bool result) {
        if (debug)
            say(QStringLiteral(
                    "-syncThreadSyncItem: synchronizing \"%@\" with \"%@\" returning %s."),
                pathText(mac), pathText(drive),
                result ? QStringLiteral("YES") : QStringLiteral("NO"));
        return result;
    };
    if (cancelPending()) return finish(false);

    FileManager& manager = fileManager();
    // Below the top, entries are read by name in their open folders: most of a stat by path
    // is walking the path again.
    auto attributesOf = [&](const OpenFolder* folder, const std::string& path, int* error) {
        return folder && folder->isOpen() ? folder->attributesOfEntry(parent->name, error)
                                          : manager.fileAttributesAtPath(path, false, error);
    };
    int macError = 0, driveError = 0;
    const std::optional<FileAttributes> macAttributes =
        attributesOf(parent ? &parent->mac : nullptr, mac, &macError);
    const std::optional<FileAttributes> driveAttributes =
        attributesOf(parent ? &parent->drive : nullptr, drive, &driveError);
    // Only "no such file" is absence: an item we could not look at is neither copied nor
    // offered as missing on the other side.
    if (!macAttributes && !isAbsence(macError))
        return finish(syncThreadItemUnreadable(mac, macError));
    if (!driveAttributes && !isAbsence(driveError))
        return finish(syncThreadItemUnreadable(drive, driveError));

    if (macAttributes && !driveAttributes) {
        if (debug)
            say(QStringLiteral("-syncThreadSyncItem: item missing on Tapline\\U2122 - copying "
                               "\"%@\" -> \"%@\""),
                pathText(mac), pathText(driveStaged()));
        if (into && macAttributes->isDirectory()) {
            // Copied whole: its names come from a walk of its own.
            const std::string name = nodeName(true);
            if (KTLItemTree subtree = buildTreeAtPath(item, &name))
                into->appendChild(std::move(subtree));
            else
                _collectedTreeShort = true;
        } else {
            collectNode(into, nodeName(false));
        }
        return finish(copyOnto(mac, driveStaged(), true, driveAttributes));
    }
    if (!macAttributes && driveAttributes) {
        if (debug)
            say(QStringLiteral("-syncThreadSyncItem: \"%@\" is on the Tapline\\U2122, \"%@\" is "
                               "missing on the Mac\\U00AE"),
                pathText(drive), pathText(mac));
        const int answer = askMissing(mac);
        if (answer == 0) return finish(false);
        if (answer == -1) {
            if (debug) say(QStringLiteral("-syncThreadSyncItem: skipping item"));
            return finish(false);
        }
        if (debug)
            say(QStringLiteral(
                    "-syncThreadSyncItem: item missing on Mac\\U00AE - copying \"%@\" -> \"%@\""),
                pathText(drive), pathText(macStaged()));
        if (into && driveAttributes->isDirectory()) _collectedTreeShort = true;
        if (into && !driveAttributes->isDirectory()) collectNode(into, nodeName(false));
        return finish(copyOnto(drive, macStaged(), false, macAttributes));
    }
    if (!macAttributes && !driveAttributes) {
        if (debug)
            say(QStringLiteral(
                    "-syncThreadSyncItem: unable to sync \"%@\" with \"%@\" because it does "
                    "not exist on either the Mac\\U00AE or the Tapline\\U2122."),
                pathText(mac), pathText(drive));
        return finish(true);
    }

    if (macAttributes->isDirectory() != driveAttributes->isDirectory()) {
        if (debug)
            say(kPad + QStringLiteral(": Mac\\U00AE file type         : %@"),
                fileTypeName(macAttributes->type));
        if (debug)
            say(kPad + QStringLiteral(": Tapline\\U2122 file type    : %@"),
                fileTypeName(driveAttributes->type));
        if (debug) say(kPad + QStringLiteral(": skipping because file types do not match."));
        // The run fails for this; without a line saying why, the log the user is sent to would
        // hold nothing about it.
        say(KTLLocalizedString("\"%1$@\" is a folder on one side and not on the other (\"%2$@\"); "
                               "it was not synchronized."),
            pathText(mac), pathText(drive));
        return finish(false);
    }

    if (macAttributes->isDirectory()) {
        if (debug) say(QStringLiteral("-syncThreadSyncItem: items are directories - recursing"));
        int listError = 0;
        std::optional<std::vector<std::string>> macListing =
            manager.directoryContentsAtPath(mac, &listError);
        // An unlisted folder is not an empty one: its drive entries are not offered as missing.
        if (!macListing) return finish(syncThreadItemUnreadable(mac, listError));
        std::vector<std::string> macNames = std::move(*macListing);
        // Two descriptors a level; deeper trees go on by path.
        constexpr int kMaxOpenDepth = 32;
        const int depth = parent ? parent->depth + 1 : 0;
        const bool hold = depth < kMaxOpenDepth && !macNames.empty();
        const OpenFolder macFolder(hold ? mac : std::string());
        const OpenFolder driveFolder(hold ? drive : std::string());
        KTLTreeNode* const node = collectNode(into, nodeName(true));
        for (const std::string& name : macNames) {
            const SyncItemParent entry{macFolder, driveFolder, name, depth, node};
            if (!syncThreadSyncItem(stringByAppendingPathComponent(item, name), &entry))
                return finish(false);
        }
        // What the Mac listed exists there; only the other names need a look of their own.
        std::sort(macNames.begin(), macNames.end());
        if (debug)
            say(QStringLiteral(
                "-syncThreadSyncItem: items are directories - back from recursion now "
                "checking for missing files"));
        const std::optional<std::vector<std::string>> driveNames =
            manager.directoryContentsAtPath(drive, &listError);
        if (!driveNames) return finish(syncThreadItemUnreadable(drive, listError));
        for (const std::string& name : *driveNames) {
            if (isTemporaryName(name)) {
                // Copies on the drive get temporary names only in a continuous-sync pass; one
                // left here is from a pass that was cut off, never carried on, so it goes.
                manager.removeFileAtPath(stringByAppendingPathComponent(drive, name), nullptr);
                continue;
            }
            if (cancelPending()) return finish(false);
            if (std::binary_search(macNames.begin(), macNames.end(), name)) continue;
            const std::string driveEntry = stringByAppendingPathComponent(drive, name);
            const std::string macEntry = stringByAppendingPathComponent(mac, name);
            int entryError = 0;
            if (manager.fileAttributesAtPath(macEntry, false, &entryError)) continue;
            if (!isAbsence(entryError)) {
                syncThreadItemUnreadable(macEntry, entryError);
                continue;
            }
            if (debug)
                say(QStringLiteral(
                        "-syncThreadSyncItem: \"%@\" is on the Tapline\\U2122, \"%@\" is "
                        "missing on the Mac\\U00AE"),
                    pathText(driveEntry), pathText(macEntry));
            const int answer = askMissing(macEntry);
            if (answer == 0) return finish(true);
            if (answer == -1) {
                if (debug) say(QStringLiteral("-syncThreadSyncItem: skipping item"));
                continue;
            }
            const std::string macStagedEntry = stringByAppendingPathComponent(
                stringByAppendingPathComponent(roots.localTemp, item), name);
            if (debug)
                say(QStringLiteral("-syncThreadSyncItem: copying %@ -> %@"), pathText(driveEntry),
                    pathText(macStagedEntry));
            if (!copyOnto(driveEntry, macStagedEntry, false, std::nullopt)) return finish(false);
            if (node) {
                const auto fetched = manager.fileAttributesAtPath(driveEntry, false);
                if (!fetched || fetched->isDirectory())
                    _collectedTreeShort = true;
                else
                    collectNode(node, name);
            }
        }
        return finish(true);
    }

    // Two files (or links): the dates decide.
    collectNode(into, nodeName(false));
    const int64_t m = macAttributes->modificationTimeNs;
    const int64_t d = driveAttributes->modificationTimeNs;
    const QDateTime last = lastSyncTime();
    if (debug) say(kPad + QStringLiteral(": Mac\\U00AE mod date: %@"), dateText(m));
    if (debug) say(kPad + QStringLiteral(": Tapline\\U2122    : %@"), dateText(d));
    if (debug)
        say(kPad + QStringLiteral(": lastSyncTime : %@"),
            last.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000")));
    if (nanosecondsAfter(m, last) <= 0 && nanosecondsAfter(d, last) <= 0) return finish(true);
    const int64_t deltaNs = m - d;
    // Within one step of the coarser file system, the two dates are the same date.
    const __int128 gapNs = deltaNs < 0 ? -__int128(deltaNs) : __int128(deltaNs);
    if (gapNs < _runDatePrecisionNs) return finish(true);
    if (debug)
        say(kPad + QStringLiteral(": modDelta    : %f"),
            QString::number(double(deltaNs) / 1e9, 'f', 6));

    const int answer = askConflict(mac, drive, deltaNs > 0);
    switch (answer) {
        case 0:
            return finish(false);
        case 1:
            if (debug) say(QStringLiteral("-syncThreadSyncItem: newer item selected"));
            break;
        case -1:
            if (debug) say(QStringLiteral("-syncThreadSyncItem: older item selected"));
            break;
        case 2:
            if (debug) say(QStringLiteral("-syncThreadSyncItem: newer source selected"));
            break;
        case -2:
            if (debug) say(QStringLiteral("-syncThreadSyncItem: older source selected"));
            break;
        default:
            break;
    }
    const bool keepNewer = answer == 1 || answer == 2;
    const bool keepOlder = answer == -1 || answer == -2;
    const bool macWins = (keepNewer && deltaNs > 0) || (keepOlder && deltaNs < 0);
    const std::string& source = macWins ? mac : drive;
    const std::string destination = macWins ? driveStaged() : macStaged();
    if (debug)
        say(QStringLiteral("-syncThreadSyncItem: copying %@ -> %@"), pathText(source),
            pathText(destination));
    return finish(
        copyOnto(source, destination, macWins, macWins ? driveAttributes : macAttributes));
}
