#include "TempDir.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "TreeSnapshot.h"

namespace {

int makeWritable(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | 0700);
    return 0;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

const char* const kVars[5] = {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
                              "XDG_CACHE_HOME"};
const char* const kDirs[5] = {"", "/.config", "/.local/state", "/.local/share", "/.cache"};

}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pellora-test-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    _path = templ;
}

TempDir::~TempDir() {
    // Pre-order passes open up folders a test made unreadable, then a post-order pass removes.
    nftw(_path.c_str(), makeWritable, 16, FTW_PHYS);
    nftw(_path.c_str(), makeWritable, 16, FTW_PHYS);
    nftw(_path.c_str(), removeEntry, 16, FTW_PHYS | FTW_DEPTH);
}

TestHome::TestHome() {
    for (int i = 0; i < 5; ++i) {
        const char* old = getenv(kVars[i]);
        _had[i] = old != nullptr;
        if (old) _saved[i] = old;
        setenv(kVars[i], (_dir.path() + kDirs[i]).c_str(), 1);
    }
}

TestHome::~TestHome() {
    for (int i = 0; i < 5; ++i)
        _had[i] ? setenv(kVars[i], _saved[i].c_str(), 1) : unsetenv(kVars[i]);
}

bool writeFile(const std::string& path, const QByteArray& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    qsizetype done = 0;
    for (ssize_t n = 0; done < data.size(); done += n)
        if ((n = write(fd, data.constData() + done, data.size() - done)) <= 0) break;
    return close(fd) == 0 && done == data.size();
}

QByteArray readFile(const std::string& path, bool* ok) {
    QByteArray out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ok) *ok = fd >= 0;
    if (fd < 0) return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
    if (n < 0 && ok) *ok = false;
    close(fd);
    return out;
}

bool pathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

std::string makeFolder(const std::string& path) {
    mkdir(path.c_str(), 0755);
    char* resolved = realpath(path.c_str(), nullptr);
    std::string out = resolved ? resolved : "";
    free(resolved);
    return out;
}

bool putFile(const std::string& path, const QByteArray& data, long long mtimeNs) {
    makeFolders(path.substr(0, path.rfind('/')));
    return writeFile(path, data) && (!mtimeNs || setModificationTime(path, mtimeNs));
}
