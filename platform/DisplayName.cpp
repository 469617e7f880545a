#include "DisplayName.h"

#include <dirent.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "MountTable.h"
#include "PathUtilities.h"

namespace {

std::optional<std::string> resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

std::string canonicalDevice(const std::string& device) {
    return resolved(device).value_or(stringByStandardizingPath(device));
}

std::optional<std::string> linkTarget(const std::string& folder, const std::string& name) {
    const std::string link = folder + "/" + name;
    if (auto real = resolved(link)) return real;
    std::string target(4096, '\0');
    ssize_t n = readlink(link.c_str(), target.data(), target.size());
    if (n < 0 || size_t(n) >= target.size()) return std::nullopt;
    target.resize(size_t(n));
    if (target.empty()) return std::nullopt;
    return stringByStandardizingPath(target.front() == '/' ? target : folder + "/" + target);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// udev writes the bytes it won't put in a link name (blanks, "/", "\") as \xHH.
std::string unescapeLabel(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            int high = hexValue(name[i + 2]), low = hexValue(name[i + 3]);
            if (high >= 0 && low >= 0) {
                out += char(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += name[i];
    }
    return out;
}

std::string lastComponent(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? std::string() : std::string("/");
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

}  // namespace

QString volumeLabelForDevice(const std::string& device, const std::string& labelFolder) {
    if (device.rfind("/dev/", 0) != 0) return QString();
    DIR* dir = opendir(labelFolder.c_str());
    if (!dir) return QString();
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    const std::string wanted = canonicalDevice(device);
    for (const std::string& name : names) {
        if (linkTarget(labelFolder, name) == wanted)
            return QFile::decodeName(QByteArray::fromStdString(unescapeLabel(name)));
    }
    return QString();
}

QString displayNameAtPath(const std::string& path) {
    return displayNameAtPath(path, "/dev/disk/by-label");
}

QString displayNameAtPath(const std::string& path, const std::string& labelFolder) {
    if (auto real = resolved(path)) {
        if (auto table = readMountTable()) {
            const MountEntry* mount = nullptr;
            // The topmost of several mounts on one point is the one seen there.
            for (const MountEntry& entry : *table) {
                if (stringByStandardizingPath(entry.mountPoint) == *real) mount = &entry;
            }
            if (mount) {
                QString label = volumeLabelForDevice(mount->source, labelFolder);
                if (!label.isEmpty()) return label;
                return QFile::decodeName(QByteArray::fromStdString(lastComponent(*real)));
            }
        }
    }
    return QFile::decodeName(QByteArray::fromStdString(lastComponent(path)));
}
