#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

// The texts of a two-button question.
struct LogAlertTexts {
    QString title;
    QString message;
    QString defaultButton;
    QString alternateButton;
};

// The log window as the log controller sees it. The user interface implements it; the
// controller never touches a widget.
class LogWindowInterface {
  public:
    virtual ~LogWindowInterface() = default;

    // Replaces the whole text and scrolls to its end.
    virtual void setText(const QString& text) = 0;
    // Adds to the end of the text and scrolls so that the end is visible.
    virtual void appendText(const QString& text) = 0;
    virtual QString text() const = 0;

    virtual void setTitle(const QString& title) = 0;
    virtual void center() = 0;
    // Saves the frame under `name` from now on and restores the frame saved under it, if any.
    virtual void setFrameAutosaveName(const QString& name) = 0;

    // Brings the window forward; with `behind` (a window) it goes directly below that one.
    virtual void showWindow(QObject* behind) = 0;
    // Closes the window as its close button would; the window itself is kept.
    virtual void hideWindow() = 0;
    virtual bool isWindowVisible() const = 0;

    // Asks the question as a sheet on this window and returns at once; `didEnd` gets the
    // answer (LogController::AlertDefaultReturn or AlertAlternateReturn) when the sheet ends.
    virtual void beginSheet(const LogAlertTexts& texts, std::function<void(int)> didEnd) = 0;
};

// Loads the log window and asks application-modal questions; installed by the user interface.
class LogWindowFactory {
  public:
    virtual ~LogWindowFactory() = default;
    // The new, hidden window, or none if it can't be made.
    virtual std::unique_ptr<LogWindowInterface> loadWindow() = 0;
    // Asks and waits for the answer; true for the default button.
    virtual bool runAlert(const LogAlertTexts& texts) = 0;
};

// The application's log: a text that grows line by line, shown in a window on request and
// kept in the log file. Until the window is loaded the text is the pending text; from then on
// it lives in the window, and the pending text stays empty.
//
// Lines reach the log file as they are logged: they are buffered and appended to the file at
// least once a second, on writeLogFile, at quit and when the controller goes away, so the file
// equals the log text after every flush and a crash loses at most the last second.
//
// Main thread only.
class LogController : public QObject {
    Q_OBJECT

  public:
    enum { AlertAlternateReturn = 0, AlertDefaultReturn = 1 };

    // The application's instance, made on first use and kept until the process ends. Other
    // instances are independent of it.
    static LogController& sharedInstance();

    explicit LogController(QObject* parent = nullptr);
    ~LogController() override;

    // "%Y/%m/%d %H:%M:%S " in local time when asked, then the message, then "\n" when asked.
    static QString generateString(const QString& message, bool withTimeStamp, bool withNewLine);

    // Adds a line; no time stamp while suppressTimeStamp is set.
    void addLogString(const QString& message, bool withTimeStamp, bool withNewLine);

    // Loads the window on first use (centred, then moved to its saved frame) and shows it.
    void show() { show(nullptr); }
    void show(QObject* behind);
    void hide();
    bool isLogWindowVisible() const;

    // Asks whether to clear: an application-modal alert while the window is hidden, a sheet on
    // the window while it is visible. Without a user interface nothing can be asked and
    // nothing is cleared.
    void clearLog();
    void clearLogAlertSheetWillEnd(int returnCode);

    // Replaces the log text with the log file's; a missing or unreadable file changes nothing.
    // Always true.
    bool readLogFile();
    // Writes the whole log text over the log file.
    bool writeLogFile();
    // Writes the whole log text to `path`, atomically, creating the file and its missing
    // folders first. On failure the old file stays and the reason goes to stderr.
    bool writeLogFileTo(const std::string& path);
    // Empties the log text and the log file together.
    void zapLogAndWindowContents();
    // Whether the log file exists; when it doesn't and `create` is set, makes an empty one
    // together with its missing folders.
    bool logFileExists(bool create);

    // Appends what has been logged since the last flush to the log file (or rewrites the file
    // when it can't be known to hold the rest of the text).
    bool flushLogFile();

    // The whole log text, wherever it lives.
    QString text() const;
    // The text kept while the window is not loaded.
    const QString& pendingText() const { return _contentsReadFromFile; }
    LogWindowInterface* window() const { return _window.get(); }

    void setWindowFactory(std::shared_ptr<LogWindowFactory> factory);

    const std::string& logFilename() const { return _logFilename; }
    void setLogFilename(const std::string& path);
    const QString& frameAutosaveName() const { return _frameAutosaveName; }
    void setFrameAutosaveName(const QString& name) { _frameAutosaveName = name; }
    const QString& windowTitle() const { return _windowTitle; }
    void setWindowTitle(const QString& title);
    bool suppressTimeStamp() const { return _suppressTimeStamp; }
    void setSuppressTimeStamp(bool suppress) { _suppressTimeStamp = suppress; }

  private:
    void scheduleFlush();
    bool appendToLogFile();
    void fileNowMatchesText();
    static LogAlertTexts clearQuestion();

    std::unique_ptr<LogWindowInterface> _window;
    QString _contentsReadFromFile;
    std::string _logFilename;
    QString _frameAutosaveName;
    QString _windowTitle;
    bool _suppressTimeStamp = false;

    std::shared_ptr<LogWindowFactory> _factory;

    // Lines logged since the log file last matched the text.
    QByteArray _unwritten;
    // The file's contents are unknown or differ from the text: the next flush rewrites it.
    bool _rewriteFile = true;
    QTimer _flushTimer;
    bool _quitHooked = false;
};
