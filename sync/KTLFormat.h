#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <string>

// Fills a message written with the system's own placeholders: "%@" (and "%s", "%d", "%f",
// "%o", already rendered by the caller) take the next argument, "%1$@" and the like take the
// numbered one, "%%" is a percent sign. Missing arguments leave the text empty there.
QString KTLFormat(const QString& format, const QStringList& arguments);

template <typename... Args>
QString KTLFormatWith(const QString& format, const Args&... args) {
    return KTLFormat(format, QStringList{QString(args)...});
}

// A property-list value in the text form the debug lines show: lists in parentheses and
// dictionaries in braces (keys sorted), one entry a line, strings quoted unless a plain word.
QString propertyDescription(const QVariant& value);

// A date as messages show it: local time with its offset from UTC ("2006-03-15 14:45:07 +0100").
QString dateDescription(const QDateTime& date);

// A path for a message; the bytes are decoded for display only.
inline QString pathText(const std::string& path) {
    return QString::fromLocal8Bit(path);
}
