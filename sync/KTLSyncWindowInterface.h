#pragma once

#include <QString>
#include <functional>
#include <memory>

class KTLSyncController;

// Everything the conflict sheet shows, worked out by the controller.
struct KTLConflictSheetTexts {
    QString message;
    QString newerToolTip;  // path of the newer copy (home as "~") and its date, on two lines
    QString olderToolTip;
    QString newerSourceTitle;  // "local" or "Tapline™": the side that holds the newer copy
    QString newerSourceToolTip;
    QString olderSourceTitle;
    QString olderSourceToolTip;
    bool showSourceButtons = false;  // the side buttons and their separator, debug mode only
};

// A drive's window as the engine sees it: status line, progress indicator, Cancel button,
// help control, a drawer with the drive's log, and three sheets. The user interface
// implements it; tests may replace it. Called on the main thread only.
class KTLSyncWindowInterface {
  public:
    virtual ~KTLSyncWindowInterface() = default;

    // Brings the window to the front as the key window.
    virtual void showWindow() = 0;
    // Closes the window without asking; an open sheet ends with code 0.
    virtual void closeWindow() = 0;
    virtual bool isWindowVisible() const = 0;

    // The status line, redrawn at once.
    virtual void setStatusLine(const QString& text) = 0;
    virtual QString statusLine() const = 0;
    // Adds to the end of the drawer's text and scrolls to the end.
    virtual void appendDrawerText(const QString& text) = 0;

    // Progress indicator and Cancel button at the start (shown, animated, Cancel enabled when
    // `withCancelButton`) and at the end of a run (stopped, hidden, Cancel disabled).
    virtual void showRunning(bool withCancelButton) = 0;
    virtual void showIdle() = 0;
    // Progress of unknown extent: indeterminate and animated.
    virtual void setProgressIndeterminate() = 0;

    // The sheets. Each returns at once; `didEnd` gets the code of the button that ended the
    // sheet (0 when the window closed under it) and, for the two prompts, whether the
    // don't-ask-again box was ticked.
    virtual void beginAlertSheet(const QString& title, const QString& message, bool cancelEnabled,
                                 std::function<void(int code)> didEnd) = 0;
    virtual void beginMissingSheet(const QString& message, const QString& toolTip,
                                   std::function<void(int code, bool dontAskAgain)> didEnd) = 0;
    virtual void beginConflictSheet(const KTLConflictSheetTexts& texts,
                                    std::function<void(int code, bool dontAskAgain)> didEnd) = 0;
};

// Makes a drive's window; none when it can't be made. The window reports back to the
// controller: Cancel (cancelButtonClicked), help (helpClicked) and the user's close request
// (windowShouldClose). It should hold the controller weakly.
using KTLSyncWindowFactory = std::function<std::unique_ptr<KTLSyncWindowInterface>(
    const std::shared_ptr<KTLSyncController>&)>;
