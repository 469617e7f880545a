#include <QTimeZone>
#include <cstdio>

#include "DisplayName.h"
#include "FileManager.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "LogController.h"
#include "MainThread.h"
#include "PreferenceDomain.h"

KTLSyncWindowFactory currentWindowFactory();

namespace {

void answer(const std::shared_ptr<KTLPromptRecord>& record, int code) {
    record->result = code;
    record->lock.setCondition(0);
}

// The path as the user knows it, with the home folder written "~".
QString abbreviatedPath(const std::string& path) {
    const std::string prefix = KTLSyncController::homeFolder();
    if (prefix != "/") {
        if (path == prefix) return QStringLiteral("~");
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
            path[prefix.size()] == '/')
            return QStringLiteral("~") + pathText(path.substr(prefix.size()));
    }
    return pathText(path);
}

}  // namespace

bool KTLSyncController::debugPreference() {
    return PreferenceDomain::standardUserDefaults().boolForKey(QStringLiteral("debug"));
}

QString KTLSyncController::displayName() const {
    return displayNameAtPath(deviceMountPoint());
}

void KTLSyncController::show(const void*) {
    if (!_window && !_windowLoadFailed) {
        KTLSyncWindowFactory factory = currentWindowFactory();
        if (factory) _window = factory(shared_from_this());
        if (!_window) {
            _windowLoadFailed = true;
            if (factory) fputs("-show: cannot load KTLSyncController.nib\n", stderr);
        }
    }
    if (!_window) return;
    _window->setStatusLine(QString());
    _window->showWindow();
}

bool KTLSyncController::windowShouldClose() {
    const bool answer = !busy();
    debugMessage(QStringLiteral("-windowShouldClose: returning %1.")
                     .arg(answer ? QStringLiteral("YES") : QStringLiteral("NO")));
    return answer;
}

void KTLSyncController::fileFolderSyncInProgress(const std::string&, double percentComplete) {
    if (percentComplete >= 0) return;
    runOnMainThreadAndWait([this] {
        if (_window) _window->setProgressIndeterminate();
    });
}

void KTLSyncController::appendToWindowLog(const QString& line) {
    if (_window) _window->appendDrawerText(line);
    LogController::sharedInstance().addLogString(line, false, false);
}

void KTLSyncController::logMessage(const QString& message) {
    const QString line = LogController::generateString(message, true, true);
    runOnMainThreadAndWait([&] { appendToWindowLog(line); });
}

void KTLSyncController::debugMessage(const QString& message) {
    if (!debugPreference()) return;
    const QString line = LogController::generateString(message, false, true);
    runOnMainThreadAndWait([&] { appendToWindowLog(line); });
}

// --- Worker side of the hand-offs ---

void KTLSyncController::syncThreadLogMessage(const QString& message) {
    logMessage(message);
}

void KTLSyncController::mainThreadUpdateUIMessageField(const QString& message) {
    runOnMainThreadAndWait([&] {
        if (_window) _window->setStatusLine(message);
    });
}

int KTLSyncController::syncThreadAsk(
    void (KTLSyncController::*prompt)(const std::shared_ptr<KTLPromptRecord>&),
    const std::shared_ptr<KTLPromptRecord>& record) {
    runOnMainThread([self = shared_from_this(), prompt, record] { (self.get()->*prompt)(record); });
    record->lock.waitForCondition(0);
    return record->result;
}

bool KTLSyncController::syncThreadPerformAlertWithTitle(const QString& title,
                                                        const QString& message, bool cancelButton) {
    auto record = std::make_shared<KTLPromptRecord>();
    record->title = title;
    record->message = message;
    record->cancelButton = cancelButton;
    return syncThreadAsk(&KTLSyncController::mainThreadPerformAlert, record) == 1;
}

// --- Main-thread side: the sheets ---

void KTLSyncController::mainThreadPerformAlert(const std::shared_ptr<KTLPromptRecord>& record) {
    // Without a window (or once it has closed) nobody can answer: the question reads as Cancel.
    if (!_window || !_window->isWindowVisible()) {
        answer(record, 0);
        return;
    }
    _window->beginAlertSheet(record->title, record->message, record->cancelButton,
                             [record](int code) { answer(record, code); });
}

void KTLSyncController::mainThreadPromptWhenMissingMacPath(
    const std::shared_ptr<KTLPromptRecord>& record) {
    if (int remembered = defaultMissingResolutionAction()) {
        answer(record, remembered);
        return;
    }
    if (!_window || !_window->isWindowVisible()) {
        answer(record, 0);
        return;
    }
    const QString message = KTLFormatWith(
        KTLLocalizedString(QStringLiteral(
            "\"%@\" is missing from your local drive.  Copy from the Tapline\\U2122 drive?")),
        displayNameAtPath(record->localPath));
    std::weak_ptr<KTLSyncController> weakSelf = shared_from_this();
    _window->beginMissingSheet(message, abbreviatedPath(record->localPath),
                               [weakSelf, record](int code, bool dontAskAgain) {
                                   auto self = weakSelf.lock();
                                   if (self && dontAskAgain && (code == 1 || code == -1))
                                       self->setDefaultMissingResolutionAction(code);
                                   answer(record, code);
                               });
}

void KTLSyncController::mainThreadPromptWhenConflict(
    const std::shared_ptr<KTLPromptRecord>& record) {
    if (int remembered = defaultConflictResolutionAction()) {
        answer(record, remembered);
        return;
    }
    if (!_window || !_window->isWindowVisible()) {
        answer(record, 0);
        return;
    }
    KTLConflictSheetTexts texts;
    texts.message = KTLFormatWith(
        KTLLocalizedString(QStringLiteral("\"%@\" has been modified on both your local drive and "
                                          "the Tapline\\U2122 drive.  Pick the version you want "
                                          "to use.")),
        displayNameAtPath(record->localPath));

    FileManager manager;
    auto dateText = [&](const std::string& path) {
        std::optional<FileAttributes> attributes = manager.fileAttributesAtPath(path, false);
        QDateTime date = attributes
                             ? QDateTime::fromMSecsSinceEpoch(
                                   attributes->modificationTimeNs / 1000000, QTimeZone::utc())
                             : QDateTime();
        return KTLFormatWith(KTLLocalizedString(QStringLiteral("Modified: %@")),
                             dateDescription(date));
    };
    const bool macIsNewer = record->whichIsNewerThan;
    const std::string& newerPath = macIsNewer ? record->localPath : record->taplinePath;
    const std::string& olderPath = macIsNewer ? record->taplinePath : record->localPath;
    const QString local = KTLLocalizedString(QStringLiteral("local"));
    const QString tapline = KTLLocalizedString(QStringLiteral("Tapline\\U2122"));
    texts.newerSourceTitle = macIsNewer ? local : tapline;
    texts.olderSourceTitle = macIsNewer ? tapline : local;
    texts.newerSourceToolTip = pathText(newerPath);
    texts.olderSourceToolTip = pathText(olderPath);
    texts.newerToolTip =
        QStringLiteral("%1\n%2").arg(abbreviatedPath(newerPath), dateText(newerPath));
    texts.olderToolTip =
        QStringLiteral("%1\n%2").arg(abbreviatedPath(olderPath), dateText(olderPath));
    texts.showSourceButtons = debugPreference();

    std::weak_ptr<KTLSyncController> weakSelf = shared_from_this();
    _window->beginConflictSheet(texts, [weakSelf, record](int code, bool dontAskAgain) {
        auto self = weakSelf.lock();
        if (self && dontAskAgain && (code == 1 || code == 2 || code == -1 || code == -2))
            self->setDefaultConflictResolutionAction(code);
        answer(record, code);
    });
}
