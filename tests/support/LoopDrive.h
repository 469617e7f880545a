#pragma once

// An ext4 image on a loop device, for tests that run in a private mount namespace
// (PrivateMount.h): made, mounted, made read-only, pulled away and mounted again.

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

class LoopDrive {
  public:
    LoopDrive(std::string image, std::string mountPoint)
        : _image(std::move(image)), _mountPoint(std::move(mountPoint)) {}

    const std::string& mountPoint() const { return _mountPoint; }

    // A sparse image of `mib` MiB with a fresh ext4 file system.
    bool create(int mib) const {
        return shell("truncate -s " + std::to_string(mib) + "M '" + _image +
                     "' && mkfs.ext4 -q -F '" + _image + "' >/dev/null 2>&1");
    }
    bool mount(const std::string& options = "") const {
        return shell("mount -o loop" + (options.empty() ? "" : "," + options) + " '" + _image +
                     "' '" + _mountPoint + "'");
    }
    // Changes the mounted file system's options, e.g. "ro" or "rw".
    bool remount(const std::string& options) const {
        return shell("mount -o remount," + options + " '" + _mountPoint + "'");
    }
    // A lazy unmount: the drive is gone from its mount point at once, while whatever is open
    // on it keeps it alive.
    bool pullOut() const { return umount2(_mountPoint.c_str(), MNT_DETACH) == 0; }
    bool unmount() const { return umount2(_mountPoint.c_str(), 0) == 0; }

    // Waits until no loop device holds the image: only then may it be mounted again without
    // two file systems writing to the same blocks.
    bool released(double seconds) const {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
        const std::string attached = "losetup -j '" + _image + "' | grep -q .";
        while (shell(attached)) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    static bool shell(const std::string& command) { return system(command.c_str()) == 0; }

  private:
    std::string _image, _mountPoint;
};
