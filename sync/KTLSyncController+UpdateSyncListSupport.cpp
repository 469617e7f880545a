#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "FolderChain.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "MainThread.h"
#include "NestedItems.h"
#include "PathUtilities.h"
#include "Trash.h"

namespace {

// A list as the debug lines show it: one entry a line between parentheses, quoted unless it
// is a plain word.
QString listDescription(const QStringList& list) {
    if (list.isEmpty()) return QStringLiteral("(\n)");
    QStringList lines;
    for (const QString& entry : list) {
        bool plain = !entry.isEmpty();
        for (QChar c : entry)
            if (!c.isLetterOrNumber() && c != u'_') plain = false;
        QString quoted = entry;
        quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        lines << QStringLiteral("    ") + (plain ? entry : u'"' + quoted + u'"');
    }
    return QStringLiteral("(\n") + lines.join(QStringLiteral(",\n")) + QStringLiteral("\n)");
}

// Removing an entry's stored copy must stay inside the sync folder and off the staging
// folders: an entry with nothing but slashes names the sync folder itself, and one under
// "TL_VS_W" names the staging of some computer's run.
bool storedCopyIsRemovable(const std::string& item) {
    std::vector<std::string> components = parentPathComponents(item + "/x");
    return !components.empty() && components.front() != "TL_VS_W";
}

}  // namespace

void KTLSyncController::threadDoSyncListUpdate(const QStringList& newList) {
    // The configuration read before anything changes: an unreadable one is never replaced by
    // a list update, whose old list would be unknown.
    const bool configLoaded = deviceConfigLoaded();
    const QStringList oldList = syncItemList();
    sDebug = debugPreference();
    if (sDebug) {
        syncThreadLogMessage(
            KTLFormatWith(QStringLiteral("-setSyncItemList: existing sync list\n%@\n"),
                          listDescription(oldList)));
        syncThreadLogMessage(KTLFormatWith(QStringLiteral("-setSyncItemList: new sync list\n%@\n"),
                                           listDescription(newList)));
    }
    updateListThreadBasicSetup();

    const QStringList killList = updateListThreadKillListGivenOldSyncList(oldList, newList);
    if (sDebug)
        syncThreadLogMessage(KTLFormatWith(
            QStringLiteral("-setSyncItemList: going to delete\n%@\n"), listDescription(killList)));
    updateListThreadProcessKillList(killList, newList);

    bool written = false;
    if (configLoaded) {
        setSyncItemList(newList);
        written = writeConfigFile();
    }
    if (!written) fputs("config file was NOT updated\n", stderr);
    updateListThreadReportResults(written);

    rebuildItemTreeIfContinuous();
}

void KTLSyncController::updateListThreadBasicSetup() {
    sDebug = debugPreference();
    mainThreadUpdateUIMessageField(
        KTLFormatWith(KTLLocalizedString("Updating sync list for \"%1$@\"..."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForUpdateSyncList(); });
}

void KTLSyncController::mainThreadUpdateUIForUpdateSyncList() {
    // A list update can't be cancelled: the indicator runs, Cancel stays hidden and disabled.
    if (_window) _window->showRunning(false);
}

QStringList KTLSyncController::updateListThreadKillListGivenOldSyncList(
    const QStringList& oldList, const QStringList& newList) {
    // A sorted copy of the new list keeps this n log n for long lists.
    QStringList kept = newList;
    std::sort(kept.begin(), kept.end());
    QStringList killList;
    for (const QString& entry : oldList)
        if (!std::binary_search(kept.begin(), kept.end(), entry)) killList.append(entry);
    return killList;
}

void KTLSyncController::updateListThreadProcessKillList(const QStringList& killList,
                                                        const QStringList& keptList) {
    const std::string target = pathForTaplineTarget();
    FileManager& manager = fileManager();
    std::vector<std::string> kept;
    for (const QString& entry : keptList)
        if (isSafeSyncItem(entry.toStdString())) kept.push_back(entry.toStdString());
    for (const QString& entry : killList) {
        const std::string item = entry.toStdString();
        // The copy of an entry still listed, or inside one, stays whole.
        if (keptItemEncloses(item, kept)) continue;
        if (!isSafeSyncItem(item) || !storedCopyIsRemovable(item)) {
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString("Not removing \"%@\": its copy would not lie inside the "
                                   "drive's sync folder."),
                entry));
            continue;
        }
        // A link on the way would lead the removal off the drive (into the home, say).
        const FolderChainState chain = storedCopyChainState(item);
        if (chain == FolderChainState::Missing) continue;
        const std::string path = stringByAppendingPathComponent(target, item);
        if (chain == FolderChainState::InTheWay) {
            syncThreadLogMessage(KTLFormatWith(
                KTLLocalizedString("Not removing \"%@\": something that is not a folder lies on "
                                   "the way to its copy on the drive."),
                pathText(path)));
            continue;
        }
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) continue;

        logMessage(KTLFormatWith(
            KTLLocalizedString("Removing \"%@\" from the files being synchronized."), entry));
        auto reporter = KTLRemoveSyncItemsErrorReporter::create();
        reporter->setDelegate(shared_from_this());
        const std::vector<std::string> inside = keptItemsInside(item, kept);
        if (!inside.empty()) {
            // The copies of entries still listed inside this one stay, with the folders above
            // them; the rest goes (what can't be deleted goes to the trash).
            removeAllBut(path, "", std::unordered_set<std::string>(inside.begin(), inside.end()),
                         *reporter);
            reporter->setDelegate(nullptr);
            continue;
        }
        // The reporter lets the removal go on past an error, so the answer alone can't say
        // whether anything is left.
        const bool removed =
            manager.removeFileAtPath(path, reporter.get()) && lstat(path.c_str(), &status) != 0;
        if (sDebug)
            syncThreadLogMessage(KTLFormatWith(
                QStringLiteral("-setSyncItemList: %@ %s deleted (%d errors)\n"), pathText(path),
                removed ? QStringLiteral("was") : QStringLiteral("was NOT"),
                QString::number(reporter->errorCount())));
        reporter->setDelegate(nullptr);
        if (!removed) {
            // What could not be deleted is not left silently: it goes to the drive's trash.
            const bool trashed = moveItemToTrash(path);
            if (sDebug)
                syncThreadLogMessage(KTLFormatWith(
                    QStringLiteral("-               : %@ %s moved to the Trash\n"), pathText(path),
                    trashed ? QStringLiteral("was instead") : QStringLiteral("was NOT")));
        }
    }
}

void KTLSyncController::removeAllBut(const std::string& folder, const std::string& relative,
                                     const std::unordered_set<std::string>& kept,
                                     KTLErrorReporter& reporter) {
    FileManager& manager = fileManager();
    const std::optional<std::vector<std::string>> names = manager.directoryContentsAtPath(folder);
    if (!names) return;
    for (const std::string& name : *names) {
        const std::string inner = relative.empty() ? name : relative + "/" + name;
        if (kept.count(inner)) continue;
        const std::string path = stringByAppendingPathComponent(folder, name);
        const std::string prefix = inner + "/";
        const bool above = std::any_of(kept.begin(), kept.end(), [&](const std::string& k) {
            return k.compare(0, prefix.size(), prefix) == 0;
        });
        struct stat status;
        // Only a real folder is walked into; a link there is removed, never followed.
        if (above && lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            removeAllBut(path, inner, kept, reporter);
            continue;
        }
        if (!manager.removeFileAtPath(path, &reporter) || lstat(path.c_str(), &status) == 0)
            moveItemToTrash(path);
    }
}

void KTLSyncController::updateListThreadReportResults(bool result) {
    mainThreadUpdateUIMessageField(KTLFormatWith(
        KTLLocalizedString("Finished updating sync list for \"%1$@\"."), displayName()));
    runOnMainThreadAndWait([this] { mainThreadUpdateUIForUpdateSyncListDone(); });
    const QString line = result ? KTLLocalizedString("Update Sync Items completed.")
                                : KTLLocalizedString("Update Sync Items Failed.");
    syncThreadLogMessage(line);
    mainThreadUpdateUIMessageField(line);
    if (!result)
        syncThreadPerformAlertWithTitle(
            KTLLocalizedString("Update Sync Items Failed"),
            KTLFormatWith(KTLLocalizedString("The changes to the sync list on \"%@\" were not "
                                             "saved.  Check the log for more details."),
                          displayName()),
            false);
}

void KTLSyncController::mainThreadUpdateUIForUpdateSyncListDone() {
    if (_window) _window->showIdle();
}
