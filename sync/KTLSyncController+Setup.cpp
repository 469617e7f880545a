#include <sys/stat.h>

#include <QDateTime>
#include <QTimeZone>

#include "KTLFormat.h"
#include "KTLSyncController.h"
#include "KTLUserDefaults.h"
#include "MountTable.h"
#include "PathUtilities.h"
#include "PreferenceDomain.h"

// --- Setup ---

QStringList KTLSyncController::acceptedFileSystems() {
    QVariant value = PreferenceDomain::standardUserDefaults().objectForKey(
        QStringLiteral("accepted-file-systems"));
    if (!value.isValid()) return {QStringLiteral("hfs"), QStringLiteral("hfsplus")};
    QStringList names;
    for (const QVariant& name : value.toList()) names.append(name.toString());
    return names;
}

namespace {

// "a//b/" and "a/b" name one place.
std::string collapsedSlashes(const std::string& path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool isWithin(const std::string& inner, const std::string& outer) {
    return inner.compare(0, outer.size(), outer) == 0 &&
           (inner.size() == outer.size() || inner[outer.size()] == '/');
}

// Any spelling of an entry that lies in this computer's staging folders, or whose drive copy
// would lie in the drive's staging parent: syncing it would carry a run's staging around.
bool reachesStaging(const std::string& item) {
    const std::string path = collapsedSlashes(item);
    if (isWithin(path, "~/.TL_VS_W")) return true;
    if (isWithin(collapsedSlashes(KTLSyncController::macPathForItem(path)),
                 collapsedSlashes(KTLSyncController::homeFolder() + "/.TL_VS_W")))
        return true;
    return isWithin(path[0] == '/' ? path.substr(1) : path, "TL_VS_W");
}

}  // namespace

bool KTLSyncController::isStagingPath(const std::string& path) const {
    const std::string target = collapsedSlashes(pathForTaplineTarget());
    const std::string clean = collapsedSlashes(path);
    return isWithin(clean, collapsedSlashes(homeFolder() + "/.TL_VS_W")) ||
           isWithin(clean, target + "/TL_VS_W") || isWithin(clean, target + "/~/.TL_VS_W");
}

bool KTLSyncController::isValidFileSystem() {
    const std::string mountPoint = deviceMountPoint();
    struct stat status;
    if (stat(mountPoint.c_str(), &status) != 0) {
        const int error = errno;
        debugMessage(
            QStringLiteral("-isValidFileSystem: cannot get information about \"%1\" (%2, %3)")
                .arg(pathText(mountPoint))
                .arg(error)
                .arg(QString::fromLocal8Bit(strerror(error))));
        return false;
    }
    std::optional<MountEntry> volume = volumeForPath(mountPoint);
    const QString type = volume ? QString::fromStdString(volume->fsType) : QString();
    if (!volume || !acceptedFileSystems().contains(type)) {
        debugMessage(
            QStringLiteral("-isValidFileSystem: \"%1\" does not have a supported file system (%2).")
                .arg(pathText(mountPoint), type));
        return false;
    }
    debugMessage(QStringLiteral("-isValidFileSystem: file system check passed for \"%1\".")
                     .arg(pathText(mountPoint)));
    return true;
}

bool KTLSyncController::isDeviceSetupForSync() {
    const std::string path = pathForConfigFile();
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        debugMessage(QStringLiteral("-isDeviceSetupForSync: configuration file %1 is missing.")
                         .arg(pathText(path)));
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        debugMessage(QStringLiteral("-isDeviceSetupForSync: a directory is in the way of where the "
                                    "configuration file %1 should go.")
                         .arg(pathText(path)));
        return false;
    }
    return readConfigFile();
}

bool KTLSyncController::isUserSetupForSync() {
    return readLocalRecord(nullptr);
}

bool KTLSyncController::enableSyncForThisComputerWithPrompt(bool) {
    debugMessage(QStringLiteral("-enableSyncForThisComputer"));
    if (readLocalRecord(nullptr)) return true;
    QVariantMap record;
    record.insert(QStringLiteral("local-last-sync-time"),
                  QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc()));
    record.insert(QStringLiteral("local-continuous-sync"), true);
    storeLocalRecord(record);
    return true;
}

// --- FileFiltering ---

bool KTLSyncController::shouldCopyItem(const std::optional<std::string>& item,
                                       const std::optional<std::string>& baseName) {
    std::string name;
    if (baseName)
        name = *baseName;
    else if (item)
        name = lastPathComponent(*item);
    static const char* const kNeverCopied[] = {".DS_Store", ".Spotlight-V100", ".hotfiles.btree",
                                               ".Trash", ".Trashes"};
    for (const char* never : kNeverCopied)
        if (name == never) return false;
    if (item && reachesStaging(*item)) return false;
    return name != "TL_VS_W";
}
