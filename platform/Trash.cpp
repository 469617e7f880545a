#include "Trash.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStandardPaths>
#include <cerrno>

#include "FileContents.h"
#include "PathUtilities.h"

namespace {

// The home trash must exist before the move: without it the move goes ahead anyway, to a
// "files" folder beside whatever the current folder happens to be.
bool ensureHomeTrash() {
    const std::string dataHome =
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .toStdString();
    if (dataHome.empty() || dataHome.front() != '/') return false;
    const std::string trash = dataHome + "/Trash";
    return makeFolders(trash + "/files", 0700) && makeFolders(trash + "/info", 0700);
}

// <trash>/files/<name>, the trash being …/Trash, <top>/.Trash-<uid> or <top>/.Trash/<uid>.
bool isInATrash(const std::string& path) {
    if (path.empty() || path.front() != '/') return false;
    const std::string files = stringByDeletingLastPathComponent(path);
    if (lastPathComponent(files) != "files") return false;
    const std::string trash = stringByDeletingLastPathComponent(files);
    const std::string uid = std::to_string(getuid());
    const std::string name = lastPathComponent(trash);
    return name == "Trash" || name == ".Trash-" + uid ||
           (name == uid && lastPathComponent(stringByDeletingLastPathComponent(trash)) == ".Trash");
}

}  // namespace

bool moveItemToTrash(const std::string& path, std::string* pathInTrash) {
    if (path.empty()) return false;
    const QByteArray bytes = QByteArray::fromStdString(path);
    const QString name = QFile::decodeName(bytes);
    // Decoding replaces bytes that are not UTF-8; the trash would then look for another name
    // (or, worse, find one). Only a name that survives the round trip is handed over.
    if (QFile::encodeName(name) != bytes) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!ensureHomeTrash()) return false;
    QString trashed;
    if (!QFile::moveToTrash(name, &trashed)) return false;
    const std::string where = QFile::encodeName(trashed).toStdString();
    if (!isInATrash(where)) {
        // Put it back: the caller was told it stays where it was unless it reached a trash.
        if (rename(where.c_str(), path.c_str()) != 0)
            qWarning("moveItemToTrash: %s was moved to %s and could not be put back", path.c_str(),
                     where.c_str());
        return false;
    }
    if (pathInTrash) *pathInTrash = where;
    return true;
}
