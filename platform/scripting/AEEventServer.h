#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "AEDescriptor.h"

// The reply to one incoming event. Copies share it; it goes back to the caller when send() is
// first called, or else when the last copy is destroyed, so a handler may fill it in and
// return, or keep a copy and answer later (after an alert is dismissed) while other calls
// are served.
class AEReply {
  public:
    AEReply() = default;  // belongs to no call: sending does nothing

    // False when the caller wants no reply; descriptor() is then the null descriptor and
    // entries put into it are dropped.
    bool replyWanted() const;
    // The reply event ('aevt'\'ansr') to put entries into by keyword; the null descriptor
    // when no reply is wanted.
    AEDescriptor& descriptor();
    void send();

  private:
    friend class AEEventServer;
    struct Pending;
    std::shared_ptr<Pending> _pending;
};

// Handles one event on the main thread. The event is 'aevt' with its class, ID and keyword
// parameters.
using AEEventHandler = std::function<void(const AEDescriptor& event, AEReply reply)>;

// Serves HandleEvent at the scripting object path and hands each event to the handler
// installed for its class and ID. An event without a handler is answered with error -1708; a
// call whose event can be formed but whose parameters can't be read gets error -50 and an
// error text without reaching a handler, whether or not a reply was wanted (the command did
// not run); any other malformed call gets a D-Bus error. Lives on the main thread.
class AEEventServer : public QDBusVirtualObject {
  public:
    explicit AEEventServer(QObject* parent = nullptr);
    ~AEEventServer() override;

    // Replaces any handler installed for the same class and ID.
    void setEventHandler(FourCharCode eventClass, FourCharCode eventID, AEEventHandler handler);

    // Registers the object and takes the service name on `connection`. False, with the reason,
    // when there is no bus, the path is taken or another process owns the name.
    bool start(const QDBusConnection& connection, QString* error = nullptr);
    // Registers the object only, for a connection with no bus in between.
    bool registerObject(const QDBusConnection& connection, QString* error = nullptr);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    void unregister();

    std::map<std::pair<FourCharCode, FourCharCode>, AEEventHandler> _handlers;
    std::unique_ptr<QDBusConnection> _connection;
    bool _ownsName = false;
};
