#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

// The engine's header has the same name as this one; the path keeps the two apart.
#include "KTLSyncWindowInterface.h"

class KTLSyncController;
class QCheckBox;
class QDialog;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

// A drive's window: status line, progress indicator, Cancel and help buttons, and a drawer
// below them with the drive's log. Its three sheets are built with it and reused, so their
// check boxes keep their state. Every named element carries its name as object name.
class KTLSyncWindow : public QWidget, public KTLSyncWindowInterface {
    Q_OBJECT

  public:
    explicit KTLSyncWindow(std::weak_ptr<KTLSyncController> controller);
    ~KTLSyncWindow() override;

    void showWindow() override;
    void closeWindow() override;
    bool isWindowVisible() const override;

    void setStatusLine(const QString& text) override;
    QString statusLine() const override;
    void appendDrawerText(const QString& text) override;

    void showRunning(bool withCancelButton) override;
    void showIdle() override;
    void setProgressIndeterminate() override;

    void beginAlertSheet(const QString& title, const QString& message, bool cancelEnabled,
                         std::function<void(int code)> didEnd) override;
    void beginMissingSheet(const QString& message, const QString& toolTip,
                           std::function<void(int code, bool dontAskAgain)> didEnd) override;
    void beginConflictSheet(const KTLConflictSheetTexts& texts,
                            std::function<void(int code, bool dontAskAgain)> didEnd) override;

    // The drive this window stands for; none once its controller has gone.
    std::shared_ptr<KTLSyncController> controller() const { return _controller.lock(); }

    // The status line as it is drawn: elided in the middle when it doesn't fit.
    QString displayedStatusLine() const;
    // The line that points a new drive's user at Drive → Sync List….
    void setSyncListHintVisible(bool visible);
    bool isSyncListHintVisible() const;

    bool isDrawerOpen() const;
    void setDrawerOpen(bool open);

  signals:
    // What the desktop is told about (tray, notifications): a run's start and end, every line
    // of the drive's log, and a question put up (its text) and taken down.
    void runningChanged(bool running);
    void drawerTextAppended(const QString& text);
    void sheetBegan(const QString& question);
    void sheetEnded();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildWindow();
    void buildAlertPanel();
    void buildMissingPanel();
    void buildConflictPanel();
    QDialog* makeSheet(const char* name);
    // Tool tips that come from file names are shown as plain text.
    void showToolTipAsPlainText(QWidget* widget);
    void beginSheet(QDialog* sheet, std::function<void(int)> didEnd, const QString& question);
    void sheetFinished(QDialog* sheet, int code);
    void endOpenSheet(int code);

    std::weak_ptr<KTLSyncController> _controller;

    QLabel* _messageTextField = nullptr;
    QProgressBar* _progressIndicator = nullptr;
    QPushButton* _cancelButton = nullptr;
    QPushButton* _closeButton = nullptr;
    QLabel* _syncListHintTextField = nullptr;
    QToolButton* _helpButton = nullptr;
    QToolButton* _drawerButton = nullptr;
    QWidget* _windowDrawer = nullptr;
    QPlainTextEdit* _windowDrawerTextView = nullptr;
    int _drawerHeight = 220;

    QDialog* _alertPanel = nullptr;
    QLabel* _alertTitleTextField = nullptr;
    QLabel* _alertMessageTextField = nullptr;
    QPushButton* _alertOKButton = nullptr;
    QPushButton* _alertCancelButton = nullptr;

    QDialog* _missingAlertPanel = nullptr;
    QLabel* _missingMessageTextField = nullptr;
    QPushButton* _missingCopyButton = nullptr;
    QPushButton* _missingDontCopyButton = nullptr;
    QCheckBox* _missingDontAskAgainButton = nullptr;

    QDialog* _conflictAlertPanel = nullptr;
    QLabel* _conflictMessageTextField = nullptr;
    QPushButton* _conflictNewerButton = nullptr;
    QPushButton* _conflictOlderButton = nullptr;
    QPushButton* _conflictNewerSourceButton = nullptr;
    QPushButton* _conflictOlderSourceButton = nullptr;
    QCheckBox* _conflictDontAskAgainButton = nullptr;
    QFrame* _conflictButtonSeparator = nullptr;

    // The sheet that is up and what runs when it ends; cleared before that runs, so it runs once.
    QPointer<QDialog> _openSheet;
    std::function<void(int)> _sheetDidEnd;
    bool _closingByProgram = false;
};

// Has every drive controller get one of these windows; `made` is told of each new one.
void installSyncWindows(std::function<void(KTLSyncWindow*)> made = nullptr);
