#pragma once

// Shared by the property-list reader, writer and value helpers; not for other callers.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantHash>
#include <QVariantMap>
#include <cstdint>

namespace plist_detail {

enum class Kind { Dictionary, Array, String, Integer, Unsigned, Real, Boolean, Date, Data, Other };

Kind kindOf(const QVariant& v);

inline bool fail(QString* error, const QString& text) {
    if (error) *error = text;
    return false;
}

// Dates are kept to years 1 to 9999, where the XML form is plain; strings must not hold NUL.
bool checkDate(const QDateTime& date, QString* error);
bool checkString(const QString& text, QString* error);

// `in` in its canonical form (see normalizedPropertyList); `depth` counts enclosing containers.
bool normalize(const QVariant& in, QVariant* out, int depth, QString* error);

// A binary list's structure is sound enough to hand to libplist.
bool checkBinaryShape(const QByteArray& bytes, QString* error);

inline uint64_t readBigEndian(const uint8_t* p, unsigned size) {
    uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// Both the dictionary kinds, keys in order.
template <typename F>
inline bool forEachEntry(const QVariant& dict, F&& f) {
    if (dict.typeId() == QMetaType::QVariantHash) {
        QVariantHash hash = dict.toHash();
        QStringList keys = hash.keys();
        keys.sort();
        for (const QString& key : keys)
            if (!f(key, hash.value(key))) return false;
        return true;
    }
    QVariantMap map = dict.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        if (!f(it.key(), it.value())) return false;
    return true;
}

}  // namespace plist_detail
