// The drive window's sheets and the log window, on the offscreen platform: the real buttons
// clicked, the codes they answer, and what survives a restart.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "../app/AppSupport.h"
#include "KTLSyncWindow.h"
#include "LogController.h"
#include "LogWindow.h"

namespace {

using Answer = std::pair<int, bool>;

class SyncWindow : public testing::Test {
  protected:
    template <typename T = QPushButton>
    T* child(const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    TempDir drive;
    std::shared_ptr<KTLSyncController> controller =
        KTLSyncController::controllerForMountPoint(drive.path());
    KTLSyncWindow window{controller};
};

void pressEscape(QWidget* widget) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

}  // namespace

// Each button of each sheet, by the code it answers; the check box stays ticked. Escape means
// Cancel on an alert, or OK where it has none; on the other sheets only a button answers.
TEST_F(SyncWindow, EachSheetButtonAnswersItsCode) {
    window.showWindow();
    std::vector<Answer> answers;
    auto record = [&](int code, bool dontAskAgain) { answers.emplace_back(code, dontAskAgain); };
    KTLConflictSheetTexts texts;
    texts.message = "\"a\" has been modified on both sides.";
    texts.showSourceButtons = true;
    // Each row: the button, and the answer; where that carries the check box, it is ticked first.
    const std::pair<std::string, Answer> rows[] = {{"_alertOKButton", {1, false}},
                                                   {"_alertCancelButton", {0, false}},
                                                   {"_missingCopyButton", {1, false}},
                                                   {"_missingDontCopyButton", {-1, true}},
                                                   {"_conflictNewerButton", {1, false}},
                                                   {"_conflictOlderButton", {-1, false}},
                                                   {"_conflictNewerSourceButton", {2, false}},
                                                   {"_conflictOlderSourceButton", {-2, true}}};
    for (const auto& [name, expected] : rows) {
        const bool missing = name.starts_with("_missing");
        if (name.starts_with("_alert"))
            window.beginAlertSheet("t", "<b>plain</b>", true, [&](int code) { record(code, 0); });
        else if (missing)
            window.beginMissingSheet("\"a\" is missing.", "~/a", record);
        else
            window.beginConflictSheet(texts, record);
        if (expected.second)
            child<QCheckBox>(missing ? "_missingDontAskAgainButton" : "_conflictDontAskAgainButton")
                ->click();
        child(name.c_str())->click();
        EXPECT_EQ(answers.back(), expected) << name;
        EXPECT_FALSE(child<QDialog>("_conflictAlertPanel")->isVisible()) << name;
    }
    for (const bool withCancel : {true, false}) {
        window.beginAlertSheet("t", "<b>m</b>", withCancel, [&](int code) { record(code, 0); });
        EXPECT_EQ(child<QLabel>("_alertMessageTextField")->textFormat(), Qt::PlainText);
        EXPECT_EQ(child("_alertCancelButton")->isHidden(), !withCancel);
        pressEscape(child<QDialog>("_alertPanel"));
        EXPECT_EQ(answers.back(), (Answer{withCancel ? 0 : 1, false})) << withCancel;
    }
    // Only a button answers these two.
    texts.showSourceButtons = false;
    for (const bool missing : {true, false}) {
        const char* panel = missing ? "_missingAlertPanel" : "_conflictAlertPanel";
        if (missing)
            window.beginMissingSheet("\"c\" is missing.", "~/c", record);
        else
            window.beginConflictSheet(texts, record);
        EXPECT_FALSE(child("_conflictNewerSourceButton")->isVisible());
        const size_t asked = answers.size();
        child<QDialog>(panel)->close();
        pressEscape(child<QDialog>(panel));
        EXPECT_TRUE(child<QDialog>(panel)->isVisible());
        EXPECT_EQ(answers.size(), asked);
        child(missing ? "_missingCopyButton" : "_conflictNewerButton")->click();
        EXPECT_EQ(answers.back(), (Answer{1, true})) << panel;
    }
}

TEST_F(SyncWindow, EverySheetEndsOnceWhenAnotherComesOrTheWindowGoes) {
    window.showWindow();
    std::vector<int> codes;
    window.beginMissingSheet("\"a\" is missing.", "~/a", [&](int c, bool) { codes.push_back(c); });
    window.beginAlertSheet("t", "m", true, [&](int c) { codes.push_back(c); });
    EXPECT_EQ(codes, std::vector<int>{0});
    controller->driveDisappeared();  // queues work that no worker takes: busy
    EXPECT_FALSE(window.close()) << "a user's close is refused while the drive is busy";
    window.closeWindow();
    window.closeWindow();
    EXPECT_EQ(codes, (std::vector<int>{0, 0}));
    auto doomed = std::make_unique<KTLSyncWindow>(controller);
    doomed->beginAlertSheet("t", "m", false, [&](int c) { codes.push_back(c); });
    doomed.reset();
    EXPECT_EQ(codes.size(), 3u);
}

// Cancel only while a run that can be canceled shows, Close only when idle.
TEST_F(SyncWindow, CancelReachesTheControllerOnlyWhileARunShowsIt) {
    window.showWindow();
    QPushButton* cancel = child("_cancelButton");
    QPushButton* close = child("_closeButton");
    auto* bar = child<QProgressBar>("_progressIndicator");
    EXPECT_TRUE(!cancel->isVisible() && close->isVisible() && !bar->isVisible());
    window.showRunning(false);  // a list update
    EXPECT_TRUE(!cancel->isVisible() && !close->isVisible() && bar->isVisible());
    window.showRunning(true);
    EXPECT_TRUE(cancel->isVisible() && cancel->isEnabled());
    // The click shows at once, before the worker notices.
    cancel->click();
    EXPECT_TRUE(controller->cancelPending() && !cancel->isEnabled());
    EXPECT_EQ(window.statusLine(), "Canceling\u2026");
    window.showIdle();
    EXPECT_TRUE(!cancel->isVisible() && close->isVisible() && !bar->isVisible());
    close->click();
    EXPECT_FALSE(window.isVisible());

    // A long status line keeps its start and its end, and the window its width.
    window.showWindow();
    const int width = window.width();
    const QString text =
        "Synchronization of \"" + QString(300, u'N') + "\" completed successfully.";
    window.setStatusLine(text);
    const QString line = window.displayedStatusLine();
    EXPECT_EQ(window.statusLine(), text);
    EXPECT_TRUE(line.startsWith("Synchronization of \"NN") && line.size() < text.size() &&
                line.endsWith("N\" completed successfully."))
        << line.toStdString();
    EXPECT_EQ(window.width(), width);
}

TEST(LogWindow, ClearingAsksFirstAndTakesTheFileAlong) {
    const std::string file = xdg("XDG_STATE_HOME") + "/Pellora/Pellora.log";
    LogController log;
    installLogWindow(log);
    log.setLogFilename(file);
    log.addLogString("keep me", false, true);
    log.show();
    ASSERT_TRUE(log.writeLogFile());
    auto* window = dynamic_cast<LogWindow*>(log.window());
    for (const char* answer : {"No", "Yes"}) {
        log.clearLog();
        QMessageBox* sheet = window->findChild<QMessageBox*>();
        ASSERT_TRUE(sheet && runUntil([&] { return sheet->isVisible(); }));
        EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
        for (QAbstractButton* button : sheet->buttons())
            if (button->text() == answer) button->click();
        const QString expected = QString(answer) == "No" ? "keep me\n" : "";
        EXPECT_EQ(window->textView()->toPlainText(), expected);
        EXPECT_EQ(readFile(file), expected.toUtf8());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST(LogWindow, AMovedFrameIsRestoredAndOneOffEveryScreenIgnored) {
    const QString key = LogWindow::frameKey("com.orvane.logwindow");
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    {
        LogController log;
        installLogWindow(log);
        log.show();
        auto* window = dynamic_cast<LogWindow*>(log.window());
        const QSize size = window->size();
        window->move(37, 53);
        const QString expected = QString("37 53 %1 %2").arg(size.width()).arg(size.height());
        ASSERT_TRUE(runUntil([&] { return defaults.stringForKey(key) == expected; }));
    }
    LogController restarted;
    installLogWindow(restarted);
    restarted.show();
    EXPECT_EQ(restarted.window() ? dynamic_cast<LogWindow*>(restarted.window())->pos() : QPoint(),
              QPoint(37, 53));
    for (const char* frame : {"-9000 -9000 300 200", "10 10 0 0"}) {
        defaults.setObject(QString(frame), LogWindow::frameKey("elsewhere"));
        LogController lost;
        installLogWindow(lost);
        lost.setFrameAutosaveName("elsewhere");
        lost.show();
        const QRect shown = dynamic_cast<LogWindow*>(lost.window())->frameGeometry();
        EXPECT_TRUE(area.intersects(shown) && shown.width() > 0) << frame;
    }
}
