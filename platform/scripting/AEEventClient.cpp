#include "AEEventClient.h"

#include <QDBusError>

#include "AEDBusCoding.h"

AEEventResult sendAppleEvent(const QDBusConnection& connection, const AEDescriptor& event,
                             bool replyWanted, int timeout, const QString& service) {
    AEEventResult result;
    if (!connection.isConnected()) {
        result.status = AEEventResult::Status::NotRunning;
        result.error = connection.lastError().message();
        return result;
    }
    const QDBusMessage answer =
        connection.call(eventCallMessage(event, replyWanted, service), QDBus::Block, timeout);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        const QString name = answer.errorName();
        const bool absent = name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                            name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
        result.status = absent ? AEEventResult::Status::NotRunning : AEEventResult::Status::Failed;
        result.error = answer.errorMessage();
        return result;
    }
    const auto reply = decodeEventReply(answer, &result.error);
    if (!reply) return result;
    result.status = AEEventResult::Status::Replied;
    result.reply = *reply;
    return result;
}
