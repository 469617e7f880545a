#include "PropertyList.h"
#include "PropertyListPrivate.h"

#include <locale.h>
#include <plist/plist.h>

#include <QDateTime>
#include <QMetaType>
#include <QVariantList>
#include <QVariantMap>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

using namespace plist_detail;

namespace {

// Seconds from the Unix epoch to 2001-01-01T00:00:00Z, the epoch of property-list dates.
constexpr qint64 kReferenceDateOffset = 978307200;

// ---- Writing ----

class XmlWriter {
  public:
    explicit XmlWriter(QString* error) : _error(error) {}

    bool write(const QVariant& v, int depth) {
        switch (kindOf(v)) {
            case Kind::Dictionary: {
                if (depth >= kPropertyListMaxDepth)
                    return fail(_error, QStringLiteral("nested too deeply"));
                if (isEmptyDictionary(v)) return line(depth, "<dict/>");
                line(depth, "<dict>");
                bool ok = forEachEntry(v, [&](const QString& key, const QVariant& value) {
                    indent(depth + 1);
                    _out += "<key>";
                    if (!escape(key)) return false;
                    _out += "</key>\n";
                    return write(value, depth + 1);
                });
                return ok && line(depth, "</dict>");
            }
            case Kind::Array: {
                if (depth >= kPropertyListMaxDepth)
                    return fail(_error, QStringLiteral("nested too deeply"));
                QVariantList items = v.toList();
                if (items.isEmpty()) return line(depth, "<array/>");
                line(depth, "<array>");
                for (const QVariant& item : items)
                    if (!write(item, depth + 1)) return false;
                return line(depth, "</array>");
            }
            case Kind::String:
                indent(depth);
                _out += "<string>";
                if (!escape(v.toString())) return false;
                _out += "</string>\n";
                return true;
            case Kind::Integer:
                return element(depth, "integer", QByteArray::number(v.toLongLong()));
            case Kind::Unsigned:
                return element(depth, "integer", QByteArray::number(v.toULongLong()));
            case Kind::Real:
                return element(depth, "real", realText(v.toDouble()));
            case Kind::Boolean:
                return line(depth, v.toBool() ? "<true/>" : "<false/>");
            case Kind::Date: {
                QDateTime date = v.toDateTime();
                if (!checkDate(date, _error)) return false;
                return element(depth, "date", dateText(date.toUTC()));
            }
            case Kind::Data:
                return element(depth, "data", v.toByteArray().toBase64());
            case Kind::Other:
                break;
        }
        QVariant ignored;
        return normalize(v, &ignored, depth, _error);  // says why
    }

    QByteArray& out() { return _out; }

  private:
    static bool isEmptyDictionary(const QVariant& v) {
        return v.typeId() == QMetaType::QVariantHash ? v.toHash().isEmpty() : v.toMap().isEmpty();
    }

    static QByteArray realText(double d) {
        if (std::isnan(d)) return "nan";
        if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
        // The shortest text that reads back as the same double, independent of the locale.
        char buf[32];
        auto result = std::to_chars(buf, buf + sizeof buf, d);
        return QByteArray(buf, result.ptr - buf);
    }

    static QByteArray dateText(const QDateTime& utc) {
        QDate d = utc.date();
        QTime t = utc.time();
        char buf[32];
        snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", d.year(), d.month(), d.day(),
                 t.hour(), t.minute(), t.second());
        return buf;
    }

    void indent(int depth) { _out.append(qsizetype(depth), '\t'); }

    bool line(int depth, const char* text) {
        indent(depth);
        _out += text;
        _out += '\n';
        return true;
    }

    bool element(int depth, const char* tag, const QByteArray& text) {
        indent(depth);
        _out += '<';
        _out += tag;
        _out += '>';
        _out += text;
        _out += "</";
        _out += tag;
        _out += ">\n";
        return true;
    }

    // Control characters become character references so that no reader folds or drops
    // them; NUL has no form in XML at all.
    bool escape(const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        for (char c : utf8) {
            auto u = static_cast<unsigned char>(c);
            if (c == '&') {
                _out += "&amp;";
            } else if (c == '<') {
                _out += "&lt;";
            } else if (c == '>') {
                _out += "&gt;";
            } else if (u == 0) {
                return fail(_error, QStringLiteral("string holds a NUL character"));
            } else if (u < 0x20 && c != '\t' && c != '\n') {
                _out += "&#" + QByteArray::number(u) + ';';
            } else {
                _out += c;
            }
        }
        return true;
    }

    QByteArray _out;
    QString* _error;
};

// ---- Reading ----

// libplist reads reals with atof, which under a locale with a decimal comma takes "1.5" for 1.
class CLocaleScope {
  public:
    CLocaleScope() {
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        _saved = cLocale ? uselocale(cLocale) : locale_t(nullptr);
    }
    ~CLocaleScope() {
        if (_saved) uselocale(_saved);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

  private:
    locale_t _saved;
};

// libplist keeps a date as a double and an integer together with its sign, but its accessors
// cut dates to 32-bit seconds (1933 to 2069) and cannot tell -1 from 2^64-1. Its binary writer
// keeps both, so such a value is read back from its binary form: the marker byte and payload
// of the one object, which follows the 8-byte header.
QByteArray binaryObjectOf(plist_t node) {
    plist_t copy = plist_copy(node);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(copy, &bin, &length);
    plist_free(copy);
    QByteArray object;
    if (bin && length > 8 + 32) object = QByteArray(bin + 8, length - 8 - 32);
    if (bin) plist_to_bin_free(bin);
    return object;
}

bool dateFromReferenceSeconds(double seconds, QDateTime* out, QString* error) {
    // Years 1 to 9999 lie within ±3.2e11 seconds of 2001.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 4e11)
        return fail(error, QStringLiteral("date out of range"));
    qint64 ms = std::llround(seconds * 1000.0) + kReferenceDateOffset * 1000;
    QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    if (!checkDate(date, error)) return false;
    *out = date;
    return true;
}

class TreeReader {
  public:
    explicit TreeReader(QString* error) : _error(error) {}

    bool tooDeep() const { return _tooDeep; }

    bool read(plist_t node, int depth, QVariant* out) {
        switch (plist_get_node_type(node)) {
            case PLIST_DICT:
                return readDictionary(node, depth, out);
            case PLIST_ARRAY:
                return readArray(node, depth, out);
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(node, &length);
                *out = QString::fromUtf8(text, qsizetype(text ? length : 0));
                return true;
            }
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(node, &b);
                *out = QVariant(b != 0);
                return true;
            }
            case PLIST_UINT:
                return readInteger(node, out);
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                *out = QVariant(d);
                return true;
            }
            case PLIST_DATE:
                return readDate(node, out);
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                *out = QByteArray(bytes, qsizetype(bytes ? length : 0));
                return true;
            }
            default:
                return fail(_error, QStringLiteral("unsupported object type"));
        }
    }

  private:
    bool enter(int depth) {
        if (depth < kPropertyListMaxDepth) return true;
        _tooDeep = true;
        return fail(_error,
                    QStringLiteral("nested more than %1 levels deep").arg(kPropertyListMaxDepth));
    }

    bool readDictionary(plist_t node, int depth, QVariant* out) {
        if (!enter(depth)) return false;
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = it != nullptr;
        while (ok) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                free(key);
                break;
            }
            QVariant value;
            ok = key && read(item, depth + 1, &value);
            if (ok) map.insert(QString::fromUtf8(key), value);
            free(key);
        }
        free(it);
        if (ok) *out = map;
        return ok;
    }

    bool readArray(plist_t node, int depth, QVariant* out) {
        if (!enter(depth)) return false;
        QVariantList list;
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        bool ok = it != nullptr;
        while (ok) {
            plist_t item = nullptr;
            plist_array_next_item(node, it, &item);
            if (!item) break;
            QVariant value;
            ok = read(item, depth + 1, &value);
            if (ok) list.append(value);
        }
        free(it);
        if (ok) *out = list;
        return ok;
    }

    bool readInteger(plist_t node, QVariant* out) {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u <= uint64_t(std::numeric_limits<qint64>::max())) {
            *out = QVariant(qint64(u));
            return true;
        }
        // 0x13: eight bytes, signed; 0x14: sixteen bytes, an unsigned value above 2^63.
        QByteArray object = binaryObjectOf(node);
        if (object.isEmpty()) return fail(_error, QStringLiteral("unreadable integer"));
        if (uint8_t(object[0]) == 0x14)
            *out = QVariant(quint64(u));
        else
            *out = QVariant(qint64(u));
        return true;
    }

    bool readDate(plist_t node, QVariant* out) {
        QByteArray object = binaryObjectOf(node);
        if (object.size() < 9 || uint8_t(object[0]) != 0x33)
            return fail(_error, QStringLiteral("unreadable date"));
        uint64_t bits = readBigEndian(reinterpret_cast<const uint8_t*>(object.constData()) + 1, 8);
        double seconds;
        static_assert(sizeof seconds == sizeof bits);
        memcpy(&seconds, &bits, sizeof seconds);
        QDateTime date;
        if (!dateFromReferenceSeconds(seconds, &date, _error)) return false;
        *out = date;
        return true;
    }

    QString* _error;
    bool _tooDeep = false;
};

// libplist frees trees recursively. A tree nested deeper than the reader allows is freed in
// pieces: every subtree taller than kShallow is cut loose and freed, children before parents,
// so no single free recurses more than kShallow + 1 levels. Only the tall subtrees are
// detached from their parents (a linear search each), which keeps wide trees linear.
void freeDeepTree(plist_t root) {
    constexpr uint32_t kShallow = 256;
    struct Frame {
        plist_t node;
        void* iter;
        uint32_t height;
    };
    auto isContainer = [](plist_t node) {
        plist_type type = plist_get_node_type(node);
        return type == PLIST_ARRAY || type == PLIST_DICT;
    };
    auto open = [](plist_t node) {
        void* iter = nullptr;
        if (plist_get_node_type(node) == PLIST_ARRAY)
            plist_array_new_iter(node, &iter);
        else
            plist_dict_new_iter(node, &iter);
        return Frame{node, iter, 1};
    };
    auto next = [](const Frame& f) {
        plist_t child = nullptr;
        if (!f.iter) return child;
        if (plist_get_node_type(f.node) == PLIST_ARRAY) {
            plist_array_next_item(f.node, f.iter, &child);
        } else {
            char* key = nullptr;
            plist_dict_next_item(f.node, f.iter, &key, &child);
            free(key);
        }
        return child;
    };

    std::vector<plist_t> tall;  // in post-order
    std::vector<Frame> stack;
    if (isContainer(root)) stack.push_back(open(root));
    while (!stack.empty()) {
        plist_t child = next(stack.back());
        if (child && isContainer(child)) {
            stack.push_back(open(child));
            continue;
        }
        if (child) {
            stack.back().height = std::max(stack.back().height, 2u);
            continue;
        }
        Frame done = stack.back();
        stack.pop_back();
        free(done.iter);
        if (done.height > kShallow) tall.push_back(done.node);
        if (!stack.empty()) stack.back().height = std::max(stack.back().height, done.height + 1);
    }
    for (plist_t node : tall) plist_free(node);
    if (tall.empty() || tall.back() != root) plist_free(root);
}

}  // namespace

std::optional<QVariant> readPropertyList(const QByteArray& bytes, QString* error) {
    if (bytes.isEmpty()) {
        fail(error, QStringLiteral("empty property list"));
        return std::nullopt;
    }
    if (bytes.size() > kPropertyListMaxSize) {
        fail(error, QStringLiteral("property list larger than %1 bytes").arg(kPropertyListMaxSize));
        return std::nullopt;
    }
    const bool binary = bytes.startsWith("bplist");
    if (binary && !checkBinaryShape(bytes, error)) return std::nullopt;
    // XML has no NUL character, and libplist aborts on a key that holds one.
    if (!binary && bytes.contains('\0')) {
        fail(error, QStringLiteral("NUL byte in an XML property list"));
        return std::nullopt;
    }

    plist_t root = nullptr;
    {
        CLocaleScope cLocale;
        if (binary)
            plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
        else
            plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    }
    if (!root) {
        fail(error, binary ? QStringLiteral("malformed binary property list")
                           : QStringLiteral("malformed XML property list"));
        return std::nullopt;
    }
    QVariant value;
    TreeReader reader(error);
    bool ok = reader.read(root, 0, &value);
    if (reader.tooDeep())
        freeDeepTree(root);
    else
        plist_free(root);
    if (!ok) return std::nullopt;
    return value;
}

QByteArray writePropertyListXML(const QVariant& value, QString* error) {
    XmlWriter writer(error);
    QByteArray& out = writer.out();
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    if (!writer.write(value, 0)) return QByteArray();
    out += "</plist>\n";
    return out;
}
