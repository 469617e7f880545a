#pragma once

#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// Points TMPDIR at /dev/shm for its lifetime, where that is a writable tmpfs with at least
// `minimumFree` bytes free: tests whose trees are large then neither wait on the disk for their
// flushes nor for removing them. Elsewhere it changes nothing.
class InMemoryTemporaryFolder {
  public:
    explicit InMemoryTemporaryFolder(uint64_t minimumFree = uint64_t(1) << 30) {
        struct statfs fs;
        if (statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC ||
            uint64_t(fs.f_bavail) * fs.f_bsize < minimumFree || access("/dev/shm", W_OK) != 0)
            return;
        const char* old = getenv("TMPDIR");
        _had = old != nullptr;
        if (old) _saved = old;
        setenv("TMPDIR", "/dev/shm", 1);
        _set = true;
    }
    ~InMemoryTemporaryFolder() {
        if (!_set) return;
        if (_had)
            setenv("TMPDIR", _saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    InMemoryTemporaryFolder(const InMemoryTemporaryFolder&) = delete;
    InMemoryTemporaryFolder& operator=(const InMemoryTemporaryFolder&) = delete;

  private:
    bool _set = false, _had = false;
    std::string _saved;
};
