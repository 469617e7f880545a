#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <map>

// Desktop notifications through the freedesktop notification service on the session bus. One
// notification at a time for each subject (a drive): a new one replaces the last. Without a
// bus or a service nothing is shown and nothing is said. Main thread only.
class KTLNotifications : public QObject {
    Q_OBJECT

  public:
    explicit KTLNotifications(QObject* parent = nullptr);

    void notify(const void* subject, const QString& summary, const QString& body);
    // Takes the subject's notification down, if one is up.
    void withdraw(const void* subject);

    // Run when the user clicks a subject's notification.
    void setActivationHandler(std::function<void(const void* subject)> handler) {
        _activated = std::move(handler);
    }

  private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

  private:
    QDBusConnection _bus;
    bool _bodyMarkup = false;
    std::map<const void*, uint> _ids;
    std::function<void(const void*)> _activated;
};
