#include "LogController.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <cstdio>

#include "KTLLocalizedString.h"

namespace {

constexpr int kFlushIntervalMs = 1000;

}  // namespace

LogController& LogController::sharedInstance() {
    // Never destroyed: its window must not be deleted after the application object, and the
    // log file is flushed at quit anyway.
    static LogController* const shared = new LogController;
    return *shared;
}

LogController::LogController(QObject* parent)
    : QObject(parent),
      _frameAutosaveName(QStringLiteral("com.orvane.logwindow")),
      _windowTitle(KTLLocalizedString(QStringLiteral("Log"))) {
    _flushTimer.setSingleShot(true);
    _flushTimer.setInterval(kFlushIntervalMs);
    connect(&_flushTimer, &QTimer::timeout, this, [this] { flushLogFile(); });
}

LogController::~LogController() {
    flushLogFile();
}

void LogController::setWindowFactory(std::shared_ptr<LogWindowFactory> factory) {
    _factory = std::move(factory);
}

void LogController::addLogString(const QString& message, bool withTimeStamp, bool withNewLine) {
    const QString line = generateString(message, withTimeStamp && !_suppressTimeStamp, withNewLine);
    if (_window)
        _window->appendText(line);
    else
        _contentsReadFromFile += line;
    if (_logFilename.empty()) return;
    _unwritten += line.toUtf8();
    scheduleFlush();
}

void LogController::scheduleFlush() {
    if (_flushTimer.isActive()) return;
    if (!QAbstractEventDispatcher::instance(thread())) {
        // No event loop to run a timer: write at once rather than never.
        flushLogFile();
        return;
    }
    if (!_quitHooked && QCoreApplication::instance()) {
        _quitHooked = true;
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { flushLogFile(); });
    }
    _flushTimer.start();
}

void LogController::show(QObject* behind) {
    if (!_window) {
        if (_factory) _window = _factory->loadWindow();
        if (!_window) {
            fputs("cannot load LogWindow.nib\n", stderr);
            return;
        }
        // The text moves into the window, which holds it from now on.
        _window->setText(_contentsReadFromFile);
        _contentsReadFromFile.clear();
        // Centre first so that a saved frame, restored next, wins.
        _window->center();
        if (!_frameAutosaveName.isEmpty()) _window->setFrameAutosaveName(_frameAutosaveName);
    }
    if (!_windowTitle.isEmpty()) _window->setTitle(_windowTitle);
    _window->showWindow(behind);
}

void LogController::hide() {
    if (_window) _window->hideWindow();
}

bool LogController::isLogWindowVisible() const {
    return _window && _window->isWindowVisible();
}

LogAlertTexts LogController::clearQuestion() {
    return {KTLLocalizedString(QStringLiteral("Clear Log")),
            KTLLocalizedString(QStringLiteral("Are you sure you want to clear the log file?")),
            KTLLocalizedString(QStringLiteral("Yes")), KTLLocalizedString(QStringLiteral("No"))};
}

void LogController::clearLog() {
    if (!isLogWindowVisible()) {
        if (_factory && _factory->runAlert(clearQuestion())) zapLogAndWindowContents();
        return;
    }
    _window->beginSheet(clearQuestion(), [this](int code) { clearLogAlertSheetWillEnd(code); });
}

void LogController::clearLogAlertSheetWillEnd(int returnCode) {
    if (returnCode == AlertDefaultReturn) zapLogAndWindowContents();
}

QString LogController::text() const {
    return _window ? _window->text() : _contentsReadFromFile;
}

void LogController::setLogFilename(const std::string& path) {
    if (path == _logFilename) return;
    // What the old file still lacks goes there before the name changes.
    flushLogFile();
    _logFilename = path;
    _unwritten.clear();
    // Nothing is known about the new file; it is rewritten on the next flush unless it is read
    // first.
    _rewriteFile = true;
}

void LogController::setWindowTitle(const QString& title) {
    _windowTitle = title;
    if (_window) _window->setTitle(title);
}
