#pragma once

// One way to give a test a computer and a drive: a home of its own (HOME and the XDG folders),
// a drive folder declared mounted in a mount table of its own, and the paths a run uses on both
// sides. Layout: <top>/home, <top>/drive, <top>/mountinfo, the XDG folders in <top>.

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <chrono>
#include <cstdlib>
#include <string>

#include "FakeMountTable.h"
#include "PropertyList.h"
#include "TempDir.h"

inline int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
inline constexpr int64_t kSecondNs = 1000000000;

class Sandbox {
  public:
    explicit Sandbox(const QString& driveId, const std::string& fsType = "hfsplus") : id(driveId) {
        makeFolders(home);
        setenv("HOME", home.c_str(), 1);
        mounts.add(drive, "/dev/sdz1", fsType);
    }

    std::string mac(const std::string& relative) const { return home + "/" + relative; }
    std::string target() const { return drive + "/Tolvex"; }
    std::string onDrive(const std::string& relative) const { return target() + "/~/" + relative; }
    std::string configPath() const { return drive + "/.TolvexConfig"; }
    std::string driveStaging() const { return target() + "/TL_VS_W/" + id.toStdString(); }
    std::string macStaging() const { return home + "/.TL_VS_W/" + id.toStdString(); }

    // The drive's configuration: the sync list, the identifier and any further keys.
    bool configure(const QStringList& items, const QVariantMap& extra = {}) const {
        QVariantMap config = extra;
        config.insert(QStringLiteral("tapline-items-to-sync"), items);
        config.insert(QStringLiteral("tapline-uuid"), id);
        return writeFile(configPath(), writePropertyListXML(config));
    }

    TestHome testHome;
    FakeMountTable mounts{testHome.path() + "/mountinfo"};
    std::string top = testHome.path(), home = top + "/home", drive = makeFolder(top + "/drive");
    QString id;
};
