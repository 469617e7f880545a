#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

// Small conversions several parts need: device of a volume, real path, machine address, host
// and computer names, and removal from a sorted list. None keeps state.
namespace OrvaneUtilities {

// The block device that holds `path`, without "/dev/" ("sdb1", "loop0", "mapper/x"), the same
// for any path on the volume as for its mount point. None for a path that does not exist and
// for volumes not mounted from a device (tmpfs, network shares).
std::optional<QString> stringWithDevNodeFromMountPoint(const std::string& path);

// `path` with links, "." and ".." resolved, absolute; none if it can't be resolved.
std::optional<std::string> stringWithRealPath(const std::string& path);

// The primary Ethernet interface's hardware address in uppercase hexadecimal, with or without
// ":" between the bytes; none when there is no such interface.
std::optional<QString> stringWithPrimaryMACAddressWithColons(bool withColons);

// The system's host name; "Macintosh" if it can't be read.
QString stringWithHostname();

// The computer's name as the user set it (PRETTY_HOSTNAME in /etc/machine-info), or none.
std::optional<QString> stringWithMachineName();
std::optional<QString> stringWithMachineName(const std::string& machineInfoFile);

// Removes one occurrence of `string` from `list`, which must be sorted in ascending literal
// (case-sensitive) order; a list out of that order may keep the string.
void sortedStringArrayRemoveObject(QStringList& list, const QString& string);

}  // namespace OrvaneUtilities
