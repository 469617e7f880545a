#include "StagingRecord.h"

#include <QDataStream>
#include <QIODevice>

#include "FileContents.h"
#include "PathUtilities.h"

namespace {

const QByteArray kMagic("pellora staging record 1");
// A record bigger than this is not one of ours.
constexpr qint64 kMaxRecordBytes = qint64(1) << 30;

}  // namespace

void StagingRecord::add(const std::string& key, const std::optional<FileAttributes>& decided) {
    _items[key] = Item{decided, {}};
    _dirty = true;
}

void StagingRecord::addFolderMode(const std::string& key, const std::string& below, mode_t mode) {
    _items[key].folderModes.emplace_back(below, mode);
    _dirty = true;
}

const StagingRecord::Item* StagingRecord::find(const std::string& key) const {
    auto it = _items.find(key);
    return it == _items.end() ? nullptr : &it->second;
}

bool StagingRecord::unchanged(const Item& item, const std::optional<FileAttributes>& now) {
    if (!item.decided || !now) return !item.decided && !now;
    const FileAttributes& d = *item.decided;
    return d.type == now->type && d.size == now->size &&
           d.modificationTimeNs == now->modificationTimeNs && d.inode == now->inode;
}

QByteArray StagingRecord::serialized() const {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << kMagic << quint64(_items.size());
    for (const auto& [key, item] : _items) {
        out << QByteArray::fromStdString(key) << bool(item.decided);
        const FileAttributes d = item.decided.value_or(FileAttributes{});
        out << qint32(d.type) << quint64(d.size) << qint64(d.modificationTimeNs) << quint64(d.inode)
            << quint64(item.folderModes.size());
        for (const auto& [below, mode] : item.folderModes)
            out << QByteArray::fromStdString(below) << quint32(mode);
    }
    return bytes;
}

std::optional<StagingRecord> StagingRecord::parse(const QByteArray& bytes) {
    QDataStream in(bytes);
    QByteArray magic;
    quint64 count = 0;
    in >> magic >> count;
    if (magic != kMagic) return std::nullopt;
    StagingRecord record;
    for (quint64 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QByteArray key, below;
        bool present = false;
        qint32 type = 0;
        quint64 size = 0, inode = 0, modes = 0;
        qint64 mtime = 0;
        in >> key >> present >> type >> size >> mtime >> inode >> modes;
        Item item;
        if (present) {
            FileAttributes d;
            d.type = FileType(type);
            d.size = size;
            d.modificationTimeNs = mtime;
            d.inode = ino_t(inode);
            item.decided = d;
        }
        for (quint64 m = 0; m < modes && in.status() == QDataStream::Ok; ++m) {
            quint32 mode = 0;
            in >> below >> mode;
            item.folderModes.emplace_back(below.toStdString(), mode_t(mode & 07777));
        }
        record._items[key.toStdString()] = std::move(item);
    }
    // A torn or foreign file is no record: half a record would pass for a whole one.
    if (in.status() != QDataStream::Ok || !in.atEnd()) return std::nullopt;
    return record;
}

bool StagingRecord::writeInto(const std::string& folder, QString* error) {
    if (!_dirty) return true;
    // Readable to all: another computer's user may finish the drive's staging.
    if (!writeFileAtomically(stringByAppendingPathComponent(folder, kFileName), serialized(), error,
                             0644))
        return false;
    _dirty = false;
    return true;
}

std::optional<StagingRecord> StagingRecord::readFrom(const std::string& folder) {
    std::optional<QByteArray> bytes =
        readFileContents(stringByAppendingPathComponent(folder, kFileName), kMaxRecordBytes);
    return bytes ? parse(*bytes) : std::nullopt;
}
