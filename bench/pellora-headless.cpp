// Runs one task of a drive without a desktop, for benchmarks and crash tests. Not a user
// command and not installed.
//
//   pellora-headless <mount point> [--conflict N] [--missing N] [--debug] [--pause-at TEXT]
//                    [--continuous-pass | --update-list [entry...]]
//
// Without a mode option: one two-way sync. --update-list (which takes the rest of the
// arguments) sets the drive's sync list to the entries given, removing the drive copies of the
// entries dropped from it. --continuous-pass switches continuous sync on for the drive, builds
// the item tree, prints "tree built", waits for a line (or the end) of standard input, so that
// files may be changed after the tree was taken, then runs one pass that carries the changes
// to the drive (taking the drive as fully synced by an earlier run).
// --pause-at holds the run at the first log line that contains TEXT until a line (or the
// end) of standard input comes: crash tests stop or kill it at a known step.
//
// The drive is found in the mount table (PELLORA_MOUNTINFO may declare it). Remembered answers
// are set from the options; alerts are answered OK; a question that would need a person is
// answered "no answer", which fails the run. Log lines go to standard output. Exit status 0
// when the task completed successfully (for a pass: ended without a copy or delete error),
// 1 when it did not, 2 for bad arguments.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "LogController.h"
#include "MainThread.h"
#include "PreferenceDomain.h"

namespace {

class HeadlessWindow : public KTLSyncWindowInterface {
  public:
    void showWindow() override {}
    void closeWindow() override {}
    bool isWindowVisible() const override { return true; }
    void setStatusLine(const QString& text) override { _status = text; }
    QString statusLine() const override { return _status; }
    void appendDrawerText(const QString& text) override {
        // The error reporters' log lines; a pass goes on past them.
        if (text.startsWith(QLatin1String("Unable to "))) ++_errorLines;
        fputs(text.toUtf8().constData(), stdout);
        fflush(stdout);
        // The worker waits for this thread before its next step.
        if (!_pauseAt.isEmpty() && text.contains(_pauseAt)) {
            _pauseAt.clear();
            char line[256];
            if (!fgets(line, sizeof line, stdin)) clearerr(stdin);
        }
    }
    void setPauseAt(const QString& text) { _pauseAt = text; }
    int errorLines() const { return _errorLines; }
    void showRunning(bool) override {}
    void showIdle() override {}
    void setProgressIndeterminate() override {}
    void beginAlertSheet(const QString& title, const QString& message, bool,
                         std::function<void(int)> didEnd) override {
        fprintf(stdout, "alert: %s %s -> OK\n", title.toUtf8().constData(),
                message.toUtf8().constData());
        didEnd(1);
    }
    void beginMissingSheet(const QString& message, const QString&,
                           std::function<void(int, bool)> didEnd) override {
        fprintf(stdout, "unanswered: %s\n", message.toUtf8().constData());
        didEnd(0, false);
    }
    void beginConflictSheet(const KTLConflictSheetTexts& texts,
                            std::function<void(int, bool)> didEnd) override {
        fprintf(stdout, "unanswered: %s\n", texts.message.toUtf8().constData());
        didEnd(0, false);
    }

  private:
    QString _status;
    QString _pauseAt;
    int _errorLines = 0;
};

int usage() {
    fputs(
        "usage: pellora-headless <mount point> [--conflict N] [--missing N] [--debug]\n"
        "                        [--pause-at TEXT] [--continuous-pass | --update-list "
        "[entry...]]\n",
        stderr);
    return 2;
}

enum class Mode { Sync, UpdateList, ContinuousPass };

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return usage();
    const std::string mountPoint = argv[1];
    int conflict = 0, missing = 0;
    bool debug = false;
    QString pauseAt;
    Mode mode = Mode::Sync;
    QStringList newList;
    for (int i = 2; i < argc; ++i) {
        if (!strcmp(argv[i], "--conflict") && i + 1 < argc) {
            conflict = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--missing") && i + 1 < argc) {
            missing = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--debug")) {
            debug = true;
        } else if (!strcmp(argv[i], "--pause-at") && i + 1 < argc) {
            pauseAt = QString::fromLocal8Bit(argv[++i]);
        } else if (!strcmp(argv[i], "--continuous-pass") && mode == Mode::Sync) {
            mode = Mode::ContinuousPass;
        } else if (!strcmp(argv[i], "--update-list") && mode == Mode::Sync) {
            mode = Mode::UpdateList;
            // Entries are byte strings of the list; the rest of the line is the list.
            while (++i < argc) newList << QString::fromLocal8Bit(argv[i]);
        } else {
            return usage();
        }
    }
    if (debug) PreferenceDomain::standardUserDefaults().setBool(true, QStringLiteral("debug"));

    HeadlessWindow* window = nullptr;
    KTLSyncController::setWindowFactory(
        [&window, &pauseAt](const std::shared_ptr<KTLSyncController>&) {
            auto made = std::make_unique<HeadlessWindow>();
            made->setPauseAt(pauseAt);
            window = made.get();
            return std::unique_ptr<KTLSyncWindowInterface>(std::move(made));
        });
    auto controller = KTLSyncController::controllerForMountPoint(mountPoint);
    if (!controller->isValidFileSystem() || !controller->isDeviceSetupForSync()) {
        // The reason was logged before any window existed, so it is still only in the log.
        fputs(LogController::sharedInstance().text().toUtf8().constData(), stdout);
        fprintf(stderr, "pellora-headless: %s is not a prepared drive\n", mountPoint.c_str());
        return 1;
    }
    controller->setDefaultConflictResolutionAction(conflict);
    controller->setDefaultMissingResolutionAction(missing);

    QString completed;
    switch (mode) {
        case Mode::Sync:
            completed = KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                          "Synchronization of \"%@\" completed successfully.")),
                                      controller->displayName());
            controller->sync();
            break;
        case Mode::UpdateList:
            completed = KTLLocalizedString(QStringLiteral("Update Sync Items completed."));
            controller->updateSyncList(newList);
            break;
        case Mode::ContinuousPass:
            completed = KTLLocalizedString(QStringLiteral("Scan completed."));
            // Switching on queues the task that builds the tree; the pass follows once it ran.
            // The drive was fully synced by an earlier run, as in a session that goes on.
            controller->setFullSyncCompleted(true);
            controller->setContinuousSyncState(true);
            break;
    }

    int status = 1;
    bool passQueued = mode != Mode::ContinuousPass;
    bool deathQueued = false;
    // Woken when the task list drains rather than polling all along, which would cost the
    // timed runs a core's wake-ups; the slow timer only backs the wake-up up.
    QTimer poll;
    const auto check = [&] {
        if (controller->busy() && !controller->workerEnded()) return;
        if (!passQueued) {
            passQueued = true;
            fputs("tree built\n", stdout);
            fflush(stdout);
            // The idle worker needs nothing of this thread while it waits here.
            char line[256];
            if (!fgets(line, sizeof line, stdin)) clearerr(stdin);
            controller->continuousSyncNow();
            return;
        }
        if (!deathQueued) {
            deathQueued = true;
            const bool ended = window && window->statusLine() == completed;
            // A pass ends "completed" whatever failed in it; its error lines say more.
            const bool clean = mode != Mode::ContinuousPass || window->errorLines() == 0;
            status = ended && clean ? 0 : 1;
            controller->driveDisappeared();
            // The worker ends just after it reports the drained list: look again shortly.
            poll.start(1);
            return;
        }
        if (controller->workerEnded()) app.quit();
    };
    QObject::connect(&poll, &QTimer::timeout, check);
    // Through the engine's own hand-off, whose locks the thread checker sees.
    KTLSyncController::setBusyObserver(
        [&check](const std::shared_ptr<KTLSyncController>&) { runOnMainThread(check); });
    poll.start(100);
    app.exec();
    KTLSyncController::setBusyObserver({});
    return status;
}
