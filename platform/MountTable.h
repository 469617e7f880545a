#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One mounted file system as the kernel's mount table describes it. Strings are the raw bytes,
// with the table's escapes (\040 for a blank and so on) already undone.
struct MountEntry {
    std::string mountPoint;
    std::string source;  // "/dev/sdb1", "tmpfs", "server:/export", ...
    std::string fsType;  // "ext4", "hfsplus", ...
    std::string root;    // the folder of the file system mounted there ("/" unless a bind mount)
    int id = 0;          // the kernel's mount id
};

// Name of the environment variable that points the application at another table in the same
// format, so that a plain folder can stand for a mounted drive.
inline constexpr const char kMountTableVariable[] = "PELLORA_MOUNTINFO";

// The table read: $PELLORA_MOUNTINFO when set and not empty, else /proc/self/mountinfo.
std::string mountTablePath();

// Every entry of the table, in table order (mount order: a later entry on the same mount point
// lies on top). None, with the reason in `error`, when the file can't be read. Lines that are
// not in the kernel's format are skipped.
std::optional<std::vector<MountEntry>> readMountTable(QString* error = nullptr);
std::optional<std::vector<MountEntry>> readMountTableFromFile(const std::string& file,
                                                              QString* error = nullptr);

// The entry of the volume that holds `path`: the one whose mount point is the longest leading
// run of whole components of the path's resolved form, the topmost one when several share
// that mount point. None if the path does not exist or no entry holds it.
std::optional<MountEntry> volumeForPath(const std::string& path);
std::optional<MountEntry> volumeForPath(const std::string& path,
                                        const std::vector<MountEntry>& table);

// The entries mounted from a block device (source beginning with "/dev/"), in table order,
// one per device: a device mounted twice is listed with its first mount point.
std::vector<MountEntry> mountedLocalVolumes();
std::vector<MountEntry> mountedLocalVolumes(const std::vector<MountEntry>& table);

// The step of the modification times a file system of type `fsType` keeps, in nanoseconds:
// 2 s on vfat, 10 ms on exfat, 1 s on hfs and hfsplus, 100 ns on ntfs, 1 ns otherwise.
int64_t modificationTimePrecisionNs(const std::string& fsType);

// Whether `prefix` is `path` itself or a leading run of its whole components ("/a/b" holds
// "/a/b/c" but not "/a/bc"). Both are taken as absolute paths without "." or "..".
bool pathHasComponentPrefix(const std::string& path, const std::string& prefix);
