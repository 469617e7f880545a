#include "AEDescriptor.h"

#include <QStringDecoder>
#include <QtEndian>
#include <algorithm>

namespace {

// Longer data is cut in the printed form: it goes into log lines.
constexpr qsizetype kMaxPrintedBytes = 64;

bool isContainerType(FourCharCode type) {
    return type == AEType::list || type == AEType::record || type == AEType::appleEvent;
}

std::optional<QString> decodedUTF8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

void appendCode(QString& out, FourCharCode code) {
    const QByteArray bytes = fourCharCodeBytes(code);
    const bool printable =
        std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    if (!printable) {
        out += QStringLiteral("$%1").arg(code, 8, 16, QLatin1Char('0')).toUpper();
        return;
    }
    out += QLatin1Char('\'');
    for (char c : bytes) {
        if (c == '\'' || c == '\\') out += QLatin1Char('\\');
        out += QLatin1Char(c);
    }
    out += QLatin1Char('\'');
}

// Quoted on one line: quotes, backslashes and anything unprintable escaped.
void appendQuoted(QString& out, const QString& text) {
    out += QLatin1Char('"');
    for (QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else if (c == QLatin1Char('\t')) {
            out += QLatin1String("\\t");
        } else if ((c.isPrint() && c.category() != QChar::Separator_Line &&
                    c.category() != QChar::Separator_Paragraph) ||
                   c.isSurrogate()) {
            out += c;
        } else {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    out += QLatin1Char('"');
}

void appendHex(QString& out, const QByteArray& data) {
    out += QLatin1Char('$');
    out += QString::fromLatin1(data.left(kMaxPrintedBytes).toHex().toUpper());
    if (data.size() > kMaxPrintedBytes) out += QLatin1String("...");
    out += QLatin1Char('$');
}

}  // namespace

QByteArray fourCharCodeBytes(FourCharCode code) {
    QByteArray bytes(4, '\0');
    qToBigEndian(code, bytes.data());
    return bytes;
}

std::optional<FourCharCode> fourCharCodeFromString(const QString& text) {
    if (text.size() != 4) return std::nullopt;
    FourCharCode code = 0;
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f) return std::nullopt;
        code = (code << 8) | c.unicode();
    }
    return code;
}

AEDescriptor::AEDescriptor() = default;

AEDescriptor AEDescriptor::descriptorWithDescriptorType(FourCharCode type, const QByteArray& data) {
    if (type == AEType::list) return listDescriptor();
    if (type == AEType::appleEvent) return appleEventWithEventClass(0, 0);
    if (type == AEType::record) return recordDescriptor();
    AEDescriptor descriptor;
    descriptor._type = type;
    descriptor._data = data;
    return descriptor;
}

AEDescriptor AEDescriptor::descriptorWithInt32(qint32 value) {
    QByteArray data(4, '\0');
    qToLittleEndian(value, data.data());
    return descriptorWithDescriptorType(AEType::sInt32, data);
}

AEDescriptor AEDescriptor::descriptorWithString(const QString& text) {
    return descriptorWithDescriptorType(AEType::utf8Text, text.toUtf8());
}

AEDescriptor AEDescriptor::listDescriptor() {
    AEDescriptor descriptor;
    descriptor._kind = Kind::List;
    descriptor._type = AEType::list;
    return descriptor;
}

AEDescriptor AEDescriptor::recordDescriptor(FourCharCode type) {
    AEDescriptor descriptor;
    descriptor._kind = Kind::Record;
    descriptor._type = isContainerType(type) ? AEType::record : type;
    return descriptor;
}

AEDescriptor AEDescriptor::appleEventWithEventClass(FourCharCode eventClass, FourCharCode eventID) {
    AEDescriptor descriptor;
    descriptor._kind = Kind::Event;
    descriptor._type = AEType::appleEvent;
    descriptor._eventClass = eventClass;
    descriptor._eventID = eventID;
    return descriptor;
}

std::optional<AEDescriptor> AEDescriptor::descriptorAtIndex(int index) const {
    if (_kind == Kind::Data || index < 1 || index > numberOfItems()) return std::nullopt;
    return _items[size_t(index - 1)];
}

bool AEDescriptor::insertDescriptor(const AEDescriptor& descriptor, int atIndex) {
    if (_kind != Kind::List || atIndex < 0 || atIndex > numberOfItems() + 1) return false;
    if (atIndex == 0) atIndex = numberOfItems() + 1;
    _items.insert(_items.begin() + (atIndex - 1), descriptor);
    return true;
}

std::optional<AEDescriptor> AEDescriptor::paramDescriptorForKeyword(FourCharCode keyword) const {
    if (!isRecord()) return std::nullopt;
    const auto found = std::find(_keywords.begin(), _keywords.end(), keyword);
    if (found == _keywords.end()) return std::nullopt;
    return _items[size_t(found - _keywords.begin())];
}

bool AEDescriptor::setParamDescriptor(const AEDescriptor& descriptor, FourCharCode forKeyword) {
    if (!isRecord()) return false;
    const auto found = std::find(_keywords.begin(), _keywords.end(), forKeyword);
    if (found != _keywords.end()) {
        _items[size_t(found - _keywords.begin())] = descriptor;
    } else {
        _keywords.push_back(forKeyword);
        _items.push_back(descriptor);
    }
    return true;
}

bool AEDescriptor::removeParamDescriptorWithKeyword(FourCharCode keyword) {
    if (!isRecord()) return false;
    const auto found = std::find(_keywords.begin(), _keywords.end(), keyword);
    if (found == _keywords.end()) return false;
    _items.erase(_items.begin() + (found - _keywords.begin()));
    _keywords.erase(found);
    return true;
}

FourCharCode AEDescriptor::keywordForDescriptorAtIndex(int index) const {
    if (!isRecord() || index < 1 || index > numberOfItems()) return 0;
    return _keywords[size_t(index - 1)];
}

std::optional<qint32> AEDescriptor::int32Value() const {
    if (_kind != Kind::Data || _type != AEType::sInt32 || _data.size() != 4) return std::nullopt;
    return qFromLittleEndian<qint32>(_data.constData());
}

std::optional<QString> AEDescriptor::stringValue() const {
    if (_kind != Kind::Data || _type != AEType::utf8Text) return std::nullopt;
    return decodedUTF8(_data);
}

bool AEDescriptor::operator==(const AEDescriptor& other) const {
    if (_kind != other._kind || _type != other._type || _data != other._data ||
        _eventClass != other._eventClass || _eventID != other._eventID ||
        _items.size() != other._items.size()) {
        return false;
    }
    if (_kind == Kind::List) return _items == other._items;
    // Parameters are found by keyword; their order carries no meaning.
    for (size_t i = 0; i < _items.size(); ++i) {
        if (other.paramDescriptorForKeyword(_keywords[i]) != _items[i]) return false;
    }
    return true;
}

QString AEDescriptor::description() const {
    QString out;
    describeInto(out);
    return out;
}

void AEDescriptor::describeInto(QString& out) const {
    switch (_kind) {
        case Kind::List:
            out += QLatin1Char('[');
            for (size_t i = 0; i < _items.size(); ++i) {
                out += i == 0 ? QLatin1String(" ") : QLatin1String(", ");
                _items[i].describeInto(out);
            }
            out += QLatin1String(" ]");
            return;
        case Kind::Event:
            appendCode(out, _eventClass);
            out += QLatin1Char('\\');
            appendCode(out, _eventID);
            [[fallthrough]];
        case Kind::Record:
            if (_kind == Kind::Record && _type != AEType::record) appendCode(out, _type);
            out += QLatin1Char('{');
            for (size_t i = 0; i < _items.size(); ++i) {
                out += i == 0 ? QLatin1String(" ") : QLatin1String(", ");
                appendCode(out, _keywords[i]);
                out += QLatin1Char(':');
                _items[i].describeInto(out);
            }
            out += QLatin1String(" }");
            return;
        case Kind::Data:
            break;
    }
    appendCode(out, _type);
    out += QLatin1Char('(');
    if (const auto number = int32Value()) {
        out += QString::number(*number);
    } else if (!_data.isEmpty()) {
        const bool textual = _type == AEType::fileURL || _type == AEType::utf8Text;
        const auto text = textual ? decodedUTF8(_data) : std::nullopt;
        if (text) {
            appendQuoted(out, *text);
        } else {
            appendHex(out, _data);
        }
    }
    out += QLatin1Char(')');
}
