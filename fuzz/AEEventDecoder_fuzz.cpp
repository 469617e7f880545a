// HandleEvent calls of any shape, built from the input bytes, go over a real D-Bus connection
// (a peer connection inside this process) to the event server, which takes them apart as it
// does for other programs. Every call must be answered; an event that reaches the handler is
// echoed back and must read back as the same parameters.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServer>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "AEDBusCoding.h"
#include "AEEventServer.h"
#include "ScriptingInterface.h"

namespace {

// D-Bus allows 32 structures or arrays inside one another within one signature and 64
// containers in all, variants included; libdbus aborts a sender that goes beyond. A variant
// starts a new signature.
constexpr int kMaxTotal = 60;
constexpr int kMaxInSignature = 30;

const FourCharCode kTestClass = fourCharCode("TEST");
const FourCharCode kEcho = fourCharCode("ECHO");

// The input read as a program: each byte picks the next shape or value.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : _data(data), _size(size) {}
    bool atEnd() const { return _at >= _size; }
    uint8_t byte() { return atEnd() ? 0 : _data[_at++]; }
    QByteArray bytes() {
        QByteArray out;
        for (int n = byte() % 24; n > 0 && !atEnd(); --n) out += char(byte());
        return out;
    }
    // Mostly the codes the commands use, or near misses, so the decoder gets past the key.
    QString code() {
        static const char* const codes[] = {
            "----", "ITMZ", "CSSP", "furl", "list", "true",  "fals",    "long",
            "utf8", "TEST", "ECHO", "lis",  "",     "abcde", "nul\x01", "\xc3\xa9\x61\x62"};
        const uint8_t pick = byte();
        if (pick < 200) return QString::fromUtf8(codes[pick % std::size(codes)]);
        return QString::fromUtf8(bytes());
    }

  private:
    const uint8_t* _data;
    size_t _size;
    size_t _at = 0;
};

QVariant value(Input& in, int total, int inSignature);

QVariant structure(Input& in, int total, QString type, bool items) {
    QDBusArgument argument;
    argument.beginStructure();
    argument << type;
    if (items) {
        argument.beginArray(QMetaType::fromType<QDBusVariant>());
        for (int n = in.byte() % 4; n > 0 && !in.atEnd(); --n) {
            argument << QDBusVariant(value(in, total + 3, 0));
        }
        argument.endArray();
    } else {
        argument << in.bytes();
    }
    argument.endStructure();
    return QVariant::fromValue(argument);
}

QVariant value(Input& in, int total, int inSignature) {
    const bool deeper = total < kMaxTotal && inSignature < kMaxInSignature;
    switch (deeper ? in.byte() % 12 : in.byte() % 4) {
        case 0:
            return int(in.byte()) - 128;
        case 1:
            return QString::fromUtf8(in.bytes());
        case 2:
            return in.bytes();
        case 3:
            return bool(in.byte() & 1);
        case 4:
        case 5:
            return structure(in, total, in.code(), false);
        case 6:
            return structure(in, total, in.code(), true);
        case 7: {  // a structure of other fields
            QDBusArgument argument;
            argument.beginStructure();
            for (int n = 1 + in.byte() % 3; n > 0; --n)
                argument.appendVariant(value(in, total + 1, inSignature + 1));
            argument.endStructure();
            return QVariant::fromValue(argument);
        }
        case 8: {
            QVariantMap map;
            for (int n = in.byte() % 3; n > 0 && !in.atEnd(); --n) {
                map.insert(in.code(), value(in, total + 3, 0));
            }
            return map;
        }
        case 9:
            return QVariant::fromValue(QDBusVariant(value(in, total + 1, 0)));
        case 10:
            return QStringList{in.code(), in.code()};
        default:
            return QVariant::fromValue(QDBusObjectPath(QStringLiteral("/x")));
    }
}

QVariantMap parameters(Input& in) {
    QVariantMap map;
    for (int n = in.byte() % 4; n > 0 && !in.atEnd(); --n) map.insert(in.code(), value(in, 3, 0));
    return map;
}

QVariantList arguments(Input& in) {
    const uint8_t shape = in.byte();
    if (shape < 200) {
        const QString eventClass = shape < 150 ? QStringLiteral("TEST") : in.code();
        const QString eventID = shape < 150 ? QStringLiteral("ECHO") : in.code();
        return {eventClass, eventID, QVariant::fromValue(parameters(in)), bool(in.byte() & 1)};
    }
    QVariantList list;
    for (int n = in.byte() % 6; n > 0; --n) list << value(in, 0, 0);
    return list;
}

struct Harness {
    QCoreApplication* application = nullptr;
    QDBusServer* bus = nullptr;
    AEEventServer* server = nullptr;
    std::optional<AEDescriptor> echoed;
    int connection = 0;

    QDBusConnection client() {
        const QString name = QStringLiteral("fuzz%1").arg(connection);
        QDBusConnection peer = QDBusConnection::connectToPeer(bus->address(), name);
        if (peer.isConnected()) return peer;
        QDBusConnection::disconnectFromPeer(name);
        ++connection;
        return QDBusConnection::connectToPeer(bus->address(), name);
    }
};

Harness* harness;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    harness = new Harness;
    harness->application = new QCoreApplication(*argc, *argv);
    harness->bus = new QDBusServer(QStringLiteral("unix:tmpdir=/tmp"));
    harness->server = new AEEventServer;
    harness->server->setEventHandler(
        kTestClass, kEcho, [](const AEDescriptor& event, AEReply reply) {
            harness->echoed = event;
            for (int i = 1; i <= event.numberOfItems(); ++i) {
                reply.descriptor().setParamDescriptor(*event.descriptorAtIndex(i),
                                                      event.keywordForDescriptorAtIndex(i));
            }
            if (event.description().isEmpty()) abort();
        });
    QObject::connect(harness->bus, &QDBusServer::newConnection,
                     [](const QDBusConnection& connection) {
                         if (!harness->server->registerObject(connection)) abort();
                     });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString(), QLatin1String(kScriptingObjectPath), QLatin1String(kScriptingInterface),
        QLatin1String(kScriptingMethod));
    call.setArguments(arguments(in));
    const bool replyWanted = call.arguments().value(3).toBool();

    harness->echoed.reset();
    QDBusPendingCall pending = harness->client().asyncCall(call, 10000);
    QElapsedTimer timer;
    timer.start();
    while (!pending.isFinished()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (timer.elapsed() > 10000) abort();  // the server stopped answering
    }
    const QDBusMessage answer = pending.reply();
    if (answer.type() == QDBusMessage::ErrorMessage) {
        if (harness->echoed) abort();  // an event that ran must be answered with a reply
        return 0;
    }
    QString error;
    const auto reply = decodeEventReply(answer, &error);
    if (!reply) abort();
    if (!harness->echoed) {
        // Refused before any handler: an error number says why.
        const auto number = reply->paramDescriptorForKeyword(AEKeyword::errorNumber);
        if (!number ||
            (number->int32Value() != kAEParamErr && number->int32Value() != kAEEventNotHandled)) {
            if (replyWanted || number) abort();
        }
        return 0;
    }
    AEDescriptor expected = AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer);
    if (replyWanted) {
        for (int i = 1; i <= harness->echoed->numberOfItems(); ++i) {
            expected.setParamDescriptor(*harness->echoed->descriptorAtIndex(i),
                                        harness->echoed->keywordForDescriptorAtIndex(i));
        }
    }
    if (!(*reply == expected)) abort();
    return 0;
}
