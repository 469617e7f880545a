#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

    // Appends one mount (on top of any earlier one on the same folder). The line is appended in
    // one write, as the kernel's table grows, so that a program watching the table never reads
    // it emptied.
    bool add(const std::string& mountPoint, const std::string& source,
             const std::string& fsType = "hfsplus") {
        int id = _nextId++;
        const std::string line = std::to_string(id) + " 1 8:" + std::to_string(id) + " / " +
                                 escaped(mountPoint) + " rw,relatime shared:" + std::to_string(id) +
                                 " - " + escaped(fsType) + " " + escaped(source) + " rw\n";
        _text += line;
        int fd = open(_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return false;
        const bool whole = write(fd, line.data(), line.size()) == ssize_t(line.size());
        return close(fd) == 0 && whole;
    }

    // Removes every mount of `source` (the device's unmount). The table is replaced whole,
    // by a rename.
    bool remove(const std::string& source) {
        return rewrite([&](const std::string& line) {
            return line.find(" - ") != std::string::npos &&
                   line.find(" " + escaped(source) + " ", line.find(" - ") + 2) !=
                       std::string::npos;
        });
    }

    // Moves the mounts on `from` to `to` (a renamed volume), replacing the table by a rename.
    bool move(const std::string& from, const std::string& to) {
        std::string text;
        size_t start = 0;
        while (start < _text.size()) {
            size_t end = _text.find('\n', start) + 1;
            std::string line = _text.substr(start, end - start);
            const std::string old = " / " + escaped(from) + " ";
            size_t at = line.find(old);
            if (at != std::string::npos) line.replace(at, old.size(), " / " + escaped(to) + " ");
            text += line;
            start = end;
        }
        _text = text;
        return replace();
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
    template <typename Drop>
    bool rewrite(Drop drop) {
        std::string text;
        size_t start = 0;
        while (start < _text.size()) {
            size_t end = _text.find('\n', start) + 1;
            std::string line = _text.substr(start, end - start);
            if (!drop(line)) text += line;
            start = end;
        }
        _text = text;
        return replace();
    }
    bool replace() {
        const std::string temporary = _file + ".new";
        return writeFile(temporary, QByteArray::fromStdString(_text)) &&
               rename(temporary.c_str(), _file.c_str()) == 0;
    }

    std::string _file;
    std::string _text;
    std::string _saved;
    bool _had = false;
    int _nextId = 100;
};
