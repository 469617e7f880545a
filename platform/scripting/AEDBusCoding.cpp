#include "AEDBusCoding.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>

#include "ScriptingInterface.h"

namespace {

bool fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return false;
}

// Qt frees a container's reader only at its end call, so every begin gets its end, also when
// decoding stops early.
class Ending {
  public:
    using End = void (QDBusArgument::*)() const;
    Ending(const QDBusArgument& argument, End end) : _argument(argument), _end(end) {}
    ~Ending() { (_argument.*_end)(); }
    Ending(const Ending&) = delete;
    Ending& operator=(const Ending&) = delete;

  private:
    const QDBusArgument& _argument;
    End _end;
};

bool isArgument(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<QDBusArgument>();
}

std::optional<AEDescriptor> decodeValue(const QVariant& value, int depth, QString* error) {
    if (depth > kMaxDescriptorDepth) {
        fail(error, QStringLiteral("lists nested more than %1 deep").arg(kMaxDescriptorDepth));
        return std::nullopt;
    }
    const QString shape =
        isArgument(value) ? value.value<QDBusArgument>().currentSignature() : QString();
    if (shape != QLatin1String("(say)") && shape != QLatin1String("(sav)")) {
        fail(error, QStringLiteral("a value is not a (say) or (sav) structure"));
        return std::nullopt;
    }
    const QDBusArgument argument = value.value<QDBusArgument>();
    argument.beginStructure();
    const Ending structureEnd(argument, &QDBusArgument::endStructure);
    QString typeText;
    argument >> typeText;
    const auto type = fourCharCodeFromString(typeText);
    if (!type) {
        fail(error, QStringLiteral("type code \"%1\" is not four characters").arg(typeText));
        return std::nullopt;
    }
    if (shape == QLatin1String("(say)")) {
        if (*type == AEType::list || *type == AEType::record || *type == AEType::appleEvent) {
            fail(error, QStringLiteral("'%1' given as data").arg(typeText));
            return std::nullopt;
        }
        QByteArray data;
        argument >> data;
        const bool text = *type == AEType::fileURL || *type == AEType::utf8Text;
        if (text && data.indexOf('\0') == data.size() - 1) data.chop(1);
        return AEDescriptor::descriptorWithDescriptorType(*type, data);
    }
    if (*type != AEType::list) {
        fail(error, QStringLiteral("'%1' given with items; only 'list' has items").arg(typeText));
        return std::nullopt;
    }
    AEDescriptor list = AEDescriptor::listDescriptor();
    argument.beginArray();
    const Ending arrayEnd(argument, &QDBusArgument::endArray);
    while (!argument.atEnd()) {
        QDBusVariant item;
        argument >> item;
        const auto descriptor = decodeValue(item.variant(), depth + 1, error);
        if (!descriptor) {
            if (error)
                *error = QStringLiteral("item %1: %2").arg(list.numberOfItems() + 1).arg(*error);
            return std::nullopt;
        }
        list.insertDescriptor(*descriptor, 0);
    }
    return list;
}

}  // namespace

QVariant encodeDescriptor(const AEDescriptor& descriptor) {
    QDBusArgument argument;
    argument.beginStructure();
    argument << fourCharCodeText(descriptor.descriptorType());
    if (descriptor.isList()) {
        argument.beginArray(QMetaType::fromType<QDBusVariant>());
        for (int i = 1; i <= descriptor.numberOfItems(); ++i) {
            argument << QDBusVariant(encodeDescriptor(*descriptor.descriptorAtIndex(i)));
        }
        argument.endArray();
    } else {
        argument << descriptor.data();
    }
    argument.endStructure();
    return QVariant::fromValue(argument);
}

QVariantMap encodeParameters(const AEDescriptor& record) {
    QVariantMap map;
    for (int i = 1; i <= record.numberOfItems() && record.isRecord(); ++i) {
        map.insert(fourCharCodeText(record.keywordForDescriptorAtIndex(i)),
                   encodeDescriptor(*record.descriptorAtIndex(i)));
    }
    return map;
}

std::optional<AEDescriptor> decodeDescriptor(const QVariant& value, QString* error) {
    return decodeValue(value, 1, error);
}

bool decodeParameters(const QVariant& map, AEDescriptor& record, QString* error) {
    if (!isArgument(map) ||
        map.value<QDBusArgument>().currentSignature() != QLatin1String("a{sv}")) {
        return fail(error, QStringLiteral("the parameters are not a{sv}"));
    }
    const QDBusArgument argument = map.value<QDBusArgument>();
    argument.beginMap();
    const Ending mapEnd(argument, &QDBusArgument::endMap);
    while (!argument.atEnd()) {
        QString key;
        QDBusVariant value;
        argument.beginMapEntry();
        argument >> key >> value;
        argument.endMapEntry();
        const auto keyword = fourCharCodeFromString(key);
        if (!keyword) {
            return fail(error, QStringLiteral("keyword \"%1\" is not four characters").arg(key));
        }
        if (record.paramDescriptorForKeyword(*keyword)) {
            return fail(error, QStringLiteral("keyword '%1' given twice").arg(key));
        }
        QString reason;
        const auto descriptor = decodeValue(value.variant(), 1, &reason);
        if (!descriptor) return fail(error, QStringLiteral("'%1': %2").arg(key, reason));
        record.setParamDescriptor(*descriptor, *keyword);
    }
    return true;
}

AEDecodedCall decodeEventCall(const QDBusMessage& call) {
    AEDecodedCall decoded;
    const QVariantList arguments = call.arguments();
    if (call.signature() != QLatin1String(kScriptingSignature) || arguments.size() != 4) {
        decoded.error = QStringLiteral("HandleEvent takes (%1), not (%2)")
                            .arg(QLatin1String(kScriptingSignature), call.signature());
        return decoded;
    }
    const auto eventClass = fourCharCodeFromString(arguments[0].toString());
    const auto eventID = fourCharCodeFromString(arguments[1].toString());
    if (!eventClass || !eventID) {
        decoded.error = QStringLiteral("event class and ID must be four characters each");
        return decoded;
    }
    decoded.replyWanted = arguments[3].toBool();
    decoded.event = AEDescriptor::appleEventWithEventClass(*eventClass, *eventID);
    decodeParameters(arguments[2], *decoded.event, &decoded.error);
    return decoded;
}

QDBusMessage eventCallMessage(const AEDescriptor& event, bool replyWanted, const QString& service) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, QLatin1String(kScriptingObjectPath),
                                                       QLatin1String(kScriptingInterface),
                                                       QLatin1String(kScriptingMethod));
    call << fourCharCodeText(event.eventClass()) << fourCharCodeText(event.eventID())
         << QVariant::fromValue(encodeParameters(event)) << replyWanted;
    return call;
}

std::optional<AEDescriptor> decodeEventReply(const QDBusMessage& answer, QString* error) {
    if (answer.type() != QDBusMessage::ReplyMessage) {
        fail(error,
             answer.errorMessage().isEmpty() ? QStringLiteral("no reply") : answer.errorMessage());
        return std::nullopt;
    }
    if (answer.signature() != QLatin1String("a{sv}")) {
        fail(error, QStringLiteral("the reply is (%1), not (a{sv})").arg(answer.signature()));
        return std::nullopt;
    }
    AEDescriptor reply = AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer);
    if (!decodeParameters(answer.arguments().value(0), reply, error)) return std::nullopt;
    return reply;
}
