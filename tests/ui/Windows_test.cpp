// The drive window's sheets and the log window, on the offscreen platform: the real buttons
// clicked, the codes they answer, and what survives a restart.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <thread>

#include "KTLSyncController.h"
#include "KTLSyncWindow.h"
#include "LogController.h"
#include "LogWindow.h"
#include "PreferenceDomain.h"
#include "TempDir.h"

namespace {

// One home for the program: the standard defaults settle in it on first use.
struct HomeEnvironment : testing::Environment {
    std::unique_ptr<TestHome> home;
    void SetUp() override { home = std::make_unique<TestHome>(); }
    void TearDown() override { home.reset(); }
};
auto* const kEnv =
    static_cast<HomeEnvironment*>(testing::AddGlobalTestEnvironment(new HomeEnvironment));

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

bool runUntil(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

void pressEscape(QWidget* widget) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

void click(QMessageBox* box, const QString& text) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text) return b->click();
    ADD_FAILURE() << "no button " << text.toStdString();
}

}  // namespace

// Each button of each sheet, by the code it answers; the check box stays ticked. Escape means
// Cancel on an alert, or OK where it has none; on the other sheets only a button answers.
TEST_F(SyncWindow, EachSheetButtonAnswersItsCode) {
    window.showWindow();
    std::vector<Answer> answers;
    auto record = [&](int code, bool dontAskAgain) { answers.emplace_back(code, dontAskAgain); };
    const std::pair<const char*, Answer> alert[] = {{"_alertOKButton", {1, false}},
                                                    {"_alertCancelButton", {0, false}}};
    for (const auto& [name, expected] : alert) {
        window.beginAlertSheet("t", "<b>plain</b>", true, [&](int code) { record(code, false); });
        EXPECT_EQ(child<QLabel>("_alertMessageTextField")->textFormat(), Qt::PlainText);
        child(name)->click();
        EXPECT_EQ(answers.back(), expected) << name;
    }
    for (const bool withCancel : {true, false}) {
        window.beginAlertSheet("t", "m", withCancel, [&](int code) { record(code, false); });
        EXPECT_EQ(child("_alertCancelButton")->isHidden(), !withCancel);
        pressEscape(child<QDialog>("_alertPanel"));
        EXPECT_EQ(answers.back(), (Answer{withCancel ? 0 : 1, false})) << withCancel;
    }
    const std::pair<const char*, Answer> missing[] = {{"_missingCopyButton", {1, false}},
                                                      {"_missingDontCopyButton", {-1, true}}};
    for (const auto& [name, expected] : missing) {
        window.beginMissingSheet("\"a\" is missing.", "~/a", record);
        if (expected.second) child<QCheckBox>("_missingDontAskAgainButton")->click();
        child(name)->click();
        EXPECT_EQ(answers.back(), expected) << name;
    }
    const size_t answered = answers.size();
    window.beginMissingSheet("\"c\" is missing.", "~/c", record);
    child<QDialog>("_missingAlertPanel")->close();
    pressEscape(child<QDialog>("_missingAlertPanel"));
    EXPECT_TRUE(child<QDialog>("_missingAlertPanel")->isVisible());
    EXPECT_EQ(answers.size(), answered);
    child("_missingCopyButton")->click();
    EXPECT_EQ(answers.back(), (Answer{1, true}));
    KTLConflictSheetTexts texts;
    texts.message = "\"a\" has been modified on both sides.";
    texts.showSourceButtons = true;
    const std::pair<const char*, Answer> conflict[] = {{"_conflictNewerButton", {1, false}},
                                                       {"_conflictOlderButton", {-1, false}},
                                                       {"_conflictNewerSourceButton", {2, false}},
                                                       {"_conflictOlderSourceButton", {-2, true}}};
    for (const auto& [name, expected] : conflict) {
        window.beginConflictSheet(texts, record);
        if (expected.second) child<QCheckBox>("_conflictDontAskAgainButton")->click();
        child(name)->click();
        EXPECT_EQ(answers.back(), expected) << name;
        EXPECT_FALSE(child<QDialog>("_conflictAlertPanel")->isVisible());
    }
    texts.showSourceButtons = false;
    window.beginConflictSheet(texts, record);
    EXPECT_FALSE(child("_conflictNewerSourceButton")->isVisible());
    const size_t asked = answers.size();
    pressEscape(child<QDialog>("_conflictAlertPanel"));
    child<QDialog>("_conflictAlertPanel")->close();
    EXPECT_TRUE(child<QDialog>("_conflictAlertPanel")->isVisible());
    EXPECT_EQ(answers.size(), asked);
    child("_conflictNewerButton")->click();
    EXPECT_EQ(answers.back(), (Answer{1, true}));
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
    EXPECT_TRUE(!cancel->isVisible() && close->isVisible());
    window.showRunning(false);  // a list update
    EXPECT_TRUE(child<QProgressBar>("_progressIndicator")->isVisible());
    // The busy bar is drawn about ten times a second, not at the style's frame rate.
    struct Paints : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    child<QProgressBar>("_progressIndicator")->installEventFilter(&paints);
    runUntil([] { return false; }, 1000);
    EXPECT_GE(paints.count, 4) << "the animation stopped";
    EXPECT_LE(paints.count, 15);
    EXPECT_FALSE(cancel->isVisible() || close->isVisible());
    window.showRunning(true);
    EXPECT_TRUE(cancel->isVisible() && cancel->isEnabled());
    // The click shows at once, before the worker notices.
    cancel->click();
    EXPECT_TRUE(controller->cancelPending());
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_EQ(window.statusLine(), QStringLiteral("Canceling\u2026"));
    window.showIdle();
    EXPECT_TRUE(!cancel->isVisible() && close->isVisible());
    EXPECT_FALSE(child<QProgressBar>("_progressIndicator")->isVisible());
    close->click();
    EXPECT_FALSE(window.isVisible());

    // A long status line keeps its start and its end, and the window its width.
    window.showWindow();
    const int width = window.width();
    const QString text =
        "Synchronization of \"" + QString(300, u'N') + "\" completed successfully.";
    window.setStatusLine(text);
    const QString shown = window.displayedStatusLine();
    EXPECT_EQ(window.statusLine(), text);
    EXPECT_TRUE(shown.startsWith("Synchronization of \"NN") && shown.size() < text.size() &&
                shown.endsWith("N\" completed successfully."))
        << shown.toStdString();
    EXPECT_EQ(window.width(), width);
}

TEST(LogWindow, ClearingAsksFirstAndTakesTheFileAlong) {
    const std::string file = kEnv->home->path() + "/.local/state/Pellora/Pellora.log";
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
        click(sheet, answer);
        const QString expected = QString(answer) == "No" ? "keep me\n" : "";
        EXPECT_EQ(window->textView()->toPlainText(), expected);
        EXPECT_EQ(readFile(file), expected.toUtf8());
        runUntil([&] { return window->findChildren<QMessageBox*>().isEmpty(); }, 500);
    }
}

TEST(LogWindow, AMovedFrameIsRestoredAndOneOffEveryScreenIgnored) {
    const QString key = LogWindow::frameKey("com.orvane.logwindow");
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QSize size;
    {
        LogController log;
        installLogWindow(log);
        log.show();
        auto* window = dynamic_cast<LogWindow*>(log.window());
        size = window->size();
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
