#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <mutex>
#include <string>

// A dictionary of settings kept in one XML property-list file, with registered defaults
// under the stored values. The file is read once, at construction, and written whole and
// atomically by synchronize(): a key removed here is gone from the file after the next write.
// A write-through domain writes after every change.
//
// A file that exists but cannot be used (not a property list, its top level not a dictionary,
// larger than kPreferenceFileMaxSize) leaves the domain empty; it is first kept beside itself
// as "<file>.unreadable" so that the next write loses nothing, and when even that fails the
// domain refuses to write over it.
//
// Every method may be called from any thread.
class PreferenceDomain {
  public:
    explicit PreferenceDomain(std::string filePath, bool writeThrough = false);
    PreferenceDomain(const PreferenceDomain&) = delete;
    PreferenceDomain& operator=(const PreferenceDomain&) = delete;

    // The application's standard user defaults: $XDG_CONFIG_HOME/Orvane/Pellora.plist,
    // write-through. The path is taken from the environment at first use.
    static PreferenceDomain& standardUserDefaults();

    // The stored value, else the registered default, else an invalid QVariant.
    QVariant objectForKey(const QString& key) const;

    // Stores the value in its property-list form (see normalizedPropertyList); a value that has
    // none is refused with a warning, an invalid QVariant removes the key.
    void setObject(const QVariant& value, const QString& key);
    void removeObjectForKey(const QString& key);

    // Adds to the registered defaults; they are never written.
    void registerDefaults(const QVariantMap& defaults);
    // Replaces all registered defaults.
    void setRegisteredDefaults(const QVariantMap& defaults);
    QVariant registeredDefault(const QString& key) const;

    // The value only when it is of that type; null otherwise.
    QString stringForKey(const QString& key) const;
    QVariantList arrayForKey(const QString& key) const;
    QVariantMap dictionaryForKey(const QString& key) const;
    QByteArray dataForKey(const QString& key) const;

    // Any number, boolean or numeric string, read as Foundation reads it; 0 or false otherwise.
    int integerForKey(const QString& key) const;
    float floatForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;

    void setBool(bool value, const QString& key);
    void setInteger(int value, const QString& key);
    void setFloat(float value, const QString& key);

    // The stored values only, without the registered defaults.
    QVariantMap storedValues() const;

    // Writes every stored key to the file, replacing it whole; creates missing folders.
    bool synchronize();

    const std::string& filePath() const { return _filePath; }

  private:
    void load();
    void changed();

    const std::string _filePath;
    const bool _writeThrough;
    mutable std::mutex _lock;  // guards the fields below
    std::mutex _writeLock;     // keeps writes in the order their contents were taken
    QVariantMap _values;
    QVariantMap _defaults;
    bool _writeRefused = false;  // the unreadable file could not be kept
};

// Files larger than this are not read as preferences.
inline constexpr qint64 kPreferenceFileMaxSize = 8 * 1024 * 1024;

// $XDG_CONFIG_HOME/Orvane (default ~/.config/Orvane): the folder of the suite's preferences.
std::string preferencesFolder();
