#include "FolderChain.h"

#include <sys/stat.h>

#include <cerrno>

#include "PathUtilities.h"

std::vector<std::string> parentPathComponents(const std::string& path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) break;
        if (end > start) components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

FolderChainState folderChainState(const std::string& base,
                                  const std::vector<std::string>& components) {
    std::string path = base;
    for (const std::string& component : components) {
        path = stringByAppendingPathComponent(path, component);
        struct stat status;
        if (lstat(path.c_str(), &status) != 0)
            return errno == ENOENT ? FolderChainState::Missing : FolderChainState::InTheWay;
        if (!S_ISDIR(status.st_mode)) return FolderChainState::InTheWay;
    }
    return FolderChainState::Folders;
}

bool makeFolderChain(const std::string& base, const std::vector<std::string>& components,
                     std::optional<mode_t> mode) {
    std::string path = base;
    for (const std::string& component : components) {
        path = stringByAppendingPathComponent(path, component);
        struct stat status;
        if (lstat(path.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) return false;
            continue;
        }
        if (errno != ENOENT) return false;
        if (mkdir(path.c_str(), mode.value_or(0777)) != 0 && errno != EEXIST) return false;
        // The umask must not narrow a mode asked for.
        if (mode) chmod(path.c_str(), *mode);
        if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    }
    return true;
}
