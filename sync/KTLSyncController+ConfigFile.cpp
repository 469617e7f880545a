#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>

#include "FileContents.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "OrvaneUtilities+String.h"
#include "PathUtilities.h"
#include "PropertyList.h"

namespace {

const QString kItemsKey = QStringLiteral("tapline-items-to-sync");
const QString kUUIDKey = QStringLiteral("tapline-uuid");
// A configuration larger than this is refused unread, like an empty one.
constexpr qint64 kConfigFileLimit = 8 * 1024 * 1024;

std::string joined(const std::string& path, const std::string& name) {
    return stringByAppendingPathComponent(path, name);
}

}  // namespace

// --- Paths ---

std::string KTLSyncController::homeFolder() {
    const char* home = getenv("HOME");
    return home && *home ? std::string(home) : std::string("/");
}

std::string KTLSyncController::pathForConfigFile() const {
    return joined(deviceMountPoint(), ".TolvexConfig");
}

std::string KTLSyncController::pathForTaplineTarget() const {
    return joined(deviceMountPoint(), "Tolvex");
}

std::string KTLSyncController::pathForTaplineTemp() {
    return joined(joined(pathForTaplineTarget(), "TL_VS_W"), uniqueID().toStdString());
}

std::string KTLSyncController::pathForLocalTemp() {
    return joined(joined(homeFolder(), ".TL_VS_W"), uniqueID().toStdString());
}

std::string KTLSyncController::macPathForItem(const std::string& item) {
    if (!item.empty() && item[0] == '~') return homeFolder() + item.substr(1);
    return joined("/", item);
}

bool KTLSyncController::isSafeSyncItem(const std::string& item) {
    if (item.empty() || item.find('\0') != std::string::npos) return false;
    // "~name/..." would be read as the home's path with "name" stuck to it: a sibling of the
    // home, not the other user's home.
    if (item[0] == '~' && item.size() > 1 && item[1] != '/') return false;
    size_t start = 0;
    while (start <= item.size()) {
        size_t end = item.find('/', start);
        if (end == std::string::npos) end = item.size();
        std::string component = item.substr(start, end - start);
        if (component == "." || component == "..") return false;
        start = end + 1;
    }
    return true;
}

bool KTLSyncController::isSafeUniqueID(const QString& identifier) {
    const QByteArray bytes = identifier.toUtf8();
    return !bytes.isEmpty() && bytes.size() <= 200 && !bytes.contains('/') &&
           !bytes.contains('\0') && bytes != "." && bytes != "..";
}

// --- Drive identifier ---

QString KTLSyncController::uniqueID() {
    {
        std::lock_guard<std::mutex> lock(_fieldLock);
        if (_uniqueID) return *_uniqueID;
    }
    const QVariant stored = deviceConfig().value(kUUIDKey);
    std::lock_guard<std::mutex> lock(_fieldLock);
    if (_uniqueID) return *_uniqueID;
    if (stored.isValid()) {
        _uniqueID = stored.toString();
        return *_uniqueID;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDate date = now.date();
    const QTime time = now.time();
    const QString mac =
        OrvaneUtilities::stringWithPrimaryMACAddressWithColons(false).value_or(QString());
    _uniqueID = QString::asprintf(
        "%s%03X%01X%02X%02hX%02hX%02hX-%d", mac.toUtf8().constData(), unsigned(date.year()),
        unsigned(date.month()), unsigned(date.day()), (unsigned short)time.hour(),
        (unsigned short)time.minute(), (unsigned short)time.second(), int(getuid()));
    return *_uniqueID;
}

// --- Configuration file ---

// The shape the program relies on: a dictionary, a list of strings, a safe identifier.
static bool hasUsableShape(const QVariant& value) {
    if (value.typeId() != QMetaType::QVariantMap) return false;
    const QVariantMap map = value.toMap();
    if (map.contains(kItemsKey)) {
        const QVariant items = map.value(kItemsKey);
        if (items.typeId() != QMetaType::QVariantList) return false;
        for (const QVariant& entry : items.toList())
            if (entry.typeId() != QMetaType::QString) return false;
    }
    if (map.contains(kUUIDKey)) {
        const QVariant identifier = map.value(kUUIDKey);
        if (identifier.typeId() != QMetaType::QString ||
            !KTLSyncController::isSafeUniqueID(identifier.toString()))
            return false;
    }
    return true;
}

bool KTLSyncController::readConfigFile() {
    const std::string path = pathForConfigFile();
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
        debugMessage(QStringLiteral(
            "-readConfigFile: no configuration file found - generating empty configuration."));
        setDeviceConfig(QVariantMap());
        return true;
    }
    int error = 0;
    // Only a file on the drive itself: a link could hand us any list of the computer's.
    std::optional<QByteArray> contents = readFileContents(path, kConfigFileLimit, &error, false);
    if (!contents || contents->isEmpty()) {
        logMessage(KTLFormatWith(
            KTLLocalizedString(QStringLiteral("Unable to read configuration file from \"%@\".")),
            pathText(path)));
        return false;
    }
    std::optional<QVariant> value = readPropertyList(*contents);
    if (!value || !hasUsableShape(*value)) {
        logMessage(KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                     "The configuration file on \"%@\" appears to be corrupt.")),
                                 pathText(path)));
        return false;
    }
    const QVariantMap config = value->toMap();
    setDeviceConfig(config);
    debugMessage(QStringLiteral("-readConfigFile: configuration file read."));
    debugMessage(
        KTLFormatWith(QStringLiteral("-readConfigFile: %@."), propertyDescription(config)));
    return true;
}

bool KTLSyncController::writeConfigFile() {
    const std::string path = pathForConfigFile();
    const QString failure = KTLFormatWith(
        KTLLocalizedString(QStringLiteral("Unable to write configuration file to \"%@\".")),
        pathText(path));
    QVariantMap config = deviceConfig();
    config.insert(kUUIDKey, uniqueID());
    setDeviceConfig(config);
    const QByteArray bytes = writePropertyListXML(config);
    if (bytes.isEmpty()) {
        logMessage(failure);
        return false;
    }
    QString error;
    if (!writeFileAtomically(path, bytes, &error, 0666)) {
        logMessage(failure);
        return false;
    }
    logMessage(
        KTLFormatWith(KTLLocalizedString(QStringLiteral("Configuration file on \"%@\" updated.")),
                      pathText(deviceMountPoint())));
    debugMessage(KTLFormatWith(QStringLiteral("configuration file %@ written: %@\n"),
                               pathText(path), propertyDescription(config)));
    if (chmod(path.c_str(), 0666) == 0)
        debugMessage(QStringLiteral("Permissions on configuration file \"%1\" set to %2.")
                         .arg(pathText(path))
                         .arg(438, 0, 8));
    else
        debugMessage(QStringLiteral("Unable to set permissions on configuration file \"%1\" to %2.")
                         .arg(pathText(path))
                         .arg(438, 0, 8));
    return true;
}
