#pragma once

// Writes binary property lists object by object, so that a test can also write the ones no
// honest writer would: wrong shapes, bad offsets and sizes, references out of range or in a
// circle.

#include <QByteArray>
#include <cstdint>
#include <string>
#include <vector>

class BinaryPlist {
  public:
    int refSize = 1;     // bytes per object reference
    int offsetSize = 4;  // bytes per offset table entry
    uint64_t top = 0;
    std::vector<QByteArray> objects;

    // Each adds one object and gives its number.
    int string(const std::string& s) {
        return add(header(0x50, s.size()) + QByteArray::fromStdString(s));
    }
    int integer(int64_t v) {
        QByteArray o(1, char(0x13));
        for (int i = 7; i >= 0; --i) o += char(uint64_t(v) >> (8 * i));
        return add(o);
    }
    int data(const QByteArray& bytes) { return add(header(0x40, size_t(bytes.size())) + bytes); }
    int array(const std::vector<uint64_t>& refs) {
        QByteArray o = header(0xA0, refs.size());
        for (uint64_t r : refs) o += ref(r);
        return add(o);
    }
    int dict(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values) {
        QByteArray o = header(0xD0, keys.size());
        for (uint64_t k : keys) o += ref(k);
        for (uint64_t v : values) o += ref(v);
        return add(o);
    }
    // An object's bytes, for later patching (a reference that points at a later object).
    int add(const QByteArray& object) {
        objects.push_back(object);
        return int(objects.size() - 1);
    }
    QByteArray ref(uint64_t r) const { return bigEndian(r, refSize); }

    // The whole list; `offsetTableAt` and `count` replace the trailer's true values when set.
    QByteArray bytes(int64_t offsetTableAt = -1, int64_t count = -1,
                     std::vector<int64_t> offsets = {}) const {
        QByteArray out("bplist00");
        std::vector<int64_t> at;
        for (const QByteArray& o : objects) {
            at.push_back(out.size());
            out += o;
        }
        if (!offsets.empty()) at = offsets;
        const int64_t table = out.size();
        for (int64_t a : at) out += bigEndian(uint64_t(a), offsetSize);
        out += QByteArray(6, '\0');
        out += char(offsetSize);
        out += char(refSize);
        out += bigEndian(uint64_t(count >= 0 ? count : int64_t(objects.size())), 8);
        out += bigEndian(top, 8);
        out += bigEndian(uint64_t(offsetTableAt >= 0 ? offsetTableAt : table), 8);
        return out;
    }

    static QByteArray bigEndian(uint64_t v, int size) {
        QByteArray out;
        for (int i = size - 1; i >= 0; --i) out += char(i < 8 ? v >> (8 * i) : 0);
        return out;
    }
    // A marker with its count, the count following as an integer object when it is 15 or more.
    static QByteArray header(int marker, size_t count) {
        if (count < 15) return QByteArray(1, char(marker | int(count)));
        QByteArray out(1, char(marker | 0x0F));
        out += char(0x13);
        out += bigEndian(count, 8);
        return out;
    }
};
