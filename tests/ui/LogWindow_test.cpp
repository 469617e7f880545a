#include "LogWindow.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <thread>

#include "PreferenceDomain.h"
#include "TempDir.h"

namespace {

// One application and one home for the whole program: the standard defaults live in it.
struct AppEnvironment : testing::Environment {
    int argc = 1;
    char name[16] = "LogWindow_test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<TestHome> home;
    std::unique_ptr<QApplication> app;
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        home = std::make_unique<TestHome>();
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(), home.reset(); }
};
auto* const kEnv =
    static_cast<AppEnvironment*>(testing::AddGlobalTestEnvironment(new AppEnvironment));

template <typename Predicate>
bool runUntil(Predicate done, int ms = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LogWindow* logWindow(LogController& log) {
    return dynamic_cast<LogWindow*>(log.window());
}

void click(QMessageBox* box, const QString& text) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text) return b->click();
    ADD_FAILURE() << "no button " << text.toStdString();
}

// "modality|title|text|default button" of a question box.
QString describe(QMessageBox* box) {
    return QString("%1|%2|%3|%4")
        .arg(box->windowModality())
        .arg(box->windowTitle(), box->text(), box->defaultButton()->text());
}

// Answers the next application-modal box from inside the event loop it runs, and tells
// what it looked like.
void answerNextAlert(const QString& answer, QString* seen) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        *seen = describe(box);
        poll->deleteLater();
        click(box, answer);
    });
    poll->start(10);
}

const QString kQuestion = "|Clear Log|Are you sure you want to clear the log file?|Yes";
std::string logPath() {
    return kEnv->home->path() + "/.local/state/Pellora/Pellora.log";
}

}  // namespace

TEST(LogWindow, LinesLoggedBeforeFirstShowAppearInOrder) {
    LogController log;
    installLogWindow(log);
    log.addLogString("first", false, true);
    log.addLogString("second ", false, false);
    log.addLogString("third", true, true);
    const QString before = log.pendingText();

    log.show();
    LogWindow* window = logWindow(log);
    ASSERT_NE(window, nullptr);
    auto* view = window->findChild<QPlainTextEdit*>("_textView");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->toPlainText(), before);
    EXPECT_TRUE(log.pendingText().isEmpty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Log");
    EXPECT_TRUE(view->isReadOnly());

    // New lines go to the end and stay in view; the text comes back as it went in.
    for (int i = 0; i < 300; ++i) log.addLogString(QString("line %1").arg(i), false, true);
    log.addLogString("tab\there nbsp\u00a0\u2122", false, true);
    EXPECT_TRUE(log.text().endsWith("line 299\ntab\there nbsp\u00a0\u2122\n"));
    EXPECT_TRUE(log.text().startsWith(before));
    QScrollBar* bar = view->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    // The close button only hides the window; the same one comes back.
    window->close();
    EXPECT_FALSE(log.isLogWindowVisible());
    log.show();
    EXPECT_EQ(logWindow(log), window);
    EXPECT_TRUE(log.isLogWindowVisible());
}

TEST(LogWindow, ClearWhileHiddenAsksWithAnApplicationModalAlert) {
    LogController log;
    installLogWindow(log);
    log.setLogFilename(logPath());
    log.addLogString("keep me", false, true);
    ASSERT_TRUE(log.writeLogFile());

    QString asked;
    answerNextAlert("No", &asked);
    log.clearLog();
    EXPECT_EQ(asked, QString::number(Qt::ApplicationModal) + kQuestion);
    EXPECT_EQ(log.text(), "keep me\n");
    EXPECT_EQ(readFile(logPath()), "keep me\n");

    // Shown, then hidden: still an alert.
    log.show();
    log.hide();
    asked.clear();
    answerNextAlert("Yes", &asked);
    log.clearLog();
    EXPECT_EQ(asked, QString::number(Qt::ApplicationModal) + kQuestion);
    EXPECT_EQ(logWindow(log)->textView()->toPlainText(), "");
    EXPECT_EQ(readFile(logPath()), "");
}

TEST(LogWindow, ClearWhileVisibleAsksWithASheet) {
    LogController log;
    installLogWindow(log);
    log.setLogFilename(logPath());
    log.addLogString("keep me", false, true);
    log.show();
    ASSERT_TRUE(log.writeLogFile());
    LogWindow* window = logWindow(log);

    // A question that blocked here would be an alert, not a sheet: turn it down and fail.
    bool returned = false, blocked = false;
    QObject guard;
    QTimer::singleShot(100, &guard, [&] {
        if (returned) return;
        blocked = true;
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->reject();
    });
    log.clearLog();
    returned = true;
    ASSERT_FALSE(blocked);
    QPointer<QMessageBox> sheet = window->findChild<QMessageBox*>();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(runUntil([&] { return sheet->isVisible(); }));
    EXPECT_EQ(describe(sheet), QString::number(Qt::WindowModal) + kQuestion);
    click(sheet, "No");
    EXPECT_TRUE(runUntil([&] { return sheet.isNull(); }));
    EXPECT_EQ(window->textView()->toPlainText(), "keep me\n");
    EXPECT_EQ(readFile(logPath()), "keep me\n");

    log.clearLog();
    log.clearLog();  // the open sheet is not asked twice
    ASSERT_EQ(window->findChildren<QMessageBox*>().size(), 1);
    click(window->findChild<QMessageBox*>(), "Yes");
    EXPECT_EQ(window->textView()->toPlainText(), "");
    EXPECT_EQ(readFile(logPath()), "");
}

TEST(LogWindow, MovedFrameIsRestoredOnTheNextStart) {
    const QString key = LogWindow::frameKey("com.orvane.logwindow");
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QSize size;
    {
        LogController log;
        installLogWindow(log);
        log.show();
        LogWindow* window = logWindow(log);
        size = window->size();
        EXPECT_EQ(window->pos(), area.center() - QPoint(size.width() / 2, size.height() / 2));

        window->move(37, 53);
        const QString expected = QString("37 53 %1 %2").arg(size.width()).arg(size.height());
        ASSERT_TRUE(runUntil([&] { return defaults.stringForKey(key) == expected; }));
        // Written through to the file, so it outlives this run.
        EXPECT_EQ(PreferenceDomain(defaults.filePath()).stringForKey(key), expected);
    }

    // The next start centres the new window, then the saved frame wins.
    LogController restarted;
    installLogWindow(restarted);
    restarted.show();
    EXPECT_EQ(logWindow(restarted)->pos(), QPoint(37, 53));
    EXPECT_EQ(logWindow(restarted)->size(), size);

    // A frame saved where no screen is any more is ignored.
    defaults.setObject(QString("-9000 -9000 300 200"), LogWindow::frameKey("elsewhere"));
    LogController lost;
    installLogWindow(lost);
    lost.setFrameAutosaveName("elsewhere");
    lost.show();
    EXPECT_TRUE(area.intersects(logWindow(lost)->frameGeometry()));
}

TEST(LogWindow, FocusGoesToTheTextUnlessShownBehindAnotherWindow) {
    LogController log;
    installLogWindow(log);
    log.show();
    LogWindow* window = logWindow(log);
    ASSERT_TRUE(runUntil([&] { return window->isActiveWindow(); }));
    EXPECT_TRUE(window->textView()->hasFocus());

    QWidget front;
    front.show();
    front.activateWindow();
    ASSERT_TRUE(runUntil([&] { return front.isActiveWindow(); }));
    log.hide();
    log.show(&front);
    EXPECT_TRUE(window->isVisible());
    runUntil([&] { return window->isActiveWindow(); }, 200);
    EXPECT_TRUE(front.isActiveWindow());
}
