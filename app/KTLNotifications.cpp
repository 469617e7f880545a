#include "KTLNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "KTLLocalizedString.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

}  // namespace

KTLNotifications::KTLNotifications(QObject* parent)
    : QObject(parent), _bus(QDBusConnection::sessionBus()) {
    if (!_bus.isConnected()) return;
    _bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(actionInvoked(uint, QString)));
    _bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
    // A service that reads markup in the body needs names like "a<b" escaped; one that doesn't
    // would show the escapes.
    auto* watcher =
        new QDBusPendingCallWatcher(_bus.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QStringList> reply = *w;
        _bodyMarkup = reply.isValid() && reply.value().contains(QStringLiteral("body-markup"));
        w->deleteLater();
    });
}

void KTLNotifications::notify(const void* subject, const QString& summary, const QString& body) {
    if (!_bus.isConnected()) return;
    QDBusMessage message = call(QStringLiteral("Notify"));
    const auto found = _ids.find(subject);
    const uint replaces = found == _ids.end() ? 0 : found->second;
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.orvane.Pellora"));
    message << QStringLiteral("Pellora") << replaces << QStringLiteral("com.orvane.Pellora")
            << summary << (_bodyMarkup ? body.toHtmlEscaped() : body)
            << QStringList{QStringLiteral("default"), KTLLocalizedString(QStringLiteral("Show"))}
            << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, subject](QDBusPendingCallWatcher* w) {
                // No service: nothing to remember.
                QDBusPendingReply<uint> reply = *w;
                if (reply.isValid()) _ids[subject] = reply.value();
                w->deleteLater();
            });
}

void KTLNotifications::withdraw(const void* subject) {
    const auto found = _ids.find(subject);
    if (found == _ids.end()) return;
    QDBusMessage message = call(QStringLiteral("CloseNotification"));
    message << found->second;
    _bus.call(message, QDBus::NoBlock);
    _ids.erase(found);
}

void KTLNotifications::actionInvoked(uint id, const QString& action) {
    if (action != QLatin1String("default")) return;
    for (const auto& [subject, shown] : _ids)
        if (shown == id) {
            if (_activated) _activated(subject);
            return;
        }
}

void KTLNotifications::notificationClosed(uint id, uint) {
    for (auto it = _ids.begin(); it != _ids.end(); ++it)
        if (it->second == id) {
            _ids.erase(it);
            return;
        }
}
