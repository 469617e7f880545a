#pragma once

#include <string>

// Path helpers on byte strings: file names need not be valid UTF-8.

// The parent path; "" for a path of one component, "/" for an item at the root.
std::string stringByDeletingLastPathComponent(const std::string& path);
// The parent path, "." for a bare name: a folder that open() can take.
std::string folderOf(const std::string& path);
std::string stringByAppendingPathComponent(const std::string& path, const std::string& name);
std::string lastPathComponent(const std::string& path);
// A leading "~" expanded, empty and "." components dropped, ".." resolved.
std::string stringByStandardizingPath(const std::string& path);
// A leading home folder ($HOME) written "~"; anything else, and any path when the home is "/"
// or unknown, as it is.
std::string stringByAbbreviatingWithTildeInPath(const std::string& path);
