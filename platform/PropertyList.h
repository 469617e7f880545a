#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>

// Property-list values are QVariants:
//   dictionary = QVariantMap, array = QVariantList, string = QString,
//   integer = qint64 (quint64 for values above its range), real = double, boolean = bool,
//   date = QDateTime in UTC (years 1 to 9999), data = QByteArray.

// Containers nested deeper than this are refused on reading and on writing.
inline constexpr int kPropertyListMaxDepth = 512;

// Inputs larger than this are refused without being parsed.
inline constexpr qsizetype kPropertyListMaxSize = 64 * 1024 * 1024;

// Reads an XML or a binary ("bplist00") property list. Input of any shape is answered with
// either a value or no value and a reason in `error`: malformed, truncated or cyclic input,
// unknown object types, nesting deeper than kPropertyListMaxDepth and binary lists whose
// shared objects would expand beyond a sane size are all refused.
// Dates in XML carry whole seconds; binary dates keep milliseconds.
std::optional<QVariant> readPropertyList(const QByteArray& bytes, QString* error = nullptr);

// Writes `value` as an XML 1.0 property list with the standard DOCTYPE; dates are written to
// the second. Empty when the value has no property-list form (a type that is none of the
// above, a string holding NUL, an invalid date or one outside years 1 to 9999, nesting deeper
// than kPropertyListMaxDepth); `error` then says why.
QByteArray writePropertyListXML(const QVariant& value, QString* error = nullptr);

// `value` in the form readPropertyList gives back: other integer types become qint64 (or
// quint64), float becomes double, QStringList a QVariantList, QVariantHash a QVariantMap and
// dates UTC. None when the value has no property-list form.
std::optional<QVariant> normalizedPropertyList(const QVariant& value, QString* error = nullptr);

// A value read as a number the way Foundation's intValue, floatValue and boolValue read a
// number, a boolean or a string ("12abc" is 12, "YES" and "1" are true); 0 or false for
// anything else. intValue clamps reals to the int range.
int propertyListIntValue(const QVariant& value);
float propertyListFloatValue(const QVariant& value);
bool propertyListBoolValue(const QVariant& value);
