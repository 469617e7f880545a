#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <optional>
#include <set>
#include <string>

class QSocketNotifier;
struct libmnt_monitor;

// Watches the mount table and reports, per block device, what a desktop's disk service would:
// a device's first mount (appeared, with its mount point), a change of its mount point
// (descriptionChanged with the new one), the end of its last mount (descriptionChanged without
// a path) and, once the device itself is gone from /sys/class/block, disappeared.
//
// The kernel's table is watched with libmount's monitor; a table named by PELLORA_MOUNTINFO is
// watched with inotify on its folder, so that both appending to it and replacing it are seen.
// Both are driven from the Qt event loop. Device names are the mount sources without "/dev/".
//
// Main thread only.
class MountMonitor : public QObject {
    Q_OBJECT

  public:
    explicit MountMonitor(QObject* parent = nullptr);
    ~MountMonitor() override;

    // Takes the current table as the starting point (nothing is reported for it) and starts
    // watching. False when the table can't be watched; the monitor then reports nothing.
    bool start();

    // The mounted devices as last read: device name -> mount point.
    const std::map<QString, std::string>& volumes() const { return _volumes; }

    // Reads the table again and reports what changed. An unreadable table changes nothing.
    void rescan();

    // Test hook: the folder in which present block devices are listed.
    void setBlockDeviceFolder(const std::string& folder) { _blockFolder = folder; }

  signals:
    void appeared(const QString& device, const std::string& mountPoint);
    void descriptionChanged(const QString& device, const std::optional<std::string>& mountPoint);
    void disappeared(const QString& device);

  private:
    bool startKernelMonitor();
    bool startFileMonitor(const std::string& file);
    void kernelTableChanged();
    void fileFolderChanged();
    bool deviceIsPresent(const QString& device) const;
    void checkUnmountedDevices();

    std::map<QString, std::string> _volumes;
    // Devices whose last mount went while the device stayed: a new mount is a description change.
    std::set<QString> _unmounted;
    std::string _blockFolder = "/sys/class/block";
    std::string _tableName;  // the watched file's name in its folder (file monitor)

    libmnt_monitor* _kernelMonitor = nullptr;
    int _inotifyFd = -1;
    QSocketNotifier* _notifier = nullptr;
    QTimer _presenceTimer;
};
