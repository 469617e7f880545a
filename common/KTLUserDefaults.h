#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <mutex>
#include <string>

#include "PreferenceDomain.h"

// This user's settings on this computer, above all this computer's record of each drive (last
// sync time, continuous-sync switch) under the drive's identifier. They live in
// $XDG_CONFIG_HOME/Orvane/ByHost/Pellora.<host-id>.plist, so that computers sharing a home
// folder never see each other's records. Registered defaults lie under the stored values and
// are never written. Changes stay in memory until synchronize(), which writes the whole file:
// a removed key is gone from it afterwards.
//
// Values are copies: to change a drive's record, read it, change it, store it with
// setObject() and synchronize(). Every method may be called from any thread.
class KTLUserDefaults {
  public:
    // The store of the current user on this computer, created on first use.
    static KTLUserDefaults& sharedInstance();

    // The store of the computer named `hostID` (see currentHostID()).
    explicit KTLUserDefaults(const std::string& hostID);
    KTLUserDefaults(const KTLUserDefaults&) = delete;
    KTLUserDefaults& operator=(const KTLUserDefaults&) = delete;

    // Replaces the registered defaults.
    void registerDefaults(const QVariantMap& defaults);

    // The stored value, else the registered default, else an invalid QVariant.
    QVariant objectForKey(const QString& key) const;

    // A value equal to the key's registered default is not kept: the stored value is removed.
    // An invalid QVariant removes the stored value too.
    void setObject(const QVariant& value, const QString& key);

    // The registered default, if any, shows through again.
    void removeObjectForKey(const QString& key);

    // objectForKey() when it is of that type; null otherwise.
    QString stringForKey(const QString& key) const;
    QVariantList arrayForKey(const QString& key) const;
    QVariantMap dictionaryForKey(const QString& key) const;
    QByteArray dataForKey(const QString& key) const;

    // objectForKey() read as a number or boolean (numeric strings too); 0 or false otherwise.
    int integerForKey(const QString& key) const;
    float floatForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;

    void setInteger(int value, const QString& key);
    void setFloat(float value, const QString& key);
    void setBool(bool value, const QString& key);

    // Writes every stored key; true when the file was written.
    bool synchronize();

    const std::string& filePath() const { return _preferences.filePath(); }
    const std::string& hostID() const { return _hostID; }

    // This computer's name for its preferences: the contents of /etc/machine-id, else the host
    // name; characters other than letters, digits, ".", "_" and "-" become "_".
    static std::string currentHostID();

  private:
    const std::string _hostID;
    mutable std::mutex _lock;  // makes the comparison with the default and the change one step
    PreferenceDomain _preferences;
};
