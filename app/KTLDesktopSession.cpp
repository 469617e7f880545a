#include "KTLDesktopSession.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTimer>
#include <filesystem>

#include "FileContents.h"
#include "KTLAppDelegate.h"
#include "KTLLocalizedString.h"
#include "OrvaneUtilities+String.h"
#include "ScriptingInterface.h"

namespace {

const QString kApplicationInterface = QStringLiteral("org.freedesktop.Application");

constexpr char kApplicationIntrospection[] = R"(  <interface name="org.freedesktop.Application">
    <method name="Activate">
      <arg name="platform_data" type="a{sv}" direction="in"/>
    </method>
    <method name="Open">
      <arg name="uris" type="as" direction="in"/>
      <arg name="platform_data" type="a{sv}" direction="in"/>
    </method>
    <method name="ActivateAction">
      <arg name="action_name" type="s" direction="in"/>
      <arg name="parameter" type="av" direction="in"/>
      <arg name="platform_data" type="a{sv}" direction="in"/>
    </method>
  </interface>
)";

// What the desktop passes on so that the running copy may raise its window.
QVariantMap platformData() {
    QVariantMap data;
    if (const char* token = getenv("XDG_ACTIVATION_TOKEN"); token && *token)
        data.insert(QStringLiteral("activation-token"), QString::fromUtf8(token));
    if (const char* id = getenv("DESKTOP_STARTUP_ID"); id && *id)
        data.insert(QStringLiteral("desktop-startup-id"), QString::fromUtf8(id));
    return data;
}

int handOver(QDBusConnection& bus, const std::vector<std::string>& drives) {
    const bool open = !drives.empty();
    QDBusMessage message = QDBusMessage::createMethodCall(
        QLatin1String(kScriptingService), QLatin1String(kScriptingObjectPath),
        kApplicationInterface, open ? QStringLiteral("Open") : QStringLiteral("Activate"));
    if (open) {
        QStringList uris;
        for (const std::string& drive : drives) {
            // Relative to where this process started, which the running one knows nothing of.
            std::string path = OrvaneUtilities::stringWithRealPath(drive).value_or(drive);
            if (path.empty() || path[0] != '/')
                path = std::filesystem::absolute(path).lexically_normal().string();
            uris << KTLDesktopSession::fileURIForPath(path);
        }
        message << uris;
    }
    message << platformData();
    const QDBusMessage reply = bus.call(message, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ReplyMessage) return 0;
    fprintf(
        stderr, "%s (%s)\n",
        KTLLocalizedString(QStringLiteral("Pellora is already running.")).toLocal8Bit().constData(),
        reply.errorMessage().toLocal8Bit().constData());
    return 1;
}

// Held open, locked, until the process ends; the kernel lets go even after a crash.
bool takeLock() {
    const std::string path = KTLDesktopSession::lockFilePath();
    makeFolders(std::filesystem::path(path).parent_path().string(), 0700);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A lock that can't be made keeps nobody out: better two copies than none.
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return !held;
}

}  // namespace

namespace KTLDesktopSession {

std::string lockFilePath() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/pellora.lock";
    return std::filesystem::path(KTLAppDelegate::logFilePath()).parent_path().string() +
           "/pellora.lock";
}

std::optional<int> becomeTheOnlyInstance(const std::vector<std::string>& drives) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            bus.interface()->registerService(QLatin1String(kScriptingService),
                                             QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceNotRegistered)
            return handOver(bus, drives);
    }
    // Also with a bus: a copy started without one holds only the lock.
    if (takeLock()) return std::nullopt;
    fprintf(stderr, "%s\n",
            KTLLocalizedString(QStringLiteral("Pellora is already running."))
                .toLocal8Bit()
                .constData());
    return 1;
}

QString fileURIForPath(const std::string& path) {
    return QStringLiteral("file://") +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/"));
}

std::optional<std::string> pathForFileURI(const QString& uri) {
    QByteArray bytes = uri.toUtf8();
    if (!bytes.startsWith("file://")) return std::nullopt;
    bytes.remove(0, 7);
    if (bytes.startsWith("localhost/")) bytes.remove(0, 9);
    // Another host's file is not ours to sync.
    if (!bytes.startsWith('/')) return std::nullopt;
    const qsizetype end = bytes.indexOf('?') >= 0 ? bytes.indexOf('?') : bytes.indexOf('#');
    if (end >= 0) bytes.truncate(end);
    return QByteArray::fromPercentEncoding(bytes).toStdString();
}

}  // namespace KTLDesktopSession

QString KTLApplicationServer::introspect(const QString& path) const {
    return AEEventServer::introspect(path) + QLatin1String(kApplicationIntrospection);
}

bool KTLApplicationServer::handleMessage(const QDBusMessage& message,
                                         const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage ||
        message.interface() != kApplicationInterface)
        return AEEventServer::handleMessage(message, connection);
    const QString member = message.member();
    const QString signature = message.signature();
    const bool known =
        (member == QLatin1String("Activate") && signature == QLatin1String("a{sv}")) ||
        (member == QLatin1String("Open") && signature == QLatin1String("asa{sv}")) ||
        (member == QLatin1String("ActivateAction") && signature == QLatin1String("sava{sv}"));
    if (!known) {
        connection.send(message.createErrorReply(
            QDBusError::UnknownMethod, QStringLiteral("%1 has no method %2(%3)")
                                           .arg(kApplicationInterface, member, signature)));
        return true;
    }
    connection.send(message.createReply());
    if (member == QLatin1String("Activate") && _activate) {
        QTimer::singleShot(0, this, _activate);
    } else if (member == QLatin1String("Open") && _open) {
        const QStringList uris = message.arguments().value(0).toStringList();
        QTimer::singleShot(0, this, [this, uris] { _open(uris); });
    }
    return true;
}
