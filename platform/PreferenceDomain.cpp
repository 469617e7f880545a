#include "PreferenceDomain.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtGlobal>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "FileContents.h"
#include "PathUtilities.h"
#include "PropertyList.h"

namespace {

QString shown(const std::string& path) {
    return QString::fromLocal8Bit(path.c_str());
}

// Keeps the file as "<file>.unreadable": a hard link costs nothing and survives the atomic
// replacement of the original; where links are not possible, a copy.
bool keepUnreadable(const std::string& path, std::string* kept) {
    *kept = path + ".unreadable";
    std::string temp = folderOf(path) + "/.pellora-tmp-" + lastPathComponent(path) + "-" +
                       std::to_string(getpid());
    unlink(temp.c_str());
    if (link(path.c_str(), temp.c_str()) == 0) {
        if (rename(temp.c_str(), kept->c_str()) == 0) {
            syncParentFolder(*kept);
            return true;
        }
        unlink(temp.c_str());
    }
    auto bytes = readFileContents(path, kPropertyListMaxSize);
    return bytes && writeFileAtomically(*kept, *bytes, nullptr, 0600);
}

}  // namespace

std::string preferencesFolder() {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/Orvane";
    std::string home;
    if (const char* h = getenv("HOME"); h && *h) {
        home = h;
    } else {
        struct passwd pw, *found = nullptr;
        char buf[4096];
        if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found) home = pw.pw_dir;
    }
    return home + "/.config/Orvane";
}

PreferenceDomain::PreferenceDomain(std::string filePath, bool writeThrough)
    : _filePath(std::move(filePath)), _writeThrough(writeThrough) {
    load();
}

PreferenceDomain& PreferenceDomain::standardUserDefaults() {
    static PreferenceDomain domain(preferencesFolder() + "/Pellora.plist", true);
    return domain;
}

void PreferenceDomain::load() {
    int err = 0;
    auto bytes = readFileContents(_filePath, kPreferenceFileMaxSize, &err);
    if (!bytes && (err == ENOENT || err == ENOTDIR)) return;  // nothing stored yet

    QString reason;
    if (!bytes) {
        reason = err == EFBIG ? QStringLiteral("larger than %1 bytes").arg(kPreferenceFileMaxSize)
                 : err == EINVAL ? QStringLiteral("not a regular file")
                                 : errorText(err);
    } else if (auto value = readPropertyList(*bytes, &reason); value) {
        if (value->typeId() == QMetaType::QVariantMap) {
            _values = value->toMap();
            return;
        }
        reason = QStringLiteral("its top level is not a dictionary");
    }

    std::string kept;
    if (keepUnreadable(_filePath, &kept)) {
        qWarning(
            "Preferences file \"%s\" is unreadable (%s); starting empty, the file is kept "
            "as \"%s\".",
            qUtf8Printable(shown(_filePath)), qUtf8Printable(reason), qUtf8Printable(shown(kept)));
    } else {
        _writeRefused = true;
        qWarning(
            "Preferences file \"%s\" is unreadable (%s) and could not be kept aside; "
            "starting empty and leaving the file as it is.",
            qUtf8Printable(shown(_filePath)), qUtf8Printable(reason));
    }
}

QVariant PreferenceDomain::objectForKey(const QString& key) const {
    std::lock_guard<std::mutex> locked(_lock);
    auto it = _values.constFind(key);
    if (it != _values.cend()) return *it;
    return _defaults.value(key);
}

void PreferenceDomain::setObject(const QVariant& value, const QString& key) {
    if (!value.isValid()) {
        removeObjectForKey(key);
        return;
    }
    QString error;
    auto normalized = normalizedPropertyList(value, &error);
    if (!normalized) {
        qWarning("Preference \"%s\" not set: %s.", qUtf8Printable(key), qUtf8Printable(error));
        return;
    }
    {
        std::lock_guard<std::mutex> locked(_lock);
        _values.insert(key, *normalized);
    }
    changed();
}

void PreferenceDomain::removeObjectForKey(const QString& key) {
    {
        std::lock_guard<std::mutex> locked(_lock);
        _values.remove(key);
    }
    changed();
}

namespace {

// Entries without a property-list form are left out, with a warning.
QVariantMap normalizedEntries(const QVariantMap& entries) {
    QVariantMap out;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        QString error;
        if (auto v = normalizedPropertyList(it.value(), &error))
            out.insert(it.key(), *v);
        else
            qWarning("Default \"%s\" not registered: %s.", qUtf8Printable(it.key()),
                     qUtf8Printable(error));
    }
    return out;
}

}  // namespace

void PreferenceDomain::registerDefaults(const QVariantMap& defaults) {
    const QVariantMap map = normalizedEntries(defaults);
    std::lock_guard<std::mutex> locked(_lock);
    for (auto it = map.cbegin(); it != map.cend(); ++it) _defaults.insert(it.key(), it.value());
}

void PreferenceDomain::setRegisteredDefaults(const QVariantMap& defaults) {
    const QVariantMap map = normalizedEntries(defaults);
    std::lock_guard<std::mutex> locked(_lock);
    _defaults = map;
}

QVariant PreferenceDomain::registeredDefault(const QString& key) const {
    std::lock_guard<std::mutex> locked(_lock);
    return _defaults.value(key);
}

QString PreferenceDomain::stringForKey(const QString& key) const {
    QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

QVariantList PreferenceDomain::arrayForKey(const QString& key) const {
    QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantList ? v.toList() : QVariantList();
}

QVariantMap PreferenceDomain::dictionaryForKey(const QString& key) const {
    QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
}

QByteArray PreferenceDomain::dataForKey(const QString& key) const {
    QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : QByteArray();
}

int PreferenceDomain::integerForKey(const QString& key) const {
    return propertyListIntValue(objectForKey(key));
}

float PreferenceDomain::floatForKey(const QString& key) const {
    return propertyListFloatValue(objectForKey(key));
}

bool PreferenceDomain::boolForKey(const QString& key) const {
    return propertyListBoolValue(objectForKey(key));
}

void PreferenceDomain::setBool(bool value, const QString& key) {
    setObject(QVariant(value), key);
}

void PreferenceDomain::setInteger(int value, const QString& key) {
    setObject(QVariant(qint64(value)), key);
}

void PreferenceDomain::setFloat(float value, const QString& key) {
    setObject(QVariant(double(value)), key);
}

QVariantMap PreferenceDomain::storedValues() const {
    std::lock_guard<std::mutex> locked(_lock);
    return _values;
}

void PreferenceDomain::changed() {
    if (_writeThrough) synchronize();
}

bool PreferenceDomain::synchronize() {
    std::lock_guard<std::mutex> writing(_writeLock);
    QVariantMap snapshot;
    {
        std::lock_guard<std::mutex> locked(_lock);
        if (_writeRefused) {
            qWarning("Preferences not saved: \"%s\" is unreadable and could not be kept aside.",
                     qUtf8Printable(shown(_filePath)));
            return false;
        }
        snapshot = _values;
    }
    QString error;
    QByteArray xml = writePropertyListXML(snapshot, &error);
    if (xml.isEmpty() || !makeFolders(folderOf(_filePath), 0700, &error) ||
        !writeFileAtomically(_filePath, xml, &error, 0600)) {
        qWarning("Preferences not saved to \"%s\": %s.", qUtf8Printable(shown(_filePath)),
                 qUtf8Printable(error));
        return false;
    }
    return true;
}
