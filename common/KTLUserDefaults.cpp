#include "KTLUserDefaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "FileContents.h"
#include "PropertyList.h"

namespace {

std::string sanitizedHostID(const std::string& id) {
    std::string out;
    for (char c : id) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        out += plain ? c : '_';
    }
    // The id becomes part of a file name; these would not name a file of its own.
    if (out.empty() || out == "." || out == "..") return "localhost";
    return out;
}

std::string withoutSpaceAround(const std::string& s) {
    const char* space = " \t\r\n\v\f";
    auto first = s.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string machineID() {
    auto id = readFileContents("/etc/machine-id", 4096);
    return id ? withoutSpaceAround(id->toStdString()) : std::string();
}

std::string pathForHost(const std::string& hostID) {
    return preferencesFolder() + "/ByHost/Pellora." + hostID + ".plist";
}

}  // namespace

std::string KTLUserDefaults::currentHostID() {
    std::string id = machineID();
    if (id.empty()) {
        char name[HOST_NAME_MAX + 1] = {};
        if (gethostname(name, sizeof name - 1) == 0) id = withoutSpaceAround(name);
    }
    return sanitizedHostID(id);
}

KTLUserDefaults& KTLUserDefaults::sharedInstance() {
    static KTLUserDefaults sharedUserDefaults(currentHostID());
    return sharedUserDefaults;
}

KTLUserDefaults::KTLUserDefaults(const std::string& hostID)
    : _hostID(sanitizedHostID(hostID)), _preferences(pathForHost(_hostID), false) {}

void KTLUserDefaults::registerDefaults(const QVariantMap& defaults) {
    std::lock_guard<std::mutex> locked(_lock);
    _preferences.setRegisteredDefaults(defaults);
}

QVariant KTLUserDefaults::objectForKey(const QString& key) const {
    return _preferences.objectForKey(key);
}

void KTLUserDefaults::setObject(const QVariant& value, const QString& key) {
    std::lock_guard<std::mutex> locked(_lock);
    // Compared in stored form, so that 1 (int) equals a registered 1 read back as qint64.
    const QVariant registered = _preferences.registeredDefault(key);
    const auto normalized = normalizedPropertyList(value);
    if (!value.isValid() || (registered.isValid() && normalized && registered == *normalized))
        _preferences.removeObjectForKey(key);
    else
        _preferences.setObject(value, key);
}

void KTLUserDefaults::removeObjectForKey(const QString& key) {
    std::lock_guard<std::mutex> locked(_lock);
    _preferences.removeObjectForKey(key);
}

QString KTLUserDefaults::stringForKey(const QString& key) const {
    return _preferences.stringForKey(key);
}

QVariantList KTLUserDefaults::arrayForKey(const QString& key) const {
    return _preferences.arrayForKey(key);
}

QVariantMap KTLUserDefaults::dictionaryForKey(const QString& key) const {
    return _preferences.dictionaryForKey(key);
}

QByteArray KTLUserDefaults::dataForKey(const QString& key) const {
    return _preferences.dataForKey(key);
}

int KTLUserDefaults::integerForKey(const QString& key) const {
    return _preferences.integerForKey(key);
}

float KTLUserDefaults::floatForKey(const QString& key) const {
    return _preferences.floatForKey(key);
}

bool KTLUserDefaults::boolForKey(const QString& key) const {
    return _preferences.boolForKey(key);
}

void KTLUserDefaults::setInteger(int value, const QString& key) {
    setObject(QVariant(qint64(value)), key);
}

void KTLUserDefaults::setFloat(float value, const QString& key) {
    setObject(QVariant(double(value)), key);
}

void KTLUserDefaults::setBool(bool value, const QString& key) {
    setObject(QVariant(value), key);
}

bool KTLUserDefaults::synchronize() {
    return _preferences.synchronize();
}
