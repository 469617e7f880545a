#include <QDBusConnection>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <utility>

#include "KTLAppDelegate.h"
#include "KTLDesktopSession.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "OrvaneUtilities+Descriptor.h"
#include "PathUtilities.h"
#include "ScriptingInterface.h"

// The scripting commands: each unpacks and checks its event, calls the drive operation and
// fills in the reply. Every failure is error -50 with one of a fixed set of texts.

// One command on its way: the drive's path, what goes into the reply, and the reply itself.
// The reply goes out, after the closing debug line, when the last holder lets go: the frame
// when the command is done, or an alert the command put up once it is dismissed.
struct KTLAppDelegate::ScriptCommand {
    KTLAppDelegate* delegate;
    QString handler;
    AEReply reply;
    std::string path;
    std::optional<AEDescriptor> result;
    qint32 errorNumber = 0;
    QString errorMessage;

    ScriptCommand(KTLAppDelegate* owner, QString name, AEReply answer)
        : delegate(owner), handler(std::move(name)), reply(std::move(answer)) {}
    ~ScriptCommand() {
        delegate->debugMessage(
            QStringLiteral("< %1: %2.").arg(handler, reply.descriptor().description()));
        reply.send();
    }
    void debug(const QString& text) const {
        delegate->debugMessage(QStringLiteral("-%1: %2").arg(handler, text));
    }
    void fail(const QString& debugText, const QString& message) {
        debug(debugText);
        errorNumber = kAEParamErr;
        errorMessage = message;
    }
};

namespace {

// The local path a descriptor names, if it is a 'furl' holding a file URL; `isURL` tells a
// URL of another kind from no URL at all.
std::optional<std::string> filePathOf(const std::optional<AEDescriptor>& descriptor,
                                      bool* isURL = nullptr) {
    QUrl url;
    const bool retrieved = descriptor && OrvaneUtilities::retrieveURL(*descriptor, &url);
    if (isURL) *isURL = retrieved;
    if (!retrieved) return std::nullopt;
    std::optional<std::string> path = OrvaneUtilities::pathOfFileURL(url);
    // A NUL would cut the path short at the first system call.
    if (path && path->find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace

void KTLAppDelegate::installEventHandlers() {
    using Handler = void (KTLAppDelegate::*)(const AEDescriptor&, AEReply);
    const std::pair<FourCharCode, Handler> handlers[] = {
        {kQueryEvent, &KTLAppDelegate::handleQueryEvent},
        {kSetSyncListEvent, &KTLAppDelegate::handleSetSyncListEvent},
        {kGetSyncListEvent, &KTLAppDelegate::handleGetSyncListEvent},
        {kSetContinuousSyncStateEvent, &KTLAppDelegate::handleSetContinuousSyncStateEvent},
        {kGetContinuousSyncStateEvent, &KTLAppDelegate::handleGetContinuousSyncStateEvent},
        {kStartEvent, &KTLAppDelegate::handleStartEvent},
        {kCancelEvent, &KTLAppDelegate::handleCancelEvent},
        {kStatusEvent, &KTLAppDelegate::handleStatusEvent},
    };
    if (!_eventServer) {
        auto* server = new KTLApplicationServer(this);
        server->setActivateHandler([this] { activate(); });
        server->setOpenHandler([this](const QStringList& uris) { openURIs(uris); });
        _eventServer = server;
    }
    for (const auto& [eventID, handler] : handlers) {
        _eventServer->setEventHandler(kSyncEventClass, eventID,
                                      [this, handler](const AEDescriptor& event, AEReply reply) {
                                          (this->*handler)(event, std::move(reply));
                                      });
    }
    // Without a bus, or with another Pellora holding the name, the rest still works.
    QString error;
    _scriptingServed = _eventServer->start(QDBusConnection::sessionBus(), &error);
    if (!_scriptingServed) {
        logMessage(KTLLocalizedString(
                       QStringLiteral("Scripting is not available (%1); Pellora runs without it."))
                       .arg(error));
    }
}

void KTLAppDelegate::runScriptCommand(const char* handler, const AEDescriptor& event, AEReply reply,
                                      const std::function<void(ScriptCommand&)>& steps) {
    const QString name = QLatin1String(handler);
    // Only the query's opening line has no period.
    const bool query = event.eventID() == kQueryEvent;
    debugMessage(QStringLiteral("> %1: %2%3")
                     .arg(name, event.description(), query ? QString() : QStringLiteral(".")));
    auto command = std::make_shared<ScriptCommand>(this, name, std::move(reply));
    // Yes-or-no answers are put even after an error, as no.
    if (query || event.eventID() == kGetContinuousSyncStateEvent)
        command->result = OrvaneUtilities::descriptorWithBOOL(false);

    const std::optional<std::string> path =
        filePathOf(event.paramDescriptorForKeyword(AEKeyword::directObject));
    if (!path) {
        command->fail(QStringLiteral("cannot get direct object as URL."),
                      QStringLiteral("unable to retrieve main URL"));
    } else {
        command->debug(QStringLiteral("main URL is %1").arg(pathText(*path)));
        command->path = *path;
        std::shared_ptr<ScriptCommand> outer = std::exchange(_runningCommand, command);
        steps(*command);
        _runningCommand = std::move(outer);
    }

    if (command->reply.replyWanted()) {
        AEDescriptor& out = command->reply.descriptor();
        if (command->result) out.setParamDescriptor(*command->result, AEKeyword::directObject);
        if (command->errorNumber != 0)
            out.setParamDescriptor(AEDescriptor::descriptorWithInt32(command->errorNumber),
                                   AEKeyword::errorNumber);
        if (!command->errorMessage.isEmpty())
            out.setParamDescriptor(AEDescriptor::descriptorWithString(command->errorMessage),
                                   AEKeyword::errorString);
    }
}

void KTLAppDelegate::showScriptAlert(const QString& title, const QString& message,
                                     std::shared_ptr<ScriptCommand> command) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::Ok);
    box->setObjectName(QStringLiteral("_alert"));
    box->button(QMessageBox::Ok)->setText(KTLLocalizedString(QStringLiteral("OK")));
    box->setWindowModality(Qt::ApplicationModal);
    // The answer waits for the user; other calls are served meanwhile.
    connect(box, &QMessageBox::finished, this, [box, command]() mutable {
        command.reset();
        box->deleteLater();
    });
    std::erase_if(_openAlerts, [](const QPointer<QMessageBox>& open) { return open.isNull(); });
    _openAlerts.emplace_back(box);
    box->show();
}

void KTLAppDelegate::closeScriptAlerts() {
    for (const QPointer<QMessageBox>& box : _openAlerts)
        if (box) box->done(QMessageBox::Ok);
    _openAlerts.clear();
}

void KTLAppDelegate::handleQueryEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand("handleQueryEvent", event, std::move(reply), [this](ScriptCommand& command) {
        if (!isDriveValidForSync(command.path, true)) {
            command.fail(QStringLiteral("drive is not valid."),
                         QStringLiteral("drive is not valid for sync"));
            return;
        }
        const bool setUp = isDriveSetupForSync(command.path);
        command.debug(setUp ? QStringLiteral("drive is set up.")
                            : QStringLiteral("drive is not set up."));
        command.result = OrvaneUtilities::descriptorWithBOOL(setUp);
    });
}

void KTLAppDelegate::handleSetSyncListEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand(
        "handleSetSyncListEvent", event, std::move(reply), [&](ScriptCommand& command) {
            const std::optional<AEDescriptor> items =
                event.paramDescriptorForKeyword(kItemsKeyword);
            if (!items) {
                command.fail(QStringLiteral("cannot get ITMZ property"),
                             QStringLiteral("unable to retrieve ITMZ property"));
                return;
            }
            if (items->descriptorType() != AEType::list) {
                command.fail(QStringLiteral("ITMZ is not typeAEList."),
                             QStringLiteral("ITMZ property not typeAEList"));
                return;
            }
            QStringList list;
            for (int i = 1; i <= items->numberOfItems(); ++i) {
                bool isURL = false;
                const std::optional<std::string> path =
                    filePathOf(items->descriptorAtIndex(i), &isURL);
                const std::string abbreviated =
                    path ? stringByAbbreviatingWithTildeInPath(*path) : std::string();
                // Lists are kept as text, and the engine reads an entry back as UTF-8: a name
                // that isn't UTF-8 would come back as another file, so it can't be taken.
                const QString entry = QString::fromUtf8(abbreviated);
                if (!isURL || (path && entry.toStdString() != abbreviated)) {
                    command.fail(QStringLiteral("cannot retrieve URL for item %1.").arg(i),
                                 QStringLiteral("cannot retrieve URL for item %1").arg(i));
                    return;
                }
                if (!path) {
                    command.fail(QStringLiteral("item %1 is not file URL.").arg(i),
                                 QStringLiteral("URL for item %1 is not a fileURL").arg(i));
                    return;
                }
                command.debug(QStringLiteral("item URL #%1 is %2 (%3)")
                                  .arg(QString::number(i), pathText(*path), entry));
                list.append(entry);
            }
            setSyncList(list, command.path);
        });
}

void KTLAppDelegate::handleGetSyncListEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand(
        "handleGetSyncListEvent", event, std::move(reply), [this](ScriptCommand& command) {
            const std::optional<QStringList> syncList = getSyncListForDrive(command.path);
            if (!syncList) {
                command.fail(QStringLiteral("syncList is empty."),
                             QStringLiteral("syncList is empty"));
                return;
            }
            AEDescriptor list = AEDescriptor::listDescriptor();
            for (const QString& entry : *syncList) {
                std::string path = stringByStandardizingPath(entry.toStdString());
                // The engine takes an entry without "~" from the root, whatever our working folder.
                if (!path.empty() && path[0] != '/') path = stringByStandardizingPath("/" + path);
                command.debug(QStringLiteral("adding to list: %1").arg(pathText(path)));
                if (auto url = OrvaneUtilities::descriptorWithPathAsCFURL(path))
                    list.insertDescriptor(*url, 0);
            }
            command.result = list;
        });
}

void KTLAppDelegate::handleSetContinuousSyncStateEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand(
        "handleSetContinuousSyncStateEvent", event, std::move(reply), [&](ScriptCommand& command) {
            const std::optional<AEDescriptor> state =
                event.paramDescriptorForKeyword(kContinuousSyncStateKeyword);
            if (!state) {
                command.fail(QStringLiteral("cannot get CSSP property"),
                             QStringLiteral("unable to retrieve CSSP property"));
                return;
            }
            const FourCharCode type = state->descriptorType();
            if (type != AEType::trueType && type != AEType::falseType) {
                command.fail(QStringLiteral("CSSP is not typeTrue or typeFalse."),
                             QStringLiteral("CSSP property not typeTrue or typeFalse"));
                return;
            }
            setContinuousSyncState(type == AEType::trueType, command.path);
        });
}

void KTLAppDelegate::handleGetContinuousSyncStateEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand("handleGetContinuousSyncStateEvent", event, std::move(reply),
                     [this](ScriptCommand& command) {
                         command.result = OrvaneUtilities::descriptorWithBOOL(
                             getContinuousSyncStateForDrive(command.path));
                     });
}

void KTLAppDelegate::handleStartEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand("handleStartEvent", event, std::move(reply),
                     [this](ScriptCommand& command) { startSyncForDriveAt(command.path); });
}

void KTLAppDelegate::handleCancelEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand("handleCancelEvent", event, std::move(reply),
                     [this](ScriptCommand& command) { cancelSyncForDriveAt(command.path); });
}

void KTLAppDelegate::handleStatusEvent(const AEDescriptor& event, AEReply reply) {
    runScriptCommand("handleStatusEvent", event, std::move(reply), [](ScriptCommand&) {});
}
