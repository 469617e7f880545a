#pragma once

#include <QString>
#include <string>

// The name to show for an item. A mount point shows its volume's label when the volume has
// one, else its folder name; any other item shows its last path component. For display only:
// the bytes of the name are decoded and may not survive a trip back to a file name.
QString displayNameAtPath(const std::string& path);

// The same, with the volume labels looked up in `labelFolder` instead of /dev/disk/by-label.
QString displayNameAtPath(const std::string& path, const std::string& labelFolder);

// The label of the block device `device` ("/dev/sdb1"), from the links in `labelFolder`
// whose names are the labels (udev escapes bytes there as \xHH). Empty when it has none.
QString volumeLabelForDevice(const std::string& device,
                             const std::string& labelFolder = "/dev/disk/by-label");
