#pragma once

#include <string>

// One process's hold on a drive for one task: an exclusive flock on the drive's root folder,
// which ends with the process however it ends and leaves nothing on the drive. Another engine
// on the same drive (a second process, the headless runner, another user) finds it held and
// leaves the drive alone.
class DriveLock {
  public:
    enum class Result { Held, HeldElsewhere, Failed };

    DriveLock() = default;
    ~DriveLock();
    DriveLock(const DriveLock&) = delete;
    DriveLock& operator=(const DriveLock&) = delete;

    // Locks the folder at `path`; on Failed, errno says why.
    Result acquire(const std::string& path);

  private:
    int _fd = -1;
};
