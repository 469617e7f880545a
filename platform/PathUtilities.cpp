#include "PathUtilities.h"

#include <cstdlib>
#include <vector>

std::string stringByDeletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    p.resize(slash);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string stringByAppendingPathComponent(const std::string& path, const std::string& name) {
    if (path.empty()) return name;
    if (path.back() == '/') return path + name;
    return path + "/" + name;
}

std::string folderOf(const std::string& path) {
    std::string parent = stringByDeletingLastPathComponent(path);
    return parent.empty() ? "." : parent;
}

std::string lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.find_last_of('/');
    return slash == std::string::npos || p == "/" ? p : p.substr(slash + 1);
}

std::string stringByStandardizingPath(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p[0] == '~' && (p.size() == 1 || p[1] == '/')) {
        const char* home = getenv("HOME");
        p = std::string(home ? home : "") + p.substr(1);
    }
    bool absolute = !p.empty() && p[0] == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        std::string part = p.substr(start, end - start);
        if (part.empty() || part == ".") {
            // dropped
        } else if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

std::string stringByAbbreviatingWithTildeInPath(const std::string& path) {
    const char* variable = getenv("HOME");
    std::string home = variable ? variable : "";
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    // With the home at the root every absolute path would start with "~".
    if (home.empty() || home == "/" || path.compare(0, home.size(), home) != 0) return path;
    if (path.size() == home.size()) return "~";
    if (path[home.size()] != '/') return path;  // "/home/u2" is not under "/home/u"
    return "~" + path.substr(home.size());
}
