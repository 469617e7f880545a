#pragma once

#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AEEventServer.h"

// One Pellora per desktop session. The first start takes the application's name on the session
// bus; a later start hands its drives to that one (org.freedesktop.Application's Open, or
// Activate without drives) and ends. Without a session bus a lock file keeps a second process
// from running at all.
namespace KTLDesktopSession {

// Becomes the session's Pellora, or hands `drives` (paths as given, bytes) to the one that
// runs. None when this process is to go on; else the status to exit with.
std::optional<int> becomeTheOnlyInstance(const std::vector<std::string>& drives);
// $XDG_RUNTIME_DIR/pellora.lock, else in the state folder beside the log.
std::string lockFilePath();

// A path's file URI, its bytes percent-encoded, and back; none for a URI that names no file
// of this computer.
QString fileURIForPath(const std::string& path);
std::optional<std::string> pathForFileURI(const QString& uri);

}  // namespace KTLDesktopSession

// The scripting server that also answers the desktop's org.freedesktop.Application calls on
// the same object: Activate, Open with file URIs, and ActivateAction (which does nothing).
// The work is done after the answer has gone, so the caller never waits on an alert.
class KTLApplicationServer : public AEEventServer {
  public:
    using AEEventServer::AEEventServer;

    void setActivateHandler(std::function<void()> handler) { _activate = std::move(handler); }
    void setOpenHandler(std::function<void(const QStringList& uris)> handler) {
        _open = std::move(handler);
    }

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    std::function<void()> _activate;
    std::function<void(const QStringList&)> _open;
};
