#include "MountMonitor.h"

#include <libmount/libmount.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "MountTable.h"
#include "PathUtilities.h"

namespace {

// A device whose last mount went but which is still attached is looked at this often, so
// that its disappearance is reported soon after the kernel lets it go.
constexpr int kPresencePollMs = 500;

std::map<QString, std::string> devicesOf(const std::vector<MountEntry>& table) {
    std::map<QString, std::string> devices;
    for (const MountEntry& entry : mountedLocalVolumes(table))
        devices.emplace(QFile::decodeName(QByteArray::fromStdString(entry.source.substr(5))),
                        entry.mountPoint);
    return devices;
}

}  // namespace

MountMonitor::MountMonitor(QObject* parent) : QObject(parent) {
    _presenceTimer.setInterval(kPresencePollMs);
    connect(&_presenceTimer, &QTimer::timeout, this, &MountMonitor::checkUnmountedDevices);
}

MountMonitor::~MountMonitor() {
    // The notifier goes with this object, after its descriptor: it must no longer watch it.
    if (_notifier) _notifier->setEnabled(false);
    if (_kernelMonitor) mnt_unref_monitor(_kernelMonitor);
    if (_inotifyFd >= 0) close(_inotifyFd);
}

bool MountMonitor::start() {
    if (_notifier) return true;
    const char* variable = getenv(kMountTableVariable);
    // Watch first, then read: a change between the two is seen twice rather than never.
    const bool watching = variable && *variable ? startFileMonitor(variable) : startKernelMonitor();
    if (auto table = readMountTable()) _volumes = devicesOf(*table);
    return watching;
}

bool MountMonitor::startKernelMonitor() {
    _kernelMonitor = mnt_new_monitor();
    if (!_kernelMonitor) return false;
    if (mnt_monitor_enable_kernel(_kernelMonitor, 1) != 0) return false;
    const int fd = mnt_monitor_get_fd(_kernelMonitor);
    if (fd < 0) return false;
    _notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &MountMonitor::kernelTableChanged);
    return true;
}

bool MountMonitor::startFileMonitor(const std::string& file) {
    _inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (_inotifyFd < 0) return false;
    _tableName = lastPathComponent(file);
    // The folder, not the file: a table replaced by a rename is a new file the old watch
    // would never hear of.
    const uint32_t mask = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                          IN_DELETE | IN_ATTRIB;
    if (inotify_add_watch(_inotifyFd, folderOf(file).c_str(), mask) < 0) return false;
    _notifier = new QSocketNotifier(_inotifyFd, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &MountMonitor::fileFolderChanged);
    return true;
}

void MountMonitor::kernelTableChanged() {
    // Drain every pending change; one read of the table covers them all.
    while (mnt_monitor_next_change(_kernelMonitor, nullptr, nullptr) == 0) {
    }
    rescan();
}

void MountMonitor::fileFolderChanged() {
    alignas(inotify_event) char buffer[4096];
    bool ours = false;
    for (;;) {
        const ssize_t n = read(_inotifyFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && _tableName == event->name) ours = true;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (ours) rescan();
}

void MountMonitor::rescan() {
    std::optional<std::vector<MountEntry>> table = readMountTable();
    if (!table) return;
    std::map<QString, std::string> now = devicesOf(*table);
    const std::map<QString, std::string> before = std::move(_volumes);
    _volumes = now;

    std::vector<QString> gone;
    for (const auto& [device, mountPoint] : before)
        if (!now.count(device)) gone.push_back(device);
    for (const QString& device : gone) {
        emit descriptionChanged(device, std::nullopt);
        if (deviceIsPresent(device)) {
            _unmounted.insert(device);
        } else {
            emit disappeared(device);
        }
    }
    for (const auto& [device, mountPoint] : now) {
        auto old = before.find(device);
        if (old == before.end()) {
            if (_unmounted.erase(device))
                emit descriptionChanged(device, mountPoint);
            else
                emit appeared(device, mountPoint);
        } else if (old->second != mountPoint) {
            emit descriptionChanged(device, mountPoint);
        }
    }
    if (_unmounted.empty())
        _presenceTimer.stop();
    else if (!_presenceTimer.isActive())
        _presenceTimer.start();
}

bool MountMonitor::deviceIsPresent(const QString& device) const {
    // /dev/mapper/x and the like are links to the kernel's name of the device.
    const std::string node = "/dev/" + QFile::encodeName(device).toStdString();
    std::unique_ptr<char, decltype(&free)> real(realpath(node.c_str(), nullptr), &free);
    const std::string name = lastPathComponent(real ? std::string(real.get()) : node);
    return access(stringByAppendingPathComponent(_blockFolder, name).c_str(), F_OK) == 0;
}

void MountMonitor::checkUnmountedDevices() {
    std::vector<QString> gone;
    for (const QString& device : _unmounted)
        if (!deviceIsPresent(device)) gone.push_back(device);
    for (const QString& device : gone) {
        _unmounted.erase(device);
        emit disappeared(device);
    }
    if (_unmounted.empty()) _presenceTimer.stop();
}
