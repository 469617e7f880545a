#pragma once

#include <QDBusConnection>
#include <QString>
#include <climits>

#include "AEDescriptor.h"
#include "ScriptingInterface.h"

// Sends one event to Pellora and waits for the reply.
struct AEEventResult {
    enum class Status {
        Replied,     // `reply` holds the reply event
        NotRunning,  // nobody owns the service name, or there is no session bus
        Failed,      // the call failed on the bus or the reply could not be read
    };
    Status status = Status::Failed;
    AEDescriptor reply;
    QString error;
};

// Waits up to `timeout` milliseconds; the default waits as long as it takes, since a command
// may wait for an alert to be dismissed. `service` is empty on a peer connection.
AEEventResult sendAppleEvent(const QDBusConnection& connection, const AEDescriptor& event,
                             bool replyWanted = true, int timeout = INT_MAX,
                             const QString& service = QLatin1String(kScriptingService));
