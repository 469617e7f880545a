#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TempDir.h"

// Declares mounted volumes for the length of a test: writes a table in the kernel's mountinfo
// format and points PELLORA_MOUNTINFO at it (restored at the end). Folders listed here count
// as mounted volumes.
class FakeMountTable {
  public:
    explicit FakeMountTable(const std::string& file) : _file(file) {
        if (const char* old = getenv("PELLORA_MOUNTINFO")) _saved = old;
        setenv("PELLORA_MOUNTINFO", _file.c_str(), 1);
        writeFile(_file, QByteArray());
    }
    ~FakeMountTable() {
        _saved.empty() ? unsetenv("PELLORA_MOUNTINFO")
                       : setenv("PELLORA_MOUNTINFO", _saved.c_str(), 1);
    }
    FakeMountTable(const FakeMountTable&) = delete;
    FakeMountTable& operator=(const FakeMountTable&) = delete;

    // Appends one mount (on top of any earlier one on the same folder), in one write as the
    // kernel's table grows, so that a program watching the table never reads it emptied.
    bool add(const std::string& mountPoint, const std::string& source,
             const std::string& fsType = "hfsplus") {
        _mounts.push_back({mountPoint, source, fsType, _nextId++});
        const std::string line = lineOf(_mounts.back());
        const int fd = open(_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const bool whole = fd >= 0 && write(fd, line.data(), line.size()) == ssize_t(line.size());
        return fd >= 0 && close(fd) == 0 && whole;
    }
    // Removes every mount of `source` (the device's unmount); the table is replaced by a rename.
    bool remove(const std::string& source) {
        std::erase_if(_mounts, [&](const Mount& m) { return m.source == source; });
        return replace();
    }
    // Moves the mounts on `from` to `to` (a renamed volume).
    bool move(const std::string& from, const std::string& to) {
        for (Mount& m : _mounts)
            if (m.mountPoint == from) m.mountPoint = to;
        return replace();
    }

    // The kernel writes blanks, tabs, line breaks and backslashes as three octal digits.
    static std::string escaped(const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            char buf[5] = {char(c), 0};
            if (c == ' ' || c == '\t' || c == '\n' || c == '\\')
                snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
        return out;
    }

  private:
    struct Mount {
        std::string mountPoint, source, fsType;
        int id;
    };
    static std::string lineOf(const Mount& m) {
        const std::string id = std::to_string(m.id);
        return id + " 1 8:" + id + " / " + escaped(m.mountPoint) + " rw,relatime shared:" + id +
               " - " + escaped(m.fsType) + " " + escaped(m.source) + " rw\n";
    }
    bool replace() {
        std::string text;
        for (const Mount& m : _mounts) text += lineOf(m);
        return writeFile(_file + ".new", QByteArray::fromStdString(text)) &&
               rename((_file + ".new").c_str(), _file.c_str()) == 0;
    }

    std::string _file, _saved;
    std::vector<Mount> _mounts;
    int _nextId = 100;
};
