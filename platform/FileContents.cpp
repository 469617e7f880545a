#include "FileContents.h"
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

std::optional<QByteArray> readFileContents(const std::string& path, qint64 limit, int* err,
                                           bool followLink) {
    int error = 0;
    QByteArray data;
    int fd = open(path.c_str(),
                  O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW));
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    } else if (limit >= 0 && st.st_size > limit) {
        error = EFBIG;
    } else {
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                break;
            }
            if (n == 0) break;
            data.append(buf, n);
            // Files that grow while read, and those of /proc and /sys that claim no size.
            if (limit >= 0 && data.size() > limit) {
                error = EFBIG;
                break;
            }
        }
    }
    if (fd >= 0) close(fd);
    if (err) *err = error;
    if (error) return std::nullopt;
    return data;
}

bool makeFolders(const std::string& folder, unsigned mode, QString* error) {
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/') continue;
        if (mkdir(folder.substr(0, pos).c_str(), mode) != 0 && errno != EEXIST) {
            if (error) *error = errorText(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (error) *error = errorText(ENOTDIR);
    return false;
}

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
