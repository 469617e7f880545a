#include "PropertyList.h"
#include "PropertyListPrivate.h"

#include <QMetaType>
#include <QVariantList>
#include <cmath>
#include <limits>

namespace plist_detail {

Kind kindOf(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return Kind::Dictionary;
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
            return Kind::Array;
        case QMetaType::QString:
            return Kind::String;
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::Long:
        case QMetaType::Short:
        case QMetaType::SChar:
        case QMetaType::Char:
            return Kind::Integer;
        case QMetaType::UInt:
        case QMetaType::ULongLong:
        case QMetaType::ULong:
        case QMetaType::UShort:
        case QMetaType::UChar:
            return Kind::Unsigned;
        case QMetaType::Double:
        case QMetaType::Float:
            return Kind::Real;
        case QMetaType::Bool:
            return Kind::Boolean;
        case QMetaType::QDateTime:
            return Kind::Date;
        case QMetaType::QByteArray:
            return Kind::Data;
        default:
            return Kind::Other;
    }
}

bool checkDate(const QDateTime& date, QString* error) {
    if (!date.isValid()) return fail(error, QStringLiteral("invalid date"));
    int year = date.toUTC().date().year();
    if (year < 1 || year > 9999) return fail(error, QStringLiteral("date outside years 1 to 9999"));
    return true;
}

bool checkString(const QString& text, QString* error) {
    if (text.contains(QChar(0))) return fail(error, QStringLiteral("string holds a NUL character"));
    return true;
}

namespace {

QVariant integerValue(quint64 u) {
    if (u <= quint64(std::numeric_limits<qint64>::max())) return QVariant(qint64(u));
    return QVariant(u);
}

}  // namespace

bool normalize(const QVariant& in, QVariant* out, int depth, QString* error) {
    switch (kindOf(in)) {
        case Kind::Dictionary: {
            if (depth >= kPropertyListMaxDepth)
                return fail(error, QStringLiteral("nested too deeply"));
            QVariantMap result;
            bool ok = forEachEntry(in, [&](const QString& key, const QVariant& value) {
                QVariant v;
                if (!checkString(key, error) || !normalize(value, &v, depth + 1, error))
                    return false;
                result.insert(key, v);
                return true;
            });
            if (!ok) return false;
            *out = result;
            return true;
        }
        case Kind::Array: {
            if (depth >= kPropertyListMaxDepth)
                return fail(error, QStringLiteral("nested too deeply"));
            QVariantList result;
            for (const QVariant& item : in.toList()) {
                QVariant v;
                if (!normalize(item, &v, depth + 1, error)) return false;
                result.append(v);
            }
            *out = result;
            return true;
        }
        case Kind::String:
            if (!checkString(in.toString(), error)) return false;
            *out = in.toString();
            return true;
        case Kind::Integer:
            *out = QVariant(in.toLongLong());
            return true;
        case Kind::Unsigned:
            *out = integerValue(in.toULongLong());
            return true;
        case Kind::Real:
            *out = QVariant(in.toDouble());
            return true;
        case Kind::Boolean:
            *out = QVariant(in.toBool());
            return true;
        case Kind::Date:
            if (!checkDate(in.toDateTime(), error)) return false;
            *out = in.toDateTime().toUTC();
            return true;
        case Kind::Data:
            *out = in.toByteArray();
            return true;
        case Kind::Other:
            break;
    }
    return fail(error, in.isValid() ? QStringLiteral("value of type %1 has no property-list form")
                                          .arg(QString::fromLatin1(in.typeName()))
                                    : QStringLiteral("invalid value"));
}

}  // namespace plist_detail

using namespace plist_detail;

std::optional<QVariant> normalizedPropertyList(const QVariant& value, QString* error) {
    QVariant out;
    if (!normalize(value, &out, 0, error)) return std::nullopt;
    return out;
}

// ---- Numbers ----

namespace {

// The leading decimal number of a string, as Foundation's intValue and floatValue read it:
// leading white space skipped, an optional sign, digits, and for reals a fraction and an
// exponent; nothing readable gives 0.
QByteArray leadingNumber(const QString& text, bool withFraction) {
    const QByteArray s = text.toUtf8();
    qsizetype i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    const qsizetype start = i;
    auto digits = [&] {
        qsizetype from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i > from;
    };
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    bool any = digits();
    if (withFraction) {
        if (i < s.size() && s[i] == '.') {
            ++i;
            any = digits() || any;
        }
        if (any && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            qsizetype mark = i++;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            if (!digits()) i = mark;
        }
    }
    return any ? s.mid(start, i - start) : QByteArray();
}

int clampToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= double(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (d <= double(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return int(d);
}

}  // namespace

int propertyListIntValue(const QVariant& value) {
    switch (kindOf(value)) {
        case Kind::Boolean:
            return value.toBool() ? 1 : 0;
        case Kind::Integer:
            return int(value.toLongLong());  // the low 32 bits, as a cast would
        case Kind::Unsigned:
            return int(value.toULongLong());
        case Kind::Real:
            return clampToInt(value.toDouble());
        case Kind::String: {
            QByteArray number = leadingNumber(value.toString(), false);
            if (number.isEmpty()) return 0;
            // Out-of-range text saturates.
            bool ok = false;
            qlonglong v = number.toLongLong(&ok);
            if (!ok)
                return number.startsWith('-') ? std::numeric_limits<int>::min()
                                              : std::numeric_limits<int>::max();
            return clampToInt(double(v));
        }
        default:
            return 0;
    }
}

float propertyListFloatValue(const QVariant& value) {
    switch (kindOf(value)) {
        case Kind::Boolean:
            return value.toBool() ? 1.0f : 0.0f;
        case Kind::Integer:
            return float(value.toLongLong());
        case Kind::Unsigned:
            return float(value.toULongLong());
        case Kind::Real:
            return float(value.toDouble());
        case Kind::String: {
            QByteArray number = leadingNumber(value.toString(), true);
            return number.isEmpty() ? 0.0f : float(number.toDouble());
        }
        default:
            return 0.0f;
    }
}

bool propertyListBoolValue(const QVariant& value) {
    switch (kindOf(value)) {
        case Kind::Boolean:
            return value.toBool();
        case Kind::Integer:
            return value.toLongLong() != 0;
        case Kind::Unsigned:
            return value.toULongLong() != 0;
        case Kind::Real:
            return value.toDouble() != 0.0;
        case Kind::String: {
            // Foundation: white space, a sign and leading zeros skipped, then "Y", "y", "T",
            // "t" or a digit 1 to 9 means true.
            const QString s = value.toString();
            qsizetype i = 0;
            while (i < s.size() && s[i].isSpace()) ++i;
            if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
            while (i < s.size() && s[i] == u'0') ++i;
            return i < s.size() && QStringLiteral("YyTt123456789").contains(s[i]);
        }
        default:
            return false;
    }
}
