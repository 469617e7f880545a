#include "KTLFormat.h"

QString KTLFormat(const QString& format, const QStringList& arguments) {
    QString result;
    result.reserve(format.size() + 64);
    int next = 0;
    const qsizetype length = format.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = format[i];
        if (c != u'%' || i + 1 >= length) {
            result.append(c);
            continue;
        }
        const QChar kind = format[i + 1];
        if (kind == u'%') {
            result.append(u'%');
            ++i;
        } else if (kind == u'@' || kind == u's' || kind == u'd' || kind == u'f' || kind == u'o') {
            if (next < arguments.size()) result.append(arguments[next]);
            ++next;
            ++i;
        } else if (kind.isDigit()) {
            qsizetype j = i + 1;
            int index = 0;
            while (j < length && format[j].isDigit()) index = index * 10 + format[j++].digitValue();
            if (j + 1 < length && format[j] == u'$' && format[j + 1] == u'@' && index >= 1) {
                if (index <= arguments.size()) result.append(arguments[index - 1]);
                i = j + 1;
            } else {
                result.append(c);
            }
        } else {
            result.append(c);
        }
    }
    return result;
}

namespace {

QString wordOrQuoted(const QString& text) {
    bool plain = !text.isEmpty();
    for (QChar c : text)
        if (!c.isLetterOrNumber() && c != u'_') plain = false;
    if (plain) return text;
    QString quoted = text;
    quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    return u'"' + quoted + u'"';
}

QString describe(const QVariant& value, const QString& indent) {
    const QString inner = indent + QStringLiteral("    ");
    switch (value.typeId()) {
        case QMetaType::QVariantList: {
            QStringList lines;
            for (const QVariant& item : value.toList()) lines << inner + describe(item, inner);
            if (lines.isEmpty()) return QStringLiteral("(\n") + indent + u')';
            return QStringLiteral("(\n") + lines.join(QStringLiteral(",\n")) + u'\n' + indent +
                   u')';
        }
        case QMetaType::QVariantMap: {
            QString out = QStringLiteral("{\n");
            const QVariantMap map = value.toMap();  // ordered by key
            for (auto it = map.begin(); it != map.end(); ++it)
                out += inner + wordOrQuoted(it.key()) + QStringLiteral(" = ") +
                       describe(it.value(), inner) + QStringLiteral(";\n");
            return out + indent + u'}';
        }
        case QMetaType::Bool:
            return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
        case QMetaType::QDateTime:
            return value.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
        case QMetaType::QByteArray: {
            const QByteArray hex = value.toByteArray().toHex();
            QString out;
            for (qsizetype i = 0; i < hex.size(); i += 8) {
                if (i) out += u' ';
                out += QString::fromLatin1(hex.mid(i, 8));
            }
            return u'<' + out + u'>';
        }
        case QMetaType::QString:
            return wordOrQuoted(value.toString());
        default:
            return value.toString();
    }
}

}  // namespace

QString propertyDescription(const QVariant& value) {
    return describe(value, QString());
}

QString dateDescription(const QDateTime& date) {
    const QDateTime local = date.toLocalTime();
    const int offset = local.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) +
           QString::asprintf("%c%02d%02d", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}
