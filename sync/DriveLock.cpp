#include "DriveLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

DriveLock::~DriveLock() {
    if (_fd >= 0) close(_fd);
}

DriveLock::Result DriveLock::acquire(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Result::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return err == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    }
    _fd = fd;
    return Result::Held;
}
