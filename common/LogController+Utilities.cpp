#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "FileContents.h"
#include "FileManager.h"
#include "LogController.h"
#include "OrvaneUtilities+FileManager.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool createWithFolders(const std::string& path) {
    FileManager manager;
    return OrvaneUtilities::createFileAtPath(manager, path, {}, nullptr, true);
}

}  // namespace

QString LogController::generateString(const QString& message, bool withTimeStamp,
                                      bool withNewLine) {
    QString line;
    if (withTimeStamp) {
        time_t now = time(nullptr);
        struct tm local;
        char stamp[64];
        if (localtime_r(&now, &local) &&
            strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S ", &local))
            line = QString::fromLatin1(stamp);
    }
    line += message;
    if (withNewLine) line += QLatin1Char('\n');
    return line;
}

bool LogController::readLogFile() {
    auto read = readFileContents(_logFilename, -1);
    if (!read) {
        // The file lacks the text (or can't be known to hold it): the next flush writes it all.
        _rewriteFile = true;
        return true;
    }
    const QByteArray& data = *read;
    const QString contents = QString::fromUtf8(data);
    if (_window) {
        _window->setText(contents);
        _contentsReadFromFile.clear();
    } else {
        _contentsReadFromFile = contents;
    }
    fileNowMatchesText();
    // Bytes that aren't UTF-8 read as replacement characters; the file is brought in line.
    if (contents.toUtf8() != data) _rewriteFile = true;
    return true;
}

bool LogController::writeLogFile() {
    return writeLogFileTo(_logFilename);
}

bool LogController::writeLogFileTo(const std::string& path) {
    // Made first so that its missing folders exist.
    if (!path.empty() && !exists(path)) createWithFolders(path);
    const bool ok = !path.empty() && writeFileAtomically(path, text().toUtf8());
    if (!ok) fprintf(stderr, "[LogController writeToFile:%s] failed\n", path.c_str());
    if (path == _logFilename) {
        if (ok)
            fileNowMatchesText();
        else
            _rewriteFile = true;
    }
    return ok;
}

void LogController::zapLogAndWindowContents() {
    if (_window) _window->setText(QString());
    _contentsReadFromFile.clear();
    _unwritten.clear();
    if (!_logFilename.empty()) writeLogFile();
}

bool LogController::logFileExists(bool create) {
    if (exists(_logFilename)) return true;
    return create && createWithFolders(_logFilename);
}

bool LogController::flushLogFile() {
    _flushTimer.stop();
    if (_logFilename.empty()) return true;
    if (_rewriteFile) return writeLogFile();
    if (_unwritten.isEmpty() || appendToLogFile()) {
        _unwritten.clear();
        return true;
    }
    // The file is missing or a write broke off midway: replace it with the whole text.
    return writeLogFile();
}

bool LogController::appendToLogFile() {
    // Never created here: a file that has gone must be written whole, not from this point on.
    int fd = open(_logFilename.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    qsizetype done = 0;
    bool ok = true;
    while (ok && done < _unwritten.size()) {
        ssize_t n = write(fd, _unwritten.constData() + done, _unwritten.size() - done);
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    // At most once a second, so the lines survive a power cut as well as a crash.
    if (ok && fdatasync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    return ok;
}

void LogController::fileNowMatchesText() {
    _unwritten.clear();
    _rewriteFile = false;
    _flushTimer.stop();
}
