#pragma once

#include <QByteArray>
#include <string>

// A private folder for one test, removed with everything in it at the end (unreadable or
// read-only folders included).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    std::string operator/(const std::string& name) const { return _path + "/" + name; }

  private:
    std::string _path;
};

// Points HOME and the XDG base folders (config, state, data, cache) into a fresh folder for the
// test's lifetime.
class TestHome {
  public:
    TestHome();
    ~TestHome();
    const std::string& path() const { return _dir.path(); }

  private:
    TempDir _dir;
    std::string _saved[5];
    bool _had[5];
};

// Small file helpers that work on byte paths.
bool writeFile(const std::string& path, const QByteArray& data);
QByteArray readFile(const std::string& path, bool* ok = nullptr);
bool pathExists(const std::string& path);  // without following a final link
// Creates the folder and every missing one above it.
void makeFolders(const std::string& path);
// Makes a folder (if missing) and gives its resolved path, the form the kernel's table uses
// for mount points.
std::string makeFolder(const std::string& path);
// Writes a file, making its folders, dated `mtimeNs` unless that is 0.
bool putFile(const std::string& path, const QByteArray& data, long long mtimeNs = 0);
