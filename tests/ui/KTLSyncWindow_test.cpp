#include "KTLSyncWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <utility>
#include <vector>

#include "KTLSyncController.h"
#include "TempDir.h"

namespace {

// One application and one home for the whole program.
struct AppEnvironment : testing::Environment {
    int argc = 1;
    char name[24] = "KTLSyncWindow_test";
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
[[maybe_unused]] auto* const kEnv = testing::AddGlobalTestEnvironment(new AppEnvironment);

using Answer = std::pair<int, bool>;

class SyncWindow : public testing::Test {
  protected:
    template <typename T>
    T* child(const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QPushButton* button(const char* name) { return child<QPushButton>(name); }
    QCheckBox* checkBox(const char* name) { return child<QCheckBox>(name); }
    QDialog* sheet(const char* name) { return child<QDialog>(name); }

    // Records each answer and whether its sheet was already hidden when it came.
    std::function<void(int, bool)> recorder(std::vector<Answer>* answers, const char* sheetName) {
        QDialog* panel = sheet(sheetName);
        return [this, answers, panel](int code, bool dontAskAgain) {
            answers->emplace_back(code, dontAskAgain);
            if (panel->isVisible()) shownWhenEnded = true;
        };
    }

    TempDir drive;
    std::shared_ptr<KTLSyncController> controller =
        KTLSyncController::controllerForMountPoint(drive.path());
    KTLSyncWindow window{controller};
    bool shownWhenEnded = false;
};

void pressEscape(QWidget* widget) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

}  // namespace

TEST_F(SyncWindow, AlertAnswersOneForOKAndZeroForCancelOrEscape) {
    window.showWindow();
    std::vector<int> codes;
    QDialog* panel = sheet("_alertPanel");
    auto record = [&](int code) {
        codes.push_back(code);
        if (panel->isVisible()) shownWhenEnded = true;
    };

    window.beginAlertSheet("Copy failed", "Some <b>files</b> were not copied.", true, record);
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(child<QLabel>("_alertTitleTextField")->text(), "Copy failed");
    EXPECT_EQ(child<QLabel>("_alertMessageTextField")->text(),
              "Some <b>files</b> were not copied.");
    EXPECT_EQ(child<QLabel>("_alertMessageTextField")->textFormat(), Qt::PlainText);
    EXPECT_TRUE(button("_alertCancelButton")->isEnabled());
    button("_alertOKButton")->click();
    EXPECT_EQ(codes, std::vector<int>{1});
    EXPECT_FALSE(panel->isVisible());

    window.beginAlertSheet("Sure?", "Go on?", true, record);
    button("_alertCancelButton")->click();
    EXPECT_EQ(codes, (std::vector<int>{1, 0}));

    window.beginAlertSheet("Sure?", "Go on?", true, record);
    pressEscape(panel);
    // Without Cancel: OK alone, which Escape then means.
    window.beginAlertSheet("Done", "Sync failed.", false, record);
    EXPECT_TRUE(button("_alertCancelButton")->isHidden());
    pressEscape(panel);
    EXPECT_EQ(codes, (std::vector<int>{1, 0, 0, 1}));
    EXPECT_FALSE(shownWhenEnded);
}

TEST_F(SyncWindow, MissingSheetReportsItsCodeAndKeepsTheCheckBox) {
    window.showWindow();
    std::vector<Answer> answers;
    auto record = recorder(&answers, "_missingAlertPanel");
    QLabel* message = child<QLabel>("_missingMessageTextField");
    QCheckBox* box = checkBox("_missingDontAskAgainButton");
    ASSERT_FALSE(box->isChecked());

    window.beginMissingSheet("\"<i>a</i>\" is missing.", "~/Sites/<i>a</i>", record);
    EXPECT_EQ(message->text(), "\"<i>a</i>\" is missing.");
    EXPECT_EQ(message->toolTip(), "~/Sites/<i>a</i>");
    button("_missingCopyButton")->click();

    window.beginMissingSheet("\"b\" is missing.", "~/b", record);
    box->click();
    button("_missingDontCopyButton")->click();

    // The box is still ticked for the next question; closing the sheet or Escape is no
    // answer: only a button ends it.
    window.beginMissingSheet("\"c\" is missing.", "~/c", record);
    EXPECT_TRUE(box->isChecked());
    sheet("_missingAlertPanel")->close();
    pressEscape(sheet("_missingAlertPanel"));
    EXPECT_TRUE(sheet("_missingAlertPanel")->isVisible());
    button("_missingCopyButton")->click();

    EXPECT_EQ(answers, (std::vector<Answer>{{1, false}, {-1, true}, {1, true}}));
    EXPECT_FALSE(shownWhenEnded);
}

TEST_F(SyncWindow, ConflictSheetShowsSideButtonsOnlyWhenAsked) {
    window.showWindow();
    std::vector<Answer> answers;
    auto record = recorder(&answers, "_conflictAlertPanel");
    QPushButton* newer = button("_conflictNewerButton");
    QPushButton* older = button("_conflictOlderButton");
    QPushButton* newerSide = button("_conflictNewerSourceButton");
    QPushButton* olderSide = button("_conflictOlderSourceButton");
    QFrame* separator = child<QFrame>("_conflictButtonSeparator");

    KTLConflictSheetTexts texts;
    texts.message = "\"a\" has been modified on both sides.";
    texts.newerToolTip = "~/a\nModified: today";
    texts.olderToolTip = "/media/t/Tolvex/a\nModified: yesterday";
    texts.newerSourceTitle = "local";
    texts.newerSourceToolTip = "/home/u/a";
    texts.olderSourceTitle = "Tapline\u2122";
    texts.olderSourceToolTip = "/media/t/Tolvex/a";

    window.beginConflictSheet(texts, record);
    EXPECT_EQ(child<QLabel>("_conflictMessageTextField")->text(), texts.message);
    EXPECT_EQ(newer->toolTip(), texts.newerToolTip);
    EXPECT_EQ(older->toolTip(), texts.olderToolTip);
    for (QWidget* side : {static_cast<QWidget*>(newerSide), static_cast<QWidget*>(olderSide),
                          static_cast<QWidget*>(separator)})
        EXPECT_FALSE(side->isVisible()) << side->objectName().toStdString();
    newer->click();

    texts.showSourceButtons = true;
    window.beginConflictSheet(texts, record);
    EXPECT_TRUE(newerSide->isVisible());
    EXPECT_TRUE(olderSide->isVisible());
    EXPECT_TRUE(separator->isVisible());
    EXPECT_EQ(newerSide->text(), "local");
    EXPECT_EQ(olderSide->text(), "Tapline\u2122");
    newerSide->click();
    window.beginConflictSheet(texts, record);
    checkBox("_conflictDontAskAgainButton")->click();
    olderSide->click();
    window.beginConflictSheet(texts, record);
    older->click();

    texts.showSourceButtons = false;
    window.beginConflictSheet(texts, record);
    EXPECT_FALSE(newerSide->isVisible());
    EXPECT_FALSE(separator->isVisible());
    pressEscape(sheet("_conflictAlertPanel"));
    sheet("_conflictAlertPanel")->close();
    EXPECT_TRUE(sheet("_conflictAlertPanel")->isVisible());
    newer->click();

    EXPECT_EQ(answers,
              (std::vector<Answer>{{1, false}, {2, false}, {-2, true}, {-1, true}, {1, true}}));
    EXPECT_FALSE(shownWhenEnded);
}

TEST_F(SyncWindow, EverySheetEndsExactlyOnceWhenTheWindowGoes) {
    window.showWindow();
    std::vector<Answer> missing;
    std::vector<int> alerts;
    window.beginMissingSheet("\"a\" is missing.", "~/a", recorder(&missing, "_missingAlertPanel"));

    // A second question while one is up ends the first with 0.
    window.beginAlertSheet("t", "m", true, [&](int code) { alerts.push_back(code); });
    EXPECT_EQ(missing, (std::vector<Answer>{{0, false}}));
    EXPECT_FALSE(sheet("_missingAlertPanel")->isVisible());
    EXPECT_TRUE(sheet("_alertPanel")->isVisible());

    // The program's close does not ask the controller and answers the open sheet.
    controller->driveDisappeared();
    ASSERT_TRUE(controller->busy());
    window.closeWindow();
    EXPECT_FALSE(window.isWindowVisible());
    EXPECT_FALSE(sheet("_alertPanel")->isVisible());
    window.closeWindow();
    QApplication::processEvents();
    EXPECT_EQ(alerts, std::vector<int>{0});
    EXPECT_EQ(missing.size(), 1u);
    EXPECT_FALSE(shownWhenEnded);

    // A window destroyed under its sheet still answers it.
    std::vector<int> late;
    auto doomed = std::make_unique<KTLSyncWindow>(controller);
    doomed->showWindow();
    doomed->beginAlertSheet("t", "m", false, [&](int code) { late.push_back(code); });
    doomed.reset();
    EXPECT_EQ(late, std::vector<int>{0});
}

TEST_F(SyncWindow, UserCloseIsRefusedWhileTheControllerIsBusy) {
    window.showWindow();
    ASSERT_FALSE(controller->busy());
    // A close that goes through answers the sheet it takes away.
    std::vector<int> codes;
    window.beginAlertSheet("t", "m", true, [&](int code) { codes.push_back(code); });
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isWindowVisible());
    EXPECT_EQ(codes, std::vector<int>{0});

    window.showWindow();
    controller->driveDisappeared();  // queues work that no worker takes
    ASSERT_TRUE(controller->busy());
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isWindowVisible());
}

TEST_F(SyncWindow, ButtonsReachTheControllerAndProgressFollowsTheRun) {
    window.showWindow();
    QProgressBar* progress = child<QProgressBar>("_progressIndicator");
    QPushButton* cancel = button("_cancelButton");
    QPushButton* close = button("_closeButton");
    EXPECT_FALSE(progress->isVisible());
    EXPECT_FALSE(cancel->isVisible());
    EXPECT_TRUE(close->isVisible());

    // A list update: busy, with nothing to cancel.
    window.showRunning(false);
    EXPECT_FALSE(close->isVisible());
    EXPECT_TRUE(progress->isVisible());
    EXPECT_EQ(progress->maximum(), 0);  // busy, of unknown extent
    EXPECT_FALSE(cancel->isVisible());
    window.showIdle();
    window.showRunning(true);
    EXPECT_TRUE(cancel->isVisible() && cancel->isEnabled());

    // The click shows at once, before the worker notices.
    ASSERT_FALSE(controller->cancelPending());
    cancel->click();
    EXPECT_TRUE(controller->cancelPending());
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_EQ(window.statusLine(), QStringLiteral("Canceling\u2026"));

    window.showIdle();
    EXPECT_FALSE(progress->isVisible());
    EXPECT_FALSE(cancel->isVisible());
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

TEST(SyncWindowFactory, ControllersGetThisWindow) {
    TempDir drive;
    auto controller = KTLSyncController::controllerForMountPoint(drive.path());
    installSyncWindows();
    controller->show();
    KTLSyncController::setWindowFactory(nullptr);
    auto* window = dynamic_cast<KTLSyncWindow*>(controller->window());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), controller->displayName());
}
