#include "KTLLocalizedString.h"

namespace {

// The English table. Its texts are the keys themselves, except that keys spell the trade mark
// and registered signs as six-character escapes (so that the sources stay plain ASCII) and the
// table shows the signs. The rule covers every key, so new texts need no entry of their own.
struct SignEscape {
    const char* escape;
    char16_t sign;
};
constexpr SignEscape kSignEscapes[] = {{"\\U2122", u'\u2122'}, {"\\U00AE", u'\u00AE'}};

QString englishText(const QString& key) {
    QString text = key;
    for (const SignEscape& s : kSignEscapes)
        text.replace(QLatin1String(s.escape), QString(QChar(s.sign)));
    return text;
}

}  // namespace

QString KTLLocalizedString(const QString& key) {
    return englishText(key);
}
