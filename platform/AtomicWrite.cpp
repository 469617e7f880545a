#include "AtomicWrite.h"
#include "PathUtilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool fail(QString* error, int errnum) {
    if (error) *error = errorText(errnum);
    return false;
}

}  // namespace

QString errorText(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return QString::fromLocal8Bit(text);
}

bool syncParentFolder(const std::string& path) {
    int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool writeFileAtomically(const std::string& path, const QByteArray& data, QString* error,
                         unsigned mode) {
    std::string temp = folderOf(path) + "/.pellora-tmp-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return fail(error, errno);

    struct stat old;
    if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode &= ~mask;
    }

    int err = 0;
    qsizetype done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.constData() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += n;
    }
    if (!err && fchmod(fd, mode) != 0) err = errno;
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err && rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        unlink(temp.c_str());
        return fail(error, err);
    }
    syncParentFolder(path);
    return true;
}
