#include "PropertyList.h"
#include "PropertyListPrivate.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace plist_detail {

namespace {

// Binary lists may share objects; a tree that would expand beyond this (an estimate of the
// memory its nodes take) is refused rather than built.
constexpr uint64_t kMaxExpandedWeight = 64ull * 1024 * 1024;
constexpr uint64_t kNodeWeight = 64;

// libplist 2.2 parses binary lists recursively, with no limit on nesting, and expands shared
// objects into copies, so their shape is checked first: every object within the object area,
// references within the object table, no cycles, dictionary keys that are strings, nesting
// and the expanded size bounded.
class BinaryShape {
  public:
    BinaryShape(const QByteArray& bytes, QString* error)
        : _data(reinterpret_cast<const uint8_t*>(bytes.constData())),
          _size(uint64_t(bytes.size())),
          _error(error) {}

    bool check() {
        if (_size < 8 + 1 + 32 || memcmp(_data, "bplist00", 8) != 0)
            return fail(_error, QStringLiteral("not a binary property list of version 00"));
        const uint8_t* trailer = _data + _size - 32;
        _offsetSize = trailer[6];
        _refSize = trailer[7];
        _count = readBigEndian(trailer + 8, 8);
        const uint64_t top = readBigEndian(trailer + 16, 8);
        _tableOffset = readBigEndian(trailer + 24, 8);
        if (_offsetSize < 1 || _offsetSize > 8 || _refSize < 1 || _refSize > 8)
            return fail(_error, QStringLiteral("binary property list with bad field sizes"));
        if (_tableOffset < 9 || _tableOffset > _size - 32 || _count == 0 || top >= _count ||
            _count > (_size - 32 - _tableOffset) / _offsetSize)
            return fail(_error, QStringLiteral("binary property list with a bad offset table"));
        return walk(top);
    }

  private:
    struct Object {
        uint64_t index = 0;
        const uint8_t* refs = nullptr;  // the references it holds
        uint64_t refCount = 0;
        uint64_t keyCount = 0;  // the first keyCount references are dictionary keys
        uint64_t weight = 0;
        unsigned type = 0;
        const uint8_t* payload = nullptr;  // the bytes of a scalar
        uint64_t payloadSize = 0;
    };

    struct Frame {
        Object object;
        uint64_t next = 0;
        uint32_t height = 0;
        uint64_t weight = 0;
    };

    struct Seen {
        bool done = false;
        uint32_t height = 0;
        uint64_t weight = 0;
    };

    bool bad() { return fail(_error, QStringLiteral("malformed binary property list")); }

    bool offsetOf(uint64_t index, uint64_t* offset) {
        *offset = readBigEndian(_data + _tableOffset + index * _offsetSize, _offsetSize);
        return *offset >= 8 && *offset < _tableOffset;
    }

    bool parse(uint64_t index, Object* o) {
        uint64_t offset;
        if (!offsetOf(index, &offset)) return bad();
        const uint8_t marker = _data[offset];
        const unsigned type = marker >> 4, info = marker & 0x0f;
        uint64_t pos = offset + 1;
        uint64_t payload = 0;
        o->index = index;
        switch (type) {
            case 0x0:  // null, false, true, fill
                if (info != 0x0 && info != 0x8 && info != 0x9 && info != 0xf) return bad();
                break;
            case 0x1:  // integer of 2^info bytes
                if (info > 4) return bad();
                payload = 1u << info;
                break;
            case 0x2:  // real of 4 or 8 bytes
                if (info != 2 && info != 3) return bad();
                payload = 1u << info;
                break;
            case 0x3:  // date
                if (info != 3) return bad();
                payload = 8;
                break;
            case 0x4:    // data
            case 0x5:    // ASCII string
            case 0x6:    // UTF-16 string
            case 0x7:    // UTF-8 string
            case 0xa:    // array
            case 0xc:    // set
            case 0xd: {  // dictionary
                uint64_t count = info;
                if (info == 0xf) {
                    if (pos >= _tableOffset) return bad();
                    const uint8_t countMarker = _data[pos];
                    if ((countMarker >> 4) != 0x1 || (countMarker & 0x0f) > 3) return bad();
                    const unsigned bytes = 1u << (countMarker & 0x0f);
                    if (_tableOffset - pos - 1 < bytes) return bad();
                    count = readBigEndian(_data + pos + 1, bytes);
                    pos += 1 + bytes;
                }
                uint64_t unit = type == 0x6   ? 2
                                : type == 0xd ? 2 * _refSize
                                : type >= 0xa ? _refSize
                                              : 1;
                if (count > (_tableOffset - pos) / unit) return bad();
                if (type >= 0xa) {
                    o->refs = _data + pos;
                    o->refCount = type == 0xd ? 2 * count : count;
                    o->keyCount = type == 0xd ? count : 0;
                } else {
                    payload = count * unit;
                }
                break;
            }
            case 0x8:  // UID
                payload = info + 1;
                break;
            default:
                return bad();
        }
        if (payload > _tableOffset - pos) return bad();
        // libplist keeps strings as C strings: one holding NUL would be cut short there without
        // a word, and read as another string. XML can't carry NUL either.
        if (type >= 0x5 && type <= 0x7) {
            const unsigned unit = type == 0x6 ? 2 : 1;
            for (uint64_t i = 0; i + unit <= payload; i += unit)
                if (readBigEndian(_data + pos + i, unit) == 0) return bad();
        }
        o->type = type;
        o->payload = _data + pos;
        o->payloadSize = payload;
        o->weight = kNodeWeight + payload;
        return true;
    }

    // libplist asserts (and so aborts) on a key holding NUL.
    bool isUsableKey(uint64_t index) {
        Object key;
        if (!parse(index, &key)) return false;
        if (key.type != 0x5 && key.type != 0x6 && key.type != 0x7) return false;
        const unsigned unit = key.type == 0x6 ? 2 : 1;
        for (uint64_t i = 0; i < key.payloadSize; i += unit)
            if (readBigEndian(key.payload + i, unit) == 0) return false;
        return true;
    }

    // Depth-first over the object graph with each object's height and expanded weight
    // remembered, so shared objects are visited once.
    bool walk(uint64_t top) {
        // Only reached objects are remembered: the offset table may name far more.
        std::unordered_map<uint64_t, Seen> seen;
        std::vector<Frame> stack;
        Frame first;
        if (!parse(top, &first.object)) return false;
        seen[top] = Seen{};
        stack.push_back(first);
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next < f.object.refCount) {
                const bool isKey = f.next < f.object.keyCount;
                const uint64_t child = readBigEndian(f.object.refs + f.next * _refSize, _refSize);
                ++f.next;
                if (child >= _count) return bad();
                if (isKey && !isUsableKey(child))
                    return fail(_error,
                                QStringLiteral("dictionary key that is not a string or holds NUL"));
                auto known = seen.find(child);
                if (known != seen.end() && known->second.done) {
                    f.height = std::max(f.height, known->second.height);
                    f.weight = std::min(f.weight + known->second.weight, kMaxExpandedWeight + 1);
                    continue;
                }
                if (known != seen.end())
                    return fail(_error, QStringLiteral("binary property list holds a cycle"));
                if (stack.size() > size_t(kPropertyListMaxDepth))
                    return fail(_error, QStringLiteral("nested more than %1 levels deep")
                                            .arg(kPropertyListMaxDepth));
                Frame next;
                if (!parse(child, &next.object)) return false;
                seen[child] = Seen{};
                stack.push_back(next);
                continue;
            }
            Seen& done = seen[f.object.index];
            done.done = true;
            done.height = f.height + 1;
            done.weight = std::min(f.weight + f.object.weight, kMaxExpandedWeight + 1);
            stack.pop_back();
            if (done.weight > kMaxExpandedWeight)
                return fail(_error, QStringLiteral("binary property list expands too far"));
            if (done.height > uint32_t(kPropertyListMaxDepth) + 1)
                return fail(
                    _error,
                    QStringLiteral("nested more than %1 levels deep").arg(kPropertyListMaxDepth));
            if (!stack.empty()) {
                Frame& parent = stack.back();
                parent.height = std::max(parent.height, done.height);
                parent.weight = std::min(parent.weight + done.weight, kMaxExpandedWeight + 1);
            }
        }
        return true;
    }

    const uint8_t* _data;
    uint64_t _size;
    QString* _error;
    unsigned _offsetSize = 0;
    unsigned _refSize = 0;
    uint64_t _count = 0;
    uint64_t _tableOffset = 0;
};

}  // namespace

bool checkBinaryShape(const QByteArray& bytes, QString* error) {
    return BinaryShape(bytes, error).check();
}

}  // namespace plist_detail
