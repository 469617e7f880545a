#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

// Apple-event descriptors as the scripting commands see them: a type code and data bytes, a
// list of descriptors, or a record or event of descriptors by keyword. Values, copied freely.

// Four ASCII characters in 32 bits, the first in the most significant byte.
using FourCharCode = quint32;

constexpr FourCharCode fourCharCode(const char (&code)[5]) {
    return (FourCharCode(quint8(code[0])) << 24) | (FourCharCode(quint8(code[1])) << 16) |
           (FourCharCode(quint8(code[2])) << 8) | FourCharCode(quint8(code[3]));
}

// The four characters of `code`, first character first.
QByteArray fourCharCodeBytes(FourCharCode code);
inline QString fourCharCodeText(FourCharCode code) {
    return QString::fromLatin1(fourCharCodeBytes(code));
}
// A code from text of exactly four printable ASCII characters; none for anything else. Codes
// that come from other programs pass here, so that every code we hold can be written back.
std::optional<FourCharCode> fourCharCodeFromString(const QString& text);

namespace AEType {
inline constexpr FourCharCode null = fourCharCode("null");
inline constexpr FourCharCode list = fourCharCode("list");
inline constexpr FourCharCode record = fourCharCode("reco");
inline constexpr FourCharCode appleEvent = fourCharCode("aevt");
inline constexpr FourCharCode fileURL = fourCharCode("furl");
inline constexpr FourCharCode trueType = fourCharCode("true");
inline constexpr FourCharCode falseType = fourCharCode("fals");
inline constexpr FourCharCode sInt32 = fourCharCode("long");
inline constexpr FourCharCode utf8Text = fourCharCode("utf8");
inline constexpr FourCharCode alias = fourCharCode("alis");
inline constexpr FourCharCode fsRef = fourCharCode("fsrf");
inline constexpr FourCharCode processSerialNumber = fourCharCode("psn ");
inline constexpr FourCharCode property = fourCharCode("prop");
inline constexpr FourCharCode objectSpecifier = fourCharCode("obj ");
inline constexpr FourCharCode type = fourCharCode("type");
inline constexpr FourCharCode enumerated = fourCharCode("enum");
}  // namespace AEType

namespace AEKeyword {
inline constexpr FourCharCode directObject = fourCharCode("----");
inline constexpr FourCharCode errorNumber = fourCharCode("errn");
inline constexpr FourCharCode errorString = fourCharCode("errs");
}  // namespace AEKeyword

// The reply event's class and ID, and the error numbers the event dispatch itself gives.
inline constexpr FourCharCode kCoreEventClass = fourCharCode("aevt");
inline constexpr FourCharCode kAEAnswer = fourCharCode("ansr");
inline constexpr qint32 kAEParamErr = -50;           // a parameter that can't be used
inline constexpr qint32 kAEEventNotHandled = -1708;  // no handler for the event

class AEDescriptor {
  public:
    // The null descriptor (type 'null', no data): what a reply is when none is wanted.
    AEDescriptor();

    // A data descriptor. The container types ('list', 'reco', 'aevt') are made by their own
    // makers; given here they make an empty container and the data is dropped.
    static AEDescriptor descriptorWithDescriptorType(FourCharCode type, const QByteArray& data);
    static AEDescriptor descriptorWithInt32(qint32 value);          // 'long', little-endian
    static AEDescriptor descriptorWithString(const QString& text);  // 'utf8'
    static AEDescriptor listDescriptor();
    // A record of keyword parameters; object specifiers are records of type 'obj '.
    static AEDescriptor recordDescriptor(FourCharCode type = AEType::record);
    static AEDescriptor appleEventWithEventClass(FourCharCode eventClass, FourCharCode eventID);

    FourCharCode descriptorType() const { return _type; }
    const QByteArray& data() const { return _data; }
    bool isList() const { return _kind == Kind::List; }
    // Records and events both hold keyword parameters.
    bool isRecord() const { return _kind == Kind::Record || _kind == Kind::Event; }
    bool isAppleEvent() const { return _kind == Kind::Event; }

    // Items of a list, or parameters of a record or event, counted and indexed from 1.
    int numberOfItems() const { return int(_items.size()); }
    std::optional<AEDescriptor> descriptorAtIndex(int index) const;
    // Into a list: 0 or one past the end appends. False for other kinds or a bad index.
    bool insertDescriptor(const AEDescriptor& descriptor, int atIndex);

    // Events only; 0 for other kinds.
    FourCharCode eventClass() const { return _eventClass; }
    FourCharCode eventID() const { return _eventID; }

    // Keyword parameters of records and events, in the order they were first set.
    std::optional<AEDescriptor> paramDescriptorForKeyword(FourCharCode keyword) const;
    // Replaces a parameter already there. False (and nothing changes) unless this is a record
    // or an event.
    bool setParamDescriptor(const AEDescriptor& descriptor, FourCharCode forKeyword);
    bool removeParamDescriptorWithKeyword(FourCharCode keyword);
    // The keyword of parameter `index` (from 1); 0 when there is none.
    FourCharCode keywordForDescriptorAtIndex(int index) const;

    // 'long' with four bytes.
    std::optional<qint32> int32Value() const;
    // 'utf8' holding valid UTF-8.
    std::optional<QString> stringValue() const;

    // One readable line with the type codes and contents, e.g. 'furl'("file:///media/u/D/"),
    // [ 'true'(), 'long'(-50) ] or 'VSNC'\'QURY'{ '----':'furl'("file:///media/u/D/") }.
    QString description() const;

    // Same kind, type, data and contents; records and events compare parameters by keyword.
    bool operator==(const AEDescriptor& other) const;

  private:
    enum class Kind : quint8 { Data, List, Record, Event };

    void describeInto(QString& out) const;

    Kind _kind = Kind::Data;
    FourCharCode _type = AEType::null;
    QByteArray _data;
    FourCharCode _eventClass = 0;
    FourCharCode _eventID = 0;
    // List items, or parameter values beside their keywords.
    std::vector<AEDescriptor> _items;
    std::vector<FourCharCode> _keywords;
};
