#pragma once

#include <QString>
#include <QStringList>
#include <string>

// Fills a message written with the system's own placeholders: "%@" (and "%s", "%d", "%f",
// "%o", already rendered by the caller) take the next argument, "%1$@" and the like take the
// numbered one, "%%" is a percent sign. Missing arguments leave the text empty there.
QString KTLFormat(const QString& format, const QStringList& arguments);

template <typename... Args>
QString KTLFormatWith(const QString& format, const Args&... args) {
    return KTLFormat(format, QStringList{QString(args)...});
}

// A path for a message; the bytes are decoded for display only.
inline QString pathText(const std::string& path) {
    return QString::fromLocal8Bit(path);
}
