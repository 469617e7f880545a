#include "AEEventServer.h"

#include <QDBusConnectionInterface>
#include <QDBusError>

#include "AEDBusCoding.h"
#include "ScriptingInterface.h"

struct AEReply::Pending {
    QDBusConnection connection;
    QDBusMessage call;
    AEDescriptor reply;
    bool wanted = true;
    bool sent = false;

    Pending(const QDBusConnection& busConnection, const QDBusMessage& message, bool replyWanted)
        : connection(busConnection),
          call(message),
          reply(replyWanted ? AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer)
                            : AEDescriptor()),
          wanted(replyWanted) {}
    ~Pending() { send(); }

    void send() {
        if (sent) return;
        sent = true;
        // A call sent without expecting an answer gets none; the bus would refuse it.
        if (!call.isReplyRequired()) return;
        connection.send(call.createReply(QVariant::fromValue(encodeParameters(reply))));
    }
};

bool AEReply::replyWanted() const {
    return _pending && _pending->wanted;
}

AEDescriptor& AEReply::descriptor() {
    // A detached reply still needs somewhere to write to.
    if (!_pending) {
        _pending = std::make_shared<Pending>(QDBusConnection(QString()), QDBusMessage(), false);
        _pending->sent = true;
    }
    return _pending->reply;
}

void AEReply::send() {
    if (_pending) _pending->send();
}

namespace {

constexpr char kIntrospection[] = R"(  <interface name="com.orvane.Pellora.AppleEvents">
    <method name="HandleEvent">
      <arg name="eventClass" type="s" direction="in"/>
      <arg name="eventID" type="s" direction="in"/>
      <arg name="parameters" type="a{sv}" direction="in"/>
      <arg name="replyWanted" type="b" direction="in"/>
      <arg name="reply" type="a{sv}" direction="out"/>
    </method>
  </interface>
)";

}  // namespace

AEEventServer::AEEventServer(QObject* parent) : QDBusVirtualObject(parent) {}

AEEventServer::~AEEventServer() {
    unregister();
}

void AEEventServer::setEventHandler(FourCharCode eventClass, FourCharCode eventID,
                                    AEEventHandler handler) {
    _handlers[{eventClass, eventID}] = std::move(handler);
}

bool AEEventServer::start(const QDBusConnection& connection, QString* error) {
    if (!registerObject(connection, error)) return false;
    QDBusConnection bus = *_connection;
    if (!bus.registerService(QLatin1String(kScriptingService))) {
        const QDBusError reason = bus.lastError();
        if (error) {
            *error =
                reason.isValid()
                    ? reason.message()
                    : QStringLiteral("%1 is already taken").arg(QLatin1String(kScriptingService));
        }
        unregister();
        return false;
    }
    _ownsName = true;
    return true;
}

bool AEEventServer::registerObject(const QDBusConnection& connection, QString* error) {
    unregister();
    if (!connection.isConnected()) {
        if (error) *error = connection.lastError().message();
        return false;
    }
    QDBusConnection bus = connection;
    if (!bus.registerVirtualObject(QLatin1String(kScriptingObjectPath), this)) {
        if (error) *error = QStringLiteral("the object path %1 is taken").arg(kScriptingObjectPath);
        return false;
    }
    _connection = std::make_unique<QDBusConnection>(bus);
    return true;
}

void AEEventServer::unregister() {
    if (!_connection) return;
    if (_ownsName) _connection->unregisterService(QLatin1String(kScriptingService));
    _connection->unregisterObject(QLatin1String(kScriptingObjectPath));
    _ownsName = false;
    _connection.reset();
}

QString AEEventServer::introspect(const QString&) const {
    return QLatin1String(kIntrospection);
}

bool AEEventServer::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    // Introspection, Peer and Properties are Qt's to answer.
    const bool ours = message.interface() == QLatin1String(kScriptingInterface);
    if (!ours && !message.interface().isEmpty()) return false;
    if (message.member() != QLatin1String(kScriptingMethod)) {
        if (!ours) return false;
        connection.send(message.createErrorReply(
            QDBusError::UnknownMethod,
            QStringLiteral("%1 has no method %2").arg(kScriptingInterface, message.member())));
        return true;
    }

    const AEDecodedCall decoded = decodeEventCall(message);
    if (!decoded.event) {
        connection.send(message.createErrorReply(QDBusError::InvalidArgs, decoded.error));
        return true;
    }
    message.setDelayedReply(true);
    AEReply reply;
    if (!decoded.error.isEmpty()) {
        reply._pending = std::make_shared<AEReply::Pending>(connection, message, true);
        reply.descriptor().setParamDescriptor(AEDescriptor::descriptorWithInt32(kAEParamErr),
                                              AEKeyword::errorNumber);
        reply.descriptor().setParamDescriptor(AEDescriptor::descriptorWithString(decoded.error),
                                              AEKeyword::errorString);
        return true;
    }
    reply._pending = std::make_shared<AEReply::Pending>(connection, message, decoded.replyWanted);
    const auto handler = _handlers.find({decoded.event->eventClass(), decoded.event->eventID()});
    if (handler == _handlers.end() || !handler->second) {
        reply.descriptor().setParamDescriptor(AEDescriptor::descriptorWithInt32(kAEEventNotHandled),
                                              AEKeyword::errorNumber);
        reply.descriptor().setParamDescriptor(
            AEDescriptor::descriptorWithString(
                QStringLiteral("no handler for event '%1'\\'%2'")
                    .arg(fourCharCodeText(decoded.event->eventClass()),
                         fourCharCodeText(decoded.event->eventID()))),
            AEKeyword::errorString);
        return true;
    }
    // A copy: the handler may replace itself while it runs.
    const AEEventHandler run = handler->second;
    run(*decoded.event, std::move(reply));
    return true;
}
