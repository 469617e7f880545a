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
