#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TempDir.h"

// Makes a folder (if missing) and gives its resolved path, the form the kernel's table uses for
// mount points.
inline std::string makeFolder(const std::string& path) {
    mkdir(path.c_str(), 0755);
    char* resolved = realpath(path.c_str(), nullptr);
    std::string out = resolved ? resolved : "";
    free(resolved);
    return out;
}

// Declares mounted volumes for the length of a test: writes a table in the kernel's mountinfo
// format and points PELLORA_MOUNTINFO at it (restored at the end). Folders listed here count
// as mounted volumes.
class FakeMountTable {
  public:
    explicit FakeMountTable(const std::string& file) : _file(file) {
        const char* old = getenv("PELLORA_MOUNTINFO");
        _had = old != nullptr;
        if (old) _saved = old;
        setenv("PELLORA_MOUNTINFO", _file.c_str(), 1);
        writeFile(_file, QByteArray());
    }
    ~FakeMountTable() {
        if (_had)
            setenv("PELLORA_MOUNTINFO", _saved.c_str(), 1);
        else
            unsetenv("PELLORA_MOUNTINFO");
    }
    FakeMountTable(const FakeMountTable&) = delete;
    FakeMountTable& operator=(const FakeMountTable&) = delete;

    // Appends one mount (on top of any earlier one on the same folder).
    bool add(const std::string& mountPoint, const std::string& source,
             const std::string& fsType = "hfsplus") {
        int id = _nextId++;
        _text += std::to_string(id) + " 1 8:" + std::to_string(id) + " / " + escaped(mountPoint) +
                 " rw,relatime shared:" + std::to_string(id) + " - " + escaped(fsType) + " " +
                 escaped(source) + " rw\n";
        return writeFile(_file, QByteArray::fromStdString(_text));
    }

    const std::string& file() const { return _file; }

    // The kernel writes blanks, tabs, line breaks and backslashes as three octal digits.
    static std::string escaped(const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
                char buf[5];
                snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
        return out;
    }

  private:
    std::string _file;
    std::string _text;
    std::string _saved;
    bool _had = false;
    int _nextId = 100;
};
